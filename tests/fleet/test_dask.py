"""Fleets on a Dask cluster against the lab: results stream back once per
host, also when a worker is killed mid-run."""

import collections
import os
import signal
import threading
import time

import pytest

pytest.importorskip("asyncssh")
distributed = pytest.importorskip("distributed")

from tavrel.eal.dialogs import Dialog  # noqa: E402
from tavrel.fleet import Command, Host  # noqa: E402
from tavrel.fleet._dask import run_distributed  # noqa: E402
from tavrel.utils import SecretText  # noqa: E402

from conftest import PASSWORD_ENV, lab_host  # noqa: E402


@pytest.fixture(scope="module")
def client(lab):
    # The workers inherit the environment: the password reference is
    # resolved there.
    os.environ[PASSWORD_ENV] = lab.password
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1,
                                  dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as client:
        yield client


def lab_hosts(lab, count, prefix="sw"):
    return [lab_host(lab, "%s%03d" % (prefix, number))
            for number in range(count)]


def test_every_host_once_with_its_result(lab, client, closed_port):
    hosts = lab_hosts(lab, 30)
    hosts.append(lab_host(lab, "closed", port=closed_port))
    results = list(run_distributed(
        hosts, Command("show version"), scheduler=client.scheduler.address,
        batch_size=7, retries=0))
    assert sorted(result.host for result in results) == \
        sorted(host.name for host in hosts)
    by_host = {result.host: result for result in results}
    failed = by_host.pop("closed")
    assert (failed.ok, failed.error_type) == (False, "ConnectError")
    assert all(result.ok and "SW-1 uptime" in result.result
               for result in by_host.values())


def test_a_killed_worker_loses_and_repeats_no_host(lab, client):
    hosts = lab_hosts(lab, 60, prefix="k")
    served = lab.served
    results = []
    stream = run_distributed(hosts, "fleet_tasks:slow_version",
                             scheduler=client.scheduler.address,
                             batch_size=10, concurrency=5)
    for result in stream:
        results.append(result)
        if len(results) == 5:
            # Its worker has hosts of this batch done and, a moment later,
            # five more under way (in the task's pause).
            killed = result.result[1]
            time.sleep(0.2)
            os.kill(killed, signal.SIGKILL)
    counts = collections.Counter(result.host for result in results)
    assert set(counts) == {host.name for host in hosts}
    assert set(counts.values()) == {1}
    assert all(result.ok for result in results), [
        result for result in results if not result.ok]
    assert killed not in client.run(os.getpid).values()
    # The batch ran again without the hosts it had reported: at most the
    # five under way were served twice.
    assert lab.served - served <= len(hosts) + 5


def test_a_batch_the_cluster_gives_up_on_fails_its_hosts_once(lab, client):
    hosts = lab_hosts(lab, 4, prefix="die") + lab_hosts(lab, 4, prefix="ok")
    results = list(run_distributed(hosts, "fleet_tasks:version_or_exit",
                                   scheduler=client.scheduler.address,
                                   batch_size=4))
    assert sorted(result.host for result in results) == \
        sorted(host.name for host in hosts)
    assert {(result.host[:2], result.ok, result.error_type)
            for result in results} == {("di", False, "KilledWorker"),
                                       ("ok", True, None)}


def test_a_stopped_run_stops_its_batches_on_the_workers(lab, client):
    stream = run_distributed(lab_hosts(lab, 80, prefix="s"),
                             "fleet_tasks:slow_version",
                             scheduler=client.scheduler.address,
                             batch_size=40, concurrency=5)
    next(stream)
    # As when Ctrl-C interrupts the run: the batches' hosts are cancelled
    # and their sessions closed, well before the batches would end.
    stream.close()
    deadline = time.monotonic() + 1.5
    while lab.sessions and time.monotonic() < deadline:
        time.sleep(0.05)
    assert lab.sessions == 0


def test_a_local_cluster_of_its_own(lab):
    results = list(run_distributed(lab_hosts(lab, 6), "fleet_tasks:whoami",
                                   workers=2))
    assert len(results) == 6 and all(result.ok for result in results)
    assert os.getpid() not in {result.result for result in results}


@pytest.mark.parametrize("task, host_password, error, words", [
    (Dialog([[r"#$", None]]), None, TypeError, "module:name"),
    (lambda device, host, lock=threading.Lock(): lock, None, TypeError,
     "module:function"),
    (Command("show version"), SecretText("tavrel"), ValueError,
     "Credential(env=...)"),
])
def test_what_cannot_cross_to_the_workers_is_refused_at_once(
        task, host_password, error, words):
    hosts = [Host("sw", "127.0.0.1", 22, password=host_password)]
    with pytest.raises(error, match=words.replace("(", r"\(")
                       .replace(")", r"\)").replace(".", r"\.")):
        run_distributed(hosts, task, workers=1)
