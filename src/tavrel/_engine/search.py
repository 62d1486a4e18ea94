"""Searching the output as it grows, in time linear in its size.

The rule the engine keeps is that of a full search: a statement's pattern
matches when ``regex.search(output, start)`` finds a match in the unconsumed
output, where ``start`` is 0, or, for a statement that keeps the buffer, the
end of its last match.  Done naively on every read, that costs time
quadratic in the output: a prompt behind 64 MB of ``show tech-support`` is
searched for from the start of those 64 MB after each of a thousand reads.

So for each pattern text the search keeps a *restart position*: every start
before it has failed, and will keep failing however the output grows.  The
bound comes from what the compiled pattern can look at (worked out once per
pattern text, in :func:`analyze`):

* reach: a pattern that examines at most ``k`` characters from its start
  (counting what lookaheads read, and the character after the position that
  ``$`` and ``\\b`` look at) has settled every start ``k`` characters or more
  before the end;
* lines: a pattern that can consume at most ``m`` newlines (a ``.*`` consumes
  none) cannot look past the ``m+1``-th newline after its start, so only the
  last ``m+1`` lines can still match;
* a trailing repeat of a character class before ``$`` or ``\\Z``
  (``SW-1#\\s*$``): an attempt whose run of the class reaches the end
  matches, so one that failed was cut short for good, and the start is
  settled once what comes before the repeat has been examined;
* a literal prefix: a start where the prefix is not is settled;
* an anchored start (``\\A``, ``^`` without MULTILINE): only the first start
  can match.

Counts and widths may be unbounded (infinite): a product of the two is 0
when either is, never ``inf * 0``, which is nan and would make a bound
vanish from every comparison.  Where a rule cannot show its bound (an
operator it does not know, say), it gives none.

Each search then starts at the restart position, in a window of the output
that begins a margin before it, wide enough for what the pattern looks at
behind its start (lookbehind, ``\\b``, a multi-line ``^``), so that anchors
behave exactly as on the whole output.  When the window finds a match, the
full search itself is made once, on the whole output, so the ``re.Match``
returned is the very one the full search gives.  A pattern no rule covers is
searched from the start, as before: never slower.  When the output is
trimmed, the output before a pattern's start changes, so patterns that look
behind their start, or at the beginning of the output, search their start
again, as every pattern does when an action replaced the output.

Two rules bound when to search rather than where.  The ending rule: a
pattern that ends in ``$`` (without MULTILINE) or ``\\Z`` and consumes a
character last can only match when the output ends (or ends but for a
newline, for ``$``) with a character its last item takes: a prompt that ends
in ``#`` is not searched for while the output ends mid-line.  And the tail
rule: a match of a pattern without lookaheads, whose last consumed character
is followed by no assertion, cannot end within output a full search found
nothing in
(see :func:`_tail_rule`).  So once a search found nothing, the search is
skipped until new output holds what the pattern's last items match (the
``X`` of ``(?:Q|\\n)+X``, the ``Version`` of ``(?s).*Version``): a pattern
that ends in a rare prompt character is searched about once, however long
the output before it.  The skip needs a full search again after the output
was replaced, or trimmed for a pattern that looks back.  Only patterns with
no reach use it: the others search a short window anyway.
"""

from __future__ import annotations

import re
from bisect import bisect_right
from functools import lru_cache
from typing import Any, NamedTuple

try:  # 3.11 and later
    from re import _constants as _c  # type: ignore[attr-defined]
    from re import _parser as _sre_parse  # type: ignore[attr-defined]
except ImportError:  # 3.10
    import sre_constants as _c  # type: ignore[no-redef]
    import sre_parse as _sre_parse  # type: ignore[no-redef]

__all__ = ["Output", "Rules", "analyze", "PatternSearch", "full_search"]

INF = float("inf")



# -- the output ----------------------------------------------------------------

class Output:
    """The unconsumed output of a run, as chunks joined only where a search
    needs them.  Offsets are absolute: counted from the start of the run, so
    they stay valid when the front is consumed."""

    __slots__ = ("_chunks", "_starts", "base", "end")

    def __init__(self, text: str = "") -> None:
        # The first chunk always starts at base.
        self._chunks: list[str] = []
        self._starts: list[int] = []
        # Absolute offsets of the first unconsumed character and of the end.
        self.base = 0
        self.end = 0
        if text:
            self.append(text)

    def __len__(self) -> int:
        return self.end - self.base

    def __bool__(self) -> bool:
        return self.end > self.base

    def append(self, text: str) -> None:
        if text:
            self._chunks.append(text)
            self._starts.append(self.end)
            self.end += len(text)

    def text(self) -> str:
        """All of the unconsumed output, joined once and kept joined."""
        chunks = self._chunks
        if len(chunks) == 1:
            return chunks[0]
        if not chunks:
            return ""
        joined = "".join(chunks)
        # The chunks go at once: at 64 MB, two copies are enough.
        chunks.clear()
        chunks.append(joined)
        del self._starts[1:]
        return joined

    def tail(self, start: int) -> str:
        """The output from absolute offset ``start`` (>= base) to the end."""
        if start <= self.base:
            return self.text()
        if start >= self.end:
            return ""
        i = bisect_right(self._starts, start) - 1
        head = self._chunks[i][start - self._starts[i]:]
        if i + 1 == len(self._chunks):
            return head
        return head + "".join(self._chunks[i + 1:])

    def last(self, count: int) -> str:
        """The last ``count`` characters (fewer if there are not as
        many)."""
        chunks = self._chunks
        if not chunks:
            return ""
        text = chunks[-1][-count:]
        i = len(chunks) - 2
        while len(text) < count and i >= 0:
            text = chunks[i][len(text) - count:] + text
            i -= 1
        return text

    def rfind(self, char: str, limit: int, count: int) -> int:
        """Absolute offset of the ``count``-th ``char`` counted backwards
        from offset ``limit`` (inclusive), or -1 when there are fewer."""
        i = bisect_right(self._starts, limit) - 1
        while i >= 0 and count:
            chunk = self._chunks[i]
            origin = self._starts[i]
            hi = min(len(chunk), limit - origin + 1)
            while count:
                hit = chunk.rfind(char, 0, hi)
                if hit < 0:
                    break
                count -= 1
                if not count:
                    return origin + hit
                hi = hit
            i -= 1
        return -1

    def consume(self, size: int, text: str | None = None) -> str:
        """Remove and return the first ``size`` characters.  ``text`` is
        the unconsumed output when the caller has it at hand."""
        if text is None or len(self._chunks) != 1 or text is not self._chunks[0]:
            text = self.text()
        taken = text[:size]
        if taken:
            rest = text[size:]
            self.base += len(taken)
            if rest:
                self._chunks[0] = rest
                self._starts[0] = self.base
            else:
                self._chunks.clear()
                self._starts.clear()
        return taken

    def drop(self, size: int) -> None:
        """Remove the first ``size`` characters, copying no more than the
        chunk the cut falls in."""
        cut = min(self.base + size, self.end)
        chunks, starts = self._chunks, self._starts
        i = bisect_right(starts, cut) - 1
        if i > 0:
            del chunks[:i]
            del starts[:i]
        if chunks:
            rest = chunks[0][cut - starts[0]:]
            if rest:
                chunks[0] = rest
                starts[0] = cut
            else:
                chunks.clear()
                starts.clear()
        self.base = cut

    def replace_from(self, offset: int, text: str) -> None:
        """Replace the output from absolute ``offset`` on with ``text``."""
        kept = self.text()[:offset - self.base]
        self._chunks = [kept] if kept else []
        self._starts = [self.base] if kept else []
        self.end = self.base + len(kept)
        self.append(text)


# -- what a pattern can look at ------------------------------------------------

class Tail(NamedTuple):
    """The last ``width`` characters of every match: a literal text, or
    what a regex matches."""

    literal: Literal | None
    regex: re.Pattern[str] | None
    width: int

    def occurs_in(self, text: str) -> bool:
        if self.literal is not None:
            return self.literal.find(text) >= 0
        assert self.regex is not None
        return self.regex.search(text) is not None


class Rules(NamedTuple):
    """What bounds the starts at which a pattern can still match."""

    # Forward reach: the largest offset from its start that an attempt may
    # examine, or None if there is no bound.
    reach: int | None
    # The most newlines an attempt may consume, or None.
    lines: int | None
    # A trailing class repeat before $ or \Z: the reach of what comes
    # before it, or None.
    trail: int | None
    # The literal text matches start with, or None.
    prefix: Literal | None
    # Only the first start of the output can match.
    anchored: bool
    # Whether the attempt at a start looks before it or at whether it is the
    # beginning of the output; and how far back it looks.
    looks_back: bool
    back: int
    # Matches end at the end of the output: how far before it they can
    # start, or None.
    end_width: int | None = None
    # What every match ends with, to be looked for in new output.
    tail: Tail | None = None
    # Matches end at the end of the output: what their last character can
    # be, to be looked at before each search.
    ending: Ending | None = None

    @property
    def incremental(self) -> bool:
        return (self.reach is not None or self.lines is not None
                or self.trail is not None or self.prefix is not None
                or self.anchored)


WHOLE = Rules(None, None, None, None, False, True, 0, None)


class Ending(NamedTuple):
    """For a pattern whose every match ends at the end of the output and
    consumes at least one character: what that last character can be
    (``chars`` matches it), and whether the match may also end just
    before a newline that ends the output (``$`` without MULTILINE)."""

    chars: re.Pattern[str]
    before_newline: bool

    def possible(self, output: Output) -> bool:
        """Whether a match can end where ``output`` ends now."""
        last = output.last(2)
        if not last:
            return False
        if self.chars.match(last, len(last) - 1):
            return True
        return (self.before_newline and len(last) == 2
                and last[1] == "\n" and self.chars.match(last) is not None)


class _Unsupported(Exception):
    pass


_SINGLE = {_c.LITERAL, _c.NOT_LITERAL, _c.ANY, _c.IN}
_REPEATS = {_c.MAX_REPEAT, _c.MIN_REPEAT}
if hasattr(_c, "POSSESSIVE_REPEAT"):
    _REPEATS.add(_c.POSSESSIVE_REPEAT)
_ATOMIC = getattr(_c, "ATOMIC_GROUP", None)
_POSSESSIVE = getattr(_c, "POSSESSIVE_REPEAT", None)
_CATEGORY_NEWLINE = {
    _c.CATEGORY_SPACE: True, _c.CATEGORY_NOT_SPACE: False,
    _c.CATEGORY_DIGIT: False, _c.CATEGORY_NOT_DIGIT: True,
    _c.CATEGORY_WORD: False, _c.CATEGORY_NOT_WORD: True,
    _c.CATEGORY_LINEBREAK: True, _c.CATEGORY_NOT_LINEBREAK: False,
}
_LOOKING_BACK = {_c.AT_BEGINNING, _c.AT_BEGINNING_STRING, _c.AT_BOUNDARY,
                 _c.AT_NON_BOUNDARY}
_AT_END_OR_BOUNDARY = {_c.AT_END, _c.AT_END_STRING, _c.AT_BOUNDARY,
                       _c.AT_NON_BOUNDARY}


def _times(count: float, size: float) -> float:
    """``count * size`` for counts and sizes that may be infinite, with
    nothing times anything nothing."""
    return 0.0 if count == 0 or size == 0 else count * size


def _matches_newline(op: Any, av: Any, flags: int) -> bool:
    if op is _c.LITERAL:
        return bool(av == 10)
    if op is _c.NOT_LITERAL:
        return bool(av != 10)
    if op is _c.ANY:
        return bool(flags & _c.SRE_FLAG_DOTALL)
    negate = False
    hit = False
    for item_op, item_av in av:
        if item_op is _c.NEGATE:
            negate = True
        elif item_op is _c.LITERAL:
            hit = hit or item_av == 10
        elif item_op is _c.RANGE:
            hit = hit or item_av[0] <= 10 <= item_av[1]
        elif item_op is _c.CATEGORY and item_av in _CATEGORY_NEWLINE:
            hit = hit or _CATEGORY_NEWLINE[item_av]
        else:
            # Not known here: assume it may match, negated or not.
            return True
    return hit != negate


class _Walk:
    """One pass over a parsed pattern, working out its reach, newlines and
    backward look."""

    def __init__(self) -> None:
        self.group_widths: dict[int, float] = {}
        self.group_lines: dict[int, float] = {}
        # Characters before the start that lookbehinds read, and whether
        # an assertion reads the one just before its position.
        self.behind = 0
        self.reads_before = False
        self.looks_back = False
        self.backrefs = False
        # What the tail rule must not meet: lookaheads anywhere; atomic
        # groups or possessive repeats together with assertions about
        # what follows a position ($, \Z, \b, \B).
        self.looks_ahead = False
        self.atomic = False
        self.looks_at_end = False

    def seq(self, items: Any, lo: float, hi: float, flags: int
            ) -> tuple[float, float, float, float]:
        """Walk ``items`` entered at offsets [lo, hi]: return the offsets it
        may leave at, the largest offset it may examine and the newlines it
        may consume."""
        exam = -1.0
        lines = 0.0
        for op, av in items:
            lo, hi, e, n = self.item(op, av, lo, hi, flags)
            exam = max(exam, e)
            lines += n
        return lo, hi, exam, lines

    def item(self, op: Any, av: Any, lo: float, hi: float, flags: int
             ) -> tuple[float, float, float, float]:
        if op in _SINGLE:
            return (lo + 1, hi + 1, hi,
                    1.0 if _matches_newline(op, av, flags) else 0.0)
        if op is _c.AT:
            return self._at(av, lo, hi, flags)
        if op is _c.SUBPATTERN:
            return self._group(av, lo, hi, flags)
        if _ATOMIC is not None and op is _ATOMIC:
            self.atomic = True
            return self.seq(av, lo, hi, flags)
        if op is _c.BRANCH:
            return _either([self.seq(sub, lo, hi, flags) for sub in av[1]])
        if op in _REPEATS:
            return self._repeat(op, av, lo, hi, flags)
        if op in (_c.ASSERT, _c.ASSERT_NOT):
            return self._assert(av, lo, hi, flags)
        if op is _c.GROUPREF:
            self.backrefs = True
            width = self.group_widths.get(av, INF)
            return (lo, hi + width, hi + max(width, 1.0) - 1,
                    self.group_lines.get(av, INF))
        if op is _c.GROUPREF_EXISTS:
            _, yes, no = av
            return _either([self.seq(yes, lo, hi, flags),
                            self.seq(no, lo, hi, flags) if no is not None
                            else (lo, hi, -1.0, 0.0)])
        raise _Unsupported(op)

    def _at(self, av: Any, lo: float, hi: float, flags: int
            ) -> tuple[float, float, float, float]:
        if av in _LOOKING_BACK:
            self.looks_back = True
            self.reads_before = True
        if av in _AT_END_OR_BOUNDARY:
            self.looks_at_end = True
        if av is _c.AT_END and not flags & _c.SRE_FLAG_MULTILINE:
            # $ also matches before a newline that ends the output: it
            # looks at the character after its position too.
            return lo, hi, hi + 1, 0.0
        if av in (_c.AT_END, _c.AT_END_STRING, _c.AT_BOUNDARY,
                  _c.AT_NON_BOUNDARY):
            return lo, hi, hi, 0.0
        return lo, hi, -1.0, 0.0

    def _group(self, av: Any, lo: float, hi: float, flags: int
               ) -> tuple[float, float, float, float]:
        group, add, remove, sub = av
        inner = (flags | add) & ~remove
        lo2, hi2, exam, lines = self.seq(sub, lo, hi, inner)
        if group is not None:
            self.group_widths[group] = max(
                self.group_widths.get(group, 0.0), hi2 - hi if hi2 != INF
                else INF)
            self.group_lines[group] = lines
        return lo2, hi2, exam, lines

    def _repeat(self, op: Any, av: Any, lo: float, hi: float, flags: int
                ) -> tuple[float, float, float, float]:
        low, high, sub = av
        if op is _POSSESSIVE:
            self.atomic = True
        if high == _c.MAXREPEAT:
            high = INF
        w_lo, w_hi, exam_rel, lines = self.seq(sub, 0, 0, flags)
        if high == 0:
            return lo, hi, -1.0, 0.0
        # The last iteration starts at most high - 1 widest iterations in
        # (a product that is 0 when either factor is: inf * 0 is nan, which
        # compares false with everything and would drop the bound).
        last = hi + _times(high - 1, w_hi)
        return (lo + _times(low, w_lo), hi + _times(high, w_hi),
                last + exam_rel if exam_rel >= 0 else -1.0,
                _times(high, lines))

    def _assert(self, av: Any, lo: float, hi: float, flags: int
                ) -> tuple[float, float, float, float]:
        direction, sub = av
        if direction == 1:
            self.looks_ahead = True
            _, _, exam, lines = self.seq(sub, lo, hi, flags)
            return lo, hi, exam, lines
        # A lookbehind reads the fixed width before the position.
        width = sub.getwidth()[1]
        self.looks_back = True
        self.behind += width
        _, _, exam, lines = self.seq(sub, lo - width, hi - width, flags)
        return lo, hi, exam, lines


def _either(results: list[tuple[float, float, float, float]]
            ) -> tuple[float, float, float, float]:
    """What one of several alternatives may do."""
    return (min(r[0] for r in results), max(r[1] for r in results),
            max(r[2] for r in results), max(r[3] for r in results))


_CLASS_FLAGS = _c.SRE_FLAG_IGNORECASE | _c.SRE_FLAG_ASCII


def _trail_rule(items: list[Any], flags: int) -> int | None:
    """The reach of ``prefix`` in ``prefix X*$`` (or ``X+``, ``\\Z``): an
    attempt whose prefix matched and whose run of X reaches the end matches
    there, so an attempt that failed had its run cut short by a character
    outside X, which more output cannot change.  Such a start is settled
    once what its prefix (and the repeat's least run) examines has
    arrived."""
    if len(items) < 2:
        return None
    last_op, last_av = items[-1]
    if last_op is not _c.AT or last_av not in (_c.AT_END, _c.AT_END_STRING):
        return None
    op, av = items[-2]
    scope = flags
    if (op is _c.SUBPATTERN and len(av[3]) == 1):
        scope = (flags | av[1]) & ~av[2]
        op, av = list(av[3])[0]
    if op not in _REPEATS or av[1] != _c.MAXREPEAT or len(av[2]) != 1:
        return None
    if list(av[2])[0][0] not in _SINGLE:
        return None
    _, hi, exam, _ = _Walk().seq(items[:-2], 0, 0, flags)
    # The repeat's first ``min`` characters are part of what must arrive.
    exam = max(exam, hi + av[0] - 1)
    return None if exam == INF else int(exam)


# Characters of what terminals print, the most common first (roughly: white
# space, lower-case letters by their frequency in English, digits, common
# punctuation, capitals).  The search for a literal looks for its rarest
# character first, at memchr's speed.
_FREQUENCY = {char: rank for rank, char in enumerate(
    " \n\r\tetaoinsrhldcumfpgwybvkxjqz0123456789-./:,_="
    "ETAOINSRHLDCUMFPGWYBVKXJQZ")}


def _rarity(char: str) -> int:
    return -_FREQUENCY.get(char, len(_FREQUENCY))


class Literal:
    """Finds the literal text every match of a pattern starts with."""

    __slots__ = ("text", "folded", "finder", "rare", "rare_at")

    def __init__(self, text: str, ignorecase: bool, flags: int) -> None:
        self.text = text
        # With IGNORECASE, the text as it compares in ASCII output, and a
        # regex for other output (where Unicode equivalences apply).
        self.folded = text.lower() if ignorecase and text.isascii() else None
        self.finder = (re.compile(re.escape(text), flags & _CLASS_FLAGS)
                       if ignorecase else None)
        self.rare_at = min(range(len(text)), key=lambda i: (
            _rarity(text[i].lower() if ignorecase else text[i]), -i))
        rare = text[self.rare_at]
        self.rare = ((rare.lower(), rare.upper())
                     if ignorecase and rare.lower() != rare.upper()
                     else (rare,))

    def __len__(self) -> int:
        return len(self.text)

    def find(self, window: str) -> int:
        """Offset of the first occurrence in ``window``, or -1."""
        if self.finder is not None and (self.folded is None
                                        or not window.isascii()):
            hit = self.finder.search(window)
            return -1 if hit is None else hit.start()
        text = self.folded or self.text
        size = len(text)
        rare_at = self.rare_at
        pos = 0
        for _ in range(8):
            # The rarest character first: each try is a memchr.
            hits = [at for at in (window.find(c, pos + rare_at)
                                  for c in self.rare) if at >= 0]
            if not hits:
                return -1
            start = min(hits) - rare_at
            candidate = window[start:start + size]
            if (candidate if self.folded is None
                    else candidate.lower()) == text:
                return start
            pos = start + 1
        # A common character after all: search for the whole text.
        if self.folded is None:
            return window.find(text, pos)
        return window.lower().find(text, pos)


def _prefix_rule(items: list[Any], flags: int) -> Literal | None:
    """The literal text every match starts with (after zero-width
    assertions such as ``^`` or ``\\b``)."""
    text = []
    for op, av in items:
        if op is _c.LITERAL:
            text.append(chr(av))
        elif text or op not in (_c.AT, _c.ASSERT, _c.ASSERT_NOT):
            break
    if not text:
        return None
    return Literal("".join(text), bool(flags & _c.SRE_FLAG_IGNORECASE), flags)


def _end_width(items: list[Any], flags: int) -> int | None:
    """For a pattern whose matches end at the end of the output (``$``
    without MULTILINE, or ``\\Z``): how far before the end a match can
    start; else None."""
    if not items or items[-1][0] is not _c.AT:
        return None
    at = items[-1][1]
    if at is _c.AT_END and not flags & _c.SRE_FLAG_MULTILINE:
        extra = 1  # $ also matches before a newline that ends the output
    elif at is _c.AT_END_STRING:
        extra = 0
    else:
        return None
    _, width, _, _ = _Walk().seq(items, 0, 0, flags)
    return None if width == INF else int(width) + extra


def _ending(items: list[Any], flags: int) -> Ending | None:
    """The :class:`Ending` of a pattern that ends in ``$`` (without
    MULTILINE) or ``\\Z``, when what it consumes last is known and never
    nothing; else None."""
    if not items or items[-1][0] is not _c.AT:
        return None
    at = items[-1][1]
    if at is _c.AT_END and not flags & _c.SRE_FLAG_MULTILINE:
        before_newline = True
    elif at is _c.AT_END_STRING:
        before_newline = False
    else:
        return None
    try:
        found = _last_chars(items[:-1], flags)
        if found is None or found[1] or not found[0]:
            return None
        return Ending(re.compile("|".join(dict.fromkeys(found[0]))),
                      before_newline)
    except (_Unsupported, re.error):
        return None


def _anchored(items: list[Any], flags: int) -> bool:
    for op, av in items:
        if op is _c.SUBPATTERN and not av[1] and not av[2]:
            return _anchored(list(av[3]), flags)
        if op is _c.AT:
            return bool(av is _c.AT_BEGINNING_STRING or (
                av is _c.AT_BEGINNING and not flags & _c.SRE_FLAG_MULTILINE))
        return False
    return False


_CATEGORY_TEXT = {
    _c.CATEGORY_SPACE: r"\s", _c.CATEGORY_NOT_SPACE: r"\S",
    _c.CATEGORY_DIGIT: r"\d", _c.CATEGORY_NOT_DIGIT: r"\D",
    _c.CATEGORY_WORD: r"\w", _c.CATEGORY_NOT_WORD: r"\W",
}


def _char_regex(op: Any, av: Any, flags: int) -> str:
    """Regex text for a one-character item, as its flags make it match."""
    if op is _c.ANY:
        return "(?s:.)" if flags & _c.SRE_FLAG_DOTALL else r"[^\n]"
    if op is _c.LITERAL:
        text = r"\U%08x" % av
    elif op is _c.NOT_LITERAL:
        text = r"[^\U%08x]" % av
    else:
        parts = []
        for item_op, item_av in av:
            if item_op is _c.NEGATE:
                parts.append("^")
            elif item_op is _c.LITERAL:
                parts.append(r"\U%08x" % item_av)
            elif item_op is _c.RANGE:
                parts.append(r"\U%08x-\U%08x" % item_av)
            elif item_op is _c.CATEGORY and item_av in _CATEGORY_TEXT:
                parts.append(_CATEGORY_TEXT[item_av])
            else:
                raise _Unsupported(item_op)
        text = "[%s]" % "".join(parts)
    scope = ("a" if flags & _c.SRE_FLAG_ASCII else "") + (
        "i" if flags & _c.SRE_FLAG_IGNORECASE else "")
    return "(?%s:%s)" % (scope, text) if scope else text


def _last_chars(items: Any, flags: int) -> tuple[list[str], bool] | None:
    """What the last character a match of ``items`` consumes can be (regex
    texts of one character each), and whether the match can be empty;
    None when that is not known, or when an assertion that looks at what
    follows may come after it."""
    chars: list[str] = []
    for op, av in reversed(list(items)):
        if op in _SINGLE:
            return chars + [_char_regex(op, av, flags)], False
        if op is _c.AT and av in (_c.AT_BEGINNING, _c.AT_BEGINNING_STRING):
            continue  # it only looks back
        if op is _c.SUBPATTERN:
            found = _last_chars(av[3], (flags | av[1]) & ~av[2])
        elif _ATOMIC is not None and op is _ATOMIC:
            found = _last_chars(av, flags)
        elif op in _REPEATS:
            found = _last_chars(av[2], flags) if av[1] else ([], True)
            if found is not None and not av[0]:
                found = found[0], True
        elif op is _c.BRANCH:
            found = _union([_last_chars(sub, flags) for sub in av[1]])
        elif op is _c.GROUPREF_EXISTS:
            found = _union([_last_chars(av[1], flags),
                            _last_chars(av[2], flags)
                            if av[2] is not None else ([], True)])
        else:
            return None
        if found is None:
            return None
        chars += found[0]
        if not found[1]:
            return chars, False
    return chars, True


def _union(results: list[tuple[list[str], bool] | None]
           ) -> tuple[list[str], bool] | None:
    chars: list[str] = []
    empty = False
    for found in results:
        if found is None:
            return None
        chars += found[0]
        empty = empty or found[1]
    return chars, empty


def _tail_rule(items: list[Any], flags: int, walk: _Walk) -> Tail | None:
    """What every match ends with, for patterns where a match that ends
    within output a full search found nothing in cannot exist.

    Take a pattern without lookaheads, and a match of it whose last
    consumed character is followed by no assertion about what comes next.
    If the match ends within output ``O``, each test on its way looked at
    characters of ``O`` only (consuming the one after the end of ``O``
    would end it later), so it is a match in ``O`` too, which the full
    search of ``O`` would have found, or one before it.  An atomic group
    or a possessive repeat breaks that: it commits to its first way
    through, and ``$``, ``\\Z``, ``\\b`` or ``\\B`` at the end of ``O`` can
    let another way through there than in longer output; those do not
    mix.  So once a full search found nothing, a match must end in output
    that came after, with what the pattern's last items match."""
    if walk.looks_ahead or (walk.atomic and walk.looks_at_end):
        return None
    # The single characters the pattern ends with: a literal, say, which
    # is found at memchr's speed.
    run = []
    for op, av in reversed(items):
        if op not in _SINGLE:
            break
        run.append((op, av))
    run.reverse()
    if run and all(op is _c.LITERAL for op, _ in run):
        return Tail(Literal("".join(chr(av) for _, av in run),
                            bool(flags & _c.SRE_FLAG_IGNORECASE), flags),
                    None, len(run))
    try:
        if len(run) > 1:
            text = "".join(_char_regex(op, av, flags) for op, av in run)
        else:
            found = _last_chars(items, flags)
            if found is None or found[1]:
                return None
            text = "|".join(dict.fromkeys(found[0]))
        return Tail(None, re.compile(text), len(run) or 1)
    except (_Unsupported, re.error):
        return None


@lru_cache(maxsize=1024)
def analyze(pattern: str) -> Rules:
    """The rules that bound where ``pattern`` can still match."""
    try:
        parsed = _sre_parse.parse(pattern)
        flags = parsed.state.flags
        items = list(parsed)
        walk = _Walk()
        _, _, exam, lines = walk.seq(items, 0, 0, flags)
        reach = None if exam == INF else int(exam)
        newlines = (None if lines == INF or walk.backrefs
                    else int(lines))
        trail = None if walk.backrefs else _trail_rule(items, flags)
        prefix = _prefix_rule(items, flags)
        back = walk.behind + walk.reads_before
        # Within its reach, a pattern's search is short anyway.
        tail = _tail_rule(items, flags, walk) if reach is None else None
        return Rules(reach, newlines, trail, prefix,
                     _anchored(items, flags), walk.looks_back, back,
                     _end_width(items, flags), tail,
                     _ending(items, flags))
    except (_Unsupported, re.error, TypeError, ValueError, OverflowError,
            RecursionError):
        return WHOLE


# -- one pattern's search --------------------------------------------------------

class PatternSearch:
    """The search for one pattern text over one run's output."""

    __slots__ = ("regex", "rules", "restart", "whole", "quiet",
                 "quiet_from")

    def __init__(self, regex: re.Pattern[str], rules: Rules) -> None:
        self.regex = regex
        self.rules = rules
        # No rule bounds the starts: the pattern is searched whole (when
        # the tail rule does not skip the search).
        self.whole = not rules.incremental
        # Absolute offset before which every start has failed for good.
        self.restart = 0
        # For the tail rule: the end of the output when a search from
        # absolute offset quiet_from last found nothing, or -1.
        self.quiet = -1
        self.quiet_from = 0

    def reset(self, base: int) -> None:
        self.restart = min(self.restart, base)
        self.quiet = -1

    def trimmed(self, base: int) -> None:
        """The output before ``base`` was consumed."""
        if self.rules.looks_back:
            # The starts near the new beginning now see another past.
            self.restart = base
            self.quiet = -1

    def search(self, output: Output, start: int, kept: bool
               ) -> re.Match[str] | None:
        """The match ``regex.search(output, start)`` finds (``start``
        relative to the unconsumed output), or None.  With ``kept``, an
        empty match at ``start`` does not count (the statement made it
        last time)."""
        ending = self.rules.ending
        if ending is not None and not ending.possible(output):
            # No match can end where the output ends.
            return None
        tail = self.rules.tail
        if tail is None:
            return self._search(output, start, kept)
        first = output.base + start
        if self.quiet >= 0 and first >= self.quiet_from:
            since = max(output.base,
                        self.quiet - tail.width + 1)
            if not tail.occurs_in(output.tail(since)):
                self.quiet = output.end
                return None
        found = self._search(output, start, kept)
        if found is None:
            self.quiet = output.end
            self.quiet_from = first
        return found

    def _search(self, output: Output, start: int, kept: bool
                ) -> re.Match[str] | None:
        regex = self.regex
        rules = self.rules
        base = output.base
        if self.whole:
            return full_search(regex, output.text(), start, kept)
        first = max(base + start, self.restart)
        if rules.anchored and first > base:
            return None
        if rules.end_width is not None:
            first = max(first, output.end - rules.end_width)
        if first > output.end:
            return None
        if rules.prefix is not None:
            # Only where the literal text is can a match start.
            found_at = _find(rules.prefix, output, first)
            if found_at < 0:
                self.restart = max(self.restart,
                                   self._settled(output, first, first))
                return None
            first = found_at
        margin = rules.back if rules.looks_back else 0
        origin = max(base, first - margin)
        window = output.tail(origin)
        pos = first - origin
        passed_over = False
        if rules.anchored:
            found = regex.match(window, pos)
        else:
            found = regex.search(window, pos)
            if (found is not None and kept and first == base + start
                    and found.end() == pos):
                # The statement's own last match: not counted, but the
                # start is no failure either (the match may grow).
                passed_over = True
                found = (regex.search(window, pos + 1)
                         if pos < len(window) else None)
        if found is not None:
            # Make the very call a full search makes.
            return full_search(regex, output.text(), start, kept)
        if not passed_over:
            self.restart = max(self.restart, self._settled(output, first))
        return None

    def _settled(self, output: Output, first: int,
                 no_literal: int | None = None) -> float:
        """After every start from ``first`` on failed: the offset before
        which all starts are settled.  ``no_literal``: the literal prefix is
        known not to occur from there on."""
        rules = self.rules
        end = output.end
        bound = first
        if rules.reach is not None:
            # Settled: start + reach <= end - 1.
            bound = max(bound, end - rules.reach)
        if rules.lines is not None:
            newline = output.rfind("\n", end - 2, rules.lines + 1)
            if newline >= 0:
                bound = max(bound, newline + 1)
        if rules.trail is not None:
            bound = max(bound, end - rules.trail)
        if rules.prefix is not None:
            found_at = (-1 if no_literal is not None and no_literal <= bound
                        else _find(rules.prefix, output,
                                   max(output.base, bound)))
            stop = end - len(rules.prefix) + 1
            if found_at >= 0:
                stop = min(stop, found_at)
            bound = max(bound, stop)
        if rules.anchored and bound > output.base:
            return INF
        return bound


def _find(literal: Literal, output: Output, start: int) -> int:
    """Absolute offset of the first whole occurrence of the literal at or
    after ``start``, or -1."""
    at = literal.find(output.tail(start))
    return -1 if at < 0 else max(start, output.base) + at


def full_search(regex: re.Pattern[str], text: str, start: int,
                 kept: bool) -> re.Match[str] | None:
    found = regex.search(text, start)
    if found is not None and kept and found.end() <= start:
        # An empty match right where this statement last matched is the
        # same text again.
        found = regex.search(text, start + 1) if start < len(text) else None
    return found


# -- the statements' searches over one run ---------------------------------------

# Output up to this size is searched whole: keeping restart positions costs
# more than it saves there.
SMALL_OUTPUT = 4096


class Found(NamedTuple):
    """A match: the statement's plan, the pattern text and the re.Match."""

    plan: Any
    text: str
    match: re.Match[str]


class Searches:
    """The search of every statement of a run, in list order: which
    statement's pattern matches the unconsumed output first."""

    __slots__ = ("_plans", "_searches", "_looking_back", "_kept_ends")

    def __init__(self, plan: Any) -> None:
        self._plans = plan.statements
        # The search state of each pattern text, by statement, made when
        # the output first outgrows SMALL_OUTPUT; and those that start over
        # when the front of the output goes.
        self._searches: dict[int, list[tuple[str, PatternSearch]]] = {}
        self._looking_back: list[PatternSearch] = []
        # End offsets of matches made by statements that keep the buffer:
        # such a statement fires again only on output after its last match,
        # not on the same text.
        self._kept_ends: dict[int, int] = {}

    def first(self, buffer: Output) -> Found | None:
        """The first statement whose pattern matches, in list order."""
        kept_ends = self._kept_ends
        if buffer.end - buffer.base <= SMALL_OUTPUT:
            # Small output is searched whole, leaving the restart positions
            # as they are (still true, only not advanced).
            whole = buffer.text()
            for plan in self._plans:
                regexes = plan.regexes
                if regexes is None:
                    continue
                kept = kept_ends.get(plan.index) if kept_ends else None
                start = 0 if kept is None else max(0, kept - buffer.base)
                for text, regex in regexes:
                    match = (regex.search(whole) if kept is None
                             else full_search(regex, whole, start, True))
                    if match is not None:
                        return Found(plan, text, match)
            return None
        for plan in self._plans:
            if plan.regexes is None:
                continue
            kept = kept_ends.get(plan.index) if kept_ends else None
            start = 0 if kept is None else max(0, kept - buffer.base)
            for text, search in self._of(plan):
                match = search.search(buffer, start, kept is not None)
                if match is not None:
                    return Found(plan, text, match)
        return None

    def _of(self, plan: Any) -> list[tuple[str, PatternSearch]]:
        searches = self._searches.get(plan.index)
        if searches is None:
            searches = self._searches[plan.index] = [
                (text, PatternSearch(regex, analyze(text)))
                for text, regex in plan.regexes]
            self._looking_back += [search for _, search in searches
                                   if search.rules.looks_back]
        return searches

    def kept(self, plan: Any, end: int) -> None:
        """A statement that keeps the buffer matched up to ``end``."""
        self._kept_ends[plan.index] = end

    def trimmed(self, base: int) -> None:
        """The output before ``base`` went (consumed or dropped)."""
        for search in self._looking_back:
            search.trimmed(base)

    def reset(self, base: int) -> None:
        """An action replaced the output after ``base``."""
        for searches in self._searches.values():
            for _, search in searches:
                search.reset(base)
