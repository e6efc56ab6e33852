# Sphinx configuration of the stelvane manual: MyST Markdown pages, the API reference
# drawn by autodoc from the installed package's docstrings, and pre-rendered figures
# (docs/figures.py redraws them) so that a build runs no solve and stays fast.
import stelvane

project = "stelvane"
author = "the stelvane developers"
copyright = "the stelvane developers"
release = stelvane.__version__
version = release

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",  # numpydoc sections (Parameters, Returns, Raises) in the Python modules' docstrings
]
napoleon_google_docstring = False
source_suffix = {".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build"]

myst_enable_extensions = ["colon_fence", "deflist", "dollarmath"]
# Section anchors for [text](page.md#section) links between pages.
myst_heading_anchors = 3

# Keep members in the order each directive lists them.
autodoc_member_order = "bysource"
# Signatures come from the callables' __text_signature__; a docstring that opens with a
# tuple, "(ra_deg, dec_deg, vmag) of the star ...", is prose, not a signature.
autodoc_docstring_signature = False
autodoc_typehints = "signature"
autodoc_default_options = {"undoc-members": False}

html_theme = "furo"
html_title = f"stelvane {release}"
html_static_path = ["_static"]
pygments_style = "default"
nitpicky = False


# The extension's docstrings are plain text written for help(): a word ending in an
# underscore ("the src_ and dst_ scalars") or a leading "*_focal_px" would be read as
# reST reference or emphasis markup. Escape those two outside literals and doctests.
import re

_TRAILING_UNDERSCORE = re.compile(r"(?<=\w)_(?=[\s,.;:)]|$)")
_STAR_WILDCARD = re.compile(r"(?<![\w*])\*(?=_)")


def _escape_plain_text(line: str) -> str:
    if line.lstrip().startswith((">>>", "...")):
        return line
    parts = line.split("``")
    for i in range(0, len(parts), 2):  # even parts lie outside ``literals``
        parts[i] = _STAR_WILDCARD.sub(r"\\*", _TRAILING_UNDERSCORE.sub(r"\\_", parts[i]))
    return "``".join(parts)


def _escape_extension_docstring(app, what, name, obj, options, lines):
    if getattr(obj, "__file__", None) or getattr(getattr(obj, "__code__", None), "co_filename", None):
        return  # Python source: its docstrings are written as reST already
    lines[:] = [_escape_plain_text(line) for line in lines]


def setup(app):
    app.connect("autodoc-process-docstring", _escape_extension_docstring)
