"""The secrets of a run, and how they are kept out of what the engine shows.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping

from tavrel.utils import to_plaintext

__all__ = ["MASK", "Masker", "collect_secrets"]

MASK = "********"


def collect_secrets(context: Mapping[str, object]) -> tuple[str, ...]:
    """Texts that must never show in logs or exception texts: every
    password of the credentials, and every value of the context or of its
    credentials that is wrapped as a secret."""
    found = [value for value in context.values()
             if hasattr(value, "plaintext")]
    credentials = context.get("credentials")
    if isinstance(credentials, Mapping):
        for entry in credentials.values():
            if not isinstance(entry, Mapping):
                continue
            found += [value for name, value in entry.items()
                      if value is not None
                      and (name == "password" or hasattr(value, "plaintext"))]
    secrets = set()
    for value in found:
        try:
            text = to_plaintext(value)
        except Exception:  # a broken value must not stop the dialog
            continue
        if isinstance(text, str) and text:
            secrets.add(text)
    return tuple(secrets)


class Masker:
    """Replaces every secret in a text by the mask."""

    __slots__ = ("secrets",)

    def __init__(self, secrets: Iterable[str]) -> None:
        # Longest first, so that a secret containing another is masked whole.
        self.secrets = tuple(sorted(set(s for s in secrets if s),
                                    key=len, reverse=True))

    def mask(self, text: str) -> str:
        for secret in self.secrets:
            text = text.replace(secret, MASK)
        return text
