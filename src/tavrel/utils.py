"""Small helpers shared across tavrel."""

from __future__ import annotations

import logging
from collections.abc import Iterable
from typing import Any, NoReturn

from tavrel._engine.secrets import MASK, Masker, active

__all__ = ["SecretText", "SecretsFilter", "to_plaintext"]


class SecretText:
    """A text that must never be shown: its ``str()`` and ``repr()`` are masked.

    The real text is available, on purpose only, as ``plaintext``.  Copying
    a secret gives the same secret; pickling it is refused.
    """

    __slots__ = ("_text",)

    def __init__(self, text: str) -> None:
        if not isinstance(text, str):
            raise TypeError(
                f"SecretText needs a str, not {type(text).__name__}")
        self._text = text

    @property
    def plaintext(self) -> str:
        return self._text

    def __str__(self) -> str:
        return MASK

    def __repr__(self) -> str:
        return "SecretText('%s')" % MASK

    def __eq__(self, other: object) -> bool:
        if isinstance(other, SecretText):
            return self._text == other._text
        return NotImplemented

    def __hash__(self) -> int:
        return hash((SecretText, self._text))

    # It is immutable: a copy is the secret itself.  (copy would otherwise
    # go through __reduce__, which refuses.)
    def __copy__(self) -> SecretText:
        return self

    def __deepcopy__(self, memo: dict[int, Any]) -> SecretText:
        return self

    def __reduce__(self) -> NoReturn:
        # Pickling would write the secret out; refuse rather than leak it.
        raise TypeError("SecretText cannot be pickled")


def to_plaintext(value: object) -> str | bytes:
    """Return the text to send for a credential value.

    A ``str`` is returned unchanged, and so are ``bytes`` (a bytes spawn
    sends them as they are); an object with a ``plaintext`` attribute (such
    as :class:`SecretText`) gives that text; anything else its ``str()``.
    """
    if isinstance(value, (str, bytes)):
        return value
    if isinstance(value, bytearray):
        return bytes(value)
    try:
        plaintext: str = value.plaintext  # type: ignore[attr-defined]
    except AttributeError:
        return str(value)
    return plaintext


def _secret_text(value: object) -> str | bytes | None:
    if isinstance(value, (str, bytes, bytearray)):
        return bytes(value) if isinstance(value, bytearray) else value
    plaintext = getattr(value, "plaintext", None)
    return plaintext if isinstance(plaintext, (str, bytes)) else None


class SecretsFilter(logging.Filter):
    """A logging filter that masks secrets in log records.

    Attach it to a handler (or a logger): it masks ``secrets`` (texts,
    bytes or :class:`SecretText` values) and the secrets of every dialog
    running at the time, in each of the forms a secret takes in a text (as
    it is, and as ``repr`` or ``ascii`` escape it), in the formatted message,
    the exception text and the stack text.  The record then carries the
    masked message and no arguments, for every handler after it.
    """

    def __init__(self, secrets: Iterable[object] = (), name: str = "") -> None:
        super().__init__(name)
        if isinstance(secrets, (str, bytes, bytearray)):
            raise TypeError("secrets must be a collection of secrets, not "
                            "one %s" % type(secrets).__name__)
        given = list(secrets)
        found = [_secret_text(secret) for secret in given]
        bad = [type(s).__name__ for s, t in zip(given, found) if t is None]
        if bad:
            raise TypeError("secrets must be texts, bytes or SecretText "
                            "values, not %s" % ", ".join(bad))
        self._masker = Masker(t for t in found if t is not None)
        # Our secrets with those of the dialogs running, made anew only
        # when those change.
        self._with: tuple[Masker, Masker] = (Masker(), self._masker)

    def _current(self) -> Masker:
        running = active()
        if not running:
            return self._masker
        seen, combined = self._with
        if seen is not running:
            combined = self._masker | running
            self._with = (running, combined)
        return combined

    def filter(self, record: logging.LogRecord) -> bool:
        masker = self._current()
        if not masker:
            return True
        try:
            message = record.getMessage()
        except Exception:
            # A record that does not format is logging's to report; its
            # parts are masked as they are.
            message = str(record.msg)
        record.msg = masker.mask(message)
        record.args = None
        if record.exc_info and not record.exc_text:
            record.exc_text = logging.Formatter().formatException(
                record.exc_info)
        if record.exc_text:
            record.exc_text = masker.mask(record.exc_text)
        if record.stack_info:
            record.stack_info = masker.mask(record.stack_info)
        return True
