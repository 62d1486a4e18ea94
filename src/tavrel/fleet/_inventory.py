"""The inventory: hosts with their address, platform, session kind and
credential references, from YAML, CSV or Python.

Credentials are only ever references (an environment variable, or a file
only its owner can read); they are read into :class:`SecretText` when a
host is connected, on the machine that connects.
"""

from __future__ import annotations

import csv
import os
import stat
from collections.abc import Callable, Iterable, Iterator, Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from tavrel.core.errors import CredentialError, InventoryError
from tavrel.utils import SecretText

__all__ = ["Credential", "Host", "Inventory"]

SESSIONS = ("ssh", "telnet")
# The fields a host, a group or the defaults may set.
FIELDS = ("hostname", "port", "platform", "session", "username", "password",
          "secrets", "groups", "data", "options")
# Merged key by key along host, groups, defaults (not replaced whole).
MERGED = ("secrets", "data", "options")
# The fields a filter compares as they are (any other name: a data key).
HOST_KEYS = ("name", "hostname", "port", "platform", "session", "username")
# The CSV columns that are host fields; any other column goes into data.
CSV_FIELDS = ("name", "hostname", "port", "platform", "session", "username",
              "password", "groups")


@dataclass(frozen=True)
class Credential:
    """A reference to a secret, never the secret itself: the environment
    variable ``env``, or the file ``file`` (which must not be readable or
    writable by its group or others).  It pickles and prints as its
    reference; :meth:`resolve` reads the secret."""

    env: str | None = None
    file: str | None = None

    def __post_init__(self) -> None:
        if (self.env is None) == (self.file is None):
            raise ValueError("a credential names either an environment "
                             "variable (env) or a file (file)")
        for value in (self.env, self.file):
            if value is not None and (not isinstance(value, str)
                                      or not value):
                raise ValueError("a credential reference is a non-empty "
                                 "string")

    def __str__(self) -> str:
        return "env:%s" % self.env if self.env is not None \
            else "file:%s" % self.file

    def __repr__(self) -> str:
        return "Credential(env=%r)" % self.env if self.env is not None \
            else "Credential(file=%r)" % self.file

    def resolve(self) -> SecretText:
        """The secret, read now.  Raises :class:`CredentialError` naming
        the reference when it is missing or the file is too open."""
        if self.env is not None:
            value = os.environ.get(self.env)
            if value is None:
                raise CredentialError("credential %s: the environment "
                                      "variable %s is not set"
                                      % (self, self.env))
            return SecretText(value)
        assert self.file is not None
        path = os.path.expanduser(self.file)
        try:
            # Opened first, then checked: the file checked is the file read.
            with open(path, encoding="utf-8") as handle:
                mode = os.fstat(handle.fileno()).st_mode
                if mode & (stat.S_IRWXG | stat.S_IRWXO):
                    raise CredentialError(
                        "credential %s: the file is open to its group or "
                        "others (mode %04o); make it readable by its owner "
                        "only (chmod 600)" % (self, stat.S_IMODE(mode)))
                text = handle.read()
        except OSError as exc:
            raise CredentialError("credential %s: cannot read the file: %s"
                                  % (self, exc.strerror or exc)) from None
        # One trailing line end is the file's, not the secret's.
        if text.endswith("\n"):
            text = text[:-1]
            if text.endswith("\r"):
                text = text[:-1]
        return SecretText(text)


@dataclass(frozen=True)
class Host:
    """One device of a fleet, as the runner connects it.

    ``hostname`` is the address (by default the name); ``platform`` a
    device platform's name (``"network_cli"``, ``"posix_shell"``) or
    ``"module:NAME"`` of a :class:`~tavrel.devices.Platform`; ``session``
    ``"ssh"`` or ``"telnet"``; ``password`` and the ``secrets`` (say
    ``{"enable": Credential(env="ENABLE")}``, the device's credentials by
    name) are :class:`Credential` references; ``data`` is free data;
    ``options`` go to the session (``known_hosts``, ``connect_timeout``...;
    ``timeout`` is the device's step timeout).  Hosts pickle: they cross to
    other processes and machines, and hold no secret.
    """

    name: str
    hostname: str = ""
    port: int | None = None
    platform: str = "network_cli"
    session: str = "ssh"
    username: str | None = None
    password: Credential | None = None
    secrets: Mapping[str, Credential] = field(default_factory=dict)
    groups: tuple[str, ...] = ()
    data: Mapping[str, Any] = field(default_factory=dict)
    options: Mapping[str, Any] = field(default_factory=dict)

    def __post_init__(self) -> None:
        if not self.hostname:
            object.__setattr__(self, "hostname", self.name)
        if self.session not in SESSIONS:
            raise ValueError("host %r: session must be one of %s, not %r"
                             % (self.name, ", ".join(SESSIONS),
                                self.session))


class Inventory:
    """Hosts by name, with the groups and defaults they were built from.

    ``Inventory(hosts)`` takes :class:`Host` objects;
    :meth:`from_yaml` and :meth:`from_csv` read files.  Iterating gives the
    hosts in order; ``inventory["name"]`` one of them; :meth:`filter` a
    smaller inventory.
    """

    def __init__(self, hosts: Iterable[Host] = (),
                 groups: Mapping[str, Mapping[str, Any]] | None = None,
                 defaults: Mapping[str, Any] | None = None) -> None:
        self.hosts: dict[str, Host] = {}
        for host in hosts:
            if host.name in self.hosts:
                raise InventoryError("host %r is listed twice" % host.name)
            self.hosts[host.name] = host
        self.groups = dict(groups or {})
        self.defaults = dict(defaults or {})

    def __iter__(self) -> Iterator[Host]:
        return iter(self.hosts.values())

    def __len__(self) -> int:
        return len(self.hosts)

    def __getitem__(self, name: str) -> Host:
        return self.hosts[name]

    def __repr__(self) -> str:
        return "<Inventory %d hosts, %d groups>" % (len(self.hosts),
                                                    len(self.groups))

    def filter(self, predicate: Callable[[Host], bool] | None = None,
               **fields: Any) -> Inventory:
        """The hosts for which ``predicate(host)`` is true and every field
        given matches: ``group=NAME`` (a member, also through the groups of
        its groups), ``name``, ``hostname``, ``port``, ``platform``,
        ``session``, ``username``, or any other name for a key of
        ``data``."""
        def matches(host: Host) -> bool:
            if predicate is not None and not predicate(host):
                return False
            for key, wanted in fields.items():
                if key == "group":
                    if wanted not in self.member_of(host):
                        return False
                elif key in HOST_KEYS:
                    if getattr(host, key) != wanted:
                        return False
                elif host.data.get(key) != wanted:
                    return False
            return True
        return Inventory([h for h in self if matches(h)], self.groups,
                         self.defaults)

    def member_of(self, host: Host) -> set[str]:
        """The host's groups and, through them, their groups."""
        found: set[str] = set()
        todo = list(host.groups)
        while todo:
            name = todo.pop()
            if name not in found:
                found.add(name)
                todo.extend(self.groups.get(name, {}).get("groups", ()))
        return found

    @classmethod
    def from_yaml(cls, path: str | os.PathLike[str]) -> Inventory:
        """Read a YAML inventory: one file with ``hosts``, ``groups`` and
        ``defaults`` mappings, or a folder holding ``hosts.yaml`` and
        optionally ``groups.yaml`` and ``defaults.yaml``.  A host takes
        each field from itself, else from its groups in the order listed
        (each group before the groups it belongs to), else from the
        defaults; ``data``, ``options`` and ``secrets`` are merged key by
        key in the same order.  Needs PyYAML."""
        source = Path(path)
        if source.is_dir():
            hosts = _load_yaml(source / "hosts.yaml")
            groups = _load_yaml(source / "groups.yaml", missing_ok=True)
            defaults = _load_yaml(source / "defaults.yaml", missing_ok=True)
            names = {"hosts": str(source / "hosts.yaml"),
                     "groups": str(source / "groups.yaml"),
                     "defaults": str(source / "defaults.yaml")}
        else:
            whole = _load_yaml(source)
            if not isinstance(whole, Mapping):
                raise InventoryError("%s: an inventory is a mapping with "
                                     "hosts, groups and defaults" % source)
            unknown = set(whole) - {"hosts", "groups", "defaults"}
            if unknown:
                raise InventoryError("%s: unknown top-level keys %s (an "
                                     "inventory has hosts, groups and "
                                     "defaults)" % (source, sorted(unknown)))
            hosts = whole.get("hosts")
            groups = whole.get("groups")
            defaults = whole.get("defaults")
            names = dict.fromkeys(("hosts", "groups", "defaults"),
                                  str(source))
        return _build(hosts or {}, groups or {}, defaults or {}, names)

    @classmethod
    def from_csv(cls, path: str | os.PathLike[str],
                 defaults: Mapping[str, Any] | None = None) -> Inventory:
        """Read a CSV inventory: one row per host, a header naming the
        columns ``name``, ``hostname``, ``port``, ``platform``,
        ``session``, ``username``, ``password`` (a reference,
        ``env:NAME`` or ``file:PATH``) and ``groups`` (separated by
        ``;``); every other column goes into the host's ``data``.  Empty
        cells are not set.  ``defaults`` fill what a row leaves out."""
        source = str(path)
        hosts: dict[str, Any] = {}
        try:
            with open(source, newline="", encoding="utf-8") as handle:
                reader = csv.DictReader(handle)
                if not reader.fieldnames or "name" not in reader.fieldnames:
                    raise InventoryError("%s: the first row must name the "
                                         "columns, with a 'name' column"
                                         % source)
                for row in reader:
                    line = reader.line_num
                    if None in row:
                        raise InventoryError("%s, line %d: more cells than "
                                             "columns" % (source, line))
                    name = (row.get("name") or "").strip()
                    if not name:
                        raise InventoryError("%s, line %d: no name"
                                             % (source, line))
                    if name in hosts:
                        raise InventoryError("%s, line %d: host %r is "
                                             "listed twice"
                                             % (source, line, name))
                    hosts[name] = _csv_row(source, name, row)
        except OSError as exc:
            raise InventoryError("%s: cannot read the inventory: %s"
                                 % (source, exc.strerror or exc)) from None
        names = dict.fromkeys(("hosts", "groups", "defaults"), source)
        return _build(hosts, {}, dict(defaults or {}), names)


# -- reading -----------------------------------------------------------------


def _unique_keys_loader(yaml: Any) -> Any:
    """YAML's safe loader, but a key given twice in one mapping (a host
    listed twice, a field set twice) is an error, not the last one
    silently kept."""
    class Loader(yaml.SafeLoader):  # type: ignore[misc]
        def construct_mapping(self, node: Any, deep: bool = False) -> Any:
            seen = set()
            for key_node, _ in node.value:
                if key_node.tag == "tag:yaml.org,2002:merge":
                    continue  # "<<": keys it brings may be overridden
                key = self.construct_object(key_node, deep=deep)
                try:
                    duplicate = key in seen
                except TypeError:
                    continue  # unhashable: the base class says so
                if duplicate:
                    raise yaml.constructor.ConstructorError(
                        None, None, "%r is given twice" % (key,),
                        key_node.start_mark)
                seen.add(key)
            return super().construct_mapping(node, deep)
    return Loader


def _load_yaml(path: Path, missing_ok: bool = False) -> Any:
    try:
        import yaml
    except ImportError:
        raise InventoryError("reading a YAML inventory needs PyYAML "
                             "(pip install 'tavrel[fleet]')") from None
    try:
        text = path.read_text(encoding="utf-8")
    except FileNotFoundError:
        if missing_ok:
            return None
        raise InventoryError("%s: no such file" % path) from None
    except OSError as exc:
        raise InventoryError("%s: cannot read the inventory: %s"
                             % (path, exc.strerror or exc)) from None
    try:
        return yaml.load(text, Loader=_unique_keys_loader(yaml))
    except yaml.YAMLError as exc:
        # The parser's own message quotes the line, which may be a
        # password written in clear: give the place only.
        mark = getattr(exc, "problem_mark", None)
        where = ", line %d, column %d" % (mark.line + 1, mark.column + 1) \
            if mark is not None else ""
        problem = getattr(exc, "problem", None) or "not valid YAML"
        raise InventoryError("%s%s: %s" % (path, where, problem)) from None


def _csv_row(source: str, name: str, row: Mapping[str, str | None]
             ) -> dict[str, Any]:
    values: dict[str, Any] = {}
    data: dict[str, str] = {}
    for column, cell in row.items():
        if column is None or column == "name":
            continue
        cell = (cell or "").strip()
        if not cell:
            continue
        if column not in CSV_FIELDS:
            data[column] = cell
        elif column == "groups":
            values["groups"] = [g.strip() for g in cell.split(";")
                                if g.strip()]
        elif column == "password":
            kind, sep, reference = cell.partition(":")
            if not sep or kind not in ("env", "file") or not reference:
                raise InventoryError(
                    "%s: host %r, field 'password': a password is never "
                    "written in the inventory; give a reference, env:NAME "
                    "or file:PATH" % (source, name))
            values["password"] = {kind: reference}
        else:
            values[column] = cell
    if data:
        values["data"] = data
    return values


class _Where:
    """Names the place of a fault: file, host or group, field."""

    def __init__(self, source: str, owner: str) -> None:
        self.source = source
        self.owner = owner

    def error(self, field_name: str | None, message: str) -> InventoryError:
        where = "%s: %s" % (self.source, self.owner)
        if field_name is not None:
            where += ", field %r" % field_name
        return InventoryError("%s: %s" % (where, message))


def _credential(value: Any, where: _Where, field_name: str) -> Credential:
    if isinstance(value, Credential):
        return value
    if isinstance(value, Mapping) and len(value) == 1 \
            and set(value) <= {"env", "file"}:
        (kind, reference), = value.items()
        if isinstance(reference, str) and reference:
            return Credential(**{kind: reference})
    if isinstance(value, (str, int, float)):
        raise where.error(field_name, "a password is never written in the "
                          "inventory; give a reference, {env: NAME} or "
                          "{file: PATH}")
    raise where.error(field_name, "a credential is {env: NAME} or "
                      "{file: PATH}")


def _section(values: Any, where: _Where) -> dict[str, Any]:
    """One host's, group's or the defaults' own fields, checked."""
    if values is None:
        return {}
    if not isinstance(values, Mapping):
        raise where.error(None, "must be a mapping of fields, not %s"
                          % type(values).__name__)
    unknown = [str(k) for k in values if k not in FIELDS]
    if unknown:
        raise where.error(unknown[0], "unknown field (known: %s)"
                          % ", ".join(FIELDS))
    checked: dict[str, Any] = {}
    for key, value in values.items():
        if value is None:
            continue
        if key == "password":
            checked[key] = _credential(value, where, key)
        elif key == "secrets":
            if not isinstance(value, Mapping):
                raise where.error(key, "must map names to credentials")
            checked[key] = {str(name): _credential(v, where,
                                                   "secrets.%s" % name)
                            for name, v in value.items()}
        elif key in ("data", "options"):
            if not isinstance(value, Mapping):
                raise where.error(key, "must be a mapping")
            checked[key] = dict(value)
        elif key == "groups":
            if isinstance(value, str):
                value = [value]
            if not isinstance(value, (list, tuple)) or not all(
                    isinstance(g, str) for g in value):
                raise where.error(key, "must be a list of group names")
            checked[key] = tuple(value)
        elif key == "port":
            try:
                port = int(value)
            except (TypeError, ValueError):
                raise where.error(key, "must be a number") from None
            if isinstance(value, bool) or not 0 < port < 65536:
                raise where.error(key, "must be a port number, 1 to 65535")
            checked[key] = port
        elif key == "session":
            if value not in SESSIONS:
                raise where.error(key, "must be one of %s"
                                  % ", ".join(SESSIONS))
            checked[key] = value
        else:
            if not isinstance(value, (str, int)) or isinstance(value, bool):
                raise where.error(key, "must be a text")
            checked[key] = str(value)
    return checked


def _build(hosts: Any, groups: Any, defaults: Any,
           names: Mapping[str, str]) -> Inventory:
    for kind, value in (("hosts", hosts), ("groups", groups),
                        ("defaults", defaults)):
        if not isinstance(value, Mapping):
            raise InventoryError("%s: %s must be a mapping, not %s"
                                 % (names[kind], kind, type(value).__name__))
    default = _section(defaults, _Where(names["defaults"], "defaults"))
    if "groups" in default:
        raise _Where(names["defaults"], "defaults").error(
            "groups", "the defaults belong to no group")
    group_fields = {str(name): _section(values, _Where(
        names["groups"], "group %r" % name)) for name, values
        in groups.items()}
    for name, values in group_fields.items():
        for parent in values.get("groups", ()):
            if parent not in group_fields:
                raise _Where(names["groups"], "group %r" % name).error(
                    "groups", "no group named %r" % parent)
    built = []
    for name, values in hosts.items():
        where = _Where(names["hosts"], "host %r" % name)
        own = _section(values, where)
        for group in own.get("groups", ()):
            if group not in group_fields and groups:
                raise where.error("groups", "no group named %r" % group)
        chain = [own] + [group_fields[g] for g in
                         _lineage(own.get("groups", ()), group_fields,
                                  where)] + [default]
        merged: dict[str, Any] = {}
        for key in FIELDS:
            if key == "groups":
                continue
            present = [section[key] for section in chain if key in section]
            if not present:
                continue
            if key in MERGED:
                combined: dict[str, Any] = {}
                for section_value in reversed(present):
                    combined.update(section_value)
                merged[key] = combined
            else:
                merged[key] = present[0]
        try:
            built.append(Host(str(name), groups=own.get("groups", ()),
                              **merged))
        except ValueError as exc:
            raise where.error(None, str(exc)) from None
    return Inventory(built, {name: dict(values)
                             for name, values in group_fields.items()},
                     default)


def _lineage(direct: Iterable[str], groups: Mapping[str, Mapping[str, Any]],
             where: _Where) -> list[str]:
    """The groups to take values from, in order: each listed group, then
    (depth first) the groups it belongs to; each once."""
    order: list[str] = []

    def visit(name: str, path: tuple[str, ...]) -> None:
        if name in path:
            raise where.error("groups", "groups form a cycle: %s"
                              % " -> ".join(path + (name,)))
        if name in order or name not in groups:
            return
        order.append(name)
        for parent in groups[name].get("groups", ()):
            visit(parent, path + (name,))

    for name in direct:
        visit(name, ())
    return order
