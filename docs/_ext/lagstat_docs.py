"""Sphinx pieces of lagstat's own documentation.

- ``lagstat-cli``: the reference of a command, generated from its argparse parser (the one the
  command itself runs), so that the page cannot drift from ``--help``.
- lagstat_tica's docstrings are numpydoc in structure but plain text in their prose: the fitted
  attributes they name (``n_reads_``) and the patterns and signatures they quote (``runs/*.txt``,
  ``**options``) would be reStructuredText references and emphasis. Those characters are escaped
  in the prose, so that the pages show what ``help()`` shows.
- Every Python example in the pages runs: a ``python`` block that is not a ``{testcode}`` or a
  ``{doctest}`` is a warning (an error in scripts/docs.sh), so that no example can rot unrun. The
  gallery's pages are left to sphinx-gallery, which runs their scripts itself.
- The extension module's docstrings are plain text written for ``help()``, not reStructuredText:
  they are shown as written, in a literal block, rather than parsed into markup they were never
  meant as.
"""
import argparse
import importlib
import logging
import os
import re

from docutils import nodes
from docutils.parsers.rst import Directive
from sphinx.util import logging as sphinx_logging

PLAIN_TEXT_DOCSTRINGS = ("lagstat.run", "lagstat.stream")


def load_parser(target):
    module, _, function = target.partition(":")
    return getattr(importlib.import_module(module), function)()


def help_text(parser):
    # argparse wraps to the terminal's width: fixed here, so that the page is the same wherever
    # it is built.
    saved = os.environ.get("COLUMNS")
    os.environ["COLUMNS"] = "92"
    try:
        return parser.format_help()
    finally:
        if saved is None:
            del os.environ["COLUMNS"]
        else:
            os.environ["COLUMNS"] = saved


def describe_action(action):
    """(term, text) of one option or argument as the reference lists it."""
    if action.option_strings:
        metavar = "" if action.nargs == 0 else " " + (action.metavar or action.dest.upper())
        term = ", ".join(s + metavar for s in action.option_strings)
    else:
        term = action.metavar or action.dest
    text = (action.help or "") % {"default": action.default, "prog": ""} if action.help else ""
    extra = []
    if action.choices is not None:
        extra.append("one of: " + ", ".join(str(c) for c in action.choices))
    if action.required and action.option_strings:
        extra.append("required")
    if action.default not in (None, False, argparse.SUPPRESS) and action.nargs != 0:
        extra.append("default: %s" % (action.default,))
    if extra:
        text = (text + " (" + "; ".join(extra) + ")").strip()
    return term, text


class CommandReference(Directive):
    """``.. lagstat-cli:: module:function``: the usage and every argument of the parser the
    function builds."""

    required_arguments = 1
    has_content = False

    def run(self):
        parser = load_parser(self.arguments[0])
        usage = parser.format_usage().strip()
        out = [nodes.literal_block(usage, usage, language="none")]
        if parser.description:
            out.append(nodes.paragraph(text=parser.description))
        terms = nodes.definition_list()
        for action in parser._actions:
            if action.help == argparse.SUPPRESS:
                continue
            term, text = describe_action(action)
            item = nodes.definition_list_item()
            item += nodes.term("", "", nodes.literal(term, term))
            item += nodes.definition("", nodes.paragraph(text=text))
            terms += item
        out.append(terms)
        if parser.epilog:
            epilog = parser.epilog.strip("\n")
            out.append(nodes.literal_block(epilog, epilog, language="none"))
        return out


class CommandHelp(Directive):
    """``.. lagstat-help:: module:function``: ``--help`` as the command prints it."""

    required_arguments = 1
    has_content = False

    def run(self):
        text = help_text(load_parser(self.arguments[0])).rstrip()
        return [nodes.literal_block(text, text, language="none")]


# A word ending in "_" (a fitted attribute) that is not in code: reStructuredText reads it as a
# reference to a target of that name.
TRAILING_UNDERSCORE = re.compile(r"(?<![\w`\\])([A-Za-z][\w.]*_)(?![\w`])")
# A numpydoc entry's first line ("mean_ : (n,) ..."): napoleon parses the name itself.
ENTRY = re.compile(r"^\s*[\w*, ]+ : ")


def escape_prose(line):
    if line.lstrip().startswith(">>>"):
        return line
    if ENTRY.match(line):
        name, rest = line.split(" : ", 1)
        return name + " : " + escape_prose(rest)
    line = line.replace("*", "\\*")
    indent = len(line) - len(line.lstrip())
    return line[:indent] + TRAILING_UNDERSCORE.sub(lambda m: m.group(1)[:-1] + "\\_", line[indent:])


def plain_docstrings(app, what, name, obj, options, lines):
    if name in PLAIN_TEXT_DOCSTRINGS and lines:
        text = list(lines)
        # Its first line is the summary autosummary shows.
        literal = ["    " + line for line in text]
        lines[:] = [text[0], "", "The docstring, as ``help()`` shows it::", ""] + literal + [""]
    elif name.startswith("lagstat_tica"):
        lines[:] = [escape_prose(line) for line in lines]


PYTHON = ("python", "python3", "py", "pycon", "ipython")
logger = sphinx_logging.getLogger(__name__)


def unrun_examples(app, doctree):
    if app.env.docname.startswith("auto_examples/"):
        return
    for node in doctree.findall(nodes.literal_block):
        if node.get("language") in PYTHON and not node.get("testnodetype"):
            logger.warning("a Python example that is never run: make it a {testcode} or a {doctest} block "
                           "(its files and arrays: docs/_ext/doc_fixtures.py)", location=node)


class GuideGlobFilter(logging.Filter):
    """The guide's toctree lists its pages in reading order, then globs the rest, so that a page
    added to docs/guide joins without an edit. The glob matching nothing beyond the list is then
    not a fault, and Sphinx's suppress_warnings cannot name that warning (it has no type)."""

    def filter(self, record):
        return "didn't match any documents" not in str(record.msg) or "'*'" not in record.getMessage()


def setup(app):
    logging.getLogger("sphinx.sphinx.directives.other").addFilter(GuideGlobFilter())
    app.add_directive("lagstat-cli", CommandReference)
    app.connect("doctree-read", unrun_examples)
    app.add_directive("lagstat-help", CommandHelp)
    # Before napoleon, which would take the plain text for sections.
    app.connect("autodoc-process-docstring", plain_docstrings, priority=100)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
