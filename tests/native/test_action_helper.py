"""statement_action_helper: action texts to sender callables and payloads, and
what the sender callables do with a spawn."""

import re
import types

import pytest
from hypothesis import example, given, settings, strategies as st

from fakes import Spawn
from leakcheck import check_no_leak
from tavrel.eal import dialogs as m
from tavrel.eal.dialogs import statement_action_helper as helper
from tavrel.utils import SecretText

SVE = m.StatementValidationError
EMPTY = "you must provide some argument in the parenthesis"

SENDERS = ["send", "sendline", "send_ctx", "sendline_ctx", "send_session",
           "sendline_session", "sendline_cred_user", "sendline_cred_pass"]
PARAMS = {
    "send": ("spawn", "key"),
    "sendline": ("spawn", "key"),
    "send_ctx": ("spawn", "context", "key"),
    "sendline_ctx": ("spawn", "context", "key"),
    "send_session": ("spawn", "runtime", "key"),
    "sendline_session": ("spawn", "runtime", "key"),
    "sendline_cred_user": ("spawn", "context", "key"),
    "sendline_cred_pass": ("spawn", "context", "key"),
}


def reference(action):
    """The translation, written out plainly: (sender name, payload) or the
    error message."""
    patterns = {name: r"^%s\((.*)\)$" % name for name in SENDERS}
    found = None
    for name, pattern in patterns.items():
        match = re.match(pattern, action)
        if match:
            payload = match.groups()[0]
            if payload == "" and name != "sendline":
                return EMPTY
            found = (name, payload)
    return found if found else "wrong format: %s" % (action,)


def translate(action):
    try:
        callback, payload = helper(action)
    except SVE as exc:
        assert exc.args == (str(exc),)
        return str(exc)
    return callback.__name__, payload


def FailingSpawn():
    return Spawn(fails=ConnectionError)


# --------------------------------------------------------------------------
# Translation
# --------------------------------------------------------------------------

@pytest.mark.parametrize("sender", SENDERS)
def test_each_sender(sender):
    result = helper(f"{sender}(payload)")
    assert type(result) is tuple and len(result) == 2
    callback, payload = result
    assert callback.__name__ == sender
    assert payload == "payload" and type(payload) is str


@pytest.mark.parametrize(
    "text, sender, payload",
    [
        ("sendline(admin)", "sendline", "admin"),
        ("sendline()", "sendline", ""),
        ("sendline()\n", "sendline", ""),
        ("send(a(b)c)", "send", "a(b)c"),
        ("sendline(a)(b)", "sendline", "a)(b"),
        ("send())", "send", ")"),
        ("send(()", "send", "("),
        ("sendline(x)\n", "sendline", "x"),
        ("sendline_cred_user(x)\n", "sendline_cred_user", "x"),
        ("send( )", "send", " "),
        ("send(\t)", "send", "\t"),
        ("send(a\rb)", "send", "a\rb"),
        ("sendline_ctx(sendline(x))", "sendline_ctx", "sendline(x)"),
        ("send_session(send_ctx())", "send_session", "send_ctx()"),
        ("sendline_cred_pass(default)", "sendline_cred_pass", "default"),
        ("send(ünïcødé ✓)", "send", "ünïcødé ✓"),
    ],
)
def test_payloads(text, sender, payload):
    callback, got = helper(text)
    assert (callback.__name__, got) == (sender, payload)
    assert type(got) is str


@pytest.mark.parametrize("sender", [s for s in SENDERS if s != "sendline"])
@pytest.mark.parametrize("suffix", ["", "\n"])
def test_empty_parentheses(sender, suffix):
    with pytest.raises(SVE) as info:
        helper(f"{sender}(){suffix}")
    assert info.value.args == (EMPTY,)


@pytest.mark.parametrize(
    "text",
    [
        "", "bogus", "sendline", "sendline(", "sendline)", "sendline(x",
        "sendline(x) ", " sendline(x)", "sendline (x)", "Sendline(x)",
        "SENDLINE(x)", "sendline(x)y", "sendline(x)\n\n", "sendline(a\nb)",
        "sendline(\n)", "\nsendline(x)", "xsendline_cred_user(a)",
        "send_cred_user(a)", "sendlinex(a)", "send_ctxx(a)", "sendline[x]",
    ],
)
def test_wrong_format(text):
    with pytest.raises(SVE) as info:
        helper(text)
    assert info.value.args == ("wrong format: %s" % (text,),)
    assert str(info.value).endswith(text)


@pytest.mark.parametrize("action, error", [
    (None, TypeError), (5, TypeError), (b"send(a)", TypeError),
    (["send(a)"], TypeError),
])
def test_non_text_actions_propagate_re_errors(action, error):
    with pytest.raises(error) as info:
        helper(action)
    assert not isinstance(info.value, SVE)


def test_str_subclass_action():
    class MyStr(str):
        pass

    callback, payload = helper(MyStr("sendline(a)"))
    assert callback.__name__ == "sendline" and payload == "a" and type(payload) is str


def test_keyword_call():
    callback, payload = helper(action="send_ctx(k)")
    assert (callback.__name__, payload) == ("send_ctx", "k")


TEXT = st.text(st.characters(blacklist_characters="\n"), max_size=12)


@st.composite
def action_texts(draw):
    if draw(st.booleans()):
        return draw(TEXT)
    prefix = draw(st.sampled_from(["", "", " ", "x", "_"]))
    name = draw(st.sampled_from(SENDERS + ["Send", "sendline_cred", "send_", "sendlin"]))
    opening = draw(st.sampled_from(["(", "(", " (", ""]))
    body = draw(TEXT | st.sampled_from(["", "(", ")", ")(", "()"]))
    closing = draw(st.sampled_from([")", ")", ") ", "", "))", ")x"]))
    return prefix + name + opening + body + closing


@settings(max_examples=400, deadline=None)
@given(text=action_texts())
@example(text="sendline()")
@example(text="send_ctx()")
@example(text="sendline(a)(b)")
def test_agrees_with_reference(text):
    assert translate(text) == reference(text)


# --------------------------------------------------------------------------
# The sender callables
# --------------------------------------------------------------------------

@pytest.mark.parametrize("sender", SENDERS)
def test_callable_identity(sender):
    callback, _ = helper(f"{sender}(k)")
    assert callback.__name__ == sender
    assert callback.__qualname__ == f"statement_action_helper.<locals>.{sender}"
    assert callback.__module__ == "tavrel.eal.dialogs"
    assert callback.__doc__ is None
    assert not isinstance(callback, types.MethodType)
    assert not hasattr(callback, "__self__")
    assert callback.__code__.co_varnames[:len(PARAMS[sender])] == PARAMS[sender]
    assert callback.__code__.co_argcount == len(PARAMS[sender])
    assert callback.__defaults__ is None


@pytest.mark.parametrize("sender", SENDERS)
def test_each_call_makes_new_callables(sender):
    first, _ = helper(f"{sender}(k)")
    second, _ = helper(f"{sender}(k)")
    assert first is not second
    assert first != second
    assert first.__name__ == second.__name__
    assert first.__code__.co_varnames == second.__code__.co_varnames


def _calls(sender):
    """(positional args, keyword args, expected spawn call) for a sender."""
    method = "send" if sender.startswith("send_") or sender == "send" else "sendline"
    if sender in ("send", "sendline"):
        return ("k",), dict(key="k"), (method, "k")
    if sender.endswith("_ctx"):
        ctx = {"k": "from context"}
        return (ctx, "k"), dict(context=ctx, key="k"), (method, "from context")
    if sender.endswith("_session"):
        runtime = {"k": "from runtime"}
        return (runtime, "k"), dict(runtime=runtime, key="k"), (method, "from runtime")
    field = "username" if sender.endswith("user") else "password"
    ctx = {"credentials": {"k": {field: "secret-" + field}}}
    return (ctx, "k"), dict(context=ctx, key="k"), (method, "secret-" + field)


@pytest.mark.parametrize("sender", SENDERS)
@pytest.mark.parametrize("style", ["positional", "keyword", "mixed"])
def test_callable_sends_one_value(sender, style):
    callback, _ = helper(f"{sender}(k)")
    args, kwargs, (method, value) = _calls(sender)
    spawn = Spawn(result="ignored")
    if style == "positional":
        result = callback(spawn, *args)
    elif style == "keyword":
        result = callback(spawn=spawn, **kwargs)
    else:
        result = callback(spawn, **kwargs)
    assert result is None
    assert spawn.calls == [(method, value)]


@pytest.mark.parametrize("sender", ["send_ctx", "sendline_ctx", "send_session", "sendline_session"])
def test_lookup_values_sent_unchanged(sender):
    callback, _ = helper(f"{sender}(k)")
    value = object()
    spawn = Spawn()
    callback(spawn, {"k": value}, "k")
    assert spawn.calls[0][1] is value
    # Any subscriptable object and any key.
    spawn = Spawn()
    callback(spawn, ["a", "b"], 1)
    assert spawn.calls[0][1] == "b"


def test_send_payload_sent_unchanged():
    value = object()
    for name in ("send", "sendline"):
        spawn = Spawn()
        helper(f"{name}(x)")[0](spawn, value)
        assert spawn.calls == [(name, value)]


@pytest.mark.parametrize("sender, field", [
    ("sendline_cred_user", "username"), ("sendline_cred_pass", "password")])
@pytest.mark.parametrize(
    "value, sent",
    [("plain", "plain"), (SecretText("hunter2"), "hunter2"), (5, "5"),
     (types.SimpleNamespace(plaintext="attr"), "attr")],
    ids=["str", "secret", "int", "plaintext-attr"],
)
def test_credentials_through_to_plaintext(sender, field, value, sent):
    callback, payload = helper(f"{sender}(default)")
    spawn = Spawn()
    callback(spawn, {"credentials": {payload: {field: value}}}, payload)
    assert spawn.calls == [("sendline", sent)]


def test_secret_is_not_shown_but_sent():
    secret = SecretText("hunter2")
    assert "hunter2" not in str(secret) + repr(secret)
    s = m.Statement("password:", "sendline_cred_pass(dev)")
    spawn = Spawn()
    s.action(spawn, {"credentials": {"dev": {"password": secret}}}, **s.args)
    assert spawn.calls == [("sendline", "hunter2")]


@pytest.mark.parametrize(
    "sender, second, error",
    [
        ("send_ctx", {}, KeyError),
        ("sendline_ctx", None, TypeError),
        ("send_session", {"other": 1}, KeyError),
        ("sendline_session", 5, TypeError),
        ("sendline_cred_user", {}, KeyError),
        ("sendline_cred_user", {"credentials": {}}, KeyError),
        ("sendline_cred_pass", {"credentials": {"k": {"username": "u"}}}, KeyError),
        ("sendline_cred_pass", {"credentials": None}, TypeError),
    ],
)
def test_lookup_failures_propagate_and_send_nothing(sender, second, error):
    callback, _ = helper(f"{sender}(k)")
    spawn = Spawn()
    with pytest.raises(error):
        callback(spawn, second, "k")
    assert spawn.calls == []


def test_to_plaintext_failure_propagates(monkeypatch):
    def refuse(value):
        raise PermissionError("no")

    callback, _ = helper("sendline_cred_user(k)")
    monkeypatch.setattr(m, "to_plaintext", refuse)
    spawn = Spawn()
    with pytest.raises(PermissionError):
        callback(spawn, {"credentials": {"k": {"username": "u"}}}, "k")
    assert spawn.calls == []


@pytest.mark.parametrize("sender", SENDERS)
def test_spawn_failure_propagates(sender):
    callback, _ = helper(f"{sender}(k)")
    args, _, _ = _calls(sender)
    with pytest.raises(ConnectionError, match="send failed"):
        callback(FailingSpawn(), *args)


@pytest.mark.parametrize("sender", SENDERS)
def test_spawn_method_looked_up_by_name(sender):
    callback, _ = helper(f"{sender}(k)")
    args, _, (method, value) = _calls(sender)
    seen = []
    spawn = types.SimpleNamespace(**{method: lambda v: seen.append(v)})
    callback(spawn, *args)
    assert seen == [value]
    with pytest.raises(AttributeError):
        callback(types.SimpleNamespace(), *args)


# --------------------------------------------------------------------------
# No leaks
# --------------------------------------------------------------------------

# A per-call leak of a few bytes or one reference already shows after a
# thousand calls; many paths are checked, so keep each check short.
LEAK_ITERATIONS = 1000


def check_no_leak_fast(op, *objects, raises=None):
    check_no_leak(op, *objects, raises=raises, iterations=LEAK_ITERATIONS)


TEXT_CASES = [f"{s}(payload)" for s in SENDERS] + ["sendline()", "send(a(b)c)"]


@pytest.mark.parametrize("text", TEXT_CASES)
def test_no_leak_translation(text):
    check_no_leak_fast(lambda: helper(text), text)


@pytest.mark.parametrize("text, raises", [
    ("wrong(x)", SVE), ("send()", SVE), ("sendline(x) ", SVE), (7, TypeError),
])
def test_no_leak_translation_failure(text, raises):
    check_no_leak_fast(lambda: helper(text), text, raises=raises)


SPAWN = Spawn()
CONTEXT = {"k": "v", "credentials": {"k": {"username": SecretText("u"), "password": "p"}}}


@pytest.mark.parametrize("sender", SENDERS)
def test_no_leak_sending(sender):
    callback, _ = helper(f"{sender}(k)")
    args, _, _ = _calls(sender)
    if sender.startswith("sendline_cred") or sender.endswith("_ctx"):
        args = (CONTEXT, "k")

    def op():
        callback(SPAWN, *args)
        SPAWN.calls.clear()

    check_no_leak_fast(op, SPAWN, CONTEXT, callback)


@pytest.mark.parametrize("sender, second, raises", [
    ("send_ctx", {}, KeyError), ("sendline_cred_pass", {"credentials": 1}, TypeError),
])
def test_no_leak_sending_failure(sender, second, raises):
    callback, _ = helper(f"{sender}(k)")
    check_no_leak_fast(lambda: callback(SPAWN, second, "k"), SPAWN, second, callback,
                  raises=raises)
    assert SPAWN.calls == []
