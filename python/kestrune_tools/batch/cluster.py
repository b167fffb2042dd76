"""Tasks on a Dask distributed cluster: reaching the scheduler within a bound, and
yielding the outcomes as the tasks end. Dask itself is imported only here, and only
when a scheduler is given.
"""

from __future__ import annotations

import errno
import importlib
import re
import socket
import struct
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from typing import Any, TypeVar

from kestrune_tools.batch.outcome import Outcome

Item = TypeVar("Item")


class SchedulerError(Exception):
    """The Dask cluster cannot be used (extra missing, scheduler unreachable)."""


CONNECT_SECONDS = 10  # the bound of a connection to a scheduler, stated in --help
DEFAULT_SCHEDULER_PORT = 8786
# [scheme://]host[:port], the host a name, an IPv4 address or a bracketed IPv6 one;
# tcp and Dask's port where none is given, as Dask has them.
_SCHEDULER_ADDRESS = re.compile(
    r"(?:(?P<scheme>tcp|tls)://)?(?P<host>\[[0-9A-Fa-f:.]+\]|[A-Za-z0-9._-]+)(?::(?P<port>[0-9]{1,5}))?")
# A scheduler greets each connection with one message: its length (8 bytes), then
# the frame count (8 bytes) and the frame lengths. A plausible greeting is short.
_GREETING_LIMIT = 1 << 20


def _connect(scheduler: str) -> Any:
    try:
        distributed: Any = importlib.import_module("distributed")
    except ImportError:
        raise SchedulerError("--scheduler needs Dask distributed: pip install 'kestrune[dask]'") from None
    scheme, host, port = _scheduler_place(scheduler)
    # The address is tried by hand first, within the bound, because a client given
    # a server that is no scheduler can wait for ever or fail on its first bytes.
    deadline = time.monotonic() + CONNECT_SECONDS
    _within_deadline(lambda: _probe_scheduler(scheduler, scheme, host, port, deadline), deadline,
                     SchedulerError(f"cannot reach the Dask scheduler at {scheduler}: "
                                    f"no scheduler answered within {CONNECT_SECONDS} s"))
    remaining = max(1.0, deadline - time.monotonic())
    address = f"{scheme}://{host if ':' not in host else f'[{host}]'}:{port}"
    try:
        return distributed.Client(address, timeout=f"{remaining:.1f}s", set_as_default=False)
    except Exception as error:  # whatever a server that greets like a scheduler does next
        raise SchedulerError(f"cannot reach the Dask scheduler at {scheduler}: {error}") from None


def _scheduler_place(scheduler: str) -> tuple[str, str, int]:
    """The scheme, host and port of a scheduler address; SchedulerError for
    anything else (an empty text, an unknown scheme, a broken IPv6 bracket)."""
    match = _SCHEDULER_ADDRESS.fullmatch(scheduler)
    port = int(match.group("port") or DEFAULT_SCHEDULER_PORT) if match else 0
    if match is None or not 0 < port < 65536:
        raise SchedulerError(f"{scheduler!r} is no Dask scheduler address: give tcp://HOST:PORT "
                             f"(such as tcp://10.0.0.5:8786)")
    return match.group("scheme") or "tcp", match.group("host").strip("[]"), port


def _probe_scheduler(scheduler: str, scheme: str, host: str, port: int, deadline: float) -> None:
    """Connects to the address and, for plain tcp, reads the scheduler's greeting,
    all before `deadline`; SchedulerError where that fails."""
    def unreachable(why: str) -> SchedulerError:
        return SchedulerError(f"cannot reach the Dask scheduler at {scheduler}: {why}")

    try:
        with socket.create_connection((host, port), timeout=max(0.1, deadline - time.monotonic())) as peer:
            if scheme != "tcp":
                return  # its greeting comes after the TLS handshake, which the client makes
            peer.settimeout(max(0.1, deadline - time.monotonic()))
            length, = struct.unpack("<Q", _receive(peer, 8))
            if not 16 <= length <= _GREETING_LIMIT:
                raise unreachable("it is no Dask scheduler (it answered with something else)")
            frames, = struct.unpack("<Q", _receive(peer, 8))
            if not 1 <= frames <= 64:
                raise unreachable("it is no Dask scheduler (it answered with something else)")
    except (socket.timeout, TimeoutError):
        raise unreachable(f"no scheduler answered within {CONNECT_SECONDS} s") from None
    except OSError as error:
        raise unreachable(error.strerror or str(error)) from None


def _within_deadline(probe: Callable[[], None], deadline: float, late: SchedulerError) -> None:
    """Runs `probe` in a thread of its own that is given up at `deadline`: a name
    lookup has no timeout of its own. A thread given up ends with the process."""
    failures: list[BaseException] = []

    def run() -> None:
        try:
            probe()
        except BaseException as error:
            failures.append(error)

    thread = threading.Thread(target=run, name="scheduler-probe", daemon=True)
    thread.start()
    thread.join(max(0.0, deadline - time.monotonic()) + 1.0)
    if thread.is_alive():
        raise late
    if failures:
        raise failures[0]


def _receive(peer: socket.socket, count: int) -> bytes:
    data = b""
    while len(data) < count:
        chunk = peer.recv(count - len(data))
        if not chunk:
            raise ConnectionResetError(errno.ECONNRESET, "the connection was closed before a greeting")
        data += chunk
    return data



def on_cluster(scheduler: str, task: Callable[[Item], Outcome[Any]], items: Sequence[Item],
               lost: Callable[[int, BaseException], Outcome[Any]]) -> Iterator[tuple[int, Outcome[Any]]]:
    """Connects to `scheduler` at once (SchedulerError where it cannot be used), then
    yields (index, outcome) as each task ends; `lost` answers for a task whose
    worker failed it."""
    client = _connect(scheduler)
    return _as_completed(client, task, items, lost)


def _as_completed(client: Any, task: Callable[[Item], Outcome[Any]], items: Sequence[Item],
                  lost: Callable[[int, BaseException], Outcome[Any]]) -> Iterator[tuple[int, Outcome[Any]]]:
    completed_on_cluster: Any = importlib.import_module("distributed").as_completed
    with client:
        futures = {client.submit(task, item, pure=False): index for index, item in enumerate(items)}
        try:
            for future in completed_on_cluster(futures, loop=client.loop):
                index = futures[future]
                try:
                    outcome = future.result()
                except Exception as error:
                    outcome = lost(index, error)
                yield index, outcome
        except KeyboardInterrupt:
            client.cancel(list(futures))  # no task of this batch starts on the cluster
            raise
