"""Runs one operation N times, for counting instructions per call with callgrind (run it with N and with 0 and
divide the difference by N):

    valgrind --tool=callgrind --callgrind-out-file=/dev/null python bench/instructions.py run 5000
"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
try:
    import langchain  # noqa: F401  (the real stack, where it installs)
except ImportError:
    sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "fakestack"))

import nlsqlagent as nl  # noqa: E402


class Agent:
    def run(self, q):
        return q

    def __repr__(self):
        return "Agent()"


class Database:
    pass


class SQLDatabase:
    @classmethod
    def from_uri(cls, uri):
        return Database


AGENT = Agent()
nl.SQLDatabase = SQLDatabase
nl.create_sql_agent = lambda **kw: AGENT
sys.stdout = open(os.devnull, "w")
C, R = nl.DatabaseConnector, nl.AgentRunner
runner, connector = R(1, 2), C("u", "p", "h", "n")
idle = R(1, 2)
idle.agent_runner = None


def wrong_count():
    try:
        C(1, 2, 3, 4, 5, 6)
    except TypeError:
        pass


def failing(**kw):
    raise ValueError("bad toolkit")


def create_fails():
    nl.create_sql_agent = failing
    R(1, 2)


OPERATIONS = {
    "DC()": lambda: C(),
    "DC(4 pos)": lambda: C(1, 2, 3, 4),
    "DC(4 kw)": lambda: C(db_user=1, db_password=2, db_host=3, db_name=4),
    "connect missing": lambda: C().connect(),
    "connect": lambda: connector.connect(),
    "getdbinstance": lambda: connector.getdbinstance(),
    "AgentRunner": lambda: R(1, 2),
    "run": lambda: runner.run(1),
    "run no agent": lambda: R.run(idle, 1),
    "wrong count": wrong_count,
    "create fails": create_fails,
}

if __name__ == "__main__":
    operation, calls = OPERATIONS[sys.argv[1]], int(sys.argv[2])
    for _ in range(calls):
        operation()
