"""The desk's commands and `rotavel serve` speak the school's language: listings,
status lines, notes and refusals, with what the school wrote kept as written."""

import datetime

import pytest
from support.command import run
from support.languages import english_left, in_turn
from support.schools import write_school
from support.web import DATE, LESSONS, STAFF, fake_server

from rotavel_app.language import use

DAY = DATE.isoformat()
EARLIER = (DATE - datetime.timedelta(1)).isoformat()
F = "{folder}"

# Each desk command whose output is text, on a record where Ann is away (Flu) on
# DAY and the day before, Cat in period 3 of DAY (Course), both days published, and
# Bob has a rule of his own; with the school's values its output must keep.
COMMANDS = {
    "absent": (["absent", F, "--date", DAY, "Dan@4:Dentist"], 0, ["Dan", "Dentist"]),
    "absences": (["absences", F, "--from", EARLIER, "--to", DAY], 0, ["Ann", "Flu", "Course"]),
    "back": (["back", F, "1", "--date", DAY], 0, ["Ann"]),
    "plan": (["plan", F, "--date", DAY], 0, ["Ann", "9A", "Flu"]),
    "publish": (["plan", F, "--date", DAY, "--publish"], 0, ["Ann", "9A"]),
    "assign": (["assign", F, "--date", DAY, "--lesson", "Ann@2", "--to", "Bob"], 0, ["Bob"]),
    "release": (["release", F, "--date", DAY, "--lesson", "Ann@1"], 0, ["Ann", "9A"]),
    "free": (["free", F, "--date", DAY], 0, ["Dan", "Fay", "english"]),
    "free lesson": (["free", F, "--date", DAY, "--lesson", "Ann@4"], 0, ["Ann", "Fay"]),
    "why": (["why", F, "Fay", "--date", DAY], 0, ["Fay", "Hillside"]),
    "staff": (["staff", F], 0, ["Bob"]),
    "staff rule": (["staff", F, "Eve", "--cap-week", "3", "--days", "tue,thu"], 0, ["Eve"]),
    "publications": (["history", F, "--publications", "--from", EARLIER, "--to", DAY], 0, []),
    "link": (["link", F, "Ann"], 0, ["Ann"]),
    "work": (["work", F, "--date", DAY, "--lesson", "Ann@1", "p. 12"], 0, ["Ann", "p. 12"]),
    "refused": (["assign", F, "--date", DAY, "--lesson", "Ann", "--to", "Bob"], 2, ["Ann"]),
}


@pytest.fixture(autouse=True)
def english_afterwards():
    yield
    use(None)


def school(folder, lang):
    write_school(folder, STAFF, LESSONS, f'name = "Hillside"\nlanguage = "{lang}"\n')
    return folder


def said(capsys, folder, argv, code=0):
    got, out, err = run(capsys, *(str(folder) if a == F else a for a in argv))
    assert got == code, err
    return (out + err).replace(str(folder), "FOLDER")  # pytest's own path is English


def check(text, lang, values):
    assert "%(" not in text
    if lang != "en":
        assert english_left(text, lang) == []
    for value in values:
        assert value in text, value


@pytest.mark.parametrize(("lang", "command"), in_turn(COMMANDS))
def test_a_desk_command_speaks_the_schools_language(tmp_path, capsys, lang, command):
    folder = school(tmp_path / "school", lang)
    for argv in (
        ["absent", F, "--from", EARLIER, "--to", DAY, "Ann:Flu"],
        ["absent", F, "--date", DAY, "Cat@3:Course"],
        ["plan", F, "--date", EARLIER, "--publish"],
        ["plan", F, "--date", DAY, "--publish"],
        ["staff", F, "Bob", "--never", "--cap-day", "2", "--days", "mon,wed"],
    ):
        said(capsys, folder, argv)
    argv, code, values = COMMANDS[command]
    check(said(capsys, folder, argv, code), lang, values)


def test_serve_says_where_it_is_in_the_schools_language(tmp_path, capsys, monkeypatch):
    lang = "ar"
    pytest.importorskip("flask", reason="the serve extra is missing")
    from rotavel_app.web import command

    folder = school(tmp_path / "school", lang)
    fake_server(monkeypatch)
    assert command.main([str(folder), "--port", "8123"]) == 0
    out = capsys.readouterr().out.replace(str(folder), "FOLDER")
    check(out, lang, ["FOLDER", "http://127.0.0.1:8123/"])
    # A refusal before the server starts is in the school's language too.
    assert command.main([str(folder), "--host", "0.0.0.0"]) == 2
    check(capsys.readouterr().err.replace(str(folder), "FOLDER"), lang, ["FOLDER", "0.0.0.0"])


@pytest.mark.parametrize("lang, share", [("fr", "0,0"), ("ar", "0.0")])
def test_the_fair_share_is_written_as_the_language_writes_numbers(tmp_path, capsys, lang, share):
    folder = school(tmp_path / "school", lang)
    text = said(capsys, folder, ["why", F, "Fay", "--date", DAY])
    other = "0,0" if share == "0.0" else "0.0"
    assert (share in text, other in text) == (True, False)


@pytest.mark.parametrize(
    ("lang", "argv"),
    in_turn(
        [
            ["absent", F, "Ann", "--reason", "Flu"],
            ["staff", F, "--help"],
            ["serve", "--port", "8001", F, "--help"],
            ["serve", F, "--bogus"],
        ]
    ),
)
def test_a_desk_commands_usage_speaks_its_folders_language(tmp_path, capsys, lang, argv):
    # Before the options are read, the folder the command names gives the language.
    folder = school(tmp_path / "school", lang)
    code, out, err = run(capsys, *(str(folder) if a == F else a for a in argv))
    assert code == (0 if "--help" in argv else 2)
    check((out + err).replace(str(folder), "FOLDER"), lang, [])
