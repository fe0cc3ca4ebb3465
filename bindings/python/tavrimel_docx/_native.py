"""Finding, loading and declaring the tavrimel-docx-tools shared library.

The library is looked for, in this order:

1. the file named by the environment variable TAVRIMEL_DOCX_LIBRARY (when it
   is set, nothing else is tried: an explicit choice is never overridden);
2. the library installed together with this package by ``cmake --install``
   (its location relative to the package is written to ``_installed.py``);
3. next to the package: in the package folder, then in the folder holding it
   (a build tree keeps a copy of the package beside the built library);
4. the system's library path, as the dynamic loader searches it.
"""

import ctypes
import os

ENV_VARIABLE = "TAVRIMEL_DOCX_LIBRARY"
_SONAME = "libtavrimel-docx-tools.so.0"
_NAMES = (_SONAME, "libtavrimel-docx-tools.so")
_HERE = os.path.dirname(os.path.abspath(__file__))


class LibraryNotFound(Exception):
    """Raised with the places tried when no copy of the library loads."""


def _installed_candidates():
    try:
        from ._installed import LIBRARY
    except ImportError:
        return []
    return [os.path.normpath(os.path.join(_HERE, LIBRARY))]


def _candidates():
    """(description, path) pairs in the order they are tried."""
    override = os.environ.get(ENV_VARIABLE)
    if override:
        return [(f"{ENV_VARIABLE}={override}", override)]
    beside = [os.path.join(folder, name) for folder in (_HERE, os.path.dirname(_HERE))
              for name in _NAMES]
    files = [(path, path) for path in _installed_candidates() + beside]
    return files + [(f"{_SONAME} on the system library path", _SONAME)]


def load():
    """Returns (CDLL, path) of the first candidate that loads."""
    tried = []
    for label, path in _candidates():
        if os.sep in path and not os.path.exists(path):
            tried.append(f"{label} (no such file)")
            continue
        try:
            return ctypes.CDLL(path), path
        except OSError as e:
            tried.append(f"{label} ({e})")
    hint = "" if os.environ.get(ENV_VARIABLE) else f"; set {ENV_VARIABLE} to the library's path"
    raise LibraryNotFound("cannot load the tavrimel-docx-tools library; tried: " +
                          "; ".join(tried) + hint)


def declare(lib):
    """Gives the ten exports their C signatures."""
    c_int, c_str = ctypes.c_int, ctypes.c_char_p
    signatures = {
        "docx_open": ([c_str], c_int),
        "docx_close": ([c_int], None),
        "docx_last_error": ([], c_str),
        "docx_content": ([c_int, c_int], c_str),
        "docx_tables": ([c_int], c_str),
        "docx_info": ([c_int], c_str),
        "docx_write": ([c_str, c_int, c_str], c_int),
        "docx_merge": ([c_str, c_str], c_int),
        "docx_text_replace": ([c_int, c_str, c_str, c_str], c_int),
        "docx_text_replace_opt": ([c_int, c_str, c_str, c_str, c_int, c_int], c_int),
    }
    for name, (argtypes, restype) in signatures.items():
        fn = getattr(lib, name)
        fn.argtypes = argtypes
        fn.restype = restype
    return lib
