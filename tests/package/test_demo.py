"""The demo: the scenario against the simulated device, end to end."""

import io
import subprocess
import sys

import pytest

from tavrel.demo import scenario

STEPS = ("log in", "enable", "show running-config", "write memory",
         "log out")


@pytest.fixture
def known_secrets(monkeypatch):
    # Leading dashes: a password must never be taken for an option.
    made = iter(["-Dev1ce-Secret", "-En4ble-Secret"])
    monkeypatch.setattr(scenario.secrets, "token_urlsafe",
                        lambda n: next(made))


def summary(text):
    lines = text.split("=== summary ===\n", 1)[1].splitlines()
    return {line[:20].strip(): line[20:].split()[0] for line in lines
            if line[:20].strip() in STEPS}


def test_every_step_succeeds_and_no_secret_is_shown(known_secrets):
    out = io.StringIO()
    assert scenario.run(out=out, pace=0.2) == 0
    text = out.getvalue()
    assert summary(text) == dict.fromkeys(STEPS, "ok")
    assert "Username: admin" in text  # the live session is shown
    assert "logged in after 1 wake-up(s)" in text
    assert "Secret" not in text


def test_a_failing_step_fails_the_demo(known_secrets):
    out = io.StringIO()
    code = scenario.run(out=out, pace=0.2,
                        device_options=["--enable-password", "other"])
    text = out.getvalue()
    assert code == 1
    assert summary(text) == {"log in": "ok", "enable": "FAILED",
                             "show running-config": "skipped",
                             "write memory": "skipped", "log out": "skipped"}
    assert "the enable password was refused" in text
    assert text.rstrip().endswith("demo FAILED")


def test_command_line():
    done = subprocess.run([sys.executable, "-m", "tavrel.demo", "--quiet",
                           "--pace", "0.2"], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.rstrip().endswith("demo succeeded")
