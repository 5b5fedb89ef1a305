"""The desk's web pages: Today, the Board, the Slips, Staff and History.

Every page is a Jinja2 template with autoescaping; every action is a plain
form posted and answered with a redirect, so nothing needs JavaScript. The
one script, on the board, only reloads it sooner after a publish.

Each request opens its own Desk (one database connection), so waitress's
threads never share a connection and every change is one of the desk's
transactions. A page never keeps the desk's state between requests: a form
names what it changes (a date, a teacher, a period), never a snapshot.
"""

from __future__ import annotations

import base64
import datetime
import functools
import hashlib
import hmac
import math
import re
import threading
from collections.abc import Callable, Hashable
from dataclasses import astuple, dataclass, field
from pathlib import Path
from typing import Any, TypeVar, cast
from urllib.parse import urlsplit

from flask import (
    Flask,
    Response,
    abort,
    flash,
    g,
    redirect,
    render_template,
    request,
    session,
    url_for,
)
from flask_wtf.csrf import CSRFError, CSRFProtect
from markupsafe import Markup
from werkzeug.exceptions import SecurityError

from rotavel_app.desk.desk import DB_NAME, Desk, DeskError
from rotavel_app.desk.feed import clock
from rotavel_app.desk.publishing import Duty, Queued, changed_keys
from rotavel_app.language import _, date_text, ngettext, use
from rotavel_app.messages import InputError
from rotavel_app.pages.board import board_context, notes_of
from rotavel_app.pages.chart import bar_chart
from rotavel_app.pages.slips import slips_context
from rotavel_app.pages.webpage import configure
from rotavel_app.pages.wording import (
    away_text,
    by_period,
    day_label,
    explain,
)
from rotavel_app.planning.plan import BY_HAND, NO_COVER, TEAM, AbsentLesson, Plan
from rotavel_app.school.day import SchoolDay, parse_periods, periods_text
from rotavel_app.school.settings import load_settings
from rotavel_app.unsafe import escaped
from rotavel_app.web import personal
from rotavel_app.web.cache import PageCache, RecordVersion
from rotavel_app.web.secure import (
    MAX_BODY,
    Sessions,
    StateFile,
    Throttle,
    check_password,
    client_of,
)

PACKAGE = Path(__file__).resolve().parent.parent
# Free teachers offered in a lesson's own list; the rest are one click away.
OFFERED = 12
# How long a login lasts, and a form's token with it: a school day and then some.
LOGIN_HOURS = 12
WEEKDAYS = range(7)  # the desk numbers Monday 0
WEEKDAY_VALUES = {str(n) for n in WEEKDAYS}


def _window_words(window: str, cycle_days: int) -> str:
    if window == "cycle":
        return ngettext("in %(n)s school day", "in %(n)s school days", cycle_days) % {
            "n": cycle_days
        }
    return {"week": _("this week"), "term": _("this term")}.get(window, _("in the window"))


def N_(message: str) -> str:
    """Marks a message for the catalogues; it is looked up where it is shown."""
    return message


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


def _weekday_names() -> list[str]:
    """Monday to Sunday, abbreviated, in the language in use (a week from Monday 2 January 2006)."""
    return [date_text(datetime.date(2006, 1, 2 + n), "weekday") for n in WEEKDAYS]


# The days a page or form may name: wide enough for any school's record, narrow
# enough that a day before or after (the arrows), a week's Monday or a window of
# fair shares is a date too.
FIRST_DAY = datetime.date(1900, 1, 1)
LAST_DAY = datetime.date(2999, 12, 31)
# What the board's public link says when the school's files cannot be read: the
# screen is no place for the server's paths; the desk's pages say what is wrong.
BOARD_TROUBLE = N_("The cover board cannot be shown just now: the cover desk has a problem to fix.")
# Password checks at once: each takes tens of megabytes for its moment.
CHECKS = 2

View = TypeVar("View", bound=Callable[..., Any])


@dataclass
class Site:
    """What one `rotavel serve` serves."""

    folder: Path
    db: Path | None
    state: StateFile
    loopback: bool = True  # only this computer can reach it
    today: Callable[[], datetime.date] = datetime.date.today
    throttle: Throttle = field(default_factory=Throttle)
    board_poll: int = 10  # seconds between the board's checks for a new publish
    language: str | None = None  # None: the school's (rotavel.toml)
    open_desk: Callable[[Path, Path | None], Desk] = Desk.open
    cache: PageCache = field(default_factory=PageCache)
    # The server's threads take turns to write: SQLite would make them wait for
    # one another too, but by sleeping and retrying, which leaves some waiting
    # long after the record is free.
    writing: threading.Lock = field(default_factory=threading.Lock)
    host: str = "127.0.0.1"  # the address listened on
    # The name a reverse proxy serves the desk under: its X-Forwarded-* headers are
    # then believed (the client's address, https), and only that name is answered.
    proxy: str | None = None
    sessions: Sessions = field(default_factory=lambda: Sessions(LOGIN_HOURS * 3600))
    checking: threading.Semaphore = field(default_factory=lambda: threading.Semaphore(CHECKS))
    version: RecordVersion = field(init=False)

    def __post_init__(self) -> None:
        self.version = RecordVersion(self.folder)


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
    hosts = _hosts(site)
    if hosts is not None:

        @app.before_request
        def known_host() -> Response | None:
            # A page elsewhere that points its own name at this address (DNS
            # rebinding) is answered with an error, not the desk. (Werkzeug's
            # TRUSTED_HOSTS cannot name an IPv6 address.)
            if _host_name(request.host) not in hosts:
                return Response("Unknown host name.", 400, mimetype="text/plain")
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
    _routes(app, site)
    # A teacher's own pages, through their personal link (no login).
    personal.register(app, site, lambda: _desk(site), csrf)

    @app.before_request
    def speak() -> None:
        use(language)

    @app.teardown_request
    def english(_error: BaseException | None) -> None:
        use(None)  # a test's client runs requests in the caller's own thread

    return app


def _desk(site: Site) -> Desk:
    if "desk" not in g:
        g.desk = site.open_desk(site.folder, site.db)
    return cast(Desk, g.desk)


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


def _date(text: str | None, site: Site) -> datetime.date:
    if not text:
        return site.today()
    try:
        if re.fullmatch(r"[0-9]{4}-[0-9]{2}-[0-9]{2}", text):
            date = datetime.date.fromisoformat(text)
            if not FIRST_DAY <= date <= LAST_DAY:
                abort(
                    400, f"{text} is outside the days the desk keeps ({FIRST_DAY} to {LAST_DAY})."
                )
            return date
    except ValueError:
        pass
    abort(400, _("%(text)s is not a date written YYYY-MM-DD") % {"text": repr(text)})


def _int(name: str) -> int:
    text = request.form.get(name, "").strip()
    if not re.fullmatch(r"-?[0-9]{1,6}", text):
        abort(400, _("%(field)s must be a whole number") % {"field": name})
    return int(text)


def _text(name: str, limit: int = 500) -> str:
    text = request.form.get(name, "")
    if len(text) > limit:
        abort(
            400,
            _("%(field)s is longer than %(limit)s characters") % {"field": name, "limit": limit},
        )
    return text


def _local(target: str | None) -> str | None:
    """A path on this site to go back to after logging in, never another site."""
    if not target or not target.startswith("/") or target.startswith("//") or "\\" in target:
        return None
    # Browsers drop tabs and line breaks from an address ("/\n/evil.example" is
    # "//evil.example" to them), and a header cannot hold them: no such target.
    if any(ord(c) < 0x20 or ord(c) == 0x7F for c in target):
        return None
    parts = urlsplit(target)
    return None if parts.scheme or parts.netloc else target


def _routes(app: Flask, site: Site) -> None:
    def logged_in() -> bool:
        state = site.state.load()
        epoch = session.get("epoch")
        return (
            state.password is not None
            and epoch is not None
            and epoch == state.epoch
            and site.sessions.alive(session.get("sid"))
        )

    def login_required(view: View) -> View:
        @functools.wraps(view)
        def wrapped(*args: Any, **kwargs: Any) -> Any:
            if not logged_in():
                if request.method == "GET":
                    return redirect(url_for("login", next=request.full_path.rstrip("?")))
                abort(403, _("Log in first."))
            return view(*args, **kwargs)

        return cast(View, wrapped)

    @app.after_request
    def headers(response: Response) -> Response:
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

    @app.context_processor
    def defaults() -> dict[str, object]:
        # The skeleton's: the page's class and no reload; and the page the bar marks.
        # A page's own values win.
        return {"nav": "", "kind": "desk", "refresh": 0}

    @app.teardown_appcontext
    def close_desk(_error: BaseException | None) -> None:
        desk = g.pop("desk", None)
        if desk is not None:
            desk.close()

    @app.errorhandler(CSRFError)
    def bad_token(error: CSRFError) -> tuple[str, int]:
        return render_template(
            "web/error.html",
            title=_("Form expired"),
            message=_(
                "The form had expired or did not come from this site. "
                "Go back, reload the page and try again."
            ),
            logged_in=logged_in(),
        ), 400

    @app.errorhandler(400)
    @app.errorhandler(403)
    @app.errorhandler(404)
    @app.errorhandler(405)
    def refused(error: Any) -> Any:
        if isinstance(error, SecurityError):  # a host name not ours: no page of ours either
            return Response(error.description, error.code, mimetype="text/plain")
        return render_template(
            "web/error.html",
            title=_(error.name),
            message=_(error.description),
            logged_in=logged_in(),
        ), error.code

    # Logging in and out

    @app.get("/login")
    def login() -> str:
        return render_template(
            "web/login.html",
            title=_("Log in · rotavel"),
            has_password=site.state.load().password is not None,
            next=_local(request.args.get("next")) or "",
            folder=str(site.folder),
        )

    @app.post("/login")
    def login_post() -> Any:
        state = site.state.load()
        target = _local(request.form.get("next")) or url_for("today")
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
            return redirect(url_for("login", next=target)), 303
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
            return redirect(url_for("login", next=target)), 303
        site.throttle.succeeded(client)
        site.sessions.end(session.get("sid"))
        session.clear()  # a fresh session: nothing from before the login carries over
        session.permanent = True
        session["epoch"] = state.epoch
        session["sid"] = site.sessions.begin()
        return redirect(target, 303)

    @app.post("/logout")
    def logout() -> Any:
        # Forgotten here, so a copy of the cookie opens nothing either.
        site.sessions.end(session.get("sid"))
        session.clear()
        flash(_("Logged out."), "info")
        return redirect(url_for("login"), 303)

    # Today

    @app.get("/")
    def home() -> Any:
        return redirect(url_for("today"))

    def today_view(date: datetime.date) -> tuple[TodayView, Markup]:
        """The day's view and the bulk of its page, made once per version of the
        record. The bulk holds no token: its forms are the page's own small
        forms, which its buttons name (form="..."), so it is the same for everyone."""
        # Where the desk keeps its record, without opening a desk: a visit that finds
        # the page made costs no connection.
        site.version.watch(site.db if site.db is not None else site.folder / DB_NAME)

        def make() -> tuple[TodayView, Markup]:
            view = TodayView.of(_desk(site), date)
            return view, Markup(render_template("web/today_plan.html", view=view, date=date))

        return site.cache.get(("today", date), site.version.current(), make)

    @app.get("/today")
    @login_required
    def today() -> str:
        date = _date(request.args.get("date"), site)
        try:
            view, bulk = today_view(date)
        except DeskError as error:
            try:  # a day that cannot be planned still shows, and ends, its absences
                absences = _desk(site).absences_on(date)
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
                **_dates(date),
            )
        return render_template(
            "web/today.html",
            title=_("Today · %(day)s") % {"day": date_text(date, "short")},
            date=date,
            nav="today",
            problem=None,
            view=view,
            bulk=bulk,
            **_telling(view, date, site.today()),
            **_dates(date),
        )

    @app.get("/today/lesson")
    @login_required
    def lesson() -> str:
        date = _date(request.args.get("date"), site)
        teacher, period = _lesson_key(request.args.get("lesson", ""))
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
            key=_key(teacher, period),
            free=_desk(site).suggestions(date, teacher, period, view.plan),
            window=view.window,
            work=_desk(site).work(date).get((teacher, period), ""),
        )

    @app.get("/today/why")
    @login_required
    def why() -> str:
        date = _date(request.args.get("date"), site)
        name = request.args.get("name", "")[:300]
        try:
            view, _ = today_view(date)
            answer = _desk(site).why(date, name, view.plan)
        except DeskError as error:
            abort(400, str(error))
        return render_template(
            "web/why.html",
            title=f"Why {name}?",
            date=date,
            nav="today",
            why=answer,
            window=view.window,
        )

    def staff_name(field: str) -> str:
        """The teacher a form names. Pages show names with their controls and
        bidirectional marks escaped (\\u202e), and forms send them back so;
        such a text is mapped back to the name it shows."""
        text = _text(field, 300).strip()
        names = _desk(site).staff_names()
        if text in names:
            return text
        return next((name for name in names if escaped(name) == text), text)

    def back_to_day(date: datetime.date, anchor: str | None = None) -> Any:
        return redirect(url_for("today", date=date.isoformat(), _anchor=anchor), 303)

    def act(
        date: datetime.date, done: str, change: Callable[[Desk], object], anchor: str | None = None
    ) -> Any:
        try:
            with site.writing:
                change(_desk(site))
        except DeskError as error:
            flash(str(error), "error")
        else:
            flash(done, "info")
        return back_to_day(date, anchor)

    @app.post("/absences")
    @login_required
    def add_absence() -> Any:
        date = _date(request.form.get("date"), site)
        name = staff_name("teacher")
        first = _date(request.form.get("first") or date.isoformat(), site)
        last = _date(request.form.get("last") or first.isoformat(), site)
        reason = _text("reason").strip()
        text = _text("periods", 200).strip()
        try:
            periods = parse_periods(text, "periods") if text else None
        except InputError as error:
            flash(str(error), "error")
            return back_to_day(date, "add-absence")
        if not name:
            flash(_("Name the teacher who is away."), "error")
            return back_to_day(date, "add-absence")
        return act(
            date,
            _("Absence of %(name)s added.") % {"name": name},
            lambda desk: desk.add_absence(name, first, last, periods, reason),
            "absences",
        )

    @app.post("/absences/end")
    @login_required
    def end_absence() -> Any:
        date = _date(request.form.get("date"), site)
        absence_id = _int("absence")
        last = _date(request.form.get(f"last-{absence_id}") or date.isoformat(), site)

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

    def lesson_form() -> tuple[datetime.date, str, int]:
        """The lesson whose button was pressed: one form serves every lesson of the day."""
        return _date(request.form.get("date"), site), *_lesson_key(request.form.get("lesson", ""))

    @app.post("/lessons/assign")
    @login_required
    def assign() -> Any:
        date, teacher, period = lesson_form()
        substitute = staff_name(f"s{_key(teacher, period)}")
        if not substitute:
            flash(_("Choose a teacher to cover the lesson."), "error")
            return back_to_day(date, _anchor(teacher, period))
        return act(
            date,
            _("%(substitute)s covers %(teacher)s's lesson in period %(period)s.")
            % {"substitute": substitute, "teacher": teacher, "period": period},
            lambda desk: desk.assign(date, teacher, period, substitute),
            _anchor(teacher, period),
        )

    @app.post("/lessons/no-cover")
    @login_required
    def no_cover() -> Any:
        date, teacher, period = lesson_form()
        return act(
            date,
            _("%(teacher)s's lesson in period %(period)s needs no cover.")
            % {"teacher": teacher, "period": period},
            lambda desk: desk.no_cover(date, teacher, period),
            _anchor(teacher, period),
        )

    @app.post("/lessons/work")
    @login_required
    def set_work() -> Any:
        date, teacher, period = lesson_form()
        work = _text("work", 500)
        return act(
            date,
            f"Set work for {teacher}'s lesson in period {period} "
            + ("saved" if work.strip() else "taken away")
            + "; publish to tell the substitute.",
            lambda desk: desk.set_work(date, teacher, period, work),
            _anchor(teacher, period),
        )

    @app.post("/lessons/release")
    @login_required
    def release() -> Any:
        date, teacher, period = lesson_form()
        return act(
            date,
            _("%(teacher)s's lesson in period %(period)s is planned again.")
            % {"teacher": teacher, "period": period},
            lambda desk: desk.release(date, teacher, period),
            _anchor(teacher, period),
        )

    @app.post("/publish")
    @login_required
    def publish() -> Any:
        date = _date(request.form.get("date"), site)
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
                    shown = site.cache.get(("plan", date), version, lambda: _desk(site).plan(date))
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
        desk = _desk(site)
        if desk.settings.mail is None:
            return
        from rotavel_app.desk import mail

        try:
            with site.writing:
                delivery = mail.deliver(desk)
        except DeskError as error:
            flash(f"E-mail not sent: {error}", "error")
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
        done = site.cache.peek(("published", date))
        return done[1] if version is not None and done is not None and done[0] == version else None

    def store(date: datetime.date, version: Hashable, shown: Plan) -> Plan:
        """Publish the day, storing `shown` while the record is as it was at `version`;
        called holding `site.writing`."""
        desk = _desk(site)
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
        if (
            after is not None
            and desk.others_wrote() == others
            and site.version.school_files() == files
        ):
            site.cache.put(("published", date), after, plan)
        return plan

    # The board: for the staff-room screen, with a login or through its secret link.
    # It shows what was published, never the desk's draft.

    def board_page(token: str | None) -> str:
        date = _date(request.args.get("date"), site)
        version_url = (
            url_for("board_version_by_link", token=token, date=request.args.get("date"))
            if token
            else url_for("board_version_logged_in", date=request.args.get("date"))
        )
        script: dict[str, object] = {"poll": site.board_poll, "version_url": version_url}
        try:
            desk = _desk(site)
            script["version"] = _version(desk, date)
            published = Published.of(desk, date)
        except DeskError as error:
            script.setdefault("version", _trouble_version(error))
            return render_template(
                "web/board_waiting.html",
                kind="board",
                title=_("Cover board"),
                refresh=60,
                heading=_("Cover board · %(day)s") % {"day": date_text(date)},
                # The link is seen by anyone at the screen: no paths of the server.
                message=str(error) if token is None else _(BOARD_TROUBLE),
                **script,
            )
        if published is None:
            return render_template(
                "web/board_waiting.html",
                kind="board",
                title=_("Cover board"),
                refresh=60,
                heading=_("Cover board · %(day)s") % {"day": date_text(date)},
                message=_("The cover for this day has not been published yet."),
                **script,
            )
        # The command's board of the published plan; the screen reloads itself at the
        # school's board_refresh, and the script asks for a new version meanwhile.
        return render_template(
            "web/board.html", **board_context(published.plan, published.changed), **script
        )

    def board_version(token: str | None) -> Response:
        date = _date(request.args.get("date"), site)
        try:
            version = _version(_desk(site), date)
        except DeskError as error:
            version = _trouble_version(error)
        return Response(version, mimetype="text/plain")

    def check_token(token: str) -> None:
        expected = site.state.load().board_token
        if not hmac.compare_digest(token.encode(), expected.encode()):
            abort(404, _("This board link is not (or no longer) valid."))

    @app.get("/board")
    @login_required
    def board() -> str:
        return board_page(None)

    @app.get("/board/version")
    @login_required
    def board_version_logged_in() -> Response:
        return board_version(None)

    @app.get("/board/<token>")
    def board_by_link(token: str) -> str:
        check_token(token)
        return board_page(token)

    @app.get("/board/<token>/version")
    def board_version_by_link(token: str) -> Response:
        check_token(token)
        return board_version(token)

    # Slips: the published plan's, to print or to open on a phone

    @app.get("/slips")
    @login_required
    def slips() -> str:
        date = _date(request.args.get("date"), site)
        try:
            published = Published.of(_desk(site), date)
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
                **_dates(date),
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
            **_dates(date),
        )

    # Staff

    @app.get("/staff")
    @login_required
    def staff() -> str:
        desk = _desk(site)
        date = site.today()
        query = request.args.get("q", "").strip()
        try:
            day = desk.day(date)
        except DeskError as error:
            abort(400, str(error))
        rules = desk.staff_rules()
        members = [
            m for m in day.staff.values() if not query or query.casefold() in m.name.casefold()
        ]
        return render_template(
            "web/staff.html",
            title=_("Staff · rotavel"),
            nav="staff",
            members=members,
            rules=rules,
            query=query,
            weekdays=_weekday_names(),
            board_link=url_for(
                "board_by_link", token=site.state.load().board_token, _external=True
            ),
            settings=day.settings,
        )

    @app.post("/staff/rule")
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
                return redirect(url_for("staff", q=request.form.get("q") or None), 303)
            caps[key] = int(text) if text else None
        ticked = {int(d) for d in request.form.getlist("day") if d in WEEKDAY_VALUES}
        try:
            _desk(site).set_staff_rule(
                name,
                never="never" in request.form,
                last_resort="last_resort" in request.form,
                cap_day=caps["cap_day"],
                cap_week=caps["cap_week"],
                # Every day ticked is no limit, so a new weekday in the timetable is covered too.
                days=None if len(ticked) == len(WEEKDAYS) else frozenset(ticked),
            )
        except DeskError as error:
            flash(str(error), "error")
        else:
            flash(_("Saved the rules for %(name)s.") % {"name": name}, "info")
        return redirect(
            url_for("staff", q=request.form.get("q") or None, _anchor=_slug("staff", name)), 303
        )

    @app.post("/staff/personal-link")
    @login_required
    def personal_link() -> Any:
        name = staff_name("teacher")
        renew = request.form.get("renew") == "1"
        try:
            token = _desk(site).personal_link(name, renew=renew)
        except DeskError as error:
            flash(str(error), "error")
        else:
            base = _desk(site).settings.base_url
            page = (
                f"{base}/my/{token}" if base else url_for("my_covers", token=token, _external=True)
            )
            flash(
                f"{name}'s {'new ' if renew else ''}personal link: {page} "
                f"(calendar: {page}/calendar.ics)"
                + ("; the old one opens nothing now." if renew else ""),
                "info",
            )
        return redirect(url_for("staff", _anchor="personal-links"), 303)

    @app.post("/staff/board-link")
    @login_required
    def renew_board_link() -> Any:
        site.state.renew_board_token()
        flash(_("The board has a new link; the old one no longer opens it."), "info")
        return redirect(url_for("staff", _anchor="board-link"), 303)

    # History

    @app.get("/history")
    @login_required
    def history() -> str:
        last = _date(request.args.get("last"), site)
        first = _date(
            request.args.get("first") or (last - datetime.timedelta(days=27)).isoformat(), site
        )
        if first > last:
            first, last = last, first
        try:
            counts = _desk(site).history(first, last)
            publications = _desk(site).publications(first, last)
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


def _seen_text(duty: Duty) -> str:
    return f"seen {duty.seen_at[11:16]}" if duty.seen_at else "not seen"


# A cover not seen this many minutes before its period starts is flagged on the desk.
SEEN_WARNING = 30


def _telling(view: TodayView, date: datetime.date, today: datetime.date) -> dict[str, Any]:
    """What the Today page says of telling people, worked out on every visit from
    the view kept for the record's version (no desk opened): the e-mail that
    could not be sent, and today's covers their substitute has not seen though
    their period starts soon (or has started)."""
    late = []
    if date == today:
        now = datetime.datetime.now()
        soon = now + datetime.timedelta(minutes=SEEN_WARNING)
        times = view.day.settings.times
        for duty in view.duties:
            period = clock(times.get(duty.period), date)
            if duty.cancelled or duty.seen_at or period is None:
                continue
            if period[0] <= soon and period[1] > now:
                late.append((duty, times.get(duty.period, "")))
    return {"mail_failed": view.mail_failed, "not_seen": late}


def _dates(date: datetime.date) -> dict[str, datetime.date]:
    return {
        "yesterday": date - datetime.timedelta(days=1),
        "tomorrow": date + datetime.timedelta(days=1),
    }


def _slug(kind: str, *parts: object) -> str:
    """An id for a page element, from anything: hex keeps it to safe characters."""
    return kind + "-" + "-".join(str(p).encode("utf-8", "surrogatepass").hex() for p in parts)


def _key(teacher: str, period: int) -> str:
    """A lesson as forms and addresses name it: the period, then the teacher's
    name in URL-safe base64, so that any name at all survives, in few bytes."""
    name = base64.urlsafe_b64encode(teacher.encode("utf-8", "surrogatepass")).rstrip(b"=")
    return f"{period}-{name.decode('ascii')}"


def _lesson_key(key: str) -> tuple[str, int]:
    match = re.fullmatch(r"(-?[0-9]{1,6})-([A-Za-z0-9_-]{1,1600})", key)
    if match is None:
        abort(400, _("The form does not name a lesson."))
    try:
        name = base64.urlsafe_b64decode(match[2] + "=" * (-len(match[2]) % 4))
        return name.decode("utf-8", "surrogatepass"), int(match[1])
    except (ValueError, UnicodeDecodeError):
        abort(400, _("The form does not name a lesson."))


def _anchor(teacher: str, period: int) -> str:
    return "lesson-" + _key(teacher, period)


def _version(desk: Desk, date: datetime.date) -> str:
    """Changes whenever what the board shows changes: a publish, or a decision
    written to the record since."""
    try:
        records = desk.published(date)
        publication = desk.publication(date)
    except DeskError as error:
        return _trouble_version(error)
    digest = hashlib.sha256(repr(publication).encode())
    for cover in records:
        digest.update(repr(astuple(cover)).encode("utf-8", "surrogatepass"))
    return digest.hexdigest()[:32]


def _trouble_version(error: DeskError) -> str:
    """The board's version while the record or the school's files cannot be read:
    new when the problem changes, without saying it (the link is public)."""
    return "error-" + hashlib.sha256(str(error).encode("utf-8", "surrogatepass")).hexdigest()[:16]


@dataclass(frozen=True)
class Published:
    """The day as published: the record's absent lessons as a plan, so the
    board and the slips read it as they read any plan."""

    plan: Plan
    published_at: str
    revision: int
    work: dict[tuple[str, int], str] = field(default_factory=dict)  # the set work published
    changed: frozenset[tuple[str, int]] = frozenset()  # changed after the first publication

    @classmethod
    def of(cls, desk: Desk, date: datetime.date) -> Published | None:
        publication = desk.publication(date)
        plan = desk.published_plan(date)
        if publication is None or plan is None:
            return None
        told = desk.published_lessons(date)
        return cls(
            plan,
            *publication,
            work={key: shown.work for key, (shown, _) in told.items()},
            changed=changed_keys((key, revision) for key, (_, revision) in told.items()),
        )


@dataclass(frozen=True)
class Row:
    item: AbsentLesson
    key: str  # how the forms name the lesson

    @property
    def anchor(self) -> str:
        return "lesson-" + self.key

    @property
    def state(self) -> str:
        if self.item.substitute is not None:
            return "by-hand" if self.item.how == BY_HAND else "covered"
        if self.item.how == NO_COVER:
            return "no-cover"
        if self.item.how == TEAM:
            return "team"
        return "uncovered"

    @property
    def decided(self) -> bool:
        return self.item.how in (BY_HAND, NO_COVER)


@dataclass(frozen=True)
class TodayView:
    day: SchoolDay
    plan: Plan
    absences: list[Any]
    periods: list[tuple[int, list[Row]]]
    free: dict[int, list[Any]]  # period -> the free teachers, best first
    # (period, absent subject) -> the free teachers in the order the plan asks them
    offers: dict[tuple[int, str], list[Any]]
    covers_in_window: dict[str, int]  # covers before today in the window, per teacher
    notes: list[Any]
    staff_names: list[str]
    window: str
    publication: tuple[str, int] | None  # when last published, and how many times
    unpublished: int  # absent lessons whose cover differs from the published one
    changes: list[str] = field(default_factory=list)  # what publishing would change, in words
    seen: dict[tuple[str, int], str] = field(default_factory=dict)  # lesson -> "seen 07:52"
    work: dict[tuple[str, int], str] = field(default_factory=dict)  # the set work (draft)
    duties: list[Duty] = field(default_factory=list)  # the day's covers as told
    mail_failed: list[Queued] = field(default_factory=list)  # e-mail of the day not sent

    def offer(self, item: AbsentLesson) -> tuple[str, list[Any]]:
        """The id of the list a lesson's Assign box offers, and the list: the
        free teachers as the plan asks them for its subject."""
        key = (item.lesson.period, self.day.staff[item.lesson.teacher].subject_key)
        number = list(self.offers).index(key) if key in self.offers else -1
        return f"offer-{number}", self.offers.get(key, [])

    @classmethod
    def of(cls, desk: Desk, date: datetime.date) -> TodayView:
        publication = desk.publication(date)
        plan = desk.plan(date)
        changes = desk.changes(date, plan)
        duties = desk.duties_on(date)
        told = {(d.teacher, d.period, d.substitute): d for d in duties if not d.cancelled}
        free = desk.free(date, plan)  # who is free once this plan is made: no second plan
        offers = desk.offers(date, plan)
        day = plan.day
        grouped: dict[int, list[Row]] = {}
        for item in by_period(plan.absent_lessons):
            grouped.setdefault(item.lesson.period, []).append(
                Row(item, _key(item.lesson.teacher, item.lesson.period))
            )
        return cls(
            day=day,
            plan=plan,
            absences=desk.absences_on(date),
            periods=sorted(grouped.items()),
            free=free,
            offers=offers,
            covers_in_window=desk.window_counts(date),
            notes=notes_of(day, explain(plan, reasons=True)),
            staff_names=list(day.staff),
            window=_window_words(day.settings.window, day.settings.cycle_days),
            publication=publication,
            unpublished=len(changes),
            changes=[change.text for change in changes],
            seen={
                (a.lesson.teacher, a.lesson.period): _seen_text(duty)
                for a in plan.covers
                if (duty := told.get((a.lesson.teacher, a.lesson.period, a.substitute or "")))
            },
            work=desk.work(date),
            duties=duties,
            mail_failed=[q for q in desk.queued_mail(date) if q.tries],
        )


__all__ = ["Site", "create_app"]
