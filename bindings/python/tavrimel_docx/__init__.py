"""Read, write, merge and edit Word DOCX files with the tavrimel-docx-tools library.

    import tavrimel_docx

    with tavrimel_docx.Document("report.docx") as doc:
        print(doc.markdown())
        count = doc.replace("north", "west", "report-west.docx")

Standard library only: the shared library is reached through ctypes (see
``_native`` for where it is looked for, and ``library_path()`` for the copy in
use).

Text goes in and comes out as ``str``, UTF-8 on the library's side. The
library passes a document's bytes through unchecked, so a result may hold
bytes that are no valid UTF-8; they are decoded as U+FFFD (errors="replace"),
which keeps every result safe to print, write and encode as JSON. Paths are
``str``, ``bytes`` or ``os.PathLike`` and reach the library as the file system
bytes (``os.fsencode``).

Every failure raises ``DocxError`` with the library's message (wrong argument
types raise ``TypeError``). The library keeps one process-wide last-error
message and one result buffer, so every call runs under one module lock and
its result is copied before the lock is released: threads may share the module
and its documents freely.
"""

import json
import os
import threading
import weakref

from . import _native

__all__ = ["Document", "DocxError", "library_path", "merge", "write_markdown", "write_text"]

_MARKDOWN = 0
_PLAIN = 1

_lock = threading.Lock()
_loaded = None  # (CDLL, path), set on first use under _lock


class DocxError(Exception):
    """A failed operation; ``message`` (and ``str(error)``) is the library's message."""

    @property
    def message(self):
        return self.args[0]


def _library():
    global _loaded
    if _loaded is None:
        try:
            lib, path = _native.load()
        except _native.LibraryNotFound as e:
            raise DocxError(str(e)) from None
        _loaded = (_native.declare(lib), path)
    return _loaded[0]


def library_path():
    """The path (or, when found on the system library path, the name) of the library in use."""
    with _lock:
        _library()
        return _loaded[1]


def _decode(raw):
    return raw.decode("utf-8", "replace")


def _encode_text(text, what):
    if not isinstance(text, str):
        raise TypeError(f"{what} must be str, not {type(text).__name__}")
    if "\0" in text:
        raise DocxError(f"{what} holds a NUL character")
    try:
        return text.encode("utf-8")
    except UnicodeEncodeError as e:
        raise DocxError(f"{what} is not valid Unicode: {e.reason}") from None


def _encode_path(path):
    raw = os.fsencode(path)
    if b"\0" in raw:
        raise DocxError(f"path holds a NUL byte: {path!r}")
    return raw


def _paths_json(paths):
    if isinstance(paths, (str, bytes, os.PathLike)):
        raise TypeError("paths must be a list of paths, not a single path")
    # Surrogate escapes carry path bytes that are no UTF-8 through unchanged.
    names = [_encode_path(p).decode("utf-8", "surrogateescape") for p in paths]
    return json.dumps(names, ensure_ascii=False).encode("utf-8", "surrogateescape")


def _parse_json(text):
    try:
        return json.loads(text)
    except ValueError as e:
        raise DocxError(f"the library returned invalid JSON: {e}") from None


def _is_null(result):
    return result is None


def _is_negative(result):
    return result < 0


def _is_zero(result):
    return result == 0


def _call(name, args, failed, document=None):
    """Runs one export under the lock; raises DocxError when ``failed(result)``.

    With ``document`` its handle goes first. A text result is bytes that ctypes
    copied out of the library's buffer before the lock is released.
    """
    with _lock:
        lib = _library()
        if document is not None:
            args = (document._live_handle(),) + args
        result = getattr(lib, name)(*args)
        if failed(result):
            # A few failures leave no message; never raise an empty one.
            message = lib.docx_last_error()
            raise DocxError(_decode(message) if message else f"{name} failed")
        return result


def _close_handle(handle):
    # docx_close locks the handle table itself and leaves the last error
    # alone; it runs without _lock so that a collection during another call
    # cannot deadlock, and no call can be using a handle being collected.
    _loaded[0].docx_close(handle)


class Document:
    """An open DOCX file. The library holds a copy of it in memory until ``close()``,
    the end of a ``with`` block, or garbage collection, whichever comes first."""

    def __init__(self, path):
        self.path = path
        handle = _call("docx_open", (_encode_path(path),), _is_negative)
        self._handle = handle
        self._finalizer = weakref.finalize(self, _close_handle, handle)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        """Frees the library's copy; later calls raise DocxError. Closing twice is harmless."""
        with _lock:
            self._finalizer()

    @property
    def closed(self):
        return not self._finalizer.alive

    def _live_handle(self):
        if not self._finalizer.alive:
            raise DocxError("document is closed")
        return self._handle

    def _text(self, name, *args):
        return _decode(_call(name, args, _is_null, self))

    def markdown(self):
        """The body as Markdown: headings, **bold**, *italic*, pipe tables, --- page breaks."""
        return self._text("docx_content", _MARKDOWN)

    def text(self):
        """The body as plain text: one line per paragraph, table cells separated by tabs."""
        return self._text("docx_content", _PLAIN)

    def tables(self):
        """The body's tables: a list of tables, each a list of rows, each a list of cell strings."""
        return _parse_json(self._text("docx_tables"))

    def info(self):
        """A summary dict: paragraphs, tables, images, styles, title, author, created, encrypted."""
        return _parse_json(self._text("docx_info"))

    def replace(self, find, replacement, out_path, *, ignore_case=False, whole_word=False):
        """Writes a copy with every occurrence of ``find`` replaced, also across runs,
        to ``out_path``, and returns the number of replacements. This document is
        not changed. ``ignore_case`` folds ASCII letters; ``whole_word`` requires a
        character that parts words (ASCII other than letters and digits; Unicode
        punctuation, symbols and separators) or the text's edge on both sides."""
        args = (_encode_text(find, "find"), _encode_text(replacement, "replacement"),
                _encode_path(out_path), 0 if ignore_case else 1, 1 if whole_word else 0)
        return _call("docx_text_replace_opt", args, _is_negative, self)


def _write(text, text_format, out_path):
    _call("docx_write", (_encode_text(text, "text"), text_format, _encode_path(out_path)),
          _is_zero)


def write_markdown(text, out_path):
    """Writes a new DOCX file from Markdown: # headings, --- page breaks, pipe tables,
    *italic* and **bold**. An existing file is replaced only once the new one is complete."""
    _write(text, _MARKDOWN, out_path)


def write_text(text, out_path):
    """Writes a new DOCX file from plain text, one paragraph per line."""
    _write(text, _PLAIN, out_path)


def merge(paths, out_path):
    """Joins the bodies of the DOCX files ``paths`` into a new DOCX file at ``out_path``,
    which may be one of the inputs. The pictures, hyperlinks, notes, comments, lists and
    other parts a body refers to come along, and every input's styles (where inputs define
    one style ID, the first definition holds); the first input's final section (page setup,
    headers, footers) ends the result, laid out by its settings."""
    _call("docx_merge", (_paths_json(paths), _encode_path(out_path)), _is_zero)
