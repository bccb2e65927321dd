"""Instructions per call of each operation, counted by callgrind: the operation run N times, minus a run of 0,
divided by N. Counts, unlike timings, repeat exactly for the same build and inputs.

    python bench/instructions.py table [--calls N]                  # the module that `import` finds beside the
                                                                    # reference source (the plain-Python
                                                                    # yardstick), and the ratio
    python bench/instructions.py compare A=PATH B=PATH [--limit R]  # two builds (folders holding the module,
                                                                    # or wheels), B over A; exit 1 above R
    python bench/instructions.py OPERATION N                        # one operation N times, for a counter of
                                                                    # one's own (NLSA_BENCH_SIDE=plain: on the
                                                                    # reference source)
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
OPERATION_NAMES = ["DC()", "DC(4 pos)", "DC(4 kw)", "connect missing", "connect", "getdbinstance", "AgentRunner",
                   "run", "run no agent", "wrong count", "create fails"]


def operations():
    """The operations, on the module (or, with NLSA_BENCH_SIDE=plain, the reference source) and its doubles;
    standard output goes to /dev/null."""
    try:
        import langchain  # noqa: F401  (the real stack, where it installs)
    except ImportError:
        sys.path.insert(0, os.path.join(ROOT, "tests", "fakestack"))
    if os.environ.get("NLSA_BENCH_SIDE") == "plain":
        import importlib.util
        import warnings

        spec = importlib.util.spec_from_file_location("plain_agent", os.path.join(ROOT, "reference", "base.py"))
        nl = importlib.util.module_from_spec(spec)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            spec.loader.exec_module(nl)
    else:
        import nlsqlagent as nl

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

    agent = Agent()
    nl.SQLDatabase = SQLDatabase
    nl.create_sql_agent = lambda **kw: agent
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

    table = {
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
    assert list(table) == OPERATION_NAMES
    return table


def counted(name, calls, side="native", path=None):
    """Instructions callgrind counts for a process that runs `name` `calls` times on `side`, with the module
    from `path` (a folder) when given."""
    # A fixed hash seed: string hashes decide how dicts grow and probe, here and in the import before the loop.
    env = dict(os.environ, PYTHONHASHSEED="0", NLSA_BENCH_SIDE=side)
    if path:
        env["PYTHONPATH"] = path
    proc = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable,
                           os.path.abspath(__file__), name, str(calls)], capture_output=True, text=True, env=env)
    found = re.search(r"Collected : (\d+)", proc.stderr)
    if proc.returncode != 0 or not found:
        sys.exit("callgrind failed for %s: %s" % (name, proc.stderr[-2000:]))
    return int(found.group(1))


def per_call(name, calls, side="native", path=None):
    return (counted(name, calls, side, path) - counted(name, 0, side, path)) / calls


def table(calls):
    print("CPython %s, instructions per call (%d calls)" % (sys.version.split()[0], calls))
    print("%-18s %8s %8s %6s" % ("operation", "native", "plain", "ratio"))
    for name in OPERATION_NAMES:
        native, plain = per_call(name, calls), per_call(name, calls, "plain")
        print("%-18s %8d %8d %6.3f" % (name, round(native), round(plain), native / plain), flush=True)
    return 0


def module_folder(path, scratch):
    """A folder holding the module: `path` itself, or the wheel at `path` unpacked into `scratch`."""
    if os.path.isdir(path):
        return path
    folder = tempfile.mkdtemp(dir=scratch)
    with zipfile.ZipFile(path) as wheel:
        wheel.extractall(folder)
    return folder


def compare(builds, calls, limit):
    labels, paths = zip(*(b.split("=", 1) for b in builds))
    with tempfile.TemporaryDirectory() as scratch:
        folders = [module_folder(p, scratch) for p in paths]
        print("CPython %s, instructions per call (%d calls)" % (sys.version.split()[0], calls))
        print("%-18s %10s %10s %7s" % ("operation", labels[0], labels[1], "ratio"))
        worst = 0.0
        for name in OPERATION_NAMES:
            first, second = (per_call(name, calls, path=folder) for folder in folders)
            worst = max(worst, second / first)
            flag = "  ABOVE %.2f" % limit if second / first > limit else ""
            print("%-18s %10.0f %10.0f %7.3f%s" % (name, first, second, second / first, flag), flush=True)
    return 1 if worst > limit else 0


def main():
    if sys.argv[1] in OPERATION_NAMES:
        operation = operations()[sys.argv[1]]
        for _ in range(int(sys.argv[2])):
            operation()
        return 0
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["table", "compare"])
    parser.add_argument("builds", nargs="*", metavar="LABEL=PATH")
    parser.add_argument("--calls", type=int, default=5000)
    parser.add_argument("--limit", type=float, default=1.03)
    args = parser.parse_args()
    if args.mode == "table":
        return table(args.calls)
    if len(args.builds) != 2:
        parser.error("compare takes two builds")
    return compare(args.builds, args.calls, args.limit)


if __name__ == "__main__":
    sys.exit(main())
