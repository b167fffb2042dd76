"""The inputs of a batch: finding them, and why one cannot be read.

Files are taken as given; folders are searched recursively for `.raw` files (any
case). An input that is no readable file, or whose reading fails, is never an
error of the batch: it gets a reason of a few words (`input_problem`,
`failure_reason`), and the others go on.
"""

from __future__ import annotations

import errno
import os
import stat
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from pathlib import Path

RAW_SUFFIX = ".raw"  # compared without regard to case
CHANGED_WHILE_READ = "changed while it was read"

# -- finding the inputs


@dataclass(frozen=True)
class Discovery:
    """The inputs found for the command line's arguments, in a stable order, and the
    folders that held none or could not be listed (each with the reason)."""

    inputs: list[Path]
    empty_folders: list[Path] = field(default_factory=list)
    unreadable_folders: list[tuple[Path, str]] = field(default_factory=list)

    def failures(self) -> list[tuple[Path, str]]:
        """The folders that gave no input, each with the reason."""
        return [*((folder, "no .raw files in this folder") for folder in self.empty_folders),
                *self.unreadable_folders]


def is_raw_name(path: Path) -> bool:
    return path.suffix.lower() == RAW_SUFFIX


def _listing_problem(error: OSError) -> str:
    words = "permission denied" if isinstance(error, PermissionError) else (error.strerror or str(error)).lower()
    return f"cannot list this folder: {words}"


def _is_folder(entry: os.DirEntry[str]) -> bool:
    try:
        return entry.is_dir()  # through a link too
    except OSError:
        return False  # it fails later as an input, or is no .raw file anyway


def _raw_files_under(folder: Path, unreadable: list[tuple[Path, str]]) -> list[Path]:
    """Every entry named *.raw (any case) under `folder`, searched recursively and
    through links to folders, each real folder once (a link loop ends there). A folder
    named *.raw is an input too (it will fail as a directory), not searched. A folder
    that cannot be listed goes to `unreadable`, with the reason."""
    found: list[Path] = []
    searched: set[tuple[int, int]] = set()
    pending = [folder]
    while pending:
        here = pending.pop()
        try:
            status = here.stat()
            if (status.st_dev, status.st_ino) in searched:
                continue
            searched.add((status.st_dev, status.st_ino))
            with os.scandir(here) as listing:
                entries = list(listing)
        except OSError as error:
            unreadable.append((here, _listing_problem(error)))
            continue
        for entry in entries:
            path = here / entry.name
            if is_raw_name(path):
                found.append(path)
            elif _is_folder(entry):
                pending.append(path)
    return sorted(found)


def discover_inputs(arguments: Iterable[str | os.PathLike[str]]) -> Discovery:
    """Files are taken as given (whatever their name, even missing ones: they fail
    later with a reason); folders are searched recursively for .raw files. The same
    file reached twice is kept once."""
    inputs: list[Path] = []
    empty: list[Path] = []
    unreadable: list[tuple[Path, str]] = []
    seen: set[str] = set()
    for argument in arguments:
        path = Path(argument)
        problems = len(unreadable)
        found = _raw_files_under(path, unreadable) if path.is_dir() else [path]
        if not found and len(unreadable) == problems:
            empty.append(path)
        for candidate in found:
            key = os.path.realpath(candidate)
            if key not in seen:
                seen.add(key)
                inputs.append(candidate)
    return Discovery(inputs, empty, sorted(unreadable))


# -- why an input cannot be read


def input_problem(path: str | os.PathLike[str]) -> str | None:
    """What makes `path` no input at all (missing, a directory, not a regular file,
    unreadable), or None where the reader may open it."""
    try:
        status = os.stat(path)
    except FileNotFoundError:
        return "no such file"
    except PermissionError:
        return "permission denied"
    except OSError as error:
        return error.strerror or str(error)
    if stat.S_ISDIR(status.st_mode):
        return "is a directory, not a .raw file"
    if not stat.S_ISREG(status.st_mode):
        return "not a regular file"
    if not os.access(path, os.R_OK):
        return "permission denied"
    return None


class InputChanged(Exception):
    """The input's identity after reading it is not the one before."""

    def __init__(self) -> None:
        super().__init__(CHANGED_WHILE_READ)


def file_stamp(path: str | os.PathLike[str]) -> tuple[int, int, int, int]:
    """Size, mtime, device and inode: what a rewrite, a copy over or an append changes."""
    status = os.stat(path)
    return status.st_size, status.st_mtime_ns, status.st_dev, status.st_ino


def changed_since(path: str | os.PathLike[str], before: object,
                  identify: Callable[[str | os.PathLike[str]], object] = file_stamp) -> bool:
    """Whether `identify(path)` no longer answers `before`; a file removed or no
    longer readable has changed too. Every command asks this of its input once it
    has read it."""
    try:
        return identify(path) != before
    except OSError:
        return True


def is_panic(error: BaseException) -> bool:
    """The reader's internal-failure exception, which derives from BaseException."""
    kind = type(error)
    return (kind.__module__, kind.__name__) == ("kestrune_runtime", "PanicException")


def failure_reason(error: BaseException, path: str | os.PathLike[str]) -> str:
    """A few words on why opening or exporting `path` failed."""
    if isinstance(error, OSError) and str(error) == "failed to fill whole buffer":
        size = os.stat(path).st_size
        return f"too short to hold a file header ({size} bytes)"
    if isinstance(error, PermissionError) or getattr(error, "errno", None) == errno.EACCES:
        return "permission denied"
    if is_panic(error):
        return f"cannot be read: {str(error).strip()}"
    if isinstance(error, InputChanged):
        return str(error)
    text = str(error).strip() or type(error).__name__
    return text if isinstance(error, OSError) else f"{type(error).__name__}: {text}"
