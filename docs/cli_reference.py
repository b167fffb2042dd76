"""The `kestrune` parsers as the command-line page shows them.

The descriptions and epilogs are laid out by hand for a terminal (argparse's
RawDescriptionHelpFormatter keeps their lines), so the page shows them as the
preformatted text `--help` prints rather than reading them as reStructuredText. An
option's help is reStructuredText, where a scheme written out (tcp://HOST:PORT) would
become a link that leads nowhere: such a text is shown as literal text instead.
"""

from __future__ import annotations

import argparse
import re
import textwrap

from kestrune_tools import cli


def preformatted(text: str | None) -> str | None:
    return ".. code-block:: text\n\n" + textwrap.indent(text, "   ") if text else text


# An address pattern or an example address, written with its scheme.
ADDRESS = re.compile(r"\b(?:tcp|tls)://[\w.:]*\w")


def unlinked(text: str | None) -> str | None:
    return ADDRESS.sub(lambda found: f"``{found.group(0)}``", text) if text else text


def parser() -> argparse.ArgumentParser:
    top = cli.parser()
    commands = [action for action in top._actions if isinstance(action, argparse._SubParsersAction)]
    for each in [top, *(sub for action in commands for sub in action.choices.values())]:
        each.description = preformatted(each.description)
        each.epilog = preformatted(each.epilog)
        for action in each._actions:
            action.help = unlinked(action.help)
    return top
