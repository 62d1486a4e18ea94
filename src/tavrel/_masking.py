"""Keeping secrets out of texts: every form a secret takes, masked.

A secret shows in a text as it is, or escaped the way ``repr`` or ``ascii``
escape it (a password with a quote, a backslash or a tab is ``repr``-ed into
another text).  A :class:`Masker` replaces all of these forms by the mask;
a :class:`StreamMasker` does so on a stream read in pieces, holding back
only what could still be the beginning of a secret.  The engine registers
the secrets of each running dialog here, so that a
:class:`tavrel.utils.SecretsFilter` masks them in log records too.
"""

from __future__ import annotations

import threading
from collections.abc import Iterable

__all__ = ["MASK", "forms", "Masker", "StreamMasker", "activate",
           "deactivate", "active"]

MASK = "********"


def forms(secret: str | bytes) -> set[str]:
    """The texts ``secret`` can take: as is, and escaped as ``repr`` and
    ``ascii`` escape it between either kind of quotes.  A bytes secret takes
    the forms of its text (read as UTF-8, as the engine reads bytes) and
    those of its own ``repr``."""
    found: set[str] = set()
    if isinstance(secret, (bytes, bytearray, memoryview)):
        raw = bytes(secret)
        text = raw.decode("utf-8", "surrogateescape")
        # b'...' and b"..." (a bytes repr chooses its quotes as str does).
        found.add(repr(raw)[2:-1])
        found.add(repr(raw + b'"')[2:-2])
    else:
        text = secret
    found.add(text)
    for escape in (repr, ascii):
        # Single quotes unless the text has a ' and no "; with a " added,
        # single quotes and \' escaped.
        found.add(escape(text)[1:-1])
        found.add(escape(text + '"')[1:-2])
    found.discard("")
    return found


class Masker:
    """Replaces every form of every secret in a text by the mask."""

    __slots__ = ("secrets", "forms")

    def __init__(self, secrets: Iterable[str | bytes] = ()) -> None:
        self.secrets = tuple(s for s in secrets if len(s))
        every: set[str] = set()
        for secret in self.secrets:
            every |= forms(secret)
        # Longest first, so that a form containing another is masked whole.
        self.forms = tuple(sorted(every, key=len, reverse=True))

    def __bool__(self) -> bool:
        return bool(self.forms)

    def __or__(self, other: Masker) -> Masker:
        return Masker(self.secrets + other.secrets)

    def mask(self, text: str) -> str:
        for form in self.forms:
            if form in text:
                text = text.replace(form, MASK)
        return text

    @property
    def longest(self) -> int:
        return len(self.forms[0]) if self.forms else 0


class StreamMasker:
    """Masks a text that arrives in pieces: a secret split across two or
    more pieces, or echoed one character at a time, is masked whole.  What
    could still be the start of a secret is held back until the next piece
    shows it is not, or until :meth:`flush`."""

    __slots__ = ("masker", "_held")

    def __init__(self, masker: Masker) -> None:
        self.masker = masker
        self._held = ""

    def feed(self, text: str) -> str:
        """What can be written now of what has arrived."""
        if not self.masker:
            return text
        data = self.masker.mask(self._held + text)
        keep = 0
        for form in self.masker.forms:
            # The longest end of data that begins the form (and is shorter
            # than it: a whole form is masked already).
            tail = data[-(len(form) - 1):] if len(form) > 1 else ""
            at = tail.find(form[0])
            while at >= 0 and len(tail) - at > keep:
                if form.startswith(tail[at:]):
                    keep = len(tail) - at
                    break
                at = tail.find(form[0], at + 1)
        self._held = data[len(data) - keep:] if keep else ""
        return data[:len(data) - keep] if keep else data

    def flush(self) -> str:
        """The rest: the stream ended, so no secret can complete it."""
        held, self._held = self._held, ""
        return held


# -- the secrets of the dialogs running now -------------------------------------

_lock = threading.Lock()
_running: dict[int, Masker] = {}
_combined: list[Masker] = [Masker()]
_tokens = iter(range(1, 1 << 62))


def activate(masker: Masker) -> int:
    """Register the secrets of a run that starts; returns its token."""
    with _lock:
        token = next(_tokens)
        _running[token] = masker
        _combined[0] = _combine()
    return token


def deactivate(token: int) -> None:
    with _lock:
        if _running.pop(token, None) is not None:
            _combined[0] = _combine()


def _combine() -> Masker:
    secrets: list[str | bytes] = []
    for masker in _running.values():
        secrets += masker.secrets
    return Masker(secrets)


def active() -> Masker:
    """The secrets of every dialog running now."""
    return _combined[0]
