"""Keeping secrets out of texts: every form a secret takes, masked.

Everything about secrets lives here: which texts of a run are secrets
(:func:`collect_secrets`), how a statement's args are shown without them
(:func:`describe_args`), the maskers, and the registry of the secrets of
the runs under way.

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
from collections.abc import Iterable, Mapping
from typing import Any

from tavrel._engine.senders import sends_payload

__all__ = ["MASK", "forms", "Masker", "StreamMasker", "activate",
           "deactivate", "active", "collect_secrets", "describe_args",
           "CREDENTIAL_NAMES"]

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
    """Masks every form of every secret in a text, all at once.

    The places where any form occurs are merged where they overlap or touch,
    and each merged stretch becomes one mask: so a secret that begins,
    ends or overlaps another is masked whole, whichever is found first.
    """

    __slots__ = ("secrets", "forms", "longest", "_by_first")

    def __init__(self, secrets: Iterable[str | bytes] = ()) -> None:
        self.secrets = tuple(s for s in secrets if len(s))
        every: set[str] = set()
        for secret in self.secrets:
            every |= forms(secret)
        self.forms = tuple(sorted(every, key=lambda f: (-len(f), f)))
        self.longest = len(self.forms[0]) if self.forms else 0
        # The forms a character can begin (and not end), for what could
        # still be the start of one.
        by_first: dict[str, list[str]] = {}
        for form in self.forms:
            if len(form) > 1:
                by_first.setdefault(form[0], []).append(form)
        self._by_first = by_first

    def __bool__(self) -> bool:
        return bool(self.forms)

    def __or__(self, other: Masker) -> Masker:
        return Masker(self.secrets + other.secrets)

    def spans(self, text: str) -> list[tuple[int, int]]:
        """Where forms occur in ``text``: (start, end) pairs in order,
        those that overlap or touch merged."""
        # One str.find pass per form: a fast search in C each, where one
        # alternation of all forms has the regex engine try position by
        # position.
        found = []
        for form in self.forms:
            at = text.find(form)
            size = len(form)
            while at >= 0:
                found.append((at, at + size))
                at = text.find(form, at + 1)
        if len(found) < 2:
            return found
        found.sort()
        merged = [found[0]]
        for start, end in found:
            last_start, last_end = merged[-1]
            if start <= last_end:
                if end > last_end:
                    merged[-1] = (last_start, end)
            else:
                merged.append((start, end))
        return merged

    def unfinished(self, text: str) -> int:
        """Where the end of ``text`` that could still be the start of a form
        begins (the earliest such place); ``len(text)`` if none could."""
        size = len(text)
        by_first = self._by_first
        for at in range(max(0, size - self.longest + 1), size):
            candidates = by_first.get(text[at])
            if candidates:
                rest = text[at:]
                for form in candidates:
                    if len(form) > len(rest) and form.startswith(rest):
                        return at
        return size

    def ending_spans(self, text: str) -> list[tuple[int, int]]:
        """:meth:`spans`, with the end of ``text`` that could still be the
        start of a form taken as part of one: the text ends there, so it
        can only be a secret cut short."""
        spans = self.spans(text)
        at = self.unfinished(text)
        if at < len(text):
            while spans and spans[-1][1] >= at:
                at = min(at, spans.pop()[0])
            spans.append((at, len(text)))
        return spans

    def mask(self, text: str) -> str:
        """``text`` with every stretch of :meth:`spans` one mask."""
        spans = self.spans(text)
        return _masked(text, spans) if spans else text

    def excerpt(self, text: str, start: int, end: int, ending: bool = False,
                before: str = "") -> str:
        """``text[start:end]`` masked as it is masked inside ``text``: a
        secret that it holds only part of shows as the mask.  ``ending``:
        ``text`` is cut off at its end (see :meth:`ending_spans`);
        ``before``: output that came just before ``text``."""
        if not self.forms:
            return text[start:end]
        reach = self.longest - 1
        low = max(0, start - reach)
        high = min(len(text), end + reach)
        window = text[low:high]
        if low == 0 and before:
            before = before[max(0, len(before) - reach):]
            window = before + window
            low -= len(before)
        spans = (self.ending_spans(window) if ending and high == len(text)
                 else self.spans(window))
        return _masked(window, spans, start - low, end - low)

    def tail(self, text: str, length: int, before: str = "",
             whole: bool = True) -> str | None:
        """The end of ``text``, masked (its very end as
        :meth:`ending_spans` says), then cut to at most ``length`` characters; never in the middle of a mask
        (a cut there starts after it).  ``before`` is output that came
        just before ``text`` and is not shown (a secret that began in it
        still counts).  ``whole``: ``text`` is all there is since
        ``before``; if not, it is the end of longer output, and None means
        it was too short to tell where a secret before it ends."""
        if not self.forms:
            return text[max(0, len(text) - length):]
        reach = self.longest - 1
        if whole:
            before = before[max(0, len(before) - reach):]
            known = len(before)
        else:
            before = ""
            known = min(reach, len(text))
        full = before + text
        pieces: list[str] = []
        room = length
        pos = len(full)
        for start, stop in reversed(self.ending_spans(full)):
            if stop <= known:
                break
            plain = full[stop:pos]
            if len(plain) >= room:
                pieces.append(plain[len(plain) - room:])
                return "".join(reversed(pieces))
            pieces.append(plain)
            room -= len(plain)
            if len(MASK) > room:
                return "".join(reversed(pieces))
            pieces.append(MASK)
            room -= len(MASK)
            pos = start
            if pos <= known:
                break
        plain = full[known:pos]
        if len(plain) >= room:
            pieces.append(plain[len(plain) - room:])
            return "".join(reversed(pieces))
        if not whole:
            return None
        pieces.append(plain)
        return "".join(reversed(pieces))


def _masked(text: str, spans: list[tuple[int, int]], start: int = 0,
            end: int | None = None) -> str:
    """``text[start:end]`` with each span that reaches into it masked."""
    if end is None:
        end = len(text)
    pieces = []
    pos = start
    for first, stop in spans:
        if stop <= start:
            continue
        if first >= end:
            break
        if first > pos:
            pieces.append(text[pos:first])
        pieces.append(MASK)
        pos = stop
    if pos < end:
        pieces.append(text[pos:end])
    return "".join(pieces)


class StreamMasker:
    """Masks a text that arrives in pieces: what it writes, flush
    included, is the whole text masked after
    :meth:`Masker.ending_spans`, however the text was cut.  So a secret
    split across pieces, or echoed one character at a time, is masked
    whole.  Only what could still be the start of a secret is held back,
    until the next piece shows whether it is, or until :meth:`flush`,
    which masks it (the stream ended inside it)."""

    __slots__ = ("masker", "_held", "_out", "_open")

    def __init__(self, masker: Masker) -> None:
        self.masker = masker
        # The raw text not written yet, after some that is (_out
        # characters: output from before the stream, or a secret's start
        # already under the last mask written).
        self._held = ""
        self._out = 0
        # Whether what was written ends with a mask over held[:_out]: a
        # secret found there joins it, not a mask of its own.
        self._open = False

    def follow(self, text: str) -> None:
        """Before the first piece: ``text`` came just before the stream and
        is written already (or is not to be); a secret it begins is masked
        where the stream ends it."""
        reach = self.masker.longest - 1
        if reach > 0 and text:
            self._held = text[max(0, len(text) - reach):]
            self._out = len(self._held)

    def feed(self, text: str) -> str:
        """What can be written now of what has arrived."""
        masker = self.masker
        if not masker:
            return text
        data = self._held + text if self._held else text
        return self._write(data, masker.spans(data), masker.unfinished(data))

    def flush(self) -> str:
        """The rest: the stream ended, so what was held back can only be
        part of a secret, and is masked."""
        data = self._held
        if not data:
            return ""
        out = self._write(data, self.masker.ending_spans(data), len(data))
        self._out, self._open = 0, False
        return out

    def _write(self, data: str, spans: list[tuple[int, int]],
               upto: int) -> str:
        """Write ``data`` up to ``upto`` (masked after ``spans``) and hold
        back the rest."""
        pieces = []
        pos = self._out
        joins = self._open
        for start, end in spans:
            if start >= upto and start > pos:
                break
            if end < pos or (end == pos and not joins):
                continue
            if start > pos:
                pieces.append(data[pos:start])
                joins = False
            if not joins:
                pieces.append(MASK)
                joins = True
            pos = max(pos, end)
        if pos < upto:
            pieces.append(data[pos:upto])
            pos = upto
            joins = False
        self._held = data[upto:]
        self._out = pos - upto
        self._open = joins and pos >= upto
        return "".join(pieces)


# -- the secrets of the dialogs running now -------------------------------------

_lock = threading.Lock()
_running: dict[int, Masker] = {}
# The secrets of all runs, combined when first asked after a change (None
# until then): made at every start and end, it cost each run the forms of
# every secret of every other run, hundreds of runs at once a square.
_combined: list[Masker | None] = [Masker()]
_tokens = iter(range(1, 1 << 62))


def activate(masker: Masker) -> int:
    """Register the secrets of a run that starts; returns its token."""
    with _lock:
        token = next(_tokens)
        _running[token] = masker
        _combined[0] = None
    return token


def deactivate(token: int) -> None:
    with _lock:
        if _running.pop(token, None) is not None:
            _combined[0] = None


def _combine() -> Masker:
    secrets: list[str | bytes] = []
    for masker in _running.values():
        secrets += masker.secrets
    return Masker(secrets)


def active() -> Masker:
    """The secrets of every dialog running now (the same object until a
    run starts or ends)."""
    combined = _combined[0]
    if combined is None:
        with _lock:
            combined = _combined[0]
            if combined is None:
                combined = _combined[0] = _combine()
    return combined


# -- the secrets of a dialog, and its statements shown without them ------------

# Names of args entries whose values are credentials whatever they hold.
CREDENTIAL_NAMES = frozenset({"password", "passwd", "secret", "passphrase",
                              "token", "pin", "credential", "credentials"})
def _is_secret(value: object) -> bool:
    return hasattr(value, "plaintext")


def _texts(values: Iterable[object]) -> list[str | bytes]:
    # Imported here: tavrel.utils masks with this module.
    from tavrel.utils import to_plaintext

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
    payload = sends_payload(statement.action)
    shown = []
    for name, value in args.items():
        if (payload and name == "key") or _is_secret(value) or (
                isinstance(name, str) and name.lower() in CREDENTIAL_NAMES):
            text = MASK
        else:
            text = repr(value)
        shown.append("%r: %s" % (name, text))
    return masker.mask("{" + ", ".join(shown) + "}")
