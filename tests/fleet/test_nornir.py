"""The Nornir connection plugin and tasks, under Nornir's own threaded
runner, against the lab's switch."""

import pytest
import yaml

pytest.importorskip("asyncssh")
pytest.importorskip("nornir")

from nornir import InitNornir  # noqa: E402

from tavrel.core.errors import ConnectError, LoginError  # noqa: E402
from tavrel.eal.dialogs import Dialog  # noqa: E402
from tavrel.fleet.nornir import tavrel_command, tavrel_dialog  # noqa: E402

VERSION = ("Simulated switch software, version 1.0\n"
           "SW-1 uptime is 3 weeks, 2 days\n48 Gigabit Ethernet interfaces")


@pytest.fixture
def nr(lab, tmp_path, closed_port):
    hosts = {}
    for number in range(30):
        telnet = number % 5 == 0
        hosts["sw%02d" % number] = {
            "port": lab.telnet_port if telnet else lab.ssh_port,
            "groups": ["telnet"] if telnet else []}
    hosts["closed"] = {"port": closed_port}
    hosts["refused"] = {"port": lab.ssh_port, "password": "wrong"}
    # A platform name that is not tavrel's, and its override in the host's
    # connection_options.
    hosts["mystery"] = {"port": lab.ssh_port, "platform": "mystery"}
    hosts["overridden"] = {
        "port": lab.ssh_port, "platform": "mystery",
        "connection_options": {"tavrel": {"platform": "network_cli"}}}
    extras = {"known_hosts": lab.write_known_hosts(
                  str(tmp_path / "known_hosts")),
              "connect_timeout": 10, "timeout": 10,
              "credentials": {"enable": {"password": "tavrel-enable"}}}
    files = {
        "hosts.yaml": hosts,
        # Nornir replaces extras as a whole, not key by key.
        "groups.yaml": {"telnet": {"connection_options": {"tavrel": {
            "extras": {"session": "telnet", **extras}}}}},
        "defaults.yaml": {
            "hostname": "127.0.0.1", "username": "admin",
            "password": "tavrel", "platform": "network_cli",
            "connection_options": {"tavrel": {"extras": extras}}},
    }
    for name, data in files.items():
        (tmp_path / name).write_text(yaml.safe_dump(data))
    nornir = InitNornir(
        runner={"plugin": "threaded", "options": {"num_workers": 10}},
        inventory={"plugin": "SimpleInventory", "options": {
            "host_file": str(tmp_path / "hosts.yaml"),
            "group_file": str(tmp_path / "groups.yaml"),
            "defaults_file": str(tmp_path / "defaults.yaml")}},
        logging={"enabled": False})
    yield nornir
    nornir.close_connections()


def test_a_command_and_a_dialog_over_the_inventory(nr):
    results = nr.run(task=tavrel_command, command="show version")
    assert set(results) == set(nr.inventory.hosts)
    failed = {name: type(result[0].exception)
              for name, result in results.items() if result.failed}
    assert failed == {"closed": ConnectError, "refused": LoginError,
                      "mystery": ValueError}
    for name, result in results.items():
        if name not in failed:
            assert result[0].result == VERSION, name

    # The connections stay open for the next task; the dialog gets the
    # device's credentials.
    healthy = nr.filter(filter_func=lambda host: host.name not in failed)
    enable = Dialog([[r"Password: $", "sendline_cred_pass(enable)", None,
                      True], [r"SW-1#$", None]])
    results = healthy.run(task=tavrel_dialog, dialog=enable,
                          command="enable")
    assert not results.failed
    assert {result[0].result.kind for result in results.values()} == \
        {"match"}
    results = healthy.run(task=tavrel_command, command="show running-config")
    assert all("hostname SW-1" in result[0].result
               for result in results.values())
