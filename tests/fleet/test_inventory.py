"""Inventories: YAML with groups and defaults, CSV, and the credential
references that stand for every secret."""

import os
import textwrap

import pytest

from tavrel.core.errors import CredentialError, InventoryError
from tavrel.fleet import Credential, Inventory
from tavrel.utils import SecretText

pytest.importorskip("yaml")

INVENTORY = """\
defaults:
  username: ops
  port: 22
  password: {env: FLEET_PW}
  data: {site: default, tier: 3}
  options: {connect_timeout: 5}
groups:
  core:
    groups: [region]
    port: 2222
    data: {tier: 1}
  edge:
    platform: posix_shell
    data: {tier: 2, role: edge}
  region:
    username: region-ops
    data: {site: ams}
    secrets: {enable: {file: /etc/enable}}
hosts:
  sw-1:
    hostname: 10.0.0.1
    groups: [core, edge]
    data: {rack: 4}
  sw-2:
    groups: [edge, core]
    username: own
    options: {known_hosts: /k}
  sw-3: {}
"""


def check_precedence(inventory):
    one, two, three = inventory["sw-1"], inventory["sw-2"], inventory["sw-3"]
    # The host, then its groups in order (each before its own groups), then
    # the defaults; mappings merged key by key in the same order.
    assert (one.hostname, one.port, one.platform, one.username) == (
        "10.0.0.1", 2222, "posix_shell", "region-ops")
    assert one.data == {"rack": 4, "tier": 1, "role": "edge", "site": "ams"}
    assert (two.hostname, two.username, two.data["tier"]) == ("sw-2", "own",
                                                              2)
    assert two.options == {"connect_timeout": 5, "known_hosts": "/k"}
    assert two.secrets == {"enable": Credential(file="/etc/enable")}
    assert (three.port, three.platform, three.username, three.data) == (
        22, "network_cli", "ops", {"site": "default", "tier": 3})
    assert three.password == Credential(env="FLEET_PW")
    assert [h.name for h in inventory.filter(group="region")] == [
        "sw-1", "sw-2"]
    assert [h.name for h in inventory.filter(role="edge", port=2222)] == [
        "sw-1", "sw-2"]
    assert [h.name for h in inventory.filter(role="edge", username="own")
            ] == ["sw-2"]
    assert [h.name for h in inventory.filter(platform="network_cli")] == [
        "sw-3"]


def test_groups_and_defaults_one_file_or_a_folder(tmp_path):
    path = tmp_path / "inventory.yaml"
    path.write_text(INVENTORY)
    check_precedence(Inventory.from_yaml(path))
    import yaml
    parts = yaml.safe_load(INVENTORY)
    folder = tmp_path / "inventory"
    folder.mkdir()
    for name, values in parts.items():
        (folder / ("%s.yaml" % name)).write_text(yaml.safe_dump(values))
    check_precedence(Inventory.from_yaml(folder))


@pytest.mark.parametrize("text, where", [
    ("hosts: {sw-1: {password: hunter2-secret}}", "host 'sw-1', field 'password'"),
    ("groups: {core: {password: hunter2-secret}}\nhosts: {}",
     "group 'core', field 'password'"),
    ("defaults: {password: hunter2-secret}\nhosts: {}",
     "defaults, field 'password'"),
    ("hosts: {sw-1: {secrets: {enable: hunter2-secret}}}",
     "host 'sw-1', field 'secrets.enable'"),
    ("hosts: {sw-1: {pasword: {env: X}}}", "host 'sw-1', field 'pasword'"),
    ("hosts: {sw-1: {groups: [nope]}}\ngroups: {core: {}}",
     "host 'sw-1', field 'groups': no group named 'nope'"),
    ("hosts: {sw-1: {groups: [a]}}\ngroups: {a: {groups: [b]}, b: {groups: [a]}}",
     "groups form a cycle: a -> b -> a"),
    ("hosts: {sw-1: {port: 70000}}", "host 'sw-1', field 'port'"),
    ("hosts: {sw-1: {session: serial}}", "host 'sw-1', field 'session'"),
    ("hosts:\n  sw-1: {password: hunter2-secret\n", ", line 3, column 1"),
    ("hosts: [sw-1]", "hosts must be a mapping"),
    # The first sw-1 would otherwise vanish without a word.
    ("hosts:\n  sw-1: {port: 22}\n  sw-1: {port: 23}\n",
     "line 3, column 3: 'sw-1' is given twice"),
])
def test_faults_are_named_and_clear_passwords_refused(tmp_path, text, where):
    path = tmp_path / "bad.yaml"
    path.write_text(text)
    with pytest.raises(InventoryError) as caught:
        Inventory.from_yaml(path)
    message = str(caught.value)
    assert message.startswith(str(path)) and where in message, message
    assert "hunter2" not in message


def test_csv_rows_groups_references_and_data(tmp_path):
    path = tmp_path / "hosts.csv"
    path.write_text(textwrap.dedent("""\
        name,hostname,port,platform,session,username,password,groups,rack
        sw-1,10.0.0.1,2222,,telnet,ops,env:PW,core; edge,r4
        sw-2,,,posix_shell,,,file:~/pw,,
        """))
    one, two = Inventory.from_csv(path, defaults={"username": "dflt"})
    assert (one.hostname, one.port, one.session, one.username, one.groups,
            one.data) == ("10.0.0.1", 2222, "telnet", "ops",
                          ("core", "edge"), {"rack": "r4"})
    assert one.password == Credential(env="PW")
    assert (two.hostname, two.platform, two.username, two.password) == (
        "sw-2", "posix_shell", "dflt", Credential(file="~/pw"))
    path.write_text("name,password\nsw-1,hunter2-secret\n")
    with pytest.raises(InventoryError, match="host 'sw-1', field 'password'"
                       ) as caught:
        Inventory.from_csv(path)
    assert "hunter2" not in str(caught.value)


def test_credentials_resolve_where_they_are_used(tmp_path, monkeypatch):
    monkeypatch.setenv("FLEET_PW", "s3cret")
    secret = Credential(env="FLEET_PW").resolve()
    assert isinstance(secret, SecretText) and secret.plaintext == "s3cret"
    monkeypatch.delenv("FLEET_PW")
    with pytest.raises(CredentialError, match="FLEET_PW is not set"):
        Credential(env="FLEET_PW").resolve()
    path = tmp_path / "pw"
    path.write_text("s3cret\n")
    for mode, ok in ((0o600, True), (0o400, True), (0o640, False),
                     (0o604, False)):
        os.chmod(path, mode)
        if ok:
            assert Credential(file=str(path)).resolve().plaintext == "s3cret"
        else:
            with pytest.raises(CredentialError, match="chmod 600") as caught:
                Credential(file=str(path)).resolve()
            assert str(path) in str(caught.value)
            assert "s3cret" not in str(caught.value)
    with pytest.raises(CredentialError, match="cannot read"):
        Credential(file=str(tmp_path / "missing")).resolve()
    with pytest.raises(ValueError):
        Credential(env="A", file="B")
