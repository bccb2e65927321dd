"""The build-against-runtime version check, with real interpreters and a build that records another version."""
import glob
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import nlsqlagent
from conftest import FAKESTACK, skip_for_installed_wheel, standin_path

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

IMPORT_AND_REPORT = textwrap.dedent("""
    import sys, warnings, traceback
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        import nlsqlagent
    for w in caught:
        if issubclass(w.category, RuntimeWarning):
            print("WARNING", w.category.__name__, w.message)
    print("IMPORTED", nlsqlagent.__file__)
""")


def run(python, code, *path, warn_option=None):
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    env["PYTHONPATH"] = os.pathsep.join(standin_path(*path))
    args = [python] + (["-W", warn_option] if warn_option else []) + ["-c", textwrap.dedent(code)]
    return subprocess.run(args, capture_output=True, text=True, env=env, timeout=300)


def other_micro_interpreter():
    """A CPython of our minor version whose micro version differs, or None."""
    ours = "%d.%d" % sys.version_info[:2]
    for candidate in ["/usr/bin/python" + ours] + glob.glob(os.path.expanduser("~/.pyenv/versions/%s.*/bin/python%s"
                                                                               % (ours, ours))):
        if not os.access(candidate, os.X_OK):
            continue
        out = subprocess.run([candidate, "-c", "import sys; print(repr((sys.version_info[:3], sys.abiflags)))"],
                             capture_output=True, text=True).stdout.strip()
        if out.startswith("(") and out != repr((sys.version_info[:3], sys.abiflags)) \
                and out.endswith(repr(sys.abiflags) + ")"):
            return candidate
    return None


def test_same_minor_other_micro_loads_without_warning(tmp_path):
    python = other_micro_interpreter()
    if python is None:
        pytest.skip("no interpreter of this minor version with another micro version here")
    built = shutil.copy(nlsqlagent.__file__, str(tmp_path))  # the build alone, without this venv's packages
    proc = run(python, IMPORT_AND_REPORT + "print(tuple(sys.version_info[:3]))", str(tmp_path), FAKESTACK)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert not [line for line in lines if line.startswith("WARNING")], proc.stdout
    assert lines[-2] == "IMPORTED " + built and lines[-1] != str(tuple(sys.version_info[:3]))


@pytest.fixture(scope="module")
def mismatched_build():
    """A build of this tree that records another minor version than the interpreter it is built for."""
    skip_for_installed_wheel()
    minor = sys.version_info[1] - 1 if sys.version_info[1] > 7 else 8
    recorded = "0x03%02X" % minor
    build = os.path.join(ROOT, "build", "version-check-py%d%d" % sys.version_info[:2])
    configure = ["cmake", "-S", ROOT, "-B", build, "-DPython_EXECUTABLE=" + sys.executable,
                 "-DNLSA_TEST_BUILD_VERSION=" + recorded, "-DCMAKE_BUILD_TYPE=Debug"]
    for step in (configure, ["cmake", "--build", build]):
        proc = subprocess.run(step, capture_output=True, text=True)
        assert proc.returncode == 0, proc.stdout + proc.stderr
    return build, "3.%d" % minor


def test_other_minor_warns_with_both_versions(mismatched_build):
    build, recorded = mismatched_build
    runtime = "%d.%d" % sys.version_info[:2]
    proc = run(sys.executable, IMPORT_AND_REPORT, build, FAKESTACK)
    assert proc.returncode == 0, proc.stderr
    warnings = [line for line in proc.stdout.splitlines() if line.startswith("WARNING")]
    assert warnings == ["WARNING RuntimeWarning compile time Python version %s of module 'nlsqlagent' does not "
                        "match runtime version %s" % (recorded, runtime)]
    assert proc.stdout.splitlines()[-1].startswith("IMPORTED " + build)


def test_other_minor_with_warnings_as_errors_fails_the_import(mismatched_build):
    build, recorded = mismatched_build
    code = """
        import sys, traceback
        try:
            import nlsqlagent
        except RuntimeWarning as exc:
            print("FAILED", exc)
            print("ENTRIES", [t.name for t in traceback.extract_tb(exc.__traceback__)])
            print("MODULE", "nlsqlagent" in sys.modules)
    """
    proc = run(sys.executable, code, build, FAKESTACK, warn_option="error::RuntimeWarning")
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout.splitlines()
    assert out[0] == ("FAILED compile time Python version %s of module 'nlsqlagent' does not match runtime "
                      "version %d.%d" % ((recorded,) + sys.version_info[:2]))
    assert "init nlsqlagent" not in out[1]
    assert out[2] == "MODULE False"
