"""Helpers shared by the tests: recognising the reader's internal failures."""

from __future__ import annotations

from typing import Callable

import pytest


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
