"""Weekday names as schools write them, in their own language.

A timetable names its days `Monday`, `Mon`, `Mo`, `ma`, `Montag`, `lundi`,
`Dilluns` or `Δευτέρα`; `--date` and today's date must find the day
whichever it is. Names are compared without case, accents or dots, a
language's usual abbreviations and any start of two letters or more that
names one day of it count, and a timetable's days are read in the one
language that makes the most sense of all of them (`ma` is Monday among
`ma di wo do vr`, Tuesday among `lu ma me je ve`).
"""

from __future__ import annotations

import unicodedata
from collections.abc import Iterable

# The English names, Monday first: the days of a program that numbers them
# (Untis, aSc), and the command's messages. Pages and slips name days in the
# language in use (`language.date_text`).
WEEKDAYS = ("Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday")

# Each language's weekday names, Monday first, then abbreviations that are not
# simply the start of a name ("dl" for dilluns). English leads: on a tie it wins.
_LANGUAGES: dict[str, tuple[tuple[str, ...], dict[str, int]]] = {
    "en": (WEEKDAYS, {"tues": 1, "thur": 3, "thurs": 3}),
    "nl": (("maandag", "dinsdag", "woensdag", "donderdag", "vrijdag", "zaterdag", "zondag"), {}),
    "de": (
        ("Montag", "Dienstag", "Mittwoch", "Donnerstag", "Freitag", "Samstag", "Sonntag"),
        {"sonnabend": 5},
    ),
    "fr": (("lundi", "mardi", "mercredi", "jeudi", "vendredi", "samedi", "dimanche"), {}),
    "es": (("lunes", "martes", "miércoles", "jueves", "viernes", "sábado", "domingo"), {"x": 2}),
    "ca": (
        ("dilluns", "dimarts", "dimecres", "dijous", "divendres", "dissabte", "diumenge"),
        {"dl": 0, "dt": 1, "dm": 1, "dc": 2, "dx": 2, "dj": 3, "dv": 4, "ds": 5, "dg": 6},
    ),
    "it": (("lunedì", "martedì", "mercoledì", "giovedì", "venerdì", "sabato", "domenica"), {}),
    "pt": (
        (
            "segunda-feira",
            "terça-feira",
            "quarta-feira",
            "quinta-feira",
            "sexta-feira",
            "sábado",
            "domingo",
        ),
        {
            "segunda": 0,
            "terca": 1,
            "quarta": 2,
            "quinta": 3,
            "sexta": 4,
            "2a": 0,
            "3a": 1,
            "4a": 2,
            "5a": 3,
            "6a": 4,
        },
    ),
    "el": (("Δευτέρα", "Τρίτη", "Τετάρτη", "Πέμπτη", "Παρασκευή", "Σάββατο", "Κυριακή"), {}),
    "fi": (
        ("maanantai", "tiistai", "keskiviikko", "torstai", "perjantai", "lauantai", "sunnuntai"),
        {},
    ),
    # The week of North Africa and the Middle East, with and without the article ("al-"):
    # FET's Algerian and Moroccan schools write both, hamza or not (the key drops it).
    "ar": (
        ("الاثنين", "الثلاثاء", "الأربعاء", "الخميس", "الجمعة", "السبت", "الأحد"),
        {
            "اثنين": 0,
            "ثلاثاء": 1,
            "اربعاء": 2,
            "خميس": 3,
            "جمعة": 4,
            "سبت": 5,
            "احد": 6,
        },
    ),
    "uk": (("Понеділок", "Вівторок", "Середа", "Четвер", "П'ятниця", "Субота", "Неділя"), {}),
    "ru": (
        ("Понедельник", "Вторник", "Среда", "Четверг", "Пятница", "Суббота", "Воскресенье"),
        {},
    ),
}
# French schools shorten the days to one letter where it is plain (L, J, V, S, D),
# as Moroccan FET files do ("L_m", "Ma_m", "J_s"); read only among French names.
_LANGUAGES["fr"][1].update({"l": 0, "j": 3, "v": 4, "s": 5, "d": 6})


def day_key(text: str) -> str:
    """How day names are compared: no case, accents, dots or blanks at the ends."""
    decomposed = unicodedata.normalize("NFD", text.casefold())
    bare = "".join(c for c in decomposed if not unicodedata.combining(c))
    bare = bare.replace("\u2019", "'").replace("\u02bc", "'")  # Ukrainian apostrophes
    return " ".join(bare.replace(".", " ").split())


def _readings(names: tuple[str, ...], extra: dict[str, int]) -> dict[str, int]:
    """Every spelling that names one day of a language -> that day."""
    keys = [day_key(name) for name in names]
    table: dict[str, int] = {}
    clashes: set[str] = set()
    for day, key in enumerate(keys):
        for end in range(2, len(key) + 1):
            start = key[:end]
            if start in table and table[start] != day:
                clashes.add(start)
            table.setdefault(start, day)
    for start in clashes:
        del table[start]
    table.update({day_key(k): day for k, day in extra.items()})
    return table


_READINGS = {code: _readings(names, extra) for code, (names, extra) in _LANGUAGES.items()}


def weekday_of(text: str) -> int | None:
    """The weekday (0 for Monday) a name given on its own stands for, in the
    first language that knows it, or None."""
    key = day_key(text)
    for readings in _READINGS.values():
        if key in readings:
            return readings[key]
    return None


def read_days(spellings: Iterable[str]) -> dict[str, int]:
    """The weekday each of a timetable's day names stands for, read in the
    language that understands the most of them; names that are not weekdays
    (`Day 3`) are left out."""
    keys = {spelling: day_key(spelling) for spelling in spellings}
    best: dict[str, int] = {}
    for readings in _READINGS.values():
        found = {s: readings[k] for s, k in keys.items() if k in readings}
        if len(set(found.values())) > len(set(best.values())):
            best = found
    return best


# A half of a day as timetables mark it, once compared as `day_key` does:
# a morning and an afternoon ("dimanche matin", "Dim M", "L_m", "الأحد/ص",
# Arabic's sabahan and masa'an, "mo1") or the day's second part alone (Sunday's "2").
MORNING, AFTERNOON = 0, 1
_HALVES = {
    **dict.fromkeys(
        ("1", "m", "mat", "matin", "mor", "morning", "am", "vm", "vormittag", "manana"),
        MORNING,
    ),
    **dict.fromkeys(("ص", "صباحا", "صباح", "صباحي", "صباحية"), MORNING),
    **dict.fromkeys(
        (
            "2",
            "s",
            "soir",
            "apres midi",
            "apres-midi",
            "aprem",
            "aft",
            "afternoon",
            "pm",
            "evening",
            "nm",
            "nachmittag",
            "tarde",
        ),
        AFTERNOON,
    ),
    **dict.fromkeys(("م", "مساء", "مساءا", "مسائي", "مسائية", "زوال", "زوالا"), AFTERNOON),
}
_HALF = None  # the pattern, compiled at its first use: only timetables of halves need it


def split_half(text: str) -> tuple[str, int] | None:
    """A day's name cut into the weekday's part and the half it marks
    (MORNING or AFTERNOON), or None when it marks no half. A marker of letters
    stands apart ("Dim M", "L_m", Arabic's "/m"); a digit may follow the name
    (Arabic's Sunday and "2", "mo1"). Whether the rest names a weekday is the caller's to say."""
    global _HALF
    if _HALF is None:
        import re

        markers = "|".join(map(re.escape, sorted(_HALVES, key=len, reverse=True)))
        _HALF = re.compile(rf"(.+?)(?:[\s_/-]+({markers})|([12]))")
    match = _HALF.fullmatch(day_key(text))
    if match is None:
        return None
    return match[1].strip(" _/-"), _HALVES[match[2] or match[3]]
