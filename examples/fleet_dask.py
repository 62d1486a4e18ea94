# examples/fleet_dask.py: a fleet on a local Dask cluster of two worker processes
from __future__ import annotations

import os

from tavrel.demo.lab import LabThread
from tavrel.devices import AsyncDevice
from tavrel.fleet import Command, Credential, Host, run

# The workers resolve the credentials: a Host carries the variable's name,
# never the password, and the workers inherit this environment.
os.environ["LAB_PASSWORD"] = "tavrel"


async def uptime(device: AsyncDevice, host: Host) -> str:
    # Defined in this script: pickled by value and sent to the workers.
    output: str = await device.send_command("show version")
    return output.splitlines()[1]


# The workers are processes that import this script: start nothing on import.
if __name__ == "__main__":
    with LabThread() as lab:
        hosts = [Host("sw-%d" % n, "127.0.0.1", lab.ssh_port,
                      username="admin",
                      password=Credential(env="LAB_PASSWORD"),
                      options={"known_hosts": lab.known_hosts})
                 for n in range(1, 13)]

        # Two worker processes, the hosts in batches, each batch one Dask
        # task running its own event loop; the results come back as each
        # host finishes.
        report = run(hosts, Command("show version"), workers=2,
                     concurrency=10)
        print(report.table())
        assert report.ok == len(hosts)

        # A function of one's own crosses too; on a running cluster,
        # run(..., scheduler="tcp://HOST:8786") instead of workers.
        report = run(hosts, uptime, workers=2)
        print(sorted({str(result.result) for result in report.results}))
