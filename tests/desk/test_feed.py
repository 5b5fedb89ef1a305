"""A teacher's personal link: their covers on a phone with a "Seen" button the
desk sees, their calendar feed (read back with the icalendar library), and
the work set for a lesson on the slip, the phone page and the feed."""

import datetime
import html
import re

import pytest
from support.schools import BASE, TUE, telling_school

pytest.importorskip("flask", reason="the serve extra (pip install 'rotavel[serve]') is missing")
pytest.importorskip("icalendar", reason="the serve extra (icalendar) is missing")

import icalendar
from support.command import run
from support.web import log_in, site_for, token_of

from rotavel_app.desk.desk import Desk
from rotavel_app.web.app import create_app


@pytest.fixture
def folder(tmp_path):
    """Ann away on Tuesday, published: Bob covers period 1, Cat period 2."""
    folder = telling_school(tmp_path / "s")
    with Desk.open(folder) as desk:
        desk.add_absence("Ann", TUE, TUE, None, "Ill")
        desk.publish(TUE)
    return folder


@pytest.fixture
def app(folder):
    return create_app(site_for(folder, TUE))


@pytest.fixture
def desk_client(app):
    client = app.test_client()
    log_in(client)
    return client


def link(folder, name):
    with Desk.open(folder) as desk:
        return f"/my/{desk.personal_link(name)}"


def text_of(page):
    return " ".join(html.unescape(re.sub(r"<[^>]+>", " ", page)).split())


def cover_cell(page, teacher, period):
    """Whom the desk's Today page names in a lesson's Cover cell, and whether
    that substitute has seen it."""
    row = re.search(rf'<tr id="lesson-{period}-[^"]*" class="[^"]*">(.*?)</tr>', page, re.S)[1]
    cell = re.search(r'<td class="cover"[^>]*>(.*?)</td>', row, re.S)[1]
    who = re.search(r"<strong>(.*?)</strong>", cell, re.S)[1]
    seen = re.search(r'<span class="seen-mark[^"]*">(.*?)</span>', cell, re.S)
    return text_of(who + (" " + seen[1] if seen else ""))


def test_seen_is_recorded_and_shown_on_the_desk_until_the_cover_changes(folder, app, desk_client):
    phone = app.test_client()  # no login
    mine = link(folder, "Bob")
    page = phone.get(mine).text
    assert text_of(re.search(r'<main class="mine">(.*)</main>', page, re.S)[1]) == (
        "Bob Cover · s Tuesday 10 March 2026 Period 1 · 08:30–09:20 · 9A · room R1 for Ann Seen "
        f"Your covers in your calendar: subscribe to http://localhost{mine}/calendar.ics"
    )
    assert "Ill" not in page
    today = desk_client.get("/today").text
    assert [cover_cell(today, "Ann", p) for p in (1, 2)] == ["Bob not seen", "Cat not seen"]
    # Pressed on the phone: no session, no form token; the secret in the address is the key.
    response = phone.post(f"{mine}/seen", data={"date": TUE.isoformat()})
    assert (response.status_code, response.headers["Location"]) == (303, f"{mine}#day-2026-03-10")
    assert "Seen. Thank you." in phone.get(mine).text
    today = desk_client.get("/today").text
    bob, cat = (cover_cell(today, "Ann", p) for p in (1, 2))
    assert re.fullmatch(r"Bob seen [0-9]{2}:[0-9]{2}", bob) and cat == "Cat not seen"
    # The cover changes (work is set) and is published: Bob has not seen it as it is now.
    with Desk.open(folder) as desk:
        desk.set_work(TUE, "Ann", 1, "https://school.test/work/9A")
        desk.publish(TUE)
    assert cover_cell(desk_client.get("/today").text, "Ann", 1) == "Bob not seen"
    work = (
        '<p class="work">Set work: <a href="https://school.test/work/9A" rel="noreferrer noopener">'
    )
    assert work in phone.get(mine).text


# "renewed": the old link after renewing.
@pytest.mark.parametrize("how", ["renewed", "made up"])
def test_only_the_current_secret_opens_the_page_and_presses_seen(folder, app, how):
    phone = app.test_client()
    mine = link(folder, "Bob")
    if how == "renewed":
        with Desk.open(folder) as desk:
            desk.personal_link("Bob", renew=True)
    elif how == "made up":
        mine = "/my/" + "A" * 32
    seen = phone.post(f"{mine}/seen", data={"date": TUE.isoformat()}).status_code
    opened = [phone.get(mine).status_code, phone.get(f"{mine}/calendar.ics").status_code]
    assert (seen, opened) == (404, [404, 404])
    with Desk.open(folder) as desk:
        assert [d.seen_at is not None for d in desk.duties("Bob", TUE, TUE)] == [False]


def test_the_desk_renews_a_personal_link(folder, desk_client):
    old = link(folder, "Cat")
    form = {"csrf_token": token_of(desk_client.get("/staff").text), "teacher": "Cat", "renew": "1"}
    assert desk_client.post("/staff/personal-link", data=form).status_code == 303
    new = link(folder, "Cat")
    page = desk_client.get("/staff").text
    assert new != old
    assert text_of(re.search(r'<div class="messages".*?</div>', page, re.S)[0]) == (
        f"Cat's new personal link: {BASE}{new} (calendar: {BASE}{new}/calendar.ics); "
        "the old one opens nothing now."
    )


def events(client, folder, name):
    response = client.get(f"{link(folder, name)}/calendar.ics")
    assert response.mimetype == "text/calendar"
    calendar = icalendar.Calendar.from_ical(response.data)
    return [
        (str(e["UID"]), int(e["SEQUENCE"]), str(e["STATUS"]), e.decoded("DTSTART"))
        + (e.decoded("DTEND"), str(e.get("LOCATION", "")), str(e["SUMMARY"]))
        for e in calendar.walk("VEVENT")
    ]


def test_the_feed_keeps_a_covers_uid_raises_its_sequence_and_cancels_it(folder, app):
    client = app.test_client()
    start = datetime.datetime(2026, 3, 10, 8, 30)
    end = datetime.datetime(2026, 3, 10, 9, 20)
    first = events(client, folder, "Bob")
    assert [e[1:] for e in first] == [
        (0, "CONFIRMED", start, end, "R1", "Cover: 9A (period 1, for Ann)")
    ]
    uid = first[0][0]
    # Given to Dan: Bob's event is cancelled, one change later; Dan has his own.
    with Desk.open(folder) as desk:
        desk.assign(TUE, "Ann", 1, "Dan")
        desk.publish(TUE)
    assert events(client, folder, "Bob") == [
        (uid, 1, "CANCELLED", start, end, "R1", "Cover: 9A (period 1, for Ann)")
    ]
    dan = events(client, folder, "Dan")
    assert [(e[0] != uid, *e[1:3]) for e in dan] == [(True, 0, "CONFIRMED")]
    # Back to the plan: Bob's again, the same event, changed once more.
    with Desk.open(folder) as desk:
        desk.release(TUE, "Ann", 1)
        desk.publish(TUE)
    assert [e[:3] for e in events(client, folder, "Bob")] == [(uid, 2, "CONFIRMED")]
    assert [e[1:3] for e in events(client, folder, "Dan")] == [(1, "CANCELLED")]


def test_a_period_without_a_time_is_an_event_of_the_whole_day(tmp_path):
    folder = telling_school(tmp_path / "s")
    (folder / "rotavel.toml").write_text(f'base_url = "{BASE}"\n', encoding="utf-8")
    with Desk.open(folder) as desk:
        desk.add_absence("Ann", TUE, TUE, frozenset({1}), "")
        desk.set_work(TUE, "Ann", 1, "Worksheet in the tray")
        desk.publish(TUE)
    client = create_app(site_for(folder, TUE)).test_client()
    calendar = icalendar.Calendar.from_ical(client.get(f"{link(folder, 'Bob')}/calendar.ics").data)
    (event,) = calendar.walk("VEVENT")
    whole_day = (TUE, TUE + datetime.timedelta(days=1))
    assert (event.decoded("DTSTART"), event.decoded("DTEND")) == whole_day
    assert str(event["DESCRIPTION"]).splitlines() == [
        "Period 1: 9A, Ann's lesson.",
        "Set work: Worksheet in the tray",
        f"http://localhost{link(folder, 'Bob')}",
    ]


def test_set_work_goes_on_the_slip_once_published(folder, desk_client):
    page = desk_client.get("/today").text
    key = re.search(r'<tr id="lesson-(2-[^"]*)"', page)[1]
    form = {"csrf_token": token_of(page), "date": TUE.isoformat(), "lesson": key}
    desk_client.post("/lessons/work", data=form | {"work": "Textbook p. 34, ex. 1-5"})
    today = desk_client.get("/today").text
    assert "Ann's 9B in period 2: set work changed" in text_of(today)  # a change, not yet told
    assert "Textbook" not in desk_client.get("/slips").text
    desk_client.post("/publish", data={"csrf_token": token_of(today), "date": TUE.isoformat()})
    slips = desk_client.get("/slips").text
    rows = re.findall(r"<tr>(<td.*?)</tr>", slips)
    assert [text_of(r) for r in rows] == [
        "1 08:30–09:20 9A R1 maths Ann",
        "2 09:20–10:10 9B R2 maths Ann Textbook p. 34, ex. 1-5",
    ]
    changed = desk_client.get("/slips?changes=1").text
    assert re.findall(r"<h2>([^<]*)</h2>", changed) == ["Cat"]


def test_covers_not_seen_shortly_before_their_period_are_flagged(tmp_path):
    now = datetime.datetime.now()
    if now.hour >= 22:
        pytest.skip("the period must start and end on today's date")
    soon = now + datetime.timedelta(minutes=10)
    later = now + datetime.timedelta(hours=1, minutes=30)
    folder = telling_school(tmp_path / "s")
    times = f'[times]\n1 = "{soon:%H:%M}-{soon + datetime.timedelta(minutes=50):%H:%M}"\n'
    times += f'2 = "{later:%H:%M}-{later + datetime.timedelta(minutes=50):%H:%M}"\n'
    (folder / "rotavel.toml").write_text(times, encoding="utf-8")
    today = now.date()
    with Desk.open(folder) as desk:
        desk.add_absence("Ann", today, today, None, "")
        desk.publish(today)
    client = create_app(site_for(folder, today)).test_client()
    log_in(client)
    page = client.get("/today").text
    flagged = re.search(r'<div class="not-seen" id="not-seen">(.*?)</div>', page, re.S)[1]
    period = f"{soon:%H:%M}–{soon + datetime.timedelta(minutes=50):%H:%M}"
    said = f"Not seen, and the lesson starts soon: Bob : period 1 ({period}), 9A for Ann"
    assert text_of(flagged) == said


@pytest.mark.parametrize(
    "argv, message",
    [
        (["work", "--lesson", "Ann@1", "x" * 501], "set work is longer than 500 characters"),
        (
            ["work", "--lesson", "Ann@1", "a\x1b[2Jb"],
            "set work holds control characters; write plain text or a link",
        ),
        (["link", "Zed"], "unknown teacher 'Zed' (not in {folder}/teacher_list.csv)"),
        (["send"], "{folder}: no [mail] in rotavel.toml; nothing is sent"),
    ],
)
def test_the_commands_refuse_in_one_line(folder, capfd, argv, message):
    where = ["--date", TUE] if argv[0] == "work" else []
    code, out, err = run(capfd, argv[0], folder, *where, *argv[1:])
    assert (code, out, err) == (2, "", f"rotavel: {message.format(folder=folder)}\n")


def test_the_command_gives_and_renews_a_personal_link(folder, capfd):
    code, out, _ = run(capfd, "link", folder, "Bob")
    mine = link(folder, "Bob")
    assert (code, out) == (
        0,
        f"Bob's personal link: {BASE}{mine}\nCalendar feed: {BASE}{mine}/calendar.ics\n",
    )
    code, out, _ = run(capfd, "link", folder, "Bob", "--renew")
    assert link(folder, "Bob") != mine
    assert out.startswith(f"Bob's new personal link (the old one opens nothing now): {BASE}/my/")


@pytest.mark.parametrize(
    "written, kept",
    [
        ("  Worksheet in the tray  ", {("Ann", 1): "Worksheet in the tray"}),
        # As a browser's textarea sends two lines.
        ("Read p. 12\r\nthen ex. 3", {("Ann", 1): "Read p. 12\nthen ex. 3"}),
        ("   ", {}),  # nothing: the set work is taken away
    ],
)
def test_set_work_as_the_desk_keeps_it(folder, written, kept):
    with Desk.open(folder) as desk:
        desk.set_work(TUE, "Ann", 1, "Old work")
        desk.set_work(TUE, "Ann", 1, written)
        assert desk.work(TUE) == kept
