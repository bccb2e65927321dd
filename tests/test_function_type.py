"""The method function type as Python code sees it: descriptor, attributes and their write rules."""
import gc
import pickle
import re
import warnings
import weakref

import pytest

import nlsqlagent

DC = nlsqlagent.DatabaseConnector
AR = nlsqlagent.AgentRunner
METHODS = [DC.__init__, DC.connect, DC.getdbinstance, AR.__init__, AR.run]


@pytest.fixture
def fresh():
    """A method whose attributes a test may change; restored afterwards."""
    f = DC.getdbinstance
    saved = (f.__name__, f.__qualname__, f.__doc__, f.__module__, dict(f.__dict__))
    yield f
    f.__name__, f.__qualname__, f.__doc__, f.__module__ = saved[:4]
    f.__dict__ = saved[4]


def test_descriptor_binds_like_a_python_function():
    d = DC()
    assert DC.__dict__["connect"] is DC.connect
    bound = d.connect
    assert type(bound).__name__ == "method" and bound.__self__ is d and bound.__func__ is DC.connect
    assert DC.connect.__get__(None, DC) is DC.connect


def test_read_attributes():
    expected = [("__init__", "DatabaseConnector.__init__", 5, ("self", "db_user", "db_password", "db_host", "db_name")),
                ("connect", "DatabaseConnector.connect", 1, ("self", "e")),
                ("getdbinstance", "DatabaseConnector.getdbinstance", 1, ("self", "e")),
                ("__init__", "AgentRunner.__init__", 5, ("self", "llm", "toolkit", "verbose", "agent_type", "e")),
                ("run", "AgentRunner.run", 2, ("self", "query"))]
    for f, (name, qualname, argcount, varnames) in zip(METHODS, expected):
        assert (f.__name__, f.func_name, f.__qualname__) == (name, name, qualname)
        assert f.__module__ == "nlsqlagent" and f.__doc__ is None and f.func_doc is None
        assert f.__globals__ is vars(nlsqlagent) and f.func_globals is f.__globals__
        assert f.__closure__ is None and f.func_closure is None
        code = f.__code__
        assert f.func_code is code
        assert (code.co_name, code.co_filename, code.co_argcount, code.co_varnames) == (
            name, "nlsqlagent/base", argcount, varnames)
        assert f.__kwdefaults__ is None and f._is_coroutine is False
        assert f.__annotations__ == {} and f.__dict__ == {}
        assert re.fullmatch(r"<native_method %s at 0x[0-9a-f]+>" % re.escape(qualname), repr(f))
        assert f.__reduce__() == qualname
    assert DC.__init__.__defaults__ == (None, None, None, None)
    assert DC.connect.__defaults__ is None and AR.run.__defaults__ is None
    assert AR.__init__.__defaults__ == (True, nlsqlagent.AgentType.ZERO_SHOT_REACT_DESCRIPTION)


def test_pickles_by_qualified_name():
    # The pickle machinery looks the qualified name up in module "nlsqlagent".
    assert pickle.loads(pickle.dumps(DC.connect)) is DC.connect


def test_name_and_qualname_must_be_str(fresh):
    for attr in ("__name__", "__qualname__"):
        with pytest.raises(TypeError, match="^%s must be set to a string object$" % attr):
            setattr(fresh, attr, 5)
        with pytest.raises(TypeError, match="^%s must be set to a string object$" % attr):
            delattr(fresh, attr)
    class S(str):
        pass
    fresh.__qualname__ = S("X.y")
    assert fresh.__qualname__ == "X.y" and repr(fresh).startswith("<native_method X.y at ")


def test_doc_module_and_dict_writes(fresh):
    fresh.__doc__ = 3
    assert fresh.__doc__ == 3
    del fresh.__doc__
    assert fresh.__doc__ is None
    fresh.__module__ = 7
    assert fresh.__module__ == 7
    del fresh.__module__
    assert fresh.__module__ is None
    fresh.tag = 1
    assert fresh.__dict__ == {"tag": 1}
    with pytest.raises(TypeError, match="^setting function's dictionary to a non-dict$"):
        fresh.__dict__ = []
    with pytest.raises(TypeError, match="^function's dictionary may not be deleted$"):
        del fresh.__dict__
    fresh.__dict__ = {"other": 2}
    assert fresh.other == 2


@pytest.mark.parametrize("attr", ["__globals__", "__closure__", "__code__", "_is_coroutine"])
def test_read_only_attributes(attr):
    with pytest.raises(AttributeError):
        setattr(DC.connect, attr, None)


def test_annotations_writes(fresh):
    fresh.__annotations__ = {"a": int}
    assert fresh.__annotations__ == {"a": int}
    fresh.__annotations__ = None
    assert fresh.__annotations__ == {}
    del fresh.__annotations__
    assert fresh.__annotations__ == {}
    with pytest.raises(TypeError, match="^__annotations__ must be set to a dict object$"):
        fresh.__annotations__ = 1


@pytest.mark.parametrize("attr,good,bad,kind", [("__defaults__", (1, 2, 3, 4), [1], "tuple"),
                                                ("__kwdefaults__", {"db_user": 1}, (1,), "dict")])
def test_defaults_stores_warn_and_never_change_calls(attr, good, bad, kind):
    f = DC.__init__
    saved = getattr(f, attr)
    try:
        with pytest.raises(TypeError, match="^%s must be set to a %s object$" % (attr, kind)):
            setattr(f, attr, bad)
        text = "changes to native_method.%s will not currently affect the values used in function calls" % attr
        for value in (good, None):
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                setattr(f, attr, value)
            assert [(w.category, str(w.message)) for w in caught] == [(RuntimeWarning, text)]
            assert getattr(f, attr) == value
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            delattr(f, attr)
        assert getattr(f, attr) is None and len(caught) == 1
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            setattr(f, attr, good)
        d = DC()
        assert (d.db_user, d.db_password, d.db_host, d.db_name) == (None, None, None, None)
        # Turned into an error, the warning stops the store.
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with pytest.raises(RuntimeWarning):
                setattr(f, attr, None)
        assert getattr(f, attr) == good
    finally:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            setattr(f, attr, saved)


def test_weak_references_and_garbage_collection():
    f = DC.connect
    r = weakref.ref(f)
    assert r() is f
    # A cycle through the function's own dict is collectable: the type takes part in cyclic GC.
    f.cycle = [f]
    try:
        referents = gc.get_referents(f)
        assert gc.is_tracked(f)
        assert any(o is f.__dict__ for o in referents) and any(o is vars(nlsqlagent) for o in referents)
    finally:
        del f.cycle
