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

from rotavel_cli.board import board_context, notes_of
from rotavel_cli.chart import bar_chart
from rotavel_cli.desk import DB_NAME, Desk, DeskError
from rotavel_cli.language import _, date_text, ngettext, use
from rotavel_cli.messages import InputError
from rotavel_cli.plan import BY_HAND, NO_COVER, TEAM, AbsentLesson, Plan
from rotavel_cli.records import field, record, values
from rotavel_cli.schoolday import Lesson, SchoolDay, parse_periods
from rotavel_cli.settings import load_settings
from rotavel_cli.slips import slips_context
from rotavel_cli.web.cache import PageCache, RecordVersion
from rotavel_cli.web.secure import StateFile, Throttle, check_password
from rotavel_cli.webpage import configure, shown
from rotavel_cli.wording import (
    away_text,
    by_period,
    day_label,
    explain,
    in_at,
    periods_text,
)

PACKAGE = Path(__file__).resolve().parent.parent
# Free teachers offered in a lesson's own list; the rest are one click away.
OFFERED = 12
# How long a login lasts, and a form's token with it: a school day and then some.
LOGIN_HOURS = 12
WEEKDAYS = range(7)  # the desk numbers Monday 0
WEEKDAY_VALUES = {str(n) for n in WEEKDAYS}


def _window_words(window: str) -> str:
    return {"week": _("this week"), "cycle": _("this cycle"), "term": _("this term")}.get(
        window, _("in the window")
    )


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


View = TypeVar("View", bound=Callable[..., Any])


@record
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
    version: RecordVersion = field(init=False)

    def __post_init__(self) -> None:
        self.version = RecordVersion(self.folder)


def create_app(site: Site) -> Flask:
    app = Flask(
        __name__,
        template_folder=str(PACKAGE / "templates"),
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
        MAX_CONTENT_LENGTH=1024 * 1024,
        TEMPLATES_AUTO_RELOAD=False,
    )
    if site.loopback:
        # A page elsewhere that points its own name at 127.0.0.1 (DNS rebinding) is
        # answered with an error, not the desk.
        app.config["TRUSTED_HOSTS"] = ["localhost", "127.0.0.1", "::1", "[::1]"]
    configure(app.jinja_env)  # values printed as on the command's pages: see webpage.py
    app.jinja_env.globals.update(
        offered=OFFERED,
        day_label=day_label,
        periods_text=periods_text,
        away_text=away_text,
    )
    CSRFProtect(app)
    app.extensions["rotavel"] = site
    _routes(app, site)

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


def _date(text: str | None, site: Site) -> datetime.date:
    if not text:
        return site.today()
    try:
        if re.fullmatch(r"[0-9]{4}-[0-9]{2}-[0-9]{2}", text):
            return datetime.date.fromisoformat(text)
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
    parts = urlsplit(target)
    return None if parts.scheme or parts.netloc else target


def _routes(app: Flask, site: Site) -> None:
    def logged_in() -> bool:
        state = site.state.load()
        epoch = session.get("epoch")
        return state.password is not None and epoch is not None and epoch == state.epoch

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
        response.headers["Referrer-Policy"] = "no-referrer"  # the board's link stays private
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
        wait = site.throttle.wait()
        if wait > 0:
            seconds = math.ceil(wait)
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
        if state.password is None or not check_password(password, state.password):
            delay = site.throttle.failed()
            seconds = math.ceil(delay)
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
        site.throttle.succeeded()
        session.clear()  # a fresh session: nothing from before the login carries over
        session.permanent = True
        session["epoch"] = state.epoch
        return redirect(target, 303)

    @app.post("/logout")
    def logout() -> Any:
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
            return render_template(
                "web/today.html",
                title=_("Today · %(day)s") % {"day": date_text(date, "short")},
                date=date,
                nav="today",
                problem=str(error),
                view=None,
                bulk="",
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
            free=view.free.get(period, []),
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
        return next((name for name in names if shown(name) == text), text)

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
        return act(
            date,
            _("Absence ended: back after %(day)s.") % {"day": date_text(last, "day_month")},
            lambda desk: desk.end_absence(absence_id, last),
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
                        plan = store(date, version, shown)
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
        return back_to_day(date)

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
            date, shown, lambda: version is not None and site.version.current() == version
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
        desk = _desk(site)
        version_url = (
            url_for("board_version_by_link", token=token, date=request.args.get("date"))
            if token
            else url_for("board_version_logged_in", date=request.args.get("date"))
        )
        script = {
            "version": _version(desk, date),
            "poll": site.board_poll,
            "version_url": version_url,
        }
        try:
            published = Published.of(desk, date)
        except DeskError as error:
            return render_template(
                "web/board_waiting.html",
                kind="board",
                title=_("Cover board"),
                refresh=60,
                heading=_("Cover board · %(day)s") % {"day": date_text(date)},
                message=str(error),
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
        return render_template("web/board.html", **board_context(published.plan), **script)

    def board_version(token: str | None) -> Response:
        date = _date(request.args.get("date"), site)
        return Response(_version(_desk(site), date), mimetype="text/plain")

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
                published=False,
                date=date,
                nav="slips",
                **_dates(date),
            )
        return render_template(
            "web/slips.html",
            **slips_context(published.plan),
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
        except DeskError as error:
            abort(400, str(error))
        return render_template(
            "web/history.html",
            title=_("History · rotavel"),
            nav="history",
            first=first,
            last=last,
            counts=counts,
            chart=bar_chart(counts),
            total=sum(n for _, n in counts),
        )


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
        return "error: " + str(error)
    digest = hashlib.sha256(repr(publication).encode())
    for cover in records:
        digest.update(repr(values(cover)).encode("utf-8", "surrogatepass"))
    return digest.hexdigest()[:32]


@record(frozen=True)
class Published:
    """The day as published: the record's absent lessons as a plan, so the
    board and the slips read it as they read any plan."""

    plan: Plan
    published_at: str
    revision: int

    @classmethod
    def of(cls, desk: Desk, date: datetime.date) -> Published | None:
        publication = desk.publication(date)
        if publication is None:
            return None
        day = desk.day(date)
        lessons = {(x.teacher, x.period): x for x in day.lessons}
        items = []
        for cover in desk.published(date):
            member = day.staff.get(cover.teacher)
            lesson = lessons.get((cover.teacher, cover.period)) or Lesson(
                cover.teacher, cover.period, (cover.classes,), cover.room
            )
            team: tuple[str, ...] = ()
            if cover.how == TEAM:
                team = tuple(
                    t for t in lesson.team if t in day.staff and in_at(day.staff[t], cover.period)
                )
            items.append(
                AbsentLesson(
                    lesson,
                    member.subject if member else "",
                    member.reason if member else "",
                    cover.substitute,
                    cover.how,
                    team,
                )
            )
        return cls(Plan(day, tuple(items)), *publication)


@record(frozen=True)
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


@record(frozen=True)
class TodayView:
    day: SchoolDay
    plan: Plan
    absences: list[Any]
    periods: list[tuple[int, list[Row]]]
    free: dict[int, list[Any]]  # period -> the free teachers, best first
    notes: list[Any]
    staff_names: list[str]
    window: str
    publication: tuple[str, int] | None  # when last published, and how many times
    unpublished: int  # absent lessons whose cover differs from the published one

    @classmethod
    def of(cls, desk: Desk, date: datetime.date) -> TodayView:
        publication = desk.publication(date)
        record = {(r.teacher, r.period): (r.substitute, r.how) for r in desk.published(date)}
        plan = desk.plan(date)
        free = desk.free(date, plan)  # who is free once this plan is made: no second plan
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
            notes=notes_of(day, explain(plan, reasons=True)),
            staff_names=list(day.staff),
            window=_window_words(day.settings.window),
            publication=publication,
            unpublished=sum(
                record.pop((a.lesson.teacher, a.lesson.period), None) != (a.substitute, a.how)
                for a in plan.absent_lessons
            )
            + len(record),
        )


__all__ = ["Site", "create_app"]
