"""The desk's refusals in the school's language: one line, exit status 2, the
school's own values (names, classes, dates, paths) kept as written and no English
left, at the desk's commands and in the web desk."""

import html
import re

import pytest
from support.command import run
from support.desk import foreign_record
from support.languages import LANGUAGES, english_left
from support.schools import write_school
from support.web import DATE, LESSONS, PASSWORD, STAFF, lesson, log_in, post

from rotavel_app.desk.desk import Desk
from rotavel_app.language import use

DAY = DATE.isoformat()
NEXT = "2026-12-09"


@pytest.fixture(autouse=True)
def english_afterwards():
    yield
    use(None)


def school(folder, lang, toml=""):
    write_school(folder, STAFF, LESSONS, f'language = "{lang}"\n{toml}')
    with Desk.open(folder) as desk:
        desk.add_absence("Ann", DATE, DATE, None, "Flu")
    return folder


# (argv after the command's name and folder, the school's values the line keeps, rotavel.toml)
REFUSALS = {
    "unknown teacher": (["absent", "Zed", "--date", DAY], ["'Zed'", "teacher_list.csv"], ""),
    "absence ends first": (
        ["absent", "Ann", "--from", NEXT, "--to", DAY],
        ["'Ann'", DAY, NEXT],
        "",
    ),
    "busy substitute": (
        ["assign", "--date", DAY, "--lesson", "Ann@1", "--to", "Cat"],
        ["Cat", "Ann", "9A", "9B", DAY],
        "",
    ),
    "not absent": (["nocover", "--date", DAY, "--lesson", "Fay@2"], ["Fay", DAY], ""),
    "nothing to release": (["release", "--date", DAY, "--lesson", "Ann@2"], ["Ann", DAY], ""),
    "no such absence": (["back", "7"], ["7", "rotavel.db"], ""),
    "bad range": (["history", "--from", NEXT, "--to", DAY], [DAY, NEXT], ""),
    "no absent lesson": (["free", "--date", DAY, "--lesson", "Ann@3"], ["Ann", DAY], ""),
    "publish without term_start": (
        ["plan", "--date", DAY, "--publish"],
        ["rotavel.toml", 'window = "term"', "term_start"],
        'window = "term"\n',
    ),
    "foreign backup": (["restore", "{foreign}"], ["foreign.db"], ""),
    "missing backup": (["restore", "{missing}"], ["missing.db"], ""),
}


# Each refusal in one language other than English, the languages taken in turn: a
# message left unmarked, or translated without its values, shows in any of them.
OTHERS = [lang for lang in LANGUAGES if lang != "en"]
IN_TURN = [(case, OTHERS[n % len(OTHERS)]) for n, case in enumerate(REFUSALS)]


@pytest.mark.parametrize("case, lang", IN_TURN)
def test_a_desk_refusal_is_one_line_in_the_schools_language(tmp_path, capfd, lang, case):
    argv, values, toml = REFUSALS[case]
    folder = school(tmp_path / "s", lang, toml)
    foreign_record(tmp_path / "foreign.db")
    paths = {"foreign": tmp_path / "foreign.db", "missing": tmp_path / "missing.db"}
    argv = [a.format(**paths) for a in argv]
    before = (folder / "rotavel.db").read_bytes()
    code, out, err = run(capfd, argv[0], folder, *argv[1:])
    assert (code, out, err.count("\n"), err[:9]) == (2, "", 1, "rotavel: ")
    assert [v for v in values if v not in err] == []
    assert "%(" not in err
    assert (folder / "rotavel.db").read_bytes() == before
    assert english_left(err.replace(str(tmp_path), "PATH"), lang) == []


@pytest.mark.parametrize("lang", ["de", "ar"])
def test_the_web_desks_refusals_speak_the_schools_language(tmp_path, monkeypatch, lang):
    pytest.importorskip("flask")
    from rotavel_app.web import secure
    from rotavel_app.web.app import Site, create_app
    from rotavel_app.web.secure import StateFile, Throttle

    monkeypatch.setattr(secure, "SCRYPT_N", 2**8)
    folder = school(tmp_path / "s", lang)
    state = StateFile(folder / "rotavel-serve.json")
    state.set_password(PASSWORD)
    site = Site(folder, None, state, today=lambda: DATE, throttle=Throttle())
    client = create_app(site).test_client()
    log_in(client)
    said = []
    for path, form in (
        ("/lessons/assign", lesson("Ann", 1, "Cat")),  # Cat teaches 9B then
        ("/absences", {"teacher": "Ann", "first": NEXT, "last": DAY, "reason": "x"}),
    ):
        post(client, path, **form)
        said += re.findall(r'<p class="message[^"]*">(.*?)</p>', client.get("/today").text)
    assert len(said) == 2
    for text, values in zip(said, (["Cat", "9A", "9B"], ["'Ann'", DAY, NEXT])):
        text = html.unescape(text)
        assert [v for v in values if v not in text] == []
        assert english_left(text, lang) == []


@pytest.mark.parametrize("argv, lang", [(["plan"], "fr"), (["absent", "Ann"], "nl")])
def test_a_day_the_school_does_not_have_offers_no_other_day(tmp_path, capfd, lang, argv):
    # The record is kept by date, so the desk has no --day to offer in any language.
    folder = tmp_path / "s"
    week = "day,teacher,period,class\nMonday,Ann,1,9A\nTuesday,Ann,2,9A\n"
    write_school(folder, STAFF, week, f'language = "{lang}"\n')
    code, out, err = run(capfd, argv[0], folder, *argv[1:], "--date", "2026-12-12")
    assert (code, out, err.count("\n")) == (2, "", 1)
    assert "2026-12-12" in err and "--day" not in err
    assert english_left(err.replace(str(tmp_path), "PATH"), lang) == []
