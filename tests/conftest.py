"""Shared fixtures: the module under test, its test doubles, and subprocess helpers."""
import os
import subprocess
import sys
import textwrap

import pytest

import importlib.util  # noqa: E402
import re  # noqa: E402
import tempfile  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
FAKESTACK = os.path.join(HERE, "fakestack")
SOURCE = os.path.join(ROOT, "reference", "base.py")
STATEMENTS = os.path.join(ROOT, "src", "nlsqlagent", "base", "statements.inc")


def statement_homes():
    """{line: (module in the 0.3 line, module in the 1.x line)} of the import statements, read from the one
    table that names both."""
    pattern = re.compile(r'^NLSA_IMPORT\((\d+),\s*\w+,\s*"([^"]+)",\s*"([^"]+)"')
    with open(STATEMENTS) as f:
        return {int(m.group(1)): (m.group(2), m.group(3)) for m in map(pattern.match, f) if m}


def source_for_line(line_1x):
    """reference/base.py as the installed LangChain line runs it: on the 1.x line, each import statement names
    the 1.x home of its module, on the same line; nothing else changes."""
    with open(SOURCE) as f:
        lines = f.read().split("\n")
    if line_1x:
        for number, (old, new) in statement_homes().items():
            text = lines[number - 1]
            edited = re.sub(r"^(from|import) %s(?= )" % re.escape(old), r"\g<1> " + new, text)
            assert edited != text or old == new, (number, text)
            lines[number - 1] = edited
    return "\n".join(lines)


# The LangChain line installed: the 1.x line when langchain_classic is there (as the module decides).
LANGCHAIN_1X = importlib.util.find_spec("langchain_classic") is not None
try:  # the real dependency stack where it installs; the stand-in tree elsewhere (3.7, 3.8)
    importlib.import_module("langchain_classic.agents" if LANGCHAIN_1X else "langchain.agents")
    REAL_STACK = True
except ImportError:
    REAL_STACK = False
    sys.path.insert(0, FAKESTACK)

def home(line):
    """The module that import statement `line` imports on the installed LangChain line."""
    return statement_homes()[line][1 if LANGCHAIN_1X else 0]


# The reference source that the tests hold the module to: reference/base.py itself on the 0.3 line, a copy
# with the 1.x homes (same lines, same helpers) on the 1.x line.
if LANGCHAIN_1X:
    REFERENCE = os.path.join(tempfile.mkdtemp(prefix="nlsqlagent-reference-"), "base.py")
    with open(REFERENCE, "w") as f:
        f.write(source_for_line(True))
else:
    REFERENCE = SOURCE

import warnings  # noqa: E402

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

needs_real_stack = pytest.mark.skipif(not REAL_STACK, reason="LangChain does not install on this interpreter")


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


STANDIN_SITE = os.path.join(HERE, "standin_site")


def standin_path(*path):
    """`path` for a child's PYTHONPATH; where it holds a stand-in tree (the 0.3 layout) and the 1.x line is
    installed, first a site hook that hides langchain_classic, which the module would prefer to the tree."""
    standin = any(os.path.isdir(os.path.join(p, "langchain")) and
                  not os.path.isdir(os.path.join(p, "langchain_classic")) for p in path)
    return ([STANDIN_SITE] if standin and LANGCHAIN_1X else []) + list(path)


def run_python(code, *path, env_extra=None):
    """Runs `code` in a fresh interpreter with `path` in front of sys.path; returns the completed process."""
    env = dict(os.environ)
    env["PYTHONWARNINGS"] = "ignore"
    env["PYTHONPATH"] = os.pathsep.join(standin_path(*path) + [p for p in sys.path if p])
    env.update(env_extra or {})
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, env=env,
                          timeout=120)
