"""Sphinx configuration: the documentation of the installed package.

tools/test builds it with warnings as errors and runs its examples
(sphinx-build -W -b html docs ..., sphinx-build -b doctest docs ...)."""
import os
import re

here = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(here, "..", "src", "pyqivrexdb", "_version.py"), encoding="utf-8") as f:
    release = re.search(r'^version = "([^"]+)"', f.read(), re.M).group(1)

project = "pyqivrexdb"
author = "the pyqivrexdb developers"
copyright = "the pyqivrexdb developers"
version = release
extensions = ["myst_parser", "sphinx.ext.autodoc", "sphinx.ext.doctest"]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build"]
myst_enable_extensions = ["colon_fence"]
myst_heading_anchors = 3
# Some pages take their text from the READMEs and ARCHITECTURE.md, whose
# sections start at ## and whose links name files of the source tree.
suppress_warnings = ["myst.header", "myst.xref_missing"]
autodoc_member_order = "bysource"
autodoc_default_options = {}
# The reference says what our code says: an override of a SQLAlchemy
# method does not repeat its docstring (written for its own Sphinx setup).
autodoc_inherit_docstrings = False
html_theme = "alabaster"
html_title = "pyqivrexdb " + release
