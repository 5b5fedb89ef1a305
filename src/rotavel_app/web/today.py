"""The Today page: the day's absent lessons and their cover, and what the desk
does to them (absences, hand decisions, set work, publishing).

Every action is a plain form posted and answered with a redirect back to the
day, so nothing needs JavaScript; every change is one of the desk's
transactions, taken in turn (`Site.writing`).
"""

from __future__ import annotations

import datetime
from collections.abc import Callable, Hashable
from typing import Any

from flask import Blueprint, abort, flash, redirect, render_template, request, url_for
from markupsafe import Markup

from rotavel_app.desk.desk import DB_NAME, Desk, DeskError
from rotavel_app.language import _, date_text, ngettext
from rotavel_app.messages import InputError
from rotavel_app.planning.plan import Plan
from rotavel_app.school.day import parse_periods
from rotavel_app.web.forms import (
    anchor,
    around,
    date_of,
    lesson_form,
    lesson_of,
    staff_name,
    text_of,
    whole_number,
)
from rotavel_app.web.site import get_desk, get_site, login_required
from rotavel_app.web.views import TodayView, lesson_key

bp = Blueprint("today", __name__)


@bp.get("/")
def home() -> Any:
    return redirect(url_for("today.today"))


def today_view(date: datetime.date) -> tuple[TodayView, Markup]:
    """The day's view and the bulk of its page, made once per version of the
    record. The bulk holds no token: its forms are the page's own small
    forms, which its buttons name (form="..."), so it is the same for everyone."""
    site = get_site()
    # Where the desk keeps its record, without opening a desk: a visit that finds
    # the page made costs no connection.
    site.version.watch(site.db if site.db is not None else site.folder / DB_NAME)

    def make() -> tuple[TodayView, Markup]:
        view = TodayView.of(get_desk(), date)
        return view, Markup(render_template("web/today_plan.html", view=view, date=date))

    return site.cache.get(("today", date), site.version.current(), make)


@bp.get("/today")
@login_required
def today() -> str:
    date = date_of(request.args.get("date"))
    try:
        view, bulk = today_view(date)
    except DeskError as error:
        try:  # a day that cannot be planned still shows, and ends, its absences
            absences = get_desk().absences_on(date)
        except DeskError:
            absences = []
        return render_template(
            "web/today.html",
            title=_("Today · %(day)s") % {"day": date_text(date, "short")},
            date=date,
            nav="today",
            problem=str(error),
            view=None,
            bulk="",
            absences=absences,
            day_before=date - datetime.timedelta(1),
            **around(date),
        )
    return render_template(
        "web/today.html",
        title=_("Today · %(day)s") % {"day": date_text(date, "short")},
        date=date,
        nav="today",
        problem=None,
        view=view,
        bulk=bulk,
        **view.telling(date, get_site().today()),
        **around(date),
    )


@bp.get("/today/lesson")
@login_required
def lesson() -> str:
    date = date_of(request.args.get("date"))
    teacher, period = lesson_of(request.args.get("lesson", ""))
    try:
        view, _bulk = today_view(date)
    except DeskError as error:
        abort(400, str(error))
    item = next(
        (
            a
            for a in view.plan.absent_lessons
            if a.lesson.teacher == teacher and a.lesson.period == period
        ),
        None,
    )
    if item is None:
        abort(404, _("That lesson is not among the day's absent lessons."))
    return render_template(
        "web/lesson.html",
        title=_("Cover for %(classes)s") % {"classes": item.lesson.class_label},
        date=date,
        nav="today",
        item=item,
        key=lesson_key(teacher, period),
        free=get_desk().suggestions(date, teacher, period, view.plan),
        window=view.window,
        work=get_desk().work(date).get((teacher, period), ""),
    )


@bp.get("/today/why")
@login_required
def why() -> str:
    date = date_of(request.args.get("date"))
    name = request.args.get("name", "")[:300]
    try:
        view, _bulk = today_view(date)
        answer = get_desk().why(date, name, view.plan)
    except DeskError as error:
        abort(400, str(error))
    return render_template(
        "web/why.html",
        title=_("Why %(name)s?") % {"name": name},
        date=date,
        nav="today",
        why=answer,
        window=view.window,
    )


def back_to_day(date: datetime.date, to: str | None = None) -> Any:
    return redirect(url_for("today.today", date=date.isoformat(), _anchor=to), 303)


def refused(date: datetime.date, why: str) -> Any:
    """Say why a change was refused, at the top of the day, where the message
    stands: taken to the lesson's own place, a phone would show it off screen."""
    flash(why, "error")
    return back_to_day(date)


def act(
    date: datetime.date, done: str, change: Callable[[Desk], object], to: str | None = None
) -> Any:
    """Make one change to the record, say how it went, and go back to the day."""
    try:
        with get_site().writing:
            change(get_desk())
    except DeskError as error:
        return refused(date, str(error))
    flash(done, "info")
    return back_to_day(date, to)


@bp.post("/absences")
@login_required
def add_absence() -> Any:
    date = date_of(request.form.get("date"))
    name = staff_name("teacher")
    first = date_of(request.form.get("first") or date.isoformat())
    last = date_of(request.form.get("last") or first.isoformat())
    reason = text_of("reason").strip()
    text = text_of("periods", 200).strip()
    try:
        # The field named as its label names it.
        periods = parse_periods(text, _("Periods")) if text else None
    except InputError as error:
        return refused(date, str(error))
    if not name:
        return refused(date, _("Name the teacher who is away."))
    return act(
        date,
        _("Absence of %(name)s added.") % {"name": name},
        lambda desk: desk.add_absence(name, first, last, periods, reason),
        "absences",
    )


@bp.post("/absences/end")
@login_required
def end_absence() -> Any:
    date = date_of(request.form.get("date"))
    absence_id = whole_number("absence")
    last = date_of(request.form.get(f"last-{absence_id}") or date.isoformat())

    def end(desk: Desk) -> None:
        # Ended before its first day, it never was: an absence of days
        # without school (entered before the desk refused them) goes so.
        if last < desk.absence(absence_id).first:
            desk.cancel_absence(absence_id)
        else:
            desk.end_absence(absence_id, last)

    return act(
        date,
        _("Absence ended: back after %(day)s.") % {"day": date_text(last, "day_month")},
        end,
        "absences",
    )


@bp.post("/lessons/assign")
@login_required
def assign() -> Any:
    date, teacher, period = lesson_form()
    substitute = staff_name(f"s{lesson_key(teacher, period)}")
    if not substitute:
        return refused(date, _("Choose a teacher to cover the lesson."))
    return act(
        date,
        _("%(substitute)s covers %(teacher)s's lesson in period %(period)s.")
        % {"substitute": substitute, "teacher": teacher, "period": period},
        lambda desk: desk.assign(date, teacher, period, substitute),
        anchor(teacher, period),
    )


@bp.post("/lessons/no-cover")
@login_required
def no_cover() -> Any:
    date, teacher, period = lesson_form()
    return act(
        date,
        _("%(teacher)s's lesson in period %(period)s needs no cover.")
        % {"teacher": teacher, "period": period},
        lambda desk: desk.no_cover(date, teacher, period),
        anchor(teacher, period),
    )


@bp.post("/lessons/work")
@login_required
def set_work() -> Any:
    date, teacher, period = lesson_form()
    work = text_of("work", 500)
    if work.strip():
        done = _(
            "Set work for %(teacher)s's lesson in period %(period)s saved; "
            "publish to tell the substitute."
        )
    else:
        done = _(
            "Set work for %(teacher)s's lesson in period %(period)s taken away; "
            "publish to tell the substitute."
        )
    return act(
        date,
        done % {"teacher": teacher, "period": period},
        lambda desk: desk.set_work(date, teacher, period, work),
        anchor(teacher, period),
    )


@bp.post("/lessons/release")
@login_required
def release() -> Any:
    date, teacher, period = lesson_form()
    return act(
        date,
        _("%(teacher)s's lesson in period %(period)s is planned again.")
        % {"teacher": teacher, "period": period},
        lambda desk: desk.release(date, teacher, period),
        anchor(teacher, period),
    )


@bp.post("/publish")
@login_required
def publish() -> Any:
    site = get_site()
    date = date_of(request.form.get("date"))
    # The plan of the record as it is now, made once for every browser that
    # publishes it (the Today page's, when it has one): storing it needs no new
    # plan, only the check, made while the record is held, that nothing changed
    # since it was made. Otherwise the desk plans again inside the transaction.
    site.version.watch(site.db if site.db is not None else site.folder / DB_NAME)
    version = site.version.current()
    stored = False
    try:
        plan = as_published(date, version)
        if plan is None:
            kept = site.cache.peek(("today", date))
            if kept is not None and kept[0] == version:
                shown = kept[1][0].plan
            else:
                shown = site.cache.get(("plan", date), version, lambda: get_desk().plan(date))
            with site.writing:
                # Many browsers publishing at once wait here for the first: the day
                # it stored is then theirs too, with nothing to plan or store again.
                plan = as_published(date, site.version.current())
                if plan is None:
                    plan, stored = store(date, version, shown), True
    except DeskError as error:
        flash(str(error), "error")
    else:
        flash(
            ngettext(
                "Published: %(covers)s cover, %(uncovered)s not covered.",
                "Published: %(covers)s covers, %(uncovered)s not covered.",
                len(plan.covers),
            )
            % {"covers": len(plan.covers), "uncovered": len(plan.uncovered)},
            "info",
        )
        if stored:  # else this server stored it already, and sent what it queued
            tell()
    return back_to_day(date)


def tell() -> None:
    """Send the e-mail the publish queued; a failure is shown, never undoes it."""
    desk = get_desk()
    if desk.settings.mail is None:
        return
    from rotavel_app.desk import mail

    try:
        with get_site().writing:
            delivery = mail.deliver(desk)
    except DeskError as error:
        flash(_("E-mail not sent: %(error)s") % {"error": error}, "error")
        return
    if delivery.sent:
        flash(
            ngettext(
                "Sent %(n)s e-mail to the substitutes.",
                "Sent %(n)s e-mails to the substitutes.",
                delivery.sent,
            )
            % {"n": delivery.sent},
            "info",
        )
    for failure in delivery.failed:
        flash(
            _("E-mail not sent (tried again at the next publish): %(failure)s")
            % {"failure": failure},
            "error",
        )


def as_published(date: datetime.date, version: Hashable) -> Plan | None:
    """The plan this server last published for the day, when the record is still
    exactly as that publish left it: publishing again would store nothing."""
    done = get_site().cache.peek(("published", date))
    return done[1] if version is not None and done is not None and done[0] == version else None


def store(date: datetime.date, version: Hashable, shown: Plan) -> Plan:
    """Publish the day, storing `shown` while the record is as it was at `version`;
    called holding `Site.writing`."""
    site = get_site()
    desk = get_desk()
    others, files = desk.others_wrote(), site.version.school_files()
    plan = desk.publish(
        date,
        shown,
        lambda: version is not None and site.version.current() == version,
        by=f"web desk ({request.remote_addr or 'unknown'})",
    )
    after = site.version.current()
    # Kept only when this publish was the one change to the record and the school
    # files since they were read: otherwise `after` may hold a change this plan never saw.
    if after is not None and desk.others_wrote() == others and site.version.school_files() == files:
        site.cache.put(("published", date), after, plan)
    return plan
