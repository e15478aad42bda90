"""Finds the oneTBB shared libraries that the extension modules link against.

The modules name libtbb.so.12 and libtbbmalloc.so.2 and carry the RPATH
$ORIGIN/../../..: installed as site-packages/vek_math/, that is <prefix>/lib,
where pip puts the libraries of the `tbb` package. When the package sits
elsewhere (``pip install --target``, a build tree on PYTHONPATH), the libraries
of an installed `tbb` distribution are loaded here first, by full path, so the
dynamic loader reuses them instead of searching the system's folders.
"""

import ctypes
import os

# In load order: libtbb does not need tbbmalloc, the modules need both.
_LIBS = ("libtbbmalloc.so.2", "libtbb.so.12")


def _rpath_dir() -> str:
    return os.path.normpath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))


def _distribution_dir() -> str | None:
    from importlib import metadata

    try:
        files = metadata.distribution("tbb").files or ()
    except metadata.PackageNotFoundError:
        return None
    for f in files:
        if f.name == _LIBS[1]:
            return os.path.normpath(os.path.dirname(os.fspath(f.locate())))
    return None


def preload() -> str | None:
    """The folder whose oneTBB the modules will use when the RPATH does not reach
    one (None: the RPATH does, or no `tbb` distribution is installed)."""
    if all(os.path.exists(os.path.join(_rpath_dir(), name)) for name in _LIBS):
        return None
    found = _distribution_dir()
    if found is None:
        return None
    try:
        for name in _LIBS:
            ctypes.CDLL(os.path.join(found, name))
    except OSError:
        return None
    return found


preload()
