"""A real server that refuses, a user without rights, and a connection killed under a running agent: the
caller learns what happened, nothing leaks the password, and the next call works once the cause is gone."""
import re
import threading
import time


import nlsqlagent
from conftest import load_demo, needs_real_stack
from mysql_fixtures import admin

pytestmark = needs_real_stack

PASSWORD = "Zq7@Wx:Vy/Kp%Rs?Tn#Mb Lé"
# Pieces of the password, raw and percent-encoded, long enough not to turn up by chance.
SECRET_PIECES = ["Zq7", "Wx:Vy", "Kp%Rs", "Tn#Mb", "Mb L", "%40Wx", "Kp%25Rs", "Tn%23Mb", "Vy%2FKp"]


def assert_no_secret(*texts):
    for text in texts:
        for piece in SECRET_PIECES:
            assert piece not in text, (piece, text[:500])


def everything_said(connector, capsys, *extra):
    """Every text the module made visible: status, printed lines, reprs, and what the caller passes in."""
    return [repr(connector.connection_status), capsys.readouterr().out, repr(connector)] + [str(e) for e in extra]


def test_refused_then_reachable(sandbox, capsys):
    user = sandbox.add_user(PASSWORD)
    d = nlsqlagent.DatabaseConnector(user, PASSWORD, "127.0.0.1:1", sandbox.database)
    status = d.connect()
    assert status["connected"] is False and "Can't connect" in status["message"] and d.db is None
    assert_no_secret(*everything_said(d, capsys))
    d.db_host = sandbox.host()
    assert d.connect() == {"connected": True, "message": "Connection successful"}
    assert d.db.run("SELECT COUNT(*) FROM customers") == "[(3,)]"


def test_user_without_rights_then_granted(sandbox, capsys):
    user = sandbox.add_user(PASSWORD, grant=None)
    d = nlsqlagent.DatabaseConnector(user, PASSWORD, sandbox.host(), sandbox.database)
    status = d.connect()
    assert status["connected"] is False and d.db is None
    assert re.search(r"Access denied for user '%s'.* to database '%s'" % (user, sandbox.database),
                     status["message"]), status["message"]
    assert d.getdbinstance() is None
    assert_no_secret(*everything_said(d, capsys))
    with admin() as conn, conn.cursor() as cur:
        cur.execute("GRANT SELECT ON `%s`.* TO %%s@'%%%%'" % sandbox.database, (user,))
    assert d.connect() == {"connected": True, "message": "Connection successful"}
    assert d.getdbinstance().run("SELECT COUNT(*) FROM orders") == "[(5,)]"


SLOW_SQL = "SELECT SLEEP(30), COUNT(*) FROM orders"


def slow_model():
    """A scripted model that sends one slow query and reports what the query tool answered."""
    ScriptedSQLModel = load_demo("scripted_model").ScriptedSQLModel

    class SlowQueryModel(ScriptedSQLModel):
        def _call(self, prompt, stop=None, run_manager=None, **kwargs):
            question, _, scratchpad = prompt.rpartition("\nQuestion: ")[2].partition("\n")
            if question != "slow":
                return super()._call(prompt, stop, run_manager, **kwargs)
            self.prompts.append(prompt)
            observations = re.findall(r"Observation: (.*?)(?=\nThought:|\Z)", scratchpad, re.S)
            if not observations:
                return "I will run the slow query.\nAction: sql_db_query\nAction Input: %s" % SLOW_SQL
            return "I now know the final answer.\nFinal Answer: the query tool said: %s" % observations[-1].strip()

    return SlowQueryModel(prompts=[])


def kill_when_running(user, found):
    """Kills the server connection of `user` that runs the slow query, from another session."""
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        with admin() as conn, conn.cursor() as cur:
            cur.execute("SELECT ID FROM information_schema.PROCESSLIST WHERE USER = %s AND INFO LIKE %s",
                        (user, "SELECT SLEEP(30)%"))
            rows = cur.fetchall()
            if rows:
                cur.execute("KILL %d" % rows[0][0])
                found.append(rows[0][0])
                return
        time.sleep(0.05)


def test_connection_killed_while_the_agent_queries(sandbox, capsys):
    user = sandbox.add_user(PASSWORD)
    connector = nlsqlagent.DatabaseConnector(user, PASSWORD, sandbox.host(), sandbox.database)
    db = connector.getdbinstance()
    model = slow_model()
    runner = nlsqlagent.AgentRunner(model, nlsqlagent.SQLDatabaseToolkit(db=db, llm=model))
    assert runner.error is None
    killed = []
    killer = threading.Thread(target=kill_when_running, args=(user, killed))
    killer.start()
    started = time.monotonic()
    answer = runner.run("slow")
    killer.join()
    assert killed, "the slow query never showed up in the process list"
    assert time.monotonic() - started < 25  # the kill ended the query, not the 30 s sleep
    # LangChain's query tool hands the driver's error to the model as its observation
    assert answer.startswith("the query tool said: Error:") and "Lost connection" in answer, answer
    assert_no_secret(answer, *everything_said(connector, capsys))
    # the cause is gone: the next question is answered on a fresh connection
    assert runner.run("How many orders are there?") == "There are 5 orders."
