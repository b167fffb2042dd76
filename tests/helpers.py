"""Helpers shared by the tests: recognising the reader's internal failures, and
importing an example script."""

from __future__ import annotations

import importlib.util
import sys
from pathlib import Path
from types import ModuleType
from typing import Callable

import pytest

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def is_panic(error: BaseException) -> bool:
    return type(error).__name__ == "PanicException" and type(error).__module__ == "kestrune_runtime"


def panics(call: Callable[[], object], message: str | None = None) -> BaseException:
    """Runs call, which must raise PanicException (optionally with `message`); returns it."""
    try:
        call()
    except Exception as error:  # pragma: no cover - PanicException must not derive from Exception
        pytest.fail(f"expected PanicException, got {error!r}")
    except BaseException as error:
        assert is_panic(error), f"expected PanicException, got {error!r}"
        if message is not None:
            assert str(error) == message
        return error
    pytest.fail("expected PanicException")


def load_example(name: str) -> ModuleType:
    """Imports examples/<name>.py by its path: the examples are scripts, not a package."""
    found = importlib.util.spec_from_file_location(name, EXAMPLES / f"{name}.py")
    assert found is not None and found.loader is not None
    module = importlib.util.module_from_spec(found)
    sys.modules[name] = module
    found.loader.exec_module(module)
    return module


def ran_alongside(work: Callable[[], object]) -> bool:
    """Whether another thread ran in the middle half of `work`: it would not where the
    call held the interpreter lock throughout, but only as the lock changed hands at
    its start and end."""
    import threading
    import time

    stamps: list[float] = []
    done = threading.Event()

    def stamp() -> None:
        while not done.is_set():
            stamps.append(time.perf_counter())

    thread = threading.Thread(target=stamp)
    thread.start()
    started = time.perf_counter()
    try:
        work()
    finally:
        ended = time.perf_counter()
        done.set()
        thread.join()
    quarter = (ended - started) / 4
    return any(started + quarter < at < ended - quarter for at in stamps)
