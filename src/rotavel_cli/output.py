"""Writing an output: whole or not at all.

The text goes to a new file beside the target, which takes the target's
place only once complete, so a full disk or a size limit cannot leave half
a plan where the last good one was.
"""

from __future__ import annotations

import os
import stat
from collections.abc import Sequence
from pathlib import Path


class OutputError(Exception):
    """An output could not be written in full; the message is ready to show."""


def refuse_overwriting_inputs(output: Path, inputs: Sequence[Path]) -> None:
    for path in inputs:
        try:
            same = os.path.samefile(output, path)
        except OSError:  # one of them does not exist
            same = False
        if same:
            raise OutputError(f"--output {output} is the input file {path}; choose another file")


def write_file(path: Path, data: bytes) -> None:
    """Write all of `data` to `path`, or leave the file as it was."""
    if str(path).endswith(os.sep):
        raise OutputError(f"{path}: names a folder; give a file name")
    target = Path(os.path.realpath(path))  # through a symbolic link, keeping the link
    try:
        info = os.stat(target)
    except FileNotFoundError:
        info = None
    except OSError as error:
        raise OutputError(f"{path}: cannot write: {error.strerror}") from None
    if info is not None and stat.S_ISDIR(info.st_mode):
        raise OutputError(f"{path}: is a folder; give a file name")
    if info is not None and not stat.S_ISREG(info.st_mode):
        _write_in_place(path, target, data)  # e.g. /dev/null or a pipe: nothing to replace
        return
    import secrets  # hashlib and hmac behind it: only a run that writes a file pays for them

    temporary = target.with_name(f".{target.name}.{secrets.token_hex(4)}.tmp")
    try:
        # 0o666 less the umask, as for any new file; an existing file keeps its mode.
        fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
    except OSError as error:
        raise OutputError(f"{path}: cannot write: {error.strerror}") from None
    try:
        with os.fdopen(fd, "wb") as file:
            if info is not None:
                os.fchmod(file.fileno(), stat.S_IMODE(info.st_mode))
            file.write(data)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, target)
    except BaseException as error:  # an interruption too must not leave the new file behind
        temporary.unlink(missing_ok=True)
        if isinstance(error, OSError):
            raise OutputError(f"{path}: cannot write: {error.strerror}") from None
        raise


def _write_in_place(path: Path, target: Path, data: bytes) -> None:
    try:
        with open(target, "wb") as file:
            file.write(data)
    except OSError as error:
        raise OutputError(f"{path}: cannot write: {error.strerror}") from None


def write_stdout(data: bytes) -> None:
    """All of `data` to standard output, as bytes (no encoding can fail), or
    an OutputError saying why not."""
    try:
        fd = os.dup(1)
    except OSError:
        raise OutputError("standard output is closed") from None
    try:
        view = memoryview(data)
        while view:
            try:
                written = os.write(fd, view)
            except InterruptedError:
                continue
            except BrokenPipeError:
                raise
            except OSError as error:
                raise OutputError(f"standard output: cannot write: {error.strerror}") from None
            view = view[written:]
    finally:
        os.close(fd)
