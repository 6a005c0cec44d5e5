"""What to say when an optional dependency of lagstat_tica is missing."""

INSTALL_HINT = "pip install 'lagstat[tica]'"


def missing(package, needed_by):
    """The ImportError for a missing package, naming what needs it and how to install it."""
    return ImportError("%s needs %s, which is not installed: %s" % (needed_by, package, INSTALL_HINT))
