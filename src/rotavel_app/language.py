"""The language people read: the pages, the table, the slips, the web desk
and the command's own messages, from gettext catalogues (locale/, made with
Babel: see the user's guide), and dates in the language's own words and
order from CLDR (Babel's data).

English is the messages as written: a run in English opens no catalogue and
imports neither gettext nor Babel until a date is shown. What the school
writes (names, subjects, classes, reasons) is never looked up here.

The language is the school's (`language` in rotavel.toml), or the command's
`--language` for one run; it is held in a context variable, so each request
of the web desk's threads sets its own.
"""

from __future__ import annotations

import os
from contextvars import ContextVar
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import datetime
    import gettext

DOMAIN = "rotavel"
LOCALE_DIR = os.path.join(os.path.dirname(__file__), "locale")
ENGLISH = "en"
# Written from right to left: the pages say so (dir="rtl") and mirror their layout.
RIGHT_TO_LEFT = frozenset({"ar"})

# The language in use and its catalogue; None: English, the messages as written.
_active: ContextVar[tuple[str, gettext.GNUTranslations] | None] = ContextVar(
    "rotavel_language", default=None
)
_catalogues: dict[str, gettext.GNUTranslations] = {}


def languages() -> list[str]:
    """The languages there is a catalogue for, English first."""
    try:
        found = sorted(
            name
            for name in os.listdir(LOCALE_DIR)
            if os.path.exists(os.path.join(LOCALE_DIR, name, "LC_MESSAGES", DOMAIN + ".mo"))
        )
    except OSError:
        found = []
    return [ENGLISH, *(name for name in found if name != ENGLISH)]


def use(language: str | None) -> None:
    """Speak `language` (a code such as "fr") from now on in this context; None or
    "en" is English. A language without a catalogue is the caller's error: the
    settings and the command check it against `languages()` first."""
    if language is None or language == ENGLISH:
        _active.set(None)
        return
    catalogue = _catalogues.get(language)
    if catalogue is None:
        import gettext

        with open(os.path.join(LOCALE_DIR, language, "LC_MESSAGES", DOMAIN + ".mo"), "rb") as mo:
            catalogue = _catalogues[language] = gettext.GNUTranslations(mo)
    _active.set((language, catalogue))


def current() -> str:
    """The code of the language in use."""
    active = _active.get()
    return ENGLISH if active is None else active[0]


def direction() -> str:
    """ "rtl" for a language written from right to left, else "ltr"."""
    return "rtl" if current() in RIGHT_TO_LEFT else "ltr"


def _(message: str) -> str:
    """`message` in the language in use."""
    active = _active.get()
    return message if active is None else active[1].gettext(message)


def N_(message: str) -> str:
    """Marks a message for the catalogues where it is written (a constant); `_()`
    looks it up where it is shown, in the language of that moment."""
    return message


def ngettext(singular: str, plural: str, number: int) -> str:
    """The form for `number` of a message, by the language's own plural rule
    (Arabic has six forms; English two)."""
    active = _active.get()
    if active is None:
        return singular if number == 1 else plural
    return active[1].ngettext(singular, plural, number)


# Dates: English keeps the forms the outputs have always had ("Tuesday 8 December
# 2026", "Tue 8 Dec"), in the names of the C locale's strftime (Python never sets
# the process's locale): loading Babel's CLDR data would take four times the
# interpreter's start on every desk command. Another language takes CLDR's
# words and order.
_ENGLISH_DATES = {
    "long": "%A {day} %B %Y",
    "day_month": "%A {day} %B",
    "short": "%a {day} %b",
    "short_year": "%a {day} %b %Y",
    "weekday": "%a",
}
_SKELETONS = {"weekday": "EEE", "day_month": "MMMMEEEEd", "short": "MMMEd", "short_year": "yMMMEd"}


def date_text(date: datetime.date, form: str = "long") -> str:
    """`date` for people: "long" ("mercredi 9 décembre 2026"), "day_month" (no
    year), "short" (abbreviated weekday and month) or "short_year"."""
    language = current()
    if language == ENGLISH:
        return date.strftime(_ENGLISH_DATES[form]).format(day=date.day)
    import babel.dates  # only a date in another language pays for CLDR's data

    if form == "long":
        return babel.dates.format_date(date, "full", locale=language)
    return babel.dates.format_skeleton(_SKELETONS[form], date, locale=language)


def day_name(weekday: int) -> str:
    """A weekday's whole name (Monday 0) in the language in use: "Monday", "mercredi"."""
    language = current()
    if language == ENGLISH:
        import datetime

        return datetime.date(2027, 1, 4 + weekday).strftime("%A")  # 4 January 2027: a Monday
    import babel.dates

    return str(babel.dates.get_day_names("wide", locale=language)[weekday])


def decimal_text(value: float, places: int = 1) -> str:
    """`value` with `places` decimals, in the language's own digits and marks
    ("0,5" in French); English keeps the form it has always had ("0.5")."""
    language = current()
    if language == ENGLISH:
        return f"{value:.{places}f}"
    import babel.numbers

    return babel.numbers.format_decimal(
        value, format="0." + "0" * places, locale=language, decimal_quantization=True
    )
