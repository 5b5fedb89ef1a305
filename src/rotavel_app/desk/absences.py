"""Absences in the record: entered as a date range (once for a multi-day
absence), merged into those of the same teacher they overlap, ended or
cancelled; and the school's day with the record's absences applied."""

from __future__ import annotations

import datetime
from collections.abc import Iterable
from dataclasses import dataclass, replace
from typing import TYPE_CHECKING

from rotavel_app.desk import school
from rotavel_app.desk.record import DeskError, day_text, now, numbers, read_numbers, where
from rotavel_app.language import _, ngettext
from rotavel_app.messages import InputError, shown
from rotavel_app.school.calendar import school_periods
from rotavel_app.school.day import (
    Absence,
    DayWanted,
    SchoolDay,
    apply_absences,
    check_periods,
    choose_day,
)

if TYPE_CHECKING:
    from typing import Any

    from rotavel_app.desk.record import Record

# An absence as entered: teacher, first and last day, periods (None: whole days), reason.
Entered = tuple[str, datetime.date, datetime.date, frozenset[int] | None, str]


@dataclass(frozen=True)
class AbsenceRecord:
    id: int
    name: str
    first: datetime.date
    last: datetime.date
    periods: frozenset[int] | None  # None for the whole day
    reason: str


def day(desk: Record, date: datetime.date, timetable_day: str | None = None) -> SchoolDay:
    """The day `date` with the record's absences applied (on the timetable's
    `timetable_day` when given, for looking at a day of a school whose days
    the calendar cannot tell); inside the caller's transaction."""
    try:
        # The record is kept by date: no --day chooses another, so no refusal offers one.
        wanted = DayWanted(day=timetable_day, date=date, offers_day=False)
        chosen = choose_day(school.week(desk), wanted, desk.settings)
    except InputError as error:
        raise DeskError(str(error)) from None
    notes = list(chosen.notes)
    absences = []
    left_out: set[str] = set()
    for entry in between(desk, date, date):
        if entry.name not in chosen.staff:
            if entry.name not in left_out:
                left_out.add(entry.name)
                notes.append(
                    _("absence #%(number)s of %(name)s left out: not in %(file)s")
                    % {"number": entry.id, "name": shown(entry.name), "file": chosen.teacher_file}
                )
            continue
        absences.append(
            Absence(
                entry.name,
                entry.reason or None,
                _("absence #%(number)s") % {"number": entry.id},
                entry.periods,
            )
        )
    # Absences on one day add up, as the command's own options do. Periods a
    # changed timetable no longer has were checked when entered: not again.
    periods = chosen.school_periods
    chosen = apply_absences(replace(chosen, school_periods=None), absences)
    return replace(chosen, notes=tuple(notes), school_periods=periods)


def enter(desk: Record, absences: Iterable[Entered]) -> tuple[list[int], list[str]]:
    """Enter absences, all or none; their numbers, and what is worth telling."""
    absences = list(absences)
    calendar = school.calendar(desk)
    periods_of_day = school_periods(school.week(desk), desk.settings)
    notes = []
    for name, first, last, periods, _reason in absences:
        school.known(desk, name)
        if last < first:
            raise DeskError(
                _("the absence of %(name)s ends (%(last)s) before it starts (%(first)s)")
                % {"name": shown(name), "last": last, "first": first}
            )
        if periods is not None and not periods:
            raise DeskError(_("the absence of %(name)s names no period") % {"name": shown(name)})
        try:
            check_periods(
                periods, periods_of_day, _("the absence of %(name)s") % {"name": shown(name)}
            )
        except InputError as error:
            raise DeskError(str(error)) from None
        days = calendar.school_days(first, last)
        if first == last and not days:
            problem = calendar.refusal(
                first,
                _("the absence of %(name)s on %(date)s") % {"name": shown(name), "date": first},
                day_hint=False,
            )
            assert problem is not None
            raise DeskError(problem)
        if not days:
            raise DeskError(
                _(
                    "the absence of %(name)s from %(first)s to %(last)s has no school day "
                    "(the school days are %(days)s)"
                )
                % {"name": shown(name), "first": first, "last": last, "days": calendar.days_text()}
            )
        if len(days) <= (last - first).days:
            notes.append(
                ngettext(
                    "the absence of %(name)s from %(first)s to %(last)s counts its "
                    "%(count)s school day only",
                    "the absence of %(name)s from %(first)s to %(last)s counts its "
                    "%(count)s school days only",
                    len(days),
                )
                % {"name": shown(name), "first": first, "last": last, "count": len(days)}
            )
    entered = []
    with desk.writing():
        for absence in absences:
            number, merged, apart = _enter(desk, *absence)
            entered.append(number)
            who = shown(absence[0])
            if merged:
                notes.append(
                    _("the absence of %(name)s is merged into absence #%(number)s")
                    % {"name": who, "number": number}
                )
            if apart:
                notes.append(
                    _(
                        "absence #%(number)s of %(name)s overlaps %(others)s with other "
                        "periods; on the days they share, the periods of both are away"
                    )
                    % {
                        "number": number,
                        "name": who,
                        "others": ", ".join(f"#{n}" for n in apart),
                    }
                )
    return entered, notes


def _enter(
    desk: Record,
    name: str,
    first: datetime.date,
    last: datetime.date,
    periods: frozenset[int] | None,
    reason: str,
) -> tuple[int, bool, list[int]]:
    """Record one absence, merged into those of the teacher it overlaps;
    its number, whether it was merged, and the numbers of those it
    overlaps but cannot be one with (other periods over other days)."""
    db = desk.connection
    rows = db.execute(
        "SELECT id, teacher, first_day, last_day, periods, reason FROM absence "
        "WHERE teacher = ? AND first_day <= ? AND last_day >= ? ORDER BY id",
        (name, day_text(last), day_text(first)),
    ).fetchall()
    entered = AbsenceRecord(0, name, first, last, periods, reason)
    target: int | None = None
    apart = []
    for row in rows:
        recorded = _absence_record(row)
        combined = _combined(entered, recorded)
        if combined is None:
            # Other periods over other days: two absences, adding up on the days they share.
            apart.append(recorded)
            continue
        entered = combined
        if target is None:
            target = recorded.id
        else:
            db.execute("DELETE FROM absence WHERE id = ?", (recorded.id,))
    values = (
        day_text(entered.first),
        day_text(entered.last),
        numbers(entered.periods),
        entered.reason,
    )
    if target is not None:
        db.execute(
            "UPDATE absence SET first_day = ?, last_day = ?, periods = ?, reason = ? WHERE id = ?",
            (*values, target),
        )
        return target, True, [r.id for r in apart]
    cursor = db.execute(
        "INSERT INTO absence (teacher, first_day, last_day, periods, reason, entered_at) "
        "VALUES (?, ?, ?, ?, ?, ?)",
        (name, *values, now()),
    )
    assert cursor.lastrowid is not None
    return cursor.lastrowid, False, [r.id for r in apart]


def end(desk: Record, absence_id: int, last: datetime.date) -> None:
    """Make `last` the absence's last day (shorter or longer)."""
    with desk.writing():
        absence = one(desk, absence_id)
        if last < absence.first:
            raise DeskError(
                _(
                    "absence #%(number)s starts on %(first)s; it cannot end on %(last)s (cancel it instead)"
                )
                % {"number": absence_id, "first": absence.first, "last": last}
            )
        desk.connection.execute(
            "UPDATE absence SET last_day = ? WHERE id = ?", (day_text(last), absence_id)
        )


def cancel(desk: Record, absence_id: int) -> None:
    with desk.writing():
        one(desk, absence_id)
        desk.connection.execute("DELETE FROM absence WHERE id = ?", (absence_id,))


def one(desk: Record, absence_id: int) -> AbsenceRecord:
    """The absence numbered `absence_id`, inside the caller's transaction."""
    row = desk.connection.execute(
        "SELECT id, teacher, first_day, last_day, periods, reason FROM absence WHERE id = ?",
        (absence_id,),
    ).fetchone()
    if row is None:
        raise DeskError(
            _("no absence #%(number)s in %(record)s")
            % {"number": absence_id, "record": where(desk)}
        )
    return _absence_record(row)


def between(desk: Record, first: datetime.date, last: datetime.date) -> list[AbsenceRecord]:
    """Every absence with a day from `first` to `last`, in the order entered;
    inside the caller's transaction."""
    rows = desk.connection.execute(
        "SELECT id, teacher, first_day, last_day, periods, reason FROM absence "
        "WHERE first_day <= ? AND last_day >= ? ORDER BY id",
        (day_text(last), day_text(first)),
    )
    return [_absence_record(row) for row in rows]


def _within(inner: frozenset[int] | None, outer: frozenset[int] | None) -> bool:
    return outer is None or (inner is not None and inner <= outer)


def _combined(new: AbsenceRecord, old: AbsenceRecord) -> AbsenceRecord | None:
    """One absence for two of a teacher that overlap, or None when they are
    two different things (other periods over other days)."""
    reason = "; ".join(dict.fromkeys(r for r in (old.reason, new.reason) if r))
    if (new.first, new.last) == (old.first, old.last):
        periods = None if new.periods is None or old.periods is None else new.periods | old.periods
        return replace(old, periods=periods, reason=reason)
    if new.periods == old.periods:
        return replace(
            old, first=min(new.first, old.first), last=max(new.last, old.last), reason=reason
        )
    if old.first <= new.first and new.last <= old.last and _within(new.periods, old.periods):
        return replace(old, reason=reason)
    if new.first <= old.first and old.last <= new.last and _within(old.periods, new.periods):
        return replace(new, id=old.id, reason=reason)
    return None


def _absence_record(row: tuple[Any, ...]) -> AbsenceRecord:
    number, teacher, first, last, periods, reason = row
    return AbsenceRecord(
        number,
        teacher,
        datetime.date.fromisoformat(first),
        datetime.date.fromisoformat(last),
        read_numbers(periods),
        reason,
    )
