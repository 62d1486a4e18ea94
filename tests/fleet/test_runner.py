"""The runner against the lab: hundreds of hosts on one loop, with the
faults a fleet has: unreachable hosts, refused logins, a stalled device,
a task that fails, and a run cancelled halfway."""

import asyncio
import json
import time

import pytest
from conftest import lab_host

from tavrel.eal.dialogs import Dialog
from tavrel.fleet import (Command, Credential, Host, run, run_async,
                          run_batch, resolve_task)


async def uptime(device, host):
    if host.data.get("leak"):
        password = device.context["credentials"]["default"]["password"]
        raise RuntimeError("failed with %s" % password.plaintext)
    output = await device.send_command("show version")
    return output.splitlines()[1]


def test_hundreds_of_hosts_each_outcome_its_own(lab, closed_port,
                                                stalled_port, monkeypatch,
                                                tmp_path):
    monkeypatch.setenv("WRONG_PASSWORD", "not-tavrel")
    hosts = [lab_host(lab, "sw-%03d" % n, session="telnet" if n % 5 == 0
                      else "ssh") for n in range(300)]
    hosts += [lab_host(lab, "gone-%d" % n, port=closed_port)
              for n in range(3)]
    hosts += [lab_host(lab, "refused-ssh",
                       password=Credential(env="WRONG_PASSWORD")),
              lab_host(lab, "refused-telnet", session="telnet",
                       password=Credential(env="WRONG_PASSWORD")),
              lab_host(lab, "stalled", port=stalled_port),
              lab_host(lab, "leaky", data={"leak": True}),
              lab_host(lab, "unset", password=Credential(env="NOT_SET_X"))]
    started = time.monotonic()
    report = run(hosts, uptime, concurrency=50, timeout=3, retries=2,
                 backoff=0.01, output=tmp_path)
    assert time.monotonic() - started < 30
    assert (report.total, report.ok, report.failed) == (308, 300, 8)
    assert not report.interrupted
    assert {r.result for r in report.results if r.ok} == {
        "SW-1 uptime is 3 weeks, 2 days"}
    kinds = {r.host: (r.error_type, r.attempts) for r in report.results
             if not r.ok}
    # Only connection errors are tried again.
    assert kinds == {
        "gone-0": ("ConnectError", 3), "gone-1": ("ConnectError", 3),
        "gone-2": ("ConnectError", 3),
        "refused-ssh": ("LoginError", 1), "refused-telnet": ("LoginError", 1),
        "stalled": ("TimeoutError", 1), "leaky": ("RuntimeError", 1),
        "unset": ("CredentialError", 1)}
    assert "NOT_SET_X" in report["unset"].error
    assert report["leaky"].error == "failed with ********"
    assert "connecting" in report["stalled"].error
    assert all(r.attempts == 1 for r in report.results if r.ok)
    assert report.failures()["ConnectError"] == 3
    # Every session was closed.
    deadline = time.monotonic() + 5
    while lab.sessions and time.monotonic() < deadline:
        time.sleep(0.05)
    assert lab.sessions == 0
    lines = (tmp_path / "results.jsonl").read_text().splitlines()
    assert sorted(json.loads(line)["host"] for line in lines) == sorted(
        h.name for h in hosts)
    summary = json.loads((tmp_path / "summary.json").read_text())
    assert summary["failed_by_error"]["ConnectError"] == 3
    assert "tavrel" not in (tmp_path / "results.jsonl").read_text()


def test_a_cancelled_run_reports_what_finished_and_closes_the_rest(
        lab, tmp_path):
    async def slow(device, host):
        await asyncio.sleep(0.2 if host.data["n"] < 10 else 30)
        return host.name

    hosts = [lab_host(lab, "sw-%d" % n, data={"n": n}) for n in range(40)]

    async def main():
        running = asyncio.ensure_future(run_async(
            hosts, slow, concurrency=20, timeout=None, output=tmp_path))
        while not (tmp_path / "results.jsonl").exists() or len(
                (tmp_path / "results.jsonl").read_text().splitlines()) < 10:
            await asyncio.sleep(0.05)
        await asyncio.sleep(0.2)
        running.cancel()
        return await asyncio.wait_for(running, 10)

    report = asyncio.run(main())
    assert report.interrupted
    assert sorted(r.host for r in report.results) == sorted(
        "sw-%d" % n for n in range(10))
    assert report.unfinished == 30
    assert json.loads((tmp_path / "summary.json").read_text())["interrupted"]
    deadline = time.monotonic() + 5
    while lab.sessions and time.monotonic() < deadline:
        time.sleep(0.05)
    assert lab.sessions == 0


async def first_line(device):
    return (await device.send_command("show version")).splitlines()[0]


SHOW_CLOCK = Dialog([[r"\d\d:\d\d:\d\d.*\n(?s:.*)SW-1>$", None]])


@pytest.mark.parametrize("task, check", [
    (Command("show version"), lambda r: r.startswith("Simulated switch")),
    ("test_runner:first_line", lambda r: r.startswith("Simulated switch")),
    (first_line, lambda r: r.startswith("Simulated switch")),
    (SHOW_CLOCK, lambda r: r["kind"] == "match"),
])
def test_the_kinds_of_task(lab, task, check, monkeypatch):
    if isinstance(task, Dialog):
        original = task

        async def clock(device, host):
            device.session.sendline("show clock")
            return await resolve_task(original)(device, host)
        task = clock
    results = run_batch([lab_host(lab, "sw-1")], task, timeout=20)
    assert results[0].ok, results[0].error
    assert check(results[0].result)


@pytest.mark.parametrize("task, error", [
    ("no_colon", "module:name"),
    ("no_such_module_x:f", "cannot import"),
    ("os:no_such_function", "has no"),
    (42, "not int"),
])
def test_tasks_that_cannot_be_run(task, error):
    with pytest.raises((ValueError, TypeError), match=error):
        resolve_task(task)


def test_hosts_and_results_cross_processes():
    import pickle

    host = Host("sw", password=Credential(file="/etc/pw"),
                secrets={"enable": Credential(env="EN")}, data={"a": [1]})
    assert pickle.loads(pickle.dumps(host)) == host
    assert str(host.password) == "file:/etc/pw"


def test_a_shell_fleet_against_openssh(sshd_server, login_user, monkeypatch):
    monkeypatch.setenv("SSHD_PASSWORD", login_user["password"].plaintext)
    hosts = [Host("shell-%d" % n, "127.0.0.1", sshd_server.port,
                  platform="posix_shell", username=login_user["username"],
                  password=Credential(env="SSHD_PASSWORD"),
                  options={"known_hosts": sshd_server.known_hosts,
                           "term_type": "dumb"}) for n in range(8)]
    report = run(hosts, Command("echo $((6 * 7)) $(whoami)"), concurrency=4,
                 timeout=30)
    assert [r.result for r in report.results] == [
        "42 %s" % login_user["username"]] * 8, report.table()
