"""`rotavel serve` through Flask's test client, and the command's refusals."""

import datetime
import html
import io
import re
import threading

import pytest

pytest.importorskip("flask", reason="the serve extra (pip install 'rotavel[serve]') is missing")

from support.schools import write_school
from support.web import (
    DATE,
    LESSONS,
    PASSWORD,
    STAFF,
    absent,
    fake_server,
    lesson,
    log_in,
    make_site,
    post,
    record,
    run_serve,
    site_for,
    token_of,
)

from rotavel_app.commands import main as cli
from rotavel_app.desk.desk import Desk, StaffRule
from rotavel_app.pages.chart import bar_chart
from rotavel_app.web import command, secure
from rotavel_app.web.app import create_app
from rotavel_app.web.cache import PageCache
from rotavel_app.web.secure import StateFile, check_password, hash_password

EVIL = "<script>alert(1)</script>"
BIDI = "Ann\u202eoaR"
CONTROL = "Bob\x1b]0;owned\x07"


def published(site):
    with Desk.open(site.folder) as desk:
        return {(r.teacher, r.period): (r.substitute, r.how) for r in desk.published(DATE)}


# Every route that changes something, with a form it would accept.
EDITS = [
    ("/absences", {"teacher": "Ann", "first": "2026-12-08", "last": "2026-12-08", "reason": "x"}),
    ("/absences/end", {"absence": "1", "last-1": "2026-12-08"}),
    ("/lessons/assign", lesson("Ann", 1, "Dan")),
    ("/lessons/no-cover", lesson("Ann", 1)),
    ("/lessons/release", lesson("Ann", 1)),
    ("/publish", {}),
    ("/staff/rule", {"teacher": "Bob", "never": "on"}),
    ("/staff/board-link", {}),
]


# Every route is checked (none exempted); how a token is wrong, on one of them.
@pytest.mark.parametrize(
    ("path", "form", "token"),
    [(path, form, "none") for path, form in EDITS]
    + [(*EDITS[0], "another session's"), (*EDITS[0], "tampered")],
)
def test_an_edit_without_its_token_is_refused(site, app, client, path, form, token):
    absent(site, "Ann")
    before = record(site)
    form = {"date": "2026-12-08", **form}
    if token == "another session's":
        form["csrf_token"] = token_of(app.test_client().get("/login").text)
    elif token == "tampered":
        good = token_of(client.get("/today").text)
        form["csrf_token"] = good[:-2] + ("AA" if not good.endswith("AA") else "BB")
    response = client.post(path, data=form)
    assert response.status_code == 400
    assert "The form had expired or did not come from this site." in response.text
    assert record(site) == before


# Every desk page without its query is in test_web_areas.py; a query is read only after the login.
def test_a_page_without_login_sends_to_the_login(app):
    response = app.test_client().get("/today/lesson?lesson=1-QW5u")
    assert response.status_code == 302
    assert response.headers["Location"].startswith("/login?next=")
    assert "<main>" not in response.text


def test_the_session_cookie_is_http_only_and_same_site(app):
    response = log_in(app.test_client())
    cookie = response.headers["Set-Cookie"]
    assert "HttpOnly" in cookie and "SameSite=Lax" in cookie


def test_pages_load_nothing_from_other_hosts(client):
    response = client.get("/today")
    policy = response.headers["Content-Security-Policy"]
    assert "default-src 'none'" in policy
    assert "script-src 'self';" in policy
    assert response.headers["Referrer-Policy"] == "same-origin"
    assert response.headers["X-Frame-Options"] == "DENY"
    assert re.findall(r'(?:src|href|action)="(?:https?:)?//', response.text) == []


def test_a_page_asked_for_under_another_host_name_is_refused(client):
    # A site that points its own name at 127.0.0.1 must not reach the desk.
    assert client.get("/today", headers={"Host": "evil.example"}).status_code == 400
    assert client.get("/today", headers={"Host": "localhost:8000"}).status_code == 200


def test_a_wrong_password_slows_down_the_next_try(site, app):
    visitor = app.test_client()
    waits = []
    for _ in range(8):
        response = log_in(visitor, "wrong password")
        assert response.status_code == 303
        waits.append(site.throttle.wait("127.0.0.1"))
        message = visitor.get("/login").text
        assert f"Wrong password. Try again in {waits[-1]:.0f} second" in message
        # Within the wait even the right password is not tried.
        assert log_in(visitor).headers["Location"].startswith("/login")
        assert "Too many wrong passwords: wait" in visitor.get("/login").text
        site.clock.now += waits[-1]
    assert waits == [1, 2, 4, 8, 16, 32, 60, 60]
    assert log_in(visitor).headers["Location"] == "/today"
    assert visitor.get("/today").status_code == 200
    assert site.throttle.failures("127.0.0.1") == 0


def test_without_a_password_nobody_logs_in(tmp_path):
    site = make_site(tmp_path / "school", password=None)
    visitor = create_app(site).test_client()
    page = visitor.get("/login").text
    assert "No password is set yet" in page and "--set-password" in page and "<form" not in page
    assert visitor.post("/login", data={"password": ""}).status_code == 400
    assert visitor.get("/today").status_code == 302


def test_a_new_password_ends_every_session(site, client):
    assert client.get("/today").status_code == 200
    site.state.set_password("another password")
    assert client.get("/today").status_code == 302


def test_the_morning_through_the_forms(site, client):
    response = post(client, "/absences", teacher="Ann", last="2026-12-09", reason="Sick")
    assert response.headers["Location"] == "/today?date=2026-12-08#absences"
    post(client, "/absences", teacher="Cat", periods="3-4", reason="Dentist")
    page = client.get("/today").text
    assert "Absence of Cat added." in page
    with Desk.open(site.folder) as desk:
        assert [(a.name, a.first, a.last, a.periods, a.reason) for a in desk.absences_on(DATE)] == [
            ("Ann", DATE, DATE + datetime.timedelta(1), None, "Sick"),
            ("Cat", DATE, DATE, frozenset({3, 4}), "Dentist"),
        ]
        plan = desk.plan(DATE)
        free = desk.free(DATE)
        offers = desk.offers(DATE)
    # Each period and absent subject offers its free teachers in the order the
    # plan asks them, with their covers; every lesson of it points at the list.
    for number, teachers in enumerate(offers.values()):
        listed = re.search(rf'<datalist id="offer-{number}">.*?</datalist>', page, re.S)[0]
        label = "{0.name} · {0.subject} · {0.covers_today} today · {0.covers_in_window} in 20 school days"
        assert re.findall(r'<option value="([^"]+)" label="([^"]+)">', listed) == [
            (f.name, label.format(f)) for f in teachers
        ]
    keys = list(offers)
    for item in plan.absent_lessons:
        key = lesson(item.lesson.teacher, item.lesson.period)["lesson"]
        row = re.search(rf'<tr id="lesson-{re.escape(key)}".*?</tr>', page, re.S)[0]
        subject = plan.day.staff[item.lesson.teacher].subject_key
        assert f'list="offer-{keys.index((item.lesson.period, subject))}"' in row
    lessons = sorted((a.lesson.teacher, a.lesson.period) for a in plan.absent_lessons)
    assert lessons == [("Ann", 1), ("Ann", 2), ("Ann", 4), ("Cat", 3), ("Cat", 4)]
    # Overrule one cover by hand, mark one lesson as needing none, publish.
    choice = free[1][-1].name
    post(client, "/lessons/assign", **lesson("Ann", 1, choice))
    post(client, "/lessons/no-cover", **lesson("Ann", 2))
    response = post(client, "/publish")
    assert response.headers["Location"] == "/today?date=2026-12-08"
    page = client.get("/today").text
    assert "Published:" in page and "nothing changed since" in page
    kept = published(site)
    assert (kept["Ann", 1], kept["Ann", 2]) == ((choice, "by hand"), (None, "no cover needed"))
    # A new absence plans only its own lessons; what was published stays.
    post(client, "/absences", teacher="Eve", periods="4", reason="Trip")
    with Desk.open(site.folder) as desk:
        now = {
            (a.lesson.teacher, a.lesson.period): (a.substitute, a.how)
            for a in desk.plan(DATE).absent_lessons
        }
    assert {k: v for k, v in now.items() if k in kept} == kept
    assert set(now) - set(kept) == {("Eve", 4)}
    assert "1 change not yet published" in client.get("/today").text
    # Back to the plan, and an absence ended.
    post(client, "/lessons/release", **lesson("Ann", 2))
    assert "lesson in period 2 is planned again" in client.get("/today").text
    post(client, "/absences/end", absence="1", **{"last-1": "2026-12-08"})
    with Desk.open(site.folder) as desk:
        assert desk.absence(1).last == DATE


@pytest.mark.parametrize(
    ("path", "form", "message"),
    [
        ("/absences", {"teacher": "Zed"}, "unknown teacher &#39;Zed&#39;"),
        ("/absences", {"teacher": ""}, "Name the teacher who is away."),
        ("/absences", {"teacher": "Ann", "periods": "3-1"}, "periods &#39;3-1&#39; is not a range"),
        (
            "/absences",
            {"teacher": "Ann", "first": "2026-12-09", "last": "2026-12-08"},
            "before it starts",
        ),
        ("/lessons/assign", lesson("Ann", 1, "Cat"), "Cat is teaching 9B in period 1"),
    ],
)
def test_a_refused_form_says_why_and_changes_nothing(site, client, path, form, message):
    absent(site, "Ann")
    before = record(site)
    response = post(client, path, **form)
    # To the top of the day, where the message stands, not the lesson's place below it.
    assert response.headers["Location"] == f"/today?date={DATE}"
    assert message in client.get("/today").text
    assert record(site) == before


@pytest.mark.parametrize(
    "path",
    [
        "/today?date=2026-13-01",
        "/history?first=1.1.2026",
        "/today/lesson?lesson=x-QW5u",
        "/today/lesson?lesson=1-QW5u.",
        "/today/lesson?lesson=1-_w",
    ],
)
def test_a_bad_address_is_a_plain_error(client, path):
    response = client.get(path)
    assert response.status_code == 400
    assert "Traceback" not in response.text


def test_every_period_of_the_board_and_its_link(site, app, client):
    absent(site, "Ann")
    link = site.state.load().board_token
    assert len(link) >= 43  # 32 random bytes
    stranger = app.test_client()
    assert "has not been published yet" in stranger.get(f"/board/{link}").text
    before = stranger.get(f"/board/{link}/version").text
    post(client, "/publish")
    board = stranger.get(f"/board/{link}").text
    assert stranger.get(f"/board/{link}/version").text != before
    assert re.findall(r'<h2 class="period">Period (\d+)', board) == ["1", "2", "4"]
    assert "<a " not in board and "<form" not in board and "<button" not in board
    # Reasons only when the school's settings say so.
    assert "Ill" not in board and "Ill" not in client.get("/board").text
    assert stranger.get("/board/" + link[:-1] + "x").status_code == 404
    post(client, "/staff/board-link")
    assert stranger.get(f"/board/{link}").status_code == 404
    link = site.state.load().board_token
    assert stranger.get(f"/board/{link}").status_code == 200
    (site.folder / "rotavel.toml").write_text("show_reasons = true\n")
    assert "Ill" in create_app(site).test_client().get(f"/board/{link}").text


def test_slips_are_the_published_plans(site, client):
    absent(site, "Ann")
    assert "has not been published yet" in client.get("/slips").text
    post(client, "/publish")
    with Desk.open(site.folder) as desk:
        substitutes = sorted({a.substitute for a in desk.plan(DATE).covers})
    page = client.get("/slips").text
    assert re.findall(r"<h2>([^<]+)</h2>", page) == substitutes


def test_staff_rules_from_the_form(site, client):
    bob = {"last_resort": "on", "cap_day": "2", "cap_week": "", "day": ["0", "1", "2"]}
    post(client, "/staff/rule", teacher="Bob", **bob)
    every_day = [str(d) for d in range(7)]
    saved = post(client, "/staff/rule", teacher="Dan", never="on", q="da", day=every_day)
    # Back to the list as it was searched, at the teacher's rules.
    assert saved.headers["Location"].startswith("/staff?q=da#")
    with Desk.open(site.folder) as desk:
        rules = desk.staff_rules()
    assert rules == {
        "Bob": StaffRule(last_resort=True, cap_day=2, days=frozenset({0, 1, 2})),
        "Dan": StaffRule(never=True),
    }
    post(client, "/staff/rule", teacher="Bob", cap_day="two")
    assert "cap day must be a whole number" in client.get("/staff").text


def test_history_chart_and_table(site, client):
    absent(site, "Ann")
    post(client, "/publish")
    page = client.get("/history?first=2026-12-01&last=2026-12-08").text
    with Desk.open(site.folder) as desk:
        counts = desk.history(datetime.date(2026, 12, 1), DATE)
    bars = re.findall(r'<rect x="260" y="\d+" width="([\d.]+)"', page)
    covered = [c for c in counts if c[1]]
    assert sum(n for _, n in covered) == 3  # Ann's three lessons
    assert [float(b) for b in bars] == [b.width for b in bar_chart(covered).bars]
    rows = re.findall(r'<tr><th scope="row">([^<]+)</th><td class="number">(\d+)</td>', page)
    assert rows == [(name, str(count)) for name, count in counts]


@pytest.mark.parametrize(
    ("counts", "widths", "ticks"),
    [
        ({"A": 3, "B": 0, "C": 7, "D": 7}, {"C": 490, "D": 490, "A": 210}, [0, 2, 4, 6, 8]),
        ({"A": 1}, {"A": 560}, [0, 1]),
        ({"b": 12, "A": 12, "c": 30}, {"c": 560, "A": 224, "b": 224}, [0, 5, 10, 15, 20, 25, 30]),
        ({"A": 0}, {}, [0, 1]),
    ],
)
def test_bar_chart_geometry(counts, widths, ticks):
    chart = bar_chart(list(counts.items()))
    assert [(b.name, b.width) for b in chart.bars] == list(widths.items())
    assert [t.value for t in chart.ticks] == ticks
    assert chart.ticks[-1].x == 260 + 560


def test_a_long_history_charts_the_most_and_tables_all():
    chart = bar_chart([(f"T{n:03}", n) for n in range(1, 101)], most=40)
    assert (len(chart.bars), chart.more, chart.bars[0].name) == (40, 60, "T100")


@pytest.fixture
def hostile(tmp_path):
    staff = [(n, s, "yes", "") for n, s in ((EVIL, "maths"), (BIDI, "maths"), (CONTROL, "english"))]
    staff.append(("Dan", "english", "yes", ""))
    lessons = [(EVIL, 1, "9A<b>"), (BIDI, 1, "9B"), (CONTROL, 2, "9A<b>"), ("Dan", 2, "9B")]
    lessons.append((EVIL, 2, "9C"))
    return make_site(tmp_path / "school", staff, lessons)


def test_hostile_names_render_inert_and_round_trip(hostile):
    client = create_app(hostile).test_client()
    log_in(client)
    post(client, "/absences", teacher=EVIL, reason=f"{BIDI} {EVIL}")
    post(client, "/absences", teacher=CONTROL, reason="\u202egnorw")
    today = client.get("/today").text
    # Lessons are named in hex; the lists offer names as the page shows them, and
    # the desk gets the real ones.
    keys = re.findall(r'form="f-no-cover" name="lesson" value="([^"]+)"', today)
    by_period_then_class = [(EVIL, 1), (CONTROL, 2), (EVIL, 2)]
    assert keys == [lesson(*key)["lesson"] for key in by_period_then_class]
    offered = {html.unescape(v) for v in re.findall(r'<option value="([^"]+)"', today)}
    assert "Ann\\u202eoaR" in offered and BIDI not in offered
    post(client, "/lessons/no-cover", **lesson(EVIL, 1))
    post(client, "/lessons/assign", **lesson(CONTROL, 2, "Ann\\u202eoaR"))
    post(client, "/publish")
    kept = published(hostile)
    assert (kept[EVIL, 1], kept[CONTROL, 2]) == ((None, "no cover needed"), (BIDI, "by hand"))
    post(client, "/staff/rule", teacher="Ann\\u202eoaR", last_resort="on")
    with Desk.open(hostile.folder) as desk:
        assert desk.staff_rules()[BIDI].last_resort
    pages = ["/today", "/board", "/slips", "/staff", "/history"]
    pages += [f"/today/lesson?date=2026-12-08&lesson={lesson(EVIL, 2)['lesson']}"]
    for path in [*pages, f"/board/{hostile.state.load().board_token}"]:
        page = client.get(path).text
        assert "<script>alert" not in page, path
        assert "\u202e" not in page and "\x1b" not in page and "\x07" not in page, path
        assert "<b>" not in page, path
    assert "&lt;script&gt;alert(1)&lt;/script&gt;" in today
    assert "Ann\\u202eoaR" in client.get("/today").text
    assert "Bob\\x1b]0;owned\\x07" in client.get("/board").text


def test_two_clients_publishing_at_once_lose_nothing(site, app):
    absent(site, "Ann")
    absent(site, "Cat")
    first, second = app.test_client(), app.test_client()
    log_in(first)
    log_in(second)
    post(first, "/lessons/assign", **lesson("Ann", 1, "Dan"))
    post(second, "/lessons/no-cover", **lesson("Cat", 3))
    errors = []

    def publish(client, times):
        for _ in range(times):
            response = post(client, "/publish")
            if response.status_code != 303:
                errors.append(response.status_code)

    threads = [threading.Thread(target=publish, args=(c, 5)) for c in (first, second)]
    for thread in threads:
        thread.start()
    post(first, "/lessons/assign", **lesson("Ann", 4, "Bob"))
    for thread in threads:
        thread.join()
    publish(second, 1)
    assert errors == []
    with Desk.open(site.folder) as desk:
        kept = {(r.teacher, r.period): (r.substitute, r.how) for r in desk.published(DATE)}
        revision = desk.publication(DATE)[1]
    assert [kept["Ann", 1], kept["Cat", 3], kept["Ann", 4]] == [
        ("Dan", "by hand"),
        (None, "no cover needed"),
        ("Bob", "by hand"),
    ]
    # A publish that finds the plan published as it is stores nothing: one
    # revision before the hand cover of period 4, one after, as the threads met it.
    assert revision in (1, 2)
    assert "Published:" in first.get("/today").text or "Published:" in second.get("/today").text


# The command


def test_another_address_without_a_password_is_refused(tmp_path, capsys):
    host = "::"  # which addresses are not this machine: test_loopback_addresses
    folder = write_school(tmp_path / "school", STAFF, LESSONS)
    code, _, err = run_serve(capsys, str(folder), "--host", host)
    assert code == 2
    assert err == (
        f"rotavel serve: refusing to listen on {host} without a password; set one first: "
        f"rotavel serve {folder} --set-password\n"
    )


class Terminal(io.StringIO):
    def isatty(self):
        return True


SHORT = "rotavel serve: a password needs at least 8 characters; nothing changed\n"


@pytest.mark.parametrize(
    ("typed", "code", "err"),
    [
        ((PASSWORD, PASSWORD), 0, ""),
        (
            (PASSWORD, PASSWORD + "!"),
            2,
            "rotavel serve: the two passwords differ; nothing changed\n",
        ),
    ],
)
def test_the_first_start_in_a_terminal_sets_a_password_or_stops(
    tmp_path, capsys, monkeypatch, typed, code, err
):
    folder = write_school(tmp_path / "school", STAFF, LESSONS)
    answers = iter(typed)
    monkeypatch.setattr(command.getpass, "getpass", lambda prompt: next(answers))
    served = fake_server(monkeypatch)
    assert command.main([str(folder)], stdin=Terminal()) == code
    assert capsys.readouterr().err == err
    assert served.get("ran", False) is (code == 0)
    password = StateFile(folder / "rotavel-serve.json").load().password
    assert (password is not None and check_password(PASSWORD, password)) is (code == 0)


def test_set_password_then_serve(tmp_path, capsys, monkeypatch):
    folder = write_school(tmp_path / "school", STAFF, LESSONS)
    assert run_serve(capsys, str(folder), "--set-password", stdin_text="short\n")[::2] == (2, SHORT)
    assert run_serve(capsys, str(folder), "--set-password", stdin_text=PASSWORD + "\n")[0] == 0
    stored = StateFile(folder / "rotavel-serve.json")
    assert check_password(PASSWORD, stored.load().password)
    assert (folder / "rotavel-serve.json").stat().st_mode & 0o777 == 0o600
    served = fake_server(monkeypatch)
    assert cli.main(["serve", str(folder), "--host", "0.0.0.0", "--port", "8123"]) == 0
    expected = {"host": "0.0.0.0", "port": 8123, "threads": command.THREADS}
    assert served == expected | {"ran": True, "closed": True}
    out = capsys.readouterr().out
    assert "is at http://0.0.0.0:8123/ (Ctrl+C stops it)" in out
    assert f"board/{stored.load().board_token}" in out


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (
            ["{folder}", "--port", "0"],
            "--port 0 is not a port (1 to 65535) (see rotavel serve --help)",
        ),
        (["{folder}/nowhere"], "{folder}/nowhere is not a folder"),
    ],
)
def test_bad_options_are_one_line(tmp_path, capsys, args, message):
    folder = write_school(tmp_path / "school", STAFF, LESSONS)
    args = [a.format(folder=folder) for a in args]
    assert run_serve(capsys, *args)[::2] == (2, f"rotavel serve: {message.format(folder=folder)}\n")


@pytest.mark.parametrize(
    ("host", "loopback"),
    [(host, True) for host in ("127.0.0.1", "127.1.2.3", "::1", "[::1]", "localhost")]
    + [(host, False) for host in ("0.0.0.0", "10.0.0.1", "example.org")],
)
def test_loopback_addresses(host, loopback):
    assert command.is_loopback(host) is loopback


def test_password_hashes_are_salted_and_checked():
    first, second = hash_password(PASSWORD), hash_password(PASSWORD)
    assert first != second
    assert first.startswith(f"scrypt${secure.SCRYPT_N}$8$1$")
    assert check_password(PASSWORD, first) and check_password(PASSWORD, second)
    assert not check_password(PASSWORD + " ", first)
    for damaged in ["", "scrypt$1$2", first.replace("scrypt", "md5"), first[:-4] + "!!!!"]:
        assert not check_password(PASSWORD, damaged)


# What the pages keep between visits


class CountingCache(PageCache):
    """The site's cache, counting the values it had to make."""

    made = 0

    def get(self, key, version, make):
        def counted():
            self.made += 1
            return make()

        return super().get(key, version, counted)


def test_the_today_page_is_made_again_after_any_change(site, app, client):
    site.cache = CountingCache()
    absent(site, "Ann")
    client.get("/today")
    client.get("/today")
    assert site.cache.made == 1
    # Another connection commits, as another rotavel command would.
    absent(site, "Cat", periods=frozenset({3}), reason="Dentist")
    assert "Dentist" in client.get("/today").text
    client.get("/today")
    assert site.cache.made == 2
    # The school's files change: a new reason in the teacher list.
    teachers = site.folder / "teacher_list.csv"
    teachers.write_text(teachers.read_text().replace("Eve,physics,yes,", "Eve,physics,no,Flu"))
    assert "Eve (all day)" in client.get("/today").text
    assert site.cache.made == 3
    # Another day is kept on its own.
    client.get("/today?date=2026-12-09")
    assert site.cache.made == 4


def test_two_visits_that_miss_at_once_make_the_page_once():
    cache = CountingCache()
    started = threading.Event()
    release = threading.Event()
    got = []

    def make():
        started.set()
        release.wait(5)
        return "page"

    first = threading.Thread(target=lambda: got.append(cache.get("k", 1, make)))
    first.start()
    started.wait(5)
    second = threading.Thread(target=lambda: got.append(cache.get("k", 1, lambda: "again")))
    second.start()
    release.set()
    first.join(), second.join()
    assert (got, cache.made) == (["page", "page"], 1)
    assert (cache.get("k", 2, lambda: "new"), cache.made) == ("new", 2)


def test_the_cache_keeps_only_the_latest_days():
    cache = PageCache(entries=2)
    for key in ("a", "b", "c"):
        cache.get(key, 1, lambda key=key: key)
    assert cache.get("a", 1, lambda: "made again") == "made again"
    assert cache.get("c", 1, lambda: "kept?") == "c"


def test_a_publish_after_a_change_made_elsewhere_stores_it(site, client):
    # The server answers a publish of a day published as it is without taking
    # the record; a change made meanwhile by another program must still be
    # stored by the next publish.
    absent(site, "Ann")
    for _ in range(2):
        assert post(client, "/publish").status_code == 303
    absent(site, "Cat")  # as `rotavel absent` would, from a terminal
    assert post(client, "/publish").status_code == 303
    with Desk.open(site.folder) as desk:
        stored = {r.teacher for r in desk.published(DATE)}
        assert stored == {a.lesson.teacher for a in desk.plan(DATE).absent_lessons}
    assert stored == {"Ann", "Cat"}


def test_publishing_again_what_this_server_published_opens_nothing(site, client):
    # Twenty browsers publishing at once wait for the first; the day it stored is
    # theirs too, so none of them plans or opens the record again.
    absent(site, "Ann")
    assert post(client, "/publish").status_code == 303

    def refused(folder, db):
        raise AssertionError("the record was opened")

    token = token_of(client.get("/today").text)
    site.open_desk = refused
    assert post(client, "/publish", csrf_token=token).status_code == 303
    site.open_desk = Desk.open
    assert "Published: 3 covers, 0 not covered." in client.get("/today").text


@pytest.mark.parametrize(
    ("elsewhere", "published"),
    [
        ("an absence", {("Ann", 1), ("Ann", 2), ("Ann", 4), ("Cat", 1), ("Cat", 3), ("Cat", 4)}),
        ("the timetable", {("Ann", 1), ("Ann", 2), ("Ann", 3), ("Ann", 4)}),
    ],
)
def test_a_change_made_elsewhere_while_publishing_is_published_next_time(
    site, app, elsewhere, published
):
    # Another program changes the record or the school files between this publish's
    # commit and the server's look at them afterwards: the server must not take the
    # day as published.
    absent(site, "Ann")
    changed: list[str] = []

    def racing(folder, db):
        desk = Desk.open(folder, db)
        publish = desk.publish

        def and_then_a_change(*args, **kwargs):
            plan = publish(*args, **kwargs)
            if not changed:
                changed.append(elsewhere)
                if elsewhere == "an absence":
                    absent(site, "Cat")
                else:
                    write_school(site.folder, STAFF, [*LESSONS, ("Ann", 3, "9E")])
            return plan

        desk.publish = and_then_a_change
        return desk

    site.open_desk = racing
    client = app.test_client()
    log_in(client)
    for _ in range(2):
        assert post(client, "/publish").status_code == 303
    with Desk.open(site.folder) as desk:
        assert {(r.teacher, r.period) for r in desk.published(DATE)} == published


def test_covers_published_for_an_absence_since_ended_count_as_changes(site, client):
    # Ann was away Monday and Tuesday; Tuesday's three covers are published, then
    # her absence is ended on Monday: all three covers are changes to publish.
    with Desk.open(site.folder) as desk:
        desk.add_absence("Ann", DATE - datetime.timedelta(days=1), DATE, None, "Ill")
    post(client, "/publish")
    assert "nothing changed since" in client.get("/today").text
    post(client, "/absences/end", absence="1", **{"last-1": "2026-12-07"})
    assert "; <strong>3 changes not yet published</strong>" in client.get("/today").text


# No form comes near a mebibyte: a stray upload must not fill the server's memory.
@pytest.mark.parametrize(("size", "status"), [(1024 * 1024, 303), (1024 * 1024 + 1, 413)])
def test_a_request_over_a_mebibyte_is_refused_unread(client, size, status):
    token = token_of(client.get("/today").text)
    head = f"csrf_token={token}&date={DATE.isoformat()}&note="
    body = head + "x" * (size - len(head))
    answer = client.post("/publish", data=body, content_type="application/x-www-form-urlencoded")
    assert answer.status_code == status


def test_the_serve_state_is_read_again_only_when_its_file_changed(tmp_path, monkeypatch):
    import pathlib  # every page asks for the state

    stored = StateFile(tmp_path / "rotavel-serve.json")
    stored.load()  # the first start makes and saves it
    first = stored.load()
    reads = []
    read_text = pathlib.PosixPath.read_text
    counted = lambda self, *a, **k: reads.append(self) or read_text(self, *a, **k)  # noqa: E731
    monkeypatch.setattr(pathlib.PosixPath, "read_text", counted)
    assert [stored.load() for _ in range(3)] == [first] * 3
    assert reads == []
    # Another process changes it: read again, once.
    StateFile(tmp_path / "rotavel-serve.json").set_password("another kettle")
    reads.clear()
    again = [stored.load() for _ in range(3)]
    assert len(reads) == 1 and again[0] == again[2] != first


def test_the_staff_page_offers_the_schools_own_week(tmp_path):
    # A Sunday to Thursday school: its days, in its order, and all of them ticked is no limit.
    folder = tmp_path / "s"
    days = ["Sunday", "Monday", "Tuesday", "Wednesday", "Thursday"]
    week = "day,teacher,period,class\n" + "".join(f"{d},Ann,1,9A\n" for d in days)
    write_school(folder, STAFF, week)
    client = create_app(site_for(folder)).test_client()
    log_in(client)
    page = client.get("/staff").text
    ann = page[page.index('<th scope="row"') :]
    assert re.findall(r'name="day" value="(\d)"', ann)[:5] == ["6", "0", "1", "2", "3"]
    assert re.findall(r"checked>(\w+)</label>", ann)[:5] == ["Sun", "Mon", "Tue", "Wed", "Thu"]
    post(client, "/staff/rule", teacher="Ann", day=["6", "0", "1", "2", "3"])
    post(client, "/staff/rule", teacher="Bob", day=["6", "1"])
    with Desk.open(folder) as desk:
        assert desk.staff_rules() == {"Bob": StaffRule(days=frozenset({6, 1}))}
