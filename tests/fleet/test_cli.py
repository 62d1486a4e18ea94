"""``tavrel run`` as users run it: a subprocess against the lab, its exit
statuses, its files, and Ctrl-C in the middle of a run."""

import json
import os
import re
import signal
import subprocess
import sys
import time

import pytest
from conftest import PASSWORD_ENV

pytest.importorskip("yaml")


def inventory(tmp_path, lab, count, extra=""):
    known_hosts = lab.write_known_hosts(str(tmp_path / "known_hosts"))
    hosts = "".join("  sw-%d: {groups: [lab]}\n" % n for n in range(count))
    path = tmp_path / "inventory.yaml"
    path.write_text(
        "defaults:\n  hostname: 127.0.0.1\n  username: admin\n"
        "  password: {env: %s}\n  options: {known_hosts: %s}\n"
        "groups:\n  lab: {port: %d}\nhosts:\n%s%s"
        % (PASSWORD_ENV, known_hosts, lab.ssh_port, hosts, extra))
    return str(path)


def tavrel(tmp_path, *args, **popen):
    env = dict(os.environ, **{PASSWORD_ENV: "tavrel"})
    command = [sys.executable, "-m", "tavrel", *args]
    if popen:
        return subprocess.Popen(command, cwd=tmp_path, env=env, text=True,
                                stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, **popen)
    return subprocess.run(command, cwd=tmp_path, env=env, text=True,
                          capture_output=True, timeout=120)


def lines(folder):
    return [json.loads(line) for line in
            (folder / "results.jsonl").read_text().splitlines()]


def test_a_run_its_files_and_its_exit_status(tmp_path, lab, closed_port):
    path = inventory(tmp_path, lab, 6, "  gone: {port: %d}\n" % closed_port)
    done = tavrel(tmp_path, "run", "-i", path, "--command", "show version",
                  "--filter", "group=lab", "--output", "out")
    assert done.returncode == 0, done.stderr
    assert [r["ok"] for r in lines(tmp_path / "out")] == [True] * 6
    assert re.search(r"^hosts +6\nok +6\nfailed +0$", done.stdout, re.M)
    # Not a terminal: no progress bar.
    assert done.stderr == ""
    done = tavrel(tmp_path, "run", "-i", path, "--command", "show version",
                  "--retries", "0", "--output", "out2")
    assert done.returncode == 1, done.stderr
    summary = json.loads((tmp_path / "out2" / "summary.json").read_text())
    assert (summary["ok"], summary["failed_by_error"]) == (
        6, {"ConnectError": 1})


@pytest.mark.parametrize("args, message", [
    (["run", "-i", "{inv}"], "one of the arguments --command --task"),
    (["run", "-i", "{inv}", "--command", "x", "--concurrency", "0"],
     "'0' is not a whole number above 0"),
    (["run", "-i", "{inv}", "--task", "no_such_module_q:f"],
     "cannot import no_such_module_q"),
    (["run", "-i", "{inv}", "--dialog", "os:getcwd"], "is not a Dialog"),
    (["run", "-i", "{inv}", "--command", "x", "--filter", "group=none"],
     "no hosts match the filters"),
    (["run", "-i", "clear.yaml", "--command", "x"],
     "clear.yaml: host 'sw-1', field 'password'"),
    (["run", "-i", "hosts.txt", "--command", "x"], "is a .yaml, .yml or .csv"),
    (["run", "-i", "odd.csv", "--command", "x"], "no platform 'net-cli'"),
    (["run", "-i", "{inv}", "--command", "x", "--batch-size", "5"],
     "--batch-size is for a run on workers"),
    ([], "usage: tavrel"),
])
def test_usage_errors_exit_2_with_a_clear_message(tmp_path, lab, args,
                                                  message):
    path = inventory(tmp_path, lab, 1)
    (tmp_path / "odd.csv").write_text("name,platform\nsw-1,net-cli\n")
    (tmp_path / "clear.yaml").write_text(
        "hosts: {sw-1: {password: hunter2-secret}}\n")
    done = tavrel(tmp_path, *[a.format(inv=path) for a in args])
    assert done.returncode == 2
    assert message in done.stderr, done.stderr
    assert "hunter2" not in done.stderr


def test_ctrl_c_stops_the_run_and_keeps_whole_lines(tmp_path, lab):
    (tmp_path / "slow_task.py").write_text(
        "import asyncio\n\n"
        "async def slow(device, host):\n"
        "    await asyncio.sleep(0.3)\n"
        "    return await device.send_command('show version')\n")
    path = inventory(tmp_path, lab, 80)
    process = tavrel(tmp_path, "run", "-i", path, "--task", "slow_task:slow",
                     "--concurrency", "4", "--output", "out",
                     start_new_session=True)
    results = tmp_path / "out" / "results.jsonl"
    deadline = time.monotonic() + 60
    while (not results.exists() or results.read_text().count("\n") < 6) \
            and time.monotonic() < deadline:
        time.sleep(0.05)
    process.send_signal(signal.SIGINT)
    stdout, stderr = process.communicate(timeout=30)
    assert process.returncode == 130, stderr
    text = results.read_text()
    assert text.endswith("\n")
    finished = lines(tmp_path / "out")
    assert 6 <= len(finished) < 80
    assert all(r["ok"] for r in finished)
    summary = json.loads((tmp_path / "out" / "summary.json").read_text())
    assert summary["interrupted"] and summary["finished"] == len(finished)
    assert "(interrupted)" in stdout
