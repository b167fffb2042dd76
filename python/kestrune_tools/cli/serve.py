"""kestrune serve: the spectra of a folder of runs by their USIs, over the PROXI API."""

from __future__ import annotations

import argparse
import re
import sys
from pathlib import Path

from kestrune_tools.cli.common import ExitStatus, UsageError, report_error, write_line
from kestrune_tools.proxi import DEFAULT_COLLECTION, ProxiService, RunCatalogue
from kestrune_tools.text import escaped

NAME = "serve"
SUMMARY = "serve the runs' spectra by USI over the PROXI API"
DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 8000
DESCRIPTION = f"""\
Serve every spectrum of the .raw runs found under the inputs, with no conversion,
to any PROXI client: GET http://HOST:PORT/proxi/v0.1/spectra?resultType=full&usi=USI
answers a JSON list holding the spectrum (its PSI-MS attributes, and with
resultType=full its peaks: the reader's float64 m/z and float32 intensities;
resultType=compact, the default, leaves the peaks out). A spectrum's USI is
mzspec:COLLECTION:RUN:scan:N, where RUN is the run's file name, with or without its
extension, after a [sub/folder] prefix for a run in a subfolder ([] for the top
folder; the prefix is needed only where two folders hold runs of the same name). Folders
are searched as `kestrune convert` searches them; runs added later are found
without a restart; a file whose real place is outside the served folders (through
a link) is not served. Errors are PROXI error objects: 400 malformed request or
USI, 404 unknown collection, run or scan, 501 an index type other than scan.

Once listening, one line on standard error gives the base URL and the number of
runs. Only loopback is listened on unless --host says otherwise (a line then says
so). Ctrl-C (SIGINT) or SIGTERM ends the requests under way and stops the server.

Exit status: 130 or 143 after SIGINT or SIGTERM, 2 usage error (such as a port
already taken). Needs the extra: pip install 'kestrune[serve]'"""
EPILOG = f"""\
examples:
  kestrune serve /archive
  kestrune serve /archive --port 0 --collection PXD000561
  curl 'http://{DEFAULT_HOST}:{DEFAULT_PORT}/proxi/v0.1/spectra?resultType=full&usi=mzspec:{DEFAULT_COLLECTION}:run17:scan:42'"""

# A collection identifier such as PXD000561: no colon (it ends at the first one) and
# nothing a URL or terminal would mangle.
_COLLECTION = re.compile(r"[A-Za-z0-9_.\-]+")


def port_number(text: str) -> int:
    """An argparse type: a TCP port, 0 for a free one."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a port number") from None
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"{value} is not a port number (0 to 65535)")
    return value


def collection_id(text: str) -> str:
    if not _COLLECTION.fullmatch(text):
        raise argparse.ArgumentTypeError(f"{text!r} is no collection identifier (letters, digits, _ . -)")
    return text


def configure(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "inputs", nargs="+", metavar="FILE_OR_DIR",
        help="a .raw file, or a folder searched recursively for .raw files (any case), through links "
             "to folders; a folder that cannot be listed is reported, the others are served")
    parser.add_argument("--collection", type=collection_id, default=DEFAULT_COLLECTION, metavar="ID",
                        help=f"the collection named in the USIs (default: {DEFAULT_COLLECTION}, the "
                             f"placeholder for a collection with no public identifier)")
    parser.add_argument("--host", default=DEFAULT_HOST,
                        help=f"the address to listen on (default: {DEFAULT_HOST}, this machine only); "
                             f"0.0.0.0 or :: lets other machines ask")
    parser.add_argument("--port", type=port_number, default=DEFAULT_PORT, metavar="N",
                        help=f"the TCP port (default: {DEFAULT_PORT}; 0 picks a free one)")


def run(args: argparse.Namespace) -> int:
    try:
        from kestrune_tools.server import listening_socket, run_server
    except ImportError as missing:
        raise UsageError(f"serving needs the extra: pip install 'kestrune[serve]' ({missing})") from None
    paths = [Path(argument) for argument in args.inputs]
    for path in paths:
        if not path.exists():
            raise UsageError(f"{escaped(str(path))}: no such file or folder")
    catalogue = RunCatalogue(paths)
    for folder, reason in catalogue.last.unreadable:
        report_error(folder, reason)
    for outside in catalogue.last.outside:
        report_error(outside, "leads outside the served folders; not served")
    try:
        listener = listening_socket(args.host, args.port)
    except OSError as error:
        raise UsageError(f"cannot listen on {escaped(args.host)} port {args.port}: "
                         f"{(error.strerror or str(error)).lower()}") from None
    if not listener.is_loopback:
        write_line(f"kestrune serve: listening on {listener.host}, which is not loopback: other machines "
                   f"can ask for the served spectra", sys.stderr)
    runs = len(catalogue)
    write_line(f"kestrune serve: {runs} run{'s' if runs != 1 else ''} of {args.collection} at "
               f"{listener.base_url}", sys.stderr)
    run_server(ProxiService(catalogue, args.collection), listener)
    return ExitStatus.OK
