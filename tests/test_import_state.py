"""The import leaves no process-wide state behind: not in sys.modules after a failure, not in the warnings
machinery, whatever other threads do with it meanwhile. Each scenario runs in a fresh interpreter, once with the
module and once with the reference source, on a stand-in tree whose LangChain emits a deprecation note while
the module's statements import it; what the process shows after the import must be the same."""
import pytest

from conftest import FAKESTACK, REFERENCE, SOURCE, home, package_with_the_module, run_python

# The scenario's action runs in the middle of the import (the stand-in langchain.sql_database, which statement 3
# imports, calls sys.during_import); afterwards the script reports the warnings machinery and issues two
# warnings.
SCENARIO = """
import logging, runpy, sys, threading, warnings

MODE, TARGET = %r, %r
entered, leave, left = threading.Event(), threading.Event(), threading.Event()

def holder():
    with warnings.catch_warnings():
        entered.set()
        leave.wait()
    left.set()

def during_import():
    if MODE == "catch_warnings across the import":
        threading.Thread(target=holder).start()
        entered.wait()
    elif MODE == "logging.captureWarnings during the import":
        logging.basicConfig(stream=sys.stderr)
        logging.captureWarnings(True)
    elif MODE == "another thread warns during the import":
        from langchain_core._api import LangChainDeprecationWarning
        t = threading.Thread(target=warnings.warn, args=("from another thread", LangChainDeprecationWarning))
        t.start()
        t.join()
    elif MODE == "the importing thread warns of its own during the import":  # a signal handler could
        from langchain_core._api import LangChainDeprecationWarning
        warnings.warn("a note of the program's own, mid-import", LangChainDeprecationWarning)
    elif MODE == "_showwarnmsg replaced during the import":  # and kept: the import must not put its own back
        inner = warnings._showwarnmsg
        def replacement(message):
            sys.stderr.write("the replacement shows a warning\\n")
            inner(message)
        warnings._showwarnmsg = replacement

sys.during_import = during_import
if MODE == "showwarning deleted":
    del warnings.showwarning
originals = (getattr(warnings, "showwarning", None), warnings._showwarnmsg)
if TARGET == "module":
    import nlsqlagent
else:
    runpy.run_path(%r)
if MODE == "catch_warnings across the import":
    leave.set()
    left.wait()
elif MODE == "logging.captureWarnings during the import":
    logging.captureWarnings(False)
sys.stderr.write("---- after the import\\n")
print(warnings.filters, getattr(warnings, "showwarning", None) is originals[0], warnings._showwarnmsg is originals[1])
from langchain_core._api import LangChainDeprecationWarning
warnings.warn("a later LangChain note", LangChainDeprecationWarning)
warnings.warn("a later note of the program's own", UserWarning)
"""

MODES = ["catch_warnings across the import", "logging.captureWarnings during the import",
         "another thread warns during the import", "the importing thread warns of its own during the import",
         "showwarning deleted", "_showwarnmsg replaced during the import"]


@pytest.fixture(scope="module")
def noisy_tree(tmp_path_factory):
    """The stand-in tree, with a langchain_core whose deprecation category LangChain's chat_models uses on
    import, as the real one does for the module's deprecated import paths."""
    import shutil
    root = tmp_path_factory.mktemp("noisy") / "tree"
    shutil.copytree(FAKESTACK, root)
    (root / "langchain_core").mkdir()
    (root / "langchain_core" / "__init__.py").write_text("")
    (root / "langchain_core" / "_api.py").write_text(
        "class LangChainDeprecationWarning(DeprecationWarning):\n    pass\n")
    path = root / "langchain" / "sql_database.py"
    path.write_text("import sys\nsys.during_import()\n" + path.read_text())
    path = root / "langchain" / "chat_models.py"
    path.write_text("import warnings\nfrom langchain_core._api import LangChainDeprecationWarning\n"
                    "warnings.warn('Importing ChatOpenAI from langchain.chat_models is deprecated.',"
                    " LangChainDeprecationWarning)\n" + path.read_text())
    return str(root)


def scenario(mode, target, tree):
    # the tree goes first, ahead of any installed LangChain
    # the reference as the stand-in tree's 0.3 layout imports it
    result = run_python(SCENARIO % (mode, target, SOURCE), tree, env_extra={"PYTHONWARNINGS": "always"})
    assert result.returncode == 0, result.stderr[-3000:]
    during, _, after = result.stderr.partition("---- after the import\n")
    return during, result.stdout, after


@pytest.mark.parametrize("mode", MODES)
def test_the_import_leaves_the_warnings_machinery_as_plain_python_does(noisy_tree, mode):
    during, state, after = scenario(mode, "module", noisy_tree)
    plain_during, plain_state, plain_after = scenario(mode, "reference", noisy_tree)
    assert (state, after) == (plain_state, plain_after)
    replaced = mode == "_showwarnmsg replaced during the import"
    assert state.endswith(" True False\n" if replaced else " True True\n")
    assert after.count("LangChainDeprecationWarning: a later LangChain note") == 1
    assert after.count("the replacement shows a warning") == (2 if replaced else 0)
    assert "Importing ChatOpenAI" in plain_during and "Importing ChatOpenAI" not in during
    if mode == "another thread warns during the import":  # only the importing thread is quieted
        assert "from another thread" in during and "from another thread" in plain_during
    if mode == "the importing thread warns of its own during the import":  # and only LangChain's import notes
        assert "mid-import" in during and "mid-import" in plain_during


def test_failed_import_under_another_name_leaves_nothing(tmp_path):
    package_with_the_module(tmp_path)
    result = run_python("""
        import sys
        sys.modules[%(agents)r] = None
        try:
            import pkg.nlsqlagent
        except ImportError:
            print("failed", "nlsqlagent" in sys.modules)
        del sys.modules[%(agents)r]
        import nlsqlagent
        print(hasattr(nlsqlagent, "DatabaseConnector"))
    """ % {"agents": home(1)}, str(tmp_path))
    assert result.stdout.split() == ["failed", "False", "True"], result.stderr[-3000:]


FORK = """
import os, sys, threading, warnings

inside, forked = threading.Event(), threading.Event()

def during_import():                     # on the importing thread: hold the import open while the main
    inside.set()                         # thread forks
    forked.wait()

sys.during_import = during_import
importer = threading.Thread(target=__import__, args=("nlsqlagent",))
importer.start()
inside.wait()
pid = os.fork()
if pid == 0:
    # The child has neither the importing thread nor its import; a thread it starts may get that thread's
    # ident. LangChain's import notes that it issues are its own, and shown.
    from langchain_core._api import LangChainDeprecationWarning
    shown = []
    warnings.simplefilter("always")
    warnings.showwarning = lambda message, *rest: shown.append(str(message))
    note = "Importing OpenAI from langchain.llms is deprecated."
    t = threading.Thread(target=warnings.warn, args=(note, LangChainDeprecationWarning))
    t.start()
    t.join()
    print(shown == [note], flush=True)
    os._exit(0)
os.waitpid(pid, 0)
forked.set()
importer.join()
print(hasattr(sys.modules["nlsqlagent"], "AgentRunner"))
"""


def test_a_child_forked_during_the_import_quiets_nothing(noisy_tree):
    result = run_python(FORK, noisy_tree)
    assert result.stdout.split() == ["True", "True"], result.stdout + result.stderr[-3000:]


def test_a_blocked_module_stops_the_import_as_plain_python_does():
    # None in sys.modules marks an import as blocked: `import pymysql` raises, it does not bind None.
    code = """
        import runpy, sys
        sys.modules["pymysql"] = None
        try:
            %s
        except ImportError as e:
            print(type(e).__name__, e)
    """
    module = run_python(code % "import nlsqlagent")
    plain = run_python(code % ("runpy.run_path(%r)" % REFERENCE))
    assert module.stdout == plain.stdout == "ModuleNotFoundError import of pymysql halted; None in sys.modules\n", (
        module.stdout, plain.stdout, module.stderr[-2000:])


# Legacy subinterpreters share the process with the main one; the module allows one interpreter per process.
# Blocking a dependency in sys.modules makes the import fail with any dependency tree (with the real one,
# pydantic_core refuses subinterpreters anyway).
INTERPRETERS = r"""
import sys, _testcapi

IMPORT = '''
import sys, traceback
%s
try:
    import nlsqlagent
    sys.first_spec = getattr(sys, 'first_spec', nlsqlagent.__spec__)
    try:
        nlsqlagent.DatabaseConnector('u').connect(1)
    except TypeError as e:
        print(%r, 'imported', e, traceback.extract_tb(e.__traceback__)[-1].name)
except (ImportError, AttributeError) as e:
    print(%r, 'failed:', e)
'''
PREPARE = {  # what stops the import
    None: "",
    "pymysql": "sys.modules['pymysql'] = None",
    "langchain.agents": "sys.modules['langchain.agents'] = None",
    # after the first class statement, at the second one's default
    "AgentType without its member": "import types\nsys.modules['langchain.agents.agent_types'] = "
                                    "types.SimpleNamespace(AgentType=type('AgentType', (), {}))",
}

def attempt(where, stop=None):
    if stop == "nothing run":  # the create step alone, as a lazy loader leaves a module not yet used
        code = ("import _imp, importlib.util\n"
                "module = _imp.create_dynamic(importlib.util.find_spec('nlsqlagent'))\n"
                "print(%r, 'made', type(module).__name__)\n" % where)
    else:
        code = IMPORT % (PREPARE[stop], where, where)
    if where == "main":
        exec(code, {})
        sys.modules.pop(stop, None)
    else:
        _testcapi.run_in_subinterp(code)
    sys.stdout.flush()

for step in STEPS:
    attempt(*step)
if "nlsqlagent" in sys.modules:  # a refused import does not touch the module that main holds
    print("main keeps its module", sys.modules["nlsqlagent"].__spec__ is sys.first_spec)
"""

CALLED = "connect() takes exactly 1 positional argument (2 given) nlsqlagent.DatabaseConnector.connect"
INTERPRETER_CASES = {
    "a subinterpreter fails, then main imports": (
        [("sub", "langchain.agents"), ("sub", "pymysql"), ("main",), ("sub",)],
        ["sub failed: import of langchain.agents halted; None in sys.modules",
         "sub failed: import of pymysql halted; None in sys.modules",
         "main imported " + CALLED,
         "sub failed: Interpreter change detected - this module can only be loaded into one interpreter per "
         "process.",
         "main keeps its module True"]),
    "a subinterpreter makes the module object only, then main imports": (
        [("sub", "nothing run"), ("main",)],
        ["sub made module", "main imported " + CALLED, "main keeps its module True"]),
    "a subinterpreter fails after making a class, then main imports": (
        [("sub", "AgentType without its member"), ("sub", "pymysql"), ("main",)],
        ["sub failed: type object 'AgentType' has no attribute 'ZERO_SHOT_REACT_DESCRIPTION'",
         "sub failed: import of pymysql halted; None in sys.modules",
         "main imported " + CALLED, "main keeps its module True"]),
    "main fails, then a subinterpreter imports": (
        [("main", "pymysql"), ("sub",), ("main",)],
        ["main failed: import of pymysql halted; None in sys.modules",
         "sub imported " + CALLED,
         "main failed: Interpreter change detected - this module can only be loaded into one interpreter per "
         "process."]),
}


@pytest.mark.parametrize("case", sorted(INTERPRETER_CASES))
def test_only_a_successful_import_keeps_other_interpreters_out(case):
    steps, expected = INTERPRETER_CASES[case]
    result = run_python(INTERPRETERS.replace("STEPS", repr(steps)), FAKESTACK)
    assert result.stdout.splitlines() == expected, result.stdout + result.stderr[-3000:]


# One file reached under two names (a folder on sys.path and the package above it): the second import gets
# the module that the first is still initialising, and waits until it is complete.
TWO_NAMES = """
import sys, threading

inside, release = threading.Event(), threading.Event()

def during_import():                     # holds the first import open until the second has started
    inside.set()
    release.wait(60)

sys.during_import = during_import
results = {}

def load(name):
    try:
        results[name] = hasattr(__import__(name, fromlist=["_"]), "AgentRunner")
    except ImportError as e:
        results[name] = repr(e)

first = threading.Thread(target=load, args=("nlsqlagent",))
first.start()
inside.wait(60)
second = threading.Thread(target=load, args=("pkg.nlsqlagent",))
second.start()
second.join(0.5)                         # time to reach the module; it must not come back incomplete
release.set()
first.join()
second.join()
print(results["nlsqlagent"], results["pkg.nlsqlagent"], sys.modules["nlsqlagent"] is sys.modules["pkg.nlsqlagent"])
"""


def test_a_second_name_waits_for_the_module_to_be_complete(noisy_tree, tmp_path):
    package_with_the_module(tmp_path)
    result = run_python(TWO_NAMES, noisy_tree, str(tmp_path), str(tmp_path / "pkg"))
    assert result.stdout.split() == ["True", "True", "True"], result.stdout + result.stderr[-3000:]
