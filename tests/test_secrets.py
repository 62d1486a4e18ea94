"""Secrets never leave: log records, exception texts, transcripts and
results, for hostile but ordinary secrets, however the output is cut."""

import copy
import functools
import io
import logging
import pickle

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tavrel._masking import MASK, forms
from tavrel.core.errors import DialogEOFError, DialogTimeoutError
from tavrel.eal.dialog_processor import DialogProcessor
from tavrel.eal.dialogs import Dialog, Statement
from tavrel.testing import ScriptedSpawn
from tavrel.utils import SecretsFilter, SecretText, to_plaintext

LOGGER = "tavrel.eal.dialog_processor"


def leaks(secret, *texts):
    """The forms of ``secret`` found in ``texts``."""
    return [form for form in forms(secret) for text in texts
            if form in (text.decode("utf-8", "surrogateescape")
                        if isinstance(text, bytes) else text)]


def send_password(spawn, password):
    spawn.sendline(password)


# -- each leak, closed ----------------------------------------------------------


@pytest.mark.parametrize("secret", ["back\\slash", "quo'te", 'dou"ble',
                                    "both'\"", "tab\there", "bell\x07",
                                    "caf\u00e9-\u2603"])
def test_every_form_of_a_secret_is_masked_in_log_lines(secret, caplog,
                                                       driver):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    context = {"credentials": {"lab": {"password": SecretText(secret)}}}
    spawn = ScriptedSpawn("Password: ", "echo %s\n" % secret, eof=False)
    dialog = Dialog([
        Statement("Password: $", send_password, {"password": secret},
                  loop_continue=True, debug_statement=True),
        Statement([r"never", secret.replace("\\", "\\\\")],
                  debug_statement=True, loop_continue=True),
    ])
    with pytest.raises(DialogTimeoutError) as info:
        dialog.process(spawn, timeout=1, context=context)
    assert not leaks(secret, caplog.text, str(info.value), info.value.tail)
    assert MASK in caplog.text
    assert spawn.sent == [secret + "\n"]


def send_to(device, password):
    device.sendline(password)


def test_a_partial_action_is_named_not_shown(caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    action = functools.partial(send_password, password="hunter2")
    action.__name__ = "send_password"  # the statement's checks name it
    spawn = ScriptedSpawn("Password: ")
    Dialog([Statement("Password: $", action, debug_statement=True)]
           ).process(spawn, timeout=1)
    assert "functools.partial(send_password, ...)" in caplog.text
    assert "hunter2" not in caplog.text
    action = functools.partial(send_to, password="hunter2")
    action.__name__ = "send_to"
    with pytest.raises(TypeError, match=r"cannot inject 'device' into "
                                        r"functools.partial\(send_to"):
        Dialog([Statement("x", action, di_params=["device"])]).process(
            ScriptedSpawn(), timeout=1)


def test_bytes_passwords_are_sent_as_bytes_and_masked(caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    assert to_plaintext(b"s3cr\xe9t") == b"s3cr\xe9t"
    assert to_plaintext(bytearray(b"pw")) == b"pw"
    context = {"credentials": {"lab": {"password": b"s3cr\xe9t"}}}
    spawn = ScriptedSpawn(b"Password: ", b"you typed s3cr\xe9t", encoding=None,
                          eof=False)
    with pytest.raises(DialogTimeoutError) as info:
        Dialog([Statement("Password: $", "sendline_cred_pass(lab)",
                          loop_continue=True, debug_statement=True),
                Statement("never")]).process(spawn, timeout=1,
                                             context=context)
    assert spawn.sent == [b"s3cr\xe9t\n"]
    assert not leaks(b"s3cr\xe9t", caplog.text, str(info.value))
    assert spawn.buffer == b"you typed s3cr\xe9t"  # the caller's, as read


def test_what_is_sent_is_never_logged(caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    spawn = ScriptedSpawn("1> ", "2> ")
    Dialog([Statement("1> $", "sendline(letmein)", loop_continue=True,
                      debug_statement=True),
            Statement("2> $", "send(opensesame)", debug_statement=True)]
           ).process(spawn, timeout=1)
    assert "letmein" not in caplog.text and "opensesame" not in caplog.text
    assert "'key': %s" % MASK in caplog.text


def test_secrets_copy_as_themselves_and_never_pickle():
    secret = SecretText("pw")
    context = {"credentials": {"lab": {"password": secret}}}
    assert copy.copy(secret) is secret and copy.deepcopy(secret) is secret
    assert copy.deepcopy(context)["credentials"]["lab"]["password"] is secret
    with pytest.raises(TypeError):
        pickle.dumps(secret)


def test_secrets_filter_masks_given_and_running_secrets():
    stream = io.StringIO()
    handler = logging.StreamHandler(stream)
    handler.addFilter(SecretsFilter([SecretText("given'pw"), b"raw-pw"]))
    logger = logging.getLogger("test_secrets.filter")
    logger.addHandler(handler)
    logger.propagate = False
    logger.setLevel(logging.DEBUG)
    seen = []

    def log_inside(spawn):
        logger.info("inside %r", {"pw": "running-pw"})
        seen.append(1)

    try:
        logger.info("args %r %s", ["given'pw"], b"raw-pw")
        try:
            raise ValueError("given'pw")
        except ValueError:
            logger.exception("failed")
        Dialog([Statement("> ", log_inside)]).process(
            ScriptedSpawn("> "), timeout=1,
            context={"credentials": {"x": {"password": "running-pw"}}})
        logger.info("after %s", "running-pw")
    finally:
        logger.removeHandler(handler)
    text = stream.getvalue()
    assert seen and not leaks("given'pw", text) and not leaks(b"raw-pw", text)
    lines = text.splitlines()
    assert not leaks("running-pw", lines[-2])  # during the run
    assert "running-pw" in lines[-1]             # no longer a running secret
    with pytest.raises(TypeError):
        SecretsFilter("not a list")


@pytest.mark.parametrize("ending", ["match", "timeout", "eof", "raises"])
@pytest.mark.parametrize("encoding", ["utf-8", None])
def test_transcript_is_complete_and_masked(ending, encoding, driver):
    secret = "pa'ss"
    pieces = ["Password: ", "p", "a'", "s", "s\r\n", "caf\u00e9 ", "pa'",
              "ss ok"]
    if encoding is None:
        pieces.append(b"\xff\xc3")  # undecodable, and a cut-off character
    log = io.BytesIO() if encoding is None else io.StringIO()
    spawn = ScriptedSpawn(*pieces, eof=ending == "eof", encoding=encoding)

    def boom():
        raise RuntimeError("from the action")

    tail = {"match": [["ss ok"]], "timeout": [["__timeout__"]],
            "eof": [["__eof__"]], "raises": [["ss ok", boom]]}[ending]
    dialog = Dialog([["Password: $", "sendline_cred_pass(lab)", None, True],
                     ["never", None, None, True]] + tail)
    context = {"credentials": {"lab": {"password": secret}}}
    try:
        dialog.process(spawn, timeout=1, context=context, transcript=log)
    except RuntimeError:
        assert ending == "raises"
    written = log.getvalue()
    expected = "".join(p if isinstance(p, str) else p.decode(
        "utf-8", "surrogateescape") for p in pieces)
    if ending in ("raises", "match"):
        # The run stops at the match: the rest is not read.
        expected = expected[:expected.index("ss ok") + len("ss ok")]
    expected = expected.replace(secret, MASK)
    if encoding is None and ending == "timeout":
        # The cut-off character goes back to the spawn, and into the
        # transcript of the run that reads it whole.
        expected = expected[:-1]
    if encoding is None:
        assert written == expected.encode("utf-8", "surrogateescape")
    else:
        assert written == expected


# -- the property: nothing leaks, whatever the secret and the cuts -------------

# Hostile but ordinary: quotes, backslashes, control and non-ASCII
# characters, bytes; with a letter, as passwords have (a secret of nothing
# but backslashes would "show" wherever a text escapes anything).
secrets = st.one_of(
    st.text(alphabet=st.sampled_from("ab'\"\\\t\x07\u00e9\u2603-"),
            min_size=2, max_size=10),
    st.binary(min_size=2, max_size=8)).filter(
        lambda s: b"*" not in (s if isinstance(s, bytes) else s.encode())
        and any(c in (s if isinstance(s, bytes) else s.encode())
                for c in b"ab"))


@settings(max_examples=150, deadline=None,
          suppress_health_check=[HealthCheck.too_slow,
                                 HealthCheck.function_scoped_fixture])
@given(secret=secrets, cuts=st.lists(st.integers(0, 60), max_size=8),
       ending=st.sampled_from(["timeout", "eof"]))
def test_no_secret_leaves_by_any_channel(secret, cuts, ending):
    as_bytes = isinstance(secret, bytes)
    text = secret.decode("utf-8", "surrogateescape") if as_bytes else secret
    output = "Password: echo %s and %r\r\n> " % (text, text)
    raw = output.encode("utf-8", "surrogateescape") if as_bytes else output
    points = sorted({min(c, len(raw)) for c in cuts})
    pieces = [raw[a:b] for a, b in zip([0] + points, points + [len(raw)])
              if raw[a:b]]
    spawn = ScriptedSpawn(*pieces, eof=ending == "eof",
                          encoding=None if as_bytes else "utf-8")
    records = []
    handler = logging.Handler()
    handler.emit = lambda record: records.append(record.getMessage())
    logger = logging.getLogger(LOGGER)
    logger.addHandler(handler)
    old = logger.level
    logger.setLevel(logging.DEBUG)
    transcript = io.BytesIO() if as_bytes else io.StringIO()
    dialog = Dialog([
        Statement("Password: ", "sendline_cred_pass(lab)", loop_continue=True,
                  debug_statement=True),
        Statement("never", debug_statement=True)])
    shown = []
    try:
        result = DialogProcessor(
            dialog, spawn, timeout=1, transcript=transcript,
            context={"credentials": {"lab": {"password": secret}}}).process()
        shown.append(repr(result))
    except (DialogTimeoutError, DialogEOFError) as exc:
        shown += [str(exc), exc.tail, repr(exc)]
    finally:
        logger.removeHandler(handler)
        logger.setLevel(old)
    assert not leaks(secret, *records, *shown, transcript.getvalue())
