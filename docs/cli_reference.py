"""The `kestrune` parsers as the command-line page shows them.

The descriptions and epilogs are laid out by hand for a terminal (argparse's
RawDescriptionHelpFormatter keeps their lines), so the page shows them as the
preformatted text `--help` prints rather than reading them as reStructuredText.
"""

from __future__ import annotations

import argparse
import textwrap

from kestrune_tools import cli


def preformatted(text: str | None) -> str | None:
    return ".. code-block:: text\n\n" + textwrap.indent(text, "   ") if text else text


def parser() -> argparse.ArgumentParser:
    top = cli.parser()
    commands = [action for action in top._actions if isinstance(action, argparse._SubParsersAction)]
    for each in [top, *(sub for action in commands for sub in action.choices.values())]:
        each.description = preformatted(each.description)
        each.epilog = preformatted(each.epilog)
    return top
