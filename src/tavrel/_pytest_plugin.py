"""tavrel's pytest plugin (registered on install): fixtures for testing
dialogs.

- ``virtual_clock``: a fresh :class:`tavrel.testing.VirtualClock`.
- ``scripted_spawn``: makes :class:`tavrel.testing.ScriptedSpawn` objects
  on that clock: ``scripted_spawn("Username: ", (1, "Password: "))``.
- ``device_lab``: the device lab (:class:`tavrel.demo.lab.LabThread`),
  started once per test session: ``device_lab.ssh_port``,
  ``device_lab.telnet_port``, ``device_lab.known_hosts``; skipped when
  asyncssh is not installed (``pip install tavrel[lab]``).
"""

from __future__ import annotations

import importlib.util
from collections.abc import Callable, Iterator
from typing import Any

import pytest

from tavrel.testing import ScriptedSpawn, VirtualClock


@pytest.fixture
def virtual_clock() -> VirtualClock:
    return VirtualClock()


@pytest.fixture
def scripted_spawn(virtual_clock: VirtualClock
                   ) -> Callable[..., ScriptedSpawn]:
    def make(*pieces: Any, **options: Any) -> ScriptedSpawn:
        options.setdefault("clock", virtual_clock)
        return ScriptedSpawn(*pieces, **options)
    return make


@pytest.fixture(scope="session")
def device_lab() -> Iterator[Any]:
    if importlib.util.find_spec("asyncssh") is None:
        pytest.skip("the device lab needs asyncssh (pip install tavrel[lab])")
    from tavrel.demo.lab import LabThread

    with LabThread() as lab:
        yield lab
