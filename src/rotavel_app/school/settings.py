"""A school's settings: one small optional file, `rotavel.toml`, in its folder.

Everything has a default, so a school without the file plans as before:

    name = "Hillside Academy"     # the title of every output (default: the folder's name)
    show_reasons = false          # absence reasons on the board and slips (default: false)
    board_refresh = 60            # seconds between the board's reloads; 0 = never
    slips_per_page = 0            # at most this many cover slips on a printed page; 0 = as fit
    language = "fr"               # what people read: en, ar, de, es, fr, nl (default: en)

    base_url = "https://cover.example.org"  # where `rotavel serve` is reached: personal links

    [times]                       # clock times of the periods, shown on slips and the board
    1 = "08:30-09:20"
    2 = "09:20-10:10"

    [mail]                        # e-mail to each substitute when a day is published
    host = "smtp.example.org"
    port = 587
    sender = "cover@example.org"
    starttls = true               # or ssl = true (SMTPS, port 465)
    user = "cover"                # its password: $ROTAVEL_MAIL_PASSWORD or password_file
The school's calendar (see the user's guide):

    cycle_start = "2027-01-04"    # the date of Day 1 of a rotating cycle (Day 1 ... Day N)
    school_days = ["Monday", "Tuesday", "Wednesday", "Thursday", "Friday"]  # of a cycle

    [days]                        # days whose names say no weekday: the weekday (and half)
    "J1 A" = "Sunday morning"
    "J1 B" = "Sunday afternoon"

    [closed]                      # holidays and closed days: a date or a range
    "Spring holiday" = "2027-04-05 to 2027-04-16"
    "Staff training" = "2027-01-04"

Reasons stay on the cover manager's own outputs (table, csv, report) either
way; `show_reasons` only decides the pages people read.
"""

from __future__ import annotations

import datetime
import os
import re
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

from rotavel_app.files import read_text
from rotavel_app.language import N_, _
from rotavel_app.messages import InputError, shown

if TYPE_CHECKING:
    from typing import Any

    from rotavel_app.files import StrPath

SETTINGS_FILE = "rotavel.toml"

# Compiled at its first use (re keeps it): only schools with times pay for it.
_TIME = r"\s*([0-9]{1,2})[:.h]([0-9]{2})\s*(?:[-–]\s*([0-9]{1,2})[:.h]([0-9]{2}))?\s*"


@dataclass(frozen=True)
class Settings:
    name: str | None = None
    show_reasons: bool = False
    board_refresh: int = 60
    slips_per_page: int = 0  # 0: as many as fit
    language: str = "en"  # the pages', the table's and the web desk's (see language.py)
    times: dict[int, str] = field(default_factory=dict)  # period -> "08:30–09:20"
    # The desk's rules (see desk.py): the window for fair shares and caps.
    # "cycle" (the last cycle_days school days), "week" (the calendar week) or "term"
    window: str = "cycle"
    cycle_days: int = 20
    margin: int = 2  # a same-subject teacher is asked first within this many covers of the fewest
    term_start: str | None = None  # ISO date
    cap_day: int | None = None
    cap_week: int | None = None
    week_a: str | None = None  # an ISO date in an A week, for timetables of A and B weeks
    base_url: str | None = None  # how people reach `rotavel serve`, for their personal links
    mail: MailSettings | None = None  # None: nobody is sent e-mail
    # The calendar: a day's name -> (weekday, half or None), for names that say no weekday.
    days: dict[str, tuple[int, int | None]] = field(default_factory=dict)
    school_days: frozenset[int] | None = None  # weekdays of a cycle; None: Monday to Friday
    cycle_start: datetime.date | None = None  # the date of the cycle's first day
    closed: tuple[Closure, ...] = ()  # holidays and closed days, in the file's order


# The environment variable that holds the mail server's password unless [mail] names another.
PASSWORD_ENV = "ROTAVEL_MAIL_PASSWORD"


@dataclass(frozen=True)
class MailSettings:
    """The school's outgoing mail server. Its password is never in rotavel.toml:
    it comes from an environment variable or a file only the desk can read."""

    host: str
    sender: str
    port: int = 25
    starttls: bool = False
    ssl: bool = False  # SMTP over TLS from the start (port 465)
    user: str | None = None
    password_env: str = PASSWORD_ENV
    password_file: str | None = None


@dataclass(frozen=True)
class Closure:
    """Days the school is closed: a holiday, a training day."""

    name: str
    first: datetime.date
    last: datetime.date  # included

    def __contains__(self, date: object) -> bool:
        return isinstance(date, datetime.date) and self.first <= date <= self.last

    @property
    def span(self) -> str:
        if self.last == self.first:
            return str(self.first)
        return _("%(first)s to %(last)s") % {"first": self.first, "last": self.last}


_KEYS = {
    "name": str,
    "show_reasons": bool,
    "board_refresh": int,
    "slips_per_page": int,
    "language": str,
    "times": dict,
    "window": str,
    "cycle_days": int,
    "margin": int,
    "term_start": str,
    "cap_day": int,
    "cap_week": int,
    "week_a": str,
    "base_url": str,
    "mail": dict,
    "days": dict,
    "school_days": list,
    "cycle_start": str,
    "closed": dict,
}
# What a setting of each kind must be, for a message.
_KINDS = {
    str: N_("str"),
    bool: N_("bool"),
    int: N_("int"),
    dict: N_("dict"),
    list: N_("list"),
}
_MAIL_KEYS = {
    "host": str,
    "port": int,
    "sender": str,
    "starttls": bool,
    "ssl": bool,
    "user": str,
    "password_env": str,
    "password_file": str,
}


def load_settings(folder: StrPath | None) -> Settings:
    """The folder's settings, or the defaults when it has no settings file."""
    if folder is None:
        return Settings()
    path = os.path.join(folder, SETTINGS_FILE)
    if not os.path.exists(path):
        return Settings()
    import tomllib  # only a school with settings pays for the parser

    try:
        data = tomllib.loads(read_text(path))
    except tomllib.TOMLDecodeError as error:
        raise InputError(
            _("%(path)s: not valid TOML: %(error)s") % {"path": path, "error": error}
        ) from None
    return parse_settings(data, path)


def parse_settings(data: dict[str, Any], path: StrPath) -> Settings:
    values: dict[str, Any] = {}
    for key, value in data.items():
        kind = _KEYS.get(key)
        if kind is None:
            known = ", ".join(_KEYS)
            raise InputError(
                _("%(path)s: unknown setting %(name)s; the settings are: %(known)s")
                % {"path": path, "name": shown(key), "known": known}
            )
        if not isinstance(value, kind) or (kind is int and isinstance(value, bool)):
            raise InputError(
                _("%(path)s: %(key)s must be %(kind)s, not %(value)s")
                % {"path": path, "key": key, "kind": _(_KINDS[kind]), "value": shown(str(value))}
            )
        values[key] = value
    if "times" in values:
        values["times"] = _times(values["times"], path)
    if "language" in values:
        from rotavel_app.language import languages

        if values["language"] not in languages():
            raise InputError(
                _("%(path)s: language %(language)s is not one of %(languages)s")
                % {
                    "path": path,
                    "language": shown(values["language"]),
                    "languages": ", ".join(languages()),
                }
            )
    if "mail" in values:
        values["mail"] = _mail(values["mail"], path)
    if "base_url" in values:
        base = values["base_url"].rstrip("/")
        if not re.fullmatch(r"https?://[^\s/?#]+(/[^\s?#]*)?", base):
            raise InputError(
                _(
                    "%(path)s: base_url must be the address people open the desk at, "
                    'such as "https://cover.example.org", not %(value)s'
                )
                % {"path": path, "value": shown(values["base_url"])}
            )
        values["base_url"] = base
    if "days" in values:
        values["days"] = _days(values["days"], path)
    if "school_days" in values:
        values["school_days"] = _school_days(values["school_days"], path)
    if "cycle_start" in values:
        values["cycle_start"] = _date(values["cycle_start"], "cycle_start", path)
    if "closed" in values:
        values["closed"] = _closed(values["closed"], path)
    if values.get("window", "cycle") not in ("week", "cycle", "term"):
        raise InputError(_("%(path)s: window must be week, cycle or term") % {"path": path})
    for key in ("board_refresh", "slips_per_page", "cycle_days", "cap_day", "cap_week", "margin"):
        if key in values and values[key] < 0:
            raise InputError(
                _("%(path)s: %(key)s must not be negative") % {"path": path, "key": key}
            )
    return Settings(**values)


def _mail(table: dict[str, Any], path: StrPath) -> MailSettings:
    values: dict[str, Any] = {}
    for key, value in table.items():
        if key == "password":
            raise InputError(
                _(
                    "%(path)s: [mail] password does not belong in rotavel.toml; put it in the "
                    "environment variable %(variable)s (or the one password_env names) "
                    "or in a file named by password_file"
                )
                % {"path": path, "variable": PASSWORD_ENV}
            )
        kind = _MAIL_KEYS.get(key)
        if kind is None:
            known = ", ".join(_MAIL_KEYS)
            raise InputError(
                _("%(path)s: unknown [mail] setting %(name)s; they are: %(known)s")
                % {"path": path, "name": shown(key), "known": known}
            )
        if not isinstance(value, kind) or (kind is int and isinstance(value, bool)):
            raise InputError(
                _("%(path)s: [mail] %(key)s must be %(kind)s, not %(value)s")
                % {"path": path, "key": key, "kind": _(_KINDS[kind]), "value": shown(str(value))}
            )
        values[key] = value
    for key in ("host", "sender"):
        if not values.get(key):
            raise InputError(_("%(path)s: [mail] needs %(key)s") % {"path": path, "key": key})
    if not re.fullmatch(r"[^@\s]+@[^@\s]+", values["sender"]):
        raise InputError(
            _("%(path)s: [mail] sender %(sender)s is not an e-mail address")
            % {"path": path, "sender": shown(values["sender"])}
        )
    if values.get("ssl") and values.get("starttls"):
        raise InputError(_("%(path)s: [mail] takes ssl or starttls, not both") % {"path": path})
    values.setdefault("port", 465 if values.get("ssl") else 587 if values.get("starttls") else 25)
    if not 0 < values["port"] < 65536:
        raise InputError(_("%(path)s: [mail] port must be from 1 to 65535") % {"path": path})
    return MailSettings(**values)


def parse_time(text: str) -> str | None:
    """A period's clock time as shown ("08:30–09:20"), or None when `text` is not one."""
    match = re.fullmatch(_TIME, text)
    if match is None:
        return None
    start = f"{int(match[1]):02}:{match[2]}"
    return start + (f"–{int(match[3]):02}:{match[4]}" if match[3] else "")


def _times(table: dict[str, Any], path: StrPath) -> dict[int, str]:
    times = {}
    for key, value in table.items():
        try:
            period = int(key)
        except ValueError:
            raise InputError(
                _("%(path)s: [times] %(key)s is not a period number")
                % {"path": path, "key": shown(key)}
            ) from None
        time = parse_time(value) if isinstance(value, str) else None
        if time is None:
            raise InputError(
                _('%(path)s: [times] %(key)s = %(value)s is not a time such as "08:30-09:20"')
                % {"path": path, "key": key, "value": shown(str(value))}
            )
        times[period] = time
    return times


def _date(text: str, what: str, path: StrPath) -> datetime.date:
    try:
        return datetime.date.fromisoformat(text.strip())
    except ValueError:
        raise InputError(
            _("%(path)s: %(what)s %(value)s is not a date written YYYY-MM-DD")
            % {"path": path, "what": what, "value": shown(text)}
        ) from None


def _days(table: dict[str, Any], path: StrPath) -> dict[str, tuple[int, int | None]]:
    """[days]: "NAME" = "Sunday", "Sunday morning" or "Sunday afternoon"."""
    from rotavel_app.school.weekdays import AFTERNOON, MORNING, weekday_of

    days: dict[str, tuple[int, int | None]] = {}
    for name, value in table.items():
        words = value.split() if isinstance(value, str) else []
        half = (
            {"morning": MORNING, "afternoon": AFTERNOON}.get(words[-1].lower()) if words else None
        )
        weekday = weekday_of(" ".join(words[:-1] if half is not None else words))
        if weekday is None:
            raise InputError(
                _(
                    "%(path)s: [days] %(name)s = %(value)s is not a weekday such as "
                    '"Sunday", "Sunday morning" or "Sunday afternoon"'
                )
                % {"path": path, "name": shown(name), "value": shown(str(value))}
            )
        days[name] = (weekday, half)
    return days


def _school_days(names: list[Any], path: StrPath) -> frozenset[int]:
    from rotavel_app.school.weekdays import weekday_of

    days = set()
    for name in names:
        weekday = weekday_of(name) if isinstance(name, str) else None
        if weekday is None:
            raise InputError(
                _("%(path)s: school_days: %(value)s is not a weekday")
                % {"path": path, "value": shown(str(name))}
            )
        days.add(weekday)
    if not days:
        raise InputError(_("%(path)s: school_days names no day") % {"path": path})
    return frozenset(days)


def _closed(table: dict[str, Any], path: StrPath) -> tuple[Closure, ...]:
    """[closed]: "NAME" = "2027-04-05", "2027-04-05 to 2027-04-16", or a list of them."""
    closures = []
    for name, value in table.items():
        for text in value if isinstance(value, list) else [value]:
            where = f"[closed] {shown(name)}"
            if not isinstance(text, str):
                raise InputError(
                    _("%(path)s: %(where)s must be a date or a range, not %(value)s")
                    % {"path": path, "where": where, "value": shown(str(text))}
                )
            first_text, _to, last_text = text.partition(" to ")
            first = _date(first_text, where, path)
            last = _date(last_text, where, path) if last_text else first
            if last < first:
                raise InputError(
                    _("%(path)s: %(where)s ends (%(last)s) before it starts (%(first)s)")
                    % {"path": path, "where": where, "last": last, "first": first}
                )
            closures.append(Closure(name, first, last))
    return tuple(closures)
