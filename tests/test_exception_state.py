"""The exception being handled (sys.exc_info()) around the methods' except clauses: each clause changes the
slot it uses and gives back exactly what was there."""
import contextlib
import io
import sys

import nlsqlagent
from conftest import reference


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
