"""Method code objects: they describe the methods as their Python source would, and running one by itself
is safe (it raises, it never reaches native code with a frame it does not expect)."""
import sys

import nlsqlagent
from conftest import crash_free, reference

DC, AR = nlsqlagent.DatabaseConnector, nlsqlagent.AgentRunner
METHODS = [DC.__init__, DC.connect, DC.getdbinstance, AR.__init__, AR.run]


def test_method_code_objects_run_safely():
    # Run as a function (with and without builtins, traced and not) and through exec of a copy.
    out = crash_free("""
        import builtins, sys, types, nlsqlagent
        C, R = nlsqlagent.DatabaseConnector, nlsqlagent.AgentRunner
        def tracer(frame, event, arg):
            return tracer
        for m in (C.__init__, C.connect, C.getdbinstance, R.__init__, R.run):
            code = m.__code__
            args = [object()] * code.co_argcount
            runs = [lambda: types.FunctionType(code, {})(*args),
                    lambda: types.FunctionType(code, {"__builtins__": builtins})(*args)]
            if hasattr(code, "replace"):
                runs.append(lambda: exec(code.replace(co_name="copy"), {}))
            for traced in (False, True):
                for run in runs:
                    sys.settrace(tracer if traced else None)
                    try:
                        run()
                    except TypeError as e:
                        print(m.__qualname__, type(e).__name__, e.__traceback__.tb_next is not None)
                    finally:
                        sys.settrace(None)
    """)
    lines = out.splitlines()
    per_method = 6 if sys.version_info >= (3, 8) else 4
    assert len(lines) == 5 * per_method, out
    native = [line for line in lines if "NativeMethodError" in line]
    assert len(native) == 5 * 4 and all(line.endswith("True") for line in native), out  # raised in the code
    for m in METHODS:
        assert sum(line.startswith(m.__qualname__ + " ") for line in lines) == per_method


def test_code_objects_describe_the_methods():
    for m in METHODS:
        code = m.__code__
        assert (code.co_filename, code.co_name) == ("nlsqlagent/base", m.__name__)
        assert code.co_firstlineno == reference_line(m.__qualname__)
        params = [p for p in code.co_varnames[:code.co_argcount]]
        assert params == list(reference_code(m.__qualname__).co_varnames[:code.co_argcount])
        assert code.co_varnames == reference_code(m.__qualname__).co_varnames
        assert code.co_nlocals == len(code.co_varnames)
        if sys.version_info >= (3, 11):
            assert code.co_qualname == m.__qualname__


def reference_code(qualname):
    cls, name = qualname.split(".")
    return vars(getattr(reference, cls))[name].__code__


def reference_line(qualname):
    return reference_code(qualname).co_firstlineno
