"""The `kestrune` command: `main()` and the registry of its subcommands.

A subcommand is one module in this package holding

    NAME: str            the word after `kestrune`
    SUMMARY: str         one line for `kestrune --help`
    DESCRIPTION: str     the body of `kestrune NAME --help`
    EPILOG: str          examples shown after the options (may be "")
    def configure(parser: argparse.ArgumentParser) -> None   adds its arguments
    def run(args: argparse.Namespace) -> int                 does the work, answers the exit status

and one line in SUBCOMMANDS below. A command that runs one task per input file is
`run_batch` of `kestrune_tools.cli.batch_command` with a plan of its own; the error
line, exit statuses and the progress bar are in `kestrune_tools.cli.common`.
A subcommand raises `common.UsageError` for a usage error (exit status 2); argparse
itself reports bad arguments with status 2.
"""

from __future__ import annotations

import argparse
import importlib
import signal
import sys
import warnings
from collections.abc import Sequence
from types import ModuleType

from kestrune_tools import __version__
from kestrune_tools.batch.signals import INTERRUPTED_STATUS_BASE, Interrupted, signals_interrupt
from kestrune_tools.cli.common import PROGRAM, ExitStatus, UsageError, stream_closed, write_line
from kestrune_tools.profiles import GenericProfileWarning
from kestrune_tools.text import escaped

# The subcommands, in the order `kestrune --help` lists them.
SUBCOMMANDS = [
    "kestrune_tools.cli.info",
    "kestrune_tools.cli.convert",
    "kestrune_tools.cli.catalog",
    "kestrune_tools.cli.report",
    "kestrune_tools.cli.serve",
]

DESCRIPTION = """\
Read mass-spectrometry .raw acquisition files: describe one, export runs to mzML,
MGF or Parquet, or catalogue a whole archive in one Parquet table. Every command
reads only the byte ranges it needs, so a run costs about the same whatever its size.

Exit status: 0 success, 1 some input file failed (the others were still done),
2 usage error; 130, 143 or 129 after SIGINT (Ctrl-C), SIGTERM or SIGHUP, which all
end a batch the same way: no further file starts, the files in progress are stopped
(nothing is left under their final names) and the summary counts what was written.
A closed standard error or output (`| head`, quitting `less`) stops nothing: the
work goes on and the exit status tells. Run `kestrune COMMAND --help` for a
command's options."""


def build_parser(modules: Sequence[ModuleType]) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROGRAM, description=DESCRIPTION,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(title="commands", dest="command", metavar="COMMAND", required=True)
    for module in modules:
        sub = commands.add_parser(module.NAME, help=module.SUMMARY, description=module.DESCRIPTION,
                                  epilog=module.EPILOG or None,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        module.configure(sub)
        sub.set_defaults(handler=module.run)
    return parser


def parser() -> argparse.ArgumentParser:
    """The parser of `kestrune` with every subcommand of SUBCOMMANDS (the documentation
    site's command-line page is generated from it)."""
    return build_parser([importlib.import_module(name) for name in SUBCOMMANDS])


def main(argv: Sequence[str] | None = None) -> int:
    """Runs `kestrune` with `argv` (the process's arguments for None); answers the
    exit status. argparse exits with status 2 itself on bad arguments."""
    args = parser().parse_args(argv)
    # Each command says a generic-profile run on a line of its own (`profile_option`).
    warnings.filterwarnings("ignore", category=GenericProfileWarning)
    try:
        with signals_interrupt():
            return int(args.handler(args))
    except UsageError as error:
        write_line(f"{PROGRAM} {args.command}: error: {escaped(str(error))}", sys.stderr)
        return ExitStatus.USAGE
    except KeyboardInterrupt as interrupt:
        number = interrupt.signal_number if isinstance(interrupt, Interrupted) else signal.SIGINT
        write_line(f"{PROGRAM}: interrupted by {signal.Signals(number).name}", sys.stderr)
        return INTERRUPTED_STATUS_BASE + number
    except BrokenPipeError:  # standard output closed under a write of its own
        stream_closed(sys.stdout)
        return ExitStatus.FAILED


__all__ = ["SUBCOMMANDS", "build_parser", "main", "parser"]
