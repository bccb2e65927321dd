"""Property-based tests: generated calls against a Python def and a model of the binding rules; generated
objects against the same classes written in plain Python (reference/base.py)."""
import io
import os
from contextlib import redirect_stdout

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import nlsqlagent

from conftest import reference as plain_agent  # noqa: E402
from doubles import GoodSQLDatabase  # noqa: E402

DC, AR = nlsqlagent.DatabaseConnector, nlsqlagent.AgentRunner
FUZZ = settings(max_examples=int(os.environ.get("NLSA_FUZZ_EXAMPLES", "300")), deadline=None,
                suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])


class OddName(str):
    """A keyword name equal to its text whose hash is unrelated to it."""

    def __eq__(self, other):
        return str.__eq__(self, other)

    def __ne__(self, other):
        return str.__ne__(self, other)

    def __hash__(self):
        return hash(self[::-1]) ^ 0x5A5A


# ---- binding ---------------------------------------------------------------------------------------------

class Echo:
    def run(self, query):
        return query


def run_agent():
    r = AR.__new__(AR)
    r.agent_runner = Echo()
    return r


# (method, parameter names, required count, defaults of the optional ones, make self, what the call binds)
METHODS = {
    "DatabaseConnector.__init__": (DC.__init__, ["self", "db_user", "db_password", "db_host", "db_name"], 1,
                                   [None] * 4, lambda: DC.__new__(DC),
                                   lambda self, result: tuple(getattr(self, a) for a in
                                                              ("db_user", "db_password", "db_host", "db_name"))),
    "AgentRunner.__init__": (AR.__init__, ["self", "llm", "toolkit", "verbose", "agent_type"], 3,
                             [True, AR.__init__.__defaults__[1]], lambda: AR.__new__(AR),
                             lambda self, result: (self.llm, self.toolkit, self.verbose, self.agent_type)),
    "DatabaseConnector.connect": (DC.connect, ["self"], 1, [], lambda: DC(), lambda self, result: ()),
    "DatabaseConnector.getdbinstance": (DC.getdbinstance, ["self"], 1, [], lambda: DC(), lambda self, result: ()),
    "AgentRunner.run": (AR.run, ["self", "query"], 2, [], run_agent, lambda self, result: (result,)),
}


def count_error(name, nparams, nrequired, given):
    word = "exactly" if nrequired == nparams else ("at most" if given > nparams else "at least")
    number = nparams if given > nparams else nrequired
    return "%s() takes %s %d positional argument%s (%d given)" % (name, word, number, "" if number == 1 else "s",
                                                                  given)


def model(name, params, nrequired, npos, keywords):
    """The binding rules: None when the call binds, else the TypeError text."""
    nparams = len(params)
    if any(not isinstance(k, str) for k, _ in keywords):
        return "keywords must be strings"
    if npos > nparams:
        return count_error(name, nparams, nrequired, npos)
    if not keywords:
        return count_error(name, nparams, nrequired, npos) if npos < nrequired else None
    found = 0
    for i in range(npos, nparams):
        if any(k == params[i] for k, _ in keywords):
            found += 1
        elif i < nrequired:
            return count_error(name, nparams, nrequired, npos + found)
    if found < len(keywords):
        for k, _ in keywords:
            if any(k == p for p in params[npos:]):
                continue
            if any(k == p for p in params[:npos]):
                return "%s() got multiple values for keyword argument '%s'" % (name, k)
            return "%s() got an unexpected keyword argument '%s'" % (name, k)
    return None


def python_def(params, nrequired, defaults):
    """A Python def with the same signature, returning what it bound."""
    parts = params[:nrequired] + ["%s=__d[%d]" % (p, i) for i, p in enumerate(params[nrequired:])]
    namespace = {"__d": defaults}
    exec("def f(%s):\n    return (%s,)" % (", ".join(parts), ", ".join(params)), namespace)
    return namespace["f"]


def call_keys(params):
    known = st.sampled_from(params + ["user", "tool", "query", "x"])
    return st.one_of(known, known.map(OddName), st.sampled_from([1, b"db_user", None]))


@FUZZ
@given(data=st.data(), which=st.sampled_from(sorted(METHODS)), npos=st.integers(0, 7))
def test_binding_agrees_with_python_and_with_the_rules(data, which, npos):
    method, params, nrequired, defaults, make_self, bound_of = METHODS[which]
    name = which.split(".")[1]
    keys = data.draw(st.lists(call_keys(params), max_size=4, unique_by=lambda k: (type(k) is bytes, str(k))))
    if any(not isinstance(k, str) for k in keys) and data.draw(st.booleans()):
        keys = [k for k in keys if isinstance(k, str)]
    keywords = [(k, "kw:%s" % k) for k in keys]
    self_obj, twin = make_self(), make_self()
    args = [self_obj] + ["pos%d" % i for i in range(1, npos)] if npos else []
    twin_args = [twin] + args[1:] if npos else []
    kwargs = {k: (self_obj if k == "self" else v) for k, v in keywords}
    twin_kwargs = {k: (twin if k == "self" else v) for k, v in keywords}

    expected_text = model(name, params, nrequired, npos, keywords)
    reference = python_def(params, nrequired, defaults)
    try:
        ref_bound = reference(*args, **kwargs)
    except TypeError:
        ref_bound = TypeError
    with redirect_stdout(io.StringIO()):
        try:
            result = method(*twin_args, **twin_kwargs)
        except TypeError as e:
            got = ("TypeError", str(e))
        else:
            got = ("bound", None)
    if expected_text is None:
        assert got == ("bound", None) and ref_bound is not TypeError
        bound_self = ref_bound[0]
        expected_values = tuple(v for p, v in zip(params, ref_bound) if p != "self" and p in
                                {"db_user", "db_password", "db_host", "db_name", "llm", "toolkit", "verbose",
                                 "agent_type", "query"})
        assert bound_self is self_obj or not npos and "self" in kwargs
        assert bound_of(twin, result) == expected_values
    else:
        assert got == ("TypeError", expected_text)
        assert ref_bound is TypeError


# ---- odd objects against the plain-Python classes --------------------------------------------------------

class Boom(Exception):
    pass


def odd_class(name, **methods):
    return type(name, (), methods)


def raising(*args, **kwargs):
    raise Boom("raised by a test double")


ODD = [
    odd_class("EqRaises", __eq__=raising, __hash__=object.__hash__, __format__=lambda s, f: "eq"),
    odd_class("EqOdd", __eq__=lambda s, o: [1], __hash__=object.__hash__, __format__=lambda s, f: "odd"),
    odd_class("EqFalsyOdd", __eq__=lambda s, o: [], __hash__=object.__hash__),
    odd_class("BoolRaises", __bool__=raising),
    odd_class("BoolOdd", __bool__=lambda s: 2),
    odd_class("StrRaises", __str__=raising, __format__=raising),
    odd_class("StrOdd", __str__=lambda s: 7, __format__=lambda s, f: 7),
    odd_class("FormatSub", __format__=lambda s, f: OddName("sub:@/")),
    odd_class("Plain"),
]

values = st.one_of(st.none(), st.text(max_size=12), st.integers(), st.floats(allow_nan=False),
                   st.sampled_from(ODD).map(lambda cls: cls()), st.sampled_from(["p\ud800", "Lé", "@:/%?# "]))


def observe(module, action):
    """(what the action returned or raised, what it printed)."""
    out = io.StringIO()
    with redirect_stdout(out):
        try:
            outcome = ("returned", describe(action(module)))
        except Exception as e:  # noqa: BLE001 - the exception is what gets compared
            outcome = ("raised", type(e).__name__, str(e))
    return outcome, out.getvalue()


def describe(value):
    if isinstance(value, dict):
        return sorted((k, describe(v)) for k, v in value.items())
    if isinstance(value, tuple):
        return tuple(describe(v) for v in value)
    if isinstance(value, (str, int, float, type(None), bool)):
        return (type(value).__name__, value)
    return type(value).__name__


@pytest.fixture
def doubles(monkeypatch):
    for module in (nlsqlagent, plain_agent):
        monkeypatch.setattr(module, "SQLDatabase", GoodSQLDatabase)


@FUZZ
@given(credentials=st.lists(values, min_size=4, max_size=4))
def test_connector_matches_plain_python(doubles, credentials):
    for action in (lambda m: m.DatabaseConnector(*credentials).connect(),
                   lambda m: m.DatabaseConnector(*credentials).getdbinstance()):
        assert observe(nlsqlagent, action) == observe(plain_agent, action)


@FUZZ
@given(agent=values, llm=values, query=values, fails=st.booleans())
def test_runner_matches_plain_python(monkeypatch, agent, llm, query, fails):
    def create_sql_agent(llm, toolkit, verbose, agent_type):
        if fails:
            raise Boom("no agent for %s" % type(llm).__name__)
        return agent

    class Agent:
        def __init__(self, inner):
            self.inner = inner

        def __bool__(self):
            return bool(self.inner)

        def run(self, q):
            return ("answer", q)

    for module in (nlsqlagent, plain_agent):
        monkeypatch.setattr(module, "create_sql_agent", create_sql_agent)

    def build_and_run(m):
        r = m.AgentRunner(llm, "toolkit")
        state = (describe(r.agent_runner), type(r.error).__name__, str(r.error))
        r.agent_runner = Agent(agent)
        return state, r.run(query)

    assert observe(nlsqlagent, build_and_run) == observe(plain_agent, build_and_run)
