"""The exception being handled (sys.exc_info()) around the methods' except clauses: each clause changes the
slot it uses and gives back exactly what was there. And the exception a failing call raises: it carries its
traceback entry, or becomes MemoryError when the entry cannot be made."""
import contextlib
import io
import sys

import pytest

import nlsqlagent
from conftest import crash_free, reference


def generator_trace(module, sqldatabase):
    """What a generator sees of its own exception state around a failing connect() made while its caller was
    handling another exception."""
    module.SQLDatabase = sqldatabase

    def gen():
        yield module.DatabaseConnector("u", "p", "h", "d").connect()["message"]
        yield sys.exc_info()[0]
        try:
            raise KeyError("inner")
        except KeyError as k:
            yield type(k.__context__)

    g = gen()
    try:
        raise ValueError("outer")
    except ValueError:
        first = next(g)
    return first, next(g), next(g), sys.exc_info()[0]


def test_except_clause_restores_the_slot_it_changed(sqldb):
    class Failing:
        @staticmethod
        def from_uri(uri):
            raise OSError("refused")

    saved = reference.SQLDatabase
    try:
        expected = generator_trace(reference, Failing)
    finally:
        reference.SQLDatabase = saved
    assert expected == ("refused", None, type(None), None)
    assert generator_trace(nlsqlagent, Failing) == expected


def caller_sees(module):
    """What a caller's own except clause reports as handled after each method's clause caught and ended."""
    class Failing:
        @staticmethod
        def from_uri(uri):
            raise OSError("refused")

    def create_fails(**kw):
        raise ValueError("bad toolkit")

    saved = module.SQLDatabase, module.create_sql_agent
    module.SQLDatabase, module.create_sql_agent = Failing, create_fails
    seen = []
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            try:
                raise KeyError("the caller's own")
            except KeyError:
                connector = module.DatabaseConnector("u", "p", "h", "d")
                connector.connect()
                seen.append(sys.exc_info()[1])
                connector.getdbinstance()
                seen.append(sys.exc_info()[1])
                module.AgentRunner(1, 2)
                seen.append(sys.exc_info()[1])
            seen.append(sys.exc_info()[1])
    finally:
        module.SQLDatabase, module.create_sql_agent = saved
    return [repr(e) for e in seen]


def test_the_callers_handled_exception_is_back_after_each_clause():
    expected = caller_sees(reference)
    assert expected == [repr(KeyError("the caller's own"))] * 3 + ["None"]
    assert caller_sees(nlsqlagent) == expected


@pytest.mark.skipif(hasattr(sys, "gettotalrefcount"),
                    reason="release interpreters; on a debug one the failing-allocation sweeps cover these paths")
def test_a_failed_call_keeps_its_entry_or_raises_memory_error():
    # Each call runs in a child forked from a process that has made no traceback entry yet, so its first entry
    # (code object, frame) is made while one allocation fails, at each index in turn: making the entry must not
    # give the exception up without it (the sweeps' calls find the entries made already).
    pytest.importorskip("_testcapi")
    out = crash_free("""
        import os, _testcapi, nlsqlagent
        calls = [lambda: nlsqlagent.DatabaseConnector(1, 2, 3, 4, 5, 6), lambda: nlsqlagent.AgentRunner.run(None)]
        seen = set()
        for call in calls:
            for index in range(60):
                read, write = os.pipe()
                if os.fork() == 0:
                    _testcapi.set_nomemory(index, index + 1)
                    try:
                        call()
                    except Exception as e:
                        error = e
                    finally:
                        _testcapi.remove_mem_hooks()
                    tb, entries = error.__traceback__, []
                    while tb is not None:
                        if tb.tb_frame.f_code.co_filename == "nlsqlagent/base":
                            entries.append(tb.tb_frame.f_code.co_name)
                        tb = tb.tb_next
                    os.write(write, repr((type(error).__name__, () if type(error) is MemoryError
                                          else tuple(entries))).encode())
                    os._exit(0)
                os.close(write)
                with os.fdopen(read) as child:
                    seen.add(child.read())
                os.wait()
        print(sorted(seen))
    """)
    assert out.strip() == str(sorted(map(repr, [("MemoryError", ()), ("TypeError", ("nlsqlagent.AgentRunner.run",)),
                                                ("TypeError", ("nlsqlagent.DatabaseConnector.__init__",))]))), out


def raised_as_is_scenario(module, testcapi):
    """Exceptions that are made instances only where a handler takes them: one whose class turns another
    exception out of its __init__ (left pending as class and arguments by a C function), and one whose
    metaclass denies that it is a subclass of its own class (each time it is made an instance it is wrapped
    once more). The clause matches what the instance turns out to be, and the instance is made once."""

    class Interrupting(Exception):
        def __init__(self, *args):
            raise KeyboardInterrupt("from __init__")

    class Failing(BaseException):
        def __init__(self, *args):
            raise ValueError("from __init__")

    class Meta(type):
        def __subclasscheck__(cls, sub):
            return False

    class Odd(Exception, metaclass=Meta):
        pass

    def outcome(call):
        try:
            return repr(call())
        except BaseException as e:
            return "raised %r" % e

    def raising(exc):
        def raise_it(*args, **kwargs):
            if testcapi is None:
                raise exc("x")
            return testcapi.raise_exception(exc, 0)  # pending as the class and its arguments
        return raise_it

    class Agent:
        def run(self, question):
            raise Odd("y")

    results = []
    saved = module.SQLDatabase, module.create_sql_agent
    try:
        for exc in (Interrupting, Failing, Odd) if testcapi else (Odd,):
            module.SQLDatabase = type("DB", (), {"from_uri": staticmethod(raising(exc))})
            module.create_sql_agent = raising(exc)
            results.append(outcome(lambda: module.DatabaseConnector("u", "p", "h", "d").connect()))
            with contextlib.redirect_stdout(io.StringIO()) as out:
                error = outcome(lambda: module.AgentRunner(1, 2).error)
            results.append((error, out.getvalue()))
        module.create_sql_agent = lambda **kwargs: Agent()
        with contextlib.redirect_stdout(io.StringIO()):
            runner = module.AgentRunner(1, 2)
        results.append(outcome(lambda: runner.run("q")))
    finally:
        module.SQLDatabase, module.create_sql_agent = saved
    return results


@pytest.mark.parametrize("with_c_raise", [False, True])
def test_a_clause_matches_the_exception_its_instance_turns_out_to_be(with_c_raise):
    testcapi = pytest.importorskip("_testcapi") if with_c_raise else None
    assert raised_as_is_scenario(nlsqlagent, testcapi) == raised_as_is_scenario(reference, testcapi)
