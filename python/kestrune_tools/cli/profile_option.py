"""The --profile option of the commands, and their one-line warning about a run
that its path gives the generic File profile (see `kestrune_tools.profiles`)."""

from __future__ import annotations

import argparse
import os
import sys

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


def warn_if_generic(path: str | os.PathLike[str], chosen: str | None) -> None:
    """One line on standard error, naming the run, where its path gives it the
    generic profile and none was chosen."""
    if chosen is None and path_profile(path) == "generic":
        write_line(f"{PROGRAM}: warning: {escaped(generic_profile_message(path, '--profile'))}", sys.stderr)
