"""DatabaseConnector against the real MariaDB/MySQL server, through LangChain's real SQLDatabase."""
import pytest

import nlsqlagent
from conftest import needs_real_stack

pytestmark = needs_real_stack

# Built of distinctive parts, so any fragment of it in a message is easy to find.
PASSWORD = "Zq7@Wx:Vy/Kp%Rs?Tn#Mb Lé"
FRAGMENTS = ["Zq7", "Wx", "Vy", "Kp", "Rs", "Tn", "Mb", "Lé", "%Rs", "Zq7@Wx"]


def assert_no_secret(text):
    for fragment in FRAGMENTS:
        assert fragment not in text, (fragment, text)


def test_password_with_reserved_characters_connects(sandbox):
    user = sandbox.add_user(PASSWORD)
    d = nlsqlagent.DatabaseConnector(user, PASSWORD, sandbox.host(), sandbox.database)
    status = d.connect()
    assert status is d.connection_status and status == {"connected": True, "message": "Connection successful"}
    assert type(d.db).__name__ == "SQLDatabase" and d.db is not None
    assert d.db.run("SELECT name FROM customers ORDER BY id") == str([("Ada",), ("Grace",), ("Linus",)])
    first = d.db
    db = d.getdbinstance()
    assert db is d.db and db is not first
    assert db.run("SELECT COUNT(*) FROM orders") == "[(5,)]"
    assert status == {"connected": True, "message": "Connection successful"}


def test_wrong_password_reports_access_denied_without_the_secret(sandbox):
    user = sandbox.add_user("right-password")
    d = nlsqlagent.DatabaseConnector(user, PASSWORD, sandbox.host(), sandbox.database)
    assert d.connect() == {"connected": False, "message": d.connection_status["message"]}
    message = d.connection_status["message"]
    assert "Access denied" in message and user in message
    assert_no_secret(message)
    assert d.db is None
    assert d.getdbinstance() is None and "Access denied" in d.connection_status["message"]


# A user without rights on a missing database is told "Access denied ... to database"; either way the driver's
# text names the database.
@pytest.mark.parametrize("where,expected", [("port", "Can't connect"), ("database", "_missing'")])
def test_unreachable_server_and_unknown_database(sandbox, where, expected):
    user = sandbox.add_user(PASSWORD)
    host = "127.0.0.1:1" if where == "port" else sandbox.host()
    name = sandbox.database + ("_missing" if where == "database" else "")
    d = nlsqlagent.DatabaseConnector(user, PASSWORD, host, name)
    status = d.connect()
    assert status["connected"] is False and expected in status["message"]
    assert_no_secret(status["message"])


def test_success_then_failure_keeps_first_database(sandbox):
    user = sandbox.add_user(PASSWORD)
    d = nlsqlagent.DatabaseConnector(user, PASSWORD, sandbox.host(), sandbox.database)
    d.connect()
    first = d.db
    d.db_host = "127.0.0.1:1"
    status = d.connect()
    assert status["connected"] is True and "Can't connect" in status["message"] and d.db is first
    assert first.run("SELECT COUNT(*) FROM customers") == "[(3,)]"
