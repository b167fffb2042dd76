"""What the companion does differently on Windows and on POSIX systems, in one place:
the flags of its own descriptors, the output folder's lock, and a worker's watch on
the process that started it."""

from __future__ import annotations

import contextlib
import errno
import os
import sys
from pathlib import Path

# Descriptors the companion opens are never inherited by a program it starts (os.open
# already makes them so; the flag says it where the descriptor is made).
NOT_INHERITED = getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_NOINHERIT", 0)


def try_lock(descriptor: int) -> None:
    """Takes the exclusive lock of an open lock file without waiting; raises
    BlockingIOError while another process holds it. POSIX: an advisory `flock`;
    Windows: a lock of the file's first byte (`msvcrt.locking`), freed with the
    handle, so that a killed holder frees it too."""
    if sys.platform == "win32":
        import msvcrt

        try:
            msvcrt.locking(descriptor, msvcrt.LK_NBLCK, 1)
        except OSError as error:
            if error.errno in (errno.EACCES, errno.EDEADLK):
                raise BlockingIOError(errno.EAGAIN, "locked by another process") from None
            raise
    else:
        import fcntl

        fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)


def release_lock_file(path: Path, descriptor: int) -> None:
    """Removes the lock file and frees its lock. POSIX: removed while still held, so
    that no other process can hold this file. Windows removes no file another process
    has open: closed first, and left to whoever opened it meanwhile."""
    if sys.platform == "win32":
        os.close(descriptor)
        with contextlib.suppress(OSError):
            os.unlink(path)
    else:
        with contextlib.suppress(OSError):
            os.unlink(path)
        os.close(descriptor)


def wait_for_process(pid: int) -> None:
    """Waits until the Windows process `pid` ends; returns at once when it cannot be
    opened (already gone). Windows only: a POSIX child sees its parent end by its
    parent pid changing."""
    import ctypes

    synchronize, infinite = 0x00100000, 0xFFFFFFFF
    kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)  # type: ignore[attr-defined,unused-ignore]
    handle = kernel32.OpenProcess(synchronize, False, pid)
    if not handle:
        return
    try:
        kernel32.WaitForSingleObject(handle, infinite)
    finally:
        kernel32.CloseHandle(handle)
