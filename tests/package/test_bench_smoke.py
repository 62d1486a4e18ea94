"""The benchmark script runs and prints every row (its timings are not
checked: a benchmark is no timed test)."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

BENCH = pathlib.Path(__file__).resolve().parents[2] / "benchmarks" / "bench.py"

ROWS = [
    'Statement("^login: $")',
    'Statement(p, cb, {"user": "x"}), cb(spawn, user)',
    'Statement(p, "sendline(admin)")',
    'statement_action_helper("sendline_cred_pass(default)")',
    "Dialog of 50 argument lists (per statement)",
    "d1 + d2, 50 statements each (per statement of the sum)",
    "str() of a 50-statement dialog (per statement)",
    "DialogMaker subclass, 10 decorated members, instantiated",
    "memory per Statement",
]


def test_quick_run_prints_every_row():
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    done = subprocess.run([sys.executable, str(BENCH), "--quick"],
                          capture_output=True, text=True, timeout=300, env=env)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    for label in ROWS:
        row = [line for line in lines if line.startswith(label)]
        assert len(row) == 1, (label, done.stdout)
        # time (or bytes), floor, ratio[, target], verdict
        assert len(re.findall(r" \d+\.\d+\b", row[0][len(label):])) >= 3, row[0]
        assert row[0].endswith((" ok", " MISSED", " (no target)")), row[0]
    assert lines[-1].startswith("worst ratio: "), done.stdout


def test_processor_benchmark_quick_run_prints_every_row():
    script = BENCH.parent / "processor.py"
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    # This interpreter as the "base" too: the side-by-side rows run.
    done = subprocess.run([sys.executable, str(script), "--quick",
                           "--base", sys.executable],
                          capture_output=True, text=True, timeout=300,
                          env=env)
    assert done.returncode == 0, done.stderr
    for label in ["raw 64 KiB reads", "one statement", "twenty statements",
                  "growth exponent, twenty statements", "rule-less pattern",
                  "growth exponent, rule-less whole", "paging, dialog",
                  "5-prompt login", "this build / base build",
                  "memory, traced peak / output", "50 sessions, one loop",
                  "50 sessions, a thread each"]:
        assert label in done.stdout, (label, done.stdout)


@pytest.mark.slow
def test_sessions_benchmark_quick_run_prints_every_row():
    if os.geteuid() != 0 or not os.path.exists("/usr/sbin/sshd"):
        pytest.skip("the sessions benchmark needs root and sshd")
    script = BENCH.parent / "sessions.py"
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    done = subprocess.run([sys.executable, str(script), "--quick"],
                          capture_output=True, text=True, timeout=600,
                          env=env)
    assert done.returncode == 0, done.stderr
    for label in ["login+command+close, tavrel", "10 at once, tavrel",
                  "tavrel / plain", "32 MiB, plain asyncssh",
                  "sessions at once against 2 lab processes"]:
        assert label in done.stdout, (label, done.stdout)


def test_devices_benchmark_quick_run_prints_every_row():
    pytest.importorskip("asyncssh")
    script = BENCH.parent / "devices.py"
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    done = subprocess.run([sys.executable, str(script), "--quick"],
                          capture_output=True, text=True, timeout=300,
                          env=env)
    assert done.returncode == 0, done.stderr
    for label in ["show version, layer / raw", "MB show, layer / raw",
                  "netmiko send_command", "scrapli send_command"]:
        assert label in done.stdout, (label, done.stdout)


def test_build_comparison_runs_a_build_against_itself():
    import tavrel
    script = BENCH.parent / "compare.py"
    here = os.path.dirname(os.path.dirname(tavrel.__file__))
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    done = subprocess.run([sys.executable, str(script), f"one={here}", f"two={here}",
                           "--turns", "1", "--rounds", "1", "--seconds", "0.0001",
                           "--rows", "0,3"],
                          capture_output=True, text=True, timeout=300, env=env)
    assert done.returncode == 0, done.stderr
    for label in (ROWS[0], ROWS[3]):
        row = [line for line in done.stdout.splitlines() if line.startswith(label)]
        # the first build's time, then the second's and its ratio
        assert len(row) == 1 and len(row[0][len(label):].split()) == 3, done.stdout


def test_fleet_benchmark_small_run_prints_every_row():
    for module in ("asyncssh", "distributed", "nornir", "psutil"):
        pytest.importorskip(module)
    script = BENCH.parent / "fleet.py"
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    done = subprocess.run([sys.executable, str(script), "--devices", "30",
                           "--labs", "2", "--threads", "10",
                           "--rounds", "1"],
                          capture_output=True, text=True, timeout=300,
                          env=env)
    assert done.returncode == 0, done.stderr
    for label in ["single loop", "dask, 2 workers", "nornir threads (10)",
                  "dask cluster start", "dask / single loop, wall",
                  "nornir / single loop, wall", "failures: 0 ok"]:
        assert label in done.stdout, (label, done.stdout)
