"""Output paths: the endings of this package's own outputs, and outputs written whole or not at
all (under a hidden temporary name beside them, renamed when complete)."""
import contextlib
import os
import secrets

# Ending of the projections TICA.transform_files writes by default.
OUTPUT_SUFFIX = ".tica.txt"


# Every ending of the files transform_files writes (text, npy with its side files, HDF5): a
# pattern over a folder leaves them out.
OWN_ENDINGS = (OUTPUT_SUFFIX, ".tica.npy", ".tica.time.npy", ".tica.segments.npy", ".tica.h5")


def partial_name(path):
    """Where an output is written until it is complete: beside it, so that the rename is atomic,
    and hidden, so that a pattern over the folder ('*.txt') does not take it for an input."""
    folder, base = os.path.split(os.fspath(path))
    return os.path.join(folder, ".%s.%s.part" % (base[:200], secrets.token_hex(4)))


def remove_quietly(path):
    try:
        os.unlink(path)
    except OSError:
        pass


@contextlib.contextmanager
def written_whole(path):
    """Yields a temporary name to write path's content to, and renames it to path when the block
    ends; a block that fails or is interrupted leaves no file. An output that exists is whole."""
    tmp = partial_name(path)
    try:
        yield tmp
        os.replace(tmp, path)
    except BaseException:
        remove_quietly(tmp)
        raise
