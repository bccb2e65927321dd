"""Side-by-side timings of nlsqlagent and the same classes written in plain Python.

    python bench/run.py [--quick] [--memory] [--calls N]

Both modules run in this one process on the same test doubles, timed in
interleaved rounds (native, plain, plain, native, ...) so that noise on the
machine lands on both; each figure is the median over the rounds.
"""
import argparse
import gc
import os
import re
import statistics
import subprocess
import sys
import timeit
import tracemalloc

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

try:
    import langchain  # noqa: F401  (the real stack, where it installs)
    STACK = "real LangChain stack"
except ImportError:
    sys.path.insert(0, os.path.join(ROOT, "tests", "fakestack"))
    STACK = "stand-in dependency tree (tests/fakestack)"
import importlib.util  # noqa: E402
import warnings  # noqa: E402

import nlsqlagent  # noqa: E402

# The plain-Python yardstick: the source that the module reproduces.
_spec = importlib.util.spec_from_file_location("plain_agent", os.path.join(ROOT, "reference", "base.py"))
plain_agent = importlib.util.module_from_spec(_spec)
with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    _spec.loader.exec_module(plain_agent)

MODULES = {"native": nlsqlagent, "plain": plain_agent}


# --- test doubles shared by both sides --------------------------------------------------------------
class Database:
    """What from_uri hands back."""


DATABASE = Database()


class SQLDatabase:
    @classmethod
    def from_uri(cls, uri):
        return DATABASE


class Agent:
    def run(self, query):
        return query

    def __repr__(self):
        return "Agent()"


AGENT = Agent()


def create_sql_agent(llm, toolkit, verbose, agent_type):
    return AGENT


def create_sql_agent_failing(llm, toolkit, verbose, agent_type):
    raise ValueError("no agent today")


def bind(create):
    for module in MODULES.values():
        module.SQLDatabase = SQLDatabase
        module.create_sql_agent = create


# --- operations -----------------------------------------------------------------------------------
CREDENTIALS = ("reader", "s3cret@pass/word", "127.0.0.1", "shop")

# name, statement, set-up run once per side, create_sql_agent to bind
OPERATIONS = [
    ("DatabaseConnector()", "C()", "", create_sql_agent),
    ("DatabaseConnector(4 positional)", "C(u, p, h, n)", "", create_sql_agent),
    ("DatabaseConnector(4 keywords)", "C(db_user=u, db_password=p, db_host=h, db_name=n)", "", create_sql_agent),
    ("connect() credentials missing", "missing.connect()", "", create_sql_agent),
    ("connect() success", "ok.connect()", "", create_sql_agent),
    ("getdbinstance() success", "ok.getdbinstance()", "", create_sql_agent),
    ("AgentRunner(llm, toolkit)", "R(llm, toolkit)", "", create_sql_agent),
    ("AgentRunner() create fails", "R(llm, toolkit)", "", create_sql_agent_failing),
    ("run(q) with agent", "runner.run(q)", "", create_sql_agent),
    ("run(q) without agent", "idle.run(q)", "", create_sql_agent),
    ("wrong argument count, caught", "try:\n    C(u, p, h, n, u)\nexcept TypeError:\n    pass", "",
     create_sql_agent),
]


def namespace(module):
    bind(create_sql_agent)
    ok = module.DatabaseConnector(*CREDENTIALS)
    missing = module.DatabaseConnector("reader", None, "127.0.0.1", "shop")
    runner = module.AgentRunner("llm", "toolkit")
    idle = module.AgentRunner.__new__(module.AgentRunner)
    idle.agent_runner = None
    u, p, h, n = CREDENTIALS
    return dict(C=module.DatabaseConnector, R=module.AgentRunner, ok=ok, missing=missing, runner=runner,
                idle=idle, u=u, p=p, h=h, n=n, q="How many orders?", llm="llm", toolkit="toolkit", agent=AGENT)


def calibrate(timer, target):
    number = 1
    while True:
        if timer.timeit(number) >= target:
            return number
        number *= 2


def compare(stmt_a, ns_a, stmt_b, ns_b, rounds, target):
    """Median seconds per call of two statements, timed in interleaved rounds."""
    ta = timeit.Timer(stmt_a, globals=ns_a)
    tb = timeit.Timer(stmt_b, globals=ns_b)
    number = max(calibrate(ta, target), calibrate(tb, target))
    a, b = [], []
    gc_was = gc.isenabled()
    gc.disable()
    try:
        for i in range(rounds):
            pair = ((ta, a), (tb, b)) if i % 2 == 0 else ((tb, b), (ta, a))
            for timer, out in pair:
                out.append(timer.timeit(number) / number)
    finally:
        if gc_was:
            gc.enable()
    return statistics.median(a), statistics.median(b)


IMPORT_BLOCK = """\
from langchain.agents import create_sql_agent
from langchain.agents.agent_toolkits import SQLDatabaseToolkit
from langchain.sql_database import SQLDatabase
from langchain.llms.openai import OpenAI
from langchain.agents import AgentExecutor
from langchain.agents.agent_types import AgentType
from langchain.chat_models import ChatOpenAI
from sqlalchemy import create_engine
import os
from langchain.agents import *
from langchain.llms import OpenAI
from langchain.sql_database import SQLDatabase
import pymysql
import urllib.parse
"""


def import_self_time(module, repeats):
    """Median self time, in microseconds, that `python -X importtime` gives the module. The module's import
    statements run once beforehand in a throwaway namespace, so that the dependencies (and the first-use work
    of their lazily resolved names) are not counted: what is left is the module's own work."""
    code = "import warnings; warnings.simplefilter('ignore'); exec(%r, {}); import %s" % (IMPORT_BLOCK, module)
    # The reference source imports as "base" from its own folder; the module from wherever this run found it.
    path = [os.path.join(ROOT, "reference"), os.path.dirname(nlsqlagent.__file__)] + sys.path[:1]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in path if p))
    times = []
    for _ in range(repeats):
        out = subprocess.run([sys.executable, "-X", "importtime", "-c", code], env=env,
                             stderr=subprocess.PIPE, stdout=subprocess.DEVNULL, universal_newlines=True).stderr
        m = re.search(r"import time:\s+(\d+) \|\s+\d+ \|\s*%s\s*$" % module, out, re.M)
        if m is None:
            raise RuntimeError("no import time line for %s:\n%s" % (module, out[-2000:]))
        times.append(int(m.group(1)))
    return statistics.median(times)


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def instance_bytes(make, count=20000):
    """Bytes that each instance holds, as tracemalloc counts them."""
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        keep = [make() for _ in range(count)]
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    list_bytes = sys.getsizeof(keep)
    del keep
    return (after - before - list_bytes) / count


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer, shorter rounds")
    parser.add_argument("--memory", action="store_true", help="also run every operation a million times "
                        "and report resident memory")
    parser.add_argument("--calls", type=int, default=1000000, help="calls per operation for --memory")
    args = parser.parse_args()
    rounds, target, imports = (7, 0.01, 5) if args.quick else (25, 0.03, 21)

    print("CPython %s, %s" % (sys.version.split()[0], STACK))
    real_stdout = sys.stdout
    null = open(os.devnull, "w")
    namespaces = {side: namespace(m) for side, m in MODULES.items()}
    rows = []
    sys.stdout = null
    try:
        for name, stmt, _, create in OPERATIONS:
            bind(create)
            native, plain = compare(stmt, namespaces["native"], stmt, namespaces["plain"], rounds, target)
            rows.append((name, native, plain, 0.8))
        bind(create_sql_agent)
        via, direct = compare("runner.run(q)", namespaces["native"], "agent.run(q)", namespaces["native"],
                              rounds, target)
        floor = ("dispatch floor: runner.run(q) / agent.run(q)", via, direct, 1.5)
    finally:
        sys.stdout = real_stdout

    width = max(len(r[0]) for r in rows + [floor])
    print("%-*s %12s %12s %8s %7s" % (width, "operation", "native ns", "plain ns", "ratio", "target"))
    for name, native, plain, limit in rows + [floor]:
        ratio = native / plain
        mark = "" if ratio <= limit else "  MISSED"
        print("%-*s %12.1f %12.1f %8.3f %7s%s" % (width, name, native * 1e9, plain * 1e9, ratio,
                                                  "<=%.2g" % limit, mark))

    native_us = import_self_time("nlsqlagent", imports)
    plain_us = import_self_time("base", imports)
    print("%-*s %12s %12s %8.3f %7s%s" % (width, "import: self time (us, -X importtime)", native_us, plain_us,
                                          native_us / plain_us, "<1000us", "" if native_us < 1000 else "  MISSED"))

    bind(create_sql_agent)
    print()
    print("bytes per instance (tracemalloc)       native      plain")
    for label, factory in (
            ("DatabaseConnector(4 credentials)", lambda m: lambda: m.DatabaseConnector(*CREDENTIALS)),
            ("AgentRunner(llm, toolkit)", lambda m: lambda: m.AgentRunner("llm", "toolkit"))):
        sys.stdout = null
        try:
            sizes = [instance_bytes(factory(MODULES[s])) for s in ("native", "plain")]
        finally:
            sys.stdout = real_stdout
        print("%-36s %8.0f %10.0f" % (label, sizes[0], sizes[1]))

    if args.memory:
        print()
        print("resident memory over %d calls of each native operation (KiB)" % args.calls)
        for name, stmt, _, create in OPERATIONS:
            bind(create)
            timer = timeit.Timer(stmt, globals=namespaces["native"])
            sys.stdout = null
            try:
                timer.timeit(args.calls // 10)
                gc.collect()
                before = rss_kib()
                timer.timeit(args.calls)
                gc.collect()
                after = rss_kib()
            finally:
                sys.stdout = real_stdout
            print("%-*s %8d -> %8d  (%+d)" % (width, name, before, after, after - before))


if __name__ == "__main__":
    main()
