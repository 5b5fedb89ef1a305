"""The web desk's areas: every address still answered, each behind the login
it had, and the views of a day made without Flask."""

import subprocess
import sys

import pytest

pytest.importorskip("flask", reason="the serve extra (pip install 'rotavel[serve]') is missing")

from support.web import DATE, absent, log_in, post

from rotavel_app.desk.desk import Desk
from rotavel_app.web.app import create_app
from rotavel_app.web.views import lesson_key

# Every address the desk answers, with its methods (HEAD and OPTIONS aside).
ADDRESSES = {
    ("/", "GET"),
    ("/login", "GET"),
    ("/login", "POST"),
    ("/logout", "POST"),
    ("/today", "GET"),
    ("/today/lesson", "GET"),
    ("/today/why", "GET"),
    ("/absences", "POST"),
    ("/absences/end", "POST"),
    ("/lessons/assign", "POST"),
    ("/lessons/no-cover", "POST"),
    ("/lessons/work", "POST"),
    ("/lessons/release", "POST"),
    ("/publish", "POST"),
    ("/board", "GET"),
    ("/board/version", "GET"),
    ("/board/<token>", "GET"),
    ("/board/<token>/version", "GET"),
    ("/slips", "GET"),
    ("/staff", "GET"),
    ("/staff/rule", "POST"),
    ("/staff/personal-link", "POST"),
    ("/staff/board-link", "POST"),
    ("/history", "GET"),
    ("/my/<token>", "GET"),
    ("/my/<token>/seen", "POST"),
    ("/my/<token>/calendar.ics", "GET"),
    ("/static/<path:filename>", "GET"),
}
# Open without a login: the door, the board's and a teacher's secret links, the files.
OPEN = {
    "/",
    "/login",
    "/logout",
    "/board/<token>",
    "/board/<token>/version",
    "/static/<path:filename>",
}


def test_every_address_is_answered_as_before(app):
    answered = {
        (rule.rule, method)
        for rule in app.url_map.iter_rules()
        for method in rule.methods - {"HEAD", "OPTIONS"}
    }
    assert answered == ADDRESSES


@pytest.mark.parametrize(
    ("path", "method"),
    sorted(a for a in ADDRESSES if a[0] not in OPEN and not a[0].startswith("/my/")),
)
def test_every_desk_page_and_action_wants_a_login(app, path, method):
    if method == "GET":
        answer = app.test_client().get(path)
        assert (answer.status_code, answer.location) == (
            302,
            "/login?next=" + path,
        )
    else:
        # The form's token is checked first: a post from this site, without a login.
        client = app.test_client()
        page = client.get("/login").text
        token = page.split('name="csrf_token" value="')[1].split('"')[0]
        assert client.post(path, data={"csrf_token": token}).status_code == 403


def test_a_request_opens_one_desk_and_closes_it(site):
    opened = []

    class Counted(Desk):
        def close(self):
            opened.append("closed")
            super().close()

    def open_desk(folder, db):
        opened.append("opened")
        return Counted.open(folder, db)

    site.open_desk = open_desk
    browser = create_app(site).test_client()
    assert log_in(browser).status_code == 303
    opened.clear()
    assert browser.get(f"/history?last={DATE.isoformat()}").status_code == 200
    assert opened == ["opened", "closed"]


@pytest.mark.parametrize(
    ("day", "status"),
    [("1900-01-01", 200), ("2999-12-31", 200), ("1899-12-31", 400), ("3000-01-01", 400)],
)
def test_the_pages_keep_to_the_days_the_desk_keeps(client, day, status):
    assert client.get(f"/history?first={day}&last={day}").status_code == status


@pytest.mark.parametrize("teacher", ["Zoë Ångström", "a/b?c&d=e#f", "\ud800 lone"])
def test_a_lesson_key_names_any_teacher_and_goes_back(teacher, app):
    from rotavel_app.web.forms import lesson_of

    with app.test_request_context():
        assert lesson_of(lesson_key(teacher, -3)) == (teacher, -3)


def test_the_views_of_a_day_need_no_flask():
    # The desk's other doors (commands, a script) read a day's views without the serve extra.
    code = (
        "import sys, rotavel_app.web.views; "
        "print(sorted(m for m in sys.modules if m.split('.')[0] in ('flask', 'werkzeug')))"
    )
    ran = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert ran.stdout == "[]\n"


@pytest.mark.parametrize(
    ("work", "said"),
    [
        ("Page 12", "Set work for Ann's lesson in period 1 saved; publish to tell the substitute."),
        ("  ", "Set work for Ann's lesson in period 1 taken away; publish to tell the substitute."),
    ],
)
def test_setting_work_says_what_was_done(site, client, work, said):
    absent(site, "Ann")
    answer = post(client, "/lessons/work", lesson=lesson_key("Ann", 1), work=work)
    assert answer.status_code == 303
    page = client.get(answer.location).text
    assert said.replace("'", "&#39;") in page


@pytest.mark.parametrize(("length", "status"), [(500, 303), (501, 400)])
def test_a_forms_text_is_taken_up_to_its_limit(site, client, length, status):
    # Set work and an absence's reason: that many are saved, one more is refused.
    absent(site, "Ann")
    answer = post(client, "/lessons/work", lesson=lesson_key("Ann", 1), work="w" * length)
    assert answer.status_code == status
    form = {"date": DATE.isoformat(), "teacher": "Bob", "reason": "r" * length}
    assert post(client, "/absences", **form).status_code == status
    with Desk.open(site.folder) as desk:
        assert desk.work(DATE) == ({("Ann", 1): "w" * length} if status == 303 else {})
        reasons = [a.reason for a in desk.absences_on(DATE) if a.name == "Bob"]
        assert reasons == (["r" * length] if status == 303 else [])


def test_the_why_page_is_titled_with_the_name(site, client):
    absent(site, "Ann")
    page = client.get(f"/today/why?date={DATE.isoformat()}&name=Bob").text
    assert "<title>Why Bob?</title>" in page


@pytest.mark.parametrize(
    ("path", "kept"),
    # A page is never kept (it may name a day's absences); a script is checked again.
    [("/today", "no-store"), ("/static/board.js", "no-cache")],
)
def test_pages_are_never_kept_by_the_browser_and_its_scripts_are_checked(client, path, kept):
    answer = client.get(path)
    assert (answer.status_code, answer.headers.get("Cache-Control")) == (200, kept)
    assert answer.headers["X-Frame-Options"] == "DENY"
