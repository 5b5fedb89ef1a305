"""A school's own data: any subject, who is in, part-day absences, rooms and
times, private reasons, exports as they come, and the school's settings."""

from __future__ import annotations

import codecs
import datetime
from pathlib import Path

import pytest
import rotavel
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from support.schools import write_school

from rotavel_app.pages.formats import render_board, render_csv, render_slips, render_table
from rotavel_app.planning.plan import make_plan, planning_order
from rotavel_app.school.day import DayWanted, apply_absences, parse_absence
from rotavel_app.school.folder import load_school
from rotavel_app.school.subjects import KEYWORDS_BY_PLACE, SUBJECTS

HEADER = "Teacher,Period,Subject,Substitution,Classroom,Reason,Room,Note\n"


def folder(tmp_path: Path, teachers: str, timetable: str, toml: str | None = None) -> Path:
    return write_school(tmp_path / "school", teachers, timetable, toml)


def plan_csv(place: Path, *absent: str, wanted: DayWanted | None = None) -> str:
    day = load_school(place, wanted=wanted)
    day = apply_absences(day, [parse_absence(a, "--absent", day.staff) for a in absent])
    return render_csv(make_plan(day))


# Thirty subjects, ten of them outside the module's twenty, a teacher each
# (T0 to T29, all teaching period 2). Mia (Music), Leo (Latin) and Dan
# (Drama) are away; Max, Lea and Dee teach those subjects too.
THIRTY = [f"Subject {n}" for n in range(20)]
THIRTY += "Music Latin Drama French German Spanish Religion Sport Technology Science".split()


def thirty_subject_school(tmp_path: Path) -> Path:
    teachers = ["name,subject,present,reason"]
    rows = ["teacher,period,class"]
    for number, subject in enumerate(THIRTY):
        teachers.append(f"T{number},{subject},yes,")
        rows.append(f"T{number},2,C{number}")  # everyone teaches period 2
    teachers += "Mia,Music,no,Flu Max,music,yes, Leo,Latin,no, Lea,LATIN,yes,".split()
    teachers += ["Dan,Drama,no,", "Dee,drama,yes,"]
    rows += "Mia,1,7A Mia,2,7B Max,2,8A Max,3,8B Leo,1,9A Leo,3,9B Lea,2,10A Lea,4,10B".split()
    rows += ["Dan,1,11A", "Dee,2,11B"]
    return folder(tmp_path, "\n".join(teachers) + "\n", "\n".join(rows) + "\n")


def test_thirty_subjects_and_three_absent_outside_the_catalogue(tmp_path):
    # Period 1: each lesson goes to the least loaded teacher of its own
    # subject: T20 (Music), T21 (Latin) and T22 (Drama) have one lesson
    # against two, and no teacher of another subject is asked, although
    # T0 to T19 are as free. Period 2: everyone in is teaching, so Mia's 7B
    # stays uncovered. Period 3: T21 and Lea have two lessons each; T21
    # comes first in the teacher list.
    assert plan_csv(thirty_subject_school(tmp_path)) == HEADER + (
        "Mia,1,Music,T20,7A,Flu,,\n"
        "Mia,2,Music,,7B,Flu,,\n"
        "Leo,1,Latin,T21,9A,,,\n"
        "Leo,3,Latin,T21,9B,,,\n"
        "Dan,1,Drama,T22,11A,,,\n"
    )


def test_more_absent_subjects_than_the_catalogue_has_places(tmp_path):
    # 22 subjects away in one period: planned 20 subjects at a time, in order
    # of their first lesson. Each absent teacher's colleague of the same
    # subject is free and takes the lesson, in every round.
    teachers = ["name,subject,present"]
    rows = ["teacher,period,class"]
    for n in range(22):
        teachers += [f"Away{n},Subj{n},no", f"Here{n},subj{n},yes"]
        rows.append(f"Away{n},1,C{n}")
    place = folder(tmp_path, "\n".join(teachers) + "\n", "\n".join(rows) + "\n")
    plan = make_plan(load_school(place))
    assert [(a.lesson.teacher, a.substitute) for a in plan.absent_lessons] == [
        (f"Away{n}", f"Here{n}") for n in range(22)
    ]
    assert len(plan.rounds) == 2


def _old_rows(day) -> list[str]:
    """The plan as the command made it before schools could bring their own subjects."""
    catalogue = {}
    for name, (keywords, synonyms) in SUBJECTS.items():
        for spelling in (*keywords, name, *synonyms):
            catalogue.setdefault(spelling.casefold(), keywords[0])
    school = rotavel.School()
    teachers = {}
    for number, member in enumerate(day.staff.values()):
        teacher = rotavel.Teacher(
            f"t{number}", catalogue[member.subject.casefold()], member.present
        )
        teacher.reason_of_absentee = ""
        school.add_teacher(teacher)
        teachers[member.name] = teacher
    classes = []
    for number, group in enumerate(planning_order(day)):
        klass = rotavel.Class(f"c{number}")
        for lesson in group:
            rotavel.register_period(teachers[lesson.teacher], lesson.period, school, klass)
        classes.append(klass)
    for klass in classes:
        school.add_class(klass)
    return _assignments(school.generate_substitutions())


def _assignments(text: str) -> list[str]:
    """Who covers whom and when; the class's stand-in name differs, as only
    classes with an absent lesson are handed over now."""
    return [row.rsplit(",", 2)[0] for row in text.split("\n\n")[0].split("\n")[1:]]


def _new_rows(day) -> list[str]:
    rounds = make_plan(day).rounds
    assert len(rounds) <= 1
    return _assignments(rounds[0].text) if rounds else []


_NAMES = [f"N{n}" for n in range(12)]


@st.composite
def catalogue_schools(draw):
    """A day of a school whose subjects are all the module's own."""
    staff = draw(st.lists(st.sampled_from(_NAMES), min_size=1, max_size=12, unique=True))
    subjects = {n: draw(st.sampled_from(KEYWORDS_BY_PLACE[:6])) for n in staff}
    present = {n: draw(st.booleans()) for n in staff}
    lessons = draw(
        st.lists(
            st.tuples(st.sampled_from(staff), st.integers(1, 4), st.sampled_from("ABCD")),
            max_size=30,
        )
    )
    teachers = "name,subject,present\n" + "".join(
        f"{n},{subjects[n]},{'yes' if present[n] else 'no'}\n" for n in staff
    )
    timetable = "teacher,period,class\n" + "".join(f"{t},{p},{c}\n" for t, p, c in lessons)
    return teachers, timetable


@settings(
    max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(catalogue_schools())
def test_schools_of_the_catalogues_subjects_plan_as_before(tmp_path, drawn):
    place = folder(tmp_path, *drawn)
    day = load_school(place)
    if not day.absent or not day.lessons:
        assert make_plan(day).covers == []
        return
    assert _new_rows(day) == _old_rows(day)


# Who is in: Pat teaches only on Tuesday; Hal (the head) teaches nobody all
# week; Sam's list says he is in on Monday though he teaches only Tuesday.
WEEK_TEACHERS = (
    "name,subject,present,days\nAnn,Maths,yes,\nPat,Maths,yes,\nHal,Music,yes,\nSam,Maths,yes,Mon\n"
)
WEEK_TIMETABLE = (
    "day,teacher,period,class\n"
    "Monday,Ann,1,9A\nMonday,Ann,2,9B\nTuesday,Pat,1,9A\nTuesday,Sam,2,9C\n"
)


PART_DAY_TEACHERS = "name,subject,present\nTom,Maths,yes\nUma,Maths,yes\nVic,English,yes\n"
PART_DAY_TIMETABLE = (
    "teacher,period,class\nTom,1,9A\nTom,2,9B\nTom,4,9C\nUma,1,8A\nUma,3,8B\nVic,3,7A\nVic,4,7B\n"
)
PART_DAY_PLANS = {
    # Away for periods 1-2 only: his period-4 lesson is his own. Uma is teaching in period 1,
    # so Vic (English) takes 9A; in period 2 Uma is free.
    "Tom@1-2:Dentist": "Tom,1,Maths,Vic,9A,Dentist,,\nTom,2,Maths,Uma,9B,Dentist,,\n",
    "Tom": "Tom,1,Maths,Vic,9A,,,\nTom,2,Maths,Uma,9B,,,\nTom,4,Maths,Uma,9C,,,\n",
}
# teachers, timetable, absences, the day, the plan.
PLANS = {
    # The Latin teacher has no lessons at all and comes first; the Music teacher is busier.
    "same subject wins": (
        "name,subject,present\nLatin Lou,Latin,yes\nMia,Music,no\nMax,Music,yes\n",
        "teacher,period,class\nMia,1,7A\nMax,2,8A\nMax,3,8B\n",
        [],
        None,
        "Mia,1,Music,Max,7A,,,\n",
    ),
    "subject shown as written": (
        "name,subject,present\nAnn,bio,no\nBob,BIO,yes\n",
        "teacher,period,class\nAnn,1,9A\n",
        [],
        None,
        "Ann,1,bio,Bob,9A,,,\n",
    ),
    # Bob (Maths) is chosen over Cat (English), who comes first and is freer.
    "synonyms are one subject": (
        "name,subject,present\nCat,English,yes\nAnn,Mathematics,no\nBob,Maths,yes\n",
        "teacher,period,class\nAnn,1,9A\nBob,2,9B\n",
        [],
        None,
        "Ann,1,Mathematics,Bob,9A,,,\n",
    ),
    # Pat has the day off and takes nothing; Sam (listed in on Monday) is the free Maths teacher.
    "a part-timer's day off": (
        WEEK_TEACHERS,
        WEEK_TIMETABLE,
        ["Ann"],
        "Monday",
        "Ann,1,Maths,Sam,9A,,,\nAnn,2,Maths,Sam,9B,,,\n",
    ),
    # On Tuesday Ann has no lessons: not in. Sam teaches 9C but is listed in on Monday only,
    # so his lesson needs cover too: Hal, with no timetable, in every day, takes both.
    "staff with no timetable cover": (
        WEEK_TEACHERS,
        WEEK_TIMETABLE,
        ["Pat"],
        "tue",
        "Pat,1,Maths,Hal,9A,,,\nSam,2,Maths,Hal,9C,,,\n",
    ),
    **{
        f"part day {absence}": (PART_DAY_TEACHERS, PART_DAY_TIMETABLE, [absence], None, plan)
        for absence, plan in PART_DAY_PLANS.items()
    },
    # Uma is away in period 1 only; in period 3 she is the only free Maths teacher.
    "away in the morning, covering in the afternoon": (
        PART_DAY_TEACHERS,
        PART_DAY_TIMETABLE.replace("Uma,3,8B\n", ""),
        ["Uma@1", "Tom"],
        None,
        "Tom,1,Maths,Vic,9A,,,\nTom,2,Maths,Uma,9B,,,\nTom,4,Maths,Uma,9C,,,\nUma,1,Maths,,8A,,,\n",
    ),
    "part day in the teacher list": (
        "name,subject,present,reason,periods\nTom,Maths,no,Dentist,1-2\nUma,Maths,yes,,\n"
        "Vic,English,yes,,\n",
        PART_DAY_TIMETABLE,
        [],
        None,
        "Tom,1,Maths,Vic,9A,Dentist,,\nTom,2,Maths,Uma,9B,Dentist,,\n",
    ),
}


@pytest.mark.parametrize(
    ("teachers", "timetable", "absent", "day", "plan"), PLANS.values(), ids=PLANS
)
def test_plans(tmp_path, teachers, timetable, absent, day, plan):
    place = folder(tmp_path, teachers, timetable)
    assert plan_csv(place, *absent, wanted=day and DayWanted(day=day)) == HEADER + plan


@pytest.mark.parametrize(
    ("text", "name", "periods", "reason"),
    [
        ("Dr. Who: Esq.:Flu", "Dr. Who: Esq.", None, "Flu"),
        ("Dr. Who: Esq.", "Dr. Who: Esq.", None, None),
        ("Dr. Who: Esq.@3-4", "Dr. Who: Esq.", frozenset({3, 4}), None),
        ("Tom Baker@1-2: dentist 9:30", "Tom Baker", frozenset({1, 2}), "dentist 9:30"),
        ("Stranger:Flu", "Stranger", None, "Flu"),
    ],
)
def test_names_holding_colons_can_be_marked_absent(text, name, periods, reason):
    absence = parse_absence(text, "--absent", {"Dr. Who: Esq.", "Tom Baker"})
    assert (absence.name, absence.periods, absence.reason) == (name, periods, reason)


ROOM_TIMETABLE = "teacher,period,class,room\nAnn,1,9A,Lab 2\nBob,2,9B,\n"


def test_rooms_and_times_reach_the_slip_csv_and_table(tmp_path):
    place = folder(
        tmp_path,
        "name,subject,present,reason\nAnn,Music,no,Hospital appointment\nBob,Music,yes,\n",
        ROOM_TIMETABLE,
        'name = "Hillside Academy"\n[times]\n1 = "8:30-9:20"\n',
    )
    plan = make_plan(load_school(place))
    assert render_csv(plan) == HEADER + "Ann,1,Music,Bob,9A,Hospital appointment,Lab 2,\n"
    slips = render_slips(plan)
    assert "Lab 2" in slips and "08:30–09:20" in slips and "Hillside Academy" in slips
    assert "Hospital" not in slips
    table = render_table(plan)
    assert "Lab 2" in table and "Hospital appointment" in table
    assert table.startswith("Cover plan: Hillside Academy\n")


@pytest.mark.parametrize("show", [False, True])
def test_reasons_stay_off_the_board_and_slips_unless_the_school_asks(tmp_path, show):
    place = folder(
        tmp_path,
        "name,subject,present,reason\nAnn,Music,no,Bereavement\nBob,Music,yes,\nCy,Latin,no,\n",
        "teacher,period,class\nAnn,2,9A\nBob,1,9C\nCy,2,9B\n",
        f"show_reasons = {'true' if show else 'false'}\n",
    )
    plan = make_plan(load_school(place))
    for page in (render_board(plan), render_slips(plan)):
        assert ("Bereavement" in page) == show
        assert "Planned Absense" not in page
    assert "Bereavement" in render_table(plan)
    assert "Planned Absense" not in render_csv(plan) + render_table(plan)


@pytest.mark.parametrize(
    "encode",
    [
        lambda t: t.encode("cp1252"),
        lambda t: codecs.BOM_UTF16_LE + t.encode("utf-16-le"),
        lambda t: codecs.BOM_UTF16_BE + t.encode("utf-16-be"),
        lambda t: codecs.BOM_UTF8 + t.encode("utf-8"),
    ],
    ids=["windows-1252", "utf-16-le", "utf-16-be", "utf-8-bom"],
)
def test_exports_in_the_encodings_spreadsheets_write(tmp_path, encode):
    place = folder(tmp_path, "", "")
    (place / "teacher_list.csv").write_bytes(
        encode("name;subject;present;reason\nZoë Müller;Français;no;Congé\nRené;français;yes;\n")
    )
    (place / "timetable.csv").write_bytes(encode("teacher;period;class\nZoë Müller;1;6ème\n"))
    day = load_school(place)
    assert render_csv(make_plan(day)) == HEADER + "Zoë Müller,1,Français,René,6ème,Congé,,\n"
    cp1252 = [n for n in day.notes if "Windows-1252" in n]
    assert len(cp1252) == (2 if "windows" in str(encode) or encode("é") == b"\xe9" else 0)


@pytest.mark.parametrize(
    ("days", "date", "planned"),
    [
        (("Mo", "Di"), datetime.date(2026, 12, 7), "Mo"),
        (("ma", "di", "wo"), datetime.date(2026, 12, 7), "ma"),  # Dutch: ma is Monday
        (("lu", "ma", "me"), datetime.date(2026, 12, 8), "ma"),  # French: ma is Tuesday
        (("Dilluns", "Dimarts"), datetime.date(2026, 12, 7), "Dilluns"),
        (("Δευτέρα", "Τρίτη"), datetime.date(2026, 12, 8), "Τρίτη"),
        (("maanantai", "tiistai"), datetime.date(2026, 12, 7), "maanantai"),
        (("Mon", "Monday"), datetime.date(2026, 12, 7), "Mon"),
    ],
)
def test_weekday_names_as_schools_write_them(tmp_path, days, date, planned):
    rows = "".join(f"{d},Ann,{n},C{n}\n" for n, d in enumerate(days, start=1))
    place = folder(tmp_path, "name,subject\nAnn,Maths\n", "day,teacher,period,class\n" + rows)
    day = load_school(place, wanted=DayWanted(date=date))
    assert day.day == planned
    if days == ("Mon", "Monday"):  # one day written two ways is one day
        assert [lesson.period for lesson in day.lessons] == [1, 2]


@pytest.mark.parametrize("typed", ["Montag", "Mo", "mon", "lundi"])
def test_day_option_in_any_language(tmp_path, typed):
    place = folder(
        tmp_path,
        "name,subject\nAnn,Maths\n",
        "day,teacher,period,class\nMonday,Ann,1,9A\nTuesday,Ann,2,9B\n",
    )
    assert load_school(place, wanted=DayWanted(day=typed)).day == "Monday"


def test_a_team_lesson_with_a_colleague_in_is_not_covered(tmp_path):
    from rotavel_app.school.day import choose_day
    from rotavel_app.school.week import LessonRow, StaffRow, Week

    week = Week(
        "team",
        tmp_path,
        [StaffRow("Ann", "Maths", False), StaffRow("Bob", "Maths"), StaffRow("Cy", "Maths")],
        [
            LessonRow("Ann", 1, "9A", lesson_id="L1"),
            LessonRow("Bob", 1, "9A", lesson_id="L1"),
            LessonRow("Ann", 2, "9B"),
        ],
    )
    plan = make_plan(choose_day(week))
    assert [(a.lesson.period, a.substitute, a.note) for a in plan.absent_lessons] == [
        (1, None, "taught by Bob"),
        (2, "Cy", ""),
    ]
    assert plan.uncovered == []


@st.composite
def messy_weeks(draw):
    """A week of free-text subjects, part-timers, part-day absences and teams."""
    from rotavel_app.school.week import LessonRow, StaffRow, Week

    names = draw(st.lists(st.sampled_from(_NAMES), min_size=2, max_size=12, unique=True))
    subjects = ["Music", "Latin", "Maths", "mathematics", "Drama", "PE"]
    staff = []
    for name in names:
        away = draw(st.sampled_from(["", "", "all", "1-2", "3", "2,4"]))
        staff.append(
            StaffRow(
                name,
                draw(st.sampled_from(subjects)),
                present=not away,
                periods="" if away in ("", "all") else away,
                days=draw(st.sampled_from(["", "", "", "Mon", "Tue"])),
            )
        )
    lessons = [LessonRow(names[0], 1, "7A", "Mon")]
    row = st.tuples(st.sampled_from(names), st.integers(1, 4), st.sampled_from(["7A", "7B", "8A"]))
    drawn = draw(st.lists(st.tuples(row, st.sampled_from(["Mon", "Tue"])), min_size=1, max_size=30))
    for number, ((teacher, period, klass), day) in enumerate(drawn):
        team = f"L{number % 3}" if draw(st.booleans()) and number % 5 == 0 else ""
        lessons.append(LessonRow(teacher, period, klass, day, lesson_id=team))
    return Week("messy", "messy", staff, lessons)


@settings(max_examples=200, deadline=None)
@given(messy_weeks())
def test_every_plan_is_sound_and_replays(week):
    from rotavel_app.school.day import choose_day

    day = choose_day(week, DayWanted(day="Mon"))
    plan = make_plan(day)
    staff = day.staff
    # Every lesson of a teacher away in its period appears once.
    away = [
        (x.teacher, x.period)
        for x in day.lessons
        if staff[x.teacher].away_in(x.period) or not staff[x.teacher].in_school
    ]
    assert sorted((a.lesson.teacher, a.lesson.period) for a in plan.absent_lessons) == sorted(away)
    busy = {(x.teacher, x.period) for x in day.lessons}
    seen = set()
    for cover in plan.covers:
        who, period = cover.substitute, cover.lesson.period
        member = staff[who]
        # A substitute is in, not away then, not teaching then, and covers once a period.
        assert member.in_school and not member.away_in(period)
        assert (who, period) not in busy and (who, period) not in seen
        seen.add((who, period))
    for item in plan.absent_lessons:
        # A team's lesson with a colleague in is never covered.
        colleagues = [
            t
            for t in item.lesson.team
            if staff[t].in_school and not staff[t].away_in(item.lesson.period)
        ]
        assert bool(colleagues) == (item.note.startswith("taught by"))
        if item.substitute is not None and (
            staff[item.substitute].subject_key != staff[item.lesson.teacher].subject_key
        ):
            # Another subject only when every teacher of its own was busy, away or out.
            for member in staff.values():
                if member.subject_key == staff[item.lesson.teacher].subject_key:
                    period = item.lesson.period
                    assert (
                        not member.in_school
                        or member.away_in(period)
                        or (member.name, period) in busy | seen
                    )
    for handed in plan.rounds:  # the module's answer to the very school it was handed
        again = handed.school.run()
        assert again.rpartition("\n")[0] == handed.text.rpartition("\n")[0]
