"""How a chunk's outcomes travel back from a worker process to the batch's process.

The executor pickles a worker's answer and sends it through one pipe that every
worker of the pool writes to. Two things kept a worker from its next runs there,
in a catalog that answers a table of rows per run: each table pickled as an Arrow
stream of its own (its schema again each time), and the system's pipe, which held
a worker (and the other, waiting on the pipe's lock) until the batch's process had
read each 64 KiB of it. `TablesApart` sends a chunk's tables as one stream per
schema; `widen_results_pipe` asks for a larger pipe where the system allows.
"""

from __future__ import annotations

import contextlib
import io
import multiprocessing.reduction
import pickle
import sys
from collections.abc import Callable
from concurrent.futures import ProcessPoolExecutor
from typing import Any

from kestrune_tools.batch.outcome import Outcome

# Bytes the pipe of the workers' results holds: a chunk's outcomes (a catalog's rows
# of some sixty runs, about 600 KiB) then go in at once. One MiB is what an
# unprivileged process may ask for.
RESULTS_PIPE_BYTES = 1 << 20


def widen_results_pipe(pool: ProcessPoolExecutor) -> None:
    """Where the system allows (Linux), a pipe of `RESULTS_PIPE_BYTES` for the results."""
    try:
        import fcntl
    except ImportError:  # Windows
        return
    set_size = getattr(fcntl, "F_SETPIPE_SZ", None)  # Linux only
    reader = getattr(getattr(pool, "_result_queue", None), "_reader", None)  # the executor's own pipe
    if set_size is None or reader is None:
        return
    with contextlib.suppress(OSError, ValueError):
        fcntl.fcntl(reader.fileno(), set_size, RESULTS_PIPE_BYTES)


class TablesApart(list[Outcome[Any]]):
    """A chunk's outcomes as a worker sends them back, with the Arrow tables they hold
    (a run's catalog rows) taken out and sent as one Arrow stream per schema. Only
    where pyarrow is imported already: a batch without tables imports nothing for it.
    Unpickled, it is a plain list of the outcomes again."""

    def __reduce__(self) -> tuple[Callable[..., list[Outcome[Any]]], tuple[Any, ...]]:
        pyarrow = sys.modules.get("pyarrow")
        if pyarrow is None:
            return _as_they_are, (list(self),)
        tables: list[Any] = []
        payload = io.BytesIO()
        _TableCollector(payload, tables, pyarrow.Table).dump(list(self))
        return _with_tables, (payload.getvalue(), _as_streams(tables))


def _as_they_are(outcomes: list[Outcome[Any]]) -> list[Outcome[Any]]:
    return outcomes


class _TableCollector(multiprocessing.reduction.ForkingPickler):
    """Pickles everything but the tables, which it lists and names by their place."""

    def __init__(self, file: io.BytesIO, tables: list[Any], table_type: type) -> None:
        super().__init__(file, pickle.HIGHEST_PROTOCOL)
        self.tables, self.table_type = tables, table_type

    def persistent_id(self, obj: Any) -> int | None:
        if type(obj) is not self.table_type:
            return None
        self.tables.append(obj)
        return len(self.tables) - 1


# One Arrow stream of tables of one schema, the places of those tables among the
# outcomes' tables and their lengths, in the stream's order.
_Stream = tuple[Any, list[int], list[int]]


def _as_streams(tables: list[Any]) -> list[_Stream]:
    """The tables as one Arrow stream per distinct schema (with its metadata)."""
    import pyarrow as pa

    groups: list[list[int]] = []
    for place, table in enumerate(tables):
        group = next((g for g in groups if tables[g[0]].schema.equals(table.schema, check_metadata=True)), None)
        if group is None:
            groups.append([place])
        else:
            group.append(place)
    streams: list[_Stream] = []
    for group in groups:
        joined = pa.concat_tables([tables[place] for place in group]).combine_chunks()
        sink = pa.BufferOutputStream()
        with pa.ipc.new_stream(sink, joined.schema) as writer:
            writer.write_table(joined)
        streams.append((sink.getvalue(), group, [tables[place].num_rows for place in group]))
    return streams


def _with_tables(payload: bytes, streams: list[_Stream]) -> list[Outcome[Any]]:
    """The outcomes, each table put back as a slice of its stream's table."""
    import pyarrow as pa

    tables: dict[int, Any] = {}
    for stream, places, lengths in streams:
        joined = pa.ipc.open_stream(stream).read_all()
        offset = 0
        for place, length in zip(places, lengths):
            tables[place] = joined.slice(offset, length)
            offset += length
    outcomes: list[Outcome[Any]] = _TablePlacer(io.BytesIO(payload), tables).load()
    return outcomes


class _TablePlacer(pickle.Unpickler):
    """Unpickles what `_TableCollector` pickled, putting each table back in its place."""

    def __init__(self, file: io.BytesIO, tables: dict[int, Any]) -> None:
        super().__init__(file)
        self.tables = tables

    def persistent_load(self, pid: Any) -> Any:
        return self.tables[pid]
