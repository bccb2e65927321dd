"""Shared fixtures: the module under test, its test doubles, and subprocess helpers."""
import os
import subprocess
import sys
import textwrap

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
FAKESTACK = os.path.join(HERE, "fakestack")
REFERENCE = os.path.join(ROOT, "reference", "base.py")

try:  # the real dependency stack where it installs; the stand-in tree elsewhere (3.7, 3.8)
    import langchain.agents  # noqa: F401

    REAL_STACK = True
except ImportError:
    REAL_STACK = False
    sys.path.insert(0, FAKESTACK)

import warnings  # noqa: E402

import importlib.util  # noqa: E402

import nlsqlagent  # noqa: E402

# scripts/check-wheels runs the suite against a wheel installed in a virtual environment, and names the folder
# that the module must come from: a copy in a build folder or the source tree would make the run prove nothing.
INSTALLED_IN = os.environ.get("NLSA_TEST_INSTALLED_IN")
if INSTALLED_IN and os.path.dirname(os.path.realpath(nlsqlagent.__file__)) != os.path.realpath(INSTALLED_IN):
    pytest.exit("nlsqlagent was imported from %s, not from %s" % (nlsqlagent.__file__, INSTALLED_IN), returncode=3)


def skip_for_installed_wheel():
    """For tests that build a module of their own from the source tree, which says nothing of an installed
    wheel (and needs a compiler and CMake)."""
    if INSTALLED_IN:
        pytest.skip("builds its own module from the source tree; this run tests an installed wheel")


def load_reference():
    """reference/base.py, the plain-Python source that the module reproduces, as a module of its own."""
    spec = importlib.util.spec_from_file_location("nlsqlagent_reference", REFERENCE)
    module = importlib.util.module_from_spec(spec)
    with warnings.catch_warnings():  # LangChain's notes on the deprecated import paths the source uses
        warnings.simplefilter("ignore")
        spec.loader.exec_module(module)
    return module


reference = load_reference()


def load_demo(name):
    """A module of demo/ (the offline stand-in model, say), without putting demo/ on sys.path."""
    module = sys.modules.get("nlsqlagent_demo_" + name)
    if module is None:
        path = os.path.join(ROOT, "demo", name + ".py")
        spec = importlib.util.spec_from_file_location("nlsqlagent_demo_" + name, path)
        module = importlib.util.module_from_spec(spec)
        sys.modules[spec.name] = module
        spec.loader.exec_module(module)
    return module
_REFERENCE_LINES = open(REFERENCE).read().splitlines()


def line_of(text, after=None):
    """The line of reference/base.py that holds `text` (the first one after the line holding `after`): the
    line that the module's traceback entries name for that statement."""
    start = 0
    if after is not None:
        start = next(i for i, line in enumerate(_REFERENCE_LINES) if after in line) + 1
    return next(i + 1 for i in range(start, len(_REFERENCE_LINES)) if text in _REFERENCE_LINES[i])

needs_real_stack = pytest.mark.skipif(not REAL_STACK, reason="LangChain 0.3 does not install on this interpreter")


@pytest.fixture
def nl():
    return nlsqlagent


from mysql_fixtures import sandbox  # noqa: E402,F401  (the fixture, for every test file)
from doubles import RecordingAgent as Agent  # noqa: E402,F401  (for the test files)
from doubles import RecordingCreateSqlAgent as FakeCreateSqlAgent  # noqa: E402
from doubles import RecordingSQLDatabase as FakeSQLDatabase  # noqa: E402


@pytest.fixture
def sqldb(monkeypatch):
    fake = FakeSQLDatabase()
    monkeypatch.setattr(nlsqlagent, "SQLDatabase", fake)
    return fake


@pytest.fixture
def create_agent(monkeypatch):
    fake = FakeCreateSqlAgent()
    monkeypatch.setattr(nlsqlagent, "create_sql_agent", fake)
    return fake


def package_with_the_module(folder):
    """folder/pkg, a package holding a copy of the built module, to import it as pkg.nlsqlagent."""
    import shutil
    pkg = folder / "pkg"
    pkg.mkdir()
    (pkg / "__init__.py").write_text("")
    shutil.copy(nlsqlagent.__file__, pkg / os.path.basename(nlsqlagent.__file__))


def crash_free(code, *path):
    """Runs `code` in a fresh interpreter (see run_python) and returns its output; a crash fails the test."""
    result = run_python(code, *path)
    assert result.returncode == 0, (result.returncode, result.stdout[-2000:], result.stderr[-3000:])
    return result.stdout


def run_python(code, *path, env_extra=None):
    """Runs `code` in a fresh interpreter with `path` in front of sys.path; returns the completed process."""
    env = dict(os.environ)
    env["PYTHONWARNINGS"] = "ignore"
    env["PYTHONPATH"] = os.pathsep.join(list(path) + [p for p in sys.path if p])
    env.update(env_extra or {})
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, env=env,
                          timeout=120)
