"""Fleets: one task over many devices.

An :class:`Inventory` lists the :class:`Host` objects (from YAML, CSV or
Python), with :class:`Credential` references instead of secrets; :func:`run`
runs a task (an async function of the device and the host, a dialog, or a
:class:`Command`) on every host with bounded concurrency on one event loop,
a timeout per host and retries for connection errors, and returns a
:class:`FleetReport` of :class:`HostResult` objects; :func:`run_hosts`
yields them as they finish.  ``tavrel run`` is the command line.
"""

from __future__ import annotations

from tavrel.core.errors import CredentialError, InventoryError
from tavrel.fleet._inventory import Credential, Host, Inventory
from tavrel.fleet._report import FleetReport
from tavrel.fleet._runner import (Command, DialogTask, HostResult, Task,
                                  open_device, resolve_task, run, run_async,
                                  run_batch, run_host, run_hosts)

__all__ = ["Credential", "Host", "Inventory", "Command", "DialogTask",
           "HostResult", "FleetReport", "Task", "resolve_task", "open_device",
           "run_host", "run_hosts", "run_batch", "run", "run_async",
           "InventoryError", "CredentialError"]
