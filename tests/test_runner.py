"""AgentRunner against a test double of create_sql_agent: the four end states, printing, and run."""
import traceback

import pytest

import nlsqlagent
from conftest import Agent, line_of

CREATE_LINE = line_of("create_sql_agent(llm=")

AR = nlsqlagent.AgentRunner
DEFAULT_TYPE = AR.__init__.__defaults__[1]


def entries(exc):
    return [(t.name, t.lineno) for t in traceback.extract_tb(exc.__traceback__) if t.filename == "nlsqlagent/base"]


def test_agent_built_with_exact_keywords(create_agent, capsys):
    runner = AR("m", "t")
    assert create_agent.calls == [((), {"llm": "m", "toolkit": "t", "verbose": True, "agent_type": DEFAULT_TYPE})]
    assert list(create_agent.calls[0][1]) == ["llm", "toolkit", "verbose", "agent_type"]
    assert runner.agent_runner is create_agent.result and runner.error is None
    assert capsys.readouterr().out == "Agent runner instance: %s\n" % create_agent.result
    assert list(vars(runner)) == ["llm", "toolkit", "verbose", "agent_type", "agent_runner", "error"]
    AR("m", "t", False, "x")
    AR(llm="m", toolkit="t", agent_type="y")
    assert [c[1]["verbose"] for c in create_agent.calls[1:]] == [False, True]
    assert [c[1]["agent_type"] for c in create_agent.calls[1:]] == ["x", "y"]


def test_create_sql_agent_resolved_at_every_construction(monkeypatch, capsys):
    monkeypatch.setattr(nlsqlagent, "create_sql_agent", lambda **kw: "first")
    assert AR(1, 2).agent_runner == "first"
    monkeypatch.setattr(nlsqlagent, "create_sql_agent", lambda **kw: "second")
    assert AR(1, 2).agent_runner == "second"
    monkeypatch.delattr(nlsqlagent, "create_sql_agent")
    runner = AR(1, 2)
    assert isinstance(runner.error, NameError) and runner.agent_runner is None
    assert capsys.readouterr().out.splitlines()[-1] == "Error occurred: name 'create_sql_agent' is not defined"


def test_error_state_keeps_the_very_exception(create_agent, capsys):
    exc = ValueError("bad toolkit")
    create_agent.raise_next = exc
    runner = AR(1, 2)
    assert runner.error is exc and runner.agent_runner is None
    assert capsys.readouterr().out == "Error occurred: bad toolkit\n"
    assert entries(exc) == [("nlsqlagent.AgentRunner.__init__", CREATE_LINE)]
    assert runner.run("q") is None
    assert capsys.readouterr().out == "Agent runner is not initialized.\n"
    assert runner.error is exc


def test_none_result_state(create_agent, capsys):
    create_agent.result = None
    runner = AR(1, 2)
    assert (runner.agent_runner, runner.error) == (None, None)
    assert capsys.readouterr().out == "Error occurred during initialization.\n"


def test_agent_whose_str_raises(create_agent, capsys):
    class Unprintable(Agent):
        def __str__(self):
            raise RuntimeError("no str")
    agent = Unprintable()
    create_agent.result = agent
    runner = AR(1, 2)
    assert runner.agent_runner is agent and isinstance(runner.error, RuntimeError)
    # the agent's text is made (and masked) before anything is printed, so nothing of that line appears
    assert capsys.readouterr().out == "Error occurred: no str\n"
    assert entries(runner.error)[0] == ("nlsqlagent.AgentRunner.__init__", line_of("Agent runner instance:"))


@pytest.mark.parametrize("agent", [{}, [], "", 0, 0.0, frozenset(), b"", range(0)],
                         ids=lambda a: type(a).__name__)
def test_falsy_builtin_agents_not_run(agent, capsys):
    # each answers the truth test through another slot: the mapping length, the sequence length, __bool__
    runner = AR.__new__(AR)
    runner.agent_runner = agent
    assert runner.run("q") is None
    assert capsys.readouterr().out == "Agent runner is not initialized.\n"


def test_falsy_agent_reported_but_not_run(create_agent, capsys):
    class Empty(Agent):
        def __len__(self):
            return 0
    create_agent.result = Empty()
    runner = AR(1, 2)
    assert capsys.readouterr().out.startswith("Agent runner instance: ")
    assert runner.run("q") is None and create_agent.result.calls == []
    assert capsys.readouterr().out == "Agent runner is not initialized.\n"


def test_keyboard_interrupt_propagates_with_nothing_printed(create_agent, capsys):
    create_agent.raise_next = KeyboardInterrupt()
    runner = AR.__new__(AR)
    with pytest.raises(KeyboardInterrupt) as info:
        AR.__init__(runner, 1, 2)
    assert capsys.readouterr().out == ""
    assert (runner.agent_runner, runner.error) == (None, None)
    assert entries(info.value) == [("nlsqlagent.AgentRunner.__init__", CREATE_LINE)]


def test_handler_failure_chains(create_agent, capsys):
    class Bad(Exception):
        def __str__(self):
            raise TypeError("cannot show")
    create_agent.raise_next = Bad()
    with pytest.raises(TypeError) as info:
        AR(1, 2)
    assert isinstance(info.value.__context__, Bad)
    handler_print = line_of("Error occurred:", after="except Exception")
    assert ("nlsqlagent.AgentRunner.__init__", handler_print) in entries(info.value)


def test_reinit_resets_before_the_new_call(create_agent, capsys):
    runner = AR(1, 2)
    seen = []
    create_agent.raise_next = ValueError("second")
    original = create_agent.__call__

    def watching(**kw):
        seen.append((runner.agent_runner, runner.error))
        return original(**kw)
    nlsqlagent.create_sql_agent = watching
    AR.__init__(runner, 3, 4)
    assert seen == [(None, None)] and runner.agent_runner is None and str(runner.error) == "second"


def test_run_passes_query_and_returns_answer(create_agent, capsys):
    runner = AR(1, 2)
    capsys.readouterr()
    agent = create_agent.result
    for query in ("how many?", None, ""):
        assert runner.run(query) is agent.answer
    assert runner.run(query="kw") is agent.answer
    assert agent.calls == [(("how many?",), {}), ((None,), {}), (("",), {}), (("kw",), {})]
    assert capsys.readouterr().out == ""
    replacement = Agent("other")
    runner.agent_runner = replacement
    assert runner.run("q") == "other"


def test_run_failures_propagate_unchanged(create_agent, capsys):
    runner = AR(1, 2)
    exc = LookupError("model down")

    class Failing:
        def run(self, query):
            raise exc
    runner.agent_runner = Failing()
    with pytest.raises(LookupError) as info:
        runner.run("q")
    assert info.value is exc
    assert entries(exc) == [("nlsqlagent.AgentRunner.run", line_of("self.agent_runner.run(query)"))]
    runner.agent_runner = object()
    with pytest.raises(AttributeError):
        runner.run("q")
    del runner.agent_runner
    capsys.readouterr()
    with pytest.raises(AttributeError) as info:
        runner.run("q")
    assert entries(info.value) == [("nlsqlagent.AgentRunner.run", line_of("if self.agent_runner:"))]
    assert capsys.readouterr().out == ""


def test_keyword_call_reaches_every_kind_of_callee(monkeypatch, capsys):
    """The four keywords arrive the same whether the callee has a fast entry or only a call slot."""
    import functools
    seen = []

    def named(llm, toolkit, verbose, agent_type):
        seen.append(("named", llm, toolkit, verbose, agent_type))
        return "agent"

    def collecting(**kw):
        seen.append(("collecting", list(kw.items())))
        kw["llm"] = "changed"  # a new dict each call: the next call must not see this
        return "agent"

    class Holder:
        def make(self, **kw):
            seen.append(("bound", sorted(kw)))
            return "agent"

    for callee in (named, collecting, collecting, Holder().make, functools.partial(named, verbose=False), dict):
        monkeypatch.setattr(nlsqlagent, "create_sql_agent", callee)
        runner = AR("m", "t", verbose=True)
        assert runner.error is None, runner.error
    assert seen[0] == ("named", "m", "t", True, DEFAULT_TYPE)
    assert seen[1] == seen[2] == ("collecting", [("llm", "m"), ("toolkit", "t"), ("verbose", True),
                                                 ("agent_type", DEFAULT_TYPE)])
    assert seen[3] == ("bound", ["agent_type", "llm", "toolkit", "verbose"])
    # partial(verbose=False) is overridden by the call's own keyword
    assert seen[4] == ("named", "m", "t", True, DEFAULT_TYPE)
    assert runner.agent_runner == {"llm": "m", "toolkit": "t", "verbose": True, "agent_type": DEFAULT_TYPE}


def test_run_reads_the_method_as_attribute_access_does(capsys):
    """`run` is looked up on the agent exactly as `agent.run` would be: descriptors, instance attributes
    and __getattr__ all take part."""
    runner = AR.__new__(AR)

    class Static:
        run = staticmethod(lambda q: ("static", q))

    class Attribute:
        def __init__(self):
            self.run = lambda q: ("instance", q)

        def run(self, q):  # shadowed by the instance attribute
            return ("class", q)

    class Dynamic:
        def __getattr__(self, name):
            return lambda q: ("getattr", name, q)

    class Descriptor:
        def __get__(self, obj, cls):
            return lambda q: ("descriptor", obj is not None, q)

    class WithDescriptor:
        run = Descriptor()

    class Method:
        def run(self, q):
            return ("method", type(self).__name__, q)

    expected = {Static: ("static", 1), Attribute: ("instance", 1), Dynamic: ("getattr", "run", 1),
                WithDescriptor: ("descriptor", True, 1), Method: ("method", "Method", 1)}
    for cls, answer in expected.items():
        runner.agent_runner = cls()
        assert runner.run(1) == answer
    runner.agent_runner = Method.run  # a plain function as the agent: functions have no `run`
    with pytest.raises(AttributeError, match="'function' object has no attribute 'run'"):
        runner.run(1)
