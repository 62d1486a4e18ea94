"""A session's masked transcript and its recording.

Both see the whole session, across every dialog and command run on it, so
one masker serves a session for its lifetime: it starts with the secrets
the session was given (its password among them) and learns those of every
dialog that runs while the session reads or sends.  A secret a dialog sent
is then still masked when the far end echoes it during a later dialog.

The recording is JSON lines: a header, then one object per event, ``t``
seconds after the session opened::

    {"recording": "tavrel-session", "version": 1, "kind": "ssh", ...}
    {"t": 0.012, "in": "Username: "}
    {"t": 0.013, "out": "admin\\n"}
    {"t": 0.250, "eof": true}

:class:`tavrel.testing.ReplaySpawn` plays it back.
"""

from __future__ import annotations

import codecs
import io
import json
import threading
import time
from collections.abc import Iterable
from typing import IO, Any, Union

from tavrel._engine.secrets import Masker, StreamMasker, active

__all__ = ["SessionSecrets", "Transcript", "Recorder", "FORMAT",
           "Destination"]

FORMAT = "tavrel-session"
VERSION = 1

#: Where a transcript or recording goes: a path, or a file object.
Destination = Union[str, "io.IOBase", IO[Any]]


def _text(value: object) -> str | bytes | None:
    if isinstance(value, (str, bytes)):
        return value
    plaintext = getattr(value, "plaintext", None)
    return plaintext if isinstance(plaintext, (str, bytes)) else None


class SessionSecrets:
    """The secrets of one session: those given, and those of every dialog
    seen running while the session was in use."""

    def __init__(self, given: Iterable[object] = ()) -> None:
        found = [_text(s) for s in given]
        self._masker = Masker(s for s in found if s is not None)
        self._seen: Masker | None = None
        self._lock = threading.Lock()

    def add(self, secret: object) -> None:
        value = _text(secret)
        if value:
            with self._lock:
                self._masker = Masker(self._masker.secrets + (value,))

    def current(self) -> Masker:
        running = active()
        if running is self._seen:
            return self._masker
        with self._lock:
            self._seen = running
            new = [s for s in running.secrets
                   if s not in self._masker.secrets]
            if new:
                self._masker = Masker(self._masker.secrets + tuple(new))
            return self._masker


def _open(destination: Destination, binary_ok: bool) -> tuple[Any, bool, bool]:
    """(file, writes bytes, we opened it)."""
    if isinstance(destination, str):
        return (open(destination, "w", encoding="utf-8",
                     errors="surrogateescape"), False, True)
    if not callable(getattr(destination, "write", None)):
        raise TypeError("expected a path or a file-like object, not %s"
                        % type(destination).__name__)
    binary = isinstance(destination, (io.RawIOBase, io.BufferedIOBase)) or \
        "b" in str(getattr(destination, "mode", ""))
    if binary and not binary_ok:
        raise TypeError("a recording is written to a text file")
    return destination, binary, False


class Transcript:
    """Everything that arrives, masked, written as it arrives (a secret
    split across arrivals is held back until it is whole, then masked)."""

    def __init__(self, destination: Destination,
                 secrets: SessionSecrets) -> None:
        self.file, self._binary, self._owned = _open(destination, True)
        self._secrets = secrets
        self._stream = StreamMasker(secrets.current())
        self._decoder = codecs.getincrementaldecoder("utf-8")(
            "surrogateescape")
        self._lock = threading.Lock()
        self.closed = False

    def arrived(self, data: bytes) -> None:
        with self._lock:
            if self.closed:
                return
            self._stream.masker = self._secrets.current()
            self._emit(self._stream.feed(self._decoder.decode(data)))

    def ended(self) -> None:
        """The far end is gone (the transcript is written on close)."""

    def close(self) -> None:
        with self._lock:
            if self.closed:
                return
            self.closed = True
            self._stream.masker = self._secrets.current()
            text = self._stream.feed(self._decoder.decode(b"", final=True))
            self._emit(text + self._stream.flush())
            if self._owned:
                self.file.close()
            elif callable(getattr(self.file, "flush", None)):
                self.file.flush()

    def _emit(self, text: str) -> None:
        if text:
            self.file.write(text.encode("utf-8", "surrogateescape")
                            if self._binary else text)


class Recorder:
    """What arrived and when, and what was sent, as JSON lines; secrets
    masked in both directions."""

    def __init__(self, destination: Destination, secrets: SessionSecrets,
                 header: dict[str, Any]) -> None:
        self.file, _, self._owned = _open(destination, False)
        self._secrets = secrets
        self._stream = StreamMasker(secrets.current())
        self._decoder = codecs.getincrementaldecoder("utf-8")(
            "surrogateescape")
        self._lock = threading.Lock()
        self._start = time.monotonic()
        self.closed = False
        self._line(dict({"recording": FORMAT, "version": VERSION}, **header))

    def _line(self, event: dict[str, Any]) -> None:
        self.file.write(json.dumps(event) + "\n")

    def _now(self) -> float:
        return round(time.monotonic() - self._start, 6)

    def arrived(self, data: bytes) -> None:
        with self._lock:
            if self.closed:
                return
            self._stream.masker = self._secrets.current()
            text = self._stream.feed(self._decoder.decode(data))
            if text:
                self._line({"t": self._now(), "in": text})

    def sent(self, data: bytes) -> None:
        with self._lock:
            if self.closed:
                return
            masker = self._secrets.current()
            self._line({"t": self._now(),
                        "out": masker.mask(data.decode("utf-8",
                                                       "surrogateescape"))})

    def ended(self) -> None:
        with self._lock:
            if not self.closed:
                self._flush_input()
                self._line({"t": self._now(), "eof": True})

    def _flush_input(self) -> None:
        self._stream.masker = self._secrets.current()
        text = self._stream.feed(self._decoder.decode(b"", final=True))
        text += self._stream.flush()
        if text:
            self._line({"t": self._now(), "in": text})

    def close(self) -> None:
        with self._lock:
            if self.closed:
                return
            self.closed = True
            self._flush_input()
            if self._owned:
                self.file.close()
            elif callable(getattr(self.file, "flush", None)):
                self.file.flush()
