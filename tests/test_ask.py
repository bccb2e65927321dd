"""The main job as a user meets it: demo/ask.py (what ./ask runs) against the local MariaDB server, with the
offline stand-in or a local OpenAI-compatible stand-in server (demo/standin_server.py, 127.0.0.1 only)."""
import os
import re
import socket
import stat
import subprocess
import sys
import threading
import time

import pytest

from conftest import ROOT, load_demo, needs_real_stack
from mysql_fixtures import admin

# ./ask runs on CPython 3.11, in an environment of its own (.venv/ask); the module's own suite covers the rest.
pytestmark = [needs_real_stack,
              pytest.mark.skipif(sys.version_info[:2] != (3, 11), reason="./ask runs on CPython 3.11")]
ASK = os.path.join(ROOT, "demo", "ask.py")
KEY = "sk-test-Q7w9Z2x4C6v8B1n3M5k7P0o9"


@pytest.fixture(autouse=True)
def drop_reader_accounts(tmp_path):
    """Each state folder gets a read-only account of its own on the server; the tests' folders go, so do they."""
    yield
    users = [f.read_text().split("\n")[0] for f in tmp_path.rglob("reader-account")]
    users = [u for u in users if re.fullmatch("nlsqlagent_r_[0-9a-f]{10}", u)]  # ./ask's readers only
    if users:
        with admin() as conn, conn.cursor() as cur:
            for user in users:
                cur.execute("DROP USER IF EXISTS %s@'%%'", (user,))
                cur.execute("SELECT COUNT(*) FROM information_schema.tables WHERE table_schema = 'nlsqlagent_ask'")
                if cur.fetchone()[0]:
                    cur.execute("DELETE FROM nlsqlagent_ask.readers WHERE user = %s", (user,))


def reader_of(state):
    user, password = (state / "reader-account").read_text().split("\n")[:2]
    return user, password


def answer_and_sql(stdout):
    """The answer line and the lines under it."""
    lines = stdout.splitlines()
    at = next(i for i, line in enumerate(lines) if line.startswith("Answer: "))
    return lines[at], lines[at + 1:]


def ask(*args, state, env=None, timeout=180):
    full_env = {k: v for k, v in os.environ.items() if not k.startswith(("OPENAI_", "NLSA_MYSQL"))}
    full_env.update(env or {}, NLSA_ASK_STATE=str(state))
    return subprocess.run([sys.executable, ASK] + list(args), capture_output=True, text=True, env=full_env,
                          timeout=timeout)


class StandinServer:
    def __init__(self, mode):
        self.process = subprocess.Popen([sys.executable, os.path.join(ROOT, "demo", "standin_server.py"),
                                         "--mode", mode], stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        assert line.startswith("listening on http://127.0.0.1:"), line
        self.url = line.split()[-1]

    def env(self):
        return {"OPENAI_API_KEY": KEY, "OPENAI_BASE_URL": self.url}

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)


@pytest.fixture
def standin(request):
    servers = []

    def start(mode="ok"):
        servers.append(StandinServer(mode))
        return servers[-1]

    yield start
    for server in servers:
        server.stop()


def no_key_in(*texts):
    fragments = {KEY[i:i + 8] for i in range(len(KEY) - 7)}
    return not [f for f in fragments for t in texts if f in t]


def test_real_model_road_through_a_server_that_does_not_stream(standin, tmp_path):
    pytest.importorskip("openai")
    server = standin("no-stream")
    result = ask("Which customer spent the most?", state=tmp_path, env=server.env())
    assert result.returncode == 0, result.stderr
    assert answer_and_sql(result.stdout) == ("Answer: Linus spent the most: 100.00 in all.", [
        "SQL the agent ran (1 query):",
        "  SELECT c.name, SUM(o.total) AS spent FROM customers c JOIN orders o ON o.custome... (141 characters)"])
    assert "Question (gpt-4o-mini at %s)" % server.url in result.stdout
    log = (tmp_path / "last-run.log").read_text()
    assert stat.S_IMODE((tmp_path / "last-run.log").stat().st_mode) == 0o600
    assert log.startswith("Agent runner instance: ") and "openai_api_key='**********'" in log
    assert "\x1b[" not in log and "\x1b[" not in result.stdout
    assert no_key_in(result.stdout, result.stderr, log)
    assert result.stderr == ""


def test_the_standin_server_streams_like_the_real_protocol(standin):
    pytest.importorskip("openai")
    import nlsqlagent
    server = standin("ok")
    prompt = "Answer.\nQuestion: How many orders are there?\nThought:"
    kwargs = dict(api_key=KEY, base_url=server.url, model="m", max_retries=0)
    whole = nlsqlagent.ChatOpenAI(**kwargs).invoke(prompt).content
    streamed = "".join(chunk.content for chunk in nlsqlagent.ChatOpenAI(streaming=True, **kwargs).stream(prompt))
    assert whole == streamed and "Action: sql_db_list_tables" in whole


@pytest.mark.parametrize("mode,line", [
    ("never-finish", "the model never gave a final answer: the agent stopped at its iteration or time limit"),
    ("garbage", "the model's reply does not follow the agent's format (Thought/Action/Final Answer): "
                "'I would rather talk about the weather.'"),
    ("http-error", "the model server at {url} answered HTTP 503: the stand-in model is overloaded"),
    ("non-json", "the model server at {url} answered something that is not JSON"),
    ("bad-json", "the model server at {url} answered something that is not JSON "
                 "('<html><body>Gateway says hello</body></html>')"),
    (None, "the model server at {url} does not answer ([Errno 111] Connection refused)"),
])
def test_model_failures_end_with_one_line_and_exit_3(standin, tmp_path, mode, line):
    pytest.importorskip("openai")
    env = standin(mode).env() if mode else {"OPENAI_API_KEY": KEY, "OPENAI_BASE_URL": "http://127.0.0.1:9/v1"}
    result = ask("How many orders are there?", state=tmp_path, env=env)
    assert result.returncode == 3, (result.stdout, result.stderr)
    assert result.stderr == "ask: %s\n" % line.format(url=env["OPENAI_BASE_URL"])
    assert "Answer:" not in result.stdout and no_key_in(result.stdout, result.stderr)


def test_the_key_is_masked_in_error_lines_without_mangling_them(monkeypatch):
    """A real key is masked wherever it appears, even glued to other text; a one-letter stand-in key ("x")
    only as a word of its own (it used to turn "Expecting value" into "E**********pecting value")."""
    monkeypatch.setattr(sys, "path", list(sys.path))  # ask.py puts demo/ on the path
    masked_key = load_demo("ask").masked_key
    assert masked_key("key=%s, token:%sZ" % (KEY, KEY), KEY) == "key=**********, token:**********Z"
    assert masked_key("Expecting value; key x, http://u:x@h", "x") == "Expecting value; key **********, http://u:**********@h"


@pytest.mark.parametrize("args,line", [
    (["--host", "127.0.0.l"], "the host name '127.0.0.l' does not resolve: check its spelling, or give the "
                              "server's IP address (--host 127.0.0.1 for this machine)"),
    (["--port", "1"], "No MySQL server answers at 127.0.0.1:1")])
def test_a_named_server_that_does_not_answer_is_an_error(tmp_path, args, line):
    result = ask(*args, state=tmp_path)
    assert (result.returncode, result.stderr) == (2, "ask: %s\n" % line)
    assert "throwaway" not in result.stdout


def test_a_model_reply_waits_no_longer_than_the_timeout_and_is_not_retried(tmp_path):
    """NLSA_OPENAI_TIMEOUT is the whole wait for a reply: a server that accepts and never answers is asked
    once and given up after that long."""
    pytest.importorskip("openai")
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    held = []  # (accepted at, closed by the client at)

    def serve():
        while True:
            try:
                conn, _ = listener.accept()
            except OSError:
                return
            start = time.monotonic()
            while conn.recv(65536):
                pass
            held.append((start, time.monotonic()))

    threading.Thread(target=serve, daemon=True).start()
    url = "http://127.0.0.1:%d/v1" % listener.getsockname()[1]
    try:
        result = ask("How many orders are there?", state=tmp_path,
                     env={"OPENAI_API_KEY": KEY, "OPENAI_BASE_URL": url, "NLSA_OPENAI_TIMEOUT": "2"})
    finally:
        listener.close()
    assert result.returncode == 3
    assert result.stderr == "ask: the model server at %s did not reply within 2 s (NLSA_OPENAI_TIMEOUT)\n" % url
    assert len(held) == 1 and 1.9 < held[0][1] - held[0][0] < 3.5, held


def test_private_server_says_why(tmp_path):
    result = ask("--private-server", "How many customers are there?", state=tmp_path)
    assert result.returncode == 0, result.stderr
    assert "Starting a throwaway MariaDB server (--private-server)." in result.stdout
    assert "No MySQL server answers" not in result.stdout
    assert answer_and_sql(result.stdout)[0] == "Answer: There are 4 customers."


def test_runs_of_two_checkouts_at_once_all_answer(tmp_path):
    """Two state folders (two checkouts) on one server, two runs each at once: each folder has its own reader
    account, which the other's runs leave alone."""
    questions = ["How many orders are there?", "How many customers are there?"] * 2
    states = [tmp_path / "a", tmp_path / "b"] * 2
    results = [None] * 4

    def run(i):
        results[i] = ask(questions[i], state=states[i])

    threads = [threading.Thread(target=run, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert [r.returncode for r in results] == [0] * 4, [r.stderr for r in results]
    assert [answer_and_sql(r.stdout)[0] for r in results] == [
        "Answer: There are 7 orders.", "Answer: There are 4 customers."] * 2
    (user_a, password_a), (user_b, _) = reader_of(tmp_path / "a"), reader_of(tmp_path / "b")
    assert user_a != user_b and re.fullmatch("nlsqlagent_r_[0-9a-f]{10}", user_a)
    # A later run of b does not touch a's account: a's kept password still opens the database.
    assert ask("How many customers are there?", state=tmp_path / "b").returncode == 0
    import pymysql
    pymysql.connect(host="127.0.0.1", user=user_a, password=password_a, database="nlsqlagent_sample").close()


def test_the_sql_under_the_answer_marks_a_failed_query_and_warns(standin, tmp_path):
    """A model that queries a table that does not exist and answers all the same: the answer is shown with the
    failed query and a plain warning."""
    pytest.importorskip("openai")
    result = ask("How many orders are there?", state=tmp_path, env=standin("bad-sql").env())
    assert result.returncode == 0, result.stderr
    assert answer_and_sql(result.stdout) == ("Answer: There are none.", [
        "SQL the agent ran (1 query, 1 failed):",
        "  FAILED: SELECT COUNT(*) FROM purchases  -- 1146 Table 'nlsqlagent_sample.purchases' doesn't exist",
        "Warning: the answer rests on a query that failed (the last one above), not on data from the database."])


def test_a_table_locked_by_another_session_ends_in_one_line_within_the_bound(tmp_path):
    assert ask("How many customers are there?", state=tmp_path).returncode == 0  # the sample is loaded
    with admin(database="nlsqlagent_sample") as conn, conn.cursor() as cur:
        cur.execute("LOCK TABLES orders WRITE")
        try:
            start = time.monotonic()
            result = ask("--db-timeout", "2", "How many orders are there?", state=tmp_path, timeout=60)
            waited = time.monotonic() - start
        finally:
            cur.execute("UNLOCK TABLES")
    assert result.returncode == 4, (result.stdout, result.stderr)
    assert result.stderr == (
        "ask: the database did not answer in time: a query of the agent (SELECT orders.id, orders.customer_id, "
        "orders.total FROM orders LIMIT %(param_1)s) waited 2 s for a lock that another session holds "
        "(lock_wait_timeout); --db-timeout sets the bound\n")
    assert "Answer:" not in result.stdout and waited < 30


def test_help_and_bad_questions(tmp_path):
    help_text = ask("--help", state=tmp_path).stdout
    source = open(ASK).read()
    read = set(re.findall(r"""environ(?:\.get)?\(\s*["']([A-Z_]+)""", source)) | set(
        re.findall(r"""env\(\s*["']([A-Z_]+)""", source))
    assert read >= {"OPENAI_API_KEY", "NLSA_OPENAI_MODEL"}
    for name in read:
        assert name in help_text, name
    for option in re.findall(r'add_argument\("(--[a-z-]+)"', source):
        assert option in help_text, option
    assert "How many orders did each customer place?" in help_text and "exit codes:" in help_text
    blank = ask("   ", state=tmp_path)
    assert blank.returncode == 2 and blank.stderr.rstrip().endswith("error: the question is empty")
    unknown = ask("What is the weather?", state=tmp_path)
    assert unknown.returncode == 2 and "set OPENAI_API_KEY" in unknown.stderr


def test_a_long_question_is_echoed_shortened(standin, tmp_path):
    pytest.importorskip("openai")
    question = "Which of my customers " + "really " * 1500 + "spent the most?"
    result = ask(question, state=tmp_path, env=standin("ok").env())
    assert result.returncode == 0, result.stderr
    echo = next(line for line in result.stdout.splitlines() if line.startswith("Question ("))
    assert len(echo) < 300 and echo.endswith("... (%d characters)" % len(question))
    assert answer_and_sql(result.stdout)[1] == [
        "Warning: the agent ran no SQL query, so the answer does not come from the database."]


def test_verbose_output_into_a_file_has_no_colour_codes(tmp_path):
    result = ask("--verbose", "How many orders are there?", state=tmp_path)
    assert result.returncode == 0, result.stderr
    assert "Agent runner instance: " in result.stdout and "Entering new SQL Agent Executor chain" in result.stdout
    assert "\x1b[" not in result.stdout
