"""Reading what a request names: dates, numbers, texts, teachers and lessons.

A value that cannot be what the page sent is answered with 400 and a line
saying why; a page never keeps the desk's state between requests, so a form
names what it changes (a date, a teacher, a period), never a snapshot.
"""

from __future__ import annotations

import base64
import datetime
import re
from urllib.parse import urlsplit

from flask import abort, request

from rotavel_app.language import _
from rotavel_app.school.day import FIRST_DATE, LAST_DATE
from rotavel_app.unsafe import escaped
from rotavel_app.web.site import get_desk, get_site
from rotavel_app.web.views import lesson_key


def date_of(text: str | None) -> datetime.date:
    """A date a page or form names; none is the site's today."""
    if not text:
        return get_site().today()
    try:
        if re.fullmatch(r"[0-9]{4}-[0-9]{2}-[0-9]{2}", text):
            date = datetime.date.fromisoformat(text)
            if not FIRST_DATE <= date <= LAST_DATE:
                abort(
                    400,
                    _("%(text)s is outside the days the desk keeps (%(first)s to %(last)s).")
                    % {"text": text, "first": FIRST_DATE, "last": LAST_DATE},
                )
            return date
    except ValueError:
        pass
    abort(400, _("%(text)s is not a date written YYYY-MM-DD") % {"text": repr(text)})


def whole_number(name: str) -> int:
    text = request.form.get(name, "").strip()
    if not re.fullmatch(r"-?[0-9]{1,6}", text):
        abort(400, _("%(field)s must be a whole number") % {"field": name})
    return int(text)


def text_of(name: str, limit: int = 500) -> str:
    text = request.form.get(name, "")
    if len(text) > limit:
        abort(
            400,
            _("%(field)s is longer than %(limit)s characters") % {"field": name, "limit": limit},
        )
    return text


def local_path(target: str | None) -> str | None:
    """A path on this site to go back to after logging in, never another site."""
    if not target or not target.startswith("/") or target.startswith("//") or "\\" in target:
        return None
    # Browsers drop tabs and line breaks from an address ("/\n/evil.example" is
    # "//evil.example" to them), and a header cannot hold them: no such target.
    if any(ord(c) < 0x20 or ord(c) == 0x7F for c in target):
        return None
    parts = urlsplit(target)
    return None if parts.scheme or parts.netloc else target


def staff_name(field: str) -> str:
    """The teacher a form names. Pages show names with their controls and
    bidirectional marks escaped (\\u202e), and forms send them back so;
    such a text is mapped back to the name it shows."""
    text = text_of(field, 300).strip()
    names = get_desk().staff_names()
    if text in names:
        return text
    return next((name for name in names if escaped(name) == text), text)


def lesson_of(key: str) -> tuple[str, int]:
    """The teacher and period of a lesson's key (views.lesson_key)."""
    match = re.fullmatch(r"(-?[0-9]{1,6})-([A-Za-z0-9_-]{1,1600})", key)
    if match is None:
        abort(400, _("The form does not name a lesson."))
    try:
        name = base64.urlsafe_b64decode(match[2] + "=" * (-len(match[2]) % 4))
        return name.decode("utf-8", "surrogatepass"), int(match[1])
    except (ValueError, UnicodeDecodeError):
        abort(400, _("The form does not name a lesson."))


def lesson_form() -> tuple[datetime.date, str, int]:
    """The lesson whose button was pressed: one form serves every lesson of the day."""
    return date_of(request.form.get("date")), *lesson_of(request.form.get("lesson", ""))


def anchor(teacher: str, period: int) -> str:
    return "lesson-" + lesson_key(teacher, period)


def slug(kind: str, *parts: object) -> str:
    """An id for a page element, from anything: hex keeps it to safe characters."""
    return kind + "-" + "-".join(str(p).encode("utf-8", "surrogatepass").hex() for p in parts)


def around(date: datetime.date) -> dict[str, datetime.date]:
    """The days the date arrows go to."""
    return {
        "yesterday": date - datetime.timedelta(days=1),
        "tomorrow": date + datetime.timedelta(days=1),
    }
