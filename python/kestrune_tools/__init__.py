"""Companion tools for kestrune: acquisition runs as Python users expect them.

`kestrune_tools.synthetic` writes synthetic acquisition files (used by the
examples, the tests and the benchmarks); it needs nothing beyond the standard
library.
"""
