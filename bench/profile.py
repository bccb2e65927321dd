"""Runs one benchmark operation many times, for a profiler to count:

    valgrind --tool=callgrind python bench/profile.py native "run(q) with agent" 20000
"""
import os
import sys
import timeit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run as bench  # noqa: E402


def main():
    side, name, calls = sys.argv[1], sys.argv[2], int(sys.argv[3]) if len(sys.argv) > 3 else 20000
    op = next(op for op in bench.OPERATIONS if op[0] == name)
    ns = bench.namespace(bench.MODULES[side])
    bench.bind(op[3])
    sys.stdout = open(os.devnull, "w")
    timeit.Timer(op[1], globals=ns).timeit(calls)


if __name__ == "__main__":
    main()
