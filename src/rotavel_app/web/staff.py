"""The Staff page: each teacher's rules, their personal links, and the board's link."""

from __future__ import annotations

import datetime
import re
from typing import Any

from flask import Blueprint, abort, flash, redirect, render_template, request, url_for

from rotavel_app.desk.desk import Desk, DeskError
from rotavel_app.language import _, date_text
from rotavel_app.web.forms import slug, staff_name
from rotavel_app.web.site import get_desk, get_site, login_required

bp = Blueprint("staff", __name__)

WEEKDAYS = range(7)  # the desk numbers Monday 0
WEEKDAY_VALUES = {str(n) for n in WEEKDAYS}


def school_week(desk: Desk) -> list[tuple[int, str]]:
    """The school's weekdays in its week's order, each with its abbreviated name
    in the language in use (from the week of Monday 2 January 2006): a teacher
    covers only on days the school has."""
    return [
        (day, date_text(datetime.date(2006, 1, 2 + day), "weekday"))
        for day in desk.calendar().week_order()
    ]


@bp.get("/staff")
@login_required
def staff() -> str:
    site = get_site()
    desk = get_desk()
    date = site.today()
    query = request.args.get("q", "").strip()
    try:
        day = desk.day(date)
    except DeskError as error:
        abort(400, str(error))
    rules = desk.staff_rules()
    members = [m for m in day.staff.values() if not query or query.casefold() in m.name.casefold()]
    return render_template(
        "web/staff.html",
        title=_("Staff · rotavel"),
        nav="staff",
        members=members,
        rules=rules,
        query=query,
        weekdays=school_week(desk),
        board_link=url_for(
            "board.board_by_link", token=site.state.load().board_token, _external=True
        ),
        settings=day.settings,
    )


@bp.post("/staff/rule")
@login_required
def staff_rule() -> Any:
    name = staff_name("teacher")
    caps = {}
    for key in ("cap_day", "cap_week"):
        text = request.form.get(key, "").strip()
        if text and not re.fullmatch(r"[0-9]{1,4}", text):
            flash(
                _("%(field)s must be a whole number (empty for none).")
                % {"field": {"cap_day": _("cap day"), "cap_week": _("cap week")}[key]},
                "error",
            )
            return redirect(url_for("staff.staff", q=request.form.get("q") or None), 303)
        caps[key] = int(text) if text else None
    ticked = {int(d) for d in request.form.getlist("day") if d in WEEKDAY_VALUES}
    desk = get_desk()
    try:
        school_days = set(desk.calendar().weekdays)
        desk.set_staff_rule(
            name,
            never="never" in request.form,
            last_resort="last_resort" in request.form,
            cap_day=caps["cap_day"],
            cap_week=caps["cap_week"],
            # Every school day ticked is no limit, so a new weekday in the timetable
            # is covered too.
            days=None if ticked >= school_days else frozenset(ticked),
        )
    except DeskError as error:
        flash(str(error), "error")
        to = None  # the top of the page, where the message stands
    else:
        flash(_("Saved the rules for %(name)s.") % {"name": name}, "info")
        to = slug("staff", name)
    return redirect(url_for("staff.staff", q=request.form.get("q") or None, _anchor=to), 303)


@bp.post("/staff/personal-link")
@login_required
def personal_link() -> Any:
    name = staff_name("teacher")
    renew = request.form.get("renew") == "1"
    try:
        token = get_desk().personal_link(name, renew=renew)
    except DeskError as error:
        flash(str(error), "error")
    else:
        base = get_desk().settings.base_url
        page = f"{base}/my/{token}" if base else url_for("my_covers", token=token, _external=True)
        if renew:
            told = _(
                "%(name)s's new personal link: %(page)s (calendar: %(page)s/calendar.ics); "
                "the old one opens nothing now."
            )
        else:
            told = _("%(name)s's personal link: %(page)s (calendar: %(page)s/calendar.ics)")
        flash(told % {"name": name, "page": page}, "info")
    return redirect(url_for("staff.staff", _anchor="personal-links"), 303)


@bp.post("/staff/board-link")
@login_required
def renew_board_link() -> Any:
    get_site().state.renew_board_token()
    flash(_("The board has a new link; the old one no longer opens it."), "info")
    return redirect(url_for("staff.staff", _anchor="board-link"), 303)
