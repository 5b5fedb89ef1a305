"""Writing an output: whole or not at all.

The text goes to a new file beside the target, which takes the target's
place only once complete, so a full disk or a size limit cannot leave half
a plan where the last good one was.
"""

from __future__ import annotations

import errno
import os
import stat
import sys
from collections.abc import Sequence
from typing import TYPE_CHECKING

from rotavel_app.language import _, ngettext
from rotavel_app.messages import os_reason

if TYPE_CHECKING:
    from rotavel_app.files import StrPath


class OutputError(Exception):
    """An output could not be written in full; the message is ready to show."""


def refuse_overwriting_inputs(output: StrPath, inputs: Sequence[StrPath]) -> None:
    for path in inputs:
        try:
            same = os.path.samefile(output, path)
        except OSError:  # one of them does not exist
            same = False
        if same:
            raise OutputError(
                _("--output %(output)s is the input file %(input)s; choose another file")
                % {"output": output, "input": path}
            )


def write_file(path: StrPath, data: bytes, *, private: bool = False) -> None:
    """Write all of `data` to `path`, or leave the file as it was. A `private`
    file (the record's data) is readable by its owner alone, whatever the umask."""
    path = os.fspath(path)  # as typed: "board/" names a folder, Path("board/") would not
    target = os.path.realpath(path)  # through a symbolic link, keeping the link
    try:
        info = os.stat(target)
    except FileNotFoundError:
        info = None
    except OSError as error:
        raise OutputError(_cannot_write(path, os_reason(error))) from None
    if info is not None and stat.S_ISDIR(info.st_mode):
        raise OutputError(_("%(path)s: is a folder; give a file name") % {"path": path})
    if path.endswith(os.sep) or os.path.basename(path) in (".", ".."):
        raise OutputError(_("%(path)s: names a folder; give a file name") % {"path": path})
    if info is not None and not stat.S_ISREG(info.st_mode):
        _write_in_place(path, target, data)  # e.g. /dev/null or a pipe: nothing to replace
        return
    import secrets  # hashlib and hmac behind it: only a run that writes a file pays for them

    folder, name = os.path.split(target)
    temporary = os.path.join(folder, f".{name}.{secrets.token_hex(4)}.tmp")
    try:
        # 0o666 less the umask, as for any new file; an existing file keeps its mode.
        mode = 0o600 if private else 0o666
        fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, mode)
    except OSError as error:
        raise OutputError(_cannot_write(path, _why_not(target, info, error))) from None
    try:
        with os.fdopen(fd, "wb") as file:
            if info is not None:
                kept = stat.S_IMODE(info.st_mode)
                os.fchmod(file.fileno(), kept & 0o700 if private else kept)
            file.write(data)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, target)
    except BaseException as error:  # an interruption too must not leave the new file behind
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        if isinstance(error, OSError):
            raise OutputError(_cannot_write(path, os_reason(error))) from None
        raise


def _cannot_write(path: str, why: str) -> str:
    return _("%(path)s: cannot write: %(error)s") % {"path": path, "error": why}


def _why_not(target: str, info: os.stat_result | None, error: OSError) -> str:
    """Why a new file could not be made beside `target`. In a folder such as
    /proc, which takes no new file, that is "No such file or directory" even
    though the target is there: the target's own refusal says more."""
    if (
        info is None
        or not os.path.isdir(os.path.dirname(target))
        or error.errno
        in (
            errno.EACCES,
            errno.EPERM,
            errno.EROFS,
            errno.ENOSPC,
            errno.EDQUOT,
        )
    ):
        return os_reason(error)
    try:
        os.close(os.open(target, os.O_WRONLY | os.O_NONBLOCK | os.O_CLOEXEC))  # no truncation
    except OSError as own:
        return os_reason(own)
    return _("no new file can be made in %(folder)s (%(error)s)") % {
        "folder": os.path.dirname(target),
        "error": os_reason(error),
    }


def _write_in_place(path: str, target: str, data: bytes) -> None:
    try:
        with open(target, "wb") as file:
            file.write(data)
    except OSError as error:
        raise OutputError(_cannot_write(path, os_reason(error))) from None


def write_stdout(text: str | bytes) -> None:
    """All of `text` to standard output, in its encoding (bytes as they
    are), or an OutputError saying why not.

    The process's own standard output is written unbuffered, straight to its
    descriptor: a full disk, a size limit or a closed descriptor is then met
    here, where it can be told in one line, and not at exit, when Python
    flushes its buffer and can only print a traceback. A standard output the
    caller has replaced (`contextlib.redirect_stdout`, a test's capture) is
    given the text through its own `write`.
    """
    stream = sys.stdout
    if stream is None:  # started with its standard output closed: Python then has none
        raise OutputError(_("standard output is closed"))
    encoding = getattr(stream, "encoding", None) or "utf-8"
    if isinstance(text, bytes):
        data = text
    else:
        try:
            data = text.encode(encoding, getattr(stream, "errors", None) or "strict")
        except UnicodeEncodeError as error:
            char = error.object[error.start]
            raise OutputError(
                _(
                    "standard output: cannot write %(char)s (%(code)s) in its encoding, "
                    "%(encoding)s; set PYTHONIOENCODING=utf-8 or use --output FILE"
                )
                % {"char": ascii(char), "code": f"U+{ord(char):04X}", "encoding": encoding}
            ) from None
    if stream is not sys.__stdout__ or sys.__stdout__ is None:
        try:
            if isinstance(text, str):
                stream.write(text)
            elif (buffer := getattr(stream, "buffer", None)) is not None:
                stream.flush()
                buffer.write(text)
            else:
                stream.write(text.decode(encoding, "surrogateescape"))
            stream.flush()
        except BrokenPipeError:
            raise
        except (OSError, ValueError) as error:
            raise OutputError(_stdout_failed(_reason(error))) from None
        return
    try:
        sys.__stdout__.flush()  # anything Python buffered goes first
        fd = sys.__stdout__.fileno()
        os.fstat(fd)
    except BrokenPipeError:
        raise
    except (OSError, ValueError):
        raise OutputError(_("standard output is closed")) from None
    view = memoryview(data)
    while view:
        try:
            written = os.write(fd, view)
        except InterruptedError:
            continue
        except BrokenPipeError:
            raise
        except OSError as error:
            done = len(data) - len(view)
            cut = (
                ngettext(
                    "; the output stops after %(done)s of %(total)s byte",
                    "; the output stops after %(done)s of %(total)s bytes",
                    len(data),
                )
                % {"done": done, "total": len(data)}
                if done
                else ""
            )
            raise OutputError(_stdout_failed(_reason(error)) + cut) from None
        view = view[written:]


def _stdout_failed(why: str) -> str:
    return _("standard output: cannot write: %(error)s") % {"error": why}


def _reason(error: Exception) -> str:
    return os_reason(error) if isinstance(error, OSError) else str(error)
