"""Re-entry on stacks that the thread did not start with. Coroutine libraries run Python on stacks of their own:
stackful coroutines on makecontext stacks, each with a thread state of its own (tests/cstack/cstack.c, built
here), and greenlets, which share the thread's stack. Coroutines suspend inside the module's calls and others
run meanwhile, on stacks above or below theirs. Each entry must be measured against the stack it runs on:
an ordinary call is never refused, deep re-entry ends in RecursionError, and nothing ends in a signal.
Each scenario runs in a fresh interpreter, so that a crash fails the test instead of the run."""
import importlib.machinery
import os
import shutil
import subprocess
import sys
import sysconfig

import pytest

from conftest import FAKESTACK, HERE, run_python

pytestmark = [
    pytest.mark.skipif(not sys.platform.startswith("linux") or sys.maxsize < 2**32,
                       reason="makecontext stacks as a 64-bit Linux lays them out"),
    # a debug interpreter checks that a thread state is swapped in on the OS thread that made it, which the
    # helper's coroutines, each with a thread state of its own, do not honour; AddressSanitizer does not
    # follow stacks switched without its annotations
    pytest.mark.skipif(hasattr(sys, "gettotalrefcount") or "libasan" in os.environ.get("LD_PRELOAD", ""),
                       reason="the coroutine helper runs on release interpreters without sanitizers"),
]

KIB = 1024


@pytest.fixture(scope="module")
def cstack(tmp_path_factory):
    """A folder holding the coroutine helper, compiled for this interpreter."""
    compiler = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")
    if not compiler:
        pytest.skip("no C compiler to build the coroutine helper")
    folder = tmp_path_factory.mktemp("cstack")
    target = folder / ("cstack" + importlib.machinery.EXTENSION_SUFFIXES[0])
    command = [compiler, "-shared", "-fPIC", "-O1", "-Wall", "-Werror", "-I" + sysconfig.get_paths()["include"],
               os.path.join(HERE, "cstack", "cstack.c"), "-o", str(target)]
    built = subprocess.run(command, capture_output=True, text=True)
    assert built.returncode == 0, built.stderr
    return str(folder)


def outcome(code, *path):
    result = run_python(code, *path, HERE, FAKESTACK)
    assert result.returncode == 0, (result.returncode, result.stdout[-2000:], result.stderr[-3000:])
    return result.stdout


# Ordinary work (a connection and a run) and deep re-entry through the agent, as every coroutine below does.
WORK = """
import sys
import doubles
import nlsqlagent

nlsqlagent.SQLDatabase = doubles.GoodSQLDatabase

def ordinary():
    status = nlsqlagent.DatabaseConnector("u", "p", "h", "n").connect()
    runner = nlsqlagent.AgentRunner.__new__(nlsqlagent.AgentRunner)
    runner.agent_runner = doubles.Agent()
    return status["connected"], runner.run("q")

def reentry():
    runner = nlsqlagent.AgentRunner.__new__(nlsqlagent.AgentRunner)

    class Agent:
        def run(self, q):
            return runner.run(q)

    runner.agent_runner = Agent()
    sys.setrecursionlimit(10000)
    try:
        runner.run("q")
        return "no error"
    except RecursionError as e:
        return "RecursionError" if str(e).startswith("maximum recursion depth exceeded") else repr(e)
    finally:
        sys.setrecursionlimit(1000)

EXPECTED = ((True, ("answer", "q")), "RecursionError")
"""

# Two coroutines wait inside AgentRunner.run (their agents wait for the model) while a third works on a stack
# below both of theirs, then on one above both; then the two are resumed, and work on their own stacks. The
# stacks lie next to each other, each with its guard page.
SUSPENDED = WORK + """
import cstack, mmap

SIZE = STACK_KIB * 1024
slot = cstack.reserve(3 * (SIZE + mmap.PAGESIZE))
slots = [slot + i * (SIZE + mmap.PAGESIZE) for i in range(3)]   # from the lowest address up

class Waiting:
    def run(self, q):
        return cstack.suspend(q)

def waiting(name):
    runner = nlsqlagent.AgentRunner.__new__(nlsqlagent.AgentRunner)
    runner.agent_runner = Waiting()
    answer = runner.run(name)
    return (answer,) + (ordinary(), reentry())

for worker in (0, 2):
    first, second = [s for s in slots if s != slots[worker]]
    a = cstack.Coroutine(lambda: waiting("a"), SIZE, at=first)
    b = cstack.Coroutine(lambda: waiting("b"), SIZE, at=second)
    assert (a.resume(None), b.resume(None)) == ("a", "b")
    w = cstack.Coroutine(lambda: (ordinary(), reentry()), SIZE, at=slots[worker])
    assert w.resume(None) == EXPECTED, ("worker", worker, w.finished)
    assert b.resume("B") == ("B",) + EXPECTED
    assert a.resume("A") == ("A",) + EXPECTED
print("ok")
"""


@pytest.mark.parametrize("stack_kib", [128, 256, 1024])
def test_a_coroutine_works_beside_others_suspended_inside_calls(cstack, stack_kib):
    assert outcome(SUSPENDED.replace("STACK_KIB", str(stack_kib)), cstack) == "ok\n"


# Two coroutines re-enter run in turn, each suspending at every level (as agents that wait for the model at
# every step), one on the stack above the other. Each must reach the depth it reaches alone on that stack:
# a switch starts no fresh measure for the one switched to, and the other's entries refuse it nothing.
IN_TURN = WORK + """
import cstack, mmap

SIZE = STACK_KIB * 1024
slot = cstack.reserve(2 * (SIZE + mmap.PAGESIZE))
slots = [slot, slot + SIZE + mmap.PAGESIZE]

def stepping():
    depth = 0
    runner = nlsqlagent.AgentRunner.__new__(nlsqlagent.AgentRunner)

    class Agent:
        def run(self, q):
            nonlocal depth
            depth += 1
            cstack.suspend(None)
            return runner.run(q)

    runner.agent_runner = Agent()
    try:
        runner.run("q")
    except RecursionError:
        return depth

def run_all(coroutines):
    results = [None] * len(coroutines)
    while not all(c.finished for c in coroutines):
        for i, c in enumerate(coroutines):
            if not c.finished:
                results[i] = c.resume(None)
    return results

sys.setrecursionlimit(10000)
run_all([cstack.Coroutine(stepping, SIZE, at=slots[0])])  # the first run's one-time work (3.15 takes more stack)
alone = [run_all([cstack.Coroutine(stepping, SIZE, at=s)])[0] for s in slots]
together = run_all([cstack.Coroutine(stepping, SIZE, at=s) for s in slots])
print(alone, together)
"""


@pytest.mark.parametrize("stack_kib", [128, 1024])
def test_coroutines_reentering_in_turn_each_keep_their_own_measure(cstack, stack_kib):
    alone, together = eval(outcome(IN_TURN.replace("STACK_KIB", str(stack_kib)), cstack).replace("] [", "], ["))
    assert all(isinstance(depth, int) and depth > 10 for depth in alone), alone
    assert together == alone


# Greenlets share the thread's stack (each one's part is copied aside while it is suspended): two of them wait
# inside run, a third works, on a small thread, a default one and the main thread.
GREENLETS = WORK + """
import threading
import greenlet

class Waiting:
    def run(self, q):
        return greenlet.getcurrent().parent.switch(q)

def waiting(name):
    runner = nlsqlagent.AgentRunner.__new__(nlsqlagent.AgentRunner)
    runner.agent_runner = Waiting()
    answer = runner.run(name)
    return (answer,) + (ordinary(), reentry())

def main():
    a, b = greenlet.greenlet(waiting), greenlet.greenlet(waiting)
    assert (a.switch("a"), b.switch("b")) == ("a", "b")
    assert greenlet.greenlet(lambda: (ordinary(), reentry())).switch() == EXPECTED
    assert b.switch("B") == ("B",) + EXPECTED
    assert a.switch("A") == ("A",) + EXPECTED
    print("ok", flush=True)

for size in (256 * 1024, 1024 * 1024):
    threading.stack_size(size)
    t = threading.Thread(target=main)
    t.start()
    t.join()
main()
"""


def test_greenlets_suspended_inside_calls():
    pytest.importorskip("greenlet")
    assert outcome(GREENLETS) == "ok\nok\nok\n"
