"""Reading an input file safely, in the encodings spreadsheet programs write.

A school's file comes from Excel, LibreOffice or a timetabling program:
UTF-8 with or without a byte order mark, UTF-16 with one, or Excel's default
"CSV" in Windows-1252. Devices, pipes, folders and absurd sizes are refused
before anything is read, so a wrong path cannot hang the command or fill
its memory.
"""

from __future__ import annotations

import codecs
import os
import stat
from typing import TYPE_CHECKING

from rotavel_app.language import _
from rotavel_app.messages import InputError, at_line, os_reason

if TYPE_CHECKING:
    StrPath = str | os.PathLike[str]

# No school's timetable comes near this; a larger input is a mistake (a device,
# a wrong file) and would otherwise be read until memory runs out.
MAX_INPUT_BYTES = 64 * 1024 * 1024

_UTF16_BOMS = (codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)


def plain_path(text: str) -> str:
    """A path as typed, shown as pathlib shows it: without repeated slashes,
    "." parts or a trailing slash ("." for nothing). Nothing else changes,
    so the path still names the same file ("a/../b" is not "b" past a link)."""
    root = "/" if text.startswith("/") else ""
    if text.startswith("//") and not text.startswith("///"):
        root = "//"  # POSIX leaves the meaning of exactly two slashes to the system
    return root + "/".join(part for part in text.split("/") if part not in ("", ".")) or "."


def read_bytes(path: StrPath) -> bytes:
    """A whole input file, refusing devices, pipes, folders and absurd sizes."""
    try:
        # Non-blocking, so that a pipe's open does not wait for a writer; the
        # checks then look at what was opened, not at what the name meant a moment before.
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except FileNotFoundError:
        raise InputError(_("%(path)s: file not found") % {"path": path}) from None
    except IsADirectoryError:
        raise InputError(_("%(path)s: is a folder, not a file") % {"path": path}) from None
    except OSError as error:
        raise InputError(_cannot_read(path, error)) from None
    try:
        # Looked at before Python wraps the descriptor, which refuses a folder
        # with an error of its own.
        info = os.fstat(fd)
        if stat.S_ISDIR(info.st_mode):
            raise InputError(_("%(path)s: is a folder, not a file") % {"path": path})
        if not stat.S_ISREG(info.st_mode):
            raise InputError(_("%(path)s: not a regular file") % {"path": path})
        too_large = _("%(path)s: larger than %(size)s MiB; is it the right file?") % {
            "path": path,
            "size": MAX_INPUT_BYTES // (1024 * 1024),
        }
        if info.st_size > MAX_INPUT_BYTES:
            raise InputError(too_large)
        file = os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise
    with file:
        try:
            data = file.read(MAX_INPUT_BYTES + 1)
        except OSError as error:
            raise InputError(_cannot_read(path, error)) from None
        if len(data) > MAX_INPUT_BYTES:  # it grew while being read
            raise InputError(too_large)
    return data


def _cannot_read(path: StrPath, error: OSError) -> str:
    return _("%(path)s: cannot read: %(error)s") % {"path": path, "error": os_reason(error)}


def read_text(path: StrPath, notes: list[str] | None = None) -> str:
    """A whole input file as text. A file that is not UTF-8 (with or without
    a byte order mark) nor UTF-16 with one is read as Windows-1252, with a
    note appended to `notes` saying so."""
    return decode(read_bytes(path), path, notes)


def decode(data: bytes, path: StrPath, notes: list[str] | None = None) -> str:
    if data.startswith(_UTF16_BOMS):
        try:
            return data.decode("utf-16")
        except UnicodeDecodeError as error:
            raise InputError(
                _(
                    "%(path)s: not UTF-16 text after its byte order mark "
                    "(at byte %(byte)s); save the file as UTF-8"
                )
                % {"path": path, "byte": error.start}
            ) from None
    data = data.removeprefix(codecs.BOM_UTF8)
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as utf8_error:
        try:
            text = data.decode("cp1252")
        except UnicodeDecodeError:
            line = data.count(b"\n", 0, utf8_error.start) + 1
            raise InputError(
                _(
                    "%(where)s: neither UTF-8 nor Windows-1252 text "
                    "(byte %(byte)s); save the file as UTF-8"
                )
                % {"where": at_line(path, line), "byte": f"0x{data[utf8_error.start]:02x}"}
            ) from None
    if notes is not None:
        notes.append(
            _("%(path)s is not UTF-8; read it as Windows-1252 (Excel's default CSV)")
            % {"path": path}
        )
    return text
