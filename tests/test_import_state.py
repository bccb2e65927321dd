"""The import leaves no process-wide state behind: not in sys.modules after a failure, not in the warnings
machinery, whatever other threads do with it meanwhile. Each scenario runs in a fresh interpreter, once with the
module and once with the reference source, on a stand-in tree whose LangChain emits a deprecation note while
the module's statements import it; what the process shows after the import must be the same."""
import pytest

from conftest import FAKESTACK, REFERENCE, package_with_the_module, run_python

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
         "another thread warns during the import", "showwarning deleted"]


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
                    "warnings.warn('deprecated import path', LangChainDeprecationWarning)\n" + path.read_text())
    return str(root)


def scenario(mode, target, tree):
    # the tree goes first, ahead of any installed LangChain
    result = run_python(SCENARIO % (mode, target, REFERENCE), tree, env_extra={"PYTHONWARNINGS": "always"})
    assert result.returncode == 0, result.stderr[-3000:]
    during, _, after = result.stderr.partition("---- after the import\n")
    return during, result.stdout, after


@pytest.mark.parametrize("mode", MODES)
def test_the_import_leaves_the_warnings_machinery_as_plain_python_does(noisy_tree, mode):
    during, state, after = scenario(mode, "module", noisy_tree)
    plain_during, plain_state, plain_after = scenario(mode, "reference", noisy_tree)
    assert (state, after) == (plain_state, plain_after)
    assert state.endswith(" True True\n") and after.count("LangChainDeprecationWarning: a later LangChain note") == 1
    assert "deprecated import path" in plain_during and "deprecated import path" not in during
    if mode == "another thread warns during the import":  # only the importing thread is quieted
        assert "from another thread" in during and "from another thread" in plain_during


def test_failed_import_under_another_name_leaves_nothing(tmp_path):
    package_with_the_module(tmp_path)
    result = run_python("""
        import sys
        sys.modules["langchain.agents"] = None
        try:
            import pkg.nlsqlagent
        except ImportError:
            print("failed", "nlsqlagent" in sys.modules)
        del sys.modules["langchain.agents"]
        import nlsqlagent
        print(hasattr(nlsqlagent, "DatabaseConnector"))
    """, str(tmp_path))
    assert result.stdout.split() == ["failed", "False", "True"], result.stderr[-3000:]
