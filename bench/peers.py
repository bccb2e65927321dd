"""Instructions per call of the module beside its compiled peers: reference/base.py compiled as it is by Cython
(`cythonize -i`), mypyc and Nuitka (`--module`), each into a folder of its own holding a module named
`nlsqlagent`, counted with bench/instructions.py's operations, doubles and fixed hash seed, beside the module
built from this tree and the plain-Python reference source. One table per interpreter.

    python bench/peers.py [VERSION ...] [--calls N] [--jobs J]      # default: 3.11 3.7

For each VERSION: the project's `.venv/pyXY` (the pinned stack and the module built from the tree, as
./run-tests makes it); the compilers in `.venv/peers-pyXY` at the versions of `constraints/peers-pyXY.txt`; the
peers built into `build/peers/pyXY/{cython,mypyc,nuitka}` (again only when the source, the pins or this script
change); then five counting processes (module, the three peers, plain), J at a time. Runs at nice 15.
"""
import argparse
import concurrent.futures
import glob
import hashlib
import inspect
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import instructions  # noqa: E402

ROOT = instructions.ROOT
SOURCE = os.path.join(ROOT, "reference", "base.py")
PEERS = ["Cython", "mypyc", "Nuitka"]
# The peer that, like the module, adds the traceback entry for `__init__` when the argument count is wrong
# (mypyc and Nuitka add none); on that row the module is compared with it alone.
TRACEBACK_PEER = "Cython"


def log(text):
    print(text, file=sys.stderr, flush=True)


def run(command, cwd=None, env=None, what=None):
    """Runs `command`; on failure prints its output and stops."""
    proc = subprocess.run(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, universal_newlines=True)
    if proc.returncode != 0:
        sys.exit("%s failed (exit %d):\n%s" % (what or " ".join(command), proc.returncode, proc.stdout[-6000:]))
    return proc.stdout


def common(function, version):
    """A function of scripts/common.sh (find_python, ensure_venv) for `version`; its standard output."""
    return run(["bash", "-c", 'source "$1/scripts/common.sh" && %s "$2"' % function, "bash", ROOT, version],
               what="%s %s" % (function, version)).strip()


def peers_venv(version, tag):
    """.venv/peers-pyXY with the compilers at the pinned versions (installed again when the pins change)."""
    venv = os.path.join(ROOT, ".venv", "peers-py" + tag)
    python = os.path.join(venv, "bin", "python")
    pins = os.path.join(ROOT, "constraints", "peers-py%s.txt" % tag)
    stamp = os.path.join(venv, ".installed-constraints")
    if not os.path.exists(python):
        log("== %s: making %s" % (version, os.path.relpath(venv, ROOT)))
        run([common("find_python", version), "-m", "venv", venv])
        run([python, "-m", "pip", "install", "-q", "--upgrade", "pip<24.1"])
    with open(pins) as f:
        wanted = f.read()
    if not os.path.exists(stamp) or open(stamp).read() != wanted:
        log("== %s: installing the compilers (%s)" % (version, os.path.relpath(pins, ROOT)))
        run([python, "-m", "pip", "install", "-q", "-r", pins])
        with open(stamp, "w") as f:
            f.write(wanted)
    return venv


def installed_versions(venv):
    """{name: version} of the compilers as installed in `venv` (read from it, not from the pins)."""
    listed = run([os.path.join(venv, "bin", "python"), "-m", "pip", "list", "--format=freeze"])
    found = dict(line.split("==", 1) for line in listed.split() if "==" in line)
    lower = {name.lower(): version for name, version in found.items()}
    return {"Cython": lower["cython"], "mypy": lower["mypy"], "Nuitka": lower["nuitka"]}


def mypyc_source(text):
    """The source as mypyc accepts it: the one untyped empty-dict global annotated; nothing else changes."""
    old, new = "\n__test__ = {}\n", "\n__test__: dict = {}\n"
    if text.count(old) != 1:
        sys.exit("reference/base.py no longer has exactly one line `__test__ = {}`; adapt mypyc_source")
    return text.replace(old, new)


def build_commands(venv, mypy_version):
    bin_ = os.path.join(venv, "bin")
    mypyc = [os.path.join(bin_, "mypyc"), "--ignore-missing-imports", "nlsqlagent.py"]
    if mypy_version.startswith("1."):
        # mypy 1.4 still reports `import pymysql` ("library stubs not installed") under --ignore-missing-imports.
        mypyc[1:1] = ["--disable-error-code", "import"]
    return {
        "Cython": [os.path.join(bin_, "cythonize"), "-i", "-q", "nlsqlagent.py"],
        "mypyc": mypyc,
        "Nuitka": [os.path.join(bin_, "python"), "-m", "nuitka", "--module", "nlsqlagent.py", "--output-dir=.",
                   "--remove-output"],
    }


def build_peers(version, tag, venv, mypy_version):
    """Builds the three peers into build/peers/pyXY/<peer>/, each folder holding only the compiled module;
    skipped when the source, the pins, the interpreter and the build steps are what the last build had."""
    out = os.path.join(ROOT, "build", "peers", "py" + tag)
    with open(SOURCE) as f:
        source = f.read()
    key = hashlib.sha1()
    for path in (SOURCE, os.path.join(ROOT, "constraints", "peers-py%s.txt" % tag)):
        with open(path, "rb") as f:
            key.update(f.read())
    for function in (mypyc_source, build_commands, build_peers):
        key.update(inspect.getsource(function).encode())
    key.update(run([os.path.join(venv, "bin", "python"), "-c", "import sys; print(sys.version)"]).encode())
    stamp = os.path.join(out, ".stamp")
    folders = {peer: os.path.join(out, peer.lower()) for peer in PEERS}
    if os.path.exists(stamp) and open(stamp).read() == key.hexdigest():
        return folders
    shutil.rmtree(out, ignore_errors=True)
    for peer, command in build_commands(venv, mypy_version).items():
        log("== %s: building the %s peer" % (version, peer))
        work = os.path.join(out, "work-" + peer.lower())
        os.makedirs(work)
        with open(os.path.join(work, "nlsqlagent.py"), "w") as f:
            f.write(mypyc_source(source) if peer == "mypyc" else source)
        started = time.time()
        run(command, cwd=work, env=dict(os.environ, PYTHONHASHSEED="0"), what="building the %s peer" % peer)
        built = glob.glob(os.path.join(work, "*.so"))
        if not built:
            sys.exit("the %s build left no shared library in %s" % (peer, work))
        os.makedirs(folders[peer])
        for path in built:
            shutil.copy2(path, folders[peer])
        log("   %.0f s" % (time.time() - started))
    with open(stamp, "w") as f:
        f.write(key.hexdigest())
    return folders


def origin(python, path):
    """Where `import nlsqlagent` finds the module on `python`, with `path` first on sys.path when given, and the
    type of its `DatabaseConnector.connect` ("function" where it is plain Python); None if the import fails."""
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    if path:
        env["PYTHONPATH"] = path
    code = ("import os, sys, warnings\n"
            "try:\n    import langchain\nexcept ImportError:\n"
            "    sys.path.insert(0, os.path.join(%r, 'tests', 'fakestack'))\n"
            "warnings.simplefilter('ignore')\nimport nlsqlagent\n"
            "print(nlsqlagent.__spec__.origin, type(nlsqlagent.DatabaseConnector.connect).__name__)" % ROOT)
    proc = subprocess.run([python, "-c", code], env=env, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True)
    return proc.stdout.split() if proc.returncode == 0 else None


def best_peer(name, row):
    if name == "wrong count":
        return TRACEBACK_PEER
    return min(PEERS, key=lambda peer: row[peer])


def measure(version, calls, jobs):
    tag = version.replace(".", "")
    log("== %s: the project's .venv/py%s and the module built from the tree" % (version, tag))
    common("ensure_venv", version)
    python = os.path.join(ROOT, ".venv", "py" + tag, "bin", "python")
    venv = peers_venv(version, tag)
    versions = installed_versions(venv)
    folders = build_peers(version, tag, venv, versions["mypy"])
    for peer, folder in folders.items():
        found = origin(python, folder)
        if not found or os.path.dirname(found[0]) != folder or found[1] == "function":
            sys.exit("the compiled %s peer is not what `import nlsqlagent` finds: %s" % (peer, found))
    module = origin(python, None)
    if not module or not module[0].startswith(os.path.dirname(os.path.dirname(python))) or module[1] == "function":
        sys.exit("the module built from the tree is not what `import nlsqlagent` finds: %s" % module)
    real = subprocess.run([python, "-c", "import langchain"], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0
    interpreter = run([python, "-c", "import platform; print(platform.python_version())"]).strip()

    sides = [("module", "native", None)] + [(peer, "native", folders[peer]) for peer in PEERS] + [
        ("plain", "plain", None)]
    log("== %s: counting %s (%d calls each, %d at a time)" % (version, ", ".join(s[0] for s in sides), calls, jobs))
    started = time.time()
    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        futures = {label: pool.submit(instructions.per_call_each, calls, side, path, python=python)
                   for label, side, path in sides}
        counts = {label: future.result() for label, future in futures.items()}
    log("   %.0f s" % (time.time() - started))

    stack = "real stack" if real else "stand-in tree (tests/fakestack)"
    venv_name = os.path.relpath(os.path.dirname(os.path.dirname(python)), ROOT)
    lines = ["CPython %s, %s: instructions per call (%d calls); the module from %s; Cython %s, mypyc from mypy %s, "
             "Nuitka %s" % (interpreter, stack, calls, venv_name, versions["Cython"], versions["mypy"],
                            versions["Nuitka"]),
             "",
             "| operation | module | Cython | mypyc | Nuitka | plain | module / best peer |",
             "|---|--:|--:|--:|--:|--:|--:|"]
    above = []
    for name in instructions.OPERATION_NAMES:
        row = {label: counts[label][name] for label, _, _ in sides}
        best = best_peer(name, row)
        ratio = row["module"] / row[best]
        if ratio > 1:
            above.append(name)
        cells = [("**%d**" if label == best else "%d") % round(row[label])
                 for label in ["module"] + PEERS + ["plain"]]
        lines.append("| %s | %s | %.3f%s |" % (name, " | ".join(cells), ratio, " above" if ratio > 1 else ""))
    lines += ["", "Best peer in bold (on `wrong count`: %s, the peer that keeps the traceback entry). "
              "Module above the best peer on %d of %d rows%s." % (
                  TRACEBACK_PEER, len(above), len(instructions.OPERATION_NAMES),
                  ": " + ", ".join(above) if above else "")]
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("versions", nargs="*", default=["3.11", "3.7"], metavar="VERSION")
    parser.add_argument("--calls", type=int, default=5000)
    parser.add_argument("--jobs", type=int, default=1, help="counting processes at once (default 1)")
    args = parser.parse_args()
    if not shutil.which("valgrind"):
        sys.exit("needs valgrind (apt-get install valgrind)")
    os.nice(15)
    started = time.time()
    instructions.toggle_library()
    for version in args.versions:
        print(measure(version, args.calls, args.jobs), flush=True)
        print(flush=True)
    log("== done in %.1f min" % ((time.time() - started) / 60))
    return 0


if __name__ == "__main__":
    sys.exit(main())
