"""Timetable exports read into a Week: FET (.fet and its CSV export), Untis
(GPU001 with GPU004/005/006), aSc XML; telling them apart; and the plan
written back as Untis's GPU014 and read again."""

import datetime
from dataclasses import replace
from pathlib import Path

import pytest
from support.exports import (
    ASC_CARDS,
    ASC_LESSONS,
    ASC_TABLES,
    GPU001,
    GPU004,
    asc_xml,
    fet_csv,
    gpu,
    plan_every_day,
    untis_folder,
    write,
)
from support.refusals import refusal

from rotavel_app.pages.gpu014 import render_gpu014
from rotavel_app.planning.plan import make_plan
from rotavel_app.school.day import (
    Lesson,
    SchoolDay,
    StaffMember,
)
from rotavel_app.school.importers import read_export
from rotavel_app.school.importers.asc import read_asc
from rotavel_app.school.importers.fet import read_fet
from rotavel_app.school.importers.fet_csv import _order_by_name, read_fet_csv
from rotavel_app.school.importers.untis import Substitution, read_gpu014, read_untis
from rotavel_app.school.week import LessonRow, StaffRow, Week


def rows(path: Path, lines: list[tuple], **shared) -> list[LessonRow]:
    """LessonRows from (teacher, period, class, day, room, lesson_id, week,
    subject, line) tuples; `where` names `path` and the line or element."""
    out = []
    for teacher, period, klass, day, room, lesson_id, week, subject, where in lines:
        where = f"{path}, line {where}" if isinstance(where, int) else f"{path}, {where}"
        out.append(LessonRow(teacher, period, klass, day, room, lesson_id, week, subject, where))
    return out


# ---------------------------------------------------------------------------
# FET


def fet_xml(activities: str, constraints: str, rooms: str = "", institution="Hill School"):
    """A .fet file: days Mon and Tue; hours 8:00, 8:45, Break, 10:00."""
    return f"""\ufeff<?xml version="1.0" encoding="UTF-8"?>
<fet version="6.8.5">
<Institution_Name>{institution}</Institution_Name>
<Days_List><Number_of_Days>2</Number_of_Days>
<Day><Name>Mon</Name></Day><Day><Name>Tue</Name></Day></Days_List>
<Hours_List><Number_of_Hours>4</Number_of_Hours>
<Hour><Name>8:00</Name></Hour><Hour><Name>8:45</Name></Hour>
<Hour><Name>Break</Name></Hour><Hour><Name>10:00</Name></Hour></Hours_List>
<Teachers_List>
<Teacher><Name>Ann</Name></Teacher><Teacher><Name>Bob</Name></Teacher>
<Teacher><Name>Cem</Name></Teacher>
<Teacher><Name>Dee</Name><Qualified_Subjects><Qualified_Subject>Art</Qualified_Subject>
<Qualified_Subject>Music</Qualified_Subject></Qualified_Subjects></Teacher>
<Teacher><Name>N.N.</Name></Teacher>
</Teachers_List>
<Activities_List>{activities}</Activities_List>
<Time_Constraints_List>{constraints}</Time_Constraints_List>
<Space_Constraints_List>{rooms}</Space_Constraints_List>
</fet>
"""


def activity(ident, subject, teachers=(), students=(), duration=1, active="true"):
    people = "".join(f"<Teacher>{t}</Teacher>" for t in teachers)
    sets = "".join(f"<Students>{s}</Students>" for s in students)
    return (
        f"<Activity>{people}<Subject>{subject}</Subject>{sets}<Duration>{duration}</Duration>"
        f"<Total_Duration>{duration}</Total_Duration><Id>{ident}</Id>"
        f"<Activity_Group_Id>0</Activity_Group_Id><Active>{active}</Active></Activity>"
    )


def start(ident, day, hour, weight="100", locked="false", active="true"):
    day_element = f"<Preferred_Day>{day}</Preferred_Day>" if day else ""
    return (
        f"<ConstraintActivityPreferredStartingTime><Weight_Percentage>{weight}</Weight_Percentage>"
        f"<Activity_Id>{ident}</Activity_Id>{day_element}<Preferred_Hour>{hour}</Preferred_Hour>"
        f"<Permanently_Locked>{locked}</Permanently_Locked><Active>{active}</Active>"
        "</ConstraintActivityPreferredStartingTime>"
    )


def room(ident, name, weight="100"):
    return (
        f"<ConstraintActivityPreferredRoom><Weight_Percentage>{weight}</Weight_Percentage>"
        f"<Activity_Id>{ident}</Activity_Id><Room>{name}</Room>"
        "<Permanently_Locked>false</Permanently_Locked><Active>true</Active>"
        "</ConstraintActivityPreferredRoom>"
    )


# Every case a FET file brings: a lesson, a team (Ann and Bob) in a double
# period, one teacher with two classes, a group, a duty with no class, an
# activity with no teacher, one with only a placeholder, a placeholder beside
# a real teacher, an inactive activity, one with only a wish for its time.
FET_ACTIVITIES = "".join(
    [
        activity(1, "Maths", ["Ann", ""], ["9A", " "]),  # empty elements name nobody
        activity(2, "Science", ["Ann", "Bob"], ["9B"], duration=2),
        activity(3, "English", ["Bob"], ["9A", "9B"]),
        activity(4, "Latin", ["Cem"], ["9A Latin"]),
        activity(5, "Duty", ["Ann"]),
        activity(6, "Study", [], ["9A"]),
        activity(7, "Art", ["N.N."], ["9B"]),
        activity(8, "Art", ["N.N.", "Cem"], ["9B"]),
        activity(9, "Drama", ["Cem"], ["9A"], active="false"),
        activity(10, "Drama", ["Cem"], ["9B"]),
    ]
)
FET_STARTS = "".join(
    [
        start(1, "Mon", "8:00", locked="true"),
        start(2, "Tue", "8:00"),
        start(3, "Mon", "8:45"),
        start(4, "Mon", "10:00", weight="100.0"),
        start(5, "Tue", "10:00"),
        start(6, "Mon", "10:00"),
        start(7, "Tue", "8:45"),
        start(8, "Tue", "10:00"),
        start(9, "Tue", "8:45"),
        start(10, "Tue", "8:45", weight="95"),  # a wish
        start(10, "", "8:45"),  # no day: a wish too
        start(1, "Mon", "8:00", active="false"),
    ]
)
FET_ROOMS = room(1, "R1") + room(2, "Lab") + room(3, "R2", weight="90")


def fet_expected(path: Path, periods: dict[str, int]) -> list[LessonRow]:
    def at(n):
        return f"<Activity> number {n} (Id {n})"

    p = periods
    return rows(
        path,
        [
            ("Ann", p["8:00"], "9A", "Mon", "R1", "", "", "Maths", at(1)),
            ("Ann", p["8:00"], "9B", "Tue", "Lab", "2", "", "Science", at(2)),
            ("Bob", p["8:00"], "9B", "Tue", "Lab", "2", "", "Science", at(2)),
            ("Ann", p["8:45"], "9B", "Tue", "Lab", "2", "", "Science", at(2)),
            ("Bob", p["8:45"], "9B", "Tue", "Lab", "2", "", "Science", at(2)),
            ("Bob", p["8:45"], "9A", "Mon", "", "", "", "English", at(3)),
            ("Bob", p["8:45"], "9B", "Mon", "", "", "", "English", at(3)),
            ("Cem", p["10:00"], "9A Latin", "Mon", "", "", "", "Latin", at(4)),
            ("Cem", p["10:00"], "9B", "Tue", "", "", "", "Art", at(8)),
        ],
    )


def fet_staff(path: Path) -> list[StaffRow]:
    # Ann teaches Science for two periods and Maths for one; Cem Latin and Art
    # once each, Latin first; Dee teaches nothing, so her first qualification.
    return [
        StaffRow("Ann", "Science", where=f"{path}, teacher 'Ann'"),
        StaffRow("Bob", "Science", where=f"{path}, teacher 'Bob'"),
        StaffRow("Cem", "Latin", where=f"{path}, teacher 'Cem'"),
        StaffRow("Dee", "Art", where=f"{path}, teacher 'Dee'"),
    ]


def test_fet_file_with_its_timetable(tmp_path):
    path = write(tmp_path, "hill.fet", fet_xml(FET_ACTIVITIES, FET_STARTS, FET_ROOMS))
    assert read_fet(path) == Week(
        name="Hill School",
        source=str(path),
        staff=fet_staff(path),
        lessons=fet_expected(path, {"8:00": 1, "8:45": 2, "10:00": 4}),
        period_names={1: "8:00", 2: "8:45", 3: "Break", 4: "10:00"},
        notes=[
            f"{path}: left out 5 of 10 activities: 1 without a class (duties, clubs, meetings); "
            "1 without a teacher; 1 with a placeholder teacher ('N.N.'); 1 inactive; "
            "1 not placed in the timetable"
        ],
        day_order=["Mon", "Tue"],
    )


@pytest.mark.parametrize(
    ("institution", "file_name", "expected"),
    [
        ("Default institution", "hill_data_and_timetable.fet", "hill"),
        ("", "hill.fet", "hill"),
        ("  Hill  School ", "x.fet", "Hill  School"),
    ],
)
def test_fet_school_name(tmp_path, institution, file_name, expected):
    text = fet_xml(activity(1, "Maths", ["Ann"], ["9A"]), start(1, "Mon", "8:00"), "", institution)
    assert read_fet(write(tmp_path, file_name, text)).name == expected


def test_fet_placeholder_beside_a_teacher_noted(tmp_path):
    text = fet_xml(activity(8, "Art", ["N.N.", "Cem", "???"], ["9B"]), start(8, "Tue", "10:00"))
    week = read_fet(write(tmp_path, "hill.fet", text))
    assert [(r.teacher, r.lesson_id) for r in week.lessons] == [("Cem", "")]
    assert week.notes == [
        f"{tmp_path / 'hill.fet'}: left placeholder teachers ('N.N.', '???') out of their lessons"
    ]


DOCTYPE = (
    "{path}: the XML has a document type declaration (<!DOCTYPE or <!ENTITY), which exports "
    "never have; refusing it"
)
FET_BAD = [
    ('<?xml version="1.0" encoding="UTF-16"?><!DOCTYPE fet><fet/>'.encode("utf-16"), DOCTYPE),
    (
        fet_xml(FET_ACTIVITIES, FET_STARTS)[:900],
        "{path}, line 16: the XML ends early (is the file cut short?)",
    ),
    (
        fet_xml(FET_ACTIVITIES, FET_STARTS).replace("</Teachers_List>", "</Teacher_List>"),
        "{path}, line 15: not well-formed XML (mismatched tag, column 3)",
    ),
    ("<timetable/>", "{path}: not a FET file (its root element is <timetable>, not <fet>)"),
    (
        fet_xml(activity(1, "Maths", ["Ann"], ["9A"], duration=2), start(1, "Tue", "10:00")),
        "{path}, <Activity> number 1 (Id 1): lasts 2 hours from hour '10:00', past the last "
        "of the 4 hours of the day",
    ),
    (
        fet_xml(activity(1, "Maths", ["Ann"], ["9A"], duration="two"), start(1, "Tue", "8:00")),
        "{path}, <Activity> number 1 (Id 1): <Duration> 'two' is not a whole number",
    ),
    *[
        (fet_xml(FET_ACTIVITIES, starts), "{path}, <ConstraintActivityPreferredStartingTime> " + m)
        for starts, m in [
            (start(1, "Wed", "8:00"), "number 1: day 'Wed' is not in <Days_List>"),
            (
                start(1, "Mon", "8:00") + start(1, "Tue", "8:45"),
                "number 2: activity 1 is placed at Tue 8:45 and also at Mon 8:00",
            ),
            (
                start(1, "Mon", "8:00", weight="all"),
                "number 1: <Weight_Percentage> 'all' is not a number",
            ),
        ]
    ],
    (
        fet_xml(FET_ACTIVITIES.replace("<Id>4</Id>", ""), FET_STARTS),
        "{path}, <Activity> number 4: no <Id>",
    ),
    (
        fet_xml(FET_ACTIVITIES, FET_STARTS).replace(
            "<Hour><Name>Break</Name></Hour>", "<Hour><Name>8:45</Name></Hour>"
        ),
        "{path}, <Hours_List>: hour '8:45' is listed twice",
    ),
    (
        fet_xml(FET_ACTIVITIES, FET_STARTS)
        .replace("<Days_List>", "<Day_List>")
        .replace("</Days_List>", "</Day_List>"),
        "{path}: no <Days_List> (is the file cut short?)",
    ),
    ("", "{path}, line 1: the XML ends early (is the file cut short?)"),
]


# The same timetable as FET exports it: one row per hour of an activity, in
# the activities' order (FET leaves out inactive and unplaced activities).
FET_CSV_ROWS = [
    ("1", "Mon", "8:00", "9A", "Maths", "Ann", "", "R1", ""),
    ("2", "Tue", "8:00", "9B", "Science", "Ann+Bob", "Lab", "Lab", "two, with a comma"),
    ("2", "Tue", "8:45", "9B", "Science", "Ann+Bob", "Lab", "Lab", 'said "fine"'),
    ("3", "Mon", "8:45", "9A+9B", "English", "Bob", "", "", ""),
    ("4", "Mon", "10:00", "9A Latin", "Latin", "Cem", "", "", ""),
    ("5", "Tue", "10:00", "", "Duty", "Ann", "", "", ""),
    ("6", "Mon", "10:00", "9A", "Study", "", "", "", ""),
    ("7", "Tue", "8:45", "9B", "Art", "N.N.", "", "", ""),
    ("8", "Tue", "10:00", "9B", "Art", "N.N.+Cem", "", "", ""),
]


def fet_csv_expected(path, periods, line_of):
    """The rows FET_CSV_ROWS give, where `line_of` maps a row's place to its line."""
    expected = fet_expected(path, periods)
    lines = [1, 2, 2, 3, 3, 4, 4, 5, 9]  # the CSV row each expected row comes from
    return [
        row._replace(where=f"{path}, line {line_of(line)}") for row, line in zip(expected, lines)
    ]


def test_fet_csv_export(tmp_path):
    path = write(tmp_path, "hill_timetable.csv", fet_csv(FET_CSV_ROWS))
    # The hours are numbered by their times: the break, with no activity, never appears.
    assert read_fet_csv(path) == Week(
        name="hill",
        source=str(path),
        staff=[s for s in fet_staff(path) if s.name != "Dee"],
        lessons=fet_csv_expected(path, {"8:00": 1, "8:45": 2, "10:00": 3}, lambda n: n + 1),
        period_names={1: "8:00", 2: "8:45", 3: "10:00"},
        notes=[
            f"{path}: left out 3 of 9 rows: 1 without a class (duties, clubs, meetings); "
            "1 without a teacher; 1 with a placeholder teacher ('N.N.')"
        ],
    )


@pytest.mark.parametrize(
    ("separator", "quote", "header"),
    [(";", "'", True), ("|", "", True), (",", '"', False)],
)
def test_fet_csv_dialects(tmp_path, separator, quote, header):
    plain = [tuple(f.replace(",", "").replace('"', "") for f in r) for r in FET_CSV_ROWS]
    path = write(tmp_path, "hill_timetable.csv", fet_csv(plain, separator, quote, header))
    week = read_fet_csv(path)
    offset = 1 if header else 0
    assert week.lessons == fet_csv_expected(
        path, {"8:00": 1, "8:45": 2, "10:00": 3}, lambda n: n + offset
    )


def test_fet_csv_numbers_hours_from_the_fet_file_beside_it(tmp_path):
    path = write(tmp_path, "hill_timetable.csv", fet_csv(FET_CSV_ROWS))
    write(tmp_path, "hill.fet", fet_xml("", ""))
    write(tmp_path, "hill_teachers.csv", '\ufeff"Teacher","Comments"\n"Ann",""\n"Dee","new"\n')
    week = read_fet_csv(path)
    assert week.lessons == fet_csv_expected(
        path, {"8:00": 1, "8:45": 2, "10:00": 4}, lambda n: n + 1
    )
    assert week.period_names == {1: "8:00", 2: "8:45", 4: "10:00"}
    # Dee, who teaches nothing, comes from the teacher list: she can cover.
    assert [s.name for s in week.staff] == ["Ann", "Dee", "Bob", "Cem"]
    assert [s.subject for s in week.staff] == ["Science", "", "Science", "Latin"]
    assert week.notes[1:] == []


@pytest.mark.parametrize(
    ("lines", "names", "notes"),
    [
        (
            [
                r[:2] + ({"8:00": "first", "8:45": "second", "10:00": "late"}[r[2]],) + r[3:]
                for r in FET_CSV_ROWS
            ],
            ["first", "second", "late"],
            2,  # the rows left out, then the order
        ),
        # Numbers that sort against a double period's hours: "Pd 9" then "Pd 2" is one activity.
        (
            [
                ("1", "Mon", "Pd 9", "9A", "Maths", "Ann", "", "", ""),
                ("1", "Mon", "Pd 2", "9A", "Maths", "Ann", "", "", ""),
                ("2", "Mon", "Pd 1", "9B", "Maths", "Ann", "", "", ""),
            ],
            ["Pd 9", "Pd 2", "Pd 1"],
            1,
        ),
    ],
)
def test_fet_csv_hours_numbered_as_they_first_appear(tmp_path, lines, names, notes):
    path = write(tmp_path, "hill_timetable.csv", fet_csv(lines))
    week = read_fet_csv(path)
    assert (week.period_names, len(week.notes)) == (dict(enumerate(names, start=1)), notes)
    assert week.notes[-1] == (
        f"{path}: the hours' names do not tell their order, so they are numbered in the order "
        f"they first appear ({', '.join(names)}); put the .fet file beside the CSV to number "
        "them as the school lists them"
    )


@pytest.mark.parametrize(
    ("names", "order"),
    [
        (["Pd 10", "Pd 2", "Pd 1"], ["Pd 1", "Pd 2", "Pd 10"]),
        (
            ["9.30 - 11.00", "13.00 - 15.15", "11.15 - 12.45"],
            ["9.30 - 11.00", "11.15 - 12.45", "13.00 - 15.15"],
        ),
        # A 12-hour clock: 01:00 comes after noon.
        (["01:00", "12:10", "08:00", "02:00"], ["08:00", "12:10", "01:00", "02:00"]),
        (["3rd", "1st", "2nd"], ["1st", "2nd", "3rd"]),
        # Clock times decide over the period number ahead of them.
        (["1ª 13:20", "1ª 07:30", "2ª 08:15"], ["1ª 07:30", "2ª 08:15", "1ª 13:20"]),
        (["Reg", "Pd1"], None),  # a name without a number
        (["Pd 1", "Pd 01"], None),  # two names sort alike
    ],
)
def test_fet_hour_order_from_names(names, order):
    assert _order_by_name(names) == order


FET_CSV_BAD = [
    (
        fet_csv(FET_CSV_ROWS)[:-20],
        "{path}, line 10: 6 fields where FET's timetable has 9 (Activity Id, Day, Hour, "
        "Students Sets, Subject, Teachers, Activity Tags, Room, Comments)",
    ),
    (
        fet_csv([("1", "Mon", "", "9A", "Maths", "Ann", "", "", "")]),
        "{path}, line 2: no hour given",
    ),
    (fet_csv([]), "{path}: the timetable has no rows (did FET place any activity?)"),
    (
        "teacher,period,class\nAnn,1,9A\n",
        "{path}, line 1: not FET's CSV timetable; its columns are: Activity Id, Day, Hour, "
        "Students Sets, Subject, Teachers, Activity Tags, Room, Comments",
    ),
    (
        fet_csv(FET_CSV_ROWS[:1]) + '"2","Mon","8:45","9A","Maths","Ann","","R1,\n',
        "{path}, line 3: bad CSV: unexpected end of data",
    ),
    (
        fet_csv(FET_CSV_ROWS).lstrip("\ufeff").replace("Ann", "Zoë").encode("cp1252"),
        "{path}, line 2: not UTF-8 text (byte 0xeb); export it again as UTF-8",
    ),
]


def test_fet_csv_hour_not_in_the_fet_file_beside_it(tmp_path):
    path = write(tmp_path, "hill_timetable.csv", fet_csv(FET_CSV_ROWS))
    write(tmp_path, "hill_data_and_timetable.fet", fet_xml("", "").replace("10:00", "10:05"))
    assert refusal(read_fet_csv, path) == (
        f"{path}, line 6: hour '10:00' is not one of the hours of "
        "hill_data_and_timetable.fet: 8:00, 8:45, Break, 10:05"
    )


# ---------------------------------------------------------------------------
# Untis


def untis_expected(folder):
    timetable = folder / "GPU001.TXT"
    mue, lin = "Maria Müller (MUE)", "Maria Müller (LIN)"
    lessons = rows(
        timetable,
        [
            # One coupling of religion and ethics: two lessons, not one team.
            ("Anna Berger", 1, "9A", "Monday", "Physics lab", "", "", "Religion", 1),
            ("Anna Berger", 1, "9B", "Monday", "Physics lab", "", "", "Religion", 2),
            ("Ali Koç", 1, "9A", "Monday", "R2", "", "", "Ethics", 3),
            ("Ali Koç", 1, "9B", "Monday", "R2", "", "", "Ethics", 4),
            (mue, 2, "9A", "Monday", "R3", "", "", "Mathematics", 5),
            (lin, 2, "9A", "Monday", "R4", "", "", "Mathematics", 6),
            (mue, 3, "9B", "Tuesday", "R3", "", "", "Mathematics", 7),
            (mue, 4, "9B", "Tuesday", "R3", "", "", "Mathematics", 8),
            ("Anna Berger", 1, "9A", "Wednesday", "Physics lab", "", "A", "PH", 9),
            ("Ali Koç", 1, "9A", "Wednesday", "Physics lab", "", "B", "CH", 10),
            (lin, 2, "9B", "Friday", "Physics lab, R2", "", "", "English", 16),
            (lin, 3, "9A", "Friday", "R4", "", "", "English", 17),
            (lin, 3, "9B", "Friday", "R4", "", "", "English", 18),
            ("XY", 4, "9B", "Friday", "", "", "", "CH", 19),
        ],
    )
    gpu004_file = folder / "GPU004.TXT"
    staff = [
        StaffRow("Anna Berger", "Religion", where=f"{gpu004_file}, teacher 'BER'"),
        StaffRow("Ali Koç", "Ethics", where=f"{gpu004_file}, teacher 'KOC'"),
        StaffRow(mue, "Mathematics", where=f"{gpu004_file}, teacher 'MUE'"),
        StaffRow(lin, "English", where=f"{gpu004_file}, teacher 'LIN'"),
        StaffRow("Schmidt", "", where=f"{gpu004_file}, teacher 'SCH'"),
        StaffRow("XY", "CH", where=f"{timetable}, teacher 'XY'"),
    ]
    note = (
        f"{timetable}: left out 5 of 19 rows: 1 without a teacher or a class (room bookings); "
        "1 without a class (duties, clubs, meetings); 1 without a teacher; "
        "2 with a placeholder teacher ('N.N.', '???')"
    )
    codes = {"Anna Berger": "BER", "Ali Koç": "KOC", mue: "MUE", lin: "LIN", "Schmidt": "SCH"}
    codes["XY"] = "XY"
    return Week(folder.name, str(folder), staff, lessons, notes=[note], teacher_codes=codes)


@pytest.mark.parametrize("file", ["", "GPU001.TXT"])
@pytest.mark.parametrize(
    ("encoding", "separator"),
    [("utf-8", ","), ("utf-8-sig", ";"), ("cp1252", ";")],
)
def test_untis_export(tmp_path, encoding, separator, file):
    folder = untis_folder(tmp_path / "Lindenschule", encoding, separator)
    expected = replace(untis_expected(folder), source=str(folder / file).rstrip("/"))
    assert read_untis(folder / file) == expected


def test_untis_codes_without_the_names_files(tmp_path):
    folder = untis_folder(tmp_path / "Lindenschule", names=False)
    week = read_untis(folder)
    assert [s.name for s in week.staff] == ["BER", "KOC", "MUE", "LIN", "XY"]
    assert [s.subject for s in week.staff] == ["RE", "ET", "M", "E", "CH"]
    assert [(r.teacher, r.room, r.subject) for r in week.lessons[:2]] == [
        ("BER", "R1", "RE"),
        ("BER", "R1", "RE"),
    ]


UNTIS_BAD = [
    (
        gpu(GPU001[:3]) + '7,"9B","KOC"\r\n',
        "{path}, line 4: 3 fields, expected at least 7 (lesson number, class, teacher, subject, "
        "room, day, period); is the line cut short?",
    ),
    (
        gpu(GPU001[:1]) + '2,"9A,"BER","M","",1,2,,\r\n',
        "{path}, line 2: bad record: ',' expected after '\"'",
    ),
    (
        "\r\n\r\n",
        "{path}: the file is empty; expected one record a line: " + "lesson number, "
        "class, teacher, subject, room, day, period",
    ),
    (
        b'1,"9A","M\xfcller","M","",1,1,,\r\n2,"9A","\x81","M","",1,2,,\r\n',
        "{path}, line 2: neither UTF-8 nor Windows-1252 text (byte 0x81)",
    ),
]


def test_untis_folder_without_timetable(tmp_path):
    write(tmp_path, "GPU004.TXT", gpu(GPU004))
    assert refusal(read_untis, tmp_path) == (
        f"{tmp_path}: no GPU001.TXT (the Untis timetable export) in the folder"
    )


SVWS = Path("/work/shared/samples/untis-gpu/svws-testdata")


@pytest.mark.skipif(not SVWS.is_dir(), reason="the SVWS test files are not on this machine")
def test_untis_svws_test_data():
    # Their lesson numbers are all different, so nothing is coupled.
    week = read_untis(SVWS)
    lines = [line for line in (SVWS / "GPU001.txt").read_text("utf-8").splitlines() if line]
    assert [int(row.where.rpartition(" ")[2]) for row in week.lessons] == list(
        range(1, len(lines) + 1)
    )
    fields = [line.split(";") for line in lines]
    assert [(r.teacher, r.class_name, r.period) for r in week.lessons] == [
        (f[2].strip('"'), f[1].strip('"'), int(f[6])) for f in fields
    ]
    assert {row.lesson_id for row in week.lessons} == {""}
    assert [s.name for s in week.staff] == list(dict.fromkeys(f[2].strip('"') for f in fields))
    plan_every_day(week)


# ---------------------------------------------------------------------------
# aSc Timetables


def test_asc_export(tmp_path):
    path = write(tmp_path, "zs.xml", asc_xml(), "cp1250")
    mon, tue = "Pondělí", "Úterý"
    sv, ps = "Petr Svoboda (SV)", "Petr Svoboda (PS)"

    def card(n):
        return f"<card> number {n}"

    def team(n, periods):
        teachers, classes = ("Jana Nováková", sv), ("9.A", "9.B")
        lab = (tue, "LAB", "L2", "", "Matematika", card(n))
        return [(t, p, k, *lab) for p in periods for t in teachers for k in classes]

    assert read_asc(path) == Week(
        name="zs",
        source=str(path),
        staff=[
            StaffRow("Jana Nováková", "Matematika", where=f"{path}, <teacher> 'T1'"),
            StaffRow(sv, "Matematika", where=f"{path}, <teacher> 'T2'"),
            StaffRow(ps, "Latin", where=f"{path}, <teacher> 'T3'"),
            StaffRow("Eva Malá", "", where=f"{path}, <teacher> 'T5'"),
        ],
        lessons=rows(
            path,
            [
                ("Jana Nováková", 1, "9.A", mon, "Učebna 1", "", "", "Matematika", card(1)),
                *team(2, (1, 2)),
                (ps, 2, "9.A Latin", mon, "", "", "A", "Latin", card(3)),
                (sv, 2, "9.A French", mon, "Učebna 1", "", "B", "FR", card(4)),
                (ps, 4, "9.B", mon, "", "", "", "Matematika", card(8)),
                *team(10, (3, 4)),
            ],
        ),
        period_names={1: "8:00 - 8:45", 2: "8:55 - 9:40", 3: "Lunch", 4: "11:00 - 11:45"},
        notes=[
            f"{path}: left out 4 of 10 cards: 1 without a class (duties, clubs, meetings); "
            "1 without a teacher; 1 with a placeholder teacher ('N.N.'); 1 given in no week"
        ],
        day_order=[mon, tue],
        numbered_days={mon: 0, tue: 1},
    )


ONE_LESSON = (
    '<lessons><lesson id="L1" subjectid="S1" classids="C1" teacherids="T1"/>'
    '<lesson id="L2" subjectid="S1" classids="C2" teacherids="T2" weeks="0110"/></lessons>'
)
NO_DAYS = ASC_TABLES.split("</days>\n")[1]


@pytest.mark.parametrize(
    ("tables", "options", "card", "days", "weeks"),
    # `weeks`: those of the first lesson (every week) and of the second ("0110"), or the card's.
    [
        # Without a days table, days count from Monday: from 0, or from 1 when the options say.
        (NO_DAYS, "", 'day="0"', ["Monday"], ([""], ["B", "C"])),
        (NO_DAYS, "daynumbering1", 'day="1"', ["Monday"], ([""], ["B", "C"])),
        # A days table whose rows count from 0, as older exports write it.
        (
            ASC_TABLES.replace('day="1"', 'day="0"').replace('day="2"', 'day="1"'),
            "",
            'day="1"',
            ["Úterý"],
            ([""], ["B", "C"]),
        ),
        # Newer exports: days as a string of 0 and 1, a card taking two days, its own weeks.
        (ASC_TABLES, "", 'days="01"', ["Úterý"], ([""], ["B", "C"])),
        (NO_DAYS, "", 'days="00101"', ["Wednesday", "Friday"], ([""], ["B", "C"])),
        (ASC_TABLES, "", 'days="10" weeks="10"', ["Pondělí"], (["A"], ["A"])),
    ],
)
def test_asc_days_and_weeks(tmp_path, tables, options, card, days, weeks):
    cards = f'<cards><card lessonid="L1" {card} period="2"/><card lessonid="L2" {card} period="2"/></cards>'
    week = read_asc(
        write(tmp_path, "zs.xml", asc_xml(tables, ONE_LESSON, cards, options), "cp1250")
    )
    teachers = ["Jana Nováková", "Petr Svoboda (SV)"]
    assert [(r.teacher, r.day, r.week, r.class_name, r.period) for r in week.lessons] == [
        (teacher, day, w, klass, 2)
        for teacher, klass, lesson_weeks in zip(teachers, ["9.A", "9.B"], weeks)
        for day in days
        for w in lesson_weeks
    ]


ASC_BAD = [
    *[
        (asc_xml(lessons=ASC_LESSONS.replace(old, new)), "{path}, <card> number " + m)
        for old, new, m in [
            ('classids="C1,C2"', 'classids="C1,C7"', "2: class 'C7' is not in the classes table"),
            ('groupids="G3"', 'groupids="G8"', "3: group 'G8' is not in the groups table"),
            (
                'periodspercard="2"',
                'periodspercard="0"',
                "2: periodspercard '0' is not a whole number of periods",
            ),
        ]
    ],
    *[
        (asc_xml(cards=ASC_CARDS.replace(old, new, 1)), "{path}, <card> number " + m)
        for old, new, m in [
            ('lessonid="L1"', 'lessonid="L99"', "1: lesson 'L99' is not in the lessons table"),
            ('R1"/>', 'R1,R5"/>', "1: classroom 'R5' is not in the classrooms table"),
            (
                'day="2" period="3"',
                'day="2" period="4"',
                "10: 2 periods from period 4 run past the last period of the day",
            ),
            (
                'day="1" period="1"',
                'day="6" period="1"',
                "1: day '6' is not a day of the days table",
            ),
            (
                'day="1" period="1"',
                'day="1" period="first"',
                "1: period 'first' is not a whole number",
            ),
        ]
    ],
    (
        asc_xml(NO_DAYS, cards=ASC_CARDS.replace('day="1" period="1"', 'day="9" period="1"')),
        "{path}, <card> number 1: day 9 is not a day of the week",
    ),
    (
        asc_xml(cards=""),
        "{path}: no <lessons> or <cards> table; export the timetable with its cards (the placed "
        "lessons)",
    ),
    (
        "<fet/>",
        "{path}: not an aSc Timetables export (its root element is <fet>, not <timetable>)",
    ),
]
GPU014_BAD = [
    (
        f'1,"{date}",{period},,0,"AN",,"M",,,,,,,"9A","",,0,,"C",,\r\n',
        f"{{path}}, line 1: {message}",
    )
    for date, period, message in [
        ("2026031", "1", "date '2026031' is not written YYYYMMDD"),
        ("20260231", "1", "date '20260231' is not written YYYYMMDD"),
        ("20260310", "x", "period 'x' is not a whole number"),
    ]
] + [
    (
        '1,"20260310",1,,0,"AN",,"M"\r\n',
        "{path}, line 1: 8 fields, expected at least 20 (number, date, period, ... kind letter); "
        "is the line cut short?",
    )
]


# ---------------------------------------------------------------------------
# Telling the formats apart

FET_FILE = fet_xml(FET_ACTIVITIES, FET_STARTS, FET_ROOMS)
SCHOOL_FOLDER = {
    "teacher_list.csv": "name,subject,present\n",
    "timetable.csv": "teacher,period,class\n",
}


def folder_of(tmp_path, files):
    folder = tmp_path / "school"
    folder.mkdir()
    for name, text in files.items():
        write(folder, name, text, "cp1250" if "windows-1250" in text else "utf-8")
    return folder


@pytest.mark.parametrize(
    ("files", "reader", "read"),
    [
        ({**SCHOOL_FOLDER, "GPU001.TXT": gpu(GPU001)}, None, None),  # the school's own files first
        ({"notes.xml": "<notes/>", "list.csv": "a,b\n"}, None, None),
        ({"gpu001.txt": gpu(GPU001)}, read_untis, ""),
        ({"hill.fet": FET_FILE}, read_fet, "hill.fet"),
        ({"hill_timetable.csv": fet_csv(FET_CSV_ROWS)}, read_fet_csv, "hill_timetable.csv"),
        # FET's input file beside the export it made: the export is the timetable.
        (
            {"hill.fet": fet_xml("", ""), "hill_timetable.csv": fet_csv(FET_CSV_ROWS)},
            read_fet_csv,
            "hill_timetable.csv",
        ),
        (
            {"hill.fet": fet_xml("", ""), "hill_data_and_timetable.fet": FET_FILE},
            read_fet,
            "hill_data_and_timetable.fet",
        ),
        ({"zs.xml": asc_xml(), "notes.xml": "<notes/>"}, read_asc, "zs.xml"),
    ],
)
def test_export_found_in_a_folder(tmp_path, files, reader, read):
    folder = folder_of(tmp_path, files)
    expected = None if reader is None else reader(folder / read)
    assert read_export(folder) == expected
    assert read_export(folder, "auto") == expected


@pytest.mark.parametrize(
    ("files", "path", "format", "expected"),
    [
        ({"GPU001.TXT": gpu(GPU001)}, ".", "csv", None),
        ({"notes.txt": "x"}, "notes.txt", "csv", None),
        ({"hill.txt": fet_csv(FET_CSV_ROWS)}, "hill.txt", "fet", read_fet_csv),
        ({"hill.fet": FET_FILE}, ".", "fet", read_fet),
        ({"timetable.txt": gpu(GPU001)}, "timetable.txt", "untis", read_untis),
        ({"zs.xml": asc_xml()}, ".", "asc", read_asc),
        ({"export.txt": asc_xml()}, "export.txt", "asc", read_asc),
        # No format given: told by the file's name, or by what it holds.
        ({"hill.fet": FET_FILE}, "hill.fet", None, read_fet),
        ({"hill.xml": FET_FILE}, "hill.xml", None, read_fet),  # a .fet saved under another name
        ({"hill_timetable.csv": fet_csv(FET_CSV_ROWS)}, "hill_timetable.csv", None, read_fet_csv),
        ({"export.csv": fet_csv(FET_CSV_ROWS)}, "export.csv", None, read_fet_csv),  # by its header
        ({"GPU001.TXT": gpu(GPU001)}, "GPU001.TXT", None, read_untis),
        ({"zs.xml": asc_xml()}, "zs.xml", None, read_asc),
    ],
)
def test_export_format_given(tmp_path, files, path, format, expected):
    folder = folder_of(tmp_path, files)
    target = folder / path  # "." is the folder itself
    found = read_export(target, format)
    if expected is None:
        assert found is None
    else:
        file = target if target.is_file() or expected is read_untis else next(folder.iterdir())
        assert found == expected(file)


@pytest.mark.parametrize(
    ("files", "path", "format", "message"),
    [
        (
            {"hill.fet": FET_FILE},
            ".",
            "untis",
            "{folder}: no Untis export (GPU001.TXT) in the folder",
        ),
        (
            {"GPU001.TXT": gpu(GPU001)},
            ".",
            "fet",
            "{folder}: no FET export (a .fet file or NAME_timetable.csv) in the folder",
        ),
        (
            {"hill.fet": FET_FILE},
            ".",
            "asc",
            "{folder}: no aSc Timetables XML export in the folder",
        ),
        (
            {"a.fet": FET_FILE, "b.fet": FET_FILE},
            ".",
            None,
            "{folder}: several FET exports (a.fet, b.fet); name the one to read",
        ),
        (
            {"a.xml": asc_xml(), "b.xml": asc_xml()},
            ".",
            "asc",
            "{folder}: several aSc exports (a.xml, b.xml); name the one to read",
        ),
        (
            {"notes.txt": "hello"},
            "notes.txt",
            None,
            "{folder}/notes.txt: not a timetable export rotavel reads; expected FET (a .fet file, "
            "NAME_timetable.csv), Untis (GPU001.TXT) or aSc Timetables (.xml)",
        ),
        ({}, "missing.fet", None, "{folder}/missing.fet: file not found"),
    ],
)
def test_export_not_found(tmp_path, files, path, format, message):
    folder = folder_of(tmp_path, files)
    assert refusal(read_export, folder / path, format) == message.format(folder=folder)


@pytest.mark.parametrize(
    ("reader", "name", "text", "message"),
    [
        (reader, name, *case)
        for reader, name, cases in [
            (read_fet, "hill.fet", FET_BAD),
            (read_fet_csv, "hill_timetable.csv", FET_CSV_BAD),
            (read_untis, "GPU001.TXT", UNTIS_BAD),
            (read_asc, "zs.xml", ASC_BAD),
            (read_gpu014, "GPU014.TXT", GPU014_BAD),
        ]
        for case in cases
    ],
)
def test_export_refused(tmp_path, reader, name, text, message):
    path = tmp_path / name
    encoding = "cp1250" if reader is read_asc else "utf-8"
    path.write_bytes(text if isinstance(text, bytes) else text.encode(encoding))
    read = tmp_path if reader is read_untis else path
    assert refusal(reader, read) == message.format(path=path)


def test_export_unknown_format(tmp_path):
    with pytest.raises(ValueError, match="unknown import format 'excel'"):
        read_export(tmp_path, "excel")


# ---------------------------------------------------------------------------
# The plan written back to Untis (GPU014) and read again


def small_plan(date=datetime.date(2026, 3, 10)):
    """Ann is away: her combined lesson in period 1 finds nobody (Bob
    teaches), her period-2 lesson goes to Bob."""
    reason = 'Flu, "bad"\nhome'
    staff = {
        "Ann": StaffMember("Ann", "Maths", False, reason, 2),
        "Bob": StaffMember("Bob", "Maths", True, "", 3),
    }
    lessons = (
        Lesson("Ann", 1, ("9A", "9B")),
        Lesson("Bob", 1, ("9C",)),
        Lesson("Ann", 2, ("9A",)),
    )
    return make_plan(SchoolDay("Hill", Path("teacher_list.csv"), staff, lessons, "Tue", date))


def test_gpu014_written_and_read_back(tmp_path):
    text = render_gpu014(small_plan(), {"Ann": "AN"})
    assert text == (
        '1,"20260310",1,,0,"AN",,"Maths",,,,,,,"9A~9B","Flu, ""bad"" home",,0,,"C",,\r\n'
        '2,"20260310",2,,0,"AN","Bob","Maths",,,,,,,"9A","Flu, ""bad"" home",,0,"9A",,,\r\n'
    )
    path = write(tmp_path, "GPU014.TXT", text)
    day = datetime.date(2026, 3, 10)
    assert read_gpu014(path) == [
        Substitution(1, day, 1, 0, "AN", "", "Maths", ("9A", "9B"), 'Flu, "bad" home', "C"),
        Substitution(2, day, 2, 0, "AN", "Bob", "Maths", ("9A",), 'Flu, "bad" home', ""),
    ]


def test_gpu014_round_trip_of_an_untis_school(tmp_path):
    folder = untis_folder(tmp_path / "Lindenschule")
    week = read_untis(folder)
    codes = week.teacher_codes
    date = datetime.date(2026, 3, 9)
    plans = plan_every_day(week, share=0.35)
    assert any(plan.covers for plan in plans)
    for plan in plans:
        plan = replace(plan, day=replace(plan.day, date=date))
        path = write(tmp_path, "GPU014.TXT", render_gpu014(plan, codes))
        assert read_gpu014(path) == [
            Substitution(
                number,
                date,
                item.lesson.period,
                0,
                codes[item.lesson.teacher],
                codes[item.substitute] if item.substitute else "",
                item.subject,
                item.lesson.classes,
                item.reason,
                "" if item.covered else "C",
            )
            for number, item in enumerate(plan.absent_lessons, start=1)
        ]


def early(plan):
    lesson = replace(plan.absent_lessons[0].lesson, period=-1)
    return replace(plan, absent_lessons=(replace(plan.absent_lessons[0], lesson=lesson),))


@pytest.mark.parametrize(
    ("plan", "message"),
    [
        (small_plan(None), "the GPU014 export needs the date planned; give it with --date"),
        (
            early(small_plan()),
            "period -1 of Ann cannot be written to GPU014, which numbers periods from 0",
        ),
    ],
)
def test_gpu014_refused(plan, message):
    assert refusal(render_gpu014, plan) == message


def test_an_untis_coupling_is_a_team_among_teachers_of_one_subject(tmp_path):
    folder = tmp_path / "coupled"
    folder.mkdir()
    (folder / "GPU001.TXT").write_text(
        '7,"9A","BER","RE","R1",1,1\n7,"9A","KOC","RE","R2",1,1\n7,"9A","LIN","ETH","R3",1,1\n',
        encoding="utf-8",
    )
    week = read_untis(folder)
    assert [(r.teacher, r.lesson_id) for r in week.lessons] == [
        ("BER", "7/RE"),
        ("KOC", "7/RE"),
        ("LIN", ""),
    ]


@pytest.mark.skipif(not SVWS.is_dir(), reason="the Untis samples are not beside the project")
def test_an_export_plans_as_the_folder_it_converts_to(tmp_path, capfd):
    from rotavel_app.commands.main import main

    options = ["--date", "2026-12-08", "--absent", "FLET:Ill", "--format", "csv"]
    assert main([str(SVWS), *options]) == 0
    imported = capfd.readouterr().out
    assert main([str(SVWS), "--convert", str(tmp_path / "school")]) == 0
    assert capfd.readouterr().err == f"rotavel: wrote the school folder {tmp_path / 'school'}\n"
    assert main([str(tmp_path / "school"), *options]) == 0
    assert capfd.readouterr().out == imported
    assert imported.count("\n") == 5  # the header and four lessons
    # A second conversion into the same folder is refused: it holds a school now.
    assert main([str(SVWS), "--convert", str(tmp_path / "school")]) == 2
    assert capfd.readouterr().err.endswith("exists already; convert into an empty folder\n")


@pytest.mark.skipif(not SVWS.is_dir(), reason="the Untis samples are not beside the project")
def test_the_command_writes_gpu014_by_untis_codes(tmp_path, capfd):
    from rotavel_app.commands.main import main

    options = ["--date", "2026-12-08", "-a", "FLET", "-f", "gpu014", "-o"]
    assert main([str(SVWS), *options, str(tmp_path / "GPU014.TXT")]) == 0
    back = read_gpu014(tmp_path / "GPU014.TXT")
    assert {s.absent for s in back} == {"FLET"}
    assert all(s.date == datetime.date(2026, 12, 8) for s in back)
