"""Leaks, failing allocations and failed imports, driven by tests/sweep.py in separate processes.

The reference-count checks need a debug interpreter (Debian's python3.11-dbg) and a build of the module for
it, which this file makes. NLSA_REQUIRE_DEBUG lists the versions (e.g. "3.11") on which a missing debug
interpreter is a failure rather than a skip.
"""
import os
import subprocess
import sys

import pytest

from conftest import skip_for_installed_wheel

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SWEEP = os.path.join(HERE, "sweep.py")
DEBUG_PYTHON = "/usr/bin/python%d.%d-dbg" % sys.version_info[:2]


def sweep(python, *args, path=None, timeout=900):
    env = dict(os.environ)
    if path:
        env["PYTHONPATH"] = path
    proc = subprocess.run([python, SWEEP] + list(args) + ["--fakestack"], capture_output=True, text=True,
                          env=env, timeout=timeout)
    print(proc.stdout[-3000:])
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-3000:]
    return proc.stdout


@pytest.fixture(scope="session")
def debug_build():
    skip_for_installed_wheel()
    if not os.access(DEBUG_PYTHON, os.X_OK):
        if "%d.%d" % sys.version_info[:2] in os.environ.get("NLSA_REQUIRE_DEBUG", "").split():
            pytest.fail("%s is required (NLSA_REQUIRE_DEBUG) but missing" % DEBUG_PYTHON)
        pytest.skip("no debug interpreter %s here" % DEBUG_PYTHON)
    internals = os.environ.get("NLSA_CPYTHON_INTERNALS", "ON")
    suffix = "" if internals == "ON" else "-public"
    build = os.path.join(ROOT, "build", "debug-py%d%d%s" % (sys.version_info[:2] + (suffix,)))
    for step in (["cmake", "-S", ROOT, "-B", build, "-DPython_EXECUTABLE=" + DEBUG_PYTHON, "-DCMAKE_BUILD_TYPE=Debug",
                  "-DNLSA_WERROR=ON", "-DNLSA_CPYTHON_INTERNALS=" + internals], ["cmake", "--build", build, "-j2"]):
        proc = subprocess.run(step, capture_output=True, text=True)
        assert proc.returncode == 0, proc.stdout + proc.stderr
    return build


def test_no_reference_leak_on_any_path(debug_build):
    out = sweep(DEBUG_PYTHON, "leaks", "--calls", "8000", path=debug_build)
    assert out.startswith("sys.gettotalrefcount()") and "LEAK" not in out


def test_failing_allocations_on_every_path(debug_build):
    out = sweep(DEBUG_PYTHON, "nomemory", path=debug_build)
    assert "MemoryError" in out and "second sweep" in out


def test_failing_allocations_during_import(debug_build):
    # every index (NLSA_IMPORT_SWEEP_EVERY=K samples every K-th)
    out = sweep(DEBUG_PYTHON, "imports", "--every", os.environ.get("NLSA_IMPORT_SWEEP_EVERY", "1"),
                path=debug_build)
    assert "MemoryError x" in out


def test_failed_imports_leave_nothing_behind(debug_build):
    out = sweep(DEBUG_PYTHON, "import-leaks", "--calls", "600", path=debug_build)
    assert "LEAK" not in out


def test_failing_allocations_release_build():
    out = sweep(sys.executable, "nomemory")
    assert "MemoryError" in out


def test_no_memory_growth_release_build():
    out = sweep(sys.executable, "leaks", "--calls", "20000")
    assert out.startswith("tracemalloc") and "LEAK" not in out


def test_threads_share_instances_debug_build(debug_build):
    out = sweep(DEBUG_PYTHON, "threads", "--seconds", os.environ.get("NLSA_THREAD_SECONDS", "2"), path=debug_build)
    assert "run 2:" in out


def test_threads_share_instances_release_build():
    out = sweep(sys.executable, "threads", "--seconds", os.environ.get("NLSA_THREAD_SECONDS", "2"))
    assert "run 2:" in out
