"""Fleets on a Dask cluster: the hosts in batches, each batch one Dask task
that runs the fleet's event loop on a worker.

Each host's result travels back as soon as it is known, as an event of its
batch's topic on the scheduler, and once more in the list the batch
returns.  When a worker dies, Dask runs its batch again elsewhere; the
batch first asks the scheduler which of its hosts were already reported
and runs only the others.  The client keeps the first result of each host,
so none is reported twice, and reports a failure for every host of a batch
the cluster gave up on, so none is lost.
"""

from __future__ import annotations

import asyncio
import logging
import math
import pickle
import queue
import uuid
from collections.abc import Iterable, Iterator, Sequence
from typing import Any

from tavrel.eal.dialogs import Dialog
from tavrel.utils import SecretText

__all__ = ["run_distributed"]

# Batches per worker when no size is given: enough for a slow batch not to
# hold the others back, few enough for each to keep its loop busy.
BATCHES_PER_WORKER = 4
# The scheduler keeps this many events per topic (Dask's default
# distributed.admin.low-level-log-length); a batch's rerun learns what was
# done from them, so a batch is no larger.
MAX_BATCH = 1000
_TOPIC = "tavrel-fleet"
# How often a batch checks that the client still wants it (seconds).
CANCEL_CHECK = 0.5


def _import_distributed() -> Any:
    try:
        import distributed
    except ImportError:
        raise ImportError("running a fleet on Dask needs Dask distributed: "
                          "pip install 'tavrel[cluster]'") from None
    return distributed


def _check_task(task: Any) -> None:
    from tavrel.fleet import DialogTask

    if isinstance(task, (Dialog, DialogTask)):
        raise TypeError(
            "a Dialog cannot be sent to Dask workers (it is not picklable): "
            "pass it as 'module:name', a module-level dialog the workers "
            "can import")
    if isinstance(task, str):
        return
    import cloudpickle  # type: ignore[import-untyped]

    try:
        cloudpickle.dumps(task)
    except Exception as exc:
        raise TypeError(
            "the task cannot be sent to Dask workers (%s: %s): pass it as "
            "'module:function', a function the workers can import"
            % (type(exc).__name__, exc)) from None


def _secret_field(host: Any) -> str | None:
    """The name of a field of ``host`` that holds a SecretText, if any."""
    fields: list[tuple[str, Any]] = [("password", host.password),
                                     ("username", host.username)]
    for group in ("secrets", "options", "data"):
        fields += [("%s[%r]" % (group, key), value)
                   for key, value in dict(getattr(host, group)).items()]
    for name, value in fields:
        if isinstance(value, SecretText):
            return name
    return None


def _check_hosts(hosts: Sequence[Any]) -> None:
    names: set[str] = set()
    for host in hosts:
        field = _secret_field(host)
        if field is not None:
            raise ValueError(
                "host %r: its %s is a SecretText, which never leaves this "
                "process; on a cluster give credentials as references the "
                "workers resolve: Credential(env=...) or Credential(file=...)"
                % (host.name, field))
        if host.name in names:
            raise ValueError("host %r is given twice: on a cluster each "
                             "host's name must be its own" % host.name)
        names.add(host.name)


def _batch_size(hosts: int, workers: int, given: int | None) -> int:
    if given is not None:
        if not 1 <= given <= MAX_BATCH:
            raise ValueError("batch_size is 1 to %d (what the scheduler "
                             "remembers of a batch), not %r"
                             % (MAX_BATCH, given))
        return given
    size = math.ceil(hosts / max(1, workers * BATCHES_PER_WORKER))
    return max(1, min(MAX_BATCH, size))


def _worker_batch(hosts: list[Any], task: Any, topic: str,
                  options: dict[str, Any]) -> list[Any]:
    """One batch, on a worker: the hosts not yet reported (by an earlier
    run of this batch on a worker that died) on a fresh event loop, each
    result sent to the client as soon as it is known.  When the client
    cancels the batch (an interrupted run), its hosts are stopped and
    their sessions closed."""
    from distributed import get_client, get_worker

    from tavrel.fleet import resolve_task, run_hosts

    worker = get_worker()
    key = worker.get_current_task()
    reported = {message["host"]
                for _, message in get_client().get_events(topic)}
    todo = [host for host in hosts if host.name not in reported]
    callable_task = resolve_task(task)
    results: list[Any] = []

    async def collect() -> None:
        import cloudpickle

        async for result in run_hosts(todo, callable_task, **options):
            try:
                data = cloudpickle.dumps(result)
            except Exception:
                # Sent with the batch's list, or the batch fails whole.
                pass
            else:
                worker.log_event(topic, {"host": result.host,
                                         "result": data})
            results.append(result)

    def wanted() -> bool:
        # Dask cannot stop a task's thread: the batch watches its own
        # state on the worker instead.
        state = worker.state.tasks.get(key)
        return state is not None and state.state in ("executing",
                                                     "long-running")

    async def main() -> None:
        running = asyncio.ensure_future(collect())
        while not running.done():
            await asyncio.wait([running], timeout=CANCEL_CHECK)
            if not running.done() and not wanted():
                # run_hosts closes the sessions of the hosts it cancels.
                running.cancel()
        if running.cancelled():
            # Not a result: a partial list would pass for the batch's.
            raise RuntimeError("the batch was cancelled")
        running.result()

    asyncio.run(main())
    return results


def run_distributed(hosts: Iterable[Any], task: Any, *,
                    workers: int | None = None,
                    scheduler: str | None = None,
                    batch_size: int | None = None,
                    **runner_options: Any) -> Iterator[Any]:
    """Run ``task`` over ``hosts`` on a Dask cluster; yields each host's
    :class:`~tavrel.fleet.HostResult` as it comes back.

    ``workers=N`` starts a local cluster of N worker processes of one
    thread each (closed at the end); ``scheduler="tcp://HOST:PORT"`` uses a
    running one (whose workers must have tavrel installed).  The hosts go
    in batches of ``batch_size`` (by default about four per worker); each
    batch is one Dask task that runs the fleet's event loop with
    ``runner_options`` (``concurrency`` is per batch, hence per worker;
    ``timeout``, ``retries``, ``backoff``).

    ``task`` crosses to the workers as it is when it is a "module:function"
    string or a :class:`~tavrel.fleet.Command`; a callable is pickled
    (cloudpickle), and one that cannot be raises ``TypeError`` here, as does
    a :class:`~tavrel.eal.dialogs.Dialog` (pass it as "module:name").
    Hosts whose credentials are :class:`~tavrel.utils.SecretText` raise
    ``ValueError``: on a cluster credentials are references
    (``Credential(env=...)``, ``Credential(file=...)``) resolved on the
    worker.

    A worker that dies mid-run has its batch run again elsewhere, without
    the hosts already reported; each host is reported once.  A batch the
    cluster gives up on (say its workers kept dying) is reported as a
    failure of each of its hosts not yet reported.
    """
    if (workers is None) == (scheduler is None):
        raise ValueError("give either workers (a local cluster) or "
                         "scheduler (a running one's address)")
    if workers is not None and workers < 1:
        raise ValueError("workers must be at least 1, not %r" % workers)
    distributed = _import_distributed()
    hosts = list(hosts)
    _check_task(task)
    _check_hosts(hosts)
    if batch_size is not None:
        _batch_size(len(hosts), 1, batch_size)
    return _stream(distributed, hosts, task, workers, scheduler, batch_size,
                   runner_options)


def _open(distributed: Any, workers: int | None,
          scheduler: str | None) -> tuple[Any, Any]:
    if scheduler is not None:
        return distributed.Client(scheduler), None
    # Its warnings (a worker restarted, a cancelled batch) are the run's
    # own business: the results say what happened to each host.
    cluster = distributed.LocalCluster(n_workers=workers,
                                       threads_per_worker=1, processes=True,
                                       dashboard_address=":0",
                                       silence_logs=logging.ERROR)
    try:
        return distributed.Client(cluster), cluster
    except BaseException:
        cluster.close()
        raise


def _failed(host: str, error: BaseException | None) -> Any:
    from tavrel.fleet import HostResult

    if error is None:
        return HostResult(host, False, error="the host's result was lost "
                          "on the cluster", error_type="LostResult")
    return HostResult(host, False,
                      error="the cluster gave up on the host's batch: %s"
                      % (str(error) or type(error).__name__),
                      error_type=type(error).__name__)


def _stream(distributed: Any, hosts: list[Any], task: Any,
            workers: int | None, scheduler: str | None,
            batch_size: int | None,
            options: dict[str, Any]) -> Iterator[Any]:
    if not hosts:
        return
    client, cluster = _open(distributed, workers, scheduler)
    inbox: queue.Queue[tuple[str, Any]] = queue.Queue()
    run = uuid.uuid4().hex
    topics: list[str] = []
    batches: dict[str, tuple[Any, list[Any], str]] = {}
    try:
        count = workers or len(client.scheduler_info()["workers"])
        size = _batch_size(len(hosts), count, batch_size)
        for start in range(0, len(hosts), size):
            batch = hosts[start:start + size]
            topic = "%s-%s-%d" % (_TOPIC, run, start // size)
            # Subscribed before the batch runs: no event comes earlier.
            client.subscribe_topic(
                topic, lambda event: inbox.put(("host", event[1])))
            topics.append(topic)
            future = client.submit(_worker_batch, batch, task, topic,
                                   options, key="%s-%s" % (topic, "batch"),
                                   pure=False)
            batches[future.key] = (future, batch, topic)
            future.add_done_callback(lambda done: inbox.put(("batch", done)))
        reported: set[str] = set()
        pending = set(batches)
        while pending:
            kind, item = inbox.get()
            if kind == "host":
                if item["host"] not in reported:
                    reported.add(item["host"])
                    yield pickle.loads(item["result"])
                continue
            if item.key not in pending:
                continue
            pending.discard(item.key)
            _, batch, topic = batches[item.key]
            failure: BaseException | None = None
            try:
                results = item.result()
            except Exception as exc:
                results, failure = [], exc
            for result in results:
                if result.host not in reported:
                    reported.add(result.host)
                    yield result
            missing = {host.name for host in batch} - reported
            if missing:
                # Reported by an earlier run of the batch, on a worker that
                # died, and not come through yet: the scheduler keeps them.
                for _, message in client.get_events(topic):
                    if message["host"] in missing:
                        missing.discard(message["host"])
                        reported.add(message["host"])
                        yield pickle.loads(message["result"])
                for host in batch:
                    if host.name in missing:
                        reported.add(host.name)
                        yield _failed(host.name, failure)
    finally:
        for topic in topics:
            try:
                client.unsubscribe_topic(topic)
            except Exception:
                pass
        unfinished = [future for future, _, _ in batches.values()
                      if not future.done()]
        if unfinished:
            client.cancel(unfinished)
        client.close()
        if cluster is not None:
            cluster.close()
