"""The desk's commands for a day: who is away (`absent`, `absences`, `back`),
the plan (`plan`), hand decisions on a lesson (`assign`, `nocover`,
`release`, `work`), and who could cover (`free`, `why`); with the plan's
status, its reasons and its free list as the terminal shows them.
"""

from __future__ import annotations

import argparse
import datetime

from rotavel_app.commands import plumbing
from rotavel_app.commands.desk_output import Command, Said, cell, csv_text, when, window_words
from rotavel_app.commands.plumbing import FORMATS
from rotavel_app.desk import publishing
from rotavel_app.desk.desk import AbsenceRecord, Desk, DeskError, FreeTeacher
from rotavel_app.messages import InputError
from rotavel_app.pages.formats import render_table
from rotavel_app.pages.terminal_table import aligned as _aligned
from rotavel_app.pages.wording import LIST_LIMIT, Shortened, plural
from rotavel_app.planning.plan import BY_HAND, Plan
from rotavel_app.school.day import parse_absence, parse_period, periods_text


def _absent(args: argparse.Namespace, desk: Desk) -> Said:
    first = args.from_date or plumbing.today()
    last = args.to or first
    names = desk.staff_names()
    entered = []
    for text in args.absence:
        absence = parse_absence(text, f"absence {text!r}", names)
        if not absence.name:
            raise DeskError(f"absence {text!r}: no teacher name given")
        entered.append((absence.name, first, last, absence.periods, absence.reason or ""))
    numbers, notes = desk.enter_absences(entered)
    # Absences merged into one are shown once, as the record now holds them.
    lines = [_absence_line(desk.absence(number)) for number in dict.fromkeys(numbers)]
    return Said("\n".join(lines) + "\n", notes + _republish_notes(args, desk, first, last))


def _republish_notes(
    args: argparse.Namespace, desk: Desk, first: datetime.date, last: datetime.date
) -> list[str]:
    return [
        f"{when(day)} is published; plan it again with: rotavel plan {args.folder} "
        f"--date {day} --publish"
        for day in desk.published_days(first, last)
    ]


def _absence_line(absence: AbsenceRecord) -> str:
    days = when(absence.first)
    if absence.last != absence.first:
        days += f" to {when(absence.last)}"
    periods = ""
    if absence.periods is not None:
        periods = ", period" + ("s " if len(absence.periods) > 1 else " ")
        periods += periods_text(absence.periods)
    reason = f": {absence.reason}" if absence.reason else ""
    return f"Absence #{absence.id}: {absence.name}, {days}{periods}{reason}"


def _absences(args: argparse.Namespace, desk: Desk) -> Said:
    first = args.from_date or args.date or plumbing.today()
    last = args.to or args.date or first
    absences = desk.absences(first, last)
    span = when(first) + ("" if last == first else f" to {when(last)}")
    if not absences:
        return Said(f"No absences in the record for {span}.\n")
    rows = [
        (
            f"#{a.id}",
            a.name,
            a.first.isoformat(),
            a.last.isoformat(),
            "all day" if a.periods is None else periods_text(a.periods),
            a.reason,
        )
        for a in absences
    ]
    header = ("Number", "Teacher", "From", "To", "Periods", "Reason")
    return Said("\n".join([f"Absences, {span}:", "", *_aligned(header, rows)]) + "\n")


def _back(args: argparse.Namespace, desk: Desk) -> Said:
    back = args.date or plumbing.today()
    absence = desk.absence(args.number)
    if back <= absence.first:
        desk.cancel_absence(args.number)
        said = f"Absence #{absence.id} of {absence.name} is cancelled."
    else:
        ends = back - datetime.timedelta(1)
        if ends > absence.last:
            raise DeskError(
                f"absence #{absence.id} of {absence.name} already ends on {when(absence.last)}"
            )
        desk.end_absence(args.number, ends)
        said = f"Absence #{absence.id} of {absence.name} now ends on {when(ends)}."
    # Published days the absence no longer covers need planning again.
    return Said(said + "\n", _republish_notes(args, desk, back, absence.last))


def _plan(args: argparse.Namespace, desk: Desk) -> Said:
    date = args.date or plumbing.today()
    if args.day is not None and args.publish:
        raise DeskError(
            f"--day {args.day!r} is for looking: the record keeps a plan by date, so publish "
            "the date's own day (--date without --day)"
        )
    plan = desk.publish(date, by="command") if args.publish else desk.plan(date, args.day)
    notes = list(plan.day.notes)
    if args.publish:
        notes += _mail_notes(desk)
    if args.format in PEOPLE_SEE and not args.publish:
        # What people are shown is the day as published, never the draft.
        published = desk.published_plan(date)
        if published is not None:
            changes = desk.changes(date, plan)
            if changes:
                notes.append(
                    f"the {args.format} shows the day as published; "
                    f"{plural(len(changes), 'change')} since: publish with "
                    f"rotavel plan {args.folder} --date {date} --publish"
                )
            plan = published
    if args.format != "table":
        if args.format == "slips":
            return Said(_slips(desk, plan, args.changes), notes)
        if args.format == "html" and plan.day.date is not None:
            from rotavel_app.pages.board import render_board as board

            told = desk.published_lessons(date)
            changed = publishing.changed_keys((k, r) for k, (_, r) in told.items())
            return Said(board(plan, changed), notes)
        return Said(FORMATS[args.format].render(plan), notes)
    if args.day is not None:
        status = f"Not published: {plan.day.day} on {date}, chosen with --day, is for looking.\n"
    else:
        status = _status(desk, plan, args)
    text = (
        render_table(plan)
        + _why_section(plan)
        + _free_section(desk.free(date, plan))
        + "\n"
        + status
    )
    return Said(text, notes)


# The formats made for people other than the cover manager: they show the day as published.
PEOPLE_SEE = ("html", "slips", "gpu014")


def _slips(desk: Desk, plan: Plan, changes_only: bool) -> str:
    """The slips, with the set work; with `changes_only`, of the covers changed
    after the day's first publication alone (to print the changes)."""
    from rotavel_app.pages.slips import slips_context
    from rotavel_app.pages.webpage import render_page

    date = plan.day.date
    assert date is not None
    told = desk.published_lessons(date)
    work = {key: shown.work for key, (shown, _) in told.items()} or desk.work(date)
    only = publishing.changed_keys((k, r) for k, (_, r) in told.items()) if changes_only else None
    return render_page("slips.html", **slips_context(plan, work, only))


def _mail_notes(desk: Desk) -> list[str]:
    """Sends the e-mail a publish queued; a failure is a note, never a failed publish."""
    if desk.settings.mail is None:
        return []
    from rotavel_app.desk import mail  # smtplib and ssl: only for a school that sends e-mail

    delivery = mail.deliver(desk)
    notes = [f"e-mail not sent (tried again at the next publish): {f}" for f in delivery.failed]
    if delivery.sent:
        notes.append(f"sent {plural(delivery.sent, 'e-mail')}")
    return notes


def _why_section(plan: Plan) -> str:
    """Why each substitute: one line a cover, the planner's reason."""
    lines = [
        cell(
            f"  Period {a.lesson.period}, {a.lesson.class_label} ({a.lesson.teacher}): "
            f"{a.substitute}: {a.why}"
        )
        for a in plan.covers
        if a.why
    ]
    return "\n".join(["", "Why each substitute:", *lines]) + "\n" if lines else ""


def _status(desk: Desk, plan: Plan, args: argparse.Namespace) -> str:
    date = plan.day.date
    assert date is not None
    publication = desk.publication(date)
    again = f"rotavel plan {args.folder} --date {date} --publish"
    if publication is None:
        return f"Not published: {again}\n"
    at, revision = publication
    changes = desk.changes(date, plan)
    published = f"Published {at} (revision {revision})"
    if args.publish or not changes:
        return f"{published}.\n"
    lines = [f"{published}; {plural(len(changes), 'change')} since publishing: {again}"]
    lines += [f"  {cell(change.text)}" for change in changes]
    return "\n".join(lines) + "\n"


def _free_section(free: dict[int, list[FreeTeacher]]) -> str:
    lines = ["", "Free once this plan is made (as the plan asks them; covers today/in the window):"]
    for period, teachers in free.items():
        names = Shortened.of(
            [
                cell(f"{t.name} {t.covers_today}/{t.covers_in_window}")
                + (f" ({t.note})" if t.note else "")
                for t in teachers
            ],
            LIST_LIMIT,
        )
        lines.append(f"  Period {period}: {names.joined() if len(names) else 'nobody'}")
    return "\n".join(lines) + "\n"


def _lesson(text: str) -> tuple[str, int]:
    """TEACHER@PERIOD; a name may itself hold "@", the period follows the last."""
    name, at, period = text.rpartition("@")
    if not at or not name.strip():
        raise DeskError(f"--lesson {text!r} should be TEACHER@PERIOD, e.g. 'Asha Rao@3'")
    try:
        return name.strip(), parse_period(period.strip(), f"--lesson {text!r}")
    except InputError as error:
        raise DeskError(str(error)) from None


def _assign(args: argparse.Namespace, desk: Desk) -> Said:
    date = args.date or plumbing.today()
    teacher, period = _lesson(args.lesson)
    desk.assign(date, teacher, period, args.to)
    record = _recorded_classes(desk, date, teacher, period)
    return Said(
        f"{args.to} covers {teacher}'s {record} in period {period}, {when(date)} ({BY_HAND}).\n"
    )


def _recorded_classes(desk: Desk, date: datetime.date, teacher: str, period: int) -> str:
    return next(
        r.classes for r in desk.recorded(date) if (r.teacher, r.period) == (teacher, period)
    )


def _nocover(args: argparse.Namespace, desk: Desk) -> Said:
    date = args.date or plumbing.today()
    teacher, period = _lesson(args.lesson)
    desk.no_cover(date, teacher, period)
    record = _recorded_classes(desk, date, teacher, period)
    return Said(f"{teacher}'s {record} in period {period}, {when(date)}: no cover needed.\n")


def _release(args: argparse.Namespace, desk: Desk) -> Said:
    date = args.date or plumbing.today()
    teacher, period = _lesson(args.lesson)
    record = desk.release(date, teacher, period)
    what = f"{teacher}'s {record.classes} in period {period}, {when(date)}"
    if record.substitute is None:
        said = f"{what} needs cover again"
    else:
        said = f"{record.substitute} no longer covers {what}"
    return Said(f"{said}; the next plan covers it.\n")


def _free(args: argparse.Namespace, desk: Desk) -> Said:
    date = args.date or plumbing.today()
    plan = desk.plan(date)
    lesson = None
    if args.lesson is not None:
        lesson = _lesson(args.lesson)
        free = {lesson[1]: desk.suggestions(date, *lesson, plan=plan)}
    else:
        free = desk.free(date, plan)
    rows = [
        (
            str(period),
            t.name,
            t.subject,
            str(t.covers_today),
            str(t.covers_in_window),
            str(t.load),
            ("asked first" + (f"; {t.note}" if t.note else "")) if t.first else t.note,
        )
        for period, teachers in free.items()
        for t in teachers
    ]
    header = ("Period", "Teacher", "Subject", "Today", "Window", "Load", "Note")
    if args.format == "csv":
        return Said(
            csv_text(
                (
                    "period",
                    "teacher",
                    "subject",
                    "covers_today",
                    "covers_in_window",
                    "load",
                    "note",
                ),
                rows,
            )
        )
    start = desk.window_start(date)
    title = f"Free teachers: {cell(desk.school_name)}, {when(date)}"
    window = f"Covers in the window: from {when(start)} ({window_words(desk.settings)})"
    lines = [title, window]
    if lesson is not None:
        lines.append(
            cell(f"For {lesson[0]}'s lesson in period {lesson[1]}, in the order the plan asks")
        )
    lines.append("")
    lines += _aligned(header, rows, right={0, 3, 4, 5}) if rows else ["Nobody is free."]
    if lesson is None:
        lines.append(_why_section(plan).rstrip("\n"))
    return Said("\n".join(lines) + "\n")


def _why(args: argparse.Namespace, desk: Desk) -> Said:
    date = args.date or plumbing.today()
    why = desk.why(date, args.name)
    share = float(why.fair_share)
    lines = [
        cell(f"Why {why.name}? {desk.school_name}, {when(date)}"),
        "",
        f"Covers in the window (from {when(why.window_start)}): {why.covers_in_window}; "
        f"fair share {share:.1f}"
        + (
            f" (in {why.days_in.numerator} days of {why.days_in.denominator})"
            if why.days_in != 1
            else ""
        )
        + ".",
        "Caps: "
        + ("none" if why.cap_left is None else f"{plural(why.cap_left, 'cover')} left today")
        + (f"; {', '.join(why.flags)}" if why.flags else "")
        + ".",
        "",
    ]
    if why.today:
        lines.append(f"Covers on {when(date)}:")
        lines += [
            cell(
                f"  Period {a.lesson.period}, {a.lesson.class_label} for {a.lesson.teacher}: "
                f"{a.why or a.how}"
            )
            for a in why.today
        ]
    else:
        lines.append(f"No cover on {when(date)}.")
    if why.earlier:
        lines += ["", "Earlier in the window:"]
        lines += [
            cell(f"  {day}, period {period}, {classes} for {teacher} ({how})")
            for day, teacher, period, classes, how in why.earlier
        ]
    return Said("\n".join(lines) + "\n")


def _work(args: argparse.Namespace, desk: Desk) -> Said:
    date = args.date or plumbing.today()
    teacher, period = _lesson(args.lesson)
    desk.set_work(date, teacher, period, args.work)
    what = f"{teacher}'s lesson in period {period}, {when(date)}"
    said = (
        f"Set work for {what}: {args.work.strip()}"
        if args.work.strip()
        else f"No set work for {what}"
    )
    notes = (
        []
        if desk.publication(date) is None
        else [f"{when(date)} is published; publish it again to tell the substitute"]
    )
    return Said(said + "\n", notes)


RUNS: dict[str, Command] = {
    "absent": _absent,
    "absences": _absences,
    "back": _back,
    "plan": _plan,
    "assign": _assign,
    "nocover": _nocover,
    "release": _release,
    "free": _free,
    "why": _why,
    "work": _work,
}
