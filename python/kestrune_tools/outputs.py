"""Outputs that appear complete or not at all.

Every export is written to a temporary name beside its final name (in the same
directory, so the rename cannot cross file systems), flushed to disk, and renamed
into place only when complete. A crash or a kill leaves at most a temporary file,
which the next write of the same output removes; it never leaves a partial file
under a final name.
"""

from __future__ import annotations

import contextlib
import glob
import os
import uuid
from collections.abc import Iterator, Sequence
from pathlib import Path

TEMPORARY_SUFFIX = ".part"


def temporary_name(final: Path) -> Path:
    """A fresh hidden name beside `final`: `.<name>.<token>.part`."""
    return final.with_name(f".{final.name}.{uuid.uuid4().hex[:12]}{TEMPORARY_SUFFIX}")


def leftovers(final: Path) -> list[Path]:
    """Temporary files of earlier, interrupted writes of `final`."""
    pattern = f".{glob.escape(final.name)}.*{TEMPORARY_SUFFIX}"
    return sorted(final.parent.glob(pattern))


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


@contextlib.contextmanager
def atomic_output(final: str | os.PathLike[str]) -> Iterator[Path]:
    """Yields a temporary path to write; renames it to `final` when the block ends
    normally, removes it when the block raises. A block that writes nothing leaves
    `final` as it was.

        with atomic_output(outdir / "run17.mgf") as temporary:
            write_mgf(run, temporary)
    """
    final_path = Path(final)
    for leftover in leftovers(final_path):
        leftover.unlink(missing_ok=True)
    temporary = temporary_name(final_path)
    try:
        yield temporary
        if not temporary.exists():
            return
        _flush_to_disk(temporary)
        os.replace(temporary, final_path)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise
    _flush_directory(final_path.parent)


def is_complete(outputs: Sequence[str | os.PathLike[str]], source: str | os.PathLike[str]) -> bool:
    """True when every output exists under its final name and is newer than `source`.

    A file under a final name is complete by construction (see `atomic_output`); one
    older than its source was made from an earlier version of it.
    """
    try:
        source_time = os.stat(source).st_mtime_ns
        return all(os.stat(output).st_mtime_ns > source_time for output in outputs)
    except OSError:
        return False
