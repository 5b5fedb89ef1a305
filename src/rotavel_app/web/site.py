"""What one `rotavel serve` serves, and how a request reaches it.

The app keeps its Site in `app.extensions["rotavel"]`; a view asks for it with
`get_site()`, and for the request's Desk with `get_desk()`: one connection per
request, opened on first use and closed when the request ends, so waitress's
threads never share a connection.
"""

from __future__ import annotations

import datetime
import functools
import threading
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, cast

from flask import abort, current_app, g, redirect, request, session, url_for

from rotavel_app.desk.desk import Desk
from rotavel_app.language import _
from rotavel_app.web.cache import PageCache, RecordVersion
from rotavel_app.web.secure import Sessions, StateFile, Throttle

# How long a login lasts, and a form's token with it: a school day and then some.
LOGIN_HOURS = 12
# Password checks at once: each takes tens of megabytes for its moment.
CHECKS = 2


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


def get_site() -> Site:
    """The site the current app serves."""
    return cast(Site, current_app.extensions["rotavel"])


def get_desk() -> Desk:
    """The request's desk, opened on first use; `close_desk` closes it."""
    if "desk" not in g:
        site = get_site()
        g.desk = site.open_desk(site.folder, site.db)
    return cast(Desk, g.desk)


def close_desk(_error: BaseException | None = None) -> None:
    desk = g.pop("desk", None)
    if desk is not None:
        desk.close()


def logged_in() -> bool:
    site = get_site()
    state = site.state.load()
    epoch = session.get("epoch")
    return (
        state.password is not None
        and epoch is not None
        and epoch == state.epoch
        and site.sessions.alive(session.get("sid"))
    )


def login_required[View: Callable[..., Any]](view: View) -> View:
    @functools.wraps(view)
    def wrapped(*args: Any, **kwargs: Any) -> Any:
        if not logged_in():
            if request.method == "GET":
                return redirect(url_for("auth.login", next=request.full_path.rstrip("?")))
            abort(403, _("Log in first."))
        return view(*args, **kwargs)

    return cast(View, wrapped)
