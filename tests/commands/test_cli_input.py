"""The command's input side: days, combined lessons, subjects, exports as
they come, and input or output that must be refused without a traceback."""

import csv
import datetime
import io
import os
import re
import resource
import shutil
import subprocess
import sys
import tomllib
import unicodedata
from pathlib import Path

import pytest
import rotavel
from support.command import direct_report, masked, run
from support.schools import SMALL_TEACHERS, SMALL_TIMETABLE, small_school

from rotavel_app.commands import plumbing
from rotavel_app.school.folder import DayWanted, load_school
from rotavel_app.school.subjects import SUBJECTS, catalogue_keyword, spelling_key, subject_key

ROOT = Path(__file__).resolve().parents[2]
HEADER = "Teacher,Period,Subject,Substitution,Classroom,Reason,Room,Note\n"

# Ann is absent all week. On Monday her period-1 lesson is combined (9A and
# 9B together); Bob and Eve teach maths and have one lesson each, so Bob (the
# earlier) takes the combined lesson, Eve the next and Bob the one after:
# the combined lesson counts once in Bob's load. In period 2 everybody who
# is in is teaching, so her 9F lesson stays uncovered. On Tuesday only Bob
# teaches: Eve and Cat, whose lessons are all on Monday, are taken not to
# come in, so nobody is free for Ann's 9C.
WEEK_STAFF = [
    tuple(row.split(","))
    for row in "name,subject,present,reason Ann,maths,no,Sick Bob,Maths,yes, Eve,mathematics,yes, "
    "Cat,English,yes,".split()
]
WEEK_ROWS = [("day", "teacher", "period", "class")] + [
    tuple(row.split(","))
    for row in "Monday,Ann,1,9A Monday,Ann,1,9B Monday,Bob,2,9C Monday,Eve,2,9D Monday,Cat,2,9E "
    "Monday,Ann,2,9F Monday,Ann,3,9A Monday,Ann,4,9A Tuesday,Ann,1,9C Tuesday,Bob,1,9D".split()
]
MONDAY = (
    HEADER + "Ann,1,maths,Bob,9A+9B,Sick,,\nAnn,2,maths,,9F,Sick,,\n"
    "Ann,3,maths,Eve,9A,Sick,,\nAnn,4,maths,Bob,9A,Sick,,\n"
)
TUESDAY = HEADER + "Ann,1,maths,,9C,Sick,,\n"


def table(rows, separator=","):
    out = io.StringIO()
    csv.writer(out, delimiter=separator, lineterminator="\n").writerows(rows)
    return out.getvalue()


WEEK_TEACHERS = table(WEEK_STAFF)


@pytest.fixture
def week(tmp_path):
    return small_school(tmp_path, WEEK_TEACHERS, table(WEEK_ROWS))


@pytest.fixture
def on(monkeypatch):
    """Pin the command's today to a date."""

    def pin(date):
        monkeypatch.setattr(plumbing, "today", lambda: date)

    return pin


@pytest.mark.parametrize(
    "options, today, expected",
    [
        (["--day", "  monDAY "], "2026-12-08", MONDAY),
        (["--day", "tue"], "2026-12-07", TUESDAY),
        (["--date", "2026-12-07"], "2026-12-08", MONDAY),
        ([], "2026-12-08", TUESDAY),
    ],
)
def test_a_week_plans_one_day(week, capsys, on, options, today, expected):
    on(datetime.date.fromisoformat(today))
    assert run(capsys, str(week), "-f", "csv", *options) == (0, expected, "")


def test_the_date_and_day_reach_the_plan(week):
    monday = datetime.date(2026, 12, 7)
    by_date = load_school(week, wanted=DayWanted(date=monday, today=monday + datetime.timedelta(1)))
    by_day = load_school(week, wanted=DayWanted(day="mon", today=monday))
    by_today = load_school(week, wanted=DayWanted(today=monday))
    flat = load_school(
        small_school(week.parent / "flat"), wanted=DayWanted(date=monday, today=monday)
    )
    chosen = [(d.day, d.date) for d in (by_date, by_day, by_today, flat)]
    assert chosen == [("Monday", monday), ("Monday", None), ("Monday", monday), (None, monday)]


@pytest.mark.parametrize(
    "days, options, today, message",
    [
        (
            None,
            ["--day", "Sunday"],
            "2026-12-07",
            "--day 'Sunday': {tt} has no such day; the days are: Monday, Tuesday",
        ),
        (
            None,
            ["--date", "2026-12-12"],
            "2026-12-07",
            "{tt}: --date 2026-12-12 is a Saturday, not a school day "
            "(choose a day with --day); the school days are Monday, Tuesday",
        ),
        (
            None,
            [],
            "2026-12-13",
            "{tt}: today is a Sunday, not a school day "
            "(choose a day with --day); the school days are Monday, Tuesday",
        ),
        (
            ("Day 1", "Day 2"),
            ["--day", "day"],
            "2026-12-07",
            "--day 'day' could be Day 1 or Day 2; the days are: Day 1, Day 2",
        ),
        ("flat", ["--day", "Monday"], "2026-12-07", "--day 'Monday': {tt} has no day column"),
    ],
)
def test_unknown_day(tmp_path, capsys, on, days, options, today, message):
    on(datetime.date.fromisoformat(today))
    if days == "flat":
        folder = small_school(tmp_path)
    else:
        names = dict(zip(("Monday", "Tuesday"), days or ("Monday", "Tuesday")))
        folder = small_school(
            tmp_path,
            WEEK_TEACHERS,
            table([WEEK_ROWS[0]] + [(names[r[0]], *r[1:]) for r in WEEK_ROWS[1:]]),
        )
    expected = "rotavel: " + message.format(tt=folder / "timetable.csv") + "\n"
    assert run(capsys, str(folder), *options) == (2, "", expected)


@pytest.mark.parametrize(
    "rows, options, period",
    [
        ("Day 1,Ann,1,9A\nDay 10,Ann,2,9A\nDay 2,Ann,3,9B\n", ["--day", "DAY 1"], 1),
        ("Tues,Ann,2,9A\nMon,Ann,1,9A\n", [], 2),  # today is a Tuesday
        ("Tues,Ann,2,9A\nMon,Ann,1,9A\n", ["--day", "Monday"], 1),
    ],
)
def test_rotating_cycle_and_shortened_weekdays(tmp_path, capsys, on, rows, options, period):
    on(datetime.date(2026, 12, 8))
    folder = small_school(tmp_path, timetable="day,teacher,period,class\n" + rows)
    expected = HEADER + f"Ann,{period},maths,Bob,9A,Sick,,\n"
    assert run(capsys, str(folder), "-f", "csv", *options) == (0, expected, "")


def test_bad_date_is_a_usage_error(capsys):
    assert run(capsys, "--date", "2026-02-30") == (
        2,
        "",
        "rotavel: argument --date: '2026-02-30' is not a date written YYYY-MM-DD "
        "(see rotavel --help)\n",
    )


def test_split_groups_stay_separate_lessons(tmp_path, capsys):
    teachers = SMALL_TEACHERS + "Dan,english,no,Course\nEve,maths,yes,\n"
    timetable = "teacher,period,class\nAnn,1,9A\nDan,1,9A\nAnn,1,9A\n"
    code, out, _ = run(capsys, str(small_school(tmp_path, teachers, timetable)), "-f", "csv")
    assert (code, out) == (
        0,
        HEADER + "Ann,1,maths,Bob,9A,Sick,,\nDan,1,english,Cat,9A,Course,,\n",
    )


def test_subject_table_agrees_with_the_module():
    assert len(SUBJECTS) == 20
    for name, (keywords, synonyms) in SUBJECTS.items():
        for keyword in keywords:
            assert rotavel.Teacher("T", keyword, True).get_sub() == name
        # Everything else the command accepts is its own: the module refuses it.
        for spelling in (name, *synonyms):
            if spelling_key(spelling) not in map(spelling_key, keywords):
                with pytest.raises(TypeError):
                    rotavel.Teacher("T", spelling, True)


@pytest.mark.parametrize(
    "written, shown",
    [
        ("Mathematics", "Maths"),
        ("p.e", "PhysicalEdu"),
        ("Physical  Education", "PhysicalEdu"),
        ("FinFance", "Finance"),
        ("PhysicalEdu", "PhysicalEdu"),
    ],
)
def test_subjects_as_people_write_them(tmp_path, capsys, written, shown):
    # In period 2 Bob, listed after Cat, is preferred because he teaches Ann's subject.
    teachers = (
        f"name,subject,present,reason\nAnn,{written},no,Sick\nCat,english,yes,\nBob,{shown},yes,\n"
    )
    folder = small_school(tmp_path, teachers)
    assert run(capsys, str(folder), "-f", "csv") == (
        0,
        HEADER + f"Ann,1,{written},,9A,Sick,,\nAnn,2,{written},Bob,9A,Sick,,\n",
        "",
    )


@pytest.mark.parametrize(
    "written, other, substitute",
    [
        ("poetry", "Poetry", "Eve"),
        ("Music  theory", "music THEORY", "Eve"),
        # A near miss of a catalogue spelling is a subject of its own, not maths.
        ("mathematic", "Maths", "Cat"),
        ("", "Poetry", None),
    ],
)
def test_subjects_outside_the_catalogue(tmp_path, capsys, written, other, substitute):
    # Spellings that differ only in case and blanks are one subject: Eve, after Cat, is preferred.
    folder = small_school(
        tmp_path,
        f"name,subject\nDev,{written}\nCat,english\nEve,{other}\n",
        "teacher,period,class\nDev,1,9D\nCat,2,9C\nEve,2,9E\n",
    )
    if substitute is None:
        assert run(capsys, str(folder), "--absent", "Dev") == (
            2,
            "",
            f"rotavel: {folder / 'teacher_list.csv'}, line 2: no subject given for 'Dev'\n",
        )
    else:
        assert run(capsys, str(folder), "--absent", "Dev:Ill", "-f", "csv") == (
            0,
            HEADER + f"Dev,1,{written},{substitute},9D,Ill,,\n",
            "",
        )


def test_windows_1252_is_read_with_a_note(tmp_path, capsys):
    folder = small_school(tmp_path)
    (folder / "teacher_list.csv").write_bytes(
        SMALL_TEACHERS.replace("Sick", "Cong\xe9").encode("cp1252")
    )
    assert run(capsys, str(folder), "-f", "csv") == (
        0,
        HEADER + "Ann,1,maths,,9A,Cong\xe9,,\nAnn,2,maths,Bob,9A,Cong\xe9,,\n",
        f"rotavel: note: {folder / 'teacher_list.csv'} is not UTF-8; "
        "read it as Windows-1252 (Excel's default CSV)\n",
    )


def test_extra_columns_are_ignored_with_one_note(tmp_path, capsys):
    teachers = "phone,name,subject,present,reasn\n" + "".join(
        f"0123,{line}\n" for line in SMALL_TEACHERS.splitlines()[1:]
    )
    timetable = "room,teacher,period,class,subject\n" + "".join(
        f"R1,{line},maths\n" for line in SMALL_TIMETABLE.splitlines()[1:]
    )
    code, out, err = run(capsys, str(small_school(tmp_path, teachers, timetable)), "-f", "csv")
    assert (code, out, err) == (
        0,
        HEADER + "Ann,1,maths,,9A,,R1,\nAnn,2,maths,Bob,9A,,R1,\n",
        "rotavel: note: ignored columns that rotavel does not use: 'phone' (teacher_list.csv), "
        "'reasn' (teacher_list.csv, did you mean 'reason'?), 'subject' (timetable.csv)\n",
    )


def test_misspelt_required_column(tmp_path, capsys):
    folder = small_school(tmp_path, timetable=SMALL_TIMETABLE.replace("teacher,", "techer,", 1))
    assert run(capsys, str(folder)) == (
        2,
        "",
        f"rotavel: {folder / 'timetable.csv'}, line 1: "
        "missing column 'teacher' (is 'techer' a misspelling?); the columns are: "
        "teacher, period, class, day, room, week, lesson\n",
    )


@pytest.mark.parametrize("separator", [";", "\t"])
def test_semicolon_and_tab_files(tmp_path, capsys, on, separator):
    on(datetime.date(2026, 12, 7))
    renamed = [
        [[f.replace("Ann", "Rao, Ann; Dr") for f in row] for row in rows]
        for rows in (WEEK_STAFF, WEEK_ROWS)
    ]
    folder = small_school(tmp_path, *(table(rows, separator) for rows in renamed))
    assert run(capsys, str(folder), "-f", "csv") == (
        0,
        MONDAY.replace("Ann,", '"Rao, Ann; Dr",'),
        "",
    )


def test_names_are_compared_in_nfc(tmp_path, capsys):
    composed, decomposed = "Zo\u00eb", "Zoe\u0308"
    teachers = SMALL_TEACHERS + f"{composed},english,yes,\n"
    timetable = SMALL_TIMETABLE + f"{decomposed},3,9C\n"
    folder = small_school(tmp_path, teachers, timetable)
    code, out, err = run(capsys, str(folder), "-f", "csv", "--absent", decomposed + ":Ill")
    assert (code, err) == (0, "")
    assert out.endswith(f"{composed},3,english,Cat,9C,Ill,,\n")
    assert unicodedata.is_normalized("NFC", out)


@pytest.mark.parametrize(
    "typed, message",
    [
        ("Bob\u200b", "it looks like 'Bob' but is written 'Bob\\u200b', not 'Bob'"),
        ("Bobb", "did you mean 'Bob'?"),
    ],
)
def test_did_you_mean_never_shows_a_lookalike(tmp_path, capsys, typed, message):
    folder = small_school(tmp_path)
    assert run(capsys, str(folder), "--absent", typed) == (
        2,
        "",
        f"rotavel: --absent: unknown teacher {typed!r} "
        f"(not in {folder / 'teacher_list.csv'}); {message}\n",
    )


def test_version_comes_from_the_package_metadata(capsys):
    with open(ROOT / "pyproject.toml", "rb") as f:
        version = tomllib.load(f)["project"]["version"]
    assert run(capsys, "--version") == (0, f"rotavel {version}\n", "")


def test_argv_and_folder_names_that_are_not_utf8(tmp_path):
    folder = tmp_path / os.fsdecode(b"c\xff")
    shutil.copytree(small_school(tmp_path), folder)
    inside = subprocess.run(
        [sys.executable, "-m", "rotavel_app", "."], cwd=folder, capture_output=True, timeout=60
    )
    named = subprocess.run(
        [sys.executable, "-m", "rotavel_app", os.fsencode(folder)], capture_output=True, timeout=60
    )
    message = b"rotavel: .: the folder's name is not valid UTF-8; rename it\n"
    assert (inside.returncode, inside.stdout, inside.stderr) == (2, b"", message)
    assert (named.returncode, named.stdout) == (2, b"")
    assert named.stderr.endswith(b"c\\xff' is not valid UTF-8 (see rotavel --help)\n")


@pytest.mark.parametrize("where", ["file", "option"])
def test_a_reason_longer_than_the_csv_field_limit(tmp_path, capsys, where):
    reason = "r" * 200_000
    teachers = SMALL_TEACHERS.replace("Sick", reason) if where == "file" else SMALL_TEACHERS
    folder = small_school(tmp_path, teachers)
    absent = ["--absent", f"Ann:{reason}"] if where == "option" else []
    code, out, err = run(capsys, str(folder), "-f", "csv", *absent)
    assert (code, out, err) == (
        0,
        HEADER + f"Ann,1,maths,,9A,{reason},,\nAnn,2,maths,Bob,9A,{reason},,\n",
        "",
    )
    code, out, _ = run(capsys, str(folder), "-f", "report", *absent)
    assert code == 0 and out.count(reason) == 1


def write_limited(folder, target, limit):
    argv = [sys.executable, "-m", "rotavel_app", str(folder), "-f", "html", "-o", str(target)]
    return subprocess.run(
        argv,
        capture_output=True,
        text=True,
        timeout=60,
        preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit)),
    )


def test_a_failed_write_keeps_the_previous_file(tmp_path):
    folder = small_school(tmp_path)
    target = tmp_path / "out" / "board.html"
    target.parent.mkdir()
    target.write_text("the last good board\n")
    target.chmod(0o640)
    done = write_limited(folder, target, 1000)
    message = f"rotavel: {target}: cannot write: File too large\n"
    assert (done.returncode, done.stdout, done.stderr) == (2, "", message)
    assert [p.name for p in target.parent.iterdir()] == ["board.html"]
    assert target.read_text() == "the last good board\n"
    done = write_limited(folder, target, 1 << 20)
    assert (done.returncode, done.stderr) == (0, "")
    assert target.read_text().startswith("<!DOCTYPE html>")
    assert [p.name for p in target.parent.iterdir()] == ["board.html"]
    assert target.stat().st_mode & 0o777 == 0o640


@pytest.mark.parametrize(
    "target, message",
    [
        ("/dev/full", "No space left on device"),
        pytest.param(
            "{tmp}/out/board.html",
            "Permission denied",
            marks=pytest.mark.skipif(
                os.geteuid() == 0, reason="root writes into read-only folders"
            ),
        ),
    ],
)
def test_an_output_that_cannot_be_written(tmp_path, capsys, target, message):
    (tmp_path / "out").mkdir(mode=0o555)
    target = target.format(tmp=tmp_path)
    assert run(capsys, "-o", target) == (2, "", f"rotavel: {target}: cannot write: {message}\n")
    assert [p.name for p in tmp_path.iterdir()] == ["out"] and not any((tmp_path / "out").iterdir())


def test_names_holding_the_reports_own_syntax(tmp_path, capsys):
    ann = 'Ann at 1-"x"\nCouldnt find a substitution for Zed'
    quoted = '"' + ann.replace('"', '""') + '"'
    teachers = (
        f"name,subject,present,reason\n{quoted},maths,no,Sick\nBob,maths,yes,\nZed,maths,yes,\n"
    )
    timetable = f"teacher,period,class\n{quoted},1,9A\nBob,1,9B\nZed,1,9C\n{quoted},2,9A\n"
    folder = small_school(tmp_path, teachers, timetable)
    code, out, _ = run(capsys, str(folder), "-f", "csv")
    assert code == 0
    assert list(csv.reader(io.StringIO(out))) == [
        HEADER.strip().split(","),
        [ann, "1", "maths", "", "9A", "Sick", "", ""],
        [ann, "2", "maths", "Bob", "9A", "Sick", "", ""],
    ]
    code, out, _ = run(capsys, str(folder), "-f", "table")
    assert code == 0 and "1 lesson covered, 1 not covered." in out
    code, out, _ = run(capsys, str(folder), "-f", "report")
    assert (code, masked(out)) == (0, masked(direct_report(folder)) + "\n")


def test_the_guide_shows_the_subjects_and_the_week_as_they_are():
    guide = " ".join((ROOT / "docs" / "guide.md").read_text(encoding="utf-8").split())
    examples = guide.split("of one of the twenty subjects the planning module knows (")[1]
    groups = [
        re.findall(r"`([^`]*)`", group) for group in examples[: examples.index(")")].split(";")
    ]
    groups = [group for group in groups if group]  # the list ends with "…"
    # Each group of spellings the guide gives as one subject is one subject of the catalogue.
    assert [len({subject_key(spelling) for spelling in group}) for group in groups] == [1, 1, 1]
    assert all(catalogue_keyword(subject_key(group[0])) for group in groups)
    text = (ROOT / "docs" / "guide.md").read_text(encoding="utf-8")
    assert MONDAY in text and table(WEEK_ROWS) in text
