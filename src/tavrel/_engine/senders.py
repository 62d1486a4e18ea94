"""What the dialog module's action texts become: its senders.

An action text such as ``sendline(admin)`` becomes a function made by
``statement_action_helper`` in :mod:`tavrel.eal.dialogs`.  The engine treats
those functions apart: they only send (so they need no hand-over of the
output after their match), and the payload of ``send`` and ``sendline`` is
the very text they send (so logs never show it).  This module is the one
place that tells them apart.
"""

from __future__ import annotations

__all__ = ["is_sender", "sends_payload"]

_MODULE = "tavrel.eal.dialogs"
_PREFIX = "statement_action_helper.<locals>."
# The senders whose args["key"] is the text they send.
_PAYLOAD = frozenset({_PREFIX + "send", _PREFIX + "sendline"})


def is_sender(action: object) -> bool:
    """Whether ``action`` is one of the dialog module's senders."""
    return (getattr(action, "__module__", None) == _MODULE
            and str(getattr(action, "__qualname__", "")).startswith(_PREFIX))


def sends_payload(action: object) -> bool:
    """Whether ``action`` sends its args["key"] as it is."""
    # By name alone: where in doubt, logs show less.
    return getattr(action, "__qualname__", None) in _PAYLOAD
