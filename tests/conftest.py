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


def load_reference():
    """reference/base.py, the plain-Python source that the module reproduces, as a module of its own."""
    spec = importlib.util.spec_from_file_location("nlsqlagent_reference", REFERENCE)
    module = importlib.util.module_from_spec(spec)
    with warnings.catch_warnings():  # LangChain's notes on the deprecated import paths the source uses
        warnings.simplefilter("ignore")
        spec.loader.exec_module(module)
    return module


reference = load_reference()
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


class FakeSQLDatabase:
    """A from_uri that records each URI and returns a new object, or raises what it is told to."""

    def __init__(self):
        self.uris = []
        self.raise_next = None

    def from_uri(self, uri):
        self.uris.append(uri)
        if self.raise_next is not None:
            exc, self.raise_next = self.raise_next, None
            raise exc
        return object()


class Agent:
    def __init__(self, answer=None):
        self.answer = answer if answer is not None else object()
        self.calls = []

    def run(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.answer


class FakeCreateSqlAgent:
    def __init__(self):
        self.calls = []
        self.result = Agent()
        self.raise_next = None

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.raise_next is not None:
            raise self.raise_next
        return self.result


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


def run_python(code, *path, env_extra=None):
    """Runs `code` in a fresh interpreter with `path` in front of sys.path; returns the completed process."""
    env = dict(os.environ)
    env["PYTHONWARNINGS"] = "ignore"
    env["PYTHONPATH"] = os.pathsep.join(list(path) + [p for p in sys.path if p])
    env.update(env_extra or {})
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, env=env,
                          timeout=120)
