"""The escape filter: what it removes is whole control sequences only, and
how the stream is cut never changes what comes out."""

import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tavrel.devices import EscapeFilter, clean_output, strip_escapes

SEQUENCES = [
    "\x1b[0m", "\x1b[01;32m", "\x1b[38;5;208m", "\x1b[K", "\x1b[2K",
    "\x1b[12;40H", "\x1b[?2004h", "\x1b[?2004l", "\x1b[?1049h", "\x1b[7m",
    "\x1b]0;user@host: ~\x07", "\x1b]2;title\x1b\\", "\x1bP1$r0m\x1b\\",
    "\x1b(B", "\x1b=", "\x1b>", "\x1b7", "\x1b8", "\x1bM",
]
# Text without ESC, BEL or a backslash that could end a string sequence.
PLAIN = st.text(st.characters(blacklist_characters="\x1b\x07\\",
                              blacklist_categories=("Cs",)), max_size=20)


def pieces(text, cuts):
    points = sorted({c % (len(text) + 1) for c in cuts})
    return [text[a:b] for a, b in zip([0] + points, points + [len(text)])]


@given(st.lists(st.tuples(PLAIN, st.sampled_from(SEQUENCES)), max_size=8),
       PLAIN, st.lists(st.integers(0, 10_000), max_size=12))
@settings(max_examples=300, deadline=None)
def test_removes_exactly_the_sequences_however_cut(parts, tail, cuts):
    text = "".join(p + s for p, s in parts) + tail
    expected = "".join(p for p, _ in parts) + tail
    stream = EscapeFilter()
    out = "".join(stream.feed(piece) for piece in pieces(text, cuts))
    assert out + stream.flush() == expected


@given(PLAIN, st.text(st.sampled_from("ab[];?0m\x1b\x07\\ \r\n"),
                     max_size=40),
       st.lists(st.integers(0, 10_000), max_size=12))
@settings(max_examples=300, deadline=None)
def test_any_text_any_chunking_same_result_plain_text_never_eaten(
        plain, text, cuts):
    whole = strip_escapes(text)
    stream = EscapeFilter()
    chunked = "".join(stream.feed(p) for p in pieces(text, cuts))
    assert chunked + stream.flush() == whole
    # A removal starts at an ESC: it never reaches back into plain text
    # before it, and leaves the text it came out of a subsequence.
    assert strip_escapes(plain + text) == plain + whole
    rest = iter(text)
    assert all(ch in rest for ch in whole)


@pytest.mark.parametrize("text, expected", [
    # bash with readline: bracketed paste around the prompt, an xterm title.
    ("\x1b]0;u@h: ~\x07\x1b[?2004hu@h:~$ ", "u@h:~$ "),
    # less: the alternate screen, keypad mode, a reverse-video status line.
    ("\x1b[?1049h\x1b[22;0;0t\x1b[?1h\x1b=line\r\n\x1b[7m(END)\x1b[27m\x1b[K",
     "line\r\n(END)"),
    # more: the pager prompt wiped with an erase-line.
    ("\x1b[7m--More--(50%)\x1b[27m\r\x1b[Knext", "--More--(50%)\rnext"),
    # An ESC that starts nothing stays, as does a cut sequence at the end.
    ("a\x1b\x01b", "a\x1b\x01b"), ("x\x1b[12", "x\x1b[12"),
])
def test_what_terminal_programs_print(text, expected):
    assert strip_escapes(text) == expected


@pytest.mark.parametrize("text, command, expected", [
    ("show x\r\nline 1\r\r\nline 2\r\n", "show x", "line 1\nline 2"),
    # A stale prompt before the echo; the pager's prompt wiped with blanks.
    ("\r\nSW-1>show  x\r\na\r\n --More-- \r          \rb\r\n", "show x",
     "a\nb"),
    # No echo (a device that does not echo): nothing is taken away.
    ("a\r\nb\r\n", "show x", "a\nb"),
    ("\r\n", "", ""),
    # A long command wrapped by the terminal: bash over a pty (a blank and
    # a carriage return at the margin), a device that breaks the line.
    ("u@h:~$ echo xxxxxx \rxxxx\r\nxxxxxxxxxx\r\n", "echo " + "x" * 10,
     "x" * 10),
    ("u@h:~$ echo xxxxxxx\rxxxx\r\n\rxxxxxxxxxx\r\n", "echo " + "x" * 10,
     "x" * 10),
    # Wrapped twice, the second line drawn again (the cursor moves that
    # took it back up are gone with the escapes).
    ("u@h:~$ echo xxx\rxxxxxx \rxxxxx\r\nxxxxxxxx\r\n", "echo " + "x" * 8,
     "x" * 8),
    ("SW-1#show interfaces status br\r\nief\r\nPort\r\n",
     "show interfaces status brief", "Port"),
])
def test_output_cleaned(text, command, expected):
    assert clean_output(text, command) == expected


def _cleaned_simply(text, command):
    # The cleaning written plainly, one pass after another, as the layer
    # did before it took its shortcuts for long output: the echo (maybe
    # wrapped over lines) as typed, blanks aside, then the lines written
    # over.
    if command is not None:
        wanted = "".join(command.split())
        rows = text.split("\n")
        shown = []
        for i, row in enumerate(rows[:4]):
            shown.append("".join(row.split()))
            # At the margin, the character before a carriage return inside
            # the line is written over; a redraw may follow.
            edited = "".join(re.sub("[^\r\n]\r+(?=[^\r\n])", "",
                                    row).split())
            if ("".join(shown).endswith(wanted)
                    or "\r" in row and wanted in edited
                    if wanted else not row.split()):
                text = "\n".join(rows[i + 1:])
                break
    while "\r\n" in text:
        text = text.replace("\r\n", "\n")
    lines = []
    for line in text.split("\n"):
        pieces = [piece for piece in line.split("\r") if piece.strip()]
        lines.append(line if "\r" not in line
                     else pieces[-1] if pieces else "")
    text = "\n".join(lines)
    return text[:-1] if text.endswith("\n") else text


@settings(max_examples=400, deadline=None)
@given(st.lists(st.sampled_from(["\r", "\n", "\r\n", " ", "a", "show x",
                                 "sh", "ow x", " \r", "SW-1#", "\r\r\n"]),
                max_size=14),
       st.sampled_from([None, "", "show x", "show  x"]))
def test_cleaning_agrees_with_the_plain_passes(parts, command):
    text = "".join(parts)
    assert clean_output(text, command) == _cleaned_simply(text, command)


@settings(max_examples=400, deadline=None)
@given(st.lists(st.sampled_from(["\r", "\n", "\r\n", " ", "a", "show x",
                                 "sh", "ow x", " \r", "SW-1#", "\r\r\n"]),
                max_size=14),
       st.sampled_from([None, "", "show x"]),
       st.lists(st.integers(0, 40), max_size=4), st.data())
def test_cleaning_as_output_arrives_agrees(parts, command, cuts, data):
    # The layer cleans a command's output piece by piece as it is read; the
    # run's output is what was read but an unconsumed rest, and ends in the
    # prompt, cut off at ``stop``.
    from tavrel.devices._device import _LONE_CR, _echo_end, _Lines

    read = "".join(parts)
    size = data.draw(st.integers(0, len(read)))
    text, rest = read[:size], read[size:]
    stop = data.draw(st.integers(0, size))
    lines = _Lines("")
    at = 0
    for cut in sorted(cuts) + [len(read)]:
        if cut > at:
            lines.add(read[at:cut])
            at = cut
    kept = lines.cleaned(text, command, stop, rest)
    if kept is not None:
        assert kept == clean_output(text[:stop], command)
    else:
        # Only a CR that ends no line after the echo (a long echo is
        # wrapped with them) makes the output be cleaned whole.
        start = 0 if command is None else _echo_end(text, command, stop)
        lone = [m.start() for m in _LONE_CR.finditer(read)
                if start <= m.start() < len(read) - 1]
        assert lone or text[stop - 1:stop] == "\r"


@settings(max_examples=300, deadline=None)
@given(st.lists(st.sampled_from(["\r", "\n", "a", " ", "é", "Ω", "😀", "\r\n"]),
                max_size=30))
def test_carriage_returns_stripped_natively(parts):
    # One pass in C over each arriving piece, for text of every width; the
    # result must be the very str Python's replace makes (same kind too,
    # else it would compare unequal).
    from tavrel.devices._device import _LONE_CR
    from tavrel.devices._lines import strip_crs

    text = "".join(parts)
    stripped, lone = strip_crs(text)
    assert stripped == text.replace("\r", "")
    found = [m.start() for m in _LONE_CR.finditer(text)
             if m.start() < len(text) - 1]
    assert lone == (found[-1] if found else -1)
    with pytest.raises(TypeError):
        strip_crs(text.encode())
