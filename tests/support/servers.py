"""Real servers the tests drive, as fixtures: a local user with a password,
and OpenSSH's sshd on loopback logging that user in to bash."""

import os
import secrets
import shutil
import socket
import subprocess
import time
from types import SimpleNamespace

import pytest

from tavrel.utils import SecretText

# One user per test run: two runs at once (two worktrees, two interpreters)
# would otherwise reset each other's password.
USER = "tavrel-e2e-%d" % os.getpid()
# The programs run as they are installed, without the sanitizer runtime a
# sanitizer test run preloads into its own process.
ENV = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def need(*programs):
    missing = [p for p in programs if shutil.which(p) is None]
    if missing:
        pytest.skip("needs %s (.ci/run installs it with apt)"
                    % ", ".join(missing))


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for_port(port, process, what, log=None):
    for _ in range(200):
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return
        if process.poll() is not None:
            break
        time.sleep(0.05)
    process.kill()
    pytest.fail("%s did not start: %s" % (what, log.read_text()
                                          if log is not None else ""))


def _made_user(name):
    if os.geteuid() != 0:
        pytest.skip("making a user with a password needs root")
    need("useradd", "chpasswd", "userdel")
    # A password with what escapes carelessly quoted text.
    password = "-" + secrets.token_urlsafe(12) + "'\"$"
    subprocess.run(["userdel", "-r", name], capture_output=True)
    subprocess.run(["useradd", "-m", "-s", "/bin/bash", name], check=True)
    subprocess.run(["chpasswd"], input="%s:%s\n" % (name, password),
                   text=True, check=True)
    yield {"username": name, "password": SecretText(password)}
    subprocess.run(["userdel", "-r", name], capture_output=True)


@pytest.fixture(scope="session")
def login_user():
    """A local user with a fresh password, made for these tests only."""
    yield from _made_user(USER)


@pytest.fixture(scope="session")
def su_user():
    """A second such user, for ``login_user`` to become with su (root's
    password is not the tests' to set)."""
    yield from _made_user(USER + "-su")


@pytest.fixture(scope="session")
def sshd_server(tmp_path_factory, login_user):
    """An OpenSSH server on loopback that takes the user's password, or the
    client key ``client_key`` (a file without passphrase);
    ``known_hosts`` is a known_hosts file that trusts it."""
    need("/usr/sbin/sshd", "ssh", "ssh-keygen")
    home = tmp_path_factory.mktemp("sshd")
    key = home / "host_key"
    client_key = home / "client_key"
    for path in (key, client_key):
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f",
                        str(path)], check=True)
    # sshd reads it as the user, who cannot see into the test's directory.
    user_ssh = os.path.expanduser("~%s/.ssh" % login_user["username"])
    os.makedirs(user_ssh, exist_ok=True)
    with open(os.path.join(user_ssh, "authorized_keys"), "w") as keys:
        keys.write((home / "client_key.pub").read_text())
    shutil.chown(user_ssh, login_user["username"])
    port = free_port()
    (home / "sshd_config").write_text("\n".join([
        "ListenAddress 127.0.0.1", "Port %d" % port, "HostKey %s" % key,
        "PidFile %s" % (home / "pid"), "PasswordAuthentication yes",
        "KbdInteractiveAuthentication no", "UsePAM no",
        "PermitRootLogin no", "StrictModes no",
        "AuthorizedKeysFile .ssh/authorized_keys",
        "MaxStartups 200", "MaxSessions 200", ""]))
    known_hosts = home / "known_hosts"
    known_hosts.write_text("[127.0.0.1]:%d %s" % (
        port, (home / "host_key.pub").read_text()))
    os.makedirs("/run/sshd", exist_ok=True)
    log = home / "sshd.log"
    with open(log, "w") as err:
        # Its log to a file: a pipe nobody reads would stall it.
        server = subprocess.Popen(["/usr/sbin/sshd", "-D", "-e", "-f",
                                   str(home / "sshd_config")],
                                  stderr=err, env=ENV)
    wait_for_port(port, server, "sshd", log)
    yield SimpleNamespace(port=port, known_hosts=str(known_hosts),
                          client_key=str(client_key), process=server,
                          home=home)
    server.terminate()
    server.wait(5)


@pytest.fixture(scope="session")
def sshd(sshd_server):
    """The port of the OpenSSH server."""
    return sshd_server.port


@pytest.fixture(scope="session")
def telnetd(login_user):
    """inetutils' telnetd with /bin/login behind a loopback port: socat
    takes each connection and runs telnetd on it, as inetd would."""
    need("socat", "/usr/sbin/telnetd", "/bin/login")
    port = free_port()
    server = subprocess.Popen(
        ["socat", "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr,fork" % port,
         "EXEC:/usr/sbin/telnetd -h,nofork"],
        stderr=subprocess.DEVNULL, env=ENV)
    wait_for_port(port, server, "socat with telnetd")
    yield port
    server.terminate()
    server.wait(5)
