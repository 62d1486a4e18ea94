"""The engine's side of a spawn: what it reads, and the buffer it hands back.

The core works on text.  A :class:`SpawnChannel` turns what a spawn's
``read_nonblocking`` returns into that text (bytes are read as UTF-8, with
undecodable bytes kept as surrogate escapes so that nothing is lost), and
moves the unconsumed output between the engine and ``spawn.buffer`` in the
spawn's own type: when the run starts, around every action, and when the run
stops.  Both drivers use it, so they hand back exactly alike.
"""

from __future__ import annotations

import codecs
import io
from typing import Any

from pexpect.popen_spawn import PopenSpawn

from tavrel._engine.secrets import Masker, StreamMasker

__all__ = ["SpawnChannel", "Transcript", "reader_of"]

_TEXT = "text"
_BYTES = "bytes"


def _kind_of(value: object) -> str | None:
    """_TEXT, _BYTES, or None for what is neither str nor bytes-like."""
    if isinstance(value, str):
        return _TEXT
    if isinstance(value, (bytes, bytearray)):
        return _BYTES
    try:
        memoryview(value)  # type: ignore[arg-type]
    except TypeError:
        return None
    return _BYTES


def reader_of(spawn: Any) -> Any:
    """The spawn's read_nonblocking, as the engine calls it."""
    read = spawn.read_nonblocking
    if isinstance(spawn, PopenSpawn):
        # Its read takes from a queue only while less than ``timeout`` has
        # passed, so with 0 it never looks: the engine's polls (a timeout
        # of 0, the last look at the deadline) would see nothing.  The
        # queue is read without waiting either way.
        def read_popen(size: int, timeout: float | None) -> Any:
            if timeout is not None and timeout < _POPEN_LEAST:
                timeout = _POPEN_LEAST
            return read(size, timeout)
        return read_popen
    return read


# See reader_of.
_POPEN_LEAST = 0.001


class SpawnChannel:
    """Reads and buffer hand-overs of one run against ``spawn``; what the
    reads bring also goes to ``transcript``, if any."""

    __slots__ = ("spawn", "transcript", "read", "stray", "_kind", "_decoder",
                 "_has_buffer", "_emptied")

    def __init__(self, spawn: Any, transcript: Transcript | None = None
                 ) -> None:
        self.spawn = spawn
        self.transcript = transcript
        self._decoder: codecs.IncrementalDecoder | None = None
        self._has_buffer = hasattr(spawn, "buffer")
        # Whether the spawn's buffer is known to be empty (we emptied it and
        # nothing ran since that could fill it).
        self._emptied = False
        self._kind: str | None = None
        # Text read that the core has not got yet: a read whose transcript
        # write failed.  It is handed back with the rest.
        self.stray = ""
        self.read = reader_of(spawn)
        if self._has_buffer:
            # Checked before the run touches anything.
            self._kind = self._check(spawn.buffer, "buffer is")
            if transcript is not None:
                transcript.check(self._kind == _BYTES)

    def _check(self, value: object, what: str) -> str:
        kind = _kind_of(value)
        if kind is None:
            raise TypeError(
                "the %s spawn's %s %s; it must be str or a bytes-like object"
                % (type(self.spawn).__name__, what, type(value).__name__))
        return kind

    @property
    def is_bytes(self) -> bool:
        return self._kind == _BYTES

    @property
    def is_text(self) -> bool:
        """A text spawn, with no bytes of a character held back."""
        return self._kind == _TEXT and self._decoder is None

    # -- reading ---------------------------------------------------------

    def accept(self, data: object) -> str | None:
        """The text of what a read returned; None when it returned nothing.
        Raises TypeError for anything but str and bytes-like objects."""
        text = self._text_of(data)
        if text:
            self._record(text)
        return text

    def _record(self, text: str) -> None:
        transcript = self.transcript
        if transcript is not None:
            try:
                transcript.check(self._kind == _BYTES)
                transcript.write(text, self._kind == _BYTES)
            except BaseException:
                # The output is the run's first: it goes back to the spawn
                # with the rest, whatever became of its transcript.
                self.stray += text
                raise

    def _text_of(self, data: object) -> str | None:
        if (type(data) is str and self._kind == _TEXT and data
                and self._decoder is None):
            return data  # type: ignore[return-value]
        kind = self._check(data, "read_nonblocking() returned")
        if self._kind is None:
            self._kind = kind
        if kind == _TEXT:
            assert isinstance(data, str)
            if not data:
                return None
            if self._decoder is not None and self._decoder.getstate()[0]:
                # Text after bytes that ended inside a character.
                return str(self._decoder.decode(b"", final=True)) + data
            return data
        raw = bytes(memoryview(data))  # type: ignore[arg-type]
        if not raw:
            return None
        return self._decode(raw)

    def _decode(self, raw: bytes) -> str:
        if self._decoder is None:
            self._decoder = codecs.getincrementaldecoder("utf-8")(
                "surrogateescape")
        return self._decoder.decode(raw)

    def flush(self) -> str:
        """The end of the session: bytes still held for an unfinished
        character, as surrogate escapes (so what is handed back stays byte
        for byte what was read)."""
        if self._decoder is None:
            return ""
        text: str = self._decoder.decode(b"", final=True)
        if text:
            self._record(text)
        return text

    def held(self) -> bytes:
        """Bytes read but held for a character not yet complete."""
        if self._decoder is None:
            return b""
        pending: bytes = self._decoder.getstate()[0]
        return pending

    def _pending(self) -> bytes:
        pending = self.held()
        if pending:
            self._decoder.reset()  # type: ignore[union-attr]
        return pending

    # -- the spawn's buffer ----------------------------------------------

    def take(self) -> str:
        """Take what the spawn holds in its buffer, leaving it empty."""
        if not self._has_buffer:
            return ""
        spawn = self.spawn
        value = spawn.buffer
        if not value and (type(value) is str or type(value) is bytes):
            # Empty, the common case after an action.  (pexpect's private
            # copy, below, is longer only after an expect that timed out
            # with output in its window, which is never empty.)
            self._emptied = True
            return ""
        kind = self._check(value, "buffer is")
        # After a timed-out expect with a search window, pexpect keeps only
        # the window in buffer and everything since its last match in the
        # private _before, from which its next expect starts: so do we.
        before = getattr(spawn, "_before", None)
        getvalue = getattr(before, "getvalue", None)
        if getvalue is not None:
            longer = getvalue()
            if _kind_of(longer) == kind and len(longer) > len(value):
                value = longer
        if self._kind is None:
            self._kind = kind
        if kind == _TEXT:
            text = value
        else:
            text = self._decode(bytes(memoryview(value)))
        if len(value):
            self._set(value[:0])
        self._emptied = True
        return text

    def leftover(self, handed: str) -> str:
        """What an action that raised left in the spawn's buffer; if even
        that cannot be read, the action's own exception is the one to
        report, and ``handed`` is taken back as it was."""
        try:
            return self.take()
        except Exception:
            return handed

    def hand_over(self, text: str) -> None:
        """Put ``text`` into the spawn's buffer for an action to read on
        from."""
        if text or not self._emptied or (self._decoder is not None
                                         and self._decoder.getstate()[0]):
            self._set(self._encode(text))
        # The action may fill it.
        self._emptied = False

    def put_back(self, text: str) -> None:
        """The run is over: ``text`` is the output it did not consume."""
        value = self._encode(text)
        if self._has_buffer or len(value):
            self._set(value)

    def _encode(self, text: str) -> str | bytes:
        if self._kind == _BYTES:
            # Bytes of an unfinished character go with the text they follow.
            return text.encode("utf-8", "surrogateescape") + self._pending()
        if self._decoder is not None:
            # A text spawn that returned bytes once, ending inside a
            # character.
            text += self._decoder.decode(b"", final=True)
        return text

    def _set(self, value: str | bytes) -> None:
        spawn = self.spawn
        spawn.buffer = value
        self._has_buffer = True
        # pexpect's expect() starts from its private "_before" copy when that
        # is longer than the buffer; keep it equal to what we hand back, as
        # pexpect itself does after a match, so no stale text is searched.
        buffer_type = getattr(spawn, "buffer_type", None)
        if buffer_type is not None and hasattr(spawn, "_before"):
            before = buffer_type()
            before.write(value)
            spawn._before = before


class Transcript:
    """A masked transcript of what a run reads: every secret masked, also
    when it arrives split across reads; everything else written as it was
    read (as bytes, byte for byte, for a bytes spawn)."""

    __slots__ = ("file", "_stream", "_checked")

    def __init__(self, file: Any, masker: Masker) -> None:
        self.file = file
        self._stream = StreamMasker(masker)
        self._checked = False

    def check(self, as_bytes: bool) -> None:
        """Refuse a file that takes the other kind of data than the spawn
        reads, before anything is written (or read) at all."""
        if self._checked:
            return
        takes = _takes_bytes(self.file)
        if takes is not None and takes != as_bytes:
            raise TypeError(
                "the transcript %s takes %s, but the spawn reads %s; open it "
                "in %s mode" % (type(self.file).__name__,
                                "bytes" if takes else "text",
                                "bytes" if as_bytes else "text",
                                "binary" if as_bytes else "text"))
        self._checked = True

    def follow(self, text: str) -> None:
        """``text`` is the output before the run (the spawn's buffer when it
        starts): not written, but a secret it begins and the run's reads
        end is masked."""
        self._stream.follow(text)

    def write(self, text: str, as_bytes: bool) -> None:
        out = self._stream.feed(text)
        if out:
            self._emit(out, as_bytes)

    def close(self, as_bytes: bool) -> None:
        """The run is over: write what was held back, masked (it could only
        be the start of a secret), and flush.  Bytes of a character the run
        did not see complete are not written: they go back to the spawn's
        buffer, and the run that completes the character writes it whole
        (and masks it, if a secret it is part of)."""
        out = self._stream.flush()
        if out:
            self._emit(out, as_bytes)
        flush = getattr(self.file, "flush", None)
        if callable(flush):
            flush()

    def _emit(self, text: str, as_bytes: bool) -> None:
        self.file.write(text.encode("utf-8", "surrogateescape")
                        if as_bytes else text)


def _takes_bytes(file: Any) -> bool | None:
    """Whether a file-like object takes bytes (True) or text (False), when
    it says; None when it does not."""
    if isinstance(file, io.TextIOBase):
        return False
    if isinstance(file, (io.RawIOBase, io.BufferedIOBase)):
        return True
    mode = getattr(file, "mode", None)
    if isinstance(mode, str) and mode:
        return "b" in mode
    return None
