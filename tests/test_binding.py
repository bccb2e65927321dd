"""Argument binding: acceptance and bound values agree with a Python def; rejections carry our exact texts."""
import itertools
import sys
import traceback

import pytest

import nlsqlagent

DC = nlsqlagent.DatabaseConnector
AR = nlsqlagent.AgentRunner


def count_error(name, word, number, given):
    return "%s() takes %s %d positional argument%s (%d given)" % (name, word, number, "" if number == 1 else "s",
                                                                  given)


# (function, args, kwargs, expected TypeError text)
REJECTED = [
    (DC.__init__, (), {}, count_error("__init__", "at least", 1, 0)),
    (DC, (1, 2, 3, 4, 5), {}, count_error("__init__", "at most", 5, 6)),
    (DC, (1,), {"db_user": 2}, "__init__() got multiple values for keyword argument 'db_user'"),
    (DC, (), {"user": 2}, "__init__() got an unexpected keyword argument 'user'"),
    (DC, (1, 2, 3, 4, 5), {"db_user": 1}, count_error("__init__", "at most", 5, 6)),
    (DC.__init__, (), {"db_user": 1}, count_error("__init__", "at least", 1, 0)),
    (DC.connect, (), {}, count_error("connect", "exactly", 1, 0)),
    (DC.connect, (1, 2), {}, count_error("connect", "exactly", 1, 2)),
    (DC.getdbinstance, (1,), {"x": 1}, "getdbinstance() got an unexpected keyword argument 'x'"),
    (DC.getdbinstance, (), {"x": 1}, count_error("getdbinstance", "exactly", 1, 0)),
    (AR, (), {"llm": 1}, count_error("__init__", "at least", 3, 2)),
    (AR, (1, 2, 3, 4, 5), {}, count_error("__init__", "at most", 5, 6)),
    (AR, (1,), {}, count_error("__init__", "at least", 3, 2)),
    (AR, (), {"llm": 1, "toolkit": 2, "tool": 3}, "__init__() got an unexpected keyword argument 'tool'"),
    (AR, (1, 2), {"llm": 1}, "__init__() got multiple values for keyword argument 'llm'"),
    (AR, (), {"toolkit": 1}, count_error("__init__", "at least", 3, 1)),
    (AR.run, (), {"query": 1}, count_error("run", "exactly", 2, 0)),
    (AR.run, (1,), {}, count_error("run", "exactly", 2, 1)),
    (AR.run, (1, 2), {"query": 3}, "run() got multiple values for keyword argument 'query'"),
    (AR.run, (1, 2, 3), {"query": 3}, count_error("run", "exactly", 2, 3)),
    (DC, tuple(range(12)), {}, count_error("__init__", "at most", 5, 13)),  # numbers of two digits
    (AR.run, tuple(range(100)), {}, count_error("run", "exactly", 2, 100)),
    (AR.run, (1,), {"query": 1, "self": 2}, "run() got multiple values for keyword argument 'self'"),
]


@pytest.mark.parametrize("func,args,kwargs,text", REJECTED)
def test_rejected_calls_carry_exact_text_and_entry(func, args, kwargs, text):
    with pytest.raises(TypeError) as info:
        func(*args, **kwargs)
    assert str(info.value) == text
    last = traceback.extract_tb(info.value.__traceback__)[-1]
    method = func.__init__ if isinstance(func, type) else func
    # The entry is at the definition's line, which is also the code object's first line.
    assert (last.filename, last.name, last.lineno) == ("nlsqlagent/base", "nlsqlagent." + method.__qualname__,
                                                       method.__code__.co_firstlineno)


def test_bound_method_counts_the_instance(create_agent, capsys):
    runner = AR(1, 2)
    with pytest.raises(TypeError, match=r"^run\(\) takes exactly 2 positional arguments \(1 given\)$"):
        runner.run()
    with pytest.raises(TypeError, match=r"^connect\(\) takes exactly 1 positional argument \(2 given\)$"):
        DC().connect(1)


def test_non_str_keyword_rejected_before_counting():
    """Every route from Python code stops at the call entry, on every interpreter version."""
    connector = DC()
    for call in (lambda: DC(1, 2, 3, 4, 5, **{1: 2}), lambda: DC.connect(connector, **{1: 2}),
                 lambda: connector.connect(**{1: 2}), lambda: DC.__init__(connector, 1, **{"db_host": 3, 2: 4})):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == "keywords must be strings"


class OddName(str):
    """A keyword name whose == the binder must consult, and whose hash is unrelated to its text."""

    def __eq__(self, other):
        return str.__eq__(self, other)

    def __hash__(self):
        return 7


class RaisingName(str):
    def __eq__(self, other):
        raise ZeroDivisionError("eq")

    __hash__ = str.__hash__


def test_str_subclass_keywords_bind_by_equality():
    d = DC(**{OddName("db_name"): "n", OddName("db_user"): "u"})
    assert (d.db_user, d.db_password, d.db_host, d.db_name) == ("u", None, None, "n")


def test_keyword_comparison_that_raises_ends_binding():
    with pytest.raises(ZeroDivisionError):
        DC(**{RaisingName("db_user"): 1})


@pytest.mark.parametrize("method,kwnames", [(DC.__init__, ("db_user", "db_user")),
                                            (AR.__init__, ("llm", "toolkit", "llm")),
                                            (AR.run, ("query", "query"))])
def test_a_keyword_given_twice_by_a_c_caller(method, kwnames):
    # Python code cannot pass one keyword twice, a C caller can: in a vectorcall, whose names tuple may repeat
    # a name (the interned one, as the usual call has it). A Python def refuses that as a second value.
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "pyobject_vectorcall"):
        pytest.skip("no vectorcall on this interpreter: the keywords reach the method as a dict")
    kwnames = tuple(sys.intern(k) for k in kwnames)
    cls = DC if method is DC.__init__ else AR
    values = tuple("v%d" % i for i in range(len(kwnames)))
    with pytest.raises(TypeError) as info:
        testcapi.pyobject_vectorcall(method, (cls.__new__(cls),) + values, kwnames)
    assert str(info.value) == "%s() got multiple values for keyword argument '%s'" % (method.__name__, kwnames[-1])
    python_def = {DC.__init__: reference_connector_init, AR.__init__: reference_runner_init,
                  AR.run: lambda self, query: query}[method]
    with pytest.raises(TypeError, match="multiple values"):
        testcapi.pyobject_vectorcall(python_def, (None,) + values, kwnames)


def reference_connector_init(self, db_user=None, db_password=None, db_host=None, db_name=None):
    return (db_user, db_password, db_host, db_name)


def reference_runner_init(self, llm, toolkit, verbose=True, agent_type="default"):
    return (llm, toolkit, verbose, agent_type)


NAMES_DC = ["self", "db_user", "db_password", "db_host", "db_name", "user"]
NAMES_AR = ["self", "llm", "toolkit", "verbose", "agent_type", "tool"]


def calls_for(names):
    for npos in range(0, 7):
        for nkw in range(0, 3):
            for kws in itertools.combinations(names, nkw):
                yield npos, kws


def bind_like_python(cls, reference, attributes, npos, kws):
    """Calls cls.__init__ and the reference def alike; both accept with the same values, or both reject."""
    args = tuple("p%d" % i for i in range(npos))
    kwargs = {k: "k_" + k for k in kws}
    try:
        expected = reference(*args, **kwargs)
    except TypeError:
        expected = TypeError
    obj = cls.__new__(cls)
    # Bind through the class, with a real instance wherever self is passed.
    call_args = (obj,) + args[1:] if args else args
    if "self" in kwargs:
        kwargs["self"] = obj
    try:
        cls.__init__(*call_args, **kwargs)
        got = tuple(getattr(obj, a) for a in attributes)
    except TypeError:
        got = TypeError
    if npos and "self" not in kwargs:
        # The same call of the class itself, which hands its arguments on to __init__ after the new instance.
        try:
            made = cls(*args[1:], **kwargs)
            by_class = tuple(getattr(made, a) for a in attributes)
        except TypeError:
            by_class = TypeError
        assert by_class == got
    return got, expected


@pytest.mark.parametrize("npos,kws", list(calls_for(NAMES_DC)))
def test_connector_binding_agrees_with_python(npos, kws):
    got, expected = bind_like_python(DC, reference_connector_init, NAMES_DC[1:5], npos, kws)
    assert got == expected


@pytest.mark.parametrize("npos,kws", list(calls_for(NAMES_AR)))
def test_runner_binding_agrees_with_python(npos, kws, create_agent, capsys):
    got, expected = bind_like_python(AR, reference_runner_init, NAMES_AR[1:5], npos, kws)
    if expected is not TypeError:
        expected = expected[:3] + ((AR.__init__.__defaults__[1] if expected[3] == "default" else expected[3]),)
    assert got == expected


def test_keyword_values_survive_the_caller_dropping_them():
    """A keyword name's == that empties the caller's dict while binding runs: the values stay alive."""
    import ctypes
    import gc

    calls = []

    class Clearing(str):
        def __eq__(self, other):
            calls.append(other)
            kwargs.clear()
            return str.__eq__(self, other)

        __hash__ = str.__hash__

    obj = DC.__new__(DC)
    kwargs = {Clearing("db_host"): ["only", "here"]}
    call = ctypes.pythonapi.PyObject_Call
    call.restype, call.argtypes = ctypes.py_object, [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    call(DC.__init__, (obj,), kwargs)
    gc.collect()
    assert calls and kwargs == {} and obj.db_host == ["only", "here"]
