"""The --profile option of the commands, and their one-line warning about a run
that its path gives the generic File profile (see `kestrune_tools.profiles`)."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any

from kestrune_tools.batch.outcome import Outcome
from kestrune_tools.cli.common import PROGRAM, write_line
from kestrune_tools.profiles import PROFILES, generic_profile_message, path_profile
from kestrune_tools.text import escaped

PROFILE_HELP = (
    "read every input with this File profile, as a path of that profile is read, "
    "whatever its name (default: the profile its path selects: 'small.RAW' in the "
    "path the small profile, else 'orbitrap' the orbitrap profile, else the generic "
    "profile, which is warned about)")


def add_profile_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--profile", choices=PROFILES, default=None, help=PROFILE_HELP)


def generic_warning(path: str | os.PathLike[str]) -> str | None:
    """The warning line naming the run, where its path gives it the generic profile."""
    if path_profile(path) != "generic":
        return None
    return f"{PROGRAM}: warning: {escaped(generic_profile_message(path, '--profile'))}"


def generic_note(outcome: Outcome[Any]) -> str | None:
    """The warning for a batch's run that was read (not one passed over or failed)."""
    return generic_warning(outcome.source) if outcome.kind in ("done", "nothing to write") else None


def warn_if_generic(path: str | os.PathLike[str], chosen: str | None) -> None:
    """The warning on standard error, where none was chosen."""
    line = generic_warning(path) if chosen is None else None
    if line is not None:
        write_line(line, sys.stderr)
