"""Sphinx configuration of the molvane documentation.

    pip install '.[docs]'
    sphinx-build -W -b html docs build/docs/html        # the site
    sphinx-build -W -b doctest docs build/docs/doctest  # run every example

Pages are Markdown (MyST). The API reference comes from the doc texts of the
package; for the native module (molvane._molvane) the signatures and types
come from its stub, python/molvane/_molvane.pyi. The figures of the guide are
drawn by the examples when the site is built, into docs/_generated/.
"""

from __future__ import annotations

import ast
import contextlib
import doctest
import os
import runpy
import sys
import tempfile
from pathlib import Path
from typing import Any

import molvane

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
EXAMPLES = ROOT / "examples"
GENERATED = HERE / "_generated"
STUB = ROOT / "python" / "molvane" / "_molvane.pyi"

project = "molvane"
release = version = molvane.__version__
copyright = "the molvane developers"

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.doctest",
    "sphinx.ext.mathjax",
]
source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
exclude_patterns = ["_build", "_generated/**/*.csv", "README.md"]
myst_enable_extensions = ["dollarmath", "colon_fence"]
myst_heading_anchors = 3

html_theme = "furo"
html_title = f"molvane {release}"

autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_default_options = {"members": True, "undoc-members": False}
# The doc texts are reStructuredText prose, which autodoc renders as it is.
# Doc texts name types the way the code reads them; these are not documented here.
nitpicky = False

# The examples of every page run in one temporary folder that sees examples/
# by its relative path, as a newcomer runs them from the repository.
_WORK = Path(tempfile.mkdtemp(prefix="molvane-docs-"))
(_WORK / "examples").symlink_to(EXAMPLES, target_is_directory=True)
doctest_global_setup = f"""
import importlib.util
import os
import numpy as np
import molvane
os.chdir({str(_WORK)!r})
"""
doctest_default_flags = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE


# --- figures, drawn by the examples ---


def draw_figures(app: Any) -> None:
    """Runs the examples that draw the guide's figures, into docs/_generated/."""
    GENERATED.mkdir(exist_ok=True)
    target = GENERATED / "ferropericlase_neutron.png"
    from molvane.cli import main

    saved_argv = sys.argv
    try:
        sys.argv = [str(EXAMPLES / "neutron_total.py"), str(target)]
        with open(os.devnull, "w") as quiet, contextlib.redirect_stdout(quiet):
            runpy.run_path(str(EXAMPLES / "neutron_total.py"), run_name="__main__")
            status = main(["rdf", str(EXAMPLES / "ferropericlase.cif"), "--weights", "neutron",
                           "--bin-size", "0.02", "--smear", "0.05", "--out", str(GENERATED / "ferropericlase_rdf")])
    finally:
        sys.argv = saved_argv
    if status != 0:
        raise RuntimeError("the command of the guide's figures failed")


# --- signatures of the native module, from its stub ---


def stub_signatures() -> dict[str, tuple[str, str | None]]:
    """Qualified name -> (signature, return annotation) of every function and
    method of the stub."""
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    found: dict[str, tuple[str, str | None]] = {}

    def add(node: ast.FunctionDef, prefix: str) -> None:
        args = node.args
        if prefix and not any(isinstance(d, ast.Name) and d.id == "staticmethod" for d in node.decorator_list):
            args = ast.arguments(posonlyargs=args.posonlyargs[1:] if args.posonlyargs else [],
                                 args=args.args[1:] if not args.posonlyargs else args.args,
                                 vararg=args.vararg, kwonlyargs=args.kwonlyargs, kw_defaults=args.kw_defaults,
                                 kwarg=args.kwarg, defaults=args.defaults)
        returns = ast.unparse(node.returns) if node.returns is not None else None
        found[prefix + node.name] = (f"({ast.unparse(args)})", returns)

    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            add(node, "")
        elif isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    name = "__init__" if item.name == "__new__" else item.name
                    item.name = name
                    add(item, node.name + ".")
    return found


_STUB = stub_signatures()


def native_signature(app: Any, what: str, name: str, obj: Any, options: Any, signature: str | None,
                     return_annotation: str | None) -> tuple[str | None, str | None] | None:
    """The stub's signature for functions, methods and classes of the native
    module (classes take the signature of their constructor)."""
    if what not in ("function", "method", "class"):
        return None
    for prefix in ("molvane._molvane.", "molvane."):
        if name.startswith(prefix):
            key = name[len(prefix):]
            if what == "class":
                key += ".__init__"
            if key in _STUB:
                if what == "class":
                    return _STUB[key][0], None
                return _STUB[key]
    return None


# --- the guide's table of contents ---

# The order in which a reader meets the guide's pages; pages of docs/guide/
# not named here follow by name.
GUIDE_ORDER = ["readers", "structures", "rdf", "disorder", "pdf", "trajectories", "interop", "cli"]


def guide_pages(app: Any, docname: str, source: list[str]) -> None:
    """Lists the pages of docs/guide/ in the guide's table of contents."""
    if docname != "guide/index":
        return
    present = sorted(p.stem for p in (HERE / "guide").glob("*.md") if p.stem != "index")
    pages = [name for name in GUIDE_ORDER if name in present]
    pages += [name for name in present if name not in GUIDE_ORDER]
    source[0] = source[0].replace("\nguide-pages\n", "\n" + "\n".join(pages) + "\n")


def native_property_type(app: Any, what: str, name: str, obj: Any, options: Any, lines: list[str]) -> None:
    """The stub's type under the doc text of a property of the native module."""
    key = name.removeprefix("molvane.")
    if what in ("property", "attribute") and key in _STUB and _STUB[key][1]:
        lines += ["", f"Type: ``{_STUB[key][1]}``"]


def setup(app: Any) -> None:
    app.connect("autodoc-process-docstring", native_property_type)
    app.connect("builder-inited", draw_figures)
    app.connect("source-read", guide_pages)
    app.connect("autodoc-process-signature", native_signature)
