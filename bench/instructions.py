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

`table` and `compare` count every operation of one side in one process under callgrind with its instrumentation
off (`--instr-atstart=no`): after the import and the doubles, a forked child per operation and count switches
the instrumentation on and off around its loop only, with callgrind's client requests (a small C helper in
build/bench/, loaded with ctypes); each child starts from the same state, and its count is in callgrind's file
for its pid. bench/peers.py counts the compiled peers the same way (`per_call_each`).
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
                   "run", "run no agent", "wrong count", "create fails", "create raises"]


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

        def __str__(self):
            return "agent"

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

    def no_agent(llm, toolkit, verbose, agent_type):
        raise ValueError("no agent")

    def create_raises():
        nl.create_sql_agent = no_agent
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
        "create raises": create_raises,
    }
    assert list(table) == OPERATION_NAMES
    return table


# The counting process turns callgrind's instrumentation on around each loop only (client requests through this
# helper, loaded with ctypes), so the import of the stack runs at valgrind's uninstrumented speed.
TOGGLE_SOURCE = """#include <valgrind/callgrind.h>
void nlsa_instr_on(void) { CALLGRIND_START_INSTRUMENTATION; }
void nlsa_instr_off(void) { CALLGRIND_STOP_INSTRUMENTATION; }
"""


def toggle_library():
    """The helper's shared library (build/bench/), built with the machine's C compiler when its source changes."""
    folder = os.path.join(ROOT, "build", "bench")
    source, library = os.path.join(folder, "callgrind_toggle.c"), os.path.join(folder, "callgrind_toggle.so")
    try:
        with open(source) as f:
            current = f.read() == TOGGLE_SOURCE and os.path.exists(library)
    except OSError:
        current = False
    if not current:
        os.makedirs(folder, exist_ok=True)
        with open(source, "w") as f:
            f.write(TOGGLE_SOURCE)
        proc = subprocess.run([os.environ.get("CC", "cc"), "-O2", "-shared", "-fPIC", "-o", library, source],
                              capture_output=True, text=True)
        if proc.returncode != 0:
            sys.exit("building the callgrind helper failed (it needs valgrind's headers):\n" + proc.stderr)
    return library


def loop(operation, calls, on, off):
    """What is counted: `operation` called `calls` times, between the helper's two client requests."""
    on()
    for _ in range(calls):
        operation()
    off()


def count_each(calls, library, report, names):
    """In the counting process, under callgrind with instrumentation off: after the import and the doubles, one
    forked child per operation runs `loop` `calls` times and one runs it 0 times, each from the same state; each
    child's counts are in callgrind's file for its pid. Writes the pids to `report`, a line per child."""
    import ctypes

    table = operations()
    helper = ctypes.CDLL(library)
    on, off = helper.nlsa_instr_on, helper.nlsa_instr_off
    loop(table[names[0]], 0, on, off)  # the ctypes calls' first-use work, done before any child
    children = []
    for name in names:
        for n in (calls, 0):
            pid = os.fork()
            if pid == 0:
                loop(table[name], n, on, off)
                os._exit(0)
            _, status = os.waitpid(pid, 0)
            if status != 0:
                sys.exit("the child counting %s failed" % name)
            children.append("%s\t%d\t%d\n" % (name, n, pid))
    with open(report, "w") as f:
        f.writelines(children)


def per_call_each(calls, side="native", path=None, names=OPERATION_NAMES, python=sys.executable):
    """Instructions per call of each operation in `names` on `side`, with the module from `path` (a folder) when
    given, on the interpreter `python`: one process under callgrind (`count_each`), each operation's count minus
    its 0-call count, over `calls`."""
    # A fixed hash seed: string hashes decide how dicts grow and probe, here and in the import before the loop.
    env = dict(os.environ, PYTHONHASHSEED="0", NLSA_BENCH_SIDE=side)
    if path:
        env["PYTHONPATH"] = path
    library = toggle_library()
    with tempfile.TemporaryDirectory() as out:
        report = os.path.join(out, "children")
        proc = subprocess.run(["valgrind", "--tool=callgrind", "--instr-atstart=no",
                               "--callgrind-out-file=" + os.path.join(out, "callgrind.%p"), python,
                               os.path.abspath(__file__), "each", str(calls), library, report] + list(names),
                              capture_output=True, text=True, env=env)
        if proc.returncode != 0 or not os.path.exists(report):
            sys.exit("callgrind failed on %s: %s" % (side, proc.stderr[-3000:]))
        counts = {}
        with open(report) as f:
            for line in f:
                name, n, pid = line.rstrip("\n").split("\t")
                with open(os.path.join(out, "callgrind." + pid)) as dump:
                    found = re.search(r"^totals: (\d+)", dump.read(), re.M)
                if not found:
                    sys.exit("no count in callgrind's file for %s" % name)
                counts[name, int(n)] = int(found.group(1))
    return {name: (counts[name, calls] - counts[name, 0]) / calls for name in names}


def table(calls):
    print("CPython %s, instructions per call (%d calls)" % (sys.version.split()[0], calls))
    print("%-18s %8s %8s %6s" % ("operation", "native", "plain", "ratio"))
    natives, plains = per_call_each(calls), per_call_each(calls, "plain")
    for name in OPERATION_NAMES:
        native, plain = natives[name], plains[name]
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
        firsts, seconds = (per_call_each(calls, path=folder) for folder in folders)
        for name in OPERATION_NAMES:
            first, second = firsts[name], seconds[name]
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
    if sys.argv[1] == "each":
        count_each(int(sys.argv[2]), sys.argv[3], sys.argv[4], sys.argv[5:])
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
