"""The History page: covers per day over a span, and the day's publications."""

from __future__ import annotations

import datetime

from flask import Blueprint, abort, render_template, request

from rotavel_app.desk.desk import DeskError
from rotavel_app.language import _
from rotavel_app.pages.chart import bar_chart
from rotavel_app.web.forms import date_of
from rotavel_app.web.site import get_desk, login_required

bp = Blueprint("history", __name__)


@bp.get("/history")
@login_required
def history() -> str:
    last = date_of(request.args.get("last"))
    first = date_of(request.args.get("first") or (last - datetime.timedelta(days=27)).isoformat())
    if first > last:
        first, last = last, first
    try:
        counts = get_desk().history(first, last)
        publications = get_desk().publications(first, last)
    except DeskError as error:
        abort(400, str(error))
    return render_template(
        "web/history.html",
        title=_("History · rotavel"),
        nav="history",
        first=first,
        last=last,
        counts=counts,
        publications=publications,
        chart=bar_chart(counts),
        total=sum(n for _, n in counts),
    )
