"""Sessions timed side by side: tavrel's own against pexpect over the `ssh`
program (what users had before) and against a plain asyncssh client doing
the same exchanges (the floor), all against OpenSSH on loopback.

    login      log in with a password, wait for the prompt, one command,
               exit and close; 20 in a row, seconds per login
    at once    N such sessions at once from one asyncio loop (N = 100 and
               1,000): wall and CPU seconds (CPU: this process and its
               ssh children), and this process's memory growth
    32 MiB     32 MiB of output before the prompt, read by a dialog
               (pexpect, tavrel) or by the plain client
    lab        5,000 sessions at once from one loop against the device lab
               in other processes: failures, the loop's worst tick in CPU
               milliseconds, memory per session; then again inside
               quiet_collector()

Rows of one kind run in turns, in rounds, and each reports its best round;
ratios are taken within one run.  It needs root (for a user with a
password and sshd) and OpenSSH's sshd and ssh.

    python benchmarks/sessions.py            # the rows above
    python benchmarks/sessions.py --quick    # a smoke run, small counts
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import gc
import json
import math
import os
import re
import resource
import secrets
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import warnings
from collections.abc import Awaitable, Callable
from typing import Any

import pexpect

from tavrel.eal.dialog_processor import process_async
from tavrel.eal.dialogs import Dialog, Statement
from tavrel.sessions import AsyncSSHSession, SSHSession, quiet_collector
from tavrel.utils import SecretText

with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    import asyncssh

USER = "tavrel-bench"
PROMPT = r"\$ (?:\x1b\[[0-9;?]*[A-Za-z])*$"
PROMPT_BYTES = re.compile(PROMPT.encode())
COMMAND = "echo $((6 * 7))"
ANSWER = r"42\r\n"
BULK = 32 << 20
BULK_COMMAND = ("yes 'interface GigabitEthernet1/0/1 description uplink "
                "to core-1 ......' | head -c %d; echo DONE-$((1 + 1))"
                % BULK)
BULK_DONE = r"DONE-2\r\n"
ENV = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


# -- the server ----------------------------------------------------------------

class Server:
    """sshd on loopback and a user with a fresh password."""

    def __init__(self) -> None:
        self.home = tempfile.mkdtemp(prefix="tavrel-bench-")
        self.password = secrets.token_urlsafe(12)
        subprocess.run(["userdel", "-r", USER], capture_output=True)
        subprocess.run(["useradd", "-m", "-s", "/bin/bash", USER],
                       check=True)
        subprocess.run(["chpasswd"], input="%s:%s\n" % (USER,
                                                        self.password),
                       text=True, check=True)
        key = os.path.join(self.home, "host_key")
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f",
                        key], check=True)
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        config = os.path.join(self.home, "sshd_config")
        with open(config, "w") as file:
            file.write("\n".join([
                "ListenAddress 127.0.0.1", "Port %d" % self.port,
                "HostKey %s" % key, "PidFile %s/pid" % self.home,
                "PasswordAuthentication yes",
                "KbdInteractiveAuthentication no", "UsePAM no",
                "PermitRootLogin no", "StrictModes no",
                "AuthorizedKeysFile none", "MaxStartups 3000",
                "MaxSessions 3000", "UseDNS no", ""]))
        self.known_hosts = os.path.join(self.home, "known_hosts")
        with open(self.known_hosts, "w") as file, \
                open(key + ".pub") as public:
            file.write("[127.0.0.1]:%d %s" % (self.port, public.read()))
        os.makedirs("/run/sshd", exist_ok=True)
        self.log = open(os.path.join(self.home, "sshd.log"), "w")
        self.process = subprocess.Popen(
            ["/usr/sbin/sshd", "-D", "-e", "-f", config], stderr=self.log,
            env=ENV)
        for _ in range(200):
            with socket.socket() as s:
                if s.connect_ex(("127.0.0.1", self.port)) == 0:
                    return
            time.sleep(0.05)
        raise SystemExit("sshd did not start")

    def stop(self) -> None:
        self.process.terminate()
        self.process.wait(10)
        self.log.close()
        subprocess.run(["userdel", "-r", USER], capture_output=True)
        shutil.rmtree(self.home, ignore_errors=True)


# -- one session, three ways -----------------------------------------------------

LOGIN = Dialog([
    Statement("Permission denied"),
    Statement(r"[Pp]assword: $", "sendline_cred_pass(bench)",
              loop_continue=True),
    Statement(PROMPT),
])
SHELL = Dialog([Statement(PROMPT)])
ANSWERED = Dialog([Statement(ANSWER + r"(?s:.*)" + PROMPT)])


def ssh_args(server: Server) -> list[str]:
    return ["-o", "StrictHostKeyChecking=no", "-o",
            "UserKnownHostsFile=/dev/null", "-o", "PubkeyAuthentication=no",
            "-o", "LogLevel=ERROR", "-p", str(server.port),
            "%s@127.0.0.1" % USER]


def context(server: Server) -> dict[str, Any]:
    return {"credentials": {"bench": {"password": SecretText(
        server.password)}}}


def today_sync(server: Server) -> None:
    child = pexpect.spawn("ssh", ssh_args(server), encoding="utf-8",
                          env=ENV)
    LOGIN.process(child, timeout=60, context=context(server))
    child.sendline(COMMAND)
    ANSWERED.process(child, timeout=60)
    child.sendline("exit")
    child.expect(pexpect.EOF)
    child.close()


def tavrel_options(server: Server) -> dict[str, Any]:
    return dict(username=USER, password=SecretText(server.password),
                known_hosts=server.known_hosts, connect_timeout=300,
                login_timeout=300, agent_path=None, client_keys=None)


def tavrel_sync(server: Server) -> None:
    with SSHSession("127.0.0.1", server.port,
                    **tavrel_options(server)) as session:
        SHELL.process(session, timeout=60)
        session.sendline(COMMAND)
        ANSWERED.process(session, timeout=60)
        session.sendline("exit")
        session.expect(pexpect.EOF)


async def today_async(server: Server) -> None:
    # As users of process_async drive the ssh program today: the spawn is
    # made (and closed) on the loop.
    child = pexpect.spawn("ssh", ssh_args(server), encoding="utf-8",
                          env=ENV)
    try:
        await process_async(LOGIN, child, timeout=300,
                            context=context(server))
        child.sendline(COMMAND)
        await process_async(ANSWERED, child, timeout=300)
        child.sendline("exit")
        await process_async(Dialog([["__eof__"]]), child, timeout=60)
    finally:
        child.close()


async def tavrel_async(server: Server) -> None:
    async with AsyncSSHSession("127.0.0.1", server.port,
                               **tavrel_options(server)) as session:
        await process_async(SHELL, session, timeout=300)
        session.sendline(COMMAND)
        await process_async(ANSWERED, session, timeout=300)
        session.sendline("exit")
        await session.expect(pexpect.EOF)


class Collector(asyncssh.SSHClientSession):  # type: ignore[type-arg]
    """The floor's reader: keeps what arrives, wakes whoever waits."""

    def __init__(self) -> None:
        self.data = bytearray()
        self.searched = 0
        self.waiter: asyncio.Future[None] | None = None
        self.closed = False

    def data_received(self, data: bytes, datatype: Any) -> None:
        self.data += data
        if self.waiter is not None and not self.waiter.done():
            self.waiter.set_result(None)

    def connection_lost(self, exc: Exception | None) -> None:
        self.closed = True
        if self.waiter is not None and not self.waiter.done():
            self.waiter.set_result(None)

    async def until(self, pattern: re.Pattern[bytes], window: int = 4096
                    ) -> None:
        while True:
            start = max(self.searched, len(self.data) - window)
            found = pattern.search(self.data, start)
            if found:
                del self.data[:found.end()]
                self.searched = 0
                return
            self.searched = max(0, len(self.data) - window)
            if self.closed:
                raise EOFError
            self.waiter = asyncio.get_running_loop().create_future()
            await self.waiter


ANSWER_BYTES = re.compile((ANSWER + r"(?s:.*)" + PROMPT).encode())


async def plain_async(server: Server) -> None:
    async with asyncssh.connect(
            "127.0.0.1", server.port, username=USER,
            password=server.password, known_hosts=server.known_hosts,
            agent_path=None, client_keys=None,
            connect_timeout=300) as conn:
        channel, session = await conn.create_session(
            Collector, term_type="xterm", encoding=None)
        await session.until(PROMPT_BYTES)
        channel.write(COMMAND.encode() + b"\n")
        await session.until(ANSWER_BYTES)
        channel.write(b"exit\n")
        await channel.wait_closed()


def plain_sync(server: Server) -> None:
    asyncio.run(plain_async(server))


# -- measuring -------------------------------------------------------------------

def cpu() -> float:
    own = resource.getrusage(resource.RUSAGE_SELF)
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (own.ru_utime + own.ru_stime + children.ru_utime
            + children.ru_stime)


def rss() -> int:
    with open("/proc/self/statm") as file:
        return int(file.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def in_a_row(row: Callable[[Server], None], server: Server,
             count: int) -> float:
    began = time.perf_counter()
    for _ in range(count):
        row(server)
    return (time.perf_counter() - began) / count


class Ticks:
    """The loop's longest step (one callback or task step) in CPU seconds
    of its thread, and the same without the collector's pauses inside it
    (the interpreter's, whichever step sets it off); the longest such
    pause; the process's peak memory, while it runs."""

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        self.worst = 0.0
        self.worst_own = 0.0
        self.what = ""
        self.gc_worst = 0.0
        self.gc_spent = 0.0
        self._gc_began = 0.0
        self.peak = rss()
        self.base = self.peak
        self.saved = asyncio.events.Handle._run
        ticks = self
        run = self.saved

        def timed(handle: asyncio.events.Handle) -> None:
            began, collected = time.thread_time(), ticks.gc_spent
            run(handle)
            spent = time.thread_time() - began
            own = spent - (ticks.gc_spent - collected)
            ticks.worst = max(ticks.worst, spent)
            if own > ticks.worst_own:
                ticks.worst_own = own
                ticks.what = repr(handle)[:160]

        asyncio.events.Handle._run = timed  # type: ignore[method-assign]
        gc.callbacks.append(self._collecting)

    def _collecting(self, phase: str, info: dict[str, int]) -> None:
        if threading.current_thread() is not threading.main_thread():
            return
        if phase == "start":
            self._gc_began = time.thread_time()
        else:
            pause = time.thread_time() - self._gc_began
            if os.environ.get("BENCH_SHOW_GC") and pause > 0.02:
                print("  gc gen %d %.1f ms collected %d frozen %d counts %s"
                      % (info["generation"], pause * 1000, info["collected"],
                         gc.get_freeze_count(), gc.get_count()), file=sys.stderr)
            self.gc_spent += pause
            self.gc_worst = max(self.gc_worst, pause)

    def stop(self) -> None:
        asyncio.events.Handle._run = self.saved  # type: ignore[method-assign]
        gc.callbacks.remove(self._collecting)

    async def watch(self) -> None:
        while True:
            self.peak = max(self.peak, rss())
            await asyncio.sleep(0.05)


def at_once(row: Callable[..., Awaitable[None]], args: tuple[Any, ...],
            count: int, quiet: bool = False
            ) -> tuple[float, float, Ticks, float, int]:
    """(wall, CPU, the loop's steps, memory growth, failures)."""
    loop = asyncio.new_event_loop()
    ticks = Ticks(loop)
    failures = 0

    async def main() -> None:
        nonlocal failures
        watcher = asyncio.ensure_future(ticks.watch())
        # Started together, but not all in one step of the loop: making
        # thousands of tasks at once would be the harness's own long step.
        with quiet_collector() if quiet else contextlib.nullcontext():
            tasks = []
            for n in range(count):
                tasks.append(asyncio.ensure_future(row(*args)))
                if n % 250 == 249:
                    await asyncio.sleep(0)
            results = await asyncio.gather(*tasks, return_exceptions=True)
        watcher.cancel()
        errors = [r for r in results if isinstance(r, BaseException)]
        failures = len(errors)
        if errors:
            print("  %d failed, e.g. %r" % (failures, errors[0]),
                  file=sys.stderr)

    began, spent = time.perf_counter(), cpu()
    try:
        loop.run_until_complete(main())
    finally:
        ticks.stop()
        loop.close()
    if os.environ.get("BENCH_SHOW_WORST"):
        print("  longest step without collector pauses %.1f ms: %s"
              % (ticks.worst_own * 1000, ticks.what))
    return (time.perf_counter() - began, cpu() - spent, ticks,
            ticks.peak - ticks.base, failures)


async def bulk_tavrel(session: AsyncSSHSession) -> None:
    session.sendline(BULK_COMMAND)
    await process_async(Dialog([[BULK_DONE]]), session, timeout=600)
    await process_async(SHELL, session, timeout=60)


def bulk_rows(server: Server, rounds: int) -> dict[str, float]:
    times = {"32 MiB, pexpect over ssh": math.inf,
             "32 MiB, tavrel": math.inf,
             "32 MiB, plain asyncssh": math.inf}
    done = re.compile(BULK_DONE.encode())
    for _ in range(rounds):
        child = pexpect.spawn("ssh", ssh_args(server), encoding="utf-8",
                              env=ENV)
        LOGIN.process(child, timeout=60, context=context(server))
        child.delaybeforesend = None
        began = time.perf_counter()
        child.sendline(BULK_COMMAND)
        Dialog([[BULK_DONE]]).process(child, timeout=600)
        times["32 MiB, pexpect over ssh"] = min(
            times["32 MiB, pexpect over ssh"], time.perf_counter() - began)
        child.close(force=True)

        async def ours() -> float:
            async with AsyncSSHSession("127.0.0.1", server.port,
                                       **tavrel_options(server)) as s:
                await process_async(SHELL, s, timeout=60)
                began = time.perf_counter()
                s.sendline(BULK_COMMAND)
                await process_async(Dialog([[BULK_DONE]]), s, timeout=600)
                return time.perf_counter() - began

        async def plain() -> float:
            async with asyncssh.connect(
                    "127.0.0.1", server.port, username=USER,
                    password=server.password,
                    known_hosts=server.known_hosts, agent_path=None,
                    client_keys=None) as conn:
                channel, session = await conn.create_session(
                    Collector, term_type="xterm", encoding=None)
                await session.until(PROMPT_BYTES)
                began = time.perf_counter()
                channel.write(BULK_COMMAND.encode() + b"\n")
                await session.until(done, window=64)
                return time.perf_counter() - began

        times["32 MiB, tavrel"] = min(times["32 MiB, tavrel"],
                                      asyncio.run(ours()))
        times["32 MiB, plain asyncssh"] = min(
            times["32 MiB, plain asyncssh"], asyncio.run(plain()))
    return times


# -- the lab in other processes ----------------------------------------------------

def start_labs(count: int) -> tuple[list[subprocess.Popen[bytes]],
                                    list[dict[str, Any]]]:
    home = tempfile.mkdtemp(prefix="tavrel-labs-")
    labs, ports = [], []
    for n in range(count):
        path = os.path.join(home, "lab%d.json" % n)
        labs.append(subprocess.Popen(
            [sys.executable, "-m", "tavrel.demo.lab", "--telnet-port", "-1",
             "--configured", "--ports-file", path],
            stdout=subprocess.DEVNULL, env=ENV))
        for _ in range(400):
            if os.path.exists(path):
                break
            time.sleep(0.05)
        with open(path) as file:
            ports.append(json.load(file))
    shutil.rmtree(home, ignore_errors=True)
    return labs, ports


async def lab_session(lab: dict[str, Any]) -> None:
    async with AsyncSSHSession(
            "127.0.0.1", lab["ssh"], username="admin",
            password=SecretText("tavrel"),
            known_hosts=lab["known_hosts"].encode(), connect_timeout=600,
            login_timeout=600, agent_path=None, client_keys=None) as s:
        await process_async(Dialog([[r"SW-1>$"]]), s, timeout=600)
        s.sendline("show version")
        await process_async(Dialog([[r"uptime(?s:.*)SW-1>$"]]), s,
                            timeout=600)


def lab_row(count: int, processes: int, quiet: bool
            ) -> tuple[float, float, Ticks, float, int]:
    labs, ports = start_labs(processes)
    spread = iter(range(count))

    async def one() -> None:
        await lab_session(ports[next(spread) % len(ports)])

    try:
        return at_once(one, (), count, quiet=quiet)
    finally:
        for lab in labs:
            lab.send_signal(signal.SIGTERM)
        for lab in labs:
            try:
                lab.wait(30)
            except subprocess.TimeoutExpired:
                lab.kill()


# -- the report ----------------------------------------------------------------------

def verdict(value: float, target: float) -> str:
    return "ok" if value <= target else "MISSED"


def raise_fd_limit(wanted: int) -> None:
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < wanted:
        limit = wanted if hard == resource.RLIM_INFINITY else min(wanted,
                                                                  hard)
        resource.setrlimit(resource.RLIMIT_NOFILE, (limit, hard))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="a short smoke run")
    parser.add_argument("--lab-row", type=int, metavar="N",
                        help="only the lab row, with N sessions")
    parser.add_argument("--quiet-collector", action="store_true",
                        help="the lab row inside quiet_collector()")
    options = parser.parse_args()
    if options.lab_row:
        report_lab_row(options.lab_row, options.quiet_collector)
        return
    quick = options.quick
    rounds = 1 if quick else 3
    logins = 3 if quick else 20
    crowds = [10] if quick else [100, 1000]
    lab_count = 50 if quick else 5000
    if os.geteuid() != 0 or shutil.which("/usr/sbin/sshd") is None \
            or shutil.which("ssh") is None:
        raise SystemExit("needs root, sshd and ssh")
    raise_fd_limit(65536)
    server = Server()
    try:
        print("%-40s %10s %10s %8s %8s" % ("row", "seconds", "CPU s",
                                           "ratio", "target"))
        print("-" * 80)
        rows = {"login+command+close, pexpect over ssh": today_sync,
                "login+command+close, tavrel": tavrel_sync,
                "login+command+close, plain asyncssh": plain_sync}
        best = dict.fromkeys(rows, math.inf)
        for _ in range(rounds):
            for name, row in rows.items():
                best[name] = min(best[name], in_a_row(row, server, logins))
        today = best["login+command+close, pexpect over ssh"]
        for name, seconds in best.items():
            target = "0.50" if name.endswith("tavrel") else "-"
            print("%-40s %10.3f %10s %8.2f %8s %s" % (
                name, seconds, "", seconds / today, target,
                verdict(seconds / today, 0.5) if target != "-" else ""))

        print()
        print("%-40s %10s %10s %10s %10s %s" % (
            "sessions at once", "wall s", "CPU s", "MB", "failed", ""))
        for count in crowds:
            results = {}
            for label, row in (("pexpect over ssh", today_async),
                               ("tavrel", tavrel_async),
                               ("plain asyncssh", plain_async)):
                results[label] = min((at_once(row, (server,), count)
                                      for _ in range(rounds if count <= 100
                                                     else 1)),
                                     key=lambda r: r[0])
            for label, result in results.items():
                print("%-40s %10.3f %10.3f %10.1f %10d" % (
                    "%d at once, %s" % (count, label), result[0],
                    result[1], result[3] / 1e6, result[4]))
            ours, floor = results["tavrel"], results["plain asyncssh"]
            print("  %-38s wall %.2f, CPU %.2f (target 1.20) %s" % (
                "tavrel / plain", ours[0] / floor[0], ours[1] / floor[1],
                verdict(max(ours[0] / floor[0], ours[1] / floor[1]), 1.2)))
            today_row = results["pexpect over ssh"]
            print("  %-38s wall %.2f, CPU %.2f" % (
                "tavrel / pexpect over ssh", ours[0] / today_row[0],
                ours[1] / today_row[1]))

        print()
        bulk = bulk_rows(server, rounds)
        floor = bulk["32 MiB, plain asyncssh"]
        for name, seconds in bulk.items():
            target = "1.20" if name.endswith("tavrel") else "-"
            print("%-40s %10.3f %10s %8.2f %8s %s" % (
                name, seconds, "", seconds / floor, target,
                verdict(seconds / floor, 1.2) if target != "-" else ""))
    finally:
        server.stop()

    print()
    # In a process of its own: the rows before leave this one's memory
    # grown, which new sessions would reuse unseen.
    for quiet in ([], ["--quiet-collector"]):
        done = subprocess.run([sys.executable, __file__, "--lab-row",
                               str(lab_count)] + quiet, env=dict(os.environ))
        if done.returncode:
            raise SystemExit("the lab row failed")


def report_lab_row(count: int, quiet: bool) -> None:
    raise_fd_limit(65536)
    processes = 2
    wall, spent, ticks, grown, failures = lab_row(count, processes, quiet)
    print("%d sessions at once against %d lab processes, one loop%s:"
          % (count, processes,
             ", in quiet_collector()" if quiet else ""))
    print("  wall %.1f s, CPU %.1f s, %d failed (target 0) %s"
          % (wall, spent, failures, verdict(failures, 0)))
    print("  longest loop step %.1f ms of CPU, %.1f ms without the "
          "collector's pauses (target 50) %s; longest collector pause "
          "%.1f ms" % (ticks.worst * 1000, ticks.worst_own * 1000,
                       verdict(ticks.worst_own, 0.05),
                       ticks.gc_worst * 1000))
    if quiet:
        print("  longest loop step with the collector's pauses %.1f ms "
              "(target 50) %s" % (ticks.worst * 1000,
                                  verdict(ticks.worst, 0.05)))
    print("  memory %.1f KB per session (peak growth over %d)"
          % (grown / count / 1024, count))


if __name__ == "__main__":
    main()
