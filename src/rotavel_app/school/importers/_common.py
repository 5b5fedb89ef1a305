"""What every reader of a timetabling program's export needs: decoding a
file (read by `files.read_bytes`, as every input is), parsing XML without
entities, leaving placeholders and rows with no class out (and saying so
once), and each teacher's main subject.
"""

from __future__ import annotations

import codecs
import re
import unicodedata
import xml.etree.ElementTree as ET
from collections import Counter
from collections.abc import Iterable, Sequence
from pathlib import Path

from rotavel_app.language import ENGLISH, _, current, ngettext
from rotavel_app.messages import InputError, at_line
from rotavel_app.school.day import PERIOD_MAX, PERIOD_MIN, parse_period
from rotavel_app.school.week import LessonRow

# The most lesson rows one export may give. A week of 300 teachers in 50
# periods of two alternating weeks is 30,000; a few attributes (a card of
# millions of periods, a lesson listing a teacher a million times) could
# otherwise ask for more rows than memory holds, from a file of a few bytes.
MAX_ROWS = 1_000_000

# Line ends of the exports' text: only these end a record. str.splitlines
# also breaks at U+2028, U+0085 and form feeds, which a quoted name may hold.
_LINE_END = re.compile(r"\r\n|\r|\n")

# What schools write where a teacher is not yet known: "N.N." or "NN" (nomen
# nescio, as German schools and Untis write it), question marks, dashes, "TBA".
_PLACEHOLDER = re.compile(r"n\.?\s*n\.?|\?+|-+|tb[acd]", re.IGNORECASE)

# Why rows were left out, in the order the note lists them (the note words
# each with its count, in the language of the run).
NO_TEACHER_OR_CLASS = "no teacher or class"
NO_CLASS = "no class"
NO_TEACHER = "no teacher"
PLACEHOLDER = "placeholder"
INACTIVE = "inactive"
UNPLACED = "unplaced"
NO_WEEK = "no week"
_REASONS = (NO_TEACHER_OR_CLASS, NO_CLASS, NO_TEACHER, PLACEHOLDER, INACTIVE, UNPLACED, NO_WEEK)

# What the rows of each reading are; the note counts them.
ROWS = "rows"
ACTIVITIES = "activities"
CARDS = "cards"


def nfc(text: str) -> str:
    """Text as the command compares it: in Unicode NFC, without surrounding blanks."""
    text = text.strip()
    return text if text.isascii() else unicodedata.normalize("NFC", text)


def is_placeholder(name: str) -> bool:
    """A name standing for "nobody yet" rather than for a teacher."""
    return bool(_PLACEHOLDER.fullmatch(name.strip()))


def lines_of(text: str) -> list[str]:
    """The lines of a text file, broken at CR LF, CR or LF alone."""
    return _LINE_END.split(text)


def at_element(path: Path | str, element: str, number: int, ident: str = "") -> str:
    """Where a message points in an XML file: the `number`th element of its
    kind (`element`, its name without brackets), with its id when it has one."""
    values = {"path": path, "element": element, "number": number, "id": ident}
    if ident:
        return _("%(path)s, <%(element)s> number %(number)s (Id %(id)s)") % values
    return _("%(path)s, <%(element)s> number %(number)s") % values


def period_in_range(number: int, where: str) -> int:
    """A period number the planning module can take, or the one-line refusal."""
    if not PERIOD_MIN <= number <= PERIOD_MAX:
        raise InputError(
            _("%(where)s: period %(period)s is out of range (%(least)s to %(most)s)")
            % {"where": where, "period": number, "least": PERIOD_MIN, "most": PERIOD_MAX}
        )
    return number


def read_period(text: str, where: str) -> int:
    """A period number written in a file, sign allowed, within the module's range."""
    return parse_period(text.strip(), where)


def check_rows(count: int, where: str) -> None:
    """Refuse an export that asks for more lesson rows than any school has."""
    if count > MAX_ROWS:
        raise InputError(
            _(
                "%(where)s: gives more than %(most)s lesson rows, more than any school's "
                "timetable; is it the right file?"
            )
            % {"where": where, "most": _thousands(MAX_ROWS)}
        )


def _thousands(number: int) -> str:
    """A large number as the language groups its digits ("1,000,000", "1 000 000")."""
    if current() == ENGLISH:
        return f"{number:,}"  # English needs no locale data
    import babel.numbers

    return babel.numbers.format_decimal(number, locale=current())


def _refuse_utf16(data: bytes, path: Path) -> None:
    """UTF-16 text (Windows's "Unicode") read as bytes looks like one long line
    of fields with NUL bytes between the letters: say what it is instead."""
    if data.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)) or b"\x00" in data[:4096]:
        raise InputError(
            _("%(path)s: UTF-16 text (or binary data); export it again as UTF-8 (or Windows-1252)")
            % {"path": path}
        )


def decode_utf8(data: bytes, path: Path) -> str:
    """UTF-8 text, with or without a byte order mark."""
    _refuse_utf16(data, path)
    data = data.removeprefix(codecs.BOM_UTF8)
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        line = data.count(b"\n", 0, error.start) + 1
        raise InputError(
            _("%(where)s: not UTF-8 text (byte %(byte)s); export it again as UTF-8")
            % {"where": at_line(path, line), "byte": f"0x{data[error.start]:02x}"}
        ) from None


def decode_utf8_or_windows(data: bytes, path: Path) -> str:
    """UTF-8 (with or without a byte order mark) or, failing that, Windows-1252,
    which older Windows programs write. A file that is valid UTF-8 is read as
    UTF-8: Windows-1252 text with accents is almost never valid UTF-8."""
    _refuse_utf16(data, path)
    if data.startswith(codecs.BOM_UTF8):
        return decode_utf8(data, path)
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        pass
    try:
        return data.decode("cp1252")
    except UnicodeDecodeError as error:
        line = data.count(b"\n", 0, error.start) + 1
        raise InputError(
            _("%(where)s: neither UTF-8 nor Windows-1252 text (byte %(byte)s)")
            % {"where": at_line(path, line), "byte": f"0x{data[error.start]:02x}"}
        ) from None


# The markers of a document type declaration, in the encodings an XML file may
# start in. Entities declared there could expand a small file into gigabytes.
_DTD_MARKERS = tuple(
    marker.encode(encoding)
    for marker in ("<!DOCTYPE", "<!ENTITY")
    for encoding in ("ascii", "utf-16-le", "utf-16-be")
)


# Expat's errors for a document that stops before its end: no element, an
# unclosed token, a partial character, an unclosed CDATA section.
_CUT_SHORT = frozenset({3, 5, 6, 20})


def parse_xml(data: bytes, path: Path) -> ET.Element:
    """The document's root; a DTD or an entity declaration is refused, since
    no timetabling program writes one and entities can blow up when expanded."""
    if any(marker in data for marker in _DTD_MARKERS):
        raise InputError(
            _(
                "%(path)s: the XML has a document type declaration (<!DOCTYPE or <!ENTITY), "
                "which exports never have; refusing it"
            )
            % {"path": path}
        )
    try:
        return ET.fromstring(data)
    except ET.ParseError as error:
        line, column = error.position
        where = at_line(path, line)
        if error.code in _CUT_SHORT:
            message = _("%(where)s: the XML ends early (is the file cut short?)")
        else:
            # Expat's own words for what is wrong ("mismatched tag") stay as it says them.
            message = _("%(where)s: not well-formed XML (%(error)s, column %(column)s)")
        raise InputError(
            message % {"where": where, "error": str(error).split(":")[0], "column": column + 1}
        ) from None


class Skipped:
    """Rows left out of a reading, counted by reason, for one note."""

    def __init__(self, unit: str) -> None:
        self.unit = unit  # ROWS, ACTIVITIES or CARDS
        self.total = 0
        self._counts: Counter[str] = Counter()
        self._placeholders: dict[str, None] = {}

    def count(self) -> None:
        """One more row read, kept or not."""
        self.total += 1

    def skip(self, reason: str, placeholder: str = "") -> None:
        self._counts[reason] += 1
        if reason == PLACEHOLDER:
            self._placeholders.setdefault(placeholder)

    def placeholder(self, name: str) -> None:
        """A placeholder teacher left out of a lesson that keeps real teachers."""
        self._placeholders.setdefault(name)

    def note(self, source: Path) -> list[str]:
        """The one note for the reading, or none when nothing was left out."""
        names = ", ".join(map(repr, self._placeholders))
        parts = [
            _reason(reason, self._counts[reason], names)
            for reason in _REASONS
            if self._counts[reason]
        ]
        if not parts:
            if self._placeholders:
                return [
                    _("%(source)s: left placeholder teachers (%(names)s) out of their lessons")
                    % {"source": source, "names": names}
                ]
            return []
        left = sum(self._counts.values())
        # English says these alike for one and for many; other languages agree the
        # words with the count, hence ngettext.
        if self.unit == ACTIVITIES:
            text = ngettext(
                "%(source)s: left out %(left)s of %(total)s activities: %(reasons)s",
                "%(source)s: left out %(left)s of %(total)s activities: %(reasons)s",
                self.total,
            )
        elif self.unit == CARDS:
            text = ngettext(
                "%(source)s: left out %(left)s of %(total)s cards: %(reasons)s",
                "%(source)s: left out %(left)s of %(total)s cards: %(reasons)s",
                self.total,
            )
        else:
            text = ngettext(
                "%(source)s: left out %(left)s of %(total)s rows: %(reasons)s",
                "%(source)s: left out %(left)s of %(total)s rows: %(reasons)s",
                self.total,
            )
        # The reasons' separator is the language's own (" ; " in French, "؛ " in Arabic).
        reasons = _("; ").join(parts)
        return [text % {"source": source, "left": left, "total": self.total, "reasons": reasons}]


def _reason(reason: str, count: int, names: str) -> str:
    """One reason of the note with its count ("2 inactive")."""
    if reason == NO_TEACHER_OR_CLASS:
        text = ngettext(
            "%(count)s without a teacher or a class (room bookings)",
            "%(count)s without a teacher or a class (room bookings)",
            count,
        )
    elif reason == NO_CLASS:
        text = ngettext(
            "%(count)s without a class (duties, clubs, meetings)",
            "%(count)s without a class (duties, clubs, meetings)",
            count,
        )
    elif reason == NO_TEACHER:
        text = ngettext("%(count)s without a teacher", "%(count)s without a teacher", count)
    elif reason == PLACEHOLDER:
        text = ngettext(
            "%(count)s with a placeholder teacher (%(names)s)",
            "%(count)s with a placeholder teacher (%(names)s)",
            count,
        )
    elif reason == INACTIVE:
        text = ngettext("%(count)s inactive", "%(count)s inactive", count)
    elif reason == UNPLACED:
        text = ngettext(
            "%(count)s not placed in the timetable", "%(count)s not placed in the timetable", count
        )
    else:
        text = ngettext("%(count)s given in no week", "%(count)s given in no week", count)
    return text % {"count": count, "names": names}


def main_subjects(rows: Iterable[LessonRow]) -> dict[str, str]:
    """Each teacher's most taught subject: the one with the most lessons (a
    lesson given to several classes at once counts once), the first seen on a
    tie. Teachers with no subject in any lesson are not in the answer."""
    tallies: dict[str, dict[str, int]] = {}
    seen: set[tuple[str, str, str, str, int, str]] = set()
    for row in rows:
        if not row.subject:
            continue
        key = (row.teacher, row.subject, row.day, row.week, row.period, row.lesson_id)
        if key in seen:
            continue
        seen.add(key)
        counts = tallies.setdefault(row.teacher, {})
        counts[row.subject] = counts.get(row.subject, 0) + 1
    # max() keeps the first of equal counts, and a dict keeps first-seen order.
    return {teacher: max(counts, key=counts.__getitem__) for teacher, counts in tallies.items()}


def team_id(teachers: Sequence[str], lesson: str) -> str:
    """The lesson id its rows share when several teachers give it together,
    "" for a lesson given by one teacher (with one class or several)."""
    return lesson if len(set(teachers)) > 1 else ""


def placed_rows(
    teachers: Sequence[str],
    units: Sequence[str],
    periods: Sequence[int],
    *,
    day: str,
    room: str,
    lesson: str,
    week: str,
    subject: str,
    where: str,
) -> list[LessonRow]:
    """The rows of one placed lesson: every teacher with every class or group,
    in every period it takes (a double period is two), all sharing the lesson
    id when it is taught by a team."""
    check_rows(len(periods) * len(teachers) * len(units), where)
    for period in periods:
        period_in_range(period, where)
    lesson_id = team_id(teachers, lesson)
    return [
        LessonRow(teacher, period, unit, day, room, lesson_id, week, subject, where)
        for period in periods
        for teacher in teachers
        for unit in units
    ]


def unique_names(named: Sequence[tuple[str, str]]) -> dict[str, str]:
    """Code -> the name to show, for (code, full name) pairs with unique codes:
    the full name, or the code when there is none. Names two teachers would
    share get their codes added, "Anna Berg (BERA)", so that every name stays
    one person."""
    names = {code: name or code for code, name in named}
    counts = Counter(names.values())
    return {code: f"{name} ({code})" if counts[name] > 1 else name for code, name in names.items()}
