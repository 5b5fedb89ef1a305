"""Other programs' exports written for the tests: FET's CSV, Untis's GPU files and aSc's XML,
and an imported week planned day by day."""

import collections
import random
from dataclasses import replace
from pathlib import Path

from rotavel_app.planning.plan import Plan, make_plan
from rotavel_app.school.day import Absence, DayWanted, SchoolDay, apply_absences, choose_day
from rotavel_app.school.week import Week


def school_day(week: Week, day: str, absent: set[str], week_letter: str = "") -> SchoolDay:
    """The SchoolDay the command plans for one day of an imported week (of
    every week, or of the given one), with `absent` away for the day."""
    rows = [r._replace(week="") for r in week.lessons if r.week in ("", week_letter)]
    chosen = choose_day(replace(week, lessons=rows), DayWanted(day=day))
    return apply_absences(
        chosen, [Absence(name, "Ill", "test") for name in week_names(week) if name in absent]
    )


def week_names(week: Week) -> list[str]:
    return [member.name for member in week.staff]


def plan_every_day(week: Week, share: float = 0.1) -> list[Plan]:
    """Plan each day of the week with a tenth of the staff away (chosen by a
    generator seeded with the school's name), checking that every lesson of
    an absent teacher is in the plan once, that substitutes are present, and
    that nobody is in two places in one period."""
    names = [member.name for member in week.staff]
    assert len(set(names)) == len(names), "a name given to two members of staff"
    absent = set(random.Random(week.name).sample(names, max(1, round(len(names) * share))))
    weeks = sorted({row.week for row in week.lessons} - {""}) or [""]
    plans = []
    for day in dict.fromkeys(row.day for row in week.lessons):
        for letter in weeks:
            today = school_day(week, day, absent, letter)
            plan = make_plan(today)
            away = sorted((x.teacher, x.period) for x in today.lessons if x.teacher in absent)
            assert sorted((a.lesson.teacher, a.lesson.period) for a in plan.absent_lessons) == away
            busy = collections.Counter(
                (x.teacher, x.period) for x in today.lessons if x.teacher not in absent
            )
            for cover in plan.covers:
                assert cover.substitute not in absent
                busy[cover.substitute, cover.lesson.period] += 1
            assert [slot for slot, count in busy.items() if count > 1] == []
            plans.append(plan)
    return plans


def write(folder: Path, name: str, text: str, encoding: str = "utf-8") -> Path:
    folder.mkdir(parents=True, exist_ok=True)
    path = folder / name
    path.write_bytes(text.encode(encoding))
    return path


FET_CSV_HEADER = (
    "Activity Id",
    "Day",
    "Hour",
    "Students Sets",
    "Subject",
    "Teachers",
    "Activity Tags",
    "Room",
    "Comments",
)


def fet_csv(rows_, separator=",", quote='"', header=True):
    def field(text):
        return f"{quote}{text.replace(quote, quote * 2) if quote else text}{quote}"

    lines = [FET_CSV_HEADER] if header else []
    return "\ufeff" + "".join(separator.join(map(field, r)) + "\n" for r in lines + rows_)


# Every case an Untis timetable brings: a coupling of two classes and two
# teachers (lesson 7), two groups of 9A at once as separate lessons (12 and
# 13), a double period (14), A/B weeks (15 and 16), a duty with no class,
# placeholder teachers, a lesson with no teacher, a room booking, a lesson in
# two rooms, one teacher with two classes (26) and a teacher GPU004 lacks (XY).
GPU001 = [
    (7, "9A", "BER", "RE", "R1", 1, 1, "", ""),
    (7, "9B", "BER", "RE", "R1", 1, 1, "", ""),
    (7, "9A", "KOC", "ET", "R2", 1, 1, "", ""),
    (7, "9B", "KOC", "ET", "R2", 1, 1, "", ""),
    (12, "9A", "MUE", "M", "R3", 1, 2, "", ""),
    (13, "9A", "LIN", "M", "R4", 1, 2, "", ""),
    (14, "9B", "MUE", "M", "R3", 2, 3, "", ""),
    (14, "9B", "MUE", "M", "R3", 2, 4, "", ""),
    (15, "9A", "BER", "PH", "R1", 3, 1, "", "A"),
    (16, "9A", "KOC", "CH", "R1", 3, 1, "", "B"),
    (20, "", "MUE", "AUF", "", 4, 1, "", ""),
    (21, "9B", "N.N.", "SP", "", 4, 2, "", ""),
    (22, "9A", "???", "SP", "", 4, 3, "", ""),
    (23, "9A", "", "SP", "", 4, 4, "", ""),
    (24, "", "", "", "Aula", 5, 1, "", ""),
    (25, "9B", "LIN", "E", "R1~R2", 5, 2, "", ""),
    (26, "9A", "LIN", "E", "R4", 5, 3, "", ""),
    (26, "9B", "LIN", "E", "R4", 5, 3, "", ""),
    (27, "9B", "XY", "CH", "", 5, 4, "", ""),
]


def gpu(records, separator=",", quoted=True):
    def field(value):
        if isinstance(value, int) or not quoted or value == "":
            return str(value)
        return '"' + value.replace('"', '""') + '"'

    return "".join(separator.join(map(field, r)) + "\r\n" for r in records)


def gpu004(code, surname, first=""):
    fields = [""] * 45
    fields[0], fields[1], fields[28] = code, surname, first
    return fields


GPU004 = [
    gpu004("BER", "Berger", "Anna"),
    gpu004("KOC", "Koç", "Ali"),
    gpu004("MUE", "Müller", "Maria"),
    gpu004("LIN", "Müller", "Maria"),  # a namesake: both get their codes
    gpu004("SCH", "Schmidt"),  # no first name, and no lesson: can still cover
    gpu004("N.N.", "Unbesetzt"),
]
GPU005 = [("R1", "Physics lab"), ("R2", ""), ("Aula", "Hall")]
GPU006 = [("M", "Mathematics"), ("RE", "Religion"), ("ET", "Ethics"), ("PH", ""), ("E", "English")]


def untis_folder(folder, encoding="utf-8", separator=",", timetable=GPU001, names=True):
    write(folder, "GPU001.TXT", gpu(timetable, separator), encoding)
    if names:
        write(folder, "GPU004.TXT", gpu(GPU004, separator), encoding)
        write(folder, "GPU005.TXT", gpu(GPU005, separator), encoding)
        write(folder, "GPU006.TXT", gpu(GPU006, separator), encoding)
    return folder


ASC_TABLES = """\
<days columns="day,name,short">
<day day="1" name="Pondělí" short="Po"/><day day="2" name="Úterý" short="Út"/>
</days>
<periods columns="period,starttime,endtime">
<period period="1" starttime="8:00" endtime="8:45"/>
<period period="2" starttime="8:55" endtime="9:40"/>
<period period="3" name="Lunch"/>
<period period="4" starttime="11:00" endtime="11:45"/>
</periods>
<teachers columns="id,name,short">
<teacher id="T1" name="Jana Nováková" short="NO"/>
<teacher id="T2" name="Petr Svoboda" short="SV"/>
<teacher id="T3" name="Petr Svoboda" short="PS"/>
<teacher id="T4" name="N.N." short="NN"/>
<teacher id="T5" name="" firstname="Eva" lastname="Malá" short="MA"/>
</teachers>
<classes columns="id,name,short">
<class id="C1" name="9.A" short="9A"/><class id="C2" name="9.B" short="9B"/>
</classes>
<groups columns="id,classid,name,entireclass,divisiontag">
<group id="G1" classid="C1" name="Celá třída" entireclass="1" divisiontag="0"/>
<group id="G2" classid="C2" name="Celá třída" entireclass="1" divisiontag="0"/>
<group id="G3" classid="C1" name="Latin" entireclass="0" divisiontag="1"/>
<group id="G4" classid="C1" name="9.A French" entireclass="0" divisiontag="1"/>
</groups>
<subjects columns="id,name,short">
<subject id="S1" name="Matematika" short="M"/><subject id="S2" name="Latin" short="LA"/>
<subject id="S3" name="" short="FR"/><subject id="S4" name="Dozor" short="DZ"/>
</subjects>
<classrooms columns="id,name,short">
<classroom id="R1" name="Učebna 1" short="U1"/><classroom id="R2" name="" short="LAB"/>
</classrooms>
"""

# A lesson; a team of two in a double period, twice a week, with two
# classes; a group in week A; a group named with its class in week B; a duty;
# a placeholder alone and beside a teacher; no teacher; a lesson in no week.
ASC_LESSONS = """\
<lessons columns="id,subjectid,classids,groupids,teacherids,classroomids,periodspercard,weeks">
<lesson id="L1" subjectid="S1" classids="C1" groupids="G1" teacherids="T1" classroomids="R1"
 periodspercard="1" weeks="1"/>
<lesson id="L2" subjectid="S1" classids="C1,C2" groupids="G1,G2" teacherids="T1,T2"
 classroomids="R2" periodspercard="2" weeks="11"/>
<lesson id="L3" subjectid="S2" classids="C1" groupids="G3" teacherids="T3" periodspercard="1" weeks="10"/>
<lesson id="L4" subjectid="S3" classids="C1" groupids="G4" teacherids="T2" weeks="01"/>
<lesson id="L5" subjectid="S4" classids="" groupids="" teacherids="T1"/>
<lesson id="L6" subjectid="S1" classids="C2" groupids="G2" teacherids="T4"/>
<lesson id="L7" subjectid="S1" classids="C2" groupids="G2" teacherids=""/>
<lesson id="L8" subjectid="S1" classids="C2" groupids="G2" teacherids="T4,T3"/>
<lesson id="L9" subjectid="S1" classids="C2" teacherids="T1" weeks="00"/>
</lessons>
"""
ASC_CARDS = """\
<cards columns="lessonid,day,period,classroomids">
<card lessonid="L1" day="1" period="1" classroomids="R1"/>
<card lessonid="L2" day="2" period="1"/>
<card lessonid="L3" day="1" period="2"/>
<card lessonid="L4" day="1" period="2" classroomids="R1"/>
<card lessonid="L5" day="2" period="4"/>
<card lessonid="L6" day="2" period="4"/>
<card lessonid="L7" day="1" period="4"/>
<card lessonid="L8" day="1" period="4"/>
<card lessonid="L9" day="1" period="3"/>
<card lessonid="L2" day="2" period="3"/>
</cards>
"""


def asc_xml(tables=ASC_TABLES, lessons=ASC_LESSONS, cards=ASC_CARDS, options="daynumbering1"):
    return (
        '<?xml version="1.0" encoding="windows-1250"?>\n'
        f'<timetable importtype="database" options="idprefix:ZS,{options}" ascttversion="2024">\n'
        f"{tables}{lessons}{cards}</timetable>\n"
    )
