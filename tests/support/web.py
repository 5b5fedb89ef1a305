"""A web desk's site for the tests: a school of six teachers, its record and a password,
and a client logged in to it."""

import base64
import datetime
import io
import re

from rotavel_app.desk.desk import Desk
from rotavel_app.web import command
from rotavel_app.web.app import Site
from rotavel_app.web.secure import StateFile, Throttle
from support.schools import write_school

DATE = datetime.date(2026, 12, 8)  # a Tuesday
PASSWORD = "staff room kettle"

# Four periods; in each, two of the six teachers are free. Ann and Cat are the
# ones made absent by the tests.
STAFF = [
    ("Ann", "maths", "yes", ""),
    ("Bob", "maths", "yes", ""),
    ("Cat", "english", "yes", ""),
    ("Dan", "english", "yes", ""),
    ("Eve", "physics", "yes", ""),
    ("Fay", "physics", "yes", ""),
]
LESSONS = [
    ("Ann", 1, "9A"),
    ("Cat", 1, "9B"),
    ("Eve", 1, "9C"),
    ("Bob", 1, "9D"),
    ("Ann", 2, "9B"),
    ("Dan", 2, "9A"),
    ("Fay", 2, "9C"),
    ("Eve", 2, "9D"),
    ("Cat", 3, "9A"),
    ("Bob", 3, "9B"),
    ("Dan", 3, "9C"),
    ("Fay", 3, "9D"),
    ("Ann", 4, "9C"),
    ("Cat", 4, "9D"),
    ("Eve", 4, "9A"),
    ("Dan", 4, "9B"),
]


class Clock:
    def __init__(self):
        self.now = 1000.0

    def __call__(self):
        return self.now


def make_site(folder, staff=STAFF, lessons=LESSONS, password=PASSWORD):
    write_school(folder, staff, lessons)
    state = StateFile(folder / "rotavel-serve.json")
    if password is not None:
        state.set_password(password)
    clock = Clock()
    site = Site(folder, None, state, today=lambda: DATE, throttle=Throttle(clock=clock))
    site.clock = clock
    return site


def token_of(page):
    return re.search(r'name="csrf_token" value="([^"]+)"', page)[1]


def log_in(client, password=PASSWORD):
    page = client.get("/login").text
    return client.post("/login", data={"csrf_token": token_of(page), "password": password})


def post(client, path, **form):
    """A form posted as the page would: with the session's token."""
    form.setdefault("csrf_token", token_of(client.get("/today").text))
    form.setdefault("date", DATE.isoformat())
    return client.post(path, data=form)


def record(site):
    """Everything the desk keeps that a page can change."""
    with Desk.open(site.folder) as desk:
        return (
            [(a.name, a.first, a.last, a.periods, a.reason) for a in desk.absences_on(DATE)],
            [(r.teacher, r.period, r.substitute, r.how) for r in desk.published(DATE)],
            desk.publication(DATE) is not None,
            desk.staff_rules(),
            site.state.load().board_token,
        )


def absent(site, name, periods=None, reason="Ill"):
    with Desk.open(site.folder) as desk:
        return desk.add_absence(name, DATE, DATE, periods, reason)


def run_serve(capsys, *args, stdin_text=None, monkeypatch=None):
    stdin = io.StringIO(stdin_text or "")
    code = command.main(list(args), stdin=stdin)
    out, err = capsys.readouterr()
    return code, out, err


def fake_server(monkeypatch):
    """waitress's server replaced by one that only says how it was made and run."""
    served = {}

    class Server:
        def __init__(self, app, **options):
            served.update(options)

        def run(self):
            served["ran"] = True

        def close(self):
            served["closed"] = True

    monkeypatch.setattr(command, "make_server", Server)
    return served


def lesson(teacher, period, substitute=None):
    """The fields a lesson's button sends: which lesson, and the name typed for it."""
    name = base64.urlsafe_b64encode(teacher.encode()).decode().rstrip("=")
    key = f"{period}-{name}"
    return {"lesson": key} | ({} if substitute is None else {f"s{key}": substitute})


def site_for(folder, today=DATE):
    """A web desk on a school folder written apart, its password set, on the given day."""
    state = StateFile(folder / "rotavel-serve.json")
    if state.load().password is None:
        state.set_password(PASSWORD)
    return Site(folder, None, state, today=lambda: today)
