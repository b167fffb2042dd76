"""The File profile of a run: which of the reader's layouts its file is read with.

The reader chooses the profile from the whole path as given, directories included:
a path holding "small.RAW" is read with the small profile, else one holding
"orbitrap" with the orbitrap profile, else with the generic profile, whose scans all
start at the same place (they repeat one peak block) and hold no retention times. A
run opened with `profile=` is read as a path of that profile would be, whatever its
name. (A path holding both substrings is read with the small profile and, as every
path holding "orbitrap", with the scans' orbitrap trailer records.) Standard library only, so that the command line can say a run's profile
before anything heavier is imported.
"""

from __future__ import annotations

import os
from collections.abc import Mapping

__all__ = ["PROFILES", "GenericProfileWarning", "path_profile", "profile_reason", "generic_profile_message",
           "checked_profile"]

# The File profiles, and the substring of a path that selects each (the generic
# profile is what a path holding neither gets). The first that a path holds wins.
PROFILES = ("small", "orbitrap", "generic")
PROFILE_MARKERS: Mapping[str, str] = {"small": "small.RAW", "orbitrap": "orbitrap"}


class GenericProfileWarning(UserWarning):
    """A run read with the generic File profile without a profile being chosen: its
    scans repeat one peak block and hold no retention times."""


def path_profile(path: str | os.PathLike[str]) -> str:
    """The File profile the reader gives `path`: the first of `PROFILE_MARKERS` whose
    substring the whole path holds, as given (directories included), else "generic"."""
    text = os.fspath(path)
    return next((name for name, marker in PROFILE_MARKERS.items() if marker in text), "generic")


def profile_reason(path: str | os.PathLike[str], chosen: str | None = None) -> str:
    """Why a run has its File profile, in words."""
    if chosen is not None:
        return "chosen, whatever its path holds"
    profile = path_profile(path)
    if profile == "generic":
        markers = " nor ".join(repr(marker) for marker in PROFILE_MARKERS.values())
        return f"its path holds neither {markers}"
    return f"its path holds {PROFILE_MARKERS[profile]!r}"


def generic_profile_message(path: str | os.PathLike[str], choose_with: str = "open_run(path, profile=...)") -> str:
    """The one-line warning about a run that its path gave the generic profile;
    `choose_with` names how a profile is chosen where the warning is read."""
    return (f"{os.fspath(path)}: read with the generic File profile ({profile_reason(path)}): its scans "
            f"repeat one peak block and hold no retention times; where the acquisition is known, "
            f"choose its profile ({', '.join(PROFILES[:-1])}) with {choose_with}")


def checked_profile(profile: str | None) -> str | None:
    """`profile` itself where it names a File profile (or is None); ValueError otherwise."""
    if profile is not None and profile not in PROFILES:
        raise ValueError(f"unknown File profile {profile!r}: one of {', '.join(PROFILES)}")
    return profile
