"""Every path of every method, driven many times: reference leaks, memory growth and allocation failures.

    python tests/sweep.py leaks [--calls N]         sys.gettotalrefcount() (debug interpreter) or tracemalloc
    python tests/sweep.py nomemory [--every K]      fail each allocation index in turn (every K-th index)
    python tests/sweep.py imports [--every K]       the same for the import itself, one process per index

Runs on the stand-in dependency tree unless the real stack is importable; exits 1 with a report when a
check fails. The pytest suite runs it in subprocesses (tests/test_sweeps.py).
"""
import argparse
import functools
import gc
import os
import subprocess
import sys
import time
import tracemalloc
import types
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
STANDIN_SITE = os.path.join(HERE, "standin_site")  # hides an installed langchain_classic from the module
if "--fakestack" in sys.argv:
    sys.path.insert(0, os.path.join(HERE, "fakestack"))
    exec(compile(open(os.path.join(STANDIN_SITE, "sitecustomize.py")).read(), "sitecustomize.py", "exec"), {})

# ---- test doubles (tests/doubles.py) -------------------------------------------------------------------

# Also read through globals() by make_paths, hence the noqa.
from doubles import (  # noqa: E402,F401
    AGENT, DATABASE, Agent, FailingAgent, FailingSQLDatabase, GoodSQLDatabase, InterruptedSQLDatabase, Sink,
    UnprintableAgent, create_fails, create_interrupted, create_none, create_ok, create_unprintable)


def dict_call(callable, kwargs):
    """callable(**kwargs) through the interpreter's dict call, for keys that partial() would refuse."""
    return callable(**kwargs)


class RefusingStatus(dict):
    def __setitem__(self, key, value):
        raise KeyError(key)


# ---- the paths -----------------------------------------------------------------------------------------


# Doubles made of builtins only, for the allocation-failure sweep: CPython 3.11 to 3.13 can lose the exception
# of a Python-level function that C code calls while an allocation fails ("returned NULL without setting an
# exception"; reproduced without this module), which would hide what the module itself does.
NATIVE = dict(
    GoodSQLDatabase=types.SimpleNamespace(from_uri=str.upper),
    FailingSQLDatabase=types.SimpleNamespace(from_uri=bytes.fromhex),  # ValueError, without echoing the URI
    create_ok=dict,
    create_fails=int,  # TypeError: unexpected keyword
    AGENT=types.SimpleNamespace(run=str.upper),
    FailingAgent=lambda: types.SimpleNamespace(run=int),
    RefusingStatus=lambda: types.MappingProxyType({}),  # TypeError on item assignment
)


def make_paths(nl, native=False):
    """(name, prepare, allowed exception types): prepare() sets the scene outside any allocation failure and
    returns the call to check. With `native`, only the paths whose doubles are builtins."""
    DC, AR = nl.DatabaseConnector, nl.AgentRunner
    d = dict(globals())
    if native:
        d.update(NATIVE)
    GoodSQLDatabase, FailingSQLDatabase = d["GoodSQLDatabase"], d["FailingSQLDatabase"]
    create_ok, create_fails, AGENT = d["create_ok"], d["create_fails"], d["AGENT"]
    FailingAgent, RefusingStatus = d["FailingAgent"], d["RefusingStatus"]  # noqa: F811
    credentials = ("reader", "Zq7@Wx:Vy/Kp%Rs?Tn#Mb Lé", "127.0.0.1", "shop")

    def bind(sqldatabase=GoodSQLDatabase, create=create_ok):
        nl.SQLDatabase = sqldatabase
        nl.create_sql_agent = create

    def connector(*args, status=None):
        c = DC(*args)
        if status is not None:
            c.connection_status = status
        return c

    def scene(sqldatabase=GoodSQLDatabase, create=create_ok, call=None):
        def prepare():
            bind(sqldatabase, create)
            return call()
        return prepare

    def unbound(name, call):
        def prepare():
            bind()
            nl.__dict__.pop(name, None)
            return call()
        return prepare

    def runner(agent):
        r = AR.__new__(AR)
        r.agent_runner = agent
        return r

    fn = AR.run
    call = functools.partial  # every call under test is a builtin callable: no Python frame is pushed for it
    P = []
    P.append(("DatabaseConnector()", scene(call=lambda: DC), ()))
    P.append(("DatabaseConnector(4 positional)", scene(call=lambda: call(DC, *credentials)), ()))
    P.append(("DatabaseConnector(4 keywords)", scene(call=lambda: call(
        DC, db_user="u", db_password="p", db_host="h", db_name="n")), ()))
    sqldbs = (("success", GoodSQLDatabase, ()), ("from_uri raises", FailingSQLDatabase, ()),
              ("KeyboardInterrupt", InterruptedSQLDatabase, (KeyboardInterrupt,)))
    for label, sqldb, allowed in sqldbs[:2] if native else sqldbs:
        P.append(("connect: " + label, scene(sqldb, call=lambda: connector(*credentials).connect), allowed))
        P.append(("getdbinstance: " + label, scene(sqldb, call=lambda: connector(*credentials).getdbinstance),
                  allowed))
    P.append(("connect: credential missing", scene(call=lambda: connector("u", None, "h", "n").connect), ()))
    P.append(("getdbinstance: credential missing",
              scene(call=lambda: connector("u", "p", None, "n").getdbinstance), ()))
    P.append(("connect: SQLDatabase unbound", unbound("SQLDatabase", lambda: connector(*credentials).connect), ()))
    P.append(("connect: lone surrogate in password",
              scene(call=lambda: connector("u", "p\ud800", "h", "n").connect), ()))
    P.append(("connect: handler fails", scene(call=lambda: connector(
        *credentials, status=RefusingStatus()).connect), (KeyError, TypeError)))
    creates = (("agent built", create_ok, ()), ("create raises", create_fails, ()), ("None returned", create_none, ()),
               ("agent's str() raises", create_unprintable, ()),
               ("KeyboardInterrupt", create_interrupted, (KeyboardInterrupt,)))
    for label, create, allowed in creates[:2] if native else creates:
        P.append(("AgentRunner: " + label, scene(create=create, call=lambda: call(AR, "llm", "toolkit")), allowed))
    P.append(("AgentRunner: create_sql_agent unbound",
              unbound("create_sql_agent", lambda: call(AR, "llm", "toolkit")), ()))
    P.append(("run: with agent", scene(call=lambda: call(runner(AGENT).run, "q")), ()))
    P.append(("run: without agent", scene(call=lambda: call(runner(None).run, "q")), ()))
    P.append(("run: agent raises", scene(call=lambda: call(runner(FailingAgent()).run, "q")),
              (LookupError, ValueError)))
    for label, args, kwargs in (("count", (DC, 1, 2, 3, 4, 5), {}), ("multiple values", (DC, 1), {"db_user": 2}),
                                ("unexpected keyword", (AR, 1, 2), {"tool": 3}),
                                ("non-str keyword", (DC,), {1: 2}), ("run without query", (fn, None), {})):
        if label == "non-str keyword":  # partial() itself refuses such keywords: go through the dict call
            made = call(dict_call, args[0], kwargs)
        else:
            made = call(*args, **kwargs)
        P.append(("binding: " + label, scene(call=lambda made=made: made), (TypeError,)))
    writes = (("__doc__ = str", call(setattr, fn, "__doc__", "doc")), ("del __doc__", call(delattr, fn, "__doc__")),
              ("__qualname__ = str", call(setattr, fn, "__qualname__", "AgentRunner.run")),
              ("__name__ = str", call(setattr, fn, "__name__", "run")),
              ("__name__ = int (refused)", call(setattr, fn, "__name__", 1)),
              ("new attribute", call(setattr, fn, "extra", [1])),
              ("__annotations__ = dict", call(setattr, fn, "__annotations__", {"query": str})),
              ("__defaults__ = None", call(setattr, fn, "__defaults__", None)),
              ("__kwdefaults__ = None", call(setattr, fn, "__kwdefaults__", None)),
              ("del __code__ (refused)", call(delattr, fn, "__code__")))
    for label, made in writes:
        P.append(("function attribute: " + label, scene(call=lambda made=made: made), (TypeError, AttributeError)))
    return P


def reset(nl, originals):
    nl.__dict__.update(originals)


# ---- checks ----------------------------------------------------------------------------------------------


def run_once(call, allowed):
    """Calls; returns the exception type raised (None for a normal return). Anything not allowed, and any
    SystemError, is an error."""
    try:
        call()
    except allowed as e:
        return type(e)
    return None


def outcome_of(call, allowed):
    """("raised", exception) or ("returned", result): the call alone, nothing else allocated."""
    try:
        return ("returned", call())
    except allowed as e:
        return ("raised", e)


def signature(outcome):
    """What a call left behind: the exception or the result, and the state of the object it returned
    (as types and values that do not depend on addresses)."""
    kind, result = outcome
    if kind == "raised":
        return ("raised", type(result).__name__, str(result))
    state = getattr(result, "__dict__", None)
    if isinstance(state, dict):
        return ("returned", type(result).__name__, sorted((k, repr(v)) for k, v in state.items()))
    return ("returned", repr(result))


def module_entries(outcome):
    """The module's own traceback entries (function, line) of a raised outcome, innermost last; None for a
    returned one."""
    if outcome[0] != "raised":
        return None
    entries, tb = [], outcome[1].__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == "nlsqlagent/base":
            entries.append((code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return entries


SECRET_PIECES = ["Zq7", "Wx:Vy", "Kp%Rs", "Tn#Mb", "Mb L", "%40Wx", "Kp%25Rs", "Tn%23Mb", "Vy%2FKp"]


class Recorder(Sink):
    def __init__(self):
        self.text = []

    def write(self, text):
        self.text.append(text)
        return len(text)


def secrets_in(call, allowed):
    """Pieces of the test password in what one call returns, raises, leaves behind or prints."""
    recorder = Recorder()
    saved, sys.stdout = sys.stdout, recorder
    try:
        outcome = outcome_of(call, allowed)
    finally:
        sys.stdout = saved
    # The password attribute holds what the caller gave; everything else the module made must not show it.
    subject = getattr(call, "__self__", outcome[1])
    state = {k: v for k, v in getattr(subject, "__dict__", {}).items() if k != "db_password"}
    result = outcome[1] if outcome[0] == "raised" or not hasattr(outcome[1], "__dict__") else None
    said = repr(result) + str(result) + "".join(recorder.text) + repr(state)
    return [piece for piece in SECRET_PIECES if piece in said]


def leaks(nl, paths, originals, calls):
    debug = hasattr(sys, "gettotalrefcount")
    failures = []
    for name, prepare, allowed in paths:
        call = prepare()
        secrets = secrets_in(call, allowed)
        if secrets:
            failures.append("%s shows pieces of the password: %s" % (name, secrets))
        batch = max(calls // 4, 1)

        def drive(n, call=call, allowed=allowed):
            for _ in range(n):
                run_once(call, allowed)

        drive(batch)  # warm caches, freelists and the traceback code objects
        gc.collect()
        if debug:
            growth = []
            for _ in range(3):
                before = sys.gettotalrefcount()
                drive(batch)
                gc.collect()
                growth.append(sys.gettotalrefcount() - before)
            # A leak of one reference in every call grows each batch by `batch`; the measuring itself moves the
            # total by a few.
            leaked = min(growth) > max(10, batch // 50)
            figure = "refs %+d %+d %+d" % tuple(growth)
        else:
            tracemalloc.start()
            drive(batch)
            gc.collect()
            first = tracemalloc.get_traced_memory()[0]
            drive(calls)
            gc.collect()
            last = tracemalloc.get_traced_memory()[0]
            tracemalloc.stop()
            leaked = last - first > 4096
            figure = "bytes %+d" % (last - first)
        print("  %-45s %s%s" % (name, figure, "  LEAK" if leaked else ""), file=sys.__stdout__)
        if leaked:
            failures.append(name)
        reset(nl, originals)
    return failures


def nomemory(nl, paths, originals, every, clean_run=60):
    """Fails one allocation at a time, index 0, every, 2*every, ... during each path's call, until `clean_run`
    indices in a row leave the same outcome as an undisturbed call (the call makes no more allocations).
    Whatever a failing allocation leads to, an exception other than MemoryError carries the traceback
    entries that the same exception carries undisturbed."""
    import _testcapi
    failures = []
    swept = 0
    for name, prepare, allowed in paths:
        undisturbed = outcome_of(prepare(), allowed)
        expected, expected_entries = signature(undisturbed), module_entries(undisturbed)
        reset(nl, originals)
        outcomes = {}
        index, clean = 0, 0
        while clean < clean_run:
            call = prepare()
            if os.environ.get("SWEEP_TRACE"):
                print(name, index, file=sys.__stderr__, flush=True)
            allowed_here = allowed + (MemoryError,)
            _testcapi.set_nomemory(index, index + 1)
            try:
                raw = ("returned", call())
            except allowed_here as e:
                raw = ("raised", e)
            except BaseException as e:  # noqa: B902 - anything else is the finding
                raw = ("unexpected", e)
            finally:
                _testcapi.remove_mem_hooks()
            outcome = signature(raw) if raw[0] != "unexpected" else ("unexpected", repr(raw[1]))
            reset(nl, originals)
            if outcome[0] == "unexpected" or "SystemError" in repr(outcome):
                failures.append("%s, allocation %d failing: %s" % (name, index, outcome))
                break
            if outcome[:2] == expected[:2] and outcome[0] == "raised" and module_entries(raw) != expected_entries:
                failures.append("%s, allocation %d failing: %s with the entries %s instead of %s" % (
                    name, index, outcome, module_entries(raw), expected_entries))
                break
            clean = clean + 1 if outcome == expected else 0
            kind = "undisturbed" if outcome == expected else outcome[1] if outcome[0] == "raised" else "absorbed"
            outcomes[kind] = outcomes.get(kind, 0) + 1
            index += every
            swept += 1
        # a later undisturbed call behaves as before
        if signature(outcome_of(prepare(), allowed)) != expected:
            failures.append("%s: behaves differently after the sweep" % name)
        reset(nl, originals)
        print("  %-45s %5d indices: %s" % (name, index // every, ", ".join(
            "%s x%d" % kv for kv in sorted(outcomes.items()))), file=sys.__stdout__)
    return failures, swept


def import_sweep(every, fakestack):
    """Fails allocations from each index on during `import nlsqlagent`, one fresh process per index."""
    # The module's own create and exec steps only: the finder's work (os.stat and friends, which CPython itself
    # does not survive failing allocations in) is done before allocations start failing.
    code = ("import sys, _testcapi, _imp, importlib.util\n"
            "spec = importlib.util.find_spec('nlsqlagent')\n"
            "_testcapi.set_nomemory(%d, %d)\n"
            "try:\n"
            "    _imp.exec_dynamic(_imp.create_dynamic(spec))\n"
            "    outcome = 'imported'\n"
            "except (MemoryError, ImportError) as e:\n"
            "    outcome = type(e).__name__\n"
            "finally:\n"
            "    _testcapi.remove_mem_hooks()\n"
            "if outcome != 'imported':\n"
            "    sys.modules.pop('nlsqlagent', None)\n"
            "    module = _imp.create_dynamic(spec)\n"
            "    _imp.exec_dynamic(module)  # a failed attempt leaves the next one free to succeed\n"
            "    assert module.AgentRunner.__init__.__defaults__[0] is True\n"
            "print(outcome)\n")
    # Allocation counting starts after the dependencies are in place, so that the indices fall in the module.
    prelude = ("import warnings; warnings.simplefilter('ignore')\n"
               "import langchain.agents, langchain.agents.agent_toolkits, langchain.agents.agent_types, "
               "langchain.sql_database, langchain.llms.openai, langchain.llms, langchain.chat_models, sqlalchemy, "
               "pymysql\n")
    env = dict(os.environ)
    if fakestack:
        env["PYTHONPATH"] = os.pathsep.join([STANDIN_SITE, os.path.join(HERE, "fakestack"), env.get("PYTHONPATH", "")])
    failures, outcomes, index, clean = [], {}, 0, 0
    while clean < 30:
        proc = subprocess.run([sys.executable, "-c", prelude + code % (index, index + 1)], capture_output=True,
                              text=True, env=env, timeout=120)
        outcome = proc.stdout.strip().splitlines()[-1] if proc.stdout.strip() else ""
        if proc.returncode != 0 or outcome not in ("imported", "MemoryError", "ImportError"):
            failures.append("import with allocations from %d failing: exit %d, %s %s" % (
                index, proc.returncode, outcome, proc.stderr.strip()[-800:]))
            break
        outcomes[outcome] = outcomes.get(outcome, 0) + 1
        clean = clean + 1 if outcome == "imported" else 0
        index += every
    print("  %-45s %5d indices: %s" % ("import nlsqlagent", index // every,
                                      ", ".join("%s x%d" % kv for kv in outcomes.items())))
    return failures, sum(outcomes.values())


def import_leaks(attempts):
    """Failed imports (a dependency blocked in sys.modules), many times: each runs the exec step up to the
    blocked statement and must leave nothing behind."""
    failures = []
    for blocked in ("langchain.agents", "langchain.sql_database", "langchain.agents.agent_types", "sqlalchemy"):
        sys.modules[blocked] = None
        def attempt(blocked=blocked):
            try:
                import nlsqlagent  # noqa: F401
            except ImportError:
                pass
            else:
                raise AssertionError("the import went through with %s blocked" % blocked)
        for _ in range(attempts // 2):  # the import system's caches settle first
            attempt()
        gc.collect()
        before = sys.gettotalrefcount(), sys.getallocatedblocks()
        for _ in range(attempts):
            attempt()
        gc.collect()
        refs, blocks = sys.gettotalrefcount() - before[0], sys.getallocatedblocks() - before[1]
        leaked = refs > attempts // 20  # blocks: the import system's own caches also move them
        print("  %-45s refs %+d, blocks %+d over %d attempts%s" % ("import with %s blocked" % blocked, refs,
                                                                  blocks, attempts, "  LEAK" if leaked else ""))
        if leaked:
            failures.append("failed import with %s blocked" % blocked)
        del sys.modules[blocked]
    return failures, 4


def thread_workload(nl, seconds, nthreads=6):
    """Threads share instances and call every method while others rebind the module's SQLDatabase and
    create_sql_agent and write the functions' attributes. Returns (calls made, problems seen)."""
    import threading
    DC, AR = nl.DatabaseConnector, nl.AgentRunner
    nl.SQLDatabase, nl.create_sql_agent = GoodSQLDatabase, create_ok
    shared_connectors = [DC("reader", "pw@1", "127.0.0.1", "shop"), DC("reader", None, "h", "n")]
    shared_runner = AR("llm", "toolkit")
    messages = {None, "Connection successful", "All database credentials must be provided",
                "server refused the connection"}
    problems, counts = [], [0] * nthreads
    stop = time.monotonic() + seconds

    def record(problem):
        if len(problems) < 20:
            problems.append(problem)

    def caller(slot):
        n = 0
        while time.monotonic() < stop:
            for c in shared_connectors:
                status = c.connect()
                if set(status) != {"connected", "message"} or status["message"] not in messages:
                    record("status record %r" % (status,))
                db = c.getdbinstance()
                if db is not DATABASE and db is not None and db is not c.connection_status:
                    record("getdbinstance gave %r" % (db,))
            runner = AR("llm", "toolkit")
            if runner.error is not None and not isinstance(runner.error, ValueError):
                record("construction error %r" % (runner.error,))
            answer = shared_runner.run("q%d" % n)
            if answer not in (None, ("answer", "q%d" % n)):
                record("run answered %r" % (answer,))
            try:
                DC(1, 2, 3, 4, 5)
            except TypeError as e:
                if "at most 5" not in str(e):
                    record("binding error %r" % (e,))
            n += 6
        counts[slot] = n

    def rebinder():
        flip = 0
        while time.monotonic() < stop:
            nl.SQLDatabase = (GoodSQLDatabase, FailingSQLDatabase)[flip]
            nl.create_sql_agent = (create_ok, create_fails)[flip]
            flip ^= 1
            shared_runner.agent_runner = (AGENT, None)[flip]

    def attribute_writer():
        fn = AR.run
        while time.monotonic() < stop:
            fn.__doc__ = "doc"
            del fn.__doc__
            fn.extra = 1
            del fn.extra
            fn.__qualname__ = "AgentRunner.run"
            AR.__init__.__defaults__ = AR.__init__.__defaults__  # a warning, and nothing changes
            if AR.__init__.__defaults__[0] is not True:
                record("defaults changed")

    threads = [threading.Thread(target=caller, args=(i,)) for i in range(nthreads - 2)]
    threads += [threading.Thread(target=rebinder), threading.Thread(target=attribute_writer)]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    return sum(counts), problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["leaks", "nomemory", "imports", "import-leaks", "threads"])
    parser.add_argument("--seconds", type=float, default=2.0)
    parser.add_argument("--calls", type=int, default=2000)
    parser.add_argument("--every", type=int, default=1)
    parser.add_argument("--fakestack", action="store_true")
    parser.add_argument("--only", default="", help="run the paths whose name contains this text")
    args = parser.parse_args()
    warnings.simplefilter("ignore")
    start = time.time()
    if args.mode == "imports":
        failures, swept = import_sweep(args.every, args.fakestack)
    elif args.mode == "import-leaks":
        failures, swept = import_leaks(args.calls)
    else:
        import nlsqlagent as nl
        names = ("SQLDatabase", "create_sql_agent")
        originals = {n: nl.__dict__[n] for n in names}
        paths = [p for p in make_paths(nl, native=args.mode == "nomemory") if args.only in p[0]]
        real_stdout = sys.stdout
        # A sink in C for the allocation sweep; elsewhere one in Python, which threads may share (the C text
        # file's buffer trips a debug assertion under concurrent writes in CPython itself).
        sys.stdout = open(os.devnull, "w") if args.mode == "nomemory" else Sink()
        try:
            if args.mode == "threads":
                failures = []
                for run in range(2):  # the second run must leave the reference total where the first left it
                    gc.collect()
                    before = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0
                    calls, problems = thread_workload(nl, args.seconds)
                    reset(nl, originals)
                    gc.collect()
                    growth = sys.gettotalrefcount() - before if hasattr(sys, "gettotalrefcount") else 0
                    print("  run %d: %d calls in %.1f s on 6 threads, reference total %+d" % (
                        run + 1, calls, args.seconds, growth), file=real_stdout)
                    failures += problems
                if hasattr(sys, "gettotalrefcount") and growth > 200:
                    failures.append("references grew by %d over the second run" % growth)
                swept = calls
            elif args.mode == "leaks":
                print("%s, %d calls per path" % ("sys.gettotalrefcount()" if hasattr(sys, "gettotalrefcount")
                                                 else "tracemalloc", args.calls), file=real_stdout)
                failures, swept = leaks(nl, paths, originals, args.calls), len(paths)
            else:
                failures, swept = nomemory(nl, paths, originals, args.every)
                if hasattr(sys, "gettotalrefcount") and not failures:
                    # The same sweep again must leave the reference total where the first one left it.
                    quiet, sys.__stdout__ = sys.__stdout__, open(os.devnull, "w")
                    try:
                        gc.collect()
                        before = sys.gettotalrefcount()
                        failures, again = nomemory(nl, paths, originals, args.every)
                        gc.collect()
                        growth = sys.gettotalrefcount() - before
                    finally:
                        sys.__stdout__ = quiet
                    print("second sweep: %d indices, reference total %+d" % (again, growth), file=real_stdout)
                    if growth > again // 20:
                        failures.append("references grew by %d over %d failing allocations" % (growth, again))
        finally:
            sys.stdout = real_stdout
    print("%s: %d paths/indices in %.1f s, %d failure(s)" % (args.mode, swept, time.time() - start, len(failures)))
    for failure in failures:
        print("FAIL", failure)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
