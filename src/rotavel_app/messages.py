"""How the command speaks of bad input: one error type, and values quoted
so that the user can see what the file really holds."""

from __future__ import annotations

import errno
import unicodedata
from collections.abc import Iterable

from rotavel_app.language import ENGLISH, N_, _, current, ngettext

# "Did you mean" compares every known name with the unknown one; beyond this
# length no name is close, and difflib's cost grows with the product of the two.
_SUGGEST_LIMIT = 200


# The system's words for the failures a school's files meet most, as glibc says them, in the
# language in use. English keeps the system's own words, whichever C library says them.
_OS_REASONS = {
    errno.ENOENT: N_("No such file or directory"),
    errno.EACCES: N_("Permission denied"),
    errno.EPERM: N_("Operation not permitted"),
    errno.ENOSPC: N_("No space left on device"),
    errno.EROFS: N_("Read-only file system"),
    errno.EDQUOT: N_("Disk quota exceeded"),
    errno.EFBIG: N_("File too large"),
    errno.ENOTDIR: N_("Not a directory"),
    errno.EISDIR: N_("Is a directory"),
    errno.ENAMETOOLONG: N_("File name too long"),
    errno.ELOOP: N_("Too many levels of symbolic links"),
    errno.EIO: N_("Input/output error"),
    errno.EBADF: N_("Bad file descriptor"),
}


class InputError(Exception):
    """Bad input; the message says where and what, ready to show the user."""


def os_reason(error: OSError) -> str:
    """Why the system refused, for a message."""
    why = error.strerror or str(error)
    if error.errno not in _OS_REASONS or current() == ENGLISH:
        return why
    return _(_OS_REASONS[error.errno])


def shown(text: str, limit: int = 80) -> str:
    """A value from the input quoted for a message, shortened when long."""
    if len(text) > limit:
        count = len(text)
        return repr(text[:limit]) + ngettext(
            "... (%(count)s character)", "... (%(count)s characters)", count
        ) % {"count": count}
    return repr(text)


def looks(text: str) -> str:
    """What a reader sees: compatibility forms folded, invisible format characters gone."""
    if text.isascii():
        return text  # nothing to fold and no format character
    folded = unicodedata.normalize("NFKC", text)
    return "".join(c for c in folded if unicodedata.category(c) != "Cf")


def did_you_mean(name: str, known: Iterable[str]) -> str:
    """A hint naming the closest known name, or ""."""
    if len(name) > _SUGGEST_LIMIT:
        return ""
    import difflib  # only a run that has gone wrong pays for it

    candidates = [k for k in known if len(k) <= _SUGGEST_LIMIT]
    close = difflib.get_close_matches(name, candidates, n=1)
    if not close:
        return ""
    if looks(close[0]) == looks(name):
        # Suggesting a name that looks the same would only puzzle; show the difference.
        return _("; it looks like %(known)s but is written %(written)s, not %(spelling)s") % {
            "known": shown(close[0]),
            "written": ascii(name),
            "spelling": ascii(close[0]),
        }
    return _("; did you mean %(name)s?") % {"name": shown(close[0])}


def at_line(path: object, line: object) -> str:
    """Where in a file, for a message: "timetable.csv, line 3"."""
    return _("%(file)s, line %(line)s") % {"file": path, "line": line}
