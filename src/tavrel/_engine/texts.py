"""The texts a run shows: its errors and its log lines, secrets masked."""

from __future__ import annotations

import logging
import re

from tavrel._engine.events import Call
from tavrel._engine.plan import StatementPlan, describe_action
from tavrel._engine.secrets import Masker, describe_args
from tavrel.core.errors import DialogEOFError, DialogTimeoutError

__all__ = ["TAIL_LENGTH", "log", "timeout_error", "eof_error",
           "stray_stop", "log_match", "log_statement"]

log = logging.getLogger("tavrel.eal.dialog_processor")

# How much unmatched output an error message shows.
TAIL_LENGTH = 200


def timeout_error(timeout: float, tail: str,
                  masker: Masker) -> DialogTimeoutError:
    return DialogTimeoutError(
        masker.mask("no statement ended the dialog within %g s; the "
                    "unmatched output ends with %r" % (timeout, tail)),
        timeout=timeout, tail=tail)


def eof_error(tail: str, masker: Masker) -> DialogEOFError:
    return DialogEOFError(
        masker.mask("the session ended before a statement ended the dialog; "
                    "the unmatched output ends with %r" % (tail,)), tail=tail)


def stray_stop(call: Call) -> RuntimeError:
    """What an action that raised StopIteration raises instead, from either
    driver: a coroutine cannot raise it at all, and a generator around the
    blocking call would take it for its own end."""
    return RuntimeError("%s: action %s raised StopIteration" % (
        call.plan.where, describe_action(call.function)))


def log_match(plan: StatementPlan, text: str, match: re.Match[str],
              masker: Masker, before: str) -> None:
    """The debug line of a match.  ``before`` is the consumed output just
    before the unconsumed (a secret may begin there)."""
    # Whole lines are masked, after every repr: a secret escaped by repr is
    # masked as well.
    log.debug(masker.mask("statement %d %r matched %r" % (
        plan.index, text, masker.excerpt(
            match.string, match.start(), match.end(), ending=True,
            before=before))))


def log_statement(plan: StatementPlan, event: str, masker: Masker,
                  tail: str) -> None:
    """The line a statement with debug_statement logs."""
    statement = plan.statement
    log.debug(masker.mask(
        "%s: %s, action %s, args %s, loop_continue %s, continue_timer %s,"
        " trim_buffer %s, unmatched output ends with %r" % (
            plan.where, event,
            describe_action(statement.action)
            if statement.action is not None else "None",
            describe_args(statement, masker),
            statement.loop_continue, statement.continue_timer,
            statement.trim_buffer, tail)))
