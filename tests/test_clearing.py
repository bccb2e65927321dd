"""Objects cleared by the garbage collector stay usable to code that still reaches them."""
from conftest import crash_free


def test_cleared_methods_stay_usable():
    # The collector may clear a method and leave it reachable to code that runs in the same collection (a
    # weakref callback, a finaliser). The type's clear slot, called here directly, must leave every attribute
    # readable and the method callable.
    out = crash_free("""
        import ctypes, nlsqlagent
        C, R = nlsqlagent.DatabaseConnector, nlsqlagent.AgentRunner
        methods = (C.__init__, C.connect, C.getdbinstance, R.__init__, R.run)
        fn_type = type(C.connect)
        # tp_clear: the 22nd field after the object header of a type object
        offset = object.__basicsize__ + 8 + 21 * ctypes.sizeof(ctypes.c_void_p)
        clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(
            ctypes.c_void_p.from_address(id(fn_type) + offset).value)
        for m in methods:
            m.extra = [m]          # a cycle through the attribute dict, which clearing breaks
            assert clear(m) == 0
            print([m.__name__, m.__qualname__, m.__code__.co_name, type(m.__globals__).__name__, m.__defaults__,
                   m.__kwdefaults__, m.__module__, m.__doc__, m.__dict__, repr(m)[:2], m.__reduce__()])
            try:
                m()
            except TypeError as e:
                print(e)
        nlsqlagent.create_sql_agent = lambda **kw: None
        runner = R(None, None)
        print(runner.verbose, runner.agent_type is nlsqlagent.AgentType.ZERO_SHOT_REACT_DESCRIPTION,
              C().connect()["message"], runner.run("q"))
    """)
    lines = out.splitlines()
    assert lines[0] == "['', '', '__init__', 'dict', None, None, None, None, {}, '<n', '']", out
    assert lines[1] == "__init__() takes at least 1 positional argument (0 given)"
    assert lines[-1] == "True True All database credentials must be provided None", out


def test_methods_left_as_garbage_are_freed_with_all_they_hold():
    # Each method, taken out of its class, holds a cycle back to itself through an attribute that callers
    # can set; the collector must break every such cycle. A method in no cycle is freed at once, and with it
    # everything it held, the fields that clearing keeps as well.
    out = crash_free("""
        import gc, warnings, nlsqlagent
        C, R = nlsqlagent.DatabaseConnector, nlsqlagent.AgentRunner
        method_type = type(R.run)
        freed = []

        class Name(str):
            def __del__(self):
                freed.append(str(self))

        warnings.simplefilter("ignore")  # the note that a __defaults__ store does not change calls
        cycles = {"__doc__": (C, "__init__", lambda m: (m,)), "__module__": (C, "connect", lambda m: [m]),
                  "__annotations__": (C, "getdbinstance", lambda m: {"m": m}),
                  "__defaults__": (R, "__init__", lambda m: (m,))}
        ids = {}
        for attribute, (cls, name, cycle) in cycles.items():
            m = getattr(cls, name)
            delattr(cls, name)
            setattr(m, attribute, cycle(m))
            ids[id(m)] = attribute
        m = R.run
        del R.run
        m.__name__ = Name("run")
        del m
        gc.collect()
        print(sorted(ids[id(o)] for o in gc.get_objects() if type(o) is method_type and id(o) in ids), freed)
    """)
    assert out.strip() == "[] ['run']", out
