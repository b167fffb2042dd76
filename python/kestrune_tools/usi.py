"""Universal Spectrum Identifiers: `mzspec:<collection>:<msRun>:<indexType>:<index>[:<interpretation>]`.

    usi = parse_usi("mzspec:USI000000:[day2]run17:scan:42:PEPTIDE/2")
    usi.collection, usi.run_folder, usi.run_name, usi.index_type, usi.index
    # ("USI000000", "day2", "run17", "scan", "42")

The prefix is `mzspec` in lower case and nothing else. A run name may hold colons:
it ends where the first of the index types follows it (`:scan:`, `:index:`,
`:nativeId:`, `:trace:`). It may start with one `[sub/folder]` prefix, which picks
among runs of the same name in different folders; a `[` anywhere else is part of
the name. The interpretation (a peptidoform and its charge) may hold colons too and
says nothing about which spectrum is meant. Only the text is checked here; whether
the collection, run and scan exist is the server's question.
"""

from __future__ import annotations

import re
from dataclasses import dataclass

__all__ = ["INDEX_TYPES", "MAX_USI_LENGTH", "MalformedUsi", "Usi", "parse_usi"]

PREFIX = "mzspec"
INDEX_TYPES = ("scan", "index", "nativeId", "trace")
# Far beyond any real identifier; a longer text is refused before it is searched.
MAX_USI_LENGTH = 4096

_SHAPE = re.compile(
    rf"(?P<prefix>[^:]*):(?P<collection>[^:]*):(?P<run>.*?):(?P<type>{'|'.join(INDEX_TYPES)})"
    r":(?P<index>[^:]*)(?::(?P<interpretation>.*))?", re.DOTALL)
_FOLDER_PREFIX = re.compile(r"\[(?P<folder>[^\]]*)\](?P<name>.*)", re.DOTALL)
_CONTROL = re.compile(r"[\x00-\x1f\x7f]")


class MalformedUsi(ValueError):
    """The text is no USI; the message says why."""


@dataclass(frozen=True)
class Usi:
    collection: str
    run_folder: str | None  # between the brackets of a `[sub/folder]` prefix, where given
    run_name: str
    index_type: str
    index: str
    interpretation: str | None

    @property
    def spectrum(self) -> str:
        """The identifier of the spectrum alone, without its interpretation."""
        folder = f"[{self.run_folder}]" if self.run_folder is not None else ""
        return f"{PREFIX}:{self.collection}:{folder}{self.run_name}:{self.index_type}:{self.index}"


def parse_usi(text: str) -> Usi:
    """The parts of `text`; MalformedUsi where it is no USI of one spectrum."""
    if len(text) > MAX_USI_LENGTH:
        raise MalformedUsi(f"longer than {MAX_USI_LENGTH} characters")
    if _CONTROL.search(text):
        raise MalformedUsi("holds a control character")
    shape = _SHAPE.fullmatch(text)
    if shape is None:
        raise MalformedUsi(f"not of the form {PREFIX}:<collection>:<msRun>:<indexType>:<index>, "
                           f"with an index type among {', '.join(INDEX_TYPES)}")
    if shape["prefix"] != PREFIX:
        raise MalformedUsi(f"starts with {shape['prefix']!r}, not {PREFIX!r} (in lower case)")
    for part in ("collection", "run", "index"):
        if not shape[part]:
            raise MalformedUsi(f"its {_PART_NAMES[part]} is empty")
    folder, name = _split_run(shape["run"])
    return Usi(shape["collection"], folder, name, shape["type"], shape["index"], shape["interpretation"])


_PART_NAMES = {"collection": "collection", "run": "msRun", "index": "index number"}


def _split_run(run: str) -> tuple[str | None, str]:
    prefixed = _FOLDER_PREFIX.fullmatch(run)
    if prefixed is None:
        return None, run
    if not prefixed["name"]:
        raise MalformedUsi("its msRun is a folder prefix with no run name after it")
    return prefixed["folder"], prefixed["name"]
