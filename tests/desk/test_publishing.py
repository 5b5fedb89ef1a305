"""Publishing: the day as published kept apart from the desk's draft, the
revisions and their audit, printing the changes, and the board's marks."""

import html
import re
import sqlite3

import pytest
from support.command import run
from support.exports import fet_csv, write
from support.schools import TUE, stamped, telling_school

from rotavel_app.desk import desk as desk_module
from rotavel_app.desk.desk import Desk


@pytest.fixture
def folder(tmp_path, capfd):
    """Ann away on Tuesday, the day published once: Bob takes period 1, Cat period 2."""
    folder = telling_school(tmp_path / "s")
    assert run(capfd, "absent", folder, "Ann:Ill", "--date", TUE)[0] == 0
    assert run(capfd, "plan", folder, "--date", TUE, "--publish")[0] == 0
    return folder


def substitutes(form, text):
    """The substitutes a page or file names, in its order."""
    pattern = {
        "html": r'<li class="[^"]*"><span class="class">(?:<span class="piece">[^<]*</span>|[^<])*</span>'
        r'<span class="who">([^<]*)<',
        "slips": r"<h2>([^<]*)</h2>",
        "gpu014": r'^[0-9]+,"[0-9]+",[0-9]+,,0,"Ann","([^"]*)"',
        "csv": r"^Ann,[0-9],maths,([^,]*),",
    }[form]
    return re.findall(pattern, text, re.M)


@pytest.mark.parametrize(
    "form, before, after",
    [
        # What people see: the published day until it is published again.
        ("html", ["Bob", "Cat"], ["Dan", "Cat"]),
        ("slips", ["Bob", "Cat"], ["Cat", "Dan"]),
        ("gpu014", ["Bob", "Cat"], ["Dan", "Cat"]),
        # The cover manager's own view is the draft at once.
        ("csv", ["Dan", "Cat"], ["Dan", "Cat"]),
    ],
)
def test_a_change_after_publishing_reaches_people_only_when_published(
    folder, capfd, form, before, after
):
    run(capfd, "assign", folder, "--date", TUE, "--lesson", "Ann@1", "--to", "Dan")
    code, out, err = run(capfd, "plan", folder, "--date", TUE, "-f", form)
    assert (code, substitutes(form, out)) == (0, before)
    if form != "csv":
        assert err == (
            f"rotavel: note: the {form} shows the day as published; 1 change since: "
            f"publish with rotavel plan {folder} --date 2026-03-10 --publish\n"
        )
    run(capfd, "plan", folder, "--date", TUE, "--publish")
    code, out, err = run(capfd, "plan", folder, "--date", TUE, "-f", form)
    assert (code, substitutes(form, out), err) == (0, after, "")


def test_the_desk_says_what_changed_since_publishing(folder, capfd):
    run(capfd, "assign", folder, "--date", TUE, "--lesson", "Ann@1", "--to", "Dan")
    run(capfd, "nocover", folder, "--date", TUE, "--lesson", "Ann@2")
    out = run(capfd, "plan", folder, "--date", TUE)[1]
    assert stamped(out).splitlines()[-3:] == [
        "Published T (revision 1); 2 changes since publishing: "
        f"rotavel plan {folder} --date 2026-03-10 --publish",
        "  Ann's 9A in period 1 moves from Bob to Dan",
        "  Cat loses Ann's 9B in period 2: no cover needed",
    ]
    with Desk.open(folder) as desk:
        assert desk.publication(TUE)[1] == 1  # nothing stored for people until published
        assert [(r.period, r.substitute) for r in desk.published(TUE)] == [(1, "Bob"), (2, "Cat")]


@pytest.mark.parametrize(
    "change, said",
    [
        (
            lambda d: d.cancel_absence(1),
            [
                "Bob loses Ann's 9A in period 1: no longer needs cover",
                "Cat loses Ann's 9B in period 2: no longer needs cover",
            ],
        ),
        (
            lambda d: d.set_work(TUE, "Ann", 2, "Textbook p. 34, exercises 1-5"),
            ["Ann's 9B in period 2: set work changed"],
        ),
        (lambda d: None, []),
    ],
)
def test_every_change_is_told_in_words_and_stored_with_the_next_revision(
    folder, capfd, change, said
):
    with Desk.open(folder) as desk:
        change(desk)
        assert [c.text for c in desk.changes(TUE)] == said
        desk.publish(TUE, by="Head of Year")
        assert desk.changes(TUE) == []
        done = desk.publications(TUE, TUE)
    revisions = [(p.revision, p.by, p.changes) for p in done]
    expected = [(1, "command", ())]
    if said:  # a publish that changes nothing stores no revision
        expected.append((2, "Head of Year", tuple(said)))
    assert revisions == expected


def test_the_audit_of_two_revisions(folder, capfd):
    run(capfd, "assign", folder, "--date", TUE, "--lesson", "Ann@1", "--to", "Dan")
    run(capfd, "plan", folder, "--date", TUE, "--publish")
    code, out, _ = run(capfd, "history", folder, "--publications", "--from", TUE, "--to", TUE)
    assert (code, stamped(out)) == (
        0,
        "Publications: s, Tuesday 10 March 2026\n"
        "\n"
        "Tuesday 10 March 2026, revision 1: published T by command (the first publication)\n"
        "Tuesday 10 March 2026, revision 2: published T by command\n"
        "  Ann's 9A in period 1 moves from Bob to Dan\n",
    )
    code, out, _ = run(capfd, "history", folder, "--publications", "--from", "2026-03-11")
    assert out.splitlines()[-1] == "Nothing published."


def test_print_the_changes_gives_the_changed_covers_slips_only(folder, capfd):
    run(capfd, "assign", folder, "--date", TUE, "--lesson", "Ann@1", "--to", "Dan")
    run(capfd, "plan", folder, "--date", TUE, "--publish")
    out = run(capfd, "plan", folder, "--date", TUE, "-f", "slips", "--changes")[1]
    assert [line[4:-5] for line in out.splitlines() if line.startswith("<h2>")] == ["Dan"]


def test_the_board_marks_a_cover_changed_after_the_first_publication(folder, capfd):
    board = run(capfd, "plan", folder, "--date", TUE, "-f", "html")[1]
    assert "Changed ·" not in board
    run(capfd, "assign", folder, "--date", TUE, "--lesson", "Ann@1", "--to", "Dan")
    run(capfd, "plan", folder, "--date", TUE, "--publish")
    board = run(capfd, "plan", folder, "--date", TUE, "-f", "html")[1]
    entries = [line for line in board.splitlines() if line.startswith("<li class=")]
    assert [("changed" in e.split(">")[0], "Changed · for Ann" in e) for e in entries] == [
        (True, True),  # Dan's, period 1
        (False, False),  # Cat's, period 2, as first published
    ]


def test_a_record_published_before_the_split_keeps_what_people_saw(tmp_path, capfd):
    folder = telling_school(tmp_path / "s")
    db = sqlite3.connect(folder / "rotavel.db")
    for step in desk_module.MIGRATIONS[:3]:
        for statement in step:
            db.execute(statement)
    db.executescript(
        "INSERT INTO absence VALUES (1, 'Ann', '2026-03-10', '2026-03-10', 'Ill', 'x', NULL);"
        "INSERT INTO cover VALUES ('2026-03-10', 'Ann', 1, '9A', 'R1', 'Dan', 'by hand', 'x');"
        "INSERT INTO cover VALUES ('2026-03-10', 'Ann', 2, '9B', 'R2', 'Cat', 'planned', 'x');"
        "INSERT INTO published_day VALUES ('2026-03-10', '2026-03-10T07:30:00+00:00', 3);"
        f"PRAGMA application_id = {desk_module.APPLICATION_ID}; PRAGMA user_version = 3;"
    )
    db.close()
    with Desk.open(folder) as desk:
        assert [(r.period, r.substitute, r.how) for r in desk.published(TUE)] == [
            (1, "Dan", "by hand"),
            (2, "Cat", "planned"),
        ]
        assert desk.changes(TUE) == []
        assert [(d.substitute, d.sequence, d.cancelled) for d in desk.duties_on(TUE)] == [
            ("Dan", 0, False),
            ("Cat", 0, False),
        ]
        desk.release(TUE, "Ann", 1)  # Dan no longer: planned again, Bob
        desk.publish(TUE)
        assert [(p.revision, p.changes) for p in desk.publications(TUE, TUE)] == [
            (3, ()),
            (4, ("Ann's 9A in period 1 moves from Dan to Bob",)),
        ]


def test_the_web_board_waits_for_the_publish_and_the_history_page_tells_who(folder, capfd):
    pytest.importorskip("flask")
    from support.web import PASSWORD, log_in, token_of

    from rotavel_app.web.app import Site, create_app
    from rotavel_app.web.secure import StateFile

    state = StateFile(folder / "rotavel-serve.json")
    state.set_password(PASSWORD)
    client = create_app(Site(folder, None, state, today=lambda: TUE)).test_client()
    log_in(client)
    board_link = f"/board/{state.load().board_token}?date={TUE}"
    run(capfd, "assign", folder, "--date", TUE, "--lesson", "Ann@1", "--to", "Dan")
    assert substitutes("html", client.get(board_link).text) == ["Bob", "Cat"]
    today = client.get("/today").text
    assert "<li>Ann&#39;s 9A in period 1 moves from Bob to Dan</li>" in today
    client.post("/publish", data={"csrf_token": token_of(today), "date": TUE.isoformat()})
    assert substitutes("html", client.get(board_link).text) == ["Dan", "Cat"]
    history = client.get(f"/history?first={TUE}&last={TUE}").text
    section = re.search(r'<section id="publications".*?</section>', history, re.S)[0]
    text = " ".join(html.unescape(re.sub(r"<[^>]+>|[0-9-]{10} [0-9:]{5}", " ", section)).split())
    assert text == (
        "Publications Every publish of these days: when, by whom, and what it changed for people. "
        "Tue 10 Mar 2026, revision 1 : published by command (the first publication) "
        "Tue 10 Mar 2026, revision 2 : published by web desk (127.0.0.1) "
        "Ann's 9A in period 1 moves from Bob to Dan"
    )


def test_the_published_board_names_the_colleague_who_teaches_a_team_lesson(tmp_path, capfd):
    """Ann and Bob teach 9B's Science together (one FET activity); with Ann away
    Bob takes it alone, and the board people see says so by name."""
    folder = tmp_path / "team"
    rows = [
        ("1", "Tue", "8:00", "9B", "Science", "Ann+Bob", "", "Lab", ""),
        ("2", "Tue", "8:45", "9A", "Maths", "Ann", "", "R1", ""),
        ("3", "Tue", "8:00", "9C", "Art", "Cem", "", "", ""),
    ]
    write(folder, "x_timetable.csv", fet_csv(rows))
    assert run(capfd, "absent", folder, "Ann", "--date", "2026-12-08")[0] == 0
    code, out, _ = run(capfd, "plan", folder, "--date", "2026-12-08", "--publish", "-f", "html")
    assert code == 0
    items = re.findall(r'<li class="([^"]*)">.*?<span class="who">([^<]*)</span>', out)
    assert items == [("settled", "Taught by Bob"), ("cover", "Bob")]
