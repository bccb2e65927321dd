"""Instruction counts per call of two builds of the module, side by side, with callgrind.

    python scripts/instructions_table.py [--calls N] [--limit 1.03] LABEL=WHEEL_OR_DIR LABEL=WHEEL_OR_DIR

Runs bench/instructions.py under `valgrind --tool=callgrind` with the interpreter that runs this script, once
with no calls and once with N calls of each operation, for each build (a wheel, or a folder holding the
module); the count per call is the difference divided by N. Prints one row per operation: the count of each
build and the second over the first. Exits with 1 when a row's ratio is above --limit.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BENCH = os.path.join(ROOT, "bench", "instructions.py")


def operations():
    source = open(BENCH).read()
    block = source[source.index("OPERATIONS = {"):]
    block = block[:block.index("\n}")]
    return re.findall(r'^\s+"([^"]+)":', block, re.M)


def collected(folder, operation, calls):
    env = dict(os.environ, PYTHONPATH=folder, PYTHONHASHSEED="0")
    proc = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable, BENCH,
                           operation, str(calls)], capture_output=True, text=True, env=env)
    found = re.search(r"Collected : (\d+)", proc.stderr)
    if proc.returncode != 0 or not found:
        sys.exit("callgrind failed for %s %s:\n%s" % (operation, calls, proc.stderr[-2000:]))
    return int(found.group(1))


def module_folder(path, scratch):
    if os.path.isdir(path):
        return path
    folder = tempfile.mkdtemp(dir=scratch)
    with zipfile.ZipFile(path) as wheel:
        wheel.extractall(folder)
    return folder


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=5000)
    parser.add_argument("--limit", type=float, default=1.03)
    parser.add_argument("builds", nargs=2, metavar="LABEL=PATH")
    args = parser.parse_args()
    labels, paths = zip(*(b.split("=", 1) for b in args.builds))
    with tempfile.TemporaryDirectory() as scratch:
        folders = [module_folder(p, scratch) for p in paths]
        ops = operations()
        base = [collected(f, ops[0], 0) for f in folders]
        print("CPython %d.%d.%d, instructions per call (%d calls)" % (sys.version_info[:3] + (args.calls,)))
        print("%-18s %10s %10s %7s" % ("operation", labels[0], labels[1], "ratio"))
        worst = 0.0
        for op in ops:
            per_call = [(collected(f, op, args.calls) - b) / args.calls for f, b in zip(folders, base)]
            ratio = per_call[1] / per_call[0]
            worst = max(worst, ratio)
            flag = "  ABOVE %.2f" % args.limit if ratio > args.limit else ""
            print("%-18s %10.0f %10.0f %7.3f%s" % (op, per_call[0], per_call[1], ratio, flag), flush=True)
    return 1 if worst > args.limit else 0


if __name__ == "__main__":
    sys.exit(main())
