"""A fleet timed three ways, side by side: one command (`show version`) on
each of N devices of the device lab (2,000 by default; the lab runs in
processes of its own, the devices spread over them).

    single loop   tavrel.fleet.run: every device from one event loop
    dask          a local Dask cluster of 2 worker processes
                  (run_distributed); the cluster's start, with the workers'
                  first import of tavrel, is a row of its own and is not
                  counted in the run's wall, CPU or memory
    nornir        Nornir's threaded runner (100 threads) with tavrel's
                  connection plugin: open, the command, close, per host

Each way runs in a fresh process of its own, against the same labs:
wall seconds; CPU seconds of that process and its children (the Dask
workers); peak memory, the RSS of that process and its children summed
and sampled every 50 ms; the hosts that failed; the labs' CPU seconds
meanwhile.  The ways take turns for --rounds rounds (3), and each
reports its round of least wall time; ratios are taken against the single
loop of the same run.

    python benchmarks/fleet.py                 # 2,000 devices, over SSH
    python benchmarks/fleet.py --session telnet          # the same over telnet
    python benchmarks/fleet.py --devices 60 --rounds 1   # a smoke run

Over SSH every way spends most of its CPU in asyncssh's handshakes and
packets, the same in all three; over telnet what is left is tavrel's own
work and the ways' overheads.
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Callable
from typing import Any

import psutil

PASSWORD_ENV = "TAVREL_BENCH_LAB_PASSWORD"
COMMAND = "show version"
WAYS = ("single", "dask", "nornir")
LABELS = {"single": "single loop", "dask": "dask, 2 workers",
          "nornir": "nornir threads"}


# -- measuring a process tree -------------------------------------------------

def tree() -> list[psutil.Process]:
    me = psutil.Process()
    return [me, *me.children(recursive=True)]


def cpu_of(processes: list[psutil.Process]) -> float:
    total = 0.0
    for process in processes:
        try:
            times = process.cpu_times()
        except psutil.Error:
            continue
        total += (times.user + times.system + times.children_user
                  + times.children_system)
    return total


class PeakMemory:
    """The largest sum of the RSS of this process and its children, sampled
    in a thread."""

    def __init__(self, every: float = 0.05) -> None:
        self.every = every
        self.peak = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._sample, daemon=True)

    def _sample(self) -> None:
        while True:
            total = 0
            for process in tree():
                try:
                    total += process.memory_info().rss
                except psutil.Error:
                    pass
            self.peak = max(self.peak, total)
            if self._stop.wait(self.every):
                return

    def __enter__(self) -> PeakMemory:
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop.set()
        self._thread.join()


def measured(run: Callable[[], list[str]]) -> dict[str, Any]:
    """Wall, CPU and peak memory of ``run()``, which returns the failures'
    descriptions."""
    before = cpu_of(tree())
    with PeakMemory() as memory:
        began = time.perf_counter()
        failures = run()
        wall = time.perf_counter() - began
        # Before the children go: their CPU is read from them.
        cpu = cpu_of(tree()) - before
    return {"wall": wall, "cpu": cpu, "peak": memory.peak,
            "failures": len(failures), "first_failures": failures[:3]}


# -- the three ways (each in a process of its own) -----------------------------

def fleet_hosts(devices: list[dict[str, Any]]) -> list[Any]:
    from tavrel.fleet import Credential, Host

    return [Host(device["name"], "127.0.0.1", device["port"],
                 session=device["session"],
                 username="admin", password=Credential(env=PASSWORD_ENV),
                 options={"known_hosts": device["known_hosts"].encode(),
                          "connect_timeout": 60})
            for device in devices]


def failures_of(results: Any) -> list[str]:
    return ["%s: %s: %s" % (result.host, result.error_type, result.error)
            for result in results if not result.ok]


def run_single(devices: list[dict[str, Any]],
               concurrency: int) -> dict[str, Any]:
    from tavrel.fleet import Command, run

    hosts = fleet_hosts(devices)

    def single() -> list[str]:
        report = run(hosts, Command(COMMAND), concurrency=concurrency,
                     progress=False)
        return failures_of(report.results)

    return measured(single)


def run_dask(devices: list[dict[str, Any]], concurrency: int,
             workers: int, batch_size: int | None) -> dict[str, Any]:
    import distributed

    from tavrel.fleet import Command
    from tavrel.fleet._dask import run_distributed

    hosts = fleet_hosts(devices)
    began = time.perf_counter()
    with distributed.LocalCluster(n_workers=workers, threads_per_worker=1,
                                  dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as client:
        # The workers' first import of the fleet belongs to starting them.
        client.run(__import__, "tavrel.fleet")
        startup = time.perf_counter() - began

        def dask() -> list[str]:
            return failures_of(run_distributed(
                hosts, Command(COMMAND), scheduler=cluster.scheduler_address,
                concurrency=concurrency, batch_size=batch_size))

        row = measured(dask)
    row["startup"] = startup
    return row


def run_nornir(devices: list[dict[str, Any]],
               threads: int) -> dict[str, Any]:
    from nornir.core import Nornir
    from nornir.core.inventory import (ConnectionOptions, Defaults, Groups,
                                       Host, Hosts, Inventory)
    from nornir.core.plugins.connections import ConnectionPluginRegister
    from nornir.core.task import Result, Task
    from nornir.plugins.runners import ThreadedRunner

    from tavrel.fleet.nornir import tavrel_command

    ConnectionPluginRegister.auto_register()
    password = os.environ[PASSWORD_ENV]
    hosts = Hosts({device["name"]: Host(
        device["name"], hostname="127.0.0.1", port=device["port"],
        username="admin", password=password, platform="network_cli",
        connection_options={"tavrel": ConnectionOptions(extras={
            "session": device["session"],
            "known_hosts": device["known_hosts"].encode(),
            "connect_timeout": 60})})
        for device in devices})
    nr = Nornir(inventory=Inventory(hosts=hosts, groups=Groups(),
                                    defaults=Defaults()),
                runner=ThreadedRunner(num_workers=threads))

    def command_and_close(task: Task) -> Result:
        try:
            result = tavrel_command(task, COMMAND)
        finally:
            if "tavrel" in task.host.connections:
                task.host.close_connection("tavrel")
        return result

    def nornir() -> list[str]:
        results = nr.run(task=command_and_close)
        return ["%s: %r" % (name, result[0].exception)
                for name, result in results.items() if result.failed]

    return measured(nornir)


def run_way(way: str, hosts_file: str, concurrency: int, workers: int,
            threads: int, batch_size: int | None) -> None:
    with open(hosts_file) as file:
        devices = json.load(file)
    if way == "single":
        row = run_single(devices, concurrency)
    elif way == "dask":
        row = run_dask(devices, concurrency, workers, batch_size)
    else:
        row = run_nornir(devices, threads)
    print(json.dumps(row), flush=True)


# -- the labs and the table ------------------------------------------------------

def start_labs(count: int, folder: str, telnet: bool = False
               ) -> tuple[list[subprocess.Popen[bytes]], list[dict[str, Any]]]:
    labs, ports = [], []
    for number in range(count):
        path = os.path.join(folder, "lab%d.json" % number)
        labs.append(subprocess.Popen(
            [sys.executable, "-m", "tavrel.demo.lab",
             "--telnet-port", "0" if telnet else "-1",
             "--configured", "--ports-file", path],
            stdout=subprocess.DEVNULL,
            env=dict(os.environ, TAVREL_LAB_PASSWORD=os.environ[PASSWORD_ENV])))
    for number, lab in enumerate(labs):
        path = os.path.join(folder, "lab%d.json" % number)
        for _ in range(600):
            if os.path.exists(path):
                break
            if lab.poll() is not None:
                raise SystemExit("a lab did not start")
            time.sleep(0.05)
        with open(path) as file:
            ports.append(json.load(file))
    return labs, ports


def stop_labs(labs: list[subprocess.Popen[bytes]]) -> None:
    for lab in labs:
        lab.send_signal(signal.SIGTERM)
    for lab in labs:
        try:
            lab.wait(30)
        except subprocess.TimeoutExpired:
            lab.kill()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--devices", type=int, default=2000)
    parser.add_argument("--labs", type=int, default=3)
    parser.add_argument("--concurrency", type=int, default=100,
                        help="the runner's, per process (100)")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--threads", type=int, default=100,
                        help="Nornir's threads (100)")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--session", choices=("ssh", "telnet"),
                        default="ssh", help="the devices' transport (ssh)")
    parser.add_argument("--batch-size", type=int,
                        help="Dask's (default: run_distributed's)")
    parser.add_argument("--way", choices=WAYS, help=argparse.SUPPRESS)
    parser.add_argument("--hosts-file", help=argparse.SUPPRESS)
    args = parser.parse_args()
    os.environ.setdefault(PASSWORD_ENV, "tavrel")
    if args.way:
        run_way(args.way, args.hosts_file, args.concurrency, args.workers,
                args.threads, args.batch_size)
        return

    with tempfile.TemporaryDirectory(prefix="tavrel-fleet-bench-") as folder:
        load = os.getloadavg()[0]
        labs, ports = start_labs(args.labs, folder,
                                 args.session == "telnet")
        try:
            devices = [{"name": "sw%05d" % number,
                        "session": args.session,
                        "port": ports[number % len(ports)][args.session],
                        "known_hosts": ports[number % len(ports)]
                        ["known_hosts"]}
                       for number in range(args.devices)]
            hosts_file = os.path.join(folder, "hosts.json")
            with open(hosts_file, "w") as file:
                json.dump(devices, file)
            rows: dict[str, dict[str, Any]] = {}
            lab_processes = [psutil.Process(lab.pid) for lab in labs]
            for _ in range(args.rounds):
                for way in WAYS:
                    row = run_child(way, hosts_file, args, lab_processes)
                    if way not in rows or row["wall"] < rows[way]["wall"]:
                        rows[way] = row
        finally:
            stop_labs(labs)
    report(rows, args)
    # Other work on the machine skews the ways unevenly: a way with more
    # threads or processes gets a larger share of a busy machine.
    print("load average (1 min) before and after: %.2f, %.2f on %d CPUs"
          % (load, os.getloadavg()[0], os.cpu_count() or 0))


def run_child(way: str, hosts_file: str, args: argparse.Namespace,
              lab_processes: list[psutil.Process]) -> dict[str, Any]:
    lab_cpu = cpu_of(lab_processes)
    command = [sys.executable, __file__, "--way", way,
               "--hosts-file", hosts_file,
               "--concurrency", str(args.concurrency),
               "--workers", str(args.workers), "--threads", str(args.threads)]
    if args.batch_size:
        command += ["--batch-size", str(args.batch_size)]
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit("%s failed:\n%s" % (way, done.stderr))
    row: dict[str, Any] = json.loads(done.stdout.splitlines()[-1])
    row["labs"] = cpu_of(lab_processes) - lab_cpu
    return row


def report(rows: dict[str, dict[str, Any]], args: argparse.Namespace) -> None:
    print("%d lab devices over %d lab processes, over %s, %r on each; each "
          "way in a process of its own, in turns, best of %d rounds"
          % (args.devices, args.labs, args.session, COMMAND, args.rounds))
    print("%-36s %8s %8s %9s %9s %10s" % ("row", "wall s", "CPU s",
                                         "peak MB", "failures",
                                         "labs' CPU"))
    labels = dict(LABELS, nornir="nornir threads (%d)" % args.threads,
                  dask="dask, %d workers" % args.workers)
    for way, row in rows.items():
        print("%-36s %8.2f %8.2f %9.1f %9d %10.2f" % (
            labels[way], row["wall"], row["cpu"], row["peak"] / 1e6,
            row["failures"], row["labs"]))
        for failure in row["first_failures"]:
            print("    %s" % failure)
    print("%-36s %8.2f   (not counted in the dask row)" % (
        "dask cluster start", rows["dask"]["startup"]))
    single = rows["single"]["wall"]
    checks = [
        ("dask / single loop, wall", rows["dask"]["wall"] / single,
         "<= 1.3", rows["dask"]["wall"] / single <= 1.3),
        ("dask with its start / single loop",
         (rows["dask"]["wall"] + rows["dask"]["startup"]) / single,
         "", None),
        ("nornir / single loop, wall", rows["nornir"]["wall"] / single,
         ">= 2", rows["nornir"]["wall"] / single >= 2),
        ("nornir / single loop, CPU", rows["nornir"]["cpu"]
         / max(rows["single"]["cpu"], 1e-9), "", None),
        ("dask / single loop, peak memory", rows["dask"]["peak"]
         / max(rows["single"]["peak"], 1), "", None),
        ("nornir / single loop, peak memory", rows["nornir"]["peak"]
         / max(rows["single"]["peak"], 1), "", None),
    ]
    for label, ratio, target, met in checks:
        verdict = "" if met is None else ("ok" if met else "MISSED")
        print("%-36s %8.2f %8s %s" % (label, ratio, target, verdict))
    failures = sum(row["failures"] for row in rows.values())
    print("failures: %d %s" % (failures, "ok" if not failures else "MISSED"))


if __name__ == "__main__":
    main()
