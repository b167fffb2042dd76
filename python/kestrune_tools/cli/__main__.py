"""`python -m kestrune_tools.cli`: the `kestrune` command."""

import sys

from kestrune_tools.cli import main

sys.exit(main())
