"""Removing terminal control sequences from a stream of text.

:class:`EscapeFilter` takes text in pieces as it arrives and gives back the
same text without the ANSI/VT100 sequences a terminal would act on instead
of showing: CSI sequences (colours, cursor moves, erase-line, modes such as
bracketed paste), OSC strings (window titles, ended by BEL or ST), DCS, SOS,
PM and APC strings, and the short ``ESC x`` forms (keypad modes, charsets,
save and restore cursor).  A sequence cut by the end of a piece is held
back until the rest arrives, so how the text is cut never changes the
result.  Everything else, an ESC that starts no sequence included, is
passed on as it is.
"""

from __future__ import annotations

import re

__all__ = ["EscapeFilter", "strip_escapes"]

ESC = "\x1b"

# A complete sequence at the start of the text.
_SEQUENCE = re.compile(
    r"\x1b(?:"
    r"\[[0-?]*[ -/]*[@-~]"                      # CSI
    r"|[\]PX^_][^\x07\x1b]*(?:\x07|\x1b\\)"     # OSC, DCS, SOS, PM, APC
    r"|[ -/]*[0-OQ-WYZ\\`-~]"                    # two-character forms
    r")")
# What could still grow into a sequence: a prefix of one, at the end.
_PARTIAL = re.compile(
    r"\x1b(?:"
    r"|\[[0-?]*[ -/]*"
    r"|[\]PX^_][^\x07\x1b]*\x1b?"
    r"|[ -/]+"
    r")\Z")


class EscapeFilter:
    """A stream filter: ``feed(piece)`` returns the text of ``piece`` (and of
    what was held back before it) without control sequences, holding back
    the start of a sequence cut by the end of ``piece``; ``flush()`` returns
    what is held back, as it is, at the end of the stream."""

    __slots__ = ("_held", "removed")

    def __init__(self) -> None:
        self._held = ""
        # Characters removed so far, for those who want to know.
        self.removed = 0

    def feed(self, text: str) -> str:
        if self._held:
            text = self._held + text
            self._held = ""
        start = text.find(ESC)
        if start < 0:
            return text
        out = [text[:start]]
        end = len(text)
        while start < end:
            found = _SEQUENCE.match(text, start)
            if found is not None:
                self.removed += found.end() - start
                start = found.end()
            elif _PARTIAL.match(text, start) is not None:
                self._held = text[start:]
                break
            else:
                # An ESC that starts nothing: shown as it is.
                out.append(ESC)
                start += 1
            following = text.find(ESC, start)
            if following < 0:
                out.append(text[start:])
                break
            out.append(text[start:following])
            start = following
        return "".join(out)

    def flush(self) -> str:
        held, self._held = self._held, ""
        return held

    @property
    def holding(self) -> bool:
        return bool(self._held)


def strip_escapes(text: str) -> str:
    """``text`` without terminal control sequences (a cut one at its end is
    kept, as it is)."""
    stream = EscapeFilter()
    return stream.feed(text) + stream.flush()
