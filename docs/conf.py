"""Sphinx configuration of kestrune's documentation site.

Build it with the docs extra installed (`pip install '.[docs]'`):

    python -m sphinx -W --keep-going -b html docs site

The pages are MyST Markdown. The API reference is autodoc of the installed
`kestrune` module (its docstrings, with the argument and result types of its stub
package) and of the installed `kestrune_tools` package (its compiled part is not in
the source tree, so the build documents what `pip install '.[docs]'` installed).

Links into the Python, NumPy, pyarrow and pandas documentation (intersphinx) need
those sites' inventories, which are fetched over the network: they are configured only
when KESTRUNE_DOCS_ONLINE=1 is set. Offline (the CI machines, a laptop on a train) the
build then has no network step to fail, and warnings as errors keep their meaning.
"""

from __future__ import annotations

import ast
import os
import sys
from pathlib import Path
from typing import Any

DOCS = Path(__file__).resolve().parent
ROOT = DOCS.parent
# cli_reference, the command-line page's view of the parsers.
sys.path.insert(0, str(DOCS))

project = "kestrune"
author = "the kestrune developers"
copyright = "the kestrune developers"
release = version = "0.1.0"

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "sphinx.ext.intersphinx",
    "sphinxarg.ext",
]
source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
root_doc = "index"
exclude_patterns = ["_build"]
myst_heading_anchors = 3
myst_enable_extensions = ["colon_fence"]

html_theme = "furo"
html_title = "kestrune"
html_static_path: list[str] = []
# The page images live beside the pages (report.png) and are copied by Sphinx itself.
html_show_sourcelink = False

autodoc_member_order = "bysource"
autodoc_typehints = "signature"
# The annotations are strings (postponed evaluation): keep NumPy's aliases as written
# rather than their expansions.
autodoc_type_aliases = {"NDArray": "numpy.typing.NDArray", "ArrayLike": "numpy.typing.ArrayLike"}
# The docstrings quote names in single backquotes, as code; and a `--option` stays two
# hyphens rather than becoming a dash.
default_role = "code"
smartquotes = False
# The public API's docstrings are in the field's numpydoc form (Parameters, Returns,
# Examples); attributes become fields, so no indented block follows a blank line.
napoleon_google_docstring = True
napoleon_numpy_docstring = True
napoleon_use_ivar = True

if os.environ.get("KESTRUNE_DOCS_ONLINE") == "1":
    intersphinx_mapping = {
        "python": ("https://docs.python.org/3", None),
        "numpy": ("https://numpy.org/doc/stable", None),
        "pyarrow": ("https://arrow.apache.org/docs", None),
        "pandas": ("https://pandas.pydata.org/docs", None),
    }
else:
    intersphinx_mapping = {}


# The compiled module's own text signatures carry names only ("($self, scan_number)");
# its stub package carries the types. The reference shows the stubs' signatures.
STUBS = ROOT / "kestrune-stubs" / "__init__.pyi"


def stub_signatures(path: Path = STUBS) -> dict[str, tuple[str, str | None]]:
    """Maps "RawFileReader.name" to the stub's (arguments, result) texts, without self."""
    signatures: dict[str, tuple[str, str | None]] = {}
    tree = ast.parse(path.read_text(encoding="utf-8"))
    for cls in (node for node in tree.body if isinstance(node, ast.ClassDef)):
        for function in (node for node in cls.body if isinstance(node, ast.FunctionDef)):
            arguments = function.args
            arguments.args = arguments.args[1:]  # self or cls
            name = "RawFileReader" if function.name == "__new__" else f"{cls.name}.{function.name}"
            result = ast.unparse(function.returns) if function.returns else None
            signatures[name] = (f"({ast.unparse(arguments)})", result)
    return signatures


def typed_signature(app: Any, what: str, name: str, obj: Any, options: Any, signature: str | None,
                    return_annotation: str | None) -> tuple[str | None, str | None] | None:
    if what not in ("class", "method") or not name.startswith("kestrune.RawFileReader"):
        return None
    found = stub_signatures().get(name.removeprefix("kestrune."))
    if found is None:
        return None
    arguments, result = found
    return arguments, None if what == "class" else result


def literal_examples(app: Any, what: str, name: str, obj: Any, options: Any, lines: list[str]) -> None:
    """The package's docstrings show code as an indented block after a blank line, as
    `help()` prints it; reStructuredText would read it as a quotation and join its
    lines. Each such block becomes a literal block."""
    index = 1
    while index < len(lines):
        starts_block = lines[index].startswith(" ") and lines[index - 1].strip() == ""
        before = next((line for line in reversed(lines[:index]) if line.strip()), "")
        if starts_block and before and not before.startswith(" ") and not before.rstrip().endswith("::"):
            lines[index:index] = ["::", ""]
            index += 2
        index += 1


def unreported_messages(app: Any, doctree: Any) -> None:
    """Markup problems in texts parsed outside Sphinx's own reporter (sphinx-argparse
    parses the subcommands' texts in documents of its own) land in the page as
    system messages instead of warnings: made warnings here, so -W catches them."""
    from docutils import nodes
    from sphinx.util import logging

    logger = logging.getLogger("kestrune.docs")
    for message in list(doctree.findall(nodes.system_message)):
        if message["level"] >= 2:
            logger.warning("markup problem: %s", message.astext(), location=app.env.docname)


def setup(app: Any) -> None:
    app.connect("autodoc-process-signature", typed_signature)
    app.connect("autodoc-process-docstring", literal_examples)
    app.connect("doctree-read", unreported_messages)
