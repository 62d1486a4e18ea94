"""The incremental search against the full search it stands in for.

Generated regexes (anchors, lookarounds, backreferences, lazy and possessive
repeats, groups repeated a bounded number of times around text of any
width, optional groups next to anchors, alternations of branches of
different widths, flags) over generated output, fed in random chunks, with
trims, keep-buffer starts and output replaced by actions: after every read,
the incremental search must give the very match ``regex.search(output,
start)`` gives.  Then whole dialogs, run with and without it, and prompts
behind more than SMALL_OUTPUT of output.  TAVREL_DIFF_EXAMPLES sets the
number of generated search cases (``make test-differential``).
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

# Generated search cases: a tenth of them (at least 1500) drawn by
# Hypothesis, which shrinks what it finds, the rest by a seeded random
# generator, many times faster.
CASES = int(os.environ.get("TAVREL_DIFF_EXAMPLES", "4500"))
EXAMPLES = max(1500, CASES // 10)
NEW_SYNTAX = sys.version_info >= (3, 11)

ATOMS = ["a", "b", " ", r"\n", ".", "[ab]", "[^a]", r"\s", r"\S", r"\w",
         r"\d", "[a\n]", r"[^\n]", "x"]
ANCHORS = ["^", "$", r"\A", r"\Z", r"\b", r"\B"]
UNBOUNDED = ["*", "+", "*?", "+?", "{2,}"] + (["*+", "++"] if NEW_SYNTAX
                                             else [])
BOUNDED = ["?", "{1,3}", "{2}", "??", "{0,2}?"] + (["?+"] if NEW_SYNTAX
                                                 else [])
# Repeats of groups, with the largest count each allows.
GROUP_QUANTIFIERS = [("?", 1), ("??", 1), ("{0,1}", 1), ("{1}", 1),
                     ("{1,1}", 1), ("{0}", 1), ("{1,2}", 2), ("{0,2}", 2),
                     ("{2,3}", 3), ("{1,2}?", 2), ("{0,1}?", 1)] + (
    [("?+", 1), ("{1}+", 1), ("{1,2}+", 2)] if NEW_SYNTAX else [])
NEAR_ANCHORS = ["(?m:^)", "(?m:$)", "^", "$", r"\b", r"\B", r"\Z"]
# Bodies of unbounded group repeats: a fixed width, or characters no two
# branches share, so that no start backtracks exponentially.
REPEATED_BODIES = ["a|\n", "x|b", " |a", "ab", "a\n", "b|\n|x", "a|"]
LOOKBEHINDS = ["(?<=a)", "(?<!b)", "(?<=\n)", "(?<=ab)", "(?<! a)",
               r"(?<=\s)", r"(?<=\n\s)", r"(?<![ab]\b)", "(?<=a|b)"]
GROUP_ENDS = [r"\s*", r"\n\s*", "[ab]*", ".*", "a+", r"\S+?"]
SUFFIXES = [r"\s*$", r"[ab]*\Z", r" *$", r"[^\n]*$", r"\S+$", r"(\s*)$",
            r"[a ]*?$", r".*$"]
TEXT = "ab \nxAB1"


def make_regex(pick, budget, depth=0):
    """A regex, each choice made by ``pick(options)``.  ``budget`` (a
    one-item list) is how many unbounded repeats it may still hold, so that
    a failing search stays polynomial of a low degree (a repeat inside a
    group repeated up to m times counts m times)."""
    # Groups repeated a bounded number of times (13 to 15) come often.
    kind = pick(range(18 if depth < 3 else 3))
    if kind <= 2:
        return pick(ATOMS)
    if kind == 3:
        return pick(ANCHORS)
    if kind in (4, 5):
        inner = "".join(pick(ATOMS) for _ in range(pick((1, 2))))
        return "(?:%s)%s" % (inner, pick(UNBOUNDED) if pick((0, 1))
                             and spend(budget) else pick(BOUNDED))
    if kind in (6, 7):
        return "".join(make_regex(pick, budget, depth + 1)
                       for _ in range(pick((2, 3))))
    if kind == 8:
        # Branches of different widths, sometimes an empty one.
        return "(?:%s)" % "|".join(
            pick(("", None)) or make_regex(pick, budget, depth + 1)
            for _ in range(pick((2, 3))))
    if kind == 9:
        inner = make_regex(pick, budget, depth + 1)
        if pick((0, 1)) and spend(budget):
            # A lookahead that may read far past what follows it.
            inner += pick([r"\s*", ".*", "[ab]*"]) + pick(ATOMS)
        return "(?%s%s)" % (pick("=!"), inner)
    if kind == 10:
        return pick(LOOKBEHINDS)
    if kind == 11:
        group = pick(["a", ".", "a|b", "a?", "x|"] + (
            ["a+", r"\s*"] if spend(budget) else []))
        if pick((0, 1)):
            return "(%s)\\1" % group
        # A condition on whether a group took part (a name clash now and
        # then only makes an invalid pattern).
        name = "c%d" % pick(range(1000))
        return "(?P<%s>%s)%s(?(%s)%s|%s)" % (
            name, group, pick(("", "?")), name,
            make_regex(pick, budget, depth + 1),
            pick(("", None)) or make_regex(pick, budget, depth + 1))
    if kind == 12:
        flag = pick(["m", "s", "i", "-i", "a"] + ([">"] if NEW_SYNTAX
                                                  else []))
        inner = make_regex(pick, budget, depth + 1)
        return "(?>%s)" % inner if flag == ">" else "(?%s:%s)" % (flag,
                                                                  inner)
    if kind in (13, 14, 15):
        # A group repeated a bounded number of times around anything.
        quantifier, most = pick(GROUP_QUANTIFIERS)
        inner_budget = [budget[0] // most]
        inner = make_regex(pick, inner_budget, depth + 1)
        budget[0] -= (budget[0] // most - inner_budget[0]) * most
        return pick(("(?:%s)%s", "(%s)%s")) % (inner, quantifier)
    if kind == 16:
        # An optional group next to an anchor, often ending in a newline.
        head = make_regex(pick, budget, depth + 1)
        inner = head + pick(
            ["\n", ""] + ([r"\s*", r"\n\s*"] if spend(budget) else []))
        group = "(?:%s)%s" % (inner, pick(
            ["?", "??", "{0,1}"] + (["?+"] if NEW_SYNTAX else [])))
        anchor = pick(NEAR_ANCHORS)
        if NEW_SYNTAX and not pick(range(4)):
            # An atomic group whose first way through ends at the anchor,
            # and a shorter second way.
            return "(?>%s%s|%s)%s" % (inner, anchor, head, pick(ATOMS))
        return pick((group + anchor, anchor + group))
    if not spend(budget):
        return pick(ATOMS)
    return "(?:%s)%s" % (pick(REPEATED_BODIES), pick(UNBOUNDED))


def spend(budget):
    """Take one unbounded repeat from ``budget``, if it has one."""
    if budget[0] <= 0:
        return False
    budget[0] -= 1
    return True


def make_pattern(pick):
    budget = [3]
    pattern = "".join(make_regex(pick, budget) for _ in range(pick((1, 2, 3))))
    end = pick(range(4))
    if end == 0:
        pattern += pick(SUFFIXES)
    elif end == 1:
        # A repeated group of unbounded width last, as prompts end in
        # ``(?::\s*){1}`` or ``(?:a\s*b){1,1}``, perhaps before an anchor.
        pattern += "(?:%s%s%s)%s%s" % (
            pick(ATOMS) if pick((0, 1)) else make_regex(pick, [0], 2),
            pick(GROUP_ENDS), pick([""] + ATOMS),
            pick(["{1}", "{1,1}", "{1,2}"] + [q for q, _ in
                                               GROUP_QUANTIFIERS]),
            pick([""] + NEAR_ANCHORS))
    if pick(range(7)) == 0:
        pattern = pick(["^", r"\A"]) + pattern
    if pick(range(5)) == 0:
        pattern = "(?%s)" % pick(["m", "s", "i", "ms"]) + pattern
    return pattern


@st.composite
def patterns(draw):
    return make_pattern(lambda options: options[draw(st.integers(
        0, len(options) - 1))])


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
        try:
            want = _search.full_search(regex, output.text(), start,
                                       kept is not None)
            got = search.search(output, start, kept is not None)
        except SystemError:
            # re's own fault, no verdict: on 3.11 to 3.13 a possessive
            # repeat of a group can fail so, re.search(r"(?:(a) |x){1,2}+b",
            # "xa xb") for one.
            return None
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


def random_case(r):
    """A seeded pattern and steps, drawn as the strategies above draw
    them."""
    chunk = lambda: "".join(r.choice(TEXT) for _ in range(r.randint(0, 12)))
    return make_pattern(r.choice), [
        (chunk(), r.choice(["trim", "keep", "replace"]), chunk())
        for _ in range(r.randint(1, 12))]


def test_seeded_cases_give_the_full_searchs_match():
    r = random.Random(0)
    for _ in range(CASES - EXAMPLES):
        pattern, case = random_case(r)
        try:
            re.compile(pattern)
        except re.error:
            continue
        assert run_steps(pattern, case) is None, case


# -- the test catches wrong bounds ---------------------------------------------


@pytest.mark.parametrize("rule, skew", [("reach", 1), ("lines", 1),
                                        ("trail", 1), ("prefix", 1),
                                        ("tail", 1), ("ending", 1),
                                        ("margin", -1), ("margin", -99)])
def test_a_wrong_bound_is_caught(monkeypatch, rule, skew):
    # Each rule's bound made wrong by its own field of the rules.
    def skewed(pattern):
        rules = _search.analyze(pattern)
        if rule == "margin":
            return rules._replace(back=max(0, rules.back + skew))
        value = getattr(rules, rule)
        if value is None:
            return rules
        if rule == "prefix":
            value = _search.Literal(value.text + "\0", False, 0)
        elif rule == "tail":
            value = value._replace(width=value.width - skew)
        elif rule == "ending":
            # One character fewer than the last item takes: the first.
            value = value._replace(chars=re.compile(
                "(?!%s)(?:%s)" % (value.chars.pattern.split("|")[0],
                                  value.chars.pattern)))
        else:
            value -= skew
        return rules._replace(**{rule: value})

    monkeypatch.setattr(sys.modules[__name__], "analyze", skewed)
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
    (r"\A\S+ login: ", "anchored"), (r"(?:Q|\n)+X", "tail"),
    (r"(?s).*Version", "tail"), (r"(?P<host>SW\-1)# ?$", "ending"),
    (r"uptime(?s:.*)SW-1>\Z", "ending"),
])
def test_the_rules_cover_what_prompts_look_like(pattern, rule):
    rules = analyze(pattern)
    if rule == "tail":
        assert not rules.incremental  # searched whole, when searched
    if rule == "anchored":
        assert rules.anchored
    else:
        assert getattr(rules, rule) is not None


@pytest.mark.parametrize("pattern, chunks", [
    # A match can end in output already searched when a lookahead reads
    # past it, when an assertion follows its last character, or when an
    # atomic group's first way through ended at an anchor there.
    (r"a(?=\s*c)\s", ["a ", "c"]),
    (r"\s+\b", ["  ", "a"]),
] + ([(r"(?>a\s*(?m:$)|a)\s", ["a ", "x"])] if NEW_SYNTAX else []) + [
    (r"(?:Q|\n)+X", ["Q\nQ", "\n", "QX"]),
])
def test_a_match_that_ends_in_searched_output_is_found(pattern, chunks):
    assert run_steps(pattern, [(chunk, "trim", "") for chunk in chunks]) \
        is None


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
@given(dialogs(), st.lists(texts, max_size=10), st.booleans(),
       st.sampled_from([-1, 8, 20]))
def test_whole_dialogs_run_alike_with_and_without_it(statements, pieces,
                                                     eof, small):
    # Output counts as large from a few characters on (or always), so the
    # incremental road is taken, and left when a trim makes it small.
    saved = _search.SMALL_OUTPUT, _search.analyze
    _search.SMALL_OUTPUT = small
    try:
        incremental = outcome(statements, pieces, eof)
        _search.analyze = lambda text: WHOLE
        whole = outcome(statements, pieces, eof)
    except SystemError:
        return  # re's own fault, as in run_steps
    finally:
        _search.SMALL_OUTPUT, _search.analyze = saved
    assert incremental == whole


# More than SMALL_OUTPUT of it, and no "ab" in it.
FILLER = "interface FastEthernet1/0/1 description uplink to core-1 ...\n" * 80


@pytest.mark.parametrize("pattern, pieces, matched", [
    # A group of unbounded width repeated at most once.
    (r"Password(?::\s*){1}", ["Password", ": "], "Password: "),
    (r"(?:a\s*b){1,1}", ["a", "  b"], "a  b"),
    # An optional group ending in a newline, before a multi-line ^.
    (r"(?m)SW-1#(?:\s*\n)?^", ["SW-1# ", "\n"], "SW-1# \n"),
])
def test_a_prompt_behind_large_output_is_matched(pattern, pieces, matched):
    assert len(FILLER) > _search.SMALL_OUTPUT
    spawn = ScriptedSpawn(FILLER, *pieces)
    result = Dialog([[pattern]]).process(spawn, timeout=5)
    assert result.match.group(0) == matched
