"""Devices: a layer over sessions that logs in to a prompt, runs commands,
moves between modes and pushes configuration, each step a dialog.

A :class:`Platform` describes a kind of device as data; :class:`Device`
(sync) and :class:`AsyncDevice` run it on a session.
"""

from __future__ import annotations

from tavrel.devices._device import AsyncDevice, Device, clean_output
from tavrel.devices._escapes import EscapeFilter, strip_escapes
from tavrel.devices._platform import (NETWORK_CLI, POSIX_SHELL, Mode, Move,
                                      Platform, platform_from_yaml, refused)

__all__ = ["Device", "AsyncDevice", "Platform", "Mode", "Move",
           "POSIX_SHELL", "NETWORK_CLI", "platform_from_yaml", "refused",
           "EscapeFilter", "strip_escapes", "clean_output"]
