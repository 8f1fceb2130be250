"""Which cluster a distributed call runs on, how the core's threads are shared
on its workers, and the progress bar."""

from __future__ import annotations

import contextlib
import os
import sys
from collections.abc import Iterator, Sequence
from typing import Any, Union

import distributed
from distributed import Client, LocalCluster
from distributed.comm.addressing import get_address_host
from distributed.diagnostics.plugin import WorkerPlugin
from dask.system import CPU_COUNT

#: The address of the scheduler to use when no client is given.
SCHEDULER_VARIABLE = "LUMIVAREX_SCHEDULER"
#: The core's thread count, read at each of its calls.
THREADS_VARIABLE = "LUMIVAREX_NUM_THREADS"

#: Where a distributed call runs: a client, a scheduler's address
#: ("tcp://host:8786"), or None (see :func:`session`).
ClientLike = Union[Client, str, None]


@contextlib.contextmanager
def session(client: ClientLike = None) -> Iterator[Client]:
    """The client a call runs on: ``client``, or one connected to the scheduler
    at the address ``client`` or, when it is None, at ``LUMIVAREX_SCHEDULER``;
    else the client this process already works with; else a local cluster
    sized to the machine, closed again when the call ends. Either way each
    worker is told its share of the core's threads first."""
    if client is None:
        client = os.environ.get(SCHEDULER_VARIABLE, "").strip() or None
    if client is None:
        try:
            client = distributed.default_client()
        except ValueError:  # none yet
            with LocalCluster(dashboard_address=None) as cluster, \
                    Client(cluster, set_as_default=False) as local:
                share_threads(local)
                yield local
            return
    if isinstance(client, str):
        try:
            connected = Client(client, set_as_default=False)
        except (OSError, TimeoutError) as e:
            raise OSError(f"cannot reach the Dask scheduler at {client}: {e}") from None
        with connected:
            share_threads(connected)
            yield connected
        return
    share_threads(client)
    yield client


# The thread count this process set; a different value in the environment
# was set by whoever started the worker, and is kept.
_set_here: str | None = None


def _set_threads(count: int) -> None:
    global _set_here
    current = os.environ.get(THREADS_VARIABLE)
    if current is not None and current != _set_here:
        return
    _set_here = os.environ[THREADS_VARIABLE] = str(count)


class ThreadShare(WorkerPlugin):
    """Sets the core's thread count on every worker, also on those that join
    later: the processors of the worker's machine divided among the task
    threads of all workers there, so that a cluster's calls into the core,
    each running on one task thread, do not oversubscribe its machines."""

    name = "lumivarex-threads"

    def __init__(self, threads_by_host: dict[str, int]) -> None:
        self.threads_by_host = threads_by_host

    def setup(self, worker: Any) -> None:
        host = get_address_host(worker.address)
        threads = self.threads_by_host.get(host, worker.state.nthreads)
        _set_threads(max(1, CPU_COUNT // max(1, threads)))


# The workers (address and threads) each client last shared threads among:
# while they stay the same, the plugin in place is the right one.
_shared_among: dict[str, frozenset[tuple[str, int]]] = {}


def share_threads(client: Client) -> None:
    workers = frozenset(client.nthreads().items())
    if _shared_among.get(client.id) == workers:
        return
    threads_by_host: dict[str, int] = {}
    for address, threads in workers:
        host = get_address_host(address)
        threads_by_host[host] = threads_by_host.get(host, 0) + threads
    client.register_plugin(ThreadShare(threads_by_host))
    _shared_among[client.id] = workers


def task_threads(client: Client) -> int:
    """The task threads of the cluster's workers, at least 1."""
    return max(1, int(sum(client.nthreads().values())))


def show_progress(futures: Sequence[Any], enabled: bool | None) -> None:
    """Dask's progress bar for the futures on standard error, waiting until
    they are done; by default only when standard error is a terminal."""
    if enabled is None:
        enabled = sys.stderr is not None and sys.stderr.isatty()
    if not enabled or not futures:
        return
    # The bar writes to standard output, which may carry the results.
    with contextlib.redirect_stdout(sys.stderr):
        distributed.progress(list(futures), notebook=False)
