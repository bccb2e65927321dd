"""The database as the agent's query tool meets it in ./ask: every statement goes through the gate (gate.py),
runs in a read-only transaction where the server allows one, is ended by a watchdog when its bound passes, and
hands back at most MAX_ROWS rows and MAX_CHARS characters, with a note to the model when the result was cut.

LangChain's SQLDatabase.run reads the whole result into memory (PyMySQL's default cursor does so before the
first row is seen), so the query tool's statements run here instead, through an unbuffered cursor on a
connection of the engine's pool. The watchdog is a second connection of the same account: KILL QUERY and KILL
need no privilege for one's own sessions, and nothing the model sends can lift them, as it can a session
variable."""
import threading
import time
from typing import Any, Dict, Iterable, List, Optional

import pymysql
import sqlalchemy.exc
from langchain_community.utilities.sql_database import SQLDatabase, truncate_word
from sqlalchemy import event

import gate

MAX_ROWS = 200
MAX_CHARS = 20000
REFUSED_PREFIX = "refused by ./ask: "


class RefusedStatement(sqlalchemy.exc.SQLAlchemyError):
    """A statement that the gate did not let through; LangChain's query tool hands it to the model as an
    "Error: refused by ./ask: ..." result."""


class Watchdog:
    """Ends statements that outlast their bound, and every session of ./ask when it stops, from a connection
    of its own (the same account as the agent's)."""

    def __init__(self, connect):
        self._connect = connect
        self._conn = connect()
        self._lock = threading.Lock()  # one statement at a time on the watchdog's own connection
        self._wake = threading.Condition()
        self._deadlines: Dict[int, float] = {}  # session id -> when its statement must end
        self.killed: List[int] = []  # sessions whose statement the watchdog ended for running too long
        self._stopped = False
        self._thread = threading.Thread(target=self._run, name="nlsqlagent-watchdog", daemon=True)
        self._thread.start()

    def bound(self, session: int, seconds: float) -> "_Bound":
        return _Bound(self, session, seconds)

    def _run(self):
        with self._wake:
            while not self._stopped:
                now = time.monotonic()
                due = [s for s, at in self._deadlines.items() if at <= now]
                for session in due:
                    del self._deadlines[session]
                    self.killed.append(session)
                    self.kill(session, query_only=True)
                waits = [at - now for at in self._deadlines.values()]
                self._wake.wait(timeout=max(0.05, min(waits)) if waits else None)

    def kill(self, session: int, query_only: bool = False) -> None:
        """KILL QUERY (the statement) or KILL (the session), ignoring a session that is already gone."""
        with self._lock:
            for attempt in range(2):
                try:
                    with self._conn.cursor() as cur:
                        cur.execute("KILL %s%d" % ("QUERY " if query_only else "", int(session)))
                    return
                except pymysql.err.OperationalError as exc:
                    if exc.args and exc.args[0] == 1094:  # unknown thread: it has ended
                        return
                    if attempt:
                        raise
                    self._conn = self._connect()  # the watchdog's own connection was lost: once more

    def stop(self, sessions: Iterable[int] = ()) -> None:
        """Ends the given sessions (those that ./ask opened and may still be busy), then the watchdog."""
        with self._wake:
            self._stopped = True
            self._wake.notify()
        for session in sessions:
            try:
                self.kill(session)
            except pymysql.err.MySQLError:
                pass
        try:
            self._conn.close()
        except pymysql.err.Error:
            pass


class _Bound:
    def __init__(self, watchdog, session, seconds):
        self.watchdog, self.session, self.seconds = watchdog, session, seconds

    def __enter__(self):
        with self.watchdog._wake:
            self.watchdog._deadlines[self.session] = time.monotonic() + self.seconds
            self.watchdog._wake.notify()
        return self

    def __exit__(self, *exc):
        with self.watchdog._wake:
            self.watchdog._deadlines.pop(self.session, None)

    @property
    def ran_out(self):
        return self.session in self.watchdog.killed


class GuardedDatabase(SQLDatabase):
    """LangChain's SQLDatabase whose run() (what the query tool calls) goes through the gate and the bounds
    above. The schema and table-list tools keep LangChain's own statements, which ./ask's sessions bound by
    their session settings and which the model does not write."""

    def __init__(self, engine, *, watchdog: Watchdog, statement_seconds: float, database: str,
                 tables: Optional[List[str]] = None, read_only_transactions: bool = True, **kwargs: Any):
        self.sessions: List[int] = []  # every session of the agent's pool, in the order they opened
        event.listen(engine, "connect", self._opened)
        super().__init__(engine, include_tables=tables or None, **kwargs)
        self._watchdog = watchdog
        self._statement_seconds = statement_seconds
        self._database = database
        self._limit_tables = tables
        self._read_only = read_only_transactions

    def _opened(self, dbapi_connection, record):
        self.sessions.append(dbapi_connection.thread_id())

    def run(self, command, fetch="all", include_columns=False, *, parameters=None, execution_options=None):
        if not isinstance(command, str) or parameters or fetch != "all":
            return super().run(command, fetch, include_columns, parameters=parameters,
                               execution_options=execution_options)
        try:
            gate.check(command, self._limit_tables, self._database)
        except gate.Refused as exc:
            raise RefusedStatement(REFUSED_PREFIX + str(exc))
        columns, rows, cut = self._bounded_fetch(command)
        res = [{c: truncate_word(v, length=self._max_string_length) for c, v in zip(columns, row)} for row in rows]
        text = str(res if include_columns else [tuple(r.values()) for r in res]) if res else ""
        if cut:
            text += ("\n(Result cut: only the first %d rows are shown, of more; ./ask reads at most %d rows and "
                     "%d characters. Aggregate, filter or add a LIMIT.)" % (len(rows), MAX_ROWS, MAX_CHARS))
        return text

    def _bounded_fetch(self, sql):
        """(column names, rows, whether the result was cut) of `sql`, read row by row."""
        raw = self._engine.raw_connection()
        conn = raw.driver_connection
        session = conn.thread_id()
        if session not in self.sessions:
            self.sessions.append(session)
        keep = False
        try:
            if self._read_only:
                with conn.cursor() as cur:
                    cur.execute("START TRANSACTION READ ONLY")
            cur = conn.cursor(pymysql.cursors.SSCursor)
            rows, chars, cut = [], 0, False
            with self._watchdog.bound(session, self._statement_seconds) as bound:
                try:
                    cur.execute(sql)
                    columns = [d[0] for d in cur.description or ()]
                    while cur.description:
                        row = cur.fetchone()
                        if row is None:
                            break
                        chars += len(repr(row))
                        if len(rows) >= MAX_ROWS or chars > MAX_CHARS:
                            cut = True
                            break
                        rows.append(row)
                    if cut:
                        # The server stops the statement; what it had sent already is read and dropped, up to
                        # the interruption's error, and the session is not used again.
                        self._watchdog.kill(session, query_only=True)
                        try:
                            cur.close()
                        except pymysql.err.Error:
                            pass
                except pymysql.err.Error as exc:
                    error = exc
                    if bound.ran_out:
                        error = pymysql.err.OperationalError(
                            1969, "Query execution was interrupted (ran past the statement limit of %g s)"
                            % self._statement_seconds)
                    raise sqlalchemy.exc.DBAPIError.instance(sql, None, error, pymysql.err.Error)
            if not cut:
                cur.close()
                conn.rollback()
                keep = True
            return columns, rows, cut
        finally:
            if keep:
                raw.close()  # back to the pool
            else:
                raw.invalidate()
