"""The dialog engine against a program on a pty, timed side by side.

A talker (tests/support/talker.py) writes N MB of 64-byte lines and then a
prompt; each row reads all of it and stops at the prompt:

    raw        read_nonblocking(64 KiB) until the prompt has arrived
    one        a dialog of one statement, the prompt
    twenty     19 statements that never match, then the prompt
    paging     --More-- every 24 lines answered with a space, as a dialog
               and as a hand-written pexpect expect() loop
    rule-less  a pattern whose starts no bound covers, (?:Q|\n)+SW-1#, behind
               N lines: with its search skipped while no new output can end
               a match, and searched whole on every read (the tail rule
               off, as the engine did before it)
    login      5 prompts answered, many times over
    before     with --base PYTHON (make bench-processor BASE=<revision>
               builds that revision into a venv of its own): the one- and
               twenty-statement rows and the login row run by this build and
               by that one, each in a process of its own, in turns
    sessions   N concurrent 5-prompt logins (pty sessions served by one
               talker), from one asyncio loop (process_async) and from one
               thread per session: wall and CPU time, and for the loop its
               worst stall (the largest lateness of a 10 ms ticker)

pexpect's delaybeforesend is off everywhere (its 50 ms pause is pexpect's,
not the engine's).  Rows of one size run in turns, in rounds, and each
reports its best round; ratios are taken within one run.  The growth
exponent of a row is log(t_large / t_small) / log(large / small): 1 is
linear, 2 quadratic.  Memory is the traced peak (tracemalloc) of the
one-statement dialog over the size of the output.

    python benchmarks/processor.py            # 4, 16 and 64 MB
    python benchmarks/processor.py --quick    # a smoke run: 1 and 4 MB
"""

from __future__ import annotations

import argparse
import asyncio
import math
import os
import resource
import subprocess
import sys
import threading
import time
import tracemalloc

import pexpect

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
# The talker program and its login dialog, shared with the tests.
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))

import talker  # noqa: E402
from talker import LOGIN_DIALOG as LOGIN  # noqa: E402

from tavrel.eal.dialog_processor import (DialogProcessor,  # noqa: E402
                                         process_async)
from tavrel.eal.dialogs import Dialog, Statement  # noqa: E402

TALKER = talker.__file__
MB = 1 << 20
PROMPT = r"SW-1#$"
# Its starts are bounded by no rule: a run of Q and newlines of any length
# may come before the prompt.
RULELESS = r"(?:Q|\n)+SW-1#"
NEVER = [r"[Uu]sername: ?$", r"(?i)error: .*$", r"% Invalid input.*",
         r"[Pp]assword: ?$", r"\[confirm\]$", r"(?i)are you sure",
         r"Permission denied", r"--More--", r"\(yes/no\)\?",
         r"Connection (refused|closed)", r"(?m)^ERROR\b",
         r"% Authorization failed", r"Login incorrect",
         r"Destination filename \[.*\]\?", r"(?i)timed? ?out",
         r"(?<=\n)FATAL", r"\bpanic\b", r"SW-1\(config\)#\s*$",
         r"Proceed\? \[y/n\]"]


def start(mode: str, count: int) -> pexpect.spawn:
    child = pexpect.spawn(sys.executable, [TALKER, mode, str(count)],
                          encoding="utf-8", timeout=600)
    child.delaybeforesend = None
    return child


def finish(child: pexpect.spawn) -> None:
    child.close(force=True)


# -- the rows ------------------------------------------------------------------

def raw(child: pexpect.spawn, size: int) -> None:
    want = size // 64 * 64 + len("SW-1#")
    got = 0
    while got < want:
        got += len(child.read_nonblocking(1 << 16, 60))


def one(child: pexpect.spawn, size: int) -> None:
    Dialog([[PROMPT]]).process(child, timeout=600)


def twenty(child: pexpect.spawn, size: int) -> None:
    Dialog([[p] for p in NEVER] + [[PROMPT]]).process(child, timeout=600)


def paging_dialog(child: pexpect.spawn, size: int) -> None:
    Dialog([[r"--More--", "send( )", None, True, True],
            [PROMPT]]).process(child, timeout=600)


def paging_pexpect(child: pexpect.spawn, size: int) -> None:
    while child.expect([r"--More--", PROMPT], timeout=600) == 0:
        child.send(" ")


def ruleless(child: pexpect.spawn, size: int) -> None:
    Dialog([[RULELESS]]).process(child, timeout=600)


def ruleless_whole(child: pexpect.spawn, size: int) -> None:
    # Imported here: a --base build may have no such module.
    from tavrel._engine import search as _search

    analyze = _search.analyze
    _search.analyze = lambda text: analyze(text)._replace(tail=None)
    try:
        Dialog([[RULELESS]]).process(child, timeout=600)
    finally:
        _search.analyze = analyze


def login_loop(processor: type) -> object:
    def run(child: pexpect.spawn, count: int) -> None:
        dialog = Dialog(LOGIN)
        for _ in range(count):
            result = processor(dialog, child, timeout=60).process()
            assert result.pattern == r"SW-1>$"
            child.sendline("again")
    return run


def timed(row: object, mode: str, count: int) -> float:
    child = start(mode, count)
    try:
        if mode != "login":
            # The talker writes once it is told to, after it set raw mode.
            child.expect("READY")
            child.send("g")
        else:
            child.expect("READY")
        began = time.perf_counter()
        row(child, count)  # type: ignore[operator]
        return time.perf_counter() - began
    finally:
        finish(child)


def best(rows: dict[str, tuple[object, str, int]], rounds: int
         ) -> dict[str, float]:
    times = {name: math.inf for name in rows}
    for _ in range(rounds):
        for name, (row, mode, count) in rows.items():
            times[name] = min(times[name], timed(row, mode, count))
    return times


def memory(size: int) -> float:
    child = start("bulk", size)
    try:
        child.expect("READY")
        child.send("g")
        tracemalloc.start()
        result = Dialog([[PROMPT]]).process(child, timeout=600)
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        return peak / len(result.output)
    finally:
        finish(child)


def sessions(count: int, how: str) -> tuple[float, float, float, bool]:
    """``count`` concurrent logins: (wall, CPU, the loop's worst stall, all
    succeeded)."""
    server, spawns = talker.open_sessions(count)
    dialog = Dialog(LOGIN)
    ok: list[bool] = []
    try:
        began, cpu = time.perf_counter(), time.process_time()
        if how == "loop":
            worst = 0.0

            async def tick() -> None:
                nonlocal worst
                due = time.monotonic() + 0.01
                while True:
                    await asyncio.sleep(max(0.0, due - time.monotonic()))
                    worst = max(worst, time.monotonic() - due)
                    due = time.monotonic() + 0.01

            async def main() -> None:
                ticker = asyncio.ensure_future(tick())
                results = await asyncio.gather(
                    *(process_async(dialog, spawn, timeout=120)
                      for spawn in spawns), return_exceptions=True)
                await asyncio.sleep(0.011)
                ticker.cancel()
                ok.extend(getattr(r, "kind", None) == "match"
                          for r in results)

            asyncio.run(main())
        else:
            worst = math.nan

            def one(spawn: object) -> None:
                try:
                    result = DialogProcessor(dialog, spawn,
                                             timeout=120).process()
                    ok.append(result.kind == "match")
                except Exception:
                    ok.append(False)

            threads = [threading.Thread(target=one, args=(spawn,))
                       for spawn in spawns]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
        wall = time.perf_counter() - began
        return (wall, time.process_time() - cpu, worst,
                len(ok) == count and all(ok))
    finally:
        for spawn in spawns:
            spawn.close()
        server.wait(30)


def raise_fd_limit(wanted: int) -> None:
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < wanted:
        limit = wanted if hard == resource.RLIM_INFINITY else min(wanted,
                                                                  hard)
        resource.setrlimit(resource.RLIMIT_NOFILE, (limit, hard))


def verdict(value: float, target: float) -> str:
    return "ok" if value <= target else "MISSED"


# Rows a process of its own times for --base, by name: (row, talker mode).
WORKER_ROWS = {"one statement": (one, "bulk"),
               "twenty statements": (twenty, "bulk"),
               "5-prompt login": (login_loop(DialogProcessor), "login")}


def in_process(python: str, name: str, count: int) -> float:
    out = subprocess.run([python, os.path.abspath(__file__), "--worker",
                          name, str(count)], check=True,
                         capture_output=True, text=True).stdout
    return float(out.split()[-1])


def against_base(base: str, size: int, logins: int, rounds: int) -> None:
    """This build against the one of ``base``, each row in a process of
    its own, in turns, best of ``rounds``."""
    print()
    print("%-34s %10s %10s %10s %8s %s" % ("this build / base build",
                                           "count", "this s", "base s",
                                           "ratio", "target 1.00"))
    for name, count in (("one statement", size),
                        ("twenty statements", size),
                        ("5-prompt login", logins)):
        now = then = math.inf
        for _ in range(rounds):
            now = min(now, in_process(sys.executable, name, count))
            then = min(then, in_process(base, name, count))
        print("%-34s %10d %10.3f %10.3f %8.2f %s" % (
            name, count, now, then, now / then, verdict(now / then, 1.0)))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="a short smoke run")
    parser.add_argument("--base", metavar="PYTHON",
                        help="the interpreter of a venv with another build "
                             "of tavrel, to compare with side by side")
    parser.add_argument("--worker", nargs=2, metavar=("ROW", "COUNT"),
                        help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.worker:
        name, count = options.worker
        row, mode = WORKER_ROWS[name]
        print(timed(row, mode, int(count)))
        return
    sizes = [1, 4] if options.quick else [4, 16, 64]
    rounds = 1 if options.quick else 3
    paging_size = 1 if options.quick else 4
    logins = 20 if options.quick else 300

    print("%-34s %10s %10s %8s %8s" % ("row", "size", "seconds", "ratio",
                                       "target"))
    print("-" * 76)
    bulk: dict[int, dict[str, float]] = {}
    for size in sizes:
        n = size * MB
        bulk[size] = best({"raw 64 KiB reads": (raw, "bulk", n),
                           "one statement": (one, "bulk", n),
                           "twenty statements": (twenty, "bulk", n)},
                          rounds)
        base = bulk[size]["raw 64 KiB reads"]
        for name, seconds in bulk[size].items():
            target = {"one statement": 1.25, "twenty statements": 3.0}.get(
                name)
            print("%-34s %7d MB %10.3f %8.2f %8s %s" % (
                name, size, seconds, seconds / base,
                "%.2f" % target if target and size == sizes[-1] else "-",
                verdict(seconds / base, target)
                if target and size == sizes[-1] else ""))

    small, large = sizes[0], sizes[-1]
    raw_exponent = 0.0
    for name in bulk[small]:
        exponent = (math.log(bulk[large][name] / bulk[small][name])
                    / math.log(large / small))
        if name.startswith("raw"):
            raw_exponent = exponent
            shown = "-"
        else:
            # Beside it, the exponent of its time over the raw reads' (1 +
            # the growth of the ratio): what the engine adds to the
            # machine's own curve.
            shown = "1.10 %s (over raw %.2f)" % (
                verdict(exponent, 1.1), 1 + exponent - raw_exponent)
        print("%-34s %4d->%-3d MB %10s %8.2f %8s" % (
            "growth exponent, " + name, small, large, "", exponent, shown))

    # Quadratic when searched whole: its sizes are in lines, and smaller.
    # The ratio is over the same pattern with its searches skipped.
    lines = [10_000, 20_000] if options.quick else [100_000, 200_000]
    ruleless_rows = {"rule-less pattern": (ruleless, "rule-less"),
                     "rule-less, searched whole": (ruleless_whole,
                                                   "rule-less whole")}
    rules = {count: best({name: (row, "bulk", count * 64)
                          for name, (row, _) in ruleless_rows.items()},
                         rounds)
             for count in lines}
    for count in lines:
        fast = rules[count]["rule-less pattern"]
        for name, seconds in rules[count].items():
            print("%-34s %5dk ln %10.3f %8.2f %8s" % (
                name, count // 1000, seconds, seconds / fast, "-"))
    for name, (_, short) in ruleless_rows.items():
        exponent = (math.log(rules[lines[1]][name] / rules[lines[0]][name])
                    / math.log(lines[1] / lines[0]))
        print("%-34s %10s %10s %8.2f %8s" % (
            "growth exponent, " + short,
            "%dk->%dk ln" % (lines[0] // 1000, lines[1] // 1000), "",
            exponent, "1.10 %s" % verdict(exponent, 1.1)
            if short == "rule-less" else "-"))

    paging = best({"paging, dialog": (paging_dialog, "paged",
                                      paging_size * MB),
                   "paging, pexpect loop": (paging_pexpect, "paged",
                                            paging_size * MB)}, rounds)
    ratio = paging["paging, dialog"] / paging["paging, pexpect loop"]
    for name, seconds in paging.items():
        print("%-34s %7d MB %10.3f %8.2f %8s %s" % (
            name, paging_size, seconds,
            seconds / paging["paging, pexpect loop"],
            "1.00" if name.endswith("dialog") else "-",
            verdict(ratio, 1.0) if name.endswith("dialog") else ""))

    login = best({"5-prompt login": (login_loop(DialogProcessor), "login",
                                     logins)}, rounds)
    print("%-34s %7d x  %10.3f %8s" % ("5-prompt login", logins,
                                       login["5-prompt login"], "-"))
    if options.base:
        against_base(options.base, large * MB, logins, rounds)

    per_char = memory(large * MB)
    print("%-34s %7d MB %10s %8.2f %8s %s" % (
        "memory, traced peak / output", large, "", per_char, "2.50",
        verdict(per_char, 2.5)))

    raise_fd_limit(8192)
    print()
    print("%-34s %10s %10s %10s %10s %s" % ("concurrent 5-prompt logins",
                                            "wall s", "CPU s", "stall ms",
                                            "all ok", ""))
    for count in ([50] if options.quick else [300, 1000]):
        loop = min((sessions(count, "loop") for _ in range(rounds)),
                   key=lambda r: r[0])
        threads = min((sessions(count, "threads") for _ in range(rounds)),
                      key=lambda r: r[0])
        for name, row in (("%d sessions, one loop" % count, loop),
                          ("%d sessions, a thread each" % count, threads)):
            print("%-34s %10.3f %10.3f %10s %10s" % (
                name, row[0], row[1],
                "-" if math.isnan(row[2]) else "%.1f" % (row[2] * 1000),
                row[3]))
        if count == 300 or options.quick:
            checks = [("wall", loop[0] / threads[0], 1.5),
                      ("CPU", loop[1] / threads[1], 1.0)]
            print("%-34s %s; stall %.1f ms (target 50) %s" % (
                "  loop / threads",
                ", ".join("%s %.2f (target %.2f) %s" % (
                    what, value, target, verdict(value, target))
                    for what, value, target in checks),
                loop[2] * 1000, verdict(loop[2], 0.05)))


if __name__ == "__main__":
    main()
