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
