"""Telnet sessions against inetutils' telnetd with /bin/login, and the
telnet codec on its own."""

import asyncio

import pexpect
import pytest
from hypothesis import given, strategies as st

from tavrel.core.errors import LoginError
from tavrel.sessions import AsyncTelnetSession, TelnetSession
from tavrel.sessions._telnet_codec import (DO, DONT, ECHO, IAC, NAWS, SB, SE,
                                           TTYPE, WILL, WONT, Command,
                                           Negotiation, Subnegotiation,
                                           TelnetParser, escape)
from tavrel.utils import SecretText

PROMPT = r"\$ (?:\x1b\[[0-9;?]*[A-Za-z])*$"


def test_login_and_a_command_sync(telnetd, login_user, tmp_path):
    transcript = tmp_path / "transcript.txt"
    with TelnetSession("127.0.0.1", telnetd, prompt=PROMPT,
                       transcript=str(transcript),
                       dimensions=(40, 132), **login_user) as s:
        s.sendline("stty size; echo $TERM")
        s.expect(r"(\d+) (\d+)\r\n(\S+)\r\n")
        assert s.match.groups() == ("40", "132", "xterm")
        s.expect(PROMPT)
        s.sendline("exit")
        s.expect(pexpect.EOF)
    text = transcript.read_text()
    assert "login: " in text and "xterm" in text
    assert login_user["password"].plaintext not in text


def test_login_and_a_command_async(telnetd, login_user):
    async def main():
        async with AsyncTelnetSession("127.0.0.1", telnetd, prompt=PROMPT,
                                      **login_user) as s:
            s.sendline("echo $((6 * 7))")
            await s.expect(r"42\r\n")
    asyncio.run(main())


@pytest.mark.slow
def test_a_refused_login(telnetd, login_user):
    # /bin/login waits a few seconds after a wrong password.
    session = TelnetSession("127.0.0.1", telnetd, prompt=PROMPT,
                            username=login_user["username"],
                            password=SecretText("not-it"),
                            login_timeout=20)
    with pytest.raises(LoginError) as info:
        session.open()
    assert "127.0.0.1:%d" % telnetd in str(info.value)
    assert session.closed


# -- the codec ---------------------------------------------------------------

# (the bytes on the wire, the data they carry, the event they make)
pieces = st.one_of(
    st.binary(max_size=20).map(lambda d: (escape(d), d, None)),
    st.builds(lambda v, o: (bytes([IAC, v, o]), b"", Command(v, o)),
              st.sampled_from([DO, DONT, WILL, WONT]), st.integers(0, 255)),
    st.builds(lambda o, p: (bytes([IAC, SB, o]) + escape(p)
                            + bytes([IAC, SE]), b"", Subnegotiation(o, p)),
              st.integers(0, 254), st.binary(max_size=8)))


@given(st.lists(pieces, max_size=12), st.data())
def test_the_parser_takes_any_split_of_the_stream(parts, data):
    stream = b"".join(wire for wire, _, _ in parts)
    cuts = sorted(data.draw(st.lists(st.integers(0, len(stream)),
                                     max_size=6)))
    parser = TelnetParser()
    plain, events = b"", []
    for start, end in zip([0] + cuts, cuts + [len(stream)]):
        out, found = parser.feed(stream[start:end])
        plain += out
        events += found
    assert plain == b"".join(d for _, d, _ in parts)
    assert events == [e for _, _, e in parts if e is not None]


def test_negotiation_agrees_once_and_refuses_the_rest():
    ours = Negotiation(local={TTYPE, NAWS}, remote={ECHO})
    assert ours.answer(Command(DO, TTYPE)) == bytes([IAC, WILL, TTYPE])
    assert ours.answer(Command(DO, TTYPE)) == b""  # no loop
    assert ours.answer(Command(WILL, ECHO)) == bytes([IAC, DO, ECHO])
    assert ours.answer(Command(DO, 99)) == bytes([IAC, WONT, 99])
    assert ours.answer(Command(WILL, 99)) == bytes([IAC, DONT, 99])
    assert ours.answer(Command(DONT, TTYPE)) == bytes([IAC, WONT, TTYPE])
    assert ours.answer(Command(DONT, TTYPE)) == b""
