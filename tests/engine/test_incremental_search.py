"""The incremental search against the full search it stands in for.

Generated regexes (anchors, lookarounds, backreferences, lazy and possessive
repeats, flags) over generated output, fed in random chunks, with trims,
keep-buffer starts and output replaced by actions: after every read, the
incremental search must give the very match ``regex.search(output, start)``
gives.  Then whole dialogs, run with and without it.  TAVREL_DIFF_EXAMPLES
raises the number of examples (``make test-differential``).
"""

import os
import random
import re
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tavrel.core.errors import DialogEOFError, DialogTimeoutError
from tavrel._engine import search as _search
from tavrel._engine.search import WHOLE, Output, PatternSearch, analyze
from tavrel.eal.dialogs import Dialog, Statement
from tavrel.testing import ScriptedSpawn

EXAMPLES = int(os.environ.get("TAVREL_DIFF_EXAMPLES", "1500"))
NEW_SYNTAX = sys.version_info >= (3, 11)

ATOMS = ["a", "b", " ", r"\n", ".", "[ab]", "[^a]", r"\s", r"\S", r"\w",
         r"\d", "[a\n]", r"[^\n]", "x"]
ANCHORS = ["^", "$", r"\A", r"\Z", r"\b", r"\B"]
QUANTIFIERS = ["*", "+", "?", "{1,3}", "{2}", "*?", "+?", "??", "{0,2}?"] + (
    ["*+", "++", "?+"] if NEW_SYNTAX else [])
LOOKBEHINDS = ["(?<=a)", "(?<!b)", "(?<=\n)", "(?<=ab)", "(?<! a)",
               r"(?<=\s)"]
SUFFIXES = [r"\s*$", r"[ab]*\Z", r" *$", r"[^\n]*$", r"\S+$", r"(\s*)$",
            r"[a ]*?$", r".*$"]
TEXT = "ab \nxAB1"


@st.composite
def regexes(draw, depth=0):
    kind = draw(st.integers(0, 12 if depth < 3 else 2))
    if kind <= 2:
        return draw(st.sampled_from(ATOMS))
    if kind == 3:
        return draw(st.sampled_from(ANCHORS))
    if kind in (4, 5):
        # Repeats of atoms only: nested repeats backtrack exponentially.
        inner = "".join(draw(st.lists(st.sampled_from(ATOMS), min_size=1,
                                      max_size=2)))
        return "(?:%s)%s" % (inner, draw(st.sampled_from(QUANTIFIERS)))
    if kind in (6, 7):
        return "".join(draw(st.lists(regexes(depth + 1), min_size=2,
                                     max_size=3)))
    if kind == 8:
        return "(?:%s|%s)" % (draw(regexes(depth + 1)),
                              draw(regexes(depth + 1)))
    if kind == 9:
        return "(?%s%s)" % (draw(st.sampled_from("=!")),
                            draw(regexes(depth + 1)))
    if kind == 10:
        return draw(st.sampled_from(LOOKBEHINDS))
    if kind == 11:
        return "(%s)\\1" % draw(st.sampled_from(["a", "a+", ".", r"\s*",
                                                  "a|b"]))
    flag = draw(st.sampled_from("msi" + ("" if not NEW_SYNTAX else ">")))
    if flag == ">":
        return "(?>%s)" % draw(regexes(depth + 1))
    return "(?%s:%s)" % (flag, draw(regexes(depth + 1)))


@st.composite
def patterns(draw):
    pattern = "".join(draw(st.lists(regexes(), min_size=1, max_size=3)))
    if draw(st.booleans()):
        pattern += draw(st.sampled_from(SUFFIXES))
    if draw(st.integers(0, 6)) == 0:
        pattern = draw(st.sampled_from(["^", r"\A"])) + pattern
    if draw(st.integers(0, 4)) == 0:
        pattern = "(?%s)" % draw(st.sampled_from(["m", "s", "i", "ms"])) + \
            pattern
    return pattern


# -- one pattern, step by step -------------------------------------------------


def run_steps(pattern, steps):
    """Feed ``steps`` (chunk, what to do after a match) to the incremental
    search and to the full search; return the first disagreement."""
    regex = re.compile(pattern)
    output = Output()
    search = PatternSearch(regex, analyze(pattern))
    kept = None
    for chunk, after, replacement in steps:
        output.append(chunk)
        start = 0 if kept is None else max(0, kept - output.base)
        got = search.search(output, start, kept is not None)
        want = _search.full_search(regex, output.text(), start,
                                   kept is not None)
        shown = [m and (m.span(), m.groups(), m.pos, m.string)
                 for m in (got, want)]
        if shown[0] != shown[1]:
            return pattern, output.text(), start, shown
        if want is None:
            continue
        if after == "trim":
            output.consume(want.end())
            search.trimmed(output.base)
            kept = None
        elif after == "keep":
            kept = output.base + want.end()
        else:
            # An action read on and left other output behind.
            output.replace_from(output.base + want.end(), replacement)
            search.reset(output.base)
    return None


texts = st.text(alphabet=TEXT, max_size=12)
steps = st.lists(st.tuples(texts, st.sampled_from(["trim", "keep",
                                                   "replace"]), texts),
                 min_size=1, max_size=12)


@settings(max_examples=EXAMPLES, deadline=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(patterns(), steps)
def test_incremental_search_gives_the_full_searchs_match(pattern, steps):
    try:
        re.compile(pattern)
    except re.error:
        return
    assert run_steps(pattern, steps) is None


# -- the test catches wrong bounds ---------------------------------------------


def random_case(r):
    """A seeded stand-in for the strategies above, for the fault checks."""
    def gen(depth):
        k = r.random()
        if depth > 2 or k < 0.35:
            return r.choice(ATOMS)
        if k < 0.45:
            return r.choice(ANCHORS)
        if k < 0.65:
            return "(?:%s)%s" % (r.choice(ATOMS), r.choice(QUANTIFIERS))
        if k < 0.8:
            return gen(depth + 1) + gen(depth + 1)
        if k < 0.86:
            return "(?=%s)" % gen(depth + 1)
        if k < 0.92:
            return r.choice(LOOKBEHINDS)
        return "(?m:%s)" % gen(depth + 1)
    pattern = "".join(gen(0) for _ in range(r.randint(1, 3)))
    if r.random() < 0.3:
        pattern += r.choice(SUFFIXES)
    if r.random() < 0.1:
        pattern = "(?m)" + pattern
    chunk = lambda: "".join(r.choice(TEXT) for _ in range(r.randint(0, 12)))
    return pattern, [(chunk(), r.choice(["trim", "keep", "replace"]),
                      chunk()) for _ in range(r.randint(1, 12))]


@pytest.mark.parametrize("rule, skew", [("reach", 1), ("lines", 1),
                                        ("trail", 1), ("prefix", 1),
                                        ("margin", -1), ("margin", -99)])
def test_a_wrong_bound_is_caught(monkeypatch, rule, skew):
    monkeypatch.setitem(_search._SKEW, rule, skew)
    analyze.cache_clear()
    r = random.Random(1)
    for _ in range(20000):
        pattern, case = random_case(r)
        try:
            re.compile(pattern)
        except re.error:
            continue
        if run_steps(pattern, case) is not None:
            return
    pytest.fail("no case shows the %s rule off by %d" % (rule, skew))


@pytest.mark.parametrize("pattern, rule", [
    ("SW-1#$", "reach"), (r"(?i)error: .*$", "lines"),
    (r"SW-1\(config\)#\s*$", "trail"), ("--More--", "prefix"),
    (r"\A\S+ login: ", "anchored"), (r"(?s).*Version", None),
])
def test_the_rules_cover_what_prompts_look_like(pattern, rule):
    rules = analyze(pattern)
    if rule is None:
        assert not rules.incremental  # searched whole, as before
    elif rule == "anchored":
        assert rules.anchored
    else:
        assert getattr(rules, rule) is not None


# -- whole dialogs ---------------------------------------------------------------


@st.composite
def dialogs(draw):
    rows = []
    for _ in range(draw(st.integers(1, 4))):
        pattern = draw(patterns())
        try:
            re.compile(pattern)
        except re.error:
            pattern = "a"
        rows.append(Statement(pattern, draw(st.sampled_from(
            [None, "send(>)", "sendline(ok)"])),
            loop_continue=draw(st.booleans()),
            trim_buffer=draw(st.booleans())))
    if draw(st.booleans()):
        rows.append(Statement("__eof__"))
    return rows


def outcome(statements, pieces, eof):
    spawn = ScriptedSpawn(*pieces, eof=eof)
    try:
        result = Dialog(statements).process(spawn, timeout=5)
    except (DialogTimeoutError, DialogEOFError) as exc:
        shown = (type(exc).__name__, str(exc))
    else:
        match = result.match
        shown = (result.kind, result.pattern, result.output,
                 match and (match.span(), match.groups(), match.pos))
    return shown, spawn.sent, spawn.buffer, spawn.clock.now


@settings(max_examples=max(50, EXAMPLES // 5), deadline=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(dialogs(), st.lists(texts, max_size=10), st.booleans())
def test_whole_dialogs_run_alike_with_and_without_it(statements, pieces,
                                                     eof):
    # Every output counts as large here, so the incremental road is taken.
    saved = _search.SMALL_OUTPUT, _search.analyze
    _search.SMALL_OUTPUT = -1
    try:
        incremental = outcome(statements, pieces, eof)
        _search.analyze = lambda text: WHOLE
        whole = outcome(statements, pieces, eof)
    finally:
        _search.SMALL_OUTPUT, _search.analyze = saved
    assert incremental == whole
