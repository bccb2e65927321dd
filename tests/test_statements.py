"""Every statement of every method, driven by the reference source (reference/base.py): a failure injected at
each step of each scenario must end the same way in the module and in the reference, after the same steps
(attribute reads and writes, comparisons, calls, writes to stdout, in the same order), with the traceback
naming the same line; and together the runs must reach every statement line of the reference's methods."""
import dis
import io
import traceback
from contextlib import redirect_stdout

import pytest

import nlsqlagent
from conftest import REFERENCE, reference


class Boom(BaseException):
    """Passes every except clause."""


class Soft(Exception):
    """Caught by the methods' except clauses; its text is a step of its own."""

    def __init__(self, plan):
        super().__init__("soft")
        self.plan = plan

    def __str__(self):
        self.plan.step("str of exception")
        return "soft"


class Plan:
    """Counts the steps of a run and raises at the ones it is told to."""

    def __init__(self, triggers):
        self.triggers = dict(triggers)  # step index -> exception class
        self.events = []

    def step(self, event):
        index = len(self.events)
        self.events.append(event)
        kind = self.triggers.get(index)
        if kind is Boom:
            raise Boom(event)
        if kind is Soft:
            raise Soft(self)


def doubles(plan):
    class Credential:
        def __init__(self, text):
            self.text = text

        def __eq__(self, other):
            plan.step("eq")
            return NotImplemented

        __hash__ = object.__hash__

        def __format__(self, spec):
            plan.step("format")
            return self.text

    class Status(dict):
        def __setitem__(self, key, value):
            plan.step("item " + key)
            dict.__setitem__(self, key, value)

    class Opener:
        def __getattribute__(self, name):
            plan.step("get " + name)
            return object.__getattribute__(self, name)

        def from_uri(self, uri):
            plan.step("from_uri " + uri)
            return "database"

    class Agent:
        def __bool__(self):
            plan.step("bool")
            return True

        def __str__(self):
            plan.step("str of agent")
            return "agent"

        def run(self, query):
            plan.step("run " + query)
            return "answer"

    def create(**kwargs):
        plan.step("create " + ",".join(kwargs))
        return kwargs["llm"]

    class Out(io.StringIO):
        def write(self, text):
            plan.step("write %r" % text)
            return super().write(text)

    return Credential, Status, Opener(), Agent, create, Out()


def hooked(cls, plan):
    class Hooked(cls):
        def __getattribute__(self, name):
            plan.step("get " + name)
            return object.__getattribute__(self, name)

        def __setattr__(self, name, value):
            plan.step("set " + name)
            object.__setattr__(self, name, value)

    return Hooked


def connector_scenario(missing):
    def scenario(module, plan, Credential, Status, opener, Agent, create):
        module.SQLDatabase = opener
        credentials = [Credential("u"), Credential("p@w"), None if missing else Credential("h"), Credential("n")]
        obj = object.__new__(hooked(module.DatabaseConnector, plan))
        return [(obj, "__init__", credentials), (obj, "connect", ()), (obj, "getdbinstance", ())], Status
    return scenario


def runner_scenario(agent_kind):
    def scenario(module, plan, Credential, Status, opener, Agent, create):
        module.create_sql_agent = create
        llm = {"agent": Agent(), "none": None}[agent_kind]
        obj = object.__new__(hooked(module.AgentRunner, plan))
        return [(obj, "__init__", (llm, "toolkit")), (obj, "run", ("q",))], None
    return scenario


SCENARIOS = {
    "connector": connector_scenario(False),
    "connector, a credential missing": connector_scenario(True),
    "runner with an agent": runner_scenario("agent"),
    "runner without an agent": runner_scenario("none"),
}

METHOD_NAMES = {"__init__", "connect", "getdbinstance", "run"}


def method_lines(exc, module):
    """(method, line) of each frame of the classes' methods in the traceback, outermost first."""
    rows = []
    for frame in traceback.extract_tb(exc.__traceback__):
        if module is nlsqlagent and frame.filename == "nlsqlagent/base":
            rows.append((frame.name.rsplit(".", 1)[-1], frame.lineno))
        elif module is reference and frame.filename == REFERENCE and frame.name in METHOD_NAMES:
            rows.append((frame.name, frame.lineno))
    return rows


def observe(module, scenario, triggers):
    plan = Plan(triggers)
    Credential, Status, opener, Agent, create, out = doubles(plan)
    saved = {name: getattr(module, name) for name in ("SQLDatabase", "create_sql_agent")}
    outcome = []
    try:
        calls, status_type = scenario(module, plan, Credential, Status, opener, Agent, create)
        with redirect_stdout(out):
            for obj, name, args in calls:
                try:
                    result = getattr(type(obj), name)(obj, *args)
                    if status_type and name == "__init__":  # the record, made by __init__, with hooked items
                        made = object.__getattribute__(obj, "__dict__")["connection_status"]
                        object.__setattr__(obj, "connection_status", status_type(made))
                    outcome.append((name, "returned", result if isinstance(result, (str, type(None))) else
                                    dict(result) if isinstance(result, dict) else type(result).__name__))
                except (Boom, Soft) as exc:
                    context = exc.__context__
                    outcome.append((name, type(exc).__name__, method_lines(exc, module),
                                    method_lines(context, module) if context is not None else None))
                    break
    finally:
        for name, value in saved.items():
            setattr(module, name, value)
    return plan.events, outcome


def statement_lines():
    """The lines of the reference's methods that hold a statement that can fail."""
    source = open(REFERENCE).read().splitlines()
    lines = set()
    for cls in (reference.DatabaseConnector, reference.AgentRunner):
        for name in ("__init__", "connect", "getdbinstance", "run"):
            if name not in vars(cls):
                continue
            code = vars(cls)[name].__code__
            for _, line in dis.findlinestarts(code):
                text = source[line - 1].strip() if line else ""
                if line and line != code.co_firstlineno and not text.startswith(("try:", "else:", "except ")):
                    lines.add(line)
    return lines


def test_every_statement_fails_as_in_the_reference():
    reached = set()
    for name, scenario in SCENARIOS.items():
        clean_events, _ = observe(reference, scenario, {})
        assert observe(nlsqlagent, scenario, {}) == observe(reference, scenario, {}), name
        # one failure at each step; then a caught failure at each step followed by a failure at each later one
        runs = [{k: Boom} for k in range(len(clean_events))]
        runs += [{k: Soft} for k in range(len(clean_events))]
        for j in range(len(clean_events)):
            soft_events, _ = observe(reference, scenario, {j: Soft})
            runs += [{j: Soft, k: Boom} for k in range(j + 1, len(soft_events))]
        for triggers in runs:
            expected = observe(reference, scenario, triggers)
            assert observe(nlsqlagent, scenario, triggers) == expected, (name, triggers)
            for entry in expected[1]:
                if entry[1] in ("Boom", "Soft"):
                    for rows in entry[2:]:
                        reached.update(line for _, line in rows or [])
    missing = statement_lines() - reached
    assert not missing, "statements no run reached: %s" % sorted(missing)


@pytest.mark.parametrize("name", sorted(SCENARIOS))
def test_steps_of_a_clean_run(name):
    # the order in which the methods read and write, pinned for each scenario
    events, outcome = observe(nlsqlagent, SCENARIOS[name], {})
    assert events == observe(reference, SCENARIOS[name], {})[0]
    if name == "connector":
        connect = events[events.index("set connection_status") + 1:]
        check = ["get db_user", "eq", "get db_password", "eq", "get db_host", "eq", "get db_name", "eq"]
        uri = ["get db_user", "format", "get db_password", "format", "get db_host", "format", "get db_name", "format"]
        # the check, then SQLDatabase.from_uri looked up before the credentials are read again for the URI
        assert connect[:len(check) + 1 + len(uri)] == check + ["get from_uri"] + uri
        assert connect[len(check) + 1 + len(uri)] == "from_uri mysql+pymysql://u:p%40w@h/n"
    assert outcome


def test_defaults_are_built_on_first_read():
    # A fresh process: the agent type's default is referenced by the function's slot only, until the first
    # read of __defaults__ builds the tuple.
    from conftest import run_python
    result = run_python("""
        import sys, nlsqlagent
        member = nlsqlagent.AgentType.ZERO_SHOT_REACT_DESCRIPTION
        before = sys.getrefcount(member)
        defaults = nlsqlagent.AgentRunner.__init__.__defaults__
        print(sys.getrefcount(member) - before, defaults[1] is member)
    """)
    assert result.stdout.split() == ["1", "True"], result.stderr
