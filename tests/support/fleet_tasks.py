"""Fleet tasks the tests hand to Dask workers by name ("fleet_tasks:...");
the workers import this module (tests/support is on their sys.path)."""

import asyncio
import os


async def slow_version(device, host):
    """show version, after a pause long enough for a worker to be killed
    while the hosts of its batch run, and the process that ran it."""
    await asyncio.sleep(0.4)
    return await device.send_command("show version"), os.getpid()


async def whoami(device, host):
    """The process that ran the host."""
    return os.getpid()


async def version_or_exit(device, host):
    """show version, but the hosts named "die..." end their worker
    process, each time the batch is tried."""
    if host.name.startswith("die"):
        os._exit(1)
    return await device.send_command("show version")
