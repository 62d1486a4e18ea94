"""Costs of building statements and dialogs, next to the cheapest object a
Python caller could build in their place.

The floor is ``Floor``: a plain Python class whose ``__init__`` does nothing
but assign the twelve attributes a ``Statement`` carries.  Every operation is
timed back to back with the floor, in one process, in several interleaved
rounds; each is reported as the best (minimum) time of its rounds, its floor
as the best time of the floor runs of those same rounds, and their ratio is
checked against the operation's target.  Rows marked "per statement" divide
the operation's time by the number of statements it handles.

Memory is the traced allocation (tracemalloc) of many ``Statement`` objects
against as many floor objects, per object.

    python benchmarks/bench.py            # full run, a few seconds
    python benchmarks/bench.py --quick    # smoke run: fewer rounds, short loops
"""

import argparse
import gc
import sys
import timeit
import tracemalloc

from tavrel.eal.dialogs import (
    Dialog,
    DialogMaker,
    Statement,
    statement_action_helper,
    statement_decorator,
)


class Floor:
    """The cheapest stand-in for a Statement: the same twelve attributes,
    assigned and nothing else."""

    def __init__(self, pattern, action=None, args=None, loop_continue=False,
                 continue_timer=False, trim_buffer=True, matched_retries=None,
                 matched_retry_sleep=None, di_params=None,
                 debug_statement=False):
        self.pattern = pattern
        self.action = action
        self._action = None
        self.args = args
        self.loop_continue = loop_continue
        self.continue_timer = continue_timer
        self.match = []
        self.trim_buffer = trim_buffer
        self.matched_retries = matched_retries
        self.matched_retry_sleep = matched_retry_sleep
        self.di_params = di_params
        self.debug_statement = debug_statement


def send_user(spawn, user):
    spawn.sendline(user)


# A declarative dialog of ten members, as a framework would write one.
class LoginDialog(DialogMaker):
    @statement_decorator(r"Username: $", loop_continue=True)
    def username(spawn):
        spawn.sendline("admin")

    @statement_decorator(r"Password: $", loop_continue=True)
    def password(spawn, context):
        spawn.sendline(context["password"])

    @statement_decorator(r"\[yes/no\]: $", loop_continue=True)
    def confirm(spawn):
        spawn.sendline("yes")

    @statement_decorator(r" --More-- $", loop_continue=True,
                         continue_timer=True)
    def more(spawn):
        spawn.send(" ")

    @statement_decorator(r"Press RETURN to get started", loop_continue=True)
    def wake(spawn):
        spawn.sendline("")

    @statement_decorator(r"\(y/n\) \[n\]", loop_continue=True)
    def save(spawn, session):
        spawn.sendline("y" if session.get("save") else "n")

    @statement_decorator(r"Destination filename \[.*\]\? $", loop_continue=True)
    def destination(spawn):
        spawn.sendline("")

    @statement_decorator(r"% Bad passwords", trim_buffer=False)
    def bad_password(spawn, session):
        session["failed"] = True

    @statement_decorator(r"Connection closed by foreign host")
    def closed(spawn):
        pass

    @statement_decorator(r"SW-1[>#]$")
    def prompt(spawn):
        pass


PATTERN = "^login: $"
ARGS = {"user": "x"}
TEXT = "sendline(admin)"
CRED_TEXT = "sendline_cred_pass(default)"


def argument_lists(n):
    """``n`` statement argument lists, cycling through the statement kinds
    of the single-statement rows: pattern only, callable with args, action
    text."""
    kinds = [
        lambda i: [r"prompt-%d: $" % i, None],
        lambda i: [r"user-%d: $" % i, send_user, {"user": "u%d" % i}, True,
                   False],
        lambda i: [r"password-%d: $" % i, "sendline(secret%d)" % i, None,
                   True, False],
    ]
    return [kinds[i % len(kinds)](i) for i in range(n)]


NAMESPACE = {
    "Floor": Floor,
    "Statement": Statement,
    "Dialog": Dialog,
    "statement_action_helper": statement_action_helper,
    "LoginDialog": LoginDialog,
    "send_user": send_user,
    "p": PATTERN,
    "args": ARGS,
    "text": TEXT,
    "cred_text": CRED_TEXT,
    "lists50": argument_lists(50),
    "d1": Dialog(argument_lists(50)),
    "d2": Dialog(argument_lists(50)),
    "d50": Dialog(argument_lists(50)),
}


class Row:
    """One timed operation and the floor it is compared with."""

    def __init__(self, label, stmt, floor, per=1, target=None):
        self.label = label
        self.stmt = stmt
        self.floor = floor
        self.per = per
        self.target = target
        self.op_timer = timeit.Timer(stmt, globals=NAMESPACE)
        self.floor_timer = timeit.Timer(floor, globals=NAMESPACE)
        self.op_best = float("inf")
        self.floor_best = float("inf")

    @property
    def op_ns(self):
        return self.op_best * 1e9 / self.per

    @property
    def floor_ns(self):
        return self.floor_best * 1e9

    @property
    def ratio(self):
        return self.op_ns / self.floor_ns


ROWS = [
    Row('Statement("^login: $")',
        "Statement(p)", "Floor(p)", target=1.5),
    Row('Statement(p, cb, {"user": "x"}), cb(spawn, user)',
        "Statement(p, send_user, args)", "Floor(p, send_user, args)",
        target=2.0),
    Row('Statement(p, "sendline(admin)")',
        "Statement(p, text)", "Floor(p, text)", target=2.0),
    Row('statement_action_helper("sendline_cred_pass(default)")',
        "statement_action_helper(cred_text)", "Floor(cred_text)", target=1.0),
    Row("Dialog of 50 argument lists (per statement)",
        "Dialog(lists50)", "Floor(p)", per=50, target=2.0),
    Row("d1 + d2, 50 statements each (per statement of the sum)",
        "d1 + d2", "Floor(p)", per=100, target=0.5),
    Row("str() of a 50-statement dialog (per statement)",
        "str(d50)", "Floor(p)", per=50, target=0.6),
    Row("DialogMaker subclass, 10 decorated members, instantiated",
        "LoginDialog()", "Floor(p)"),
]


def loop_size(timer, seconds):
    """The number of loops (1, 2, 5, 10, 20, ...) that makes one timing
    last at least ``seconds``; fixed from then on."""
    number = 1
    while True:
        for factor in (1, 2, 5):
            n = number * factor
            if timer.timeit(n) >= seconds:
                return n
        number *= 10


def time_rows(rows, rounds, seconds):
    loops = [(loop_size(r.op_timer, seconds), loop_size(r.floor_timer, seconds))
             for r in rows]
    for _ in range(rounds):
        for row, (op_loops, floor_loops) in zip(rows, loops):
            t = row.floor_timer.timeit(floor_loops) / floor_loops
            row.floor_best = min(row.floor_best, t)
            t = row.op_timer.timeit(op_loops) / op_loops
            row.op_best = min(row.op_best, t)


def bytes_per_object(factory, count):
    """Traced bytes that ``count`` objects made by ``factory`` hold, per
    object.  The list that keeps them is allocated before tracing."""
    keep = [None] * count
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for i in range(count):
            keep[i] = factory()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    del keep
    return (after - before) / count


def status(ratio, target):
    if target is None:
        return "(no target)"
    return "ok" if ratio <= target else "MISSED"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="a fast smoke run: 2 rounds of short loops")
    parser.add_argument("--rounds", type=int, default=None,
                        help="rounds of timings (default 7, 2 with --quick)")
    options = parser.parse_args(argv)
    rounds = options.rounds or (2 if options.quick else 7)
    seconds = 0.002 if options.quick else 0.02
    count = 1000 if options.quick else 10000

    time_rows(ROWS, rounds, seconds)
    statement_bytes = min(bytes_per_object(lambda: Statement(PATTERN), count)
                          for _ in range(3))
    floor_bytes = min(bytes_per_object(lambda: Floor(PATTERN), count)
                      for _ in range(3))
    memory_ratio = statement_bytes / floor_bytes

    print("tavrel.eal.dialogs benchmark: Python %s, best of %d rounds%s"
          % (sys.version.split()[0], rounds, " (quick)" if options.quick else ""))
    print("floor: a plain Python object whose __init__ assigns the twelve "
          "Statement attributes")
    print()
    width = max(len(r.label) for r in ROWS)
    header = "%-*s %10s %10s %7s %7s  %s" % (
        width, "operation", "ns/op", "floor ns", "ratio", "target", "")
    print(header.rstrip())
    print("-" * len(header))
    graded = []
    for row in ROWS:
        target = "%.2f" % row.target if row.target is not None else "-"
        print("%-*s %10.1f %10.1f %7.2f %7s  %s" % (
            width, row.label, row.op_ns, row.floor_ns, row.ratio, target,
            status(row.ratio, row.target)))
        if row.target is not None:
            graded.append((row.ratio / row.target, row.label, row.ratio,
                           row.target))
    memory_label = "memory per Statement (bytes, %d objects)" % count
    print("%-*s %10.1f %10.1f %7.2f %7.2f  %s" % (
        width, memory_label, statement_bytes, floor_bytes, memory_ratio, 1.1,
        status(memory_ratio, 1.1)))
    graded.append((memory_ratio / 1.1, memory_label, memory_ratio, 1.1))
    print()
    worst = max(graded)
    missed = sum(1 for g in graded if g[0] > 1)
    print("worst ratio: %.2f against target %.2f (%.2fx the target): %s; "
          "%d of %d targets missed"
          % (worst[2], worst[3], worst[0], worst[1], missed, len(graded)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
