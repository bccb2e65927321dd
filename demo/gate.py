"""The gate in front of the agent's query tool: each statement the model sends is parsed (sqlglot, MySQL
dialect) before it reaches the server, and only one complete read statement passes: SELECT (with WITH, UNION
and subqueries), SHOW, DESCRIBE or EXPLAIN. What the server would run is what the parser saw: text that the
server executes but a parser takes for a comment (/*! ... */, /*M! ... */, optimizer hints) is refused, and so
is every comment, and everything the parser does not take in whole as one of those statements."""
import logging
from typing import Iterable, Optional

import sqlglot
from sqlglot import exp
from sqlglot.errors import SqlglotError

# Functions that wait, take or look at locks, read files or change state that outlives the statement.
REFUSED_FUNCTIONS = {
    "SLEEP", "BENCHMARK", "LOAD_FILE", "GET_LOCK", "RELEASE_LOCK", "RELEASE_ALL_LOCKS", "IS_FREE_LOCK",
    "IS_USED_LOCK", "MASTER_POS_WAIT", "MASTER_GTID_WAIT", "SOURCE_POS_WAIT", "WAIT_FOR_EXECUTED_GTID_SET",
    "WAIT_UNTIL_SQL_THREAD_AFTER_GTIDS", "NEXTVAL", "SETVAL", "LASTVAL", "SYS_EXEC", "SYS_EVAL",
}
# Any function whose name holds one of these (version_tokens_lock_shared, service_get_write_locks, ...).
REFUSED_FRAGMENTS = ("LOCK", "SLEEP", "WAIT")
# Nodes that a read statement never holds.
REFUSED_NODES = (exp.DML, exp.DDL, exp.Command, exp.Set, exp.SetItem, exp.Into, exp.Lock, exp.Hint,
                 exp.Transaction, exp.Commit, exp.Rollback, exp.Use)
STATEMENTS = (exp.Select, exp.SetOperation, exp.Subquery, exp.Show, exp.Describe)
EXECUTABLE_COMMENTS = ("/*!", "/*m!", "/*+")


class Refused(Exception):
    """Why a statement does not reach the server (one line, for the model and the list under the answer)."""


def check(sql: str, tables: Optional[Iterable[str]] = None, database: Optional[str] = None) -> None:
    """Raises Refused unless `sql` is one complete read statement. With `tables`, it may name only those
    tables (of `database`, or unqualified) and the names of its own WITH clauses, and SHOW is refused."""
    lowered = sql.lower()
    for marker in EXECUTABLE_COMMENTS:
        if marker in lowered:
            raise Refused("executable comments and optimizer hints (%s ... */) are not accepted" % marker.upper())
    try:
        tokens = sqlglot.tokenize(sql, read="mysql")
    except SqlglotError as exc:
        raise Refused("the statement could not be read: %s" % _first_line(exc))
    if any(token.comments for token in tokens):
        raise Refused("comments are not accepted; send the statement without them")
    statements = _parse(sql)
    if len(statements) != 1:
        raise Refused("one statement at a time, not %d" % len(statements))
    statement = statements[0]
    if not isinstance(statement, STATEMENTS):
        raise Refused("only SELECT, WITH ... SELECT, SHOW, DESCRIBE and EXPLAIN are accepted, not %s"
                      % _kind(statement))
    for node in statement.walk():
        if isinstance(node, REFUSED_NODES):
            raise Refused("%s is not accepted in a read statement" % _kind(node))
        if isinstance(node, exp.Func):
            name = (node.name if isinstance(node, exp.Anonymous) else node.sql_name()).upper()
            if name in REFUSED_FUNCTIONS or any(f in name for f in REFUSED_FRAGMENTS):
                raise Refused("the function %s is not accepted (it waits, locks, reads files or changes state)"
                              % name)
            if isinstance(node, exp.Anonymous) and isinstance(node.parent, exp.Dot):
                raise Refused("stored functions of a named database (%s) are not accepted" % node.parent.sql("mysql"))
    if tables is not None:
        _check_tables(statement, {t.lower() for t in tables}, (database or "").lower())


def _parse(sql):
    """The statements of `sql`, each parsed completely (a fallback to a generic command is a failure)."""
    fell_back = []

    class Catch(logging.Handler):
        def emit(self, record):
            fell_back.append(record.getMessage())

    logger = logging.getLogger("sqlglot")
    handler = Catch(logging.WARNING)
    logger.addHandler(handler)
    propagate, logger.propagate = logger.propagate, False
    try:
        statements = [s for s in sqlglot.parse(sql, read="mysql") if s is not None]
    except SqlglotError as exc:
        raise Refused("the statement is not one that ./ask can read completely: %s" % _first_line(exc))
    finally:
        logger.removeHandler(handler)
        logger.propagate = propagate
    if fell_back:
        raise Refused("the statement is not one that ./ask can read completely (%s)" % _kind(statements[0]))
    return statements


def _check_tables(statement, allowed, database):
    if isinstance(statement, exp.Show):
        raise Refused("SHOW is not accepted when --tables limits the tables")
    own = {cte.alias_or_name.lower() for cte in statement.find_all(exp.CTE)}
    for table in statement.find_all(exp.Table):
        name, db = table.name.lower(), table.db.lower()
        if (not db and name in own) or (db in ("", database) and name in allowed and not table.catalog):
            continue
        raise Refused("the table %s is not one of those the agent may read (--tables)" % table.sql("mysql"))


def _kind(node):
    return str(node.this if isinstance(node, exp.Command) else node.key).upper()


def _first_line(exc):
    return " ".join(str(exc).split("\n", 1)[0].split())
