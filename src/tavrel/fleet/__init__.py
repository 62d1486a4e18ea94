"""Fleets: one task over many devices.

STUB of the distributed branch: the core's __init__ replaces it when the
branches meet.
"""

from tavrel.fleet._stub import (Command, Credential, Host, HostResult,
                                open_device, resolve_task, run_batch,
                                run, run_hosts)

__all__ = ["Command", "Credential", "Host", "HostResult", "open_device",
           "resolve_task", "run", "run_batch", "run_hosts"]
