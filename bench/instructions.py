"""Instructions per call of each operation, counted by callgrind: the operation run N times, minus a run of 0,
divided by N. Counts, unlike timings, repeat exactly for the same build and inputs.

    python bench/instructions.py table [N]            # every operation: the module `import` finds, the
                                                      # reference source (the plain-Python yardstick), ratio
    python bench/instructions.py run 5000             # one operation N times, under a counter of one's own
                                                      # (NLSA_BENCH_SIDE=plain: on the reference source)
"""
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
try:
    import langchain  # noqa: F401  (the real stack, where it installs)
except ImportError:
    sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "fakestack"))

if os.environ.get("NLSA_BENCH_SIDE") == "plain":
    import importlib.util  # noqa: E402
    import warnings  # noqa: E402

    _spec = importlib.util.spec_from_file_location("plain_agent", os.path.join(os.path.dirname(HERE), "reference",
                                                                                  "base.py"))
    nl = importlib.util.module_from_spec(_spec)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        _spec.loader.exec_module(nl)
else:
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

def counted(name, calls, side):
    """Instructions callgrind counts for a process that runs `name` `calls` times on `side`."""
    # A fixed hash seed: string hashes decide how dicts grow and probe, here and in the import before the loop.
    env = dict(os.environ, PYTHONHASHSEED="0", NLSA_BENCH_SIDE=side)
    proc = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable,
                           os.path.abspath(__file__), name, str(calls)], capture_output=True, text=True, env=env)
    found = re.search(r"Collected : (\d+)", proc.stderr)
    if proc.returncode != 0 or not found:
        sys.exit("callgrind failed for %s: %s" % (name, proc.stderr[-2000:]))
    return int(found.group(1))


def table(calls):
    out = sys.__stdout__  # the operations print to /dev/null
    print("instructions per call (%s, %s)" % (sys.version.split()[0], nl.__file__), file=out)
    print("%-18s %8s %8s %6s" % ("operation", "native", "plain", "ratio"), file=out)
    for name in OPERATIONS:
        native, plain = ((counted(name, calls, side) - counted(name, 0, side)) / calls for side in ("native", "plain"))
        print("%-18s %8d %8d %6.3f" % (name, round(native), round(plain), native / plain), file=out, flush=True)


if __name__ == "__main__":
    if sys.argv[1] == "table":
        table(int(sys.argv[2]) if len(sys.argv) > 2 else 5000)
    else:
        operation, calls = OPERATIONS[sys.argv[1]], int(sys.argv[2])
        for _ in range(calls):
            operation()
