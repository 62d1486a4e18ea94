"""bench.py's rows timed against several builds of tavrel.eal.dialogs, side by
side in one run.

Each build is named and given as a Python interpreter that imports it, or as
a directory holding a ``tavrel`` package (put first on ``sys.path`` of this
interpreter).  The builds take turns: every turn runs each of them once, in a
child process of its own, for a few rounds of every row; each row keeps the
best time a build reached over all turns.  The first build is the reference:
every other one is reported as the ratio of its time to the reference's
(below 1: faster).

    python benchmarks/compare.py plain=.venv-no-fast-paths/bin/python \\
        shortcuts=.venv/bin/python --turns 10
"""

import argparse
import json
import os
import subprocess
import sys
import time
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))


def child(rounds, seconds, only):
    sys.path.insert(0, HERE)
    import bench

    rows = [r for i, r in enumerate(bench.ROWS) if not only or i in only]
    # CPU time of this process: the machine may be shared, and time spent
    # waiting for a core is no cost of the build's.
    timers = [timeit.Timer(r.stmt, timer=time.process_time, globals=bench.NAMESPACE)
              for r in rows]
    loops = [bench.loop_size(t, seconds) for t in timers]
    best = [float("inf")] * len(rows)
    for _ in range(rounds):
        for i, (row, timer, n) in enumerate(zip(rows, timers, loops)):
            best[i] = min(best[i], timer.timeit(n) / n / row.per)
    json.dump({"labels": [r.label for r in rows], "best": best}, sys.stdout)


def run_build(where, rounds, seconds, only):
    env = dict(os.environ)
    if os.path.isdir(where):
        python = sys.executable
        env["PYTHONPATH"] = where
    else:
        python = where
        env.pop("PYTHONPATH", None)
    out = subprocess.run(
        [python, os.path.abspath(__file__), "--child",
         "--rounds", str(rounds), "--seconds", str(seconds),
         "--rows", ",".join(map(str, only))],
        env=env, check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("builds", nargs="*", metavar="NAME=PYTHON|DIR")
    parser.add_argument("--turns", type=int, default=8)
    parser.add_argument("--rounds", type=int, default=3,
                        help="rounds of every row in one child (default 3)")
    parser.add_argument("--seconds", type=float, default=0.01,
                        help="least duration of one timing (default 0.01)")
    parser.add_argument("--rows", default="",
                        help="only these rows of bench.py, by index from 0 (e.g. 0,2)")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    options = parser.parse_args(argv)
    only = {int(i) for i in options.rows.split(",") if i}
    if options.child:
        child(options.rounds, options.seconds, only)
        return 0
    if len(options.builds) < 2:
        parser.error("give at least two builds, NAME=PYTHON or NAME=DIR")
    builds = [b.split("=", 1) for b in options.builds]
    labels = None
    best = {name: None for name, _ in builds}
    for turn in range(options.turns):
        # Alternate the order too, so that no build always runs first.
        order = builds if turn % 2 == 0 else builds[::-1]
        for name, where in order:
            result = run_build(where, options.rounds, options.seconds, only)
            labels = result["labels"]
            times = result["best"]
            best[name] = times if best[name] is None else [
                min(a, b) for a, b in zip(best[name], times)]

    ref_name = builds[0][0]
    ref = best[ref_name]
    width = max(len(label) for label in labels)
    print("best of %d turns x %d rounds; ns per operation, and the ratio "
          "to %s" % (options.turns, options.rounds, ref_name))
    head = "%-*s %10s" % (width, "operation", ref_name)
    for name, _ in builds[1:]:
        head += " %10s %6s" % (name[:10], "ratio")
    print(head)
    print("-" * len(head))
    for i, label in enumerate(labels):
        line = "%-*s %10.1f" % (width, label, ref[i] * 1e9)
        for name, _ in builds[1:]:
            t = best[name][i]
            line += " %10.1f %6.3f" % (t * 1e9, t / ref[i])
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
