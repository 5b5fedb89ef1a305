import csv
import re

import pytest
from support.command import SAMPLE, UNRESOLVED, direct_report, elements, masked, run
from support.schools import SMALL_TEACHERS, SMALL_TIMETABLE, small_school

from rotavel_app.commands import plumbing


def test_sample_table(capsys):
    code, out, err = run(capsys)
    direct = direct_report(SAMPLE)
    table = direct.rsplit("\n", 2)[0]
    uncovered = UNRESOLVED.findall(direct)
    # The sample exists to show both outcomes.
    assert uncovered and table.count("\n") > 4
    assert (code, err) == (0, "")
    with open(SAMPLE / "teacher_list.csv", newline="", encoding="utf-8") as f:
        written = {row["name"]: row["subject"] for row in csv.DictReader(f)}
    # The module names subjects its own way (Geo); the command as the school writes them.
    # Rows by period, then class: Period, Class, Subject, Absent teacher, Substitute, Reason.
    rows = [
        (int(p), c, written[t], t, sub, r)
        for t, p, _, sub, c, r in csv.reader(table.splitlines()[1:])
    ]
    rows += [(int(p), c, written[t], t, "NOT COVERED", "Sick leave") for t, p, c in uncovered]
    shown = [
        tuple(re.split(" {2,}", line.strip())) for line in out.split("\n\n")[1].splitlines()[2:]
    ]
    assert shown == [
        (str(row[0]), *row[1:]) for row in sorted(rows, key=lambda r: (r[0], int(r[1][:-1])))
    ]
    for teacher, period, klass in uncovered:
        assert f"Not covered in period {period}, Maths: {klass} ({teacher})\n" in out
    assert "\n  Zoya Ahmed: 6 covers\n" in out
    assert masked(out).endswith("\n\n<timing>\n")


SMALL_TABLE = """\
Cover plan: school
Out today:
  Ann (maths), all day: Sick

Period  Class  Subject  Absent teacher  Substitute   Reason
------  -----  -------  --------------  -----------  ------
     1  9A     maths    Ann             NOT COVERED  Sick
     2  9A     maths    Ann             Bob          Sick

1 lesson covered, 1 not covered.

Not covered in period 1, maths: 9A (Ann)
  maths teachers in period 1:
    Ann  absent (Sick)
    Bob  teaching 9B
No teacher of any subject was free: all 2 teachers in school were teaching or covering in period 1.

Covers per substitute:
  Bob: 1 cover

<timing>
"""


def test_small_school_table(tmp_path, capsys):
    code, out, err = run(capsys, str(small_school(tmp_path)), "--format", "table")
    assert (code, masked(out), err) == (0, SMALL_TABLE, "")


def test_names_with_commas_quotes_and_escapes_survive(tmp_path, capsys):
    teachers = 'name,subject,present,reason\n"Rao, Ann",maths,no,"Ill, home"\nBob,maths,yes,\n'
    lab = 'Lab "B"\u00a0\\ 2'  # the module escapes all three in its quoted lines
    quoted = '"' + lab.replace('"', '""') + '"'
    timetable = f'teacher,period,class\n"Rao, Ann",1,{quoted}\nBob,1,X\n"Rao, Ann",2,{quoted}\n'
    folder = small_school(tmp_path, teachers, timetable)
    code, out, _ = run(capsys, str(folder), "-f", "csv")
    assert code == 0
    assert list(csv.reader(out.splitlines(keepends=True))) == [
        ["Teacher", "Period", "Subject", "Substitution", "Classroom", "Reason", "Room", "Note"],
        ["Rao, Ann", "1", "maths", "", lab, "Ill, home", "", ""],
        ["Rao, Ann", "2", "maths", "Bob", lab, "Ill, home", "", ""],
    ]
    code, out, _ = run(capsys, str(folder), "-f", "table")
    assert code == 0 and f"Not covered in period 1, maths: {lab} (Rao, Ann)\n" in out


@pytest.mark.parametrize("how", ["option", "file"])
def test_absences_on_top_of_the_present_column(tmp_path, capsys, how):
    absent_in_file = SMALL_TEACHERS.replace("Cat,english,yes,", "Cat,english,no,Dentist")
    timetable = SMALL_TIMETABLE + "Cat,3,9C\n"
    code, want, _ = run(
        capsys, str(small_school(tmp_path / "a", absent_in_file, timetable)), "-f", "csv"
    )
    assert code == 0 and "Cat,3,english,Bob,9C,Dentist,,\n" in want
    folder = small_school(tmp_path / "b", timetable=timetable)
    if how == "option":
        extra = ["--absent", "Cat:Dentist"]
    else:
        (tmp_path / "today.txt").write_text("# today\n\n  Cat : Dentist\n")
        extra = ["--absent-file", str(tmp_path / "today.txt")]
    code, out, err = run(capsys, str(folder), "-f", "csv", *extra)
    assert (code, out, err) == (0, want, "")


def test_output_file(tmp_path, capsys):
    target = tmp_path / "board.html"
    assert run(capsys, "-f", "html", "-o", str(target)) == (0, "", "")
    assert target.read_text(encoding="utf-8").startswith("<!DOCTYPE html>")
    target.unlink()
    assert run(capsys, "-f", "html", "-o", str(target), "--absent", "Nobody")[0] == 2
    assert not target.exists()


def test_extreme_periods_are_accepted(tmp_path, capsys):
    timetable = SMALL_TIMETABLE + "Ann,-32768,9A\nAnn,32767,9B\n"
    code, out, _ = run(capsys, str(small_school(tmp_path, timetable=timetable)), "-f", "csv")
    assert code == 0
    assert out.endswith("Ann,-32768,maths,Bob,9A,Sick,,\nAnn,32767,maths,Bob,9B,Sick,,\n")


@pytest.mark.parametrize("columns", ["wide", "-3", "45"])
def test_the_help_is_as_wide_as_shutil_would_make_it(monkeypatch, columns):
    # Taken from os, not shutil (which a run would import for it), by shutil's rules.
    import shutil

    monkeypatch.setenv("COLUMNS", columns)
    assert plumbing._columns() == shutil.get_terminal_size().columns


@pytest.mark.parametrize("command", [[], *([name] for name in sorted(plumbing.DESK_COMMANDS))])
def test_every_help_fits_a_terminal_of_80_columns(monkeypatch, capsys, command):
    monkeypatch.setenv("COLUMNS", "80")
    code, out, _ = run(capsys, *command, "--help")
    assert code == 0
    assert [line for line in out.splitlines() if len(line) >= 80] == []


def test_html_board(capsys):
    code, out, _ = run(capsys, "--format", "html")
    cells = {
        (attrs["data-class"], int(attrs["data-period"])): set(attrs.get("class", "").split())
        for attrs, _ in elements(out, "td")
    }
    with open(SAMPLE / "timetable.csv", newline="", encoding="utf-8") as f:
        lessons = list(csv.DictReader(f))
    classes = {row["class"] for row in lessons}
    periods = {int(row["period"]) for row in lessons}
    assert code == 0
    assert set(cells) == {(c, p) for c in classes for p in periods}
    report = direct_report(SAMPLE)
    uncovered = {(c, int(p)) for _, p, c in UNRESOLVED.findall(report)}
    assert uncovered
    assert {key for key, kinds in cells.items() if "uncovered" in kinds} == uncovered
    covered = {
        (row[4], int(row[1])) for row in csv.reader(report.split("\n\n")[0].splitlines()[1:])
    }
    assert {key for key, kinds in cells.items() if "covered" in kinds} == covered
