"""A teacher's own pages, opened from their personal link without a login.

The link's secret (publishing.link_token) is the teacher's key: it opens
their covers as published, on a phone, with a "Seen" button, and their
calendar feed. The button posts to an address that holds the secret, so a
page elsewhere cannot press it for them (it would need the secret), which
is why these forms carry no session token. The desk renews a link that may
have gone further; the old one then opens nothing. Reasons never show here.
"""

from __future__ import annotations

import datetime
import re
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from flask import Flask, Response, abort, redirect, render_template, request, url_for
from flask_wtf.csrf import CSRFProtect

from rotavel_app.desk.desk import Desk, DeskError
from rotavel_app.desk.feed import DAYS_AHEAD, DAYS_BACK, calendar
from rotavel_app.desk.publishing import Duty
from rotavel_app.language import _, date_text

# Days from today the phone page lists: today's covers and the next school week's.
PAGE_DAYS = 7
_TOKEN = re.compile(r"[A-Za-z0-9_-]{16,64}")


@dataclass(frozen=True)
class MyDay:
    date: datetime.date
    label: str
    covers: list[tuple[Duty, str]]  # each cover, with its period's clock time
    cancelled: list[tuple[Duty, str]]
    seen: bool  # every cover of the day seen as it stands


def register(app: Flask, site: Any, desk_of: Callable[[], Desk], csrf: CSRFProtect | None) -> None:
    """The personal pages, on `app`; `desk_of()` is the request's desk."""

    def teacher(token: str) -> str:
        name = desk_of().teacher_of_link(token) if _TOKEN.fullmatch(token) else None
        if name is None:
            abort(404, _("This personal link is not (or no longer) valid; ask the cover desk."))
        return name

    @app.get("/my/<token>")
    def my_covers(token: str) -> str:
        name = teacher(token)
        desk = desk_of()
        today = site.today()
        try:
            duties = desk.duties(name, today, today + datetime.timedelta(days=PAGE_DAYS))
            settings = desk.settings
            school = desk.school_name
        except DeskError as error:
            abort(400, str(error))
        days = []
        for date in sorted({d.date for d in duties}):
            of_day = [d for d in duties if d.date == date]
            times = settings.times
            covers = [(d, times.get(d.period, "")) for d in of_day if not d.cancelled]
            days.append(
                MyDay(
                    date,
                    day_label_of(date),
                    covers,
                    [(d, times.get(d.period, "")) for d in of_day if d.cancelled],
                    bool(covers) and all(d.seen_at for d, _ in covers),
                )
            )
        return render_template(
            "web/mine.html",
            kind="mine",
            title=_("Cover · %(name)s") % {"name": name},
            name=name,
            school=school,
            days=days,
            token=token,
            feed=url_for("my_feed", token=token, _external=True),
        )

    def seen(token: str) -> Any:
        name = teacher(token)
        text = request.form.get("date", "")
        try:
            date = datetime.date.fromisoformat(text) if len(text) == 10 else None
        except ValueError:
            date = None
        if date is None:
            abort(400, _("The form does not name a day."))
        try:
            with site.writing:
                desk_of().mark_seen(name, date)
        except DeskError as error:
            abort(400, str(error))
        return redirect(url_for("my_covers", token=token, _anchor=f"day-{date}"), 303)

    # The secret in the address stands in for the session's token (see above).
    app.post("/my/<token>/seen", endpoint="my_seen")(seen)
    if csrf is not None:
        csrf.exempt(seen)

    @app.get("/my/<token>/calendar.ics")
    def my_feed(token: str) -> Response:
        name = teacher(token)
        desk = desk_of()
        today = site.today()
        try:
            duties = desk.duties(
                name,
                today - datetime.timedelta(days=DAYS_BACK),
                today + datetime.timedelta(days=DAYS_AHEAD),
            )
            body = calendar(
                name,
                desk.school_name,
                duties,
                desk.settings,
                url_for("my_covers", token=token, _external=True),
            )
        except DeskError as error:
            abort(400, str(error))
        return Response(body, mimetype="text/calendar")


def day_label_of(date: datetime.date) -> str:
    return date_text(date)


__all__ = ["register"]
