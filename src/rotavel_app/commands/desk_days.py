"""The desk's commands for a day: who is away (`absent`, `absences`, `back`),
the plan (`plan`), hand decisions on a lesson (`assign`, `nocover`,
`release`, `work`), and who could cover (`free`, `why`); with the plan's
status, its reasons and its free list as the terminal shows them.
"""

from __future__ import annotations

import argparse
import datetime

from rotavel_app.commands import plumbing
from rotavel_app.commands.desk_output import (
    Command,
    Said,
    cell,
    csv_text,
    span_words,
    when,
    window_words,
)
from rotavel_app.commands.plumbing import FORMATS
from rotavel_app.desk import publishing
from rotavel_app.desk.desk import AbsenceRecord, Desk, DeskError, FreeTeacher
from rotavel_app.language import _, decimal_text, ngettext
from rotavel_app.messages import InputError
from rotavel_app.pages.formats import render_table
from rotavel_app.pages.terminal_table import aligned as _aligned
from rotavel_app.pages.wording import LIST_LIMIT, Shortened
from rotavel_app.planning.plan import Plan, settled_words
from rotavel_app.school.day import parse_absence, parse_period, periods_text


def _absent(args: argparse.Namespace, desk: Desk) -> Said:
    first = args.from_date or plumbing.today()
    last = args.to or first
    names = desk.staff_names()
    entered = []
    for text in args.absence:
        where = _("absence %(absence)s") % {"absence": repr(text)}
        absence = parse_absence(text, where, names)
        if not absence.name:
            raise DeskError(_("%(where)s: no teacher name given") % {"where": where})
        entered.append((absence.name, first, last, absence.periods, absence.reason or ""))
    numbers, notes = desk.enter_absences(entered)
    # Absences merged into one are shown once, as the record now holds them.
    lines = [_absence_line(desk.absence(number)) for number in dict.fromkeys(numbers)]
    return Said("\n".join(lines) + "\n", notes + _republish_notes(args, desk, first, last))


def _republish_notes(
    args: argparse.Namespace, desk: Desk, first: datetime.date, last: datetime.date
) -> list[str]:
    return [
        _("%(day)s is published; plan it again with: %(command)s")
        % {"day": when(day), "command": f"rotavel plan {args.folder} --date {day} --publish"}
        for day in desk.published_days(first, last)
    ]


def _absence_line(absence: AbsenceRecord) -> str:
    values = {
        "number": absence.id,
        "name": absence.name,
        "days": span_words(absence.first, absence.last),
    }
    if absence.periods is None:
        line = _("Absence #%(number)s: %(name)s, %(days)s") % values
    else:
        line = ngettext(
            "Absence #%(number)s: %(name)s, %(days)s, period %(periods)s",
            "Absence #%(number)s: %(name)s, %(days)s, periods %(periods)s",
            len(absence.periods),
        ) % {**values, "periods": periods_text(absence.periods)}
    if absence.reason:
        return _("%(absence)s: %(reason)s") % {"absence": line, "reason": absence.reason}
    return line


def _absences(args: argparse.Namespace, desk: Desk) -> Said:
    first = args.from_date or args.date or plumbing.today()
    last = args.to or args.date or first
    absences = desk.absences(first, last)
    span = span_words(first, last)
    if not absences:
        return Said(_("No absences in the record for %(span)s.") % {"span": span} + "\n")
    rows = [
        (
            f"#{a.id}",
            a.name,
            a.first.isoformat(),
            a.last.isoformat(),
            _("all day") if a.periods is None else periods_text(a.periods),
            a.reason,
        )
        for a in absences
    ]
    header = (_("Number"), _("Teacher"), _("From"), _("To"), _("Periods"), _("Reason"))
    title = _("Absences, %(span)s:") % {"span": span}
    return Said("\n".join([title, "", *_aligned(header, rows)]) + "\n")


def _back(args: argparse.Namespace, desk: Desk) -> Said:
    back = args.date or plumbing.today()
    absence = desk.absence(args.number)
    which = {"number": absence.id, "name": absence.name}
    if back <= absence.first:
        desk.cancel_absence(args.number)
        said = _("Absence #%(number)s of %(name)s is cancelled.") % which
    else:
        ends = back - datetime.timedelta(1)
        if ends > absence.last:
            raise DeskError(
                _("absence #%(number)s of %(name)s already ends on %(day)s")
                % {**which, "day": when(absence.last)}
            )
        desk.end_absence(args.number, ends)
        said = _("Absence #%(number)s of %(name)s now ends on %(day)s.") % {
            **which,
            "day": when(ends),
        }
    # Published days the absence no longer covers need planning again.
    return Said(said + "\n", _republish_notes(args, desk, back, absence.last))


def _plan(args: argparse.Namespace, desk: Desk) -> Said:
    date = args.date or plumbing.today()
    if args.day is not None and args.publish:
        raise DeskError(
            _(
                "--day %(day)s is for looking: the record keeps a plan by date, so publish "
                "the date's own day (--date without --day)"
            )
            % {"day": repr(args.day)}
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
                    ngettext(
                        "the %(format)s shows the day as published; %(count)s change since: "
                        "publish with %(command)s",
                        "the %(format)s shows the day as published; %(count)s changes since: "
                        "publish with %(command)s",
                        len(changes),
                    )
                    % {
                        "format": args.format,
                        "count": len(changes),
                        "command": f"rotavel plan {args.folder} --date {date} --publish",
                    }
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
        status = (
            _("Not published: %(day)s on %(date)s, chosen with --day, is for looking.")
            % {"day": plan.day.day, "date": date}
            + "\n"
        )
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
    notes = [
        _("e-mail not sent (tried again at the next publish): %(failure)s") % {"failure": f}
        for f in delivery.failed
    ]
    if delivery.sent:
        notes.append(
            ngettext("sent %(count)s e-mail", "sent %(count)s e-mails", delivery.sent)
            % {"count": delivery.sent}
        )
    return notes


def _why_section(plan: Plan) -> str:
    """Why each substitute: one line a cover, the planner's reason."""
    lines = [
        "  "
        + cell(
            _("Period %(period)s, %(class)s (%(teacher)s): %(substitute)s: %(why)s")
            % {
                "period": a.lesson.period,
                "class": a.lesson.class_label,
                "teacher": a.lesson.teacher,
                "substitute": a.substitute,
                "why": a.why,
            }
        )
        for a in plan.covers
        if a.why
    ]
    return "\n".join(["", _("Why each substitute:"), *lines]) + "\n" if lines else ""


def _status(desk: Desk, plan: Plan, args: argparse.Namespace) -> str:
    date = plan.day.date
    assert date is not None
    publication = desk.publication(date)
    again = f"rotavel plan {args.folder} --date {date} --publish"
    if publication is None:
        return _("Not published: %(command)s") % {"command": again} + "\n"
    at, revision = publication
    changes = desk.changes(date, plan)
    if args.publish or not changes:
        return (
            _("Published %(at)s (revision %(revision)s).") % {"at": at, "revision": revision} + "\n"
        )
    lines = [
        ngettext(
            "Published %(at)s (revision %(revision)s); %(count)s change since publishing: "
            "%(command)s",
            "Published %(at)s (revision %(revision)s); %(count)s changes since publishing: "
            "%(command)s",
            len(changes),
        )
        % {"at": at, "revision": revision, "count": len(changes), "command": again}
    ]
    lines += [f"  {cell(change.text)}" for change in changes]
    return "\n".join(lines) + "\n"


def _free_section(free: dict[int, list[FreeTeacher]]) -> str:
    lines = [
        "",
        _("Free once this plan is made (as the plan asks them; covers today/in the window):"),
    ]
    for period, teachers in free.items():
        names = Shortened.of(
            [
                cell(f"{t.name} {t.covers_today}/{t.covers_in_window}")
                + (f" ({t.note})" if t.note else "")
                for t in teachers
            ],
            LIST_LIMIT,
        )
        if len(names):
            said = _("Period %(period)s: %(names)s") % {"period": period, "names": names.joined()}
        else:
            said = _("Period %(period)s: nobody") % {"period": period}
        lines.append(f"  {said}")
    return "\n".join(lines) + "\n"


def _lesson(text: str) -> tuple[str, int]:
    """TEACHER@PERIOD; a name may itself hold "@", the period follows the last."""
    name, at, period = text.rpartition("@")
    if not at or not name.strip():
        raise DeskError(
            _("--lesson %(lesson)s should be TEACHER@PERIOD, e.g. %(example)s")
            % {"lesson": repr(text), "example": "'Asha Rao@3'"}
        )
    try:
        return name.strip(), parse_period(period.strip(), f"--lesson {text!r}")
    except InputError as error:
        raise DeskError(str(error)) from None


def _assign(args: argparse.Namespace, desk: Desk) -> Said:
    date = args.date or plumbing.today()
    teacher, period = _lesson(args.lesson)
    desk.assign(date, teacher, period, args.to)
    record = _recorded_classes(desk, date, teacher, period)
    said = _(
        "%(substitute)s covers %(teacher)s's %(classes)s in period %(period)s, %(day)s (by hand)."
    ) % {
        "substitute": args.to,
        "teacher": teacher,
        "classes": record,
        "period": period,
        "day": when(date),
    }
    return Said(said + "\n")


def _recorded_classes(desk: Desk, date: datetime.date, teacher: str, period: int) -> str:
    return next(
        r.classes for r in desk.recorded(date) if (r.teacher, r.period) == (teacher, period)
    )


def _nocover(args: argparse.Namespace, desk: Desk) -> Said:
    date = args.date or plumbing.today()
    teacher, period = _lesson(args.lesson)
    desk.no_cover(date, teacher, period)
    record = _recorded_classes(desk, date, teacher, period)
    said = _("%(teacher)s's %(classes)s in period %(period)s, %(day)s: no cover needed.") % {
        "teacher": teacher,
        "classes": record,
        "period": period,
        "day": when(date),
    }
    return Said(said + "\n")


def _release(args: argparse.Namespace, desk: Desk) -> Said:
    date = args.date or plumbing.today()
    teacher, period = _lesson(args.lesson)
    record = desk.release(date, teacher, period)
    what = {
        "teacher": teacher,
        "classes": record.classes,
        "period": period,
        "day": when(date),
        "substitute": record.substitute,
    }
    if record.substitute is None:
        said = _(
            "%(teacher)s's %(classes)s in period %(period)s, %(day)s needs cover again; "
            "the next plan covers it."
        )
    else:
        said = _(
            "%(substitute)s no longer covers %(teacher)s's %(classes)s in period %(period)s, "
            "%(day)s; the next plan covers it."
        )
    return Said(said % what + "\n")


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
            _asked(t),
        )
        for period, teachers in free.items()
        for t in teachers
    ]
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
    title = _("Free teachers: %(school)s, %(day)s") % {
        "school": cell(desk.school_name),
        "day": when(date),
    }
    window = _("Covers in the window: from %(start)s (%(window)s)") % {
        "start": when(start),
        "window": window_words(desk.settings),
    }
    lines = [title, window]
    if lesson is not None:
        lines.append(
            cell(
                _("For %(teacher)s's lesson in period %(period)s, in the order the plan asks")
                % {"teacher": lesson[0], "period": lesson[1]}
            )
        )
    lines.append("")
    header = (
        _("Period"),
        _("Teacher"),
        _("Subject"),
        _("Today"),
        _("Window"),
        _("Load"),
        _("Note"),
    )
    lines += _aligned(header, rows, right={0, 3, 4, 5}) if rows else [_("Nobody is free.")]
    if lesson is None:
        lines.append(_why_section(plan).rstrip("\n"))
    return Said("\n".join(lines) + "\n")


def _asked(teacher: FreeTeacher) -> str:
    """The free list's note: whether the plan asks them first, and the desk's own note."""
    if not teacher.first:
        return teacher.note
    if teacher.note:
        return _("asked first; %(note)s") % {"note": teacher.note}
    return _("asked first")


def _why(args: argparse.Namespace, desk: Desk) -> Said:
    date = args.date or plumbing.today()
    why = desk.why(date, args.name)
    share = {
        "start": when(why.window_start),
        "count": why.covers_in_window,
        "share": decimal_text(float(why.fair_share)),
        "days": why.days_in.numerator,
        "of": why.days_in.denominator,
    }
    if why.days_in != 1:
        covers = _(
            "Covers in the window (from %(start)s): %(count)s; fair share %(share)s "
            "(in %(days)s days of %(of)s)."
        )
    else:
        covers = _("Covers in the window (from %(start)s): %(count)s; fair share %(share)s.")
    lines = [
        cell(
            _("Why %(name)s? %(school)s, %(day)s")
            % {"name": why.name, "school": desk.school_name, "day": when(date)}
        ),
        "",
        covers % share,
        _caps(why.cap_left, why.flags),
        "",
    ]
    if why.today:
        lines.append(_("Covers on %(day)s:") % {"day": when(date)})
        lines += [
            "  "
            + cell(
                _("Period %(period)s, %(classes)s for %(teacher)s: %(how)s")
                % {
                    "period": a.lesson.period,
                    "classes": a.lesson.class_label,
                    "teacher": a.lesson.teacher,
                    "how": a.why or settled_words(a.how),
                }
            )
            for a in why.today
        ]
    else:
        lines.append(_("No cover on %(day)s.") % {"day": when(date)})
    if why.earlier:
        lines += ["", _("Earlier in the window:")]
        lines += [
            "  "
            + cell(
                _("%(day)s, period %(period)s, %(classes)s for %(teacher)s (%(how)s)")
                % {
                    "day": day,
                    "period": period,
                    "classes": classes,
                    "teacher": teacher,
                    "how": settled_words(how),
                }
            )
            for day, teacher, period, classes, how in why.earlier
        ]
    return Said("\n".join(lines) + "\n")


def _caps(left: int | None, flags: tuple[str, ...]) -> str:
    """The caps line of `rotavel why`: covers left today, then the teacher's own rules."""
    if left is None:
        if flags:
            return _("Caps: none; %(rules)s.") % {"rules": _(", ").join(flags)}
        return _("Caps: none.")
    if flags:
        return ngettext(
            "Caps: %(count)s cover left today; %(rules)s.",
            "Caps: %(count)s covers left today; %(rules)s.",
            left,
        ) % {"count": left, "rules": _(", ").join(flags)}
    return ngettext(
        "Caps: %(count)s cover left today.", "Caps: %(count)s covers left today.", left
    ) % {"count": left}


def _work(args: argparse.Namespace, desk: Desk) -> Said:
    date = args.date or plumbing.today()
    teacher, period = _lesson(args.lesson)
    desk.set_work(date, teacher, period, args.work)
    what = {"teacher": teacher, "period": period, "day": when(date), "work": args.work.strip()}
    if args.work.strip():
        said = _("Set work for %(teacher)s's lesson in period %(period)s, %(day)s: %(work)s") % what
    else:
        said = _("No set work for %(teacher)s's lesson in period %(period)s, %(day)s") % what
    notes = (
        []
        if desk.publication(date) is None
        else [
            _("%(day)s is published; publish it again to tell the substitute") % {"day": when(date)}
        ]
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
