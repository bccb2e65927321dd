"""./ask against a model that makes the agent run SQL of its choosing (the hostile modes of
demo/standin_server.py), against state files that ./ask did not write, and on a database of the user's own."""
import os
import re
import resource
import signal
import stat
import subprocess
import sys
import tempfile
import time

import pytest

from conftest import ROOT, load_demo, needs_real_stack
from mysql_fixtures import Sandbox, admin
from test_ask import ASK, KEY, StandinServer, answer_and_sql

pytestmark = [needs_real_stack,
              pytest.mark.skipif(sys.version_info[:2] != (3, 11), reason="./ask runs on CPython 3.11")]
READER = re.compile(r"nlsqlagent_r_[0-9a-f]{10}")


def sessions_of(user):
    with admin() as conn, conn.cursor() as cur:
        cur.execute("SELECT ID, INFO FROM information_schema.PROCESSLIST WHERE USER = %s", (user,))
        return cur.fetchall()


def left_behind(user, within=3.0):
    """The sessions of `user` still on the server `within` seconds from now (a killed one takes a moment)."""
    deadline = time.monotonic() + within
    while sessions_of(user) and time.monotonic() < deadline:
        time.sleep(0.1)
    return sessions_of(user)


@pytest.fixture
def state():
    """A state folder of its own (not under pytest's tmp_path, whose reader-account files test_ask's clean-up
    reads), and at the end: the sessions and the account of the reader it names, if ./ask made it."""
    folder = tempfile.mkdtemp(prefix="nlsa-state-")
    yield folder
    path = os.path.join(folder, "reader-account")
    user = open(path).read().split("\n")[0] if os.path.exists(path) else ""
    subprocess.run(["rm", "-rf", folder])
    if READER.fullmatch(user):
        with admin() as conn, conn.cursor() as cur:
            for (session,) in [(s[0],) for s in sessions_of(user)]:
                cur.execute("KILL %d" % session)
            cur.execute("DROP USER IF EXISTS %s@'%%'", (user,))
            cur.execute("SELECT COUNT(*) FROM information_schema.tables WHERE table_schema = 'nlsqlagent_ask'")
            if cur.fetchone()[0]:
                cur.execute("DELETE FROM nlsqlagent_ask.readers WHERE user = %s", (user,))


@pytest.fixture
def hostile():
    servers = []
    yield lambda mode: servers.append(StandinServer(mode)) or servers[-1].env()
    for server in servers:
        server.stop()


# ./ask as a terminal starts it: with Ctrl-C's signal at its default, which a test run started in the
# background of a script (SIGINT ignored, and so inherited) would otherwise not give it.
AS_FROM_A_TERMINAL = ("import os, signal, sys; signal.signal(signal.SIGINT, signal.SIG_DFL); "
                      "os.execv(sys.executable, [sys.executable] + sys.argv[1:])")


def run(*args, state, env=None, timeout=180, **popen):
    full_env = {k: v for k, v in os.environ.items() if not k.startswith(("OPENAI_", "NLSA_MYSQL"))}
    full_env.update(env or {}, NLSA_ASK_STATE=state)
    return subprocess.Popen([sys.executable, "-c", AS_FROM_A_TERMINAL, ASK] + list(args), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=full_env, **popen)


def finished(process, timeout=180):
    out, err = process.communicate(timeout=timeout)
    return process.returncode, out, err


def reader(state):
    return open(os.path.join(state, "reader-account")).read().split("\n")[0]


def test_the_gate_lets_through_one_complete_read_statement_only():
    gate = load_demo("gate")
    for sql in ["SELECT COUNT(*) FROM orders", "WITH t AS (SELECT 1 AS x) SELECT x FROM t",
                "SELECT 1 UNION SELECT 2", "SHOW TABLES", "DESCRIBE orders", "EXPLAIN SELECT * FROM orders",
                "SELECT 1 - -1", "SELECT 'a;b' FROM orders;"]:
        gate.check(sql)
    for sql, why in [
        ("SET STATEMENT max_statement_time=0 FOR SELECT 1", "read completely (SET)"),
        ("SELECT /*!50000 SLEEP(10) */ 1", "executable comments"), ("SELECT /*M!100000 1 */", "executable"),
        ("SELECT /*+ MAX_EXECUTION_TIME(0) */ 1", "optimizer hints"), ("SELECT 1 -- x", "comments"),
        ("SELECT GET_LOCK('nlsqlagent_sample_setup', 0)", "GET_LOCK"), ("SELECT IS_USED_LOCK('a')", "IS_USED_LOCK"),
        ("SELECT BENCHMARK(10, 1)", "BENCHMARK"), ("SELECT 1 --1, sleep(5)", "SLEEP"),
        ("SELECT LOAD_FILE('/etc/passwd')", "LOAD_FILE"), ("SELECT 1 INTO OUTFILE '/tmp/x'", "read completely"),
        ("SELECT 1 INTO DUMPFILE '/tmp/x'", "read completely"), ("SELECT * FROM orders FOR UPDATE", "LOCK"),
        ("SELECT * FROM orders LOCK IN SHARE MODE", "LOCK"), ("SELECT 1; DELETE FROM orders", "one statement"),
        ("SET GLOBAL max_connections = 1", "not SET"), ("UPDATE orders SET total = 0", "not UPDATE"),
        ("SELECT (SELECT 1 FROM orders FOR UPDATE)", "LOCK"), ("KILL 1", "not KILL"), ("DO SLEEP(1)", "read"),
    ]:
        with pytest.raises(gate.Refused, match=re.escape(why)):
            gate.check(sql)
    with pytest.raises(gate.Refused, match="customers is not one of those"):
        gate.check("SELECT * FROM orders JOIN customers", tables=["orders"], database="shop")
    gate.check("WITH o AS (SELECT * FROM shop.orders) SELECT * FROM o", tables=["orders"], database="shop")


def test_the_lock_statement_is_refused_and_the_next_run_answers(hostile, state):
    """The statement that lifted its bound and took the setup lock for hours: refused, no session left behind,
    and the next run (which takes that lock) answers."""
    code, out, err = finished(run("--db-timeout", "2", "How many orders are there?", state=state,
                                  env=hostile("lock-holder")))
    assert code == 0, err
    answer, notes = answer_and_sql(out)
    assert notes[0] == "SQL the agent ran (1 query, 1 refused):" and notes[1].startswith(
        "  REFUSED: SET STATEMENT max_statement_time=0 FOR SELECT GET_LOCK(")
    assert notes[2].startswith("Warning: the answer rests on a query that ./ask refused")
    assert left_behind(reader(state)) == ()
    code, out, err = finished(run("--db-timeout", "2", "How many orders are there?", state=state))
    assert (code, answer_and_sql(out)[0]) == (0, "Answer: There are 7 orders."), err


def test_a_stale_holder_of_the_setup_lock_is_named_with_what_to_do(state):
    with admin() as conn, conn.cursor() as cur:
        cur.execute("SELECT GET_LOCK('nlsqlagent_sample_setup', 10), CONNECTION_ID()")
        taken, holder = cur.fetchone()
        assert taken == 1
        code, out, err = finished(run("--db-timeout", "1", "How many orders are there?", state=state))
    assert code == 4
    assert err.startswith("ask: the database did not answer in time: connection %d (account 'root'" % holder)
    assert "end that session with KILL %d" % holder in err and err.count("\n") == 1


def test_a_cross_join_far_larger_than_memory_is_cut_and_answered(hostile, state):
    """40 million rows: ./ask reads a few hundred, stops the statement and tells the model, within a 2 GiB
    address space and a small resident peak."""
    limit = 2 << 30
    process = run("How many orders are there?", state=state, env=hostile("cross-join"),
                  preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit)))
    out, err = process.communicate(timeout=300)
    code = process.returncode
    peak_kib = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    assert code == 0, err
    answer, notes = answer_and_sql(out)
    assert re.fullmatch(r"Answer: The query gave: \(Result cut: only the first \d+ rows are shown, of more; .*\)",
                        answer)
    assert notes[0] == "SQL the agent ran (1 query):"
    assert peak_kib < 600 * 1024, peak_kib
    assert left_behind(reader(state)) == ()


@pytest.mark.parametrize("how", ["ctrl-c", "sigterm", "timeout"])
def test_the_agents_sessions_end_with_the_run(hostile, state, how):
    """A count over a 12-way cross join runs for hours on the server: when ./ask stops (Ctrl-C, SIGTERM, or
    its bound), the statement and the session stop with it."""
    timeout = "1" if how == "timeout" else "30"
    process = run("--db-timeout", timeout, "How many orders are there?", state=state, env=hostile("slow-count"))
    if how != "timeout":
        deadline = time.monotonic() + 60
        while not os.path.exists(os.path.join(state, "reader-account")) or not any(
                (info or "").startswith("SELECT COUNT(*) FROM orders o0") for _, info in sessions_of(reader(state))):
            assert time.monotonic() < deadline and process.poll() is None
            time.sleep(0.2)
        process.send_signal(signal.SIGINT if how == "ctrl-c" else signal.SIGTERM)
    code, out, err = finished(process, timeout=60)
    assert code == {"ctrl-c": 130, "sigterm": 143, "timeout": 4}[how], err
    if how == "timeout":
        assert "ran past the statement limit of 2 s" in err
    assert left_behind(reader(state)) == ()


def test_escapes_from_the_model_are_written_out(hostile, state):
    code, out, err = finished(run("How many orders are there?", state=state, env=hostile("escapes")))
    assert code == 0, err
    assert answer_and_sql(out) == (
        r"Answer: \x1b]0;owned\x07\x1b]52;c;cm0gLXJmIH4K\x07All 7 orders shipped.\x1b[8m", [
            "SQL the agent ran (1 query, 1 failed):",
            r"  FAILED: SELECT COUNT(*) FROM purchases WHERE '\x1b[2K\x1b[1A' <> ''  -- 1146 Table "
            "'nlsqlagent_sample.purchases' doesn't exist",
            "Warning: the answer rests on a query that failed (the last one above), not on data from the database."])
    log = open(os.path.join(state, "last-run.log")).read()
    assert re.search(r"[\x00-\x09\x0b-\x1f\x7f]", out + err + log) is None
    assert r"\x1b]52;c;" in log and r"\x1b[8m" in log
    assert KEY not in out + err + log


def write_state(folder, text, mode=0o600):
    path = os.path.join(folder, "reader-account")
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)


@pytest.mark.parametrize("case,line", [
    ("empty", "is empty"),
    ("user only", "does not hold two lines"),
    ("not ./ask's prefix", "names 'nlsa_foreign_{tag}', not an account of ./ask"),
    ("foreign account with the prefix", "names 'nlsqlagent_r_{tag}', an account that ./ask did not make"),
    ("file readable by others", "may be read or written by others (mode 644)"),
    ("folder writable by others", "may be written by others (mode 777)"),
])
def test_a_state_that_ask_did_not_leave_is_a_one_line_error(state, case, line):
    """Nothing is set up on the server from a state file that ./ask did not write, and an account that it did
    not make keeps its password and grants."""
    tag = os.urandom(5).hex()
    foreign = {"not ./ask's prefix": "nlsa_foreign_" + tag, "foreign account with the prefix": "nlsqlagent_r_" + tag}
    user = foreign.get(case, "nlsqlagent_r_" + tag)
    with admin() as conn, conn.cursor() as cur:
        if case in foreign:
            cur.execute("CREATE USER %s@'%%' IDENTIFIED BY 'own-password-1'", (user,))
    try:
        text = {"empty": "", "user only": user + "\n"}.get(case, "%s\nnew-password-xyz\n" % user)
        write_state(state, text, 0o644 if case == "file readable by others" else 0o600)
        if case == "folder writable by others":
            os.chmod(state, 0o777)
        code, out, err = finished(run("How many orders are there?", state=state))
        assert code == 2 and err.startswith("ask: ") and err.count("\n") == 1, err
        assert line.format(tag=tag) in err
        import pymysql
        if case in foreign:
            pymysql.connect(host="127.0.0.1", user=user, password="own-password-1").close()
            with admin() as conn, conn.cursor() as cur:
                cur.execute("SHOW GRANTS FOR %s@'%%'", (user,))
                assert [g for (g,) in cur.fetchall() if "nlsqlagent_sample" in g] == []
    finally:
        os.chmod(state, 0o700)
        os.remove(os.path.join(state, "reader-account"))
        with admin() as conn, conn.cursor() as cur:
            cur.execute("DROP USER IF EXISTS %s@'%%'", (user,))


@pytest.fixture
def shop():
    sandbox = Sandbox()
    yield sandbox
    sandbox.drop()


def test_a_database_of_ones_own_through_an_account_made_for_it(shop, state, tmp_path):
    """--database/--user with the password from the environment or from the option file; --tables; an account
    that may write is named as such on stderr."""
    reader = shop.add_user("Reader-pw-42")
    env = {"NLSA_MYSQL_PASSWORD": "Reader-pw-42"}
    code, out, err = finished(run("--database", shop.database, "--user", reader, "--tables", "customers,orders",
                                  "How many orders are there?", state=state, env=env))
    assert (code, err) == (0, "")
    assert "Database %r at 127.0.0.1:3306; the agent connects as %r, on the tables customers, orders only." % (
        shop.database, reader) in out
    assert answer_and_sql(out) == ("Answer: There are 5 orders.", [
        "SQL the agent ran (1 query):", "  SELECT COUNT(*) FROM orders"])
    (tmp_path / "my.cnf").write_text("[client]\nuser=%s\npassword=\"Reader-pw-42\"\n" % reader)
    code, out, err = finished(run("--database", shop.database, "How many customers are there?", state=state,
                                  env={"NLSA_MYSQL_OPTION_FILE": str(tmp_path / "my.cnf")}))
    assert (code, answer_and_sql(out)[0]) == (0, "Answer: There are 3 customers."), err
    writer = shop.add_user("Writer-pw-42", grant="SELECT, INSERT")
    code, out, err = finished(run("--database", shop.database, "--user", writer, "How many customers are there?",
                                  state=state, env={"NLSA_MYSQL_PASSWORD": "Writer-pw-42"}))
    assert code == 0 and err == ("ask: note: the account %r may change data (INSERT); ./ask lets only read "
                                 "statements through, but an account that may only read (GRANT SELECT) is the "
                                 "safer one to give it\n" % writer)
    code, out, err = finished(run("--database", shop.database, "--user", reader, "How many customers are there?",
                                  state=state, stdin=subprocess.DEVNULL))
    assert code == 2 and err.startswith("ask: no password for %r: set NLSA_MYSQL_PASSWORD" % reader)
    assert "Reader-pw-42" not in out + err


def test_ask_works_through_a_symlink(tmp_path):
    """The wrapper finds its checkout through its own real path: here a checkout whose set-up is done and
    whose ask.py prints where it runs from."""
    checkout = tmp_path / "checkout"
    (checkout / "scripts").mkdir(parents=True)
    (checkout / "demo").mkdir()
    (checkout / "ask").write_text(open(os.path.join(ROOT, "ask")).read())
    (checkout / "ask").chmod(0o755)
    (checkout / "scripts" / "common.sh").write_text(
        'ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)\nVENVS="$ROOT/.venv"\nensure_ask_env() { :; }\n')
    (checkout / "demo" / "ask.py").write_text("import sys; print(__file__, sys.argv[1:])\n")
    (checkout / ".venv" / "ask" / "bin").mkdir(parents=True)
    os.symlink(sys.executable, checkout / ".venv" / "ask" / "bin" / "python")
    (tmp_path / "bin").mkdir()
    os.symlink(checkout / "ask", tmp_path / "bin" / "ask")
    result = subprocess.run(["ask", "--list"], capture_output=True, text=True, cwd=str(tmp_path),
                            env=dict(os.environ, PATH="%s:%s" % (tmp_path / "bin", os.environ["PATH"])))
    assert (result.returncode, result.stdout) == (0, "%s ['--list']\n" % (checkout / "demo" / "ask.py"))
    assert stat.S_ISLNK(os.lstat(tmp_path / "bin" / "ask").st_mode)
