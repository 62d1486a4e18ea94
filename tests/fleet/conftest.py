"""The fleet tests' lab: one LabThread serves every host, each host a
name of its own at the lab's address and port."""

import socket

import pytest

from tavrel.fleet import Credential, Host

pytest.importorskip("asyncssh")

from tavrel.demo.lab import LabThread  # noqa: E402

PASSWORD_ENV = "TAVREL_FLEET_TEST_PASSWORD"


@pytest.fixture(scope="package")
def lab():
    with LabThread() as running:
        yield running


@pytest.fixture(autouse=True)
def lab_password(monkeypatch):
    monkeypatch.setenv(PASSWORD_ENV, "tavrel")


def lab_host(lab, name, session="ssh", **fields):
    port = lab.ssh_port if session == "ssh" else lab.telnet_port
    values = dict(hostname="127.0.0.1", port=port, session=session,
                  username="admin", password=Credential(env=PASSWORD_ENV),
                  options={"known_hosts": lab.known_hosts}
                  if session == "ssh" else {})
    values.update(fields)
    return Host(name, **values)


@pytest.fixture
def closed_port():
    """A port nothing listens on: connecting is refused."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.fixture
def stalled_port():
    """A port that takes connections and never says anything."""
    with socket.socket() as server:
        server.bind(("127.0.0.1", 0))
        server.listen(64)
        yield server.getsockname()[1]
