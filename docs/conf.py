"""Sphinx configuration of lagstat's documentation (scripts/docs.sh builds it).

The API reference is taken from the installed modules: lagstat is a C extension, so its
docstrings exist only in the built module, and the pages document what was built, not what the
sources say. Nothing is fetched at build time (no intersphinx: the build runs without network).
"""
import os
import sys
import time

import lagstat

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "_ext"))

project = "lagstat"
author = "the lagstat developers"
copyright = "%s, %s" % (time.strftime("%Y"), author)
version = release = lagstat.__version__

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.doctest",
    "sphinx.ext.mathjax",
    "sphinx.ext.napoleon",
    "sphinx_gallery.gen_gallery",
    "lagstat_docs",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build", "_generated", "auto_examples/*.ipynb", "auto_examples/*.py",
                    "auto_examples/*.zip", "auto_examples/*.md5", "auto_examples/*.codeobj.json"]
# README's figures live beside the pages; they are images of pages, not pages.
myst_enable_extensions = ["colon_fence", "deflist"]
myst_heading_anchors = 3
# Messages are quoted as the module writes them: straight quotes, so that they can be copied.
smartquotes = False

# -n: every cross-reference must resolve: pages, sections, functions, methods. The types in
# docstrings are prose ("(n, n) array", "float in (0, 1]"), and names of other projects are not
# linked (no network for their inventories), so types are shown as text and not checked; nor are
# references to the private modules, which the reference leaves out.
nitpicky = True
nitpick_ignore_regex = [
    ("py:class", r".*"),
    ("py:(func|meth|class|attr|mod)", r"lagstat_tica\._.*"),
]
autosummary_generate = True
autodoc_default_options = {"members": True}
autodoc_member_order = "bysource"
autodoc_typehints = "none"
napoleon_numpy_docstring = True
napoleon_google_docstring = False
napoleon_use_rtype = False
napoleon_custom_sections = [("Attributes (after fit)", "params_style")]

# The guide's examples run in a folder holding the files they name (COLVAR, runs/*.txt, ...) with
# the arrays they name (frames, traj_a, ...) defined: docs/_ext/doc_fixtures.py.
doctest_global_setup = """
import os, tempfile
import numpy as np
import lagstat
import lagstat_tica
import doc_fixtures
globals().update(doc_fixtures.enter())
"""
doctest_global_cleanup = """
doc_fixtures.leave()
"""

html_theme = "pydata_sphinx_theme"
html_title = "lagstat %s" % release
html_static_path = ["_static"]
html_css_files = ["lagstat.css"]
html_show_sourcelink = False
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "header_links_before_dropdown": 6,
    # The in-page table of contents, but not beside wide tables and literal blocks, which need
    # the room.
    "secondary_sidebar_items": {
        "**": ["page-toc"],
        "guide/errors": [],
        "guide/formats": [],
        "developers/architecture": [],
        "reference/cli": [],
    },
    "footer_start": ["copyright"],
    "footer_end": [],
}
html_sidebars = {"index": [], "getting_started": []}

sphinx_gallery_conf = {
    "examples_dirs": os.path.join(here, "..", "examples", "gallery"),
    "gallery_dirs": "auto_examples",
    "filename_pattern": r"/plot_",
    "download_all_examples": False,
    "remove_config_comments": True,
    "within_subsection_order": "FileNameSortKey",
    "matplotlib_animations": False,
    "image_scrapers": ("matplotlib",),
    "show_memory": False,
    "min_reported_time": 1,
}

# linkcheck: internal links only; the build has no network.
linkcheck_ignore = [r"^https?://", r"^mailto:"]
