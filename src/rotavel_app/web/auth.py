"""Logging in and out of the desk's pages."""

from __future__ import annotations

import math
from typing import Any

from flask import Blueprint, flash, redirect, render_template, request, session, url_for

from rotavel_app.language import _, ngettext
from rotavel_app.web.forms import local_path
from rotavel_app.web.secure import check_password, client_of
from rotavel_app.web.site import get_site

bp = Blueprint("auth", __name__)


@bp.get("/login")
def login() -> str:
    site = get_site()
    return render_template(
        "web/login.html",
        title=_("Log in · rotavel"),
        has_password=site.state.load().password is not None,
        next=local_path(request.args.get("next")) or "",
        folder=str(site.folder),
    )


@bp.post("/login")
def login_post() -> Any:
    site = get_site()
    state = site.state.load()
    target = local_path(request.form.get("next")) or url_for("today.today")
    client = client_of(request.remote_addr)
    # Counted before the hash: guesses sent at once do not all reach it.
    allowed, seconds = site.throttle.begin(client)
    if not allowed:
        seconds = math.ceil(seconds)
        flash(
            ngettext(
                "Too many wrong passwords: wait %(n)s second and try again.",
                "Too many wrong passwords: wait %(n)s seconds and try again.",
                seconds,
            )
            % {"n": seconds},
            "error",
        )
        return redirect(url_for("auth.login", next=target)), 303
    password = request.form.get("password", "")
    with site.checking:
        right = state.password is not None and check_password(password, state.password)
    if not right:
        seconds = math.ceil(seconds)
        flash(
            ngettext(
                "Wrong password. Try again in %(n)s second.",
                "Wrong password. Try again in %(n)s seconds.",
                seconds,
            )
            % {"n": seconds},
            "error",
        )
        return redirect(url_for("auth.login", next=target)), 303
    site.throttle.succeeded(client)
    site.sessions.end(session.get("sid"))
    session.clear()  # a fresh session: nothing from before the login carries over
    session.permanent = True
    session["epoch"] = state.epoch
    session["sid"] = site.sessions.begin()
    return redirect(target, 303)


@bp.post("/logout")
def logout() -> Any:
    # Forgotten here, so a copy of the cookie opens nothing either.
    get_site().sessions.end(session.get("sid"))
    session.clear()
    flash(_("Logged out."), "info")
    return redirect(url_for("auth.login"), 303)
