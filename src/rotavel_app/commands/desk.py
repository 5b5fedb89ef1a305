"""The cover desk's commands: `rotavel absent`, `plan`, `assign`, `free`, ...

Each works on a school folder and its record (`FOLDER/rotavel.db`, or
`--db`). They are made for the cover manager's morning: enter who is away,
look at the plan, change what needs changing by hand, publish; and later,
see who has covered how much. A refused action or a bad input is one line
on standard error and exit status 2, and changes nothing.
"""

from __future__ import annotations

import argparse
import csv
import datetime
import io
import sys
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

from rotavel_app.commands import plumbing
from rotavel_app.commands.plumbing import (
    DESK_COMMANDS,
    FORMATS,
    ExitStatus,
    Formatter,
    Parser,
    check_utf8,
    date_option,
)
from rotavel_app.desk import publishing
from rotavel_app.desk.desk import AbsenceRecord, Desk, DeskError, FreeTeacher, StaffRule
from rotavel_app.files import plain_path
from rotavel_app.language import _, date_text, ngettext, use
from rotavel_app.messages import InputError
from rotavel_app.output import write_file, write_stdout
from rotavel_app.pages.formats import render_table, spreadsheet_safe
from rotavel_app.pages.terminal import escape_controls
from rotavel_app.pages.terminal_table import aligned as _aligned
from rotavel_app.pages.wording import LIST_LIMIT, Shortened, plural
from rotavel_app.planning.plan import BY_HAND, Plan
from rotavel_app.school.day import parse_absence, parse_period, periods_text
from rotavel_app.school.settings import Settings
from rotavel_app.school.weekdays import WEEKDAYS, weekday_of

if TYPE_CHECKING:
    from typing import Any


@dataclass
class Said:
    """What a command has to say: its output, and notes for standard error."""

    text: str
    notes: list[str] = field(default_factory=list)


def when(date: datetime.date) -> str:
    """A date as people write it: "Tuesday 10 March 2026"."""
    return date_text(date)


# -- the commands ----------------------------------------------------------------


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
        _cell(
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
    lines += [f"  {_cell(change.text)}" for change in changes]
    return "\n".join(lines) + "\n"


def _free_section(free: dict[int, list[FreeTeacher]]) -> str:
    lines = ["", "Free once this plan is made (as the plan asks them; covers today/in the window):"]
    for period, teachers in free.items():
        names = Shortened.of(
            [
                _cell(f"{t.name} {t.covers_today}/{t.covers_in_window}")
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
            _csv(
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
    title = f"Free teachers: {_cell(desk.school_name)}, {when(date)}"
    window = f"Covers in the window: from {when(start)} ({window_words(desk.settings)})"
    lines = [title, window]
    if lesson is not None:
        lines.append(
            _cell(f"For {lesson[0]}'s lesson in period {lesson[1]}, in the order the plan asks")
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
        _cell(f"Why {why.name}? {desk.school_name}, {when(date)}"),
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
            _cell(
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
            _cell(f"  {day}, period {period}, {classes} for {teacher} ({how})")
            for day, teacher, period, classes, how in why.earlier
        ]
    return Said("\n".join(lines) + "\n")


def _history(args: argparse.Namespace, desk: Desk) -> Said:
    last = args.to or plumbing.today()
    first = args.from_date or desk.window_start(last)
    counts = desk.history(first, last)
    if first == last:
        span = when(first)
    else:
        span = _("%(first)s to %(last)s") % {"first": when(first), "last": when(last)}
    if args.publications:
        return Said(_publications(desk, first, last, span))
    title = _("Covers per teacher: %(school)s, %(span)s") % {
        "school": desk.school_name,
        "span": span,
    }
    if args.format == "csv":
        return Said(_csv(("teacher", "covers"), [(n, str(c)) for n, c in counts]))
    if args.format == "html":
        return Said(history_page(title, counts))
    lines = [_cell(title), ""]
    lines += _aligned((_("Teacher"), _("Covers")), [(n, str(c)) for n, c in counts], right={1})
    lines += ["", _history_summary(counts)]
    return Said("\n".join(lines) + "\n")


def _publications(desk: Desk, first: datetime.date, last: datetime.date, span: str) -> str:
    """Every publish of the range: revision, when, by whom, and what it changed."""
    done = desk.publications(first, last)
    lines = [_cell(f"Publications: {desk.school_name}, {span}"), ""]
    if not done:
        return "\n".join(lines + ["Nothing published."]) + "\n"
    for p in done:
        by = f" by {p.by}" if p.by else ""
        head = f"{when(p.date)}, revision {p.revision}: published {p.at}{by}"
        lines.append(_cell(head) + ("" if p.revision > 1 else " (the first publication)"))
        lines += [f"  {_cell(text)}" for text in p.changes]
        if p.revision > 1 and not p.changes:
            lines.append("  (no change recorded)")
    return "\n".join(lines) + "\n"


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


def _link(args: argparse.Namespace, desk: Desk) -> Said:
    token = desk.personal_link(args.name, renew=args.renew)
    base = desk.settings.base_url
    if base is None:
        address = f"/my/{token} (set base_url in rotavel.toml for the whole address)"
    else:
        address = f"{base}/my/{token}"
    feed = f"{base or ''}/my/{token}/calendar.ics"
    renewed = "new personal link (the old one opens nothing now)" if args.renew else "personal link"
    return Said(f"{args.name}'s {renewed}: {address}\nCalendar feed: {feed}\n")


def _send(args: argparse.Namespace, desk: Desk) -> Said:
    if desk.settings.mail is None:
        raise DeskError(f"{args.folder}: no [mail] in rotavel.toml; nothing is sent")
    from rotavel_app.desk import mail

    delivery = mail.deliver(desk)
    lines = [f"Sent {plural(delivery.sent, 'e-mail')}."]
    lines += [f"Not sent: {_cell(f)}" for f in delivery.failed]
    return Said("\n".join(lines) + "\n")


def _staff(args: argparse.Namespace, desk: Desk) -> Said:
    changes: dict[str, Any] = {}
    for key in ("never", "last_resort", "cap_day", "cap_week", "days"):
        value = getattr(args, key)
        if value is not None:
            changes[key] = None if value == "none" else value
    if args.name is None:
        if changes or args.clear:
            raise DeskError("name the teacher whose rule to change")
        return Said(_rules_table(desk))
    if args.clear:
        if changes:
            raise DeskError("--clear takes no other option")
        desk.clear_staff_rule(args.name)
        return Said(f"{args.name}: no rule of their own.\n")
    rule = (
        desk.set_staff_rule(args.name, **changes)
        if changes
        else desk.staff_rules().get(args.name, StaffRule())
    )
    return Said(f"{args.name}: {_rule_text(rule)}.\n")


def _rule_text(rule: StaffRule) -> str:
    parts = []
    if rule.never:
        parts.append("never covers")
    if rule.last_resort:
        parts.append("last resort")
    if rule.cap_day is not None:
        parts.append(f"at most {plural(rule.cap_day, 'cover')} a day")
    if rule.cap_week is not None:
        parts.append(f"at most {plural(rule.cap_week, 'cover')} a week")
    if rule.days is not None:
        parts.append(
            "covers only on " + (", ".join(WEEKDAYS[d] for d in sorted(rule.days)) or "no day")
        )
    return "; ".join(parts) or "no rule of their own"


def window_words(settings: Settings) -> str:
    """The window for fair shares in words: "the last 20 school days"."""
    if settings.window == "week":
        return "the calendar week"
    if settings.window == "cycle":
        return f"the last {plural(settings.cycle_days, 'school day')}"
    return f"the term (from {settings.term_start})"


def _rules_table(desk: Desk) -> str:
    settings = desk.settings
    caps = [
        f"at most {plural(cap, 'cover')} a {span}"
        for cap, span in ((settings.cap_day, "day"), (settings.cap_week, "week"))
        if cap is not None
    ]
    lines = [
        f"School: {', '.join(caps) or 'no cap'}; fair shares over {window_words(settings)}, "
        f"the subject kept within {plural(settings.margin, 'cover')} of the fewest."
    ]
    rules = desk.staff_rules()
    if not rules:
        return "\n".join([*lines, "No teacher has a rule of their own."]) + "\n"
    lines += ["", *_aligned(("Teacher", "Rule"), [(n, _rule_text(r)) for n, r in rules.items()])]
    return "\n".join(lines) + "\n"


def _export(args: argparse.Namespace, desk: Desk) -> Said:
    paths = desk.export_csv(args.folder_out)
    return Said("".join(f"{path}\n" for path in paths))


def _backup(args: argparse.Namespace, desk: Desk) -> Said:
    desk.backup(args.file)
    return Said(f"The record is backed up into {args.file}.\n")


def _restore(args: argparse.Namespace, desk: Desk) -> Said:
    desk.restore(args.file)
    return Said(f"The record is restored from {args.file}.\n")


# -- outputs -----------------------------------------------------------------------


def _cell(text: str) -> str:
    return escape_controls(text)


def _csv(header: Sequence[str], rows: Sequence[Sequence[str]]) -> str:
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(header)
    writer.writerows([spreadsheet_safe(cell) for cell in row] for row in rows)
    return out.getvalue()


def history_page(title: str, counts: Sequence[tuple[str, int]]) -> str:
    """Covers per teacher as a page: the web desk's chart and table, on the pages' skeleton."""
    from rotavel_app.pages.chart import bar_chart
    from rotavel_app.pages.webpage import render_page

    return render_page(
        "history.html",
        kind="desk",
        refresh=0,
        title=title,
        summary=_history_summary(counts),
        counts=counts,
        chart=bar_chart(counts),
    )


def _history_summary(counts: Sequence[tuple[str, int]]) -> str:
    total = sum(c for _, c in counts)
    covering = sum(1 for _, c in counts if c)
    return _("%(covers)s in all, by %(teachers)s.") % {
        "covers": ngettext("%(n)s cover", "%(n)s covers", total) % {"n": total},
        "teachers": ngettext("%(n)s teacher", "%(n)s teachers", covering) % {"n": covering},
    }


# -- the parser --------------------------------------------------------------------


def _cap(text: str) -> int | str:
    if text.lower() == "none":
        return "none"
    if text.isascii() and text.isdigit() and len(text) <= 9:
        return int(text)
    raise argparse.ArgumentTypeError(f"{text!r} is not a whole number (or none)")


def _absence_number(text: str) -> int:
    # SQLite's integers are 64-bit: a larger number is no absence's, not an error of its own.
    if text.isascii() and text.isdigit() and len(text) <= 18:
        return int(text)
    raise argparse.ArgumentTypeError(f"{text!r} is not an absence's number")


def _days(text: str) -> frozenset[int] | str:
    if text.lower() in ("all", "none"):
        return "none"  # no restriction: every day
    days = set()
    for part in text.replace(";", ",").split(","):
        day = weekday_of(part.strip())
        if day is None:
            raise argparse.ArgumentTypeError(f"{part.strip()!r} is not a weekday")
        days.add(day)
    return frozenset(days)


# Each of the desk's commands NAME is run by this module's _NAME.
Command = Callable[[argparse.Namespace, Desk], Said]
RUNS: dict[str, Command] = {name: globals()[f"_{name}"] for name in DESK_COMMANDS}


def _parser() -> argparse.ArgumentParser:
    parser = Parser(
        prog="rotavel",
        description="The cover desk: a school's record of absences and covers "
        "(FOLDER/rotavel.db unless --db says).",
        formatter_class=Formatter,
    )
    commands = parser.add_subparsers(
        dest="command", required=True, metavar="COMMAND", parser_class=Parser
    )
    sub = {}
    for name, command_is in DESK_COMMANDS.items():
        sub[name] = command = commands.add_parser(
            name, help=command_is.help, description=command_is.help, formatter_class=Formatter
        )
        command.set_defaults(output=None)  # standard output, unless the command has -o
        command.add_argument("folder", type=plain_path, metavar="FOLDER", help="the school folder")
        command.add_argument(
            "--db",
            type=plain_path,
            metavar="FILE",
            help="the record's file (default: FOLDER/rotavel.db)",
        )
    sub["why"].add_argument("name", metavar="NAME", help="the teacher")
    sub["free"].add_argument(
        "--lesson",
        metavar="TEACHER@PERIOD",
        help="only whom the plan would ask for this absent lesson, e.g. 'Asha Rao@3'",
    )
    for name in ("plan", "assign", "nocover", "release", "free", "why", "work"):
        sub[name].add_argument(
            "--date", type=date_option, metavar="YYYY-MM-DD", help="the day (default: today)"
        )
    for name in ("absences", "back"):
        sub[name].add_argument(
            "--date",
            type=date_option,
            metavar="YYYY-MM-DD",
            help="the day (default: today)"
            if name == "absences"
            else "the first day back (default: today); on the absence's first day it is cancelled",
        )
    for name in ("absent", "absences", "history"):
        # For one day's absence, --date reads as naturally as --from.
        sub[name].add_argument(
            "--from",
            *(("--date",) if name == "absent" else ()),
            dest="from_date",
            type=date_option,
            metavar="YYYY-MM-DD",
            help="the first day (default: today; for history, the start of the window)",
        )
        sub[name].add_argument(
            "--to",
            type=date_option,
            metavar="YYYY-MM-DD",
            help="the last day, included (default: the first day; for history, today)",
        )
    sub["absent"].add_argument(
        "absence",
        nargs="+",
        metavar="NAME[@PERIODS][:REASON]",
        help="who is away, e.g. 'Asha Rao', 'Tom Baker@1-2:Dentist'",
    )
    sub["back"].add_argument(
        "number", type=_absence_number, metavar="N", help="the absence's number"
    )
    sub["backup"].add_argument("file", type=plain_path, metavar="FILE", help="the backup's file")
    sub["restore"].add_argument(
        "file", type=plain_path, metavar="FILE", help="a backup made by rotavel backup"
    )
    sub["plan"].add_argument(
        "--day",
        metavar="DAY",
        help="plan the date on this day of the timetable, e.g. 'Day 3' (for looking; "
        "not with --publish)",
    )
    sub["plan"].add_argument(
        "--publish",
        action="store_true",
        help="store the plan in the record (what is published stays when the day is planned again)",
    )
    for name, formats in (
        ("plan", tuple(FORMATS)),
        ("free", ("table", "csv")),
        ("history", ("table", "csv", "html")),
    ):
        sub[name].add_argument(
            "-f",
            "--format",
            choices=formats,
            default="table",
            metavar="FORMAT",
            help=f"how it is shown: {', '.join(formats)} (default: table)",
        )
        sub[name].add_argument(
            "-o",
            "--output",
            type=plain_path,
            metavar="FILE",
            help="write to FILE instead of standard output",
        )
    for name in ("assign", "nocover", "release", "work"):
        sub[name].add_argument(
            "--lesson",
            required=True,
            metavar="TEACHER@PERIOD",
            help="the absent teacher's lesson, e.g. 'Asha Rao@3'",
        )
    sub["assign"].add_argument("--to", required=True, metavar="NAME", help="the substitute")
    sub["work"].add_argument("work", metavar="TEXT", help="a short text or a link ('' for none)")
    sub["link"].add_argument("name", metavar="NAME", help="the teacher")
    sub["link"].add_argument(
        "--renew", action="store_true", help="make a new link; the old one opens nothing"
    )
    sub["plan"].add_argument(
        "--changes",
        action="store_true",
        help="with -f slips: only the covers changed after the first publication",
    )
    sub["history"].add_argument(
        "--publications",
        action="store_true",
        help="every publish of the range: when, by whom and what changed",
    )
    staff = sub["staff"]
    staff.add_argument("name", nargs="?", metavar="NAME", help="the teacher (none: list the rules)")
    staff.add_argument(
        "--never",
        action=argparse.BooleanOptionalAction,
        help="never asked to cover (--no-never undoes it)",
    )
    staff.add_argument(
        "--last-resort",
        action=argparse.BooleanOptionalAction,
        help="asked only for lessons nobody else can take",
    )
    staff.add_argument(
        "--cap-day",
        type=_cap,
        metavar="N|none",
        help="at most N covers a day (none: the school's setting)",
    )
    staff.add_argument(
        "--cap-week",
        type=_cap,
        metavar="N|none",
        help="at most N covers a week (none: the school's setting)",
    )
    staff.add_argument(
        "--days",
        type=_days,
        metavar="DAYS|all",
        help="covers only on these weekdays, e.g. mon,wed (all: every day)",
    )
    staff.add_argument("--clear", action="store_true", help="remove the teacher's own rule")
    sub["export"].add_argument(
        "folder_out",
        type=plain_path,
        metavar="DIR",
        help="the folder for the CSV files (made when missing)",
    )
    return parser


def main(argv: Sequence[str]) -> int:
    use(None)  # English until the school's settings are read
    return plumbing.run(
        lambda: _parse(argv),
        _run,
        see=f"rotavel {argv[0]}",
        refused=(DeskError,),
        too_large=lambda: "rotavel: out of memory: the record or the school is too large",
    )


def _parse(argv: Sequence[str]) -> argparse.Namespace:
    check_utf8(argv)
    return _parser().parse_args(argv)


def _run(args: argparse.Namespace) -> int:
    writes = DESK_COMMANDS[args.command].writes
    with Desk.open(args.folder, args.db, create=writes or getattr(args, "publish", False)) as desk:
        use(desk.settings.language)  # the school's
        said = RUNS[args.command](args, desk)
    for note in said.notes:
        print(f"rotavel: note: {escape_controls(note)}", file=sys.stderr)
    if args.output is not None:
        write_file(args.output, said.text.encode("utf-8"))
    else:
        text = said.text
        if sys.stdout.isatty():
            text = escape_controls(text, keep_line_feeds=True)
        write_stdout(text.encode("utf-8", "surrogateescape"))
    return ExitStatus.OK
