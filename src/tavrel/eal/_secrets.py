"""The secrets of a run, and how the engine shows statements without them.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from typing import Any

from tavrel._masking import MASK, Masker
from tavrel.utils import to_plaintext

__all__ = ["MASK", "Masker", "collect_secrets", "describe_args",
           "CREDENTIAL_NAMES"]

# Names of args entries whose values are credentials whatever they hold.
CREDENTIAL_NAMES = frozenset({"password", "passwd", "secret", "passphrase",
                              "token", "pin", "credential", "credentials"})
# The module's senders whose args["key"] is the very text they send.
_PAYLOAD_SENDERS = frozenset({"statement_action_helper.<locals>.send",
                              "statement_action_helper.<locals>.sendline"})


def _is_secret(value: object) -> bool:
    return hasattr(value, "plaintext")


def _texts(values: Iterable[object]) -> list[str | bytes]:
    found: list[str | bytes] = []
    for value in values:
        try:
            text = to_plaintext(value)
        except Exception:  # a broken value must not stop the dialog
            continue
        if isinstance(text, (str, bytes)) and text:
            found.append(text)
    return found


def collect_secrets(context: Mapping[str, Any],
                    statements: Iterable[Any] = ()) -> list[str | bytes]:
    """Texts that must never show: every password of the credentials, every
    value of the context or of its credentials that is wrapped as a secret,
    and every secret-wrapped value or credential-named entry of the
    statements' args."""
    found = [value for value in context.values() if _is_secret(value)]
    credentials = context.get("credentials")
    if isinstance(credentials, Mapping):
        for entry in credentials.values():
            if not isinstance(entry, Mapping):
                continue
            found += [value for name, value in entry.items()
                      if value is not None
                      and (name == "password" or _is_secret(value))]
    for statement in statements:
        args = getattr(statement, "args", None)
        if isinstance(args, Mapping):
            found += [value for name, value in args.items()
                      if _is_secret(value) or (
                          isinstance(name, str)
                          and name.lower() in CREDENTIAL_NAMES
                          and isinstance(value, (str, bytes)))]
    return _texts(found)


def describe_args(statement: Any, masker: Masker) -> str:
    """A statement's args as a log line shows them: names, not the values
    that get sent (the payload of ``send(...)``/``sendline(...)``), nor
    credentials; every secret masked."""
    args = statement.args
    if not isinstance(args, Mapping):
        return masker.mask(repr(args))
    payload = getattr(statement.action, "__qualname__", None) in \
        _PAYLOAD_SENDERS
    shown = []
    for name, value in args.items():
        if (payload and name == "key") or _is_secret(value) or (
                isinstance(name, str) and name.lower() in CREDENTIAL_NAMES):
            text = MASK
        else:
            text = repr(value)
        shown.append("%r: %s" % (name, text))
    return masker.mask("{" + ", ".join(shown) + "}")
