"""Platforms: what a kind of device looks like, as data.

A :class:`Platform` names its modes and their prompts, the moves between
modes (a command, and the statements that answer what it asks or notice a
refusal), the command that turns paging off, the pager's prompt and the
patterns of error output.  Two are built in: :data:`POSIX_SHELL` and
:data:`NETWORK_CLI`; :meth:`Platform.derive` makes a variant of one, and
:func:`platform_from_yaml` reads one from YAML.
"""

from __future__ import annotations

import dataclasses
import re
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

from tavrel.eal.dialogs import Dialog, Statement

__all__ = ["Mode", "Move", "Platform", "POSIX_SHELL", "NETWORK_CLI",
           "platform_from_yaml", "refused"]


def refused(session: dict[str, Any], reason: str) -> None:
    """The action of a refusal statement: notes the refusal; the move ends
    at the prompt that follows and then raises it."""
    session["refused"] = reason


@dataclasses.dataclass(frozen=True)
class Mode:
    """A mode: its name and its prompt, a pattern matched at the end of the
    output.  A group named ``host`` in it, when there, is the device's
    name as the prompt shows it."""

    name: str
    prompt: str


@dataclasses.dataclass(frozen=True)
class Move:
    """Going from mode ``source`` to mode ``target``: send ``command``, then
    run ``dialog`` (questions such as a password, refusals) until a prompt
    is back."""

    source: str
    target: str
    command: str
    dialog: Dialog = dataclasses.field(default_factory=Dialog)


@dataclasses.dataclass(frozen=True)
class Platform:
    """A kind of device.

    - ``modes``: in the order their prompts are tried (put a prompt that
      another one would also match first);
    - ``moves``: between modes; :meth:`~tavrel.devices.Device.enter` takes
      the fewest moves;
    - ``default_mode``: where commands run when nothing else is asked;
      ``config_mode``: where configuration lines are sent (None: none);
    - ``open_dialog``: answers what the device may ask before its first
      prompt (a setup question);
    - ``paging_off``: commands sent once the prompt is known;
    - ``pager``: the prompt of the pager, and what answers it;
    - ``errors``: patterns of output that means a command or a
      configuration line was refused (searched line by line);
    - ``strip_escapes``: whether terminal control sequences are removed
      from the output before it is matched;
    - ``echo``: whether the device echoes commands; then a prompt that
      comes before any output of a command is taken as left over from
      before it, and the command's own is waited for.
    """

    name: str
    modes: tuple[Mode, ...]
    moves: tuple[Move, ...] = ()
    default_mode: str = ""
    config_mode: str | None = None
    open_dialog: Dialog = dataclasses.field(default_factory=Dialog)
    paging_off: tuple[str, ...] = ()
    pager: str | None = None
    pager_answer: str = " "
    errors: tuple[str, ...] = ()
    strip_escapes: bool = True
    echo: bool = True

    def __post_init__(self) -> None:
        names = [mode.name for mode in self.modes]
        if not names:
            raise ValueError("platform %r has no modes" % self.name)
        if len(set(names)) != len(names):
            raise ValueError("platform %r names a mode twice" % self.name)
        for move in self.moves:
            for end in (move.source, move.target):
                if end not in names:
                    raise ValueError("platform %r: a move names the mode %r, "
                                     "which it does not have"
                                     % (self.name, end))
        for mode in (self.default_mode or names[0], self.config_mode):
            if mode is not None and mode not in names:
                raise ValueError("platform %r has no mode %r"
                                 % (self.name, mode))
        if not self.default_mode:
            object.__setattr__(self, "default_mode", names[0])
        for pattern in [m.prompt for m in self.modes] + list(self.errors) \
                + ([self.pager] if self.pager else []):
            re.compile(pattern)

    def mode(self, name: str) -> Mode:
        for mode in self.modes:
            if mode.name == name:
                return mode
        raise KeyError("platform %r has no mode %r" % (self.name, name))

    def derive(self, name: str, **changes: Any) -> Platform:
        """A platform like this one, with ``changes`` (any field; ``modes``
        and ``moves`` may also be given as mappings by mode name, or by
        (source, target), that replace or add single ones)."""
        modes = changes.pop("modes", None)
        if isinstance(modes, Mapping):
            merged = {m.name: m for m in self.modes}
            for key, value in modes.items():
                merged[key] = value if isinstance(value, Mode) \
                    else Mode(key, value)
            modes = tuple(merged.values())
        moves = changes.pop("moves", None)
        if isinstance(moves, Mapping):
            by_ends = {(m.source, m.target): m for m in self.moves}
            by_ends.update(moves)
            moves = tuple(by_ends.values())
        fields: dict[str, Any] = {"name": name}
        if modes is not None:
            fields["modes"] = tuple(modes)
        if moves is not None:
            fields["moves"] = tuple(moves)
        for key in ("paging_off", "errors"):
            if key in changes:
                changes[key] = tuple(changes[key])
        fields.update(changes)
        return dataclasses.replace(self, **fields)

    def path(self, source: str, target: str) -> list[Move]:
        """The fewest moves from ``source`` to ``target``."""
        self.mode(target)
        ways: dict[str, list[Move]] = {source: []}
        frontier = [source]
        while frontier and target not in ways:
            following = []
            for here in frontier:
                for move in self.moves:
                    if move.source == here and move.target not in ways:
                        ways[move.target] = ways[here] + [move]
                        following.append(move.target)
            frontier = following
        if target not in ways:
            raise ValueError("platform %r has no way from mode %r to %r"
                             % (self.name, source, target))
        return ways[target]


def _password_move(source: str, target: str, command: str, credential: str,
                   refusals: Iterable[str]) -> Move:
    statements = [Statement(pattern, refused, {"reason": pattern},
                            loop_continue=True) for pattern in refusals]
    statements.append(Statement(r"[Pp]assword: ?$",
                                "sendline_cred_pass(%s)" % credential,
                                loop_continue=True))
    return Move(source, target, command, Dialog(statements))


# A shell's prompt ends in "$ " (a user) or "# " (root); what comes before
# it, up to a blank, is taken as the host part.  Prompts are bounded in
# length and start after a blank, so that looking for them costs little in
# long output.
POSIX_SHELL = Platform(
    name="posix_shell",
    modes=(Mode("shell", r"(?<!\S)(?P<host>[^\s$#]{0,128})\$ ?$"),
           Mode("root", r"(?<!\S)(?P<host>[^\s$#]{0,128})# ?$")),
    moves=(_password_move("shell", "root", "su", "root",
                          [r"su: .*(?:[Ff]ailure|incorrect)"]),
           Move("root", "shell", "exit")),
    paging_off=("export PAGER=cat SYSTEMD_PAGER= GIT_PAGER=cat",),
    pager=r"--More--(?:\(\d+%\))? ?$",
    errors=(r"^(?:\S+: )?(?:line \d+: )?\S+: command not found$",),
)

# The common model of many network operating systems: an unprivileged mode
# ("name>"), a privileged one reached with a password ("name#"), and a
# configuration mode inside it ("name(config)#", "name(config-if)#").
NETWORK_CLI = Platform(
    name="network_cli",
    modes=(Mode("config",
                r"(?<!\S)(?P<host>[^\s>#()]{1,64})\(config[^)\s]{0,32}\)# ?$"),
           Mode("privileged", r"(?<!\S)(?P<host>[^\s>#()]{1,64})# ?$"),
           Mode("unprivileged", r"(?<!\S)(?P<host>[^\s>#()]{1,64})> ?$")),
    moves=(_password_move("unprivileged", "privileged", "enable", "enable",
                          [r"% ?(?:Access denied|Bad secrets?|"
                           r"Authentication failed)"]),
           Move("privileged", "unprivileged", "disable"),
           Move("privileged", "config", "configure terminal"),
           Move("config", "privileged", "end")),
    default_mode="unprivileged",
    config_mode="config",
    open_dialog=Dialog([Statement(r"\[yes/no\]: ?$", "sendline(no)",
                                  loop_continue=True)]),
    paging_off=("terminal length 0",),
    pager=r" ?--More-- ?$",
    errors=(r"^% ?(?:Invalid|Incomplete|Ambiguous|Unknown|Unrecognized|"
            r"Error)",
            r"^\s*\^$"),
)


def _statements(items: Sequence[Any]) -> Dialog:
    statements = []
    for item in items or ():
        if isinstance(item, Mapping):
            item = dict(item)
            if item.pop("refusal", False):
                statements.append(Statement(item["pattern"], refused,
                                            {"reason": item["pattern"]},
                                            loop_continue=True))
                continue
            item.setdefault("loop_continue", True)
            statements.append(Statement(**item))
        else:
            statements.append(Statement(*item))
    return Dialog(statements)


def platform_from_yaml(source: str, base: Platform | None = None) -> Platform:
    """A platform read from YAML text (needs PyYAML).  ``derive: NAME``
    (``posix_shell`` or ``network_cli``) or ``base`` starts from a platform
    and changes what the text gives; ``modes`` maps names to prompts;
    ``moves`` lists ``{from, to, command, dialog}`` with dialog statements
    as mappings of a statement's fields (``loop_continue`` defaults to true
    there; ``refusal: true`` marks a refusal); ``open_dialog`` likewise."""
    import yaml  # type: ignore

    data = yaml.safe_load(source)
    if not isinstance(data, Mapping) or "name" not in data:
        raise ValueError("a platform in YAML is a mapping with a name")
    data = dict(data)
    parent = data.pop("derive", None)
    if parent is not None:
        base = {p.name: p for p in (POSIX_SHELL, NETWORK_CLI)}.get(parent)
        if base is None:
            raise ValueError("no built-in platform %r to derive from"
                             % parent)
    fields: dict[str, Any] = {}
    for key, value in data.items():
        if key == "modes":
            fields["modes"] = {name: Mode(name, prompt)
                               for name, prompt in value.items()}
        elif key == "moves":
            fields["moves"] = {
                (m["from"], m["to"]): Move(m["from"], m["to"], m["command"],
                                           _statements(m.get("dialog", ())))
                for m in value}
        elif key == "open_dialog":
            fields["open_dialog"] = _statements(value)
        elif key in ("paging_off", "errors") and isinstance(value, str):
            fields[key] = (value,)
        else:
            fields[key] = value
    if base is not None:
        return base.derive(**fields)
    for key in ("modes", "moves"):
        if key in fields:
            fields[key] = tuple(fields[key].values())
    return Platform(**fields)
