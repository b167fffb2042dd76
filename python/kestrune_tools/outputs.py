"""Outputs that appear complete or not at all, each knowing what it was made from.

Every export is written to a temporary name beside its final name (in the same
directory, so the rename cannot cross file systems), flushed to disk, and renamed
into place only when complete. A crash or a kill leaves at most a temporary file,
`.<name>.<12 hex digits>.part`, which the next write of the same output removes; it
never leaves a partial file under a final name.

Beside a converted output, a hidden record `.<name>.source.json` says what it was
made from: the input's identity (`source_identity`), the options that shape it, and
the output file it describes (size, mtime, inode), so that a record never vouches
for another file than the one it was written for. A rerun keeps an output only when
its record matches all of that (`is_made_from`). An input that had nothing to write
with these options gets a record too (`record_nothing`, `was_nothing_from`), with no
output file, so that a rerun passes it over quietly.

One folder has one writer at a time: `sole_writer(folder)` holds an advisory lock on
`folder/.kestrune.lock` for a whole batch.
"""

from __future__ import annotations

import contextlib
import errno
import glob
import hashlib
import json
import os
import re
import sys
import threading
import uuid
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any


TEMPORARY_SUFFIX = ".part"
RECORD_SUFFIX = ".source.json"
LOCK_NAME = ".kestrune.lock"
NAME_MAX = 255  # bytes in one file name, on every common file system
TOKEN_DIGITS = 12
FINGERPRINT_SPAN = 1 << 20  # bytes hashed at each end of an input
# Errors that only writing can raise: they name the output, not the input.
OUTPUT_ERRNOS = {errno.ENOSPC, errno.EDQUOT, errno.EFBIG, errno.EROFS}


class NothingWritten(Exception):
    """Raise it in an `atomic_output` block that has nothing to write: the final name
    then stays as it was, and the block ends quietly."""


class NothingToWrite(ValueError):
    """A writer's answer where the run holds nothing its format takes (such as no MS2
    scan for an MGF): no file is made, and the batch reports the input as having
    nothing to write, which is no failure."""


class FolderBusy(Exception):
    """Another process holds the folder's lock."""


def hidden_name(name: str, suffix: str) -> str:
    """`.<name><suffix>`, within the bytes a file name may hold: where the whole would
    not fit, `name` is cut (and told apart from others cut alike by a hash of it)."""
    whole = f".{name}{suffix}"
    if len(os.fsencode(whole)) <= NAME_MAX:
        return whole
    tag = "~" + hashlib.sha256(os.fsencode(name)).hexdigest()[:16]
    room = NAME_MAX - len(os.fsencode(f".{tag}{suffix}"))
    head = os.fsencode(name)[:room].decode("utf-8", "ignore")  # never half a character
    return f".{head}{tag}{suffix}"


def _temporary_prefix(final: Path) -> str:
    # Every temporary suffix has the same length, so one cut fits them all.
    sample = f".{'0' * TOKEN_DIGITS}{TEMPORARY_SUFFIX}"
    return hidden_name(final.name, sample)[:-len(sample)]


def temporary_name(final: Path) -> Path:
    """A fresh hidden name beside `final`: `.<name>.<12 hex digits>.part`."""
    return final.with_name(f"{_temporary_prefix(final)}.{uuid.uuid4().hex[:TOKEN_DIGITS]}{TEMPORARY_SUFFIX}")


def leftovers(final: Path) -> list[Path]:
    """Temporary files of earlier, interrupted writes of `final`, and of no other
    output (`.a.mgf.b.mgf.<token>.part` is not one of `a.mgf`'s)."""
    prefix = _temporary_prefix(final)
    exact = re.compile(re.escape(prefix) + rf"\.[0-9a-f]{{{TOKEN_DIGITS}}}" + re.escape(TEMPORARY_SUFFIX))
    candidates = final.parent.glob(f"{glob.escape(prefix)}.*{TEMPORARY_SUFFIX}")
    return sorted(path for path in candidates if exact.fullmatch(path.name))


def record_path(final: Path) -> Path:
    """The hidden record of what `final` was made from."""
    return final.with_name(hidden_name(final.name, RECORD_SUFFIX))


def _flush_to_disk(path: Path) -> None:
    descriptor = os.open(path, os.O_RDONLY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def _flush_directory(directory: Path) -> None:
    # Makes the rename itself durable; some platforms cannot open a directory.
    with contextlib.suppress(OSError):
        _flush_to_disk(directory)


def _written(temporary: Path, durable: bool) -> None:
    """Checks that `temporary` is there to rename; with `durable`, flushes it to disk."""
    try:
        if durable:
            _flush_to_disk(temporary)
        else:
            os.stat(temporary)
    except FileNotFoundError:
        raise FileNotFoundError(errno.ENOENT, "its temporary file vanished before it was renamed into place",
                                str(temporary)) from None


# The temporary names of the `atomic_outputs` blocks in progress in this process:
# a public writer handed one of them writes it as it is (`atomic_destinations`).
_in_progress: set[str] = set()
_in_progress_lock = threading.Lock()


@contextlib.contextmanager
def _handed_out(temporaries: list[Path]) -> Iterator[None]:
    keys = [os.path.abspath(path) for path in temporaries]
    with _in_progress_lock:
        _in_progress.update(keys)
    try:
        yield
    finally:
        with _in_progress_lock:
            _in_progress.difference_update(keys)


@contextlib.contextmanager
def atomic_outputs(finals: Sequence[str | os.PathLike[str]], *, durable: bool = True) -> Iterator[list[Path]]:
    """Yields a temporary path for each of `finals`; renames them all into place
    when the block ends normally, removes them all when it raises. A temporary file
    missing at the end (never written, or removed by someone else) is an error.
    With `durable` (the command's outputs), the files and then their folders are
    flushed to the disk around the renames, so that even a crash of the machine
    leaves each output complete or absent."""
    paths = [Path(final) for final in finals]
    for final in paths:
        for leftover in leftovers(final):
            leftover.unlink(missing_ok=True)
    temporaries = [temporary_name(final) for final in paths]
    try:
        with _handed_out(temporaries):
            yield temporaries
        for temporary in temporaries:
            _written(temporary, durable)
        for temporary, final in zip(temporaries, paths):
            os.replace(temporary, final)
    except NothingWritten:
        for temporary in temporaries:
            temporary.unlink(missing_ok=True)
        return
    except BaseException:
        for temporary in temporaries:
            temporary.unlink(missing_ok=True)
        raise
    for folder in dict.fromkeys(final.parent for final in paths) if durable else ():
        _flush_directory(folder)


@contextlib.contextmanager
def atomic_output(final: str | os.PathLike[str]) -> Iterator[Path]:
    """Yields a temporary path to write; renames it to `final` when the block ends
    normally, removes it when the block raises (`NothingWritten` to leave `final` as
    it was, quietly).

        with atomic_output(outdir / "run17.mgf") as temporary:
            write_mgf(run, temporary)
    """
    with atomic_outputs([final]) as (temporary,):
        yield temporary


@contextlib.contextmanager
def atomic_destinations(destinations: Sequence[str | os.PathLike[str]]) -> Iterator[list[Path]]:
    """What every public writer writes to: `atomic_outputs` of its destinations, so
    that a failure (an error, an interrupt) leaves nothing under their names. A
    destination that is itself a temporary name of a block in progress (a batch's)
    is written as it is: that block renames it, and flushes it to the disk. A
    writer called by itself does not flush, as no other library's writer does: a
    flush cost the Parquet export of a 35 MB run a third of its time."""
    paths = [Path(destination) for destination in destinations]
    with _in_progress_lock:
        handed_out = [os.path.abspath(path) in _in_progress for path in paths]
    if all(handed_out):
        yield paths
        return
    if any(handed_out):
        raise ValueError("destinations mix temporary names of a batch with others")
    with atomic_outputs(paths, durable=False) as temporaries:
        yield temporaries


def output_error(error: BaseException, outputs: Sequence[tuple[Path, Path]], current: Path) -> str | None:
    """Why writing failed, naming the output, where `error` comes from writing one of
    `outputs` (final and temporary paths; `current` the one being written): a full
    disk, a read-only file system, a file that cannot be renamed into place. None for
    an error of the input's."""
    if not isinstance(error, OSError):
        return None
    involved = [final for final, temporary in outputs if error.filename in (str(final), str(temporary))]
    if not involved and error.errno not in OUTPUT_ERRNOS:
        return None
    final = involved[0] if involved else current
    words = error.strerror if error.errno not in OUTPUT_ERRNOS else os.strerror(error.errno)
    return f"cannot write {final}: {(words or str(error)).lower()}"


# -- what an output was made from


def source_identity(path: str | os.PathLike[str]) -> dict[str, Any]:
    """The input's size, mtime, device and inode, and a SHA-256 of its size and of its
    first and last MiB: what tells one version of a file from another cheaply."""
    with open(path, "rb") as stream:
        status = os.fstat(stream.fileno())
        digest = hashlib.sha256(status.st_size.to_bytes(8, "little"))
        digest.update(stream.read(FINGERPRINT_SPAN))
        if status.st_size > FINGERPRINT_SPAN:
            stream.seek(max(FINGERPRINT_SPAN, status.st_size - FINGERPRINT_SPAN))
            digest.update(stream.read(FINGERPRINT_SPAN))
    return {"size": status.st_size, "mtime_ns": status.st_mtime_ns, "device": status.st_dev,
            "inode": status.st_ino, "sha256_ends": digest.hexdigest()}


def _output_stamp(path: Path) -> dict[str, int]:
    status = os.stat(path)
    return {"size": status.st_size, "mtime_ns": status.st_mtime_ns, "inode": status.st_ino}


def record_source(final: Path, written: Path, made_from: dict[str, Any]) -> None:
    """Records that `written`, to be renamed to `final`, was made from `made_from`.
    Not flushed: a record lost in a crash only makes the output be written again."""
    _write_record(final, {"made_from": made_from, "output": _output_stamp(written)})


def record_nothing(final: Path, made_from: dict[str, Any]) -> None:
    """Records that `made_from` gives nothing to write to `final` (which is left as it is)."""
    _write_record(final, {"made_from": made_from, "output": None})


def _write_record(final: Path, record: dict[str, Any]) -> None:
    text = json.dumps(record, sort_keys=True, indent=1)
    path = record_path(final)
    for leftover in leftovers(path):
        leftover.unlink(missing_ok=True)
    temporary = temporary_name(path)
    try:
        temporary.write_text(text + "\n", encoding="utf-8")
        os.replace(temporary, path)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise


def _read_record(final: Path) -> Any:
    try:
        return json.loads(record_path(final).read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return None


def is_made_from(final: Path, made_from: dict[str, Any]) -> bool:
    """True when `final` exists and its record says it was made from exactly
    `made_from` (compared as JSON values)."""
    try:
        stamp = _output_stamp(final)
    except OSError:
        return False
    return bool(_read_record(final) == {"made_from": _as_json(made_from), "output": stamp})


def was_nothing_from(final: Path, made_from: dict[str, Any]) -> bool:
    """True when the record of `final` says `made_from` gave nothing to write to it."""
    return bool(_read_record(final) == {"made_from": _as_json(made_from), "output": None})


def _as_json(value: Any) -> Any:
    return json.loads(json.dumps(value))


# -- one writer per folder


# Descriptors of the lock are never inherited by a program the process starts (os.open
# already makes them so; the flag says it where the descriptor is made).
NOT_INHERITED = getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_NOINHERIT", 0)


def _try_lock(descriptor: int) -> None:
    """Takes the exclusive lock of an open lock file without waiting; raises
    BlockingIOError while another process holds it. POSIX: an advisory `flock`;
    Windows: a lock of the file's first byte (`msvcrt.locking`). Either is freed
    with the descriptor, so a killed holder frees it too."""
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


def _release_lock_file(path: Path, descriptor: int) -> None:
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


def _open_lock_file(path: Path) -> int:
    try:
        return os.open(path, os.O_RDWR | os.O_CREAT | NOT_INHERITED, 0o666)
    except PermissionError:
        if not path.is_file() or not os.access(path.parent, os.W_OK | os.X_OK):
            raise  # the folder takes no new file
        # Another user's lock file, in a shared folder: a lock needs no write access.
        return os.open(path, os.O_RDONLY | NOT_INHERITED)


def _lock(path: Path) -> int:
    while True:
        descriptor = _open_lock_file(path)
        try:
            _try_lock(descriptor)
        except BlockingIOError:
            os.close(descriptor)
            raise FolderBusy(f"another kestrune command is writing into this folder (it holds {path})") from None
        # The lock file is removed at the end of each batch: make sure the file
        # locked is still the one under that name.
        held = os.fstat(descriptor)
        with contextlib.suppress(FileNotFoundError):
            current = os.stat(path)
            if (current.st_dev, current.st_ino) == (held.st_dev, held.st_ino):
                return descriptor
        os.close(descriptor)


@contextlib.contextmanager
def sole_writer(folder: Path) -> Iterator[None]:
    """Holds the advisory lock of `folder` (which must exist) while the block runs;
    raises `FolderBusy` at once if another process holds it, OSError if the folder
    takes no new file. The lock file is removed when the block ends."""
    path = folder / LOCK_NAME
    descriptor = _lock(path)
    try:
        yield
    finally:
        _release_lock_file(path, descriptor)
