"""What ends a batch, and how a worker process ends with it.

SIGINT, SIGTERM and SIGHUP end a command alike (on Windows, which has no SIGHUP,
SIGINT and a console's Ctrl-Break, SIGBREAK): `signals_interrupt` makes each raise
`Interrupted` in the main thread, and the signal is also kept here (`stop_signal()`),
because an exception raised by a signal handler can be swallowed on its way out (a C
library's write callback makes an error of its own of it), so the runners of the
tasks look here too. A pool's worker process ignores the terminal's signals (its
batch decides), stops its task on SIGTERM, and ends when its parent ends.
"""

from __future__ import annotations

import contextlib
import ctypes
import os
import signal
import sys
import threading
import time
import warnings
from collections.abc import Callable, Iterator
from typing import TypeVar

from kestrune_tools.batch.outcome import Outcome
from kestrune_tools.profiles import GenericProfileWarning

Item = TypeVar("Item")

# An interrupted command exits with 128 + the signal's number, as a shell reports a
# command a signal ended: 130 (SIGINT), 143 (SIGTERM), 129 (SIGHUP); 149 (SIGBREAK).
INTERRUPTED_STATUS_BASE = 128
ENDING_SIGNALS = [name for name in ("SIGINT", "SIGTERM", "SIGHUP", "SIGBREAK") if hasattr(signal, name)]
# The signals that reach a worker with its batch's process (a console's Ctrl-C or
# Ctrl-Break, a closed terminal's SIGHUP): the batch decides what they stop.
LEFT_TO_THE_BATCH = [name for name in ("SIGINT", "SIGHUP", "SIGBREAK") if hasattr(signal, name)]
REPEATABLE_SIGNAL = "SIGINT"  # a second Ctrl-C still interrupts the ending itself

PR_SET_PDEATHSIG = 1  # from <linux/prctl.h>
PARENT_POLL_SECONDS = 0.5


class Interrupted(KeyboardInterrupt):
    """A batch ended by a signal (SIGINT, SIGTERM, SIGHUP), raised by `stop`;
    `signal_number` names the signal."""

    def __init__(self, signal_number: int) -> None:
        super().__init__(signal_number)
        self.signal_number = signal_number


# The signal that asked this process to stop, once one has.
_stop_signal: int | None = None
# Whether this worker process is in a task (a SIGTERM then stops it; between tasks
# the worker ends at once).
_task_running = False


def stop(signal_number: int, frame: object = None) -> None:
    """A signal handler: this process's batch ends with `Interrupted`."""
    global _stop_signal
    _stop_signal = signal_number
    raise Interrupted(signal_number)


def clear_stop() -> None:
    global _stop_signal
    _stop_signal = None


def stop_signal() -> int | None:
    """The signal that asked this process to stop, or None."""
    return _stop_signal


def raise_if_stopped() -> None:
    if _stop_signal is not None:
        raise Interrupted(_stop_signal)


@contextlib.contextmanager
def signals_interrupt() -> Iterator[None]:
    """SIGINT, SIGTERM and SIGHUP end the command alike (`stop` raises `Interrupted`
    in the main thread), so that a batch stops its workers and says what it wrote; a
    second SIGTERM or SIGHUP while it ends is ignored, as is a signal that was
    ignored when the command started. Outside the main thread nothing changes."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def interrupt(number: int, frame: object) -> None:
        for name in ENDING_SIGNALS:
            if name != REPEATABLE_SIGNAL:
                signal.signal(getattr(signal, name), signal.SIG_IGN)
        stop(number)

    clear_stop()
    # A signal the command was started ignoring (SIGHUP under nohup) stays ignored.
    previous = {name: signal.signal(getattr(signal, name), interrupt) for name in ENDING_SIGNALS
                if signal.getsignal(getattr(signal, name)) in (signal.SIG_DFL, signal.default_int_handler)}
    try:
        yield
    finally:
        for name, handler in previous.items():
            signal.signal(getattr(signal, name), handler)
        clear_stop()


# -- in a worker process


def end_with_parent(watch: bool = True) -> None:
    """Makes this process end when its parent process ends, however the parent ends
    (SIGKILL too): on Linux the kernel sends SIGKILL (PR_SET_PDEATHSIG); elsewhere,
    with `watch`, a thread ends the process: on Windows when the parent's process
    handle says it ended, on other systems when the parent's pid changes."""
    parent = os.getppid()
    if sys.platform.startswith("linux"):
        with contextlib.suppress(OSError, AttributeError):
            if ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL) == 0:
                if os.getppid() != parent:  # the parent ended before the request took hold
                    os._exit(1)
                return
    if watch:
        threading.Thread(target=_watch_parent, args=(parent,), name="parent-watch", daemon=True).start()


def _watch_parent(parent: int) -> None:
    if sys.platform == "win32":  # a Windows process's parent pid never changes
        _wait_for_process(parent)
    else:
        while os.getppid() == parent:
            time.sleep(PARENT_POLL_SECONDS)
    os._exit(1)


def _wait_for_process(pid: int) -> None:
    """Waits until the Windows process `pid` ends; returns at once when it cannot be
    opened (it has already ended)."""
    synchronize, infinite = 0x00100000, 0xFFFFFFFF
    kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)  # type: ignore[attr-defined,unused-ignore]
    handle = kernel32.OpenProcess(synchronize, False, pid)
    if not handle:
        return
    try:
        kernel32.WaitForSingleObject(handle, infinite)
    finally:
        kernel32.CloseHandle(handle)


def worker_started() -> None:
    """The initializer of a pool's worker process. The batch's own process decides
    what an interrupt stops: Ctrl-C reaching the whole process group and a closed
    terminal's SIGHUP are left to it, and it stops a task in progress by SIGTERM
    (on Windows the batch's terminate() ends the worker at once instead)."""
    end_with_parent()
    # A run read with the generic profile is said once, by the batch's own process.
    warnings.filterwarnings("ignore", category=GenericProfileWarning)
    for name in LEFT_TO_THE_BATCH:
        signal.signal(getattr(signal, name), signal.SIG_IGN)
    signal.signal(signal.SIGTERM, _stop_task)


def _stop_task(signal_number: int, frame: object) -> None:
    global _stop_signal
    _stop_signal = signal_number
    if _task_running:
        stop(signal_number)
    # Between tasks nothing is half-done: end at once, as the pool's own shutdown of
    # a broken pool expects of the signal (an idle worker that stayed would be waited
    # for for ever).
    os._exit(128 + signal_number)


def in_worker(task: Callable[[Item], Outcome[object]], item: Item) -> Outcome[object]:
    """Runs one task in a worker process, as a stop signal allows."""
    global _task_running
    raise_if_stopped()  # a task already queued for this worker when the batch ended
    _task_running = True
    try:
        outcome = task(item)
    finally:
        _task_running = False
    if outcome.kind == "failed":
        raise_if_stopped()
    return outcome
