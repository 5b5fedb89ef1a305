"""The board, for the staff-room screen (with a login or through its secret
link), and the cover slips, to print or to open on a phone.

Both show what was published, never the desk's draft. The board's one script
asks for the published day's version and reloads the board sooner when it
changes.
"""

from __future__ import annotations

import datetime
import hmac

from flask import Blueprint, Response, abort, render_template, request, url_for

from rotavel_app.desk.desk import DeskError
from rotavel_app.language import N_, _, date_text
from rotavel_app.pages.board import board_context
from rotavel_app.pages.slips import slips_context
from rotavel_app.web.forms import around, date_of
from rotavel_app.web.site import get_desk, get_site, login_required
from rotavel_app.web.views import Published, board_version, trouble_version

bp = Blueprint("board", __name__)

# What the board's public link says when the school's files cannot be read: the
# screen is no place for the server's paths; the desk's pages say what is wrong.
BOARD_TROUBLE = N_("The cover board cannot be shown just now: the cover desk has a problem to fix.")


def board_page(token: str | None) -> str:
    date = date_of(request.args.get("date"))
    version_url = (
        url_for("board.board_version_by_link", token=token, date=request.args.get("date"))
        if token
        else url_for("board.board_version_logged_in", date=request.args.get("date"))
    )
    script: dict[str, object] = {"poll": get_site().board_poll, "version_url": version_url}
    try:
        desk = get_desk()
        script["version"] = board_version(desk, date)
        published = Published.of(desk, date)
    except DeskError as error:
        script.setdefault("version", trouble_version(error))
        # The link is seen by anyone at the screen: no paths of the server.
        return _waiting(date, str(error) if token is None else _(BOARD_TROUBLE), script)
    if published is None:
        return _waiting(date, _("The cover for this day has not been published yet."), script)
    # The command's board of the published plan; the screen reloads itself at the
    # school's board_refresh, and the script asks for a new version meanwhile.
    return render_template(
        "web/board.html", **board_context(published.plan, published.changed), **script
    )


def _waiting(date: datetime.date, message: str, script: dict[str, object]) -> str:
    """The board's page while there is no published plan to show; it keeps asking."""
    return render_template(
        "web/board_waiting.html",
        kind="board",
        title=_("Cover board"),
        refresh=60,
        heading=_("Cover board · %(day)s") % {"day": date_text(date)},
        message=message,
        **script,
    )


def version_text() -> Response:
    date = date_of(request.args.get("date"))
    try:
        version = board_version(get_desk(), date)
    except DeskError as error:
        version = trouble_version(error)
    return Response(version, mimetype="text/plain")


def check_token(token: str) -> None:
    expected = get_site().state.load().board_token
    if not hmac.compare_digest(token.encode(), expected.encode()):
        abort(404, _("This board link is not (or no longer) valid."))


@bp.get("/board")
@login_required
def board() -> str:
    return board_page(None)


@bp.get("/board/version")
@login_required
def board_version_logged_in() -> Response:
    return version_text()


@bp.get("/board/<token>")
def board_by_link(token: str) -> str:
    check_token(token)
    return board_page(token)


@bp.get("/board/<token>/version")
def board_version_by_link(token: str) -> Response:
    check_token(token)
    return version_text()


@bp.get("/slips")
@login_required
def slips() -> str:
    date = date_of(request.args.get("date"))
    try:
        published = Published.of(get_desk(), date)
    except DeskError as error:
        abort(400, str(error))
    if published is None:
        return render_template(
            "web/slips.html",
            kind="slips",
            title=_("Cover slips · %(day)s") % {"day": date_text(date, "short")},
            changes=False,
            published=False,
            date=date,
            nav="slips",
            **around(date),
        )
    changes = request.args.get("changes") == "1"
    return render_template(
        "web/slips.html",
        **slips_context(published.plan, published.work, published.changed if changes else None),
        changes=changes,
        published=True,
        published_at=published.published_at[11:16],
        date=date,
        nav="slips",
        **around(date),
    )
