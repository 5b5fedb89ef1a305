"""One home for each concept of the school's layer: reading an input file,
a teacher out in a period, the Untis codes a plan is written back with."""

from __future__ import annotations

import datetime
import shutil
from pathlib import Path

import pytest

from rotavel_app.messages import InputError
from rotavel_app.pages.gpu014 import render_for_day
from rotavel_app.planning.plan import make_plan
from rotavel_app.school.day import (
    DayWanted,
    StaffMember,
    apply_absences,
    choose_day,
    parse_absence,
    parse_periods,
    periods_text,
)
from rotavel_app.school.importers import read_asc, read_export, read_fet, read_fet_csv
from rotavel_app.school.importers.untis import read_gpu014, read_untis


@pytest.mark.parametrize("reader", [read_fet, read_fet_csv, read_asc, read_gpu014])
def test_every_reader_refuses_a_folder_in_one_line(tmp_path, reader):
    folder = tmp_path / "GPU014.TXT"
    folder.mkdir()
    with pytest.raises(InputError) as caught:
        reader(folder)
    assert str(caught.value) == f"{folder}: is a folder, not a file"


def member(present=True, away=None, in_school=True):
    return StaffMember("Ann", "Maths", present, "", 1, away, in_school)


@pytest.mark.parametrize(
    ("who", "out"),
    [
        (member(), [False, False, False]),
        (member(present=False), [True, True, True]),
        (member(present=False, away=frozenset({2})), [False, True, False]),
        (member(in_school=False), [True, True, True]),
        # Not in that day and absent for one period: out all day all the same.
        (member(present=False, away=frozenset({2}), in_school=False), [True, True, True]),
    ],
)
def test_out_in_a_period(who, out):
    assert [who.out_in(period) for period in (1, 2, 3)] == out


GPU001 = (
    '1,"9A","BER","M","R1",2,1,,\r\n2,"9B","KOC","M","R2",2,1,,\r\n3,"9A","KOC","M","R2",2,2,,\r\n'
)
GPU004 = "".join(
    ",".join([f'"{code}"', f'"{surname}"', *[""] * 26, f'"{first}"']) + "\r\n"
    for code, surname, first in [
        ("BER", "Berger", "Anna"),
        ("KOC", "Koç", "Ali"),
        ("SCH", "Schmidt", ""),
    ]
)


def untis_school(folder: Path) -> Path:
    folder.mkdir()
    (folder / "GPU001.TXT").write_text(GPU001, encoding="utf-8")
    (folder / "GPU004.TXT").write_text(GPU004, encoding="utf-8")
    return folder


def test_gpu014_takes_the_codes_from_the_school_read(tmp_path):
    """The codes come with the week imported: the export is not read again,
    so the file is written even once the export has gone."""
    week = read_untis(untis_school(tmp_path / "Linden"))
    assert week.teacher_codes == {"Anna Berger": "BER", "Ali Koç": "KOC", "Schmidt": "SCH"}
    date = datetime.date(2026, 3, 10)  # a Tuesday, Untis's day 2
    day = choose_day(week, DayWanted(date=date))
    day = apply_absences(day, [parse_absence("Anna Berger", "-a", day.staff)])
    plan = make_plan(day)
    shutil.rmtree(tmp_path / "Linden")
    assert (
        render_for_day(plan)
        == '1,"20260310",1,,0,"BER","SCH","M",,,,"R1","R1",,"9A",,,0,"9A",,,\r\n'
    )


def test_gpu014_of_a_school_folder_beside_an_untis_export_names_its_teachers(tmp_path):
    """A school folder read from its own CSV files writes its teachers by name,
    whatever export lies beside it."""
    folder = untis_school(tmp_path / "Linden")
    (folder / "teacher_list.csv").write_text(
        "name,subject\nAnna Berger,Maths\nAli Koç,Maths\n", encoding="utf-8"
    )
    (folder / "timetable.csv").write_text(
        "teacher,period,class\nAnna Berger,1,9A\nAli Koç,2,9A\n", encoding="utf-8"
    )
    from rotavel_app.school.folder import read_folder

    assert read_export(folder) is None
    day = choose_day(read_folder(folder), DayWanted(date=datetime.date(2026, 3, 10)))
    day = apply_absences(day, [parse_absence("Anna Berger", "-a", day.staff)])
    assert render_for_day(make_plan(day)) == (
        '1,"20260310",1,,0,"Anna Berger","Ali Koç","Maths",,,,,,,"9A",,,0,"9A",,,\r\n'
    )


def test_the_serve_state_is_written_whole(tmp_path):
    from rotavel_app.web.secure import StateError, StateFile

    state = StateFile(tmp_path / "rotavel-serve.json")
    state.set_password("a long password")
    assert [p.name for p in tmp_path.iterdir()] == ["rotavel-serve.json"]
    gone = StateFile(tmp_path / "gone" / "rotavel-serve.json")  # its folder is not there
    with pytest.raises(StateError) as caught:
        gone.load()
    assert str(caught.value) == f"{gone.path}: cannot write: No such file or directory"


@pytest.mark.parametrize(
    ("periods", "text"),
    [
        ({1}, "1"),
        ({1, 2}, "1–2"),
        ({1, 2, 3, 5}, "1–3, 5"),
        ({4, 2, 6, 7, 8}, "2, 4, 6–8"),
        ({-1, 0, 1}, "-1–1"),
    ],
)
def test_periods_are_written_as_runs_that_read_back(periods, text):
    assert periods_text(periods) == text
    assert parse_periods(text, "here") == frozenset(periods)
