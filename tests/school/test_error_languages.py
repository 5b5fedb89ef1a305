"""A school's bad input refused in the language chosen: one line, exit status 2, what the
school wrote kept as written, and no English message left in another language."""

import re

import pytest
from support.command import run
from support.languages import LANGUAGES, english_left
from support.schools import write_school

from rotavel_app.language import use
from rotavel_app.messages import InputError
from rotavel_app.school.settings import load_settings

STAFF = [("Ann", "maths"), ("Bob", "maths"), ("Cat", "english")]
DAYS = ("teacher", "period", "class", "day")
LESSONS = [("Ann", "1", "9A", "Mon"), ("Bob", "2", "9B", "Mon"), ("Cat", "1", "9C", "Tue")]
LONG = "Zebedee" * 15

# name: (files as write_school takes them, the command's arguments, values kept as written)
CASES = {
    "period": ({"lessons": [*LESSONS, ("Ann", "x1", "9A", "Mon")]}, [], ["'x1'", "timetable.csv"]),
    "teacher": ({}, ["--absent", "Bobb"], ["'Bobb'", "'Bob'", "teacher_list.csv"]),
    "closed": (
        {"toml": '[closed]\n"Winter break" = "2027-01-04 to 2027-01-08"\n'},
        ["--date", "2027-01-05"],
        ["2027-01-05", "Winter break", "2027-01-04", "2027-01-08"],
    ),
    "weekend": ({}, ["--date", "2027-01-09"], ["2027-01-09", "timetable.csv"]),
    "day": ({}, ["--day", "Someday"], ["'Someday'", "Mon, Tue"]),
    "outside": ({}, ["--date", "2027-01-04", "--absent", "Ann@7-8"], ["7–8"]),
    "fields": ({"lessons": [*LESSONS, ("Ann", "2", "9A", "Tue", "extra")]}, [], ["timetable.csv"]),
    "quote": ({"staff": 'name,subject\n"Ann"x,maths\n'}, [], ["teacher_list.csv"]),
    "column": (
        {"staff": "name,subjet\nAnn,maths\n"},
        [],
        ["'subjet'", "name, subject, present, reason, days, periods, email"],
    ),
    "twice": ({"staff": "name,subject\n\nAnn,maths\nBob,maths\nAnn,art\n"}, [], ["'Ann'", " 3)"]),
    "present": ({"staff": [*STAFF, ("Dan", "art", "maybe")]}, [], ["'maybe'", "teacher_list"]),
    "encoding": ({"staff": b"name,subject\nAnn,maths\x81\n"}, [], ["teacher_list.csv", "0x81"]),
    "output": ({}, ["--output", "{folder}"], ["{folder}"]),
    "unwritten": ({}, ["--output", "{folder}/none/plan.txt"], ["{folder}/none/plan.txt"]),
    "missing": ({}, ["--absent-file", "{folder}/away.txt"], ["{folder}/away.txt"]),
    "long": ({}, ["--absent", LONG], [repr(LONG[:80]), str(len(LONG))]),
}


@pytest.fixture(autouse=True)
def english_afterwards():
    yield
    use(None)


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("lang", LANGUAGES)
def test_bad_input_is_refused_in_the_language_chosen(tmp_path, capsys, lang, case):
    files, args, kept = CASES[case]
    folder = tmp_path / "school"
    staff, lessons = files.get("staff", STAFF), files.get("lessons", LESSONS)
    write_school(
        folder,
        "" if isinstance(staff, bytes) else staff,
        lessons,
        files.get("toml"),
        lesson_columns=DAYS,
    )
    if isinstance(staff, bytes):
        (folder / "teacher_list.csv").write_bytes(staff)
    args = [a.format(folder=folder) for a in args]
    code, out, err = run(capsys, folder, "--language", lang, *args)
    assert (code, out, err.count("\n"), err[-1]) == (2, "", 1, "\n")
    kept = [value.format(folder=folder) for value in kept]
    assert [value for value in kept if value not in err] == []
    if lang != "en":
        assert english_left(written_by_rotavel(err, tmp_path, kept), lang) == []


def written_by_rotavel(err, tmp_path, kept=()):
    """A message without what it quotes as written, which no language changes: the values
    kept, paths (a test's folder is /tmp/pytest-of-root/...) and option names."""
    for value in (*kept, str(tmp_path)):
        err = err.replace(value, "")
    return re.sub(r"--[a-z-]+", "", err)


@pytest.mark.parametrize(
    "toml, kept",
    [
        ("board_refresh = 'soon'\n", "'soon'"),
        ('[days]\n"J1 A" = "Someday morning"\n', "'J1 A'"),
        ('[closed]\n"Half term" = "2027-02-19 to 2027-02-15"\n', "2027-02-15"),
    ],
)
@pytest.mark.parametrize("lang", LANGUAGES[1:])
def test_a_bad_setting_is_said_in_the_language_in_use(tmp_path, lang, toml, kept):
    (tmp_path / "rotavel.toml").write_text(toml, encoding="utf-8")
    use(lang)
    with pytest.raises(InputError) as refused:
        load_settings(tmp_path)
    assert kept in str(refused.value)
    assert english_left(written_by_rotavel(str(refused.value), tmp_path), lang) == []


@pytest.mark.parametrize("lang", LANGUAGES[1:])
def test_the_notes_on_a_school_are_in_its_language(tmp_path, capsys, lang):
    folder = write_school(
        tmp_path / "école", "", LESSONS, f'language = "{lang}"\n', lesson_columns=DAYS
    )
    staff = "name,subject,shoe size\nAnn,maths,9\nBob,maths,10\nCat,english,8\nZoë,art,7\n"
    (folder / "teacher_list.csv").write_bytes(staff.encode("cp1252"))
    code, _out, err = run(capsys, folder, "--day", "Mon", "--absent", "Ann")
    assert code == 0 and err.count("\n") == 2
    assert "'shoe size'" in err and str(folder / "teacher_list.csv") in err
    assert english_left(written_by_rotavel(err, tmp_path), lang) == []
