"""The demo scenario: dialogs driving the simulated network device.

``python -m tavrel.demo`` starts the device lab (:mod:`tavrel.demo.lab`),
connects to the switch's console over the lab's SSH, logs in, enters
privileged mode, pages through its configuration, saves it and logs out,
each step a dialog, built three ways: lists of statement arguments with
action texts, ``Statement`` objects with callables, and a ``DialogMaker``
subclass.  Without asyncssh (``pip install tavrel[lab]``) it runs the
device program of :mod:`tavrel.demo.device` on a pseudo-terminal instead.
"""

import argparse
import os
import re
import secrets
import sys
import time

import pexpect

from tavrel.eal.dialogs import (Dialog, DialogMaker, Statement,
                                statement_decorator)
from tavrel.utils import SecretText, to_plaintext

USER_PROMPT = r"SW-1>$"
PRIVILEGED_PROMPT = r"SW-1#$"


class StepFailed(Exception):
    """A demo step did not end the way it should."""


# -- step 1: log in; statement lists with action texts -----------------------

def wake_up(spawn, session):
    # The console says nothing until it gets an Enter; a silent device gets
    # three of them before the demo gives up.
    session["wake_ups"] = session.get("wake_ups", 0) + 1
    if session["wake_ups"] > 3:
        raise StepFailed("the device does not answer")
    spawn.sendline("")


def login_refused(spawn):
    raise StepFailed("the device refused the credentials")


def login_dialog():
    return Dialog([
        # Before the prompts: a refusal is followed by a new prompt.
        [r"% Login invalid", login_refused],
        [r"Username: $", "sendline_cred_user(device)", None, True, False],
        [r"Password: $", "sendline_cred_pass(device)", None, True, False],
        [r"\[yes/no\]: $", "sendline(no)", None, True, False],
        [USER_PROMPT, None],
        ["__timeout__", wake_up, None, True, False],
    ])


# -- step 2: enable; Statement objects with callables ------------------------

def send_enable_password(spawn, context):
    spawn.sendline(to_plaintext(context["credentials"]["enable"]["password"]))


def access_denied(spawn):
    raise StepFailed("the enable password was refused")


def note_privileged(spawn, session):
    session["privileged"] = True


def session_lost(session):
    session["lost"] = True


def enable_dialog():
    return Dialog([
        Statement(r"Password: $", send_enable_password, loop_continue=True),
        Statement(r"% Access denied", access_denied),
        Statement(PRIVILEGED_PROMPT, note_privileged),
        Statement("__eof__", session_lost),
    ])


# -- step 3: the configuration behind --More--; a DialogMaker subclass -------

class RunningConfig(DialogMaker):
    """Pages through ``show running-config``."""

    @statement_decorator(r" --More-- $", loop_continue=True,
                         continue_timer=True)
    def next_page(spawn, session):
        session["pages"] = session.get("pages", 1) + 1
        spawn.send(" ")

    @statement_decorator(PRIVILEGED_PROMPT)
    def done(spawn):
        pass

    @statement_decorator("__eof__")
    def lost(session):
        session["lost"] = True


def config_text(output):
    """The configuration lines of the command's output, pager prompts and
    the command echo and the final prompt left out."""
    text = re.sub(r" --More-- \r *\r", "", output).replace("\r\n", "\n")
    lines = text.split("\n")
    return lines[1:-1]


# -- step 4: a slow command; the timer restarts on every sign of life --------

def write_dialog():
    return Dialog([
        [r"\.", None, None, True, True],
        [r"\[OK\]", None, None, True, False],
        [PRIVILEGED_PROMPT, None],
    ])


# -- step 5: log out; the session ends ---------------------------------------

def logout_dialog():
    return Dialog([["__eof__", None]])


# -- running the steps -------------------------------------------------------

def device_settings(pace, device_options, credentials):
    """The device's options, as its program takes them."""
    from tavrel.demo import device

    options = device.parse_options([
        "--quiet-console",
        "--username", to_plaintext(credentials["device"]["username"]),
        # "=": a password may begin with "-".
        "--password=" + to_plaintext(credentials["device"]["password"]),
        "--enable-password="
        + to_plaintext(credentials["enable"]["password"]),
        "--pace", str(pace), "--write-steps", "5",
        *device_options,
    ])
    return device.switch_options(options)


def start_device(pace, device_options, credentials, out):
    """The switch behind the lab's SSH console server: (the session, what
    to stop when done)."""
    try:
        from tavrel.demo.lab import LabThread
        from tavrel.sessions import SSHSession
    except ImportError:
        return start_device_program(pace, device_options, credentials,
                                    out), None
    settings = device_settings(pace, device_options, credentials)
    lab = LabThread(username=settings.username, password=settings.password,
                    switch=settings, console=True)
    lab.start()
    try:
        child = SSHSession("127.0.0.1", lab.ssh_port,
                           username=settings.username,
                           password=credentials["device"]["password"],
                           known_hosts=lab.known_hosts, timeout=10,
                           dimensions=(24, 80))
        child.logfile_read = out
        child.open()
    except BaseException:
        lab.stop()
        raise
    return child, lab


def start_device_program(pace, device_options, credentials, out):
    options = [
        "--quiet-console",
        "--username", to_plaintext(credentials["device"]["username"]),
        "--pace", str(pace), "--write-steps", "5",
        *device_options,
    ]
    # The passwords travel in the child's environment, not on its command
    # line, where any user could read them.
    env = dict(os.environ,
               TAVREL_DEVICE_PASSWORD=to_plaintext(credentials["device"]["password"]),
               TAVREL_DEVICE_ENABLE_PASSWORD=to_plaintext(credentials["enable"]["password"]))
    child = pexpect.spawn(sys.executable, ["-m", "tavrel.demo.device",
                                           *options],
                          encoding="utf-8", timeout=10, dimensions=(24, 80),
                          env=env)
    child.logfile_read = out
    return child


def run(out=None, pace=0.3, quiet=False, device_options=()):
    """Run every step, print a summary to ``out`` (standard output by
    default); return 0 when all succeeded."""
    if out is None:
        out = sys.stdout
    credentials = {
        "device": {"username": "admin",
                   "password": SecretText(secrets.token_urlsafe(9))},
        "enable": {"password": SecretText(secrets.token_urlsafe(9))},
    }
    context = {"credentials": credentials}
    session = {}
    # The pace of the device's slow output: "write memory" takes five beats,
    # and a timeout of two and a half lets only a dialog that restarts its
    # clock on every beat finish.
    beat = max(pace, 0.05)
    child, lab = start_device(pace, device_options, credentials,
                              None if quiet else out)

    def log_in():
        result = login_dialog().process(child, timeout=max(4 * beat, 1.0),
                                        context=context, session=session)
        if result.kind != "match":
            raise StepFailed("no user prompt")
        return "logged in after %d wake-up(s)" % session.get("wake_ups", 0)

    def enable():
        child.sendline("enable")
        enable_dialog().process(child, timeout=5, context=context,
                                session=session)
        if session.get("lost") or not session.get("privileged"):
            raise StepFailed("no privileged prompt")
        return "privileged prompt reached"

    def show_config():
        child.sendline("show running-config")
        RunningConfig()
        result = RunningConfig.dialog.process(child, timeout=5,
                                              session=session)
        lines = config_text(result.output)
        if session.get("lost") or "end" not in lines:
            raise StepFailed("the configuration did not come through")
        return "%d lines on %d pages, %d interfaces" % (
            len(lines), session.get("pages", 1),
            sum(line.startswith("interface ") for line in lines))

    def write_memory():
        child.sendline("write memory")
        result = write_dialog().process(child, timeout=2.5 * beat,
                                        session=session)
        if result.kind != "match":
            raise StepFailed("no prompt after saving")
        return "saved under a %.2f s timeout, restarted by every dot" % (
            2.5 * beat)

    def log_out():
        child.sendline("exit")
        result = logout_dialog().process(child, timeout=5)
        child.close()
        if result.kind != "eof" or child.exitstatus != 0:
            raise StepFailed("the session did not end cleanly")
        return "session closed, device exit status 0"

    steps = [
        ("log in", "statement lists with action texts", log_in),
        ("enable", "Statement objects with callables", enable),
        ("show running-config", "a DialogMaker subclass", show_config),
        ("write memory", "continue_timer on a slow command", write_memory),
        ("log out", "an end-of-file statement", log_out),
    ]
    report = []
    failed = False
    try:
        for name, how, step in steps:
            if failed:
                report.append((name, "skipped", ""))
                continue
            out.write("\n\n=== %s (%s) ===\n" % (name, how))
            out.flush()
            started = time.monotonic()
            try:
                note = step()
            except Exception as exc:  # reported, and the demo fails
                failed = True
                report.append((name, "FAILED", "%s: %s"
                               % (type(exc).__name__, exc)))
            else:
                report.append((name, "ok", "%s (%.1f s)"
                               % (note, time.monotonic() - started)))
    finally:
        child.close(force=True)
        if lab is not None:
            lab.stop()
    out.write("\n\n=== summary ===\n")
    for name, status, note in report:
        out.write("%-20s %-8s %s\n" % (name, status, note))
    out.write("demo %s\n" % ("FAILED" if failed else "succeeded"))
    out.flush()
    return 1 if failed else 0


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python -m tavrel.demo",
        description="Drive a simulated network device with tavrel dialogs.")
    parser.add_argument("--quiet", action="store_true",
                        help="do not show the live session")
    parser.add_argument("--pace", type=float, default=0.3,
                        help="seconds between the device's slow outputs")
    options = parser.parse_args(argv)
    return run(pace=options.pace, quiet=options.quiet)
