"""Loading after others: the module is loaded with dlopen, so it must not need the static TLS that glibc keeps
spare at start-up, which native libraries loaded before it (OpenMP runtimes, allocators) may use up."""
import os
import shutil
import subprocess
import sys

import pytest

import nlsqlagent
from conftest import FAKESTACK, run_python

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="glibc's static TLS")


def test_the_module_asks_for_no_static_tls():
    readelf = shutil.which("readelf")
    if readelf is None:
        pytest.skip("no readelf")
    dynamic = subprocess.run([readelf, "-d", nlsqlagent.__file__], capture_output=True, text=True, check=True)
    assert "STATIC_TLS" not in dynamic.stdout


# Libraries with an initial-exec TLS block of 2 KiB down to 16 bytes, loaded largest first where each still
# fits: afterwards less than 16 bytes of the spare static TLS are left. Then the module is imported.
FILL_THEN_IMPORT = """
import ctypes, sys
loaded = []
for path in LIBRARIES:
    try:
        ctypes.CDLL(path)
        loaded.append(path)
    except OSError as e:
        assert "static TLS" in str(e), e
assert loaded, "no library took static TLS"
try:
    ctypes.CDLL(LIBRARIES[-1])   # the smallest block, once more under another name: it no longer fits
    print("room left")
except OSError:
    pass
import nlsqlagent
print(nlsqlagent.DatabaseConnector("u").db_user)
"""


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="a preloaded sanitizer runtime takes static TLS and intercepts dlopen itself")
def test_import_after_libraries_that_use_up_static_tls(tmp_path):
    compiler = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler to build the libraries")
    libraries = []
    for size in (2048, 1024, 512, 256, 128, 64, 32, 16):
        source = tmp_path / ("tls%d.c" % size)
        source.write_text("static __thread char block[%d] __attribute__((tls_model(\"initial-exec\")));\n"
                          "char *tls_block(void) { return block; }\n" % size)
        library = tmp_path / ("libtls%d.so" % size)
        subprocess.run([compiler, "-shared", "-fPIC", "-O1", str(source), "-o", str(library)], check=True)
        libraries.append(str(library))
    shutil.copy(libraries[-1], str(tmp_path / "libtls16-again.so"))
    libraries_repr = repr(libraries)
    code = FILL_THEN_IMPORT.replace("LIBRARIES[-1]", repr(str(tmp_path / "libtls16-again.so")))
    result = run_python(code.replace("LIBRARIES", libraries_repr), os.path.dirname(nlsqlagent.__file__), FAKESTACK)
    assert (result.returncode, result.stdout) == (0, "u\n"), result.stderr[-2000:]
