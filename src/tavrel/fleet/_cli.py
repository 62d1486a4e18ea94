"""``tavrel run``: one task over an inventory, from the command line.

Exit status: 0 when every host succeeded, 1 when some failed, 130 when
the run was interrupted (Ctrl-C), 2 for a usage error (bad arguments, an
inventory that cannot be read, a task that cannot be found).
"""

from __future__ import annotations

import argparse
import importlib
import os
import sys
import time
from collections.abc import Sequence
from typing import Any

from tavrel.core.errors import InventoryError
from tavrel.eal.dialogs import Dialog
from tavrel.fleet._inventory import HOST_KEYS, Host, Inventory
from tavrel.fleet._runner import (Command, Task, platform_of, resolve_task,
                                  run)

__all__ = ["main"]

OK, FAILED, USAGE, INTERRUPTED = 0, 1, 2, 130


class _UsageError(Exception):
    pass


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tavrel", description="Automate interactive command-line "
        "sessions: run one task over a fleet of devices.")
    commands = parser.add_subparsers(dest="action", metavar="COMMAND")
    run_parser = commands.add_parser(
        "run", help="run a command, a task or a dialog on every host of an "
        "inventory", description="Run a command, a task or a dialog on "
        "every host of an inventory, and write each host's result as a "
        "line of results.jsonl in the output folder.  Exit status: 0 all "
        "ok, 1 some failed, 130 interrupted, 2 usage error.")
    run_parser.add_argument("-i", "--inventory", required=True,
                            metavar="FILE", help="the inventory: a YAML "
                            "file (or a folder with hosts.yaml, groups.yaml, "
                            "defaults.yaml) or a CSV file")
    what = run_parser.add_mutually_exclusive_group(required=True)
    what.add_argument("--command", metavar="CMD",
                      help="a command to send; its output is the result")
    what.add_argument("--task", metavar="MODULE:FUNCTION",
                      help="an async function (device, host) -> result")
    what.add_argument("--dialog", metavar="MODULE:NAME",
                      help="a Dialog to run on each device after its prompt")
    run_parser.add_argument("--concurrency", type=_positive_int, default=100,
                            metavar="N", help="hosts at once (default 100)")
    run_parser.add_argument("--timeout", type=_positive_float, default=60.0,
                            metavar="S", help="seconds per host, connection "
                            "attempts included (default 60)")
    run_parser.add_argument("--retries", type=_count, default=2, metavar="N",
                            help="more connection attempts when a host "
                            "cannot be reached (default 2)")
    run_parser.add_argument("--backoff", type=_non_negative_float,
                            default=1.0, metavar="S", help="seconds before "
                            "the first retry, doubled for each (default 1)")
    run_parser.add_argument("--output", metavar="DIR",
                            help="folder for results.jsonl and summary.json "
                            "(default: tavrel-run-DATE-TIME here)")
    run_parser.add_argument("--filter", action="append", default=[],
                            metavar="KEY=VALUE", help="only hosts with "
                            "group=NAME, name=, hostname=, port=, "
                            "platform=, session=, username=, or a data "
                            "key; may be repeated")
    where = run_parser.add_mutually_exclusive_group()
    where.add_argument("--workers", type=_positive_int, metavar="N",
                       help="run on a local Dask cluster of N workers")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on a Dask cluster (tcp://HOST:PORT)")
    run_parser.add_argument("--batch-size", type=_positive_int, metavar="N",
                            help="hosts to a Dask task (default: about "
                            "four batches a worker)")
    run_parser.add_argument("--no-progress", action="store_true",
                            help="no progress bar (there is none when "
                            "stderr is not a terminal)")
    return parser


def _number(kind: Any, test: Any, wanted: str) -> Any:
    def parse(text: str) -> Any:
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError("%r is not %s"
                                             % (text, wanted)) from None
        if not test(value):
            raise argparse.ArgumentTypeError("%r is not %s" % (text, wanted))
        return value
    return parse


_positive_int = _number(int, lambda v: v > 0, "a whole number above 0")
_count = _number(int, lambda v: v >= 0, "a whole number, 0 or more")
_positive_float = _number(float, lambda v: v > 0, "a number above 0")
_non_negative_float = _number(float, lambda v: v >= 0, "a number, 0 or more")


def _inventory(path: str) -> Inventory:
    lower = path.lower()
    if os.path.isdir(path) or lower.endswith((".yaml", ".yml")):
        return Inventory.from_yaml(path)
    if lower.endswith(".csv"):
        return Inventory.from_csv(path)
    raise _UsageError("%s: an inventory is a .yaml, .yml or .csv file, or "
                      "a folder of YAML files" % path)


def _filtered(inventory: Inventory, filters: Sequence[str]) -> Inventory:
    for item in filters:
        key, sep, wanted = item.partition("=")
        if not sep or not key:
            raise _UsageError("--filter %r: give KEY=VALUE, as group=core"
                              % item)

        def matches(host: Host, key: str = key, wanted: str = wanted
                    ) -> bool:
            if key == "group":
                return wanted in inventory.member_of(host)
            if key in HOST_KEYS:
                return str(getattr(host, key)) == wanted
            return key in host.data and str(host.data[key]) == wanted
        inventory = inventory.filter(matches)
    return inventory


def _task(args: argparse.Namespace) -> Task:
    if args.command is not None:
        return Command(args.command)
    spec = args.task if args.task is not None else args.dialog
    # The user's modules, from where the command is run.
    if os.getcwd() not in sys.path and "" not in sys.path:
        sys.path.insert(0, os.getcwd())
    try:
        resolved = resolve_task(spec)
    except (ValueError, TypeError) as exc:
        raise _UsageError(str(exc)) from None
    if args.dialog is not None and not isinstance(
            getattr(resolved, "dialog", None), Dialog):
        raise _UsageError("--dialog %s is not a Dialog" % spec)
    # The name, not the function: it is what crosses to Dask workers.
    return str(spec)


def main(argv: Sequence[str] | None = None) -> int:
    """The ``tavrel`` command; returns the exit status."""
    parser = _parser()
    args = parser.parse_args(argv)
    if args.action != "run":
        parser.print_help(sys.stderr)
        return USAGE
    try:
        inventory = _filtered(_inventory(args.inventory), args.filter)
        task = _task(args)
        for platform in {host.platform: host for host in inventory}.values():
            platform_of(platform)
    except (InventoryError, _UsageError, ValueError) as exc:
        print("tavrel run: error: %s" % exc, file=sys.stderr)
        return USAGE
    except KeyboardInterrupt:
        return INTERRUPTED
    if args.batch_size is not None and args.workers is None \
            and args.scheduler is None:
        print("tavrel run: error: --batch-size is for a run on workers: "
              "give --workers or --scheduler too", file=sys.stderr)
        return USAGE
    if args.workers is not None or args.scheduler is not None:
        try:
            importlib.import_module("tavrel.fleet._dask")
        except ImportError as exc:
            print("tavrel run: error: running on workers needs Dask "
                  "distributed (pip install 'tavrel[cluster]'): %s" % exc,
                  file=sys.stderr)
            return USAGE
    if not len(inventory):
        print("tavrel run: error: no hosts%s" % (
            " match the filters" if args.filter else " in the inventory"),
            file=sys.stderr)
        return USAGE
    output = args.output or "tavrel-run-%s" % time.strftime(
        "%Y%m%d-%H%M%S")
    try:
        report = run(inventory, task, concurrency=args.concurrency,
                     timeout=args.timeout, retries=args.retries,
                     backoff=args.backoff, workers=args.workers,
                     scheduler=args.scheduler, batch_size=args.batch_size,
                     progress=False if args.no_progress else None,
                     output=output)
    except KeyboardInterrupt:
        # Before the run began, or a second Ctrl-C.
        print("tavrel run: interrupted", file=sys.stderr)
        return INTERRUPTED
    print(report.table())
    print("results: %s" % os.path.join(output, "results.jsonl"))
    if report.interrupted:
        return INTERRUPTED
    return OK if report.failed == 0 else FAILED
