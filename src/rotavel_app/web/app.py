"""The desk's web pages: Today, the Board, the Slips, Staff and History.

Every page is a Jinja2 template with autoescaping; every action is a plain
form posted and answered with a redirect, so nothing needs JavaScript. The
one script, on the board, only reloads it sooner after a publish.

`create_app(site)` makes the application. The site it serves is kept in
`app.extensions["rotavel"]` and each request opens its own Desk (site.py);
each area of the desk is a blueprint: auth (logging in and out), today (the
day's page and what is done to it), board (the board and the slips), staff
and history, and a teacher's own pages are personal.py's. What the pages
show of a day is worked out in views.py, which knows nothing of Flask.
"""

from __future__ import annotations

import datetime
from pathlib import Path
from typing import Any

from flask import Flask, Response, render_template, request
from flask_wtf.csrf import CSRFError, CSRFProtect
from werkzeug.exceptions import SecurityError

from rotavel_app.language import N_, _, use
from rotavel_app.pages.webpage import configure
from rotavel_app.pages.wording import away_text, day_label
from rotavel_app.school.day import periods_text
from rotavel_app.school.settings import load_settings
from rotavel_app.web import auth, board, history, personal, staff, today
from rotavel_app.web.secure import MAX_BODY
from rotavel_app.web.site import LOGIN_HOURS, Site, close_desk, get_desk, logged_in

PACKAGE = Path(__file__).resolve().parent.parent
# Free teachers offered in a lesson's own list; the rest are one click away.
OFFERED = 12

# What werkzeug says of the errors the desk answers with a page of its own.
HTTP_WORDS = (
    N_("Bad Request"),
    N_("Forbidden"),
    N_("Not Found"),
    N_("Method Not Allowed"),
    N_("The browser (or proxy) sent a request that this server could not understand."),
    N_(
        "You don't have the permission to access the requested resource. "
        "It is either read-protected or not readable by the server."
    ),
    N_(
        "The requested URL was not found on the server. "
        "If you entered the URL manually please check your spelling and try again."
    ),
    N_("The method is not allowed for the requested URL."),
)


def create_app(site: Site) -> Flask:
    app = Flask(
        __name__,
        template_folder=str(PACKAGE / "pages" / "templates"),
        static_folder=str(Path(__file__).parent / "static"),
    )
    state = site.state.load()
    # The school's language, read once: a change is seen when serve starts again.
    language = site.language or load_settings(site.folder).language
    app.config.update(
        SECRET_KEY=state.secret_key,
        SESSION_COOKIE_NAME="rotavel_session",
        SESSION_COOKIE_HTTPONLY=True,
        SESSION_COOKIE_SAMESITE="Lax",
        PERMANENT_SESSION_LIFETIME=datetime.timedelta(hours=LOGIN_HOURS),
        # The cookie is sent again only when the session changes: a login lasts
        # LOGIN_HOURS from the login, and a page view costs no signing.
        SESSION_REFRESH_EACH_REQUEST=False,
        WTF_CSRF_TIME_LIMIT=LOGIN_HOURS * 3600,
        MAX_CONTENT_LENGTH=MAX_BODY,
        TEMPLATES_AUTO_RELOAD=False,
    )
    if site.proxy is not None:
        from werkzeug.middleware.proxy_fix import ProxyFix

        # One proxy in front, which sets these headers itself: the client's address
        # (for the login throttle), https, and the name and port it was asked for.
        app.wsgi_app = ProxyFix(  # type: ignore[method-assign]
            app.wsgi_app, x_for=1, x_proto=1, x_host=1, x_port=1
        )
        app.config["SESSION_COOKIE_SECURE"] = True  # the proxy speaks HTTPS

    # First, so that every answer, a refusal too, is in the school's language.
    @app.before_request
    def speak() -> None:
        use(language)

    hosts = _hosts(site)
    if hosts is not None:

        @app.before_request
        def known_host() -> Response | None:
            # A page elsewhere that points its own name at this address (DNS
            # rebinding) is answered with an error, not the desk. (Werkzeug's
            # TRUSTED_HOSTS cannot name an IPv6 address.)
            if _host_name(request.host) not in hosts:
                return Response(_("Unknown host name."), 400, mimetype="text/plain")
            return None

    configure(app.jinja_env)  # values printed as on the command's pages: see webpage.py
    app.jinja_env.globals.update(
        offered=OFFERED,
        day_label=day_label,
        periods_text=periods_text,
        away_text=away_text,
    )
    csrf = CSRFProtect(app)
    app.extensions["rotavel"] = site
    app.after_request(_headers)
    app.context_processor(_defaults)
    app.teardown_appcontext(close_desk)
    app.register_error_handler(CSRFError, _bad_token)
    for code in (400, 403, 404, 405):
        app.register_error_handler(code, _refused)
    for area in (auth, today, board, staff, history):
        app.register_blueprint(area.bp)
    # A teacher's own pages, through their personal link (no login).
    personal.register(app, site, get_desk, csrf)

    @app.teardown_request
    def english(_error: BaseException | None) -> None:
        use(None)  # a test's client runs requests in the caller's own thread

    return app


def _headers(response: Response) -> Response:
    # Nothing from other hosts; scripts only from this site, and none inline.
    response.headers["Content-Security-Policy"] = (
        "default-src 'none'; script-src 'self'; connect-src 'self'; img-src 'self'; "
        "style-src 'self' 'unsafe-inline'; form-action 'self'; base-uri 'none'; "
        "frame-ancestors 'none'"
    )
    response.headers["X-Content-Type-Options"] = "nosniff"
    # The board's link stays private: addresses go to this site only, where behind an
    # HTTPS proxy the form tokens' check wants them (a post from this very site).
    response.headers["Referrer-Policy"] = "same-origin"
    response.headers["X-Frame-Options"] = "DENY"
    if request.endpoint != "static":
        response.headers["Cache-Control"] = "no-store"
    return response


def _defaults() -> dict[str, object]:
    # The skeleton's: the page's class and no reload; and the page the bar marks.
    # A page's own values win.
    return {"nav": "", "kind": "desk", "refresh": 0}


def _bad_token(error: CSRFError) -> tuple[str, int]:
    return render_template(
        "web/error.html",
        title=_("Form expired"),
        message=_(
            "The form had expired or did not come from this site. "
            "Go back, reload the page and try again."
        ),
        logged_in=logged_in(),
    ), 400


def _refused(error: Any) -> Any:
    if isinstance(error, SecurityError):  # a host name not ours: no page of ours either
        return Response(error.description, error.code, mimetype="text/plain")
    return render_template(
        "web/error.html",
        title=_(error.name),
        message=_(error.description),
        logged_in=logged_in(),
    ), error.code


def _hosts(site: Site) -> frozenset[str] | None:
    """The host names the desk answers to; None for any (on the school's network,
    without a proxy, it is reached by whatever name or address the school uses)."""
    names = set()
    if site.proxy is not None:
        names.add(_host_name(site.proxy))
    if site.loopback:
        names |= {"localhost", "127.0.0.1", "[::1]", _host_name(_bracketed(site.host))}
    return frozenset(names) if names else None


def _bracketed(host: str) -> str:
    """An address as a URL writes it: an IPv6 one in brackets."""
    host = host.strip("[]") if host.startswith("[") else host
    return f"[{host}]" if ":" in host else host


def _host_name(host: str) -> str:
    """The name of a Host header's "name:port" (an IPv6 address keeps its brackets)."""
    host = host.strip().lower()
    if host.startswith("["):
        return host[: host.find("]") + 1]
    return host.partition(":")[0].rstrip(".")


__all__ = ["Site", "create_app"]
