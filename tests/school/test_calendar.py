"""Every school's calendar: a day's two halves planned as one school day,
weeks that run Sunday to Thursday or Monday to Saturday, rotating cycles
and closures from rotavel.toml, and absences checked against them, at the
command and at the desk alike."""

import datetime
import sqlite3

import pytest
from support.command import run
from support.exports import asc_xml, write
from support.refusals import refusal

from rotavel_app.desk.desk import Desk, window_start
from rotavel_app.school.calendar import Calendar
from rotavel_app.school.day import DayWanted, choose_day
from rotavel_app.school.folder import load_school
from rotavel_app.school.importers.asc import read_asc
from rotavel_app.school.settings import Settings, parse_settings
from rotavel_app.school.weekdays import read_days

SUNDAY = datetime.date(2027, 1, 3)
MONDAY = SUNDAY + datetime.timedelta(1)
HEADER = "Teacher,Period,Subject,Substitution,Classroom,Reason,Room,Note\n"
STAFF = "name,subject\nAnn,maths\nBob,maths\nCat,maths\nDan,english\n"
SUN_TO_THU = "Sunday, Monday, Tuesday, Wednesday, Thursday"


def folder_of(tmp_path, timetable, toml="", staff=STAFF, name="school"):
    folder = tmp_path / name
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "teacher_list.csv").write_text(staff, encoding="utf-8")
    (folder / "timetable.csv").write_text(timetable, encoding="utf-8")
    if toml:
        (folder / "rotavel.toml").write_text(toml, encoding="utf-8")
    return folder


def half_day_school(tmp_path, names, toml=""):
    """Sunday to Thursday; Sunday and Monday in two halves named by `names`
    (Sunday morning, Sunday afternoon, Monday morning, Monday afternoon).
    Ann teaches 7A in Sunday's first period of each half; the morning has
    four periods, so the afternoon's first is period 5."""
    sun_am, sun_pm, mon_am, mon_pm = names
    rows = [
        (sun_am, "Ann", 1, "7A"),
        (sun_am, "Bob", 2, "7B"),
        (sun_am, "Cat", 4, "7C"),
        (sun_pm, "Ann", 2, "7A"),
        (sun_pm, "Bob", 1, "7B"),
        (mon_am, "Dan", 1, "7A"),
        (mon_pm, "Ann", 3, "7B"),
        ("الثلاثاء", "Ann", 1, "7A"),
        ("الأربعاء", "Bob", 1, "7A"),
        ("الخميس", "Cat", 1, "7A"),
    ]
    text = "day,teacher,period,class\n" + "".join(f"{d},{t},{p},{c}\n" for d, t, p, c in rows)
    return folder_of(tmp_path, text, toml)


HALF_NAMES = {
    "arabic, 2": ("الأحد", "الأحد2", "الاثنين", "الاثنين2"),  # noqa: RUF001
    "arabic, /م": ("الأحد", "الأحد/م", "الاثنين", "الاثنين/م"),
    "arabic, ص م": ("الاحد ص", "الاحد م", "الاثنين ص", "الاثنين م"),
    "arabic, no article": ("أحد صباحا", "أحد مساءا", "إثنين صباحا", "إثنين زوالا"),
    "french": ("dimanche matin", "dimanche soir", "lundi matin", "lundi soir"),
    "french, short": ("Dim M", "Dim S", "Lun M", "Lun S"),
    "french, letters": ("D_m", "D_s", "L_m", "L_s"),
    "english": ("sun mor", "sun aft", "mon mor", "mon aft"),
}
# Days without a weekday in their names, named in the settings.
NAMED_DAYS = (
    "[days]\n"
    '"J1 A" = "Sunday morning"\n"J1 B" = "Sunday afternoon"\n'
    '"J2 A" = "Monday morning"\n"J2 B" = "lundi afternoon"\n'
)


@pytest.mark.parametrize(
    "names, toml",
    [(names, "") for names in HALF_NAMES.values()]
    + [(("J1 A", "J1 B", "J2 A", "J2 B"), NAMED_DAYS)],
    ids=[*HALF_NAMES, "named in the settings"],
)
def test_a_sunday_plans_both_halves_the_afternoon_numbered_after_the_morning(
    tmp_path, capsys, names, toml
):
    folder = half_day_school(tmp_path, names, toml)
    assert run(capsys, str(folder), "--date", str(SUNDAY), "--absent", "Ann", "-f", "csv") == (
        0,
        HEADER + "Ann,1,maths,Cat,7A,,,\nAnn,6,maths,Cat,7A,,,\n",
        "",
    )
    day = load_school(folder, wanted=DayWanted(date=SUNDAY))
    assert (day.day, day.periods) == (f"{names[0]} + {names[1]}", [1, 2, 4, 5, 6])
    monday = load_school(folder, wanted=DayWanted(date=MONDAY))
    assert [(x.teacher, x.period) for x in monday.lessons] == [("Dan", 1), ("Ann", 7)]


def test_the_desk_plans_a_half_day_school_by_date(tmp_path, capfd):
    folder = half_day_school(tmp_path, HALF_NAMES["arabic, 2"])
    assert run(capfd, "absent", folder, "Ann", "--date", str(SUNDAY)) == (
        0,
        "Absence #1: Ann, Sunday 3 January 2027\n",
        "",
    )
    code, out, err = run(capfd, "plan", folder, "--date", str(SUNDAY), "--publish", "-f", "csv")
    # The desk shares covers fairly: Cat's cover in the morning sends the afternoon's to Bob.
    assert (code, out, err) == (0, HEADER + "Ann,1,maths,Cat,7A,,,\nAnn,6,maths,Bob,7A,,,\n", "")
    with Desk.open(folder) as desk:
        assert [(r.teacher, r.period, r.substitute) for r in desk.published(SUNDAY)] == [
            ("Ann", 1, "Cat"),
            ("Ann", 6, "Bob"),
        ]


@pytest.mark.parametrize(
    "rows, expected",
    [
        # The timetable's order, however its rows come.
        (["Thursday", "Monday", "Sunday"], "Sunday, Monday, Thursday"),
        (["Day 10", "Day 2", "Day 1"], "Day 1, Day 2, Day 10"),
        (
            ["الخميس", "الأحد2", "الاثنين", "الأحد", "الأربعاء", "الثلاثاء"],  # noqa: RUF001
            "الأحد + الأحد2, الاثنين, الثلاثاء, الأربعاء, الخميس",  # noqa: RUF001
        ),
    ],
)
def test_days_are_listed_in_the_timetables_order(tmp_path, capsys, rows, expected):
    text = "day,teacher,period,class\n" + "".join(f"{d},Ann,1,7A\n" for d in rows)
    folder = folder_of(tmp_path, text)
    tt = folder / "timetable.csv"
    assert run(capsys, str(folder), "--day", "nowhere") == (
        2,
        "",
        f"rotavel: --day 'nowhere': {tt} has no such day; the days are: {expected}\n",
    )


@pytest.mark.parametrize(
    "names, expected",
    [
        (
            ["الأحد", "الاثنين", "الثلاثاء", "الاربعاء", "الخميس", "الجمعة", "السبت"],
            [6, 0, 1, 2, 3, 4, 5],
        ),
        (["Понеділок", "Вівторок", "Середа", "Четвер", "П'ятниця"], [0, 1, 2, 3, 4]),
        (["Понеділок", "П’ятниця", "Пʼятниця"], [0, 4, 4]),  # noqa: RUF001
        (["Понедельник", "Вторник", "Среда", "Четверг", "Пятница"], [0, 1, 2, 3, 4]),
        (["L", "Ma", "Me", "J", "V", "S"], [0, 1, 2, 3, 4, 5]),
        # A whole weekday's name wins over the language of one letter.
        (["Mon", "Tue", "S"], [0, 1]),
    ],
)
def test_weekday_names_of_more_languages(names, expected):
    assert list(read_days(names).values()) == expected


def asc_days(names):
    days = "".join(f'<day day="{n}" name="{name}"/>' for n, name in enumerate(names, start=1))
    tables = asc_xml().split("<days")[0]
    rest = asc_xml().split("</days>\n")[1]
    return f'{tables}<days columns="day,name">{days}</days>\n{rest}'


@pytest.mark.parametrize(
    "names, date, expected",
    [
        # A real Ukrainian export's names, read as weekdays.
        (["Понеділок", "Вівторок"], MONDAY + datetime.timedelta(1), "Вівторок"),
        # Names no language reads: aSc counts its days from Monday.
        (["Alpha", "Beta"], MONDAY, "Alpha"),
    ],
)
def test_asc_days_planned_by_date(tmp_path, names, date, expected):
    path = write(tmp_path, "school.xml", asc_days(names), "utf-8")
    text = path.read_text(encoding="utf-8").replace("windows-1250", "utf-8")
    path.write_text(text, encoding="utf-8")
    day = choose_day(read_asc(path), DayWanted(date=date))
    assert day.day == expected


CYCLE_TOML = (
    'cycle_start = "2027-01-04"\n'
    "[closed]\n"
    '"Winter break" = "2027-01-13 to 2027-01-15"\n'
    '"Founders\' day" = ["2027-01-25"]\n'
)


def cycle_school(tmp_path, toml=CYCLE_TOML):
    """Ten days; Ann teaches in the period of the day's number (Day 3: period 3),
    Bob in the others; Cat, with no lesson, covers her."""
    rows = "".join(f"Day {n},Ann,{n},7A\nDay {n},Bob,{11 - n},7B\n" for n in range(1, 11))
    return folder_of(tmp_path, "day,teacher,period,class\n" + rows, toml)


@pytest.mark.parametrize(
    "date, expected",
    [
        ("2027-01-04", "Day 1"),  # the cycle's start, a Monday
        ("2027-01-11", "Day 6"),  # the weekend skipped
        ("2027-01-18", "Day 8"),  # Wednesday to Friday closed
        ("2027-01-21", "Day 1"),
        ("2027-01-26", "Day 3"),  # Monday the 25th closed
        ("2027-01-01", "Day 10"),  # before the start, counted back
    ],
)
def test_a_ten_day_cycle_counts_school_days_across_a_holiday(tmp_path, date, expected):
    day = load_school(
        cycle_school(tmp_path), wanted=DayWanted(date=datetime.date.fromisoformat(date))
    )
    assert day.day == expected


def test_an_absence_across_a_holiday_counts_its_school_days(tmp_path, capfd):
    folder = cycle_school(tmp_path)
    assert run(capfd, "absent", folder, "Ann", "--from", "2027-01-12", "--to", "2027-01-18") == (
        0,
        "Absence #1: Ann, Tuesday 12 January 2027 to Monday 18 January 2027\n",
        "rotavel: note: the absence of 'Ann' from 2027-01-12 to 2027-01-18 counts its "
        "2 school days only\n",
    )
    plans = [
        run(capfd, "plan", folder, "--date", day, "-f", "csv")
        for day in ("2027-01-12", "2027-01-18")
    ]
    assert plans == [
        (0, HEADER + "Ann,7,maths,Cat,7A,,,\n", ""),
        (0, HEADER + "Ann,8,maths,Cat,7A,,,\n", ""),
    ]


@pytest.mark.parametrize(
    "toml, date, expected",
    [
        # The week window starts on the school week's first day.
        ('window = "week"\n', "2027-01-07", "2027-01-03"),
        ('window = "week"\n', "2027-01-03", "2027-01-03"),
        # The cycle window counts the school's own days, less closures.
        ('window = "cycle"\ncycle_days = 3\n', "2027-01-10", "2027-01-06"),
        (
            'window = "cycle"\ncycle_days = 3\n[closed]\nbreak = "2027-01-06 to 2027-01-07"\n',
            "2027-01-10",
            "2027-01-04",
        ),
    ],
)
def test_windows_count_the_schools_own_days(tmp_path, toml, date, expected):
    folder = half_day_school(tmp_path, HALF_NAMES["arabic, 2"], toml)
    with Desk.open(folder) as desk:
        start = desk.window_start(datetime.date.fromisoformat(date))
    assert start == datetime.date.fromisoformat(expected)


@pytest.mark.parametrize(
    "weekdays, expected",
    [
        ({6, 0, 1, 2, 3}, datetime.date(2027, 1, 3)),  # Sunday to Thursday: Sunday
        ({0, 1, 2, 3, 4, 5}, datetime.date(2027, 1, 4)),  # Monday to Saturday: Monday
        ({5, 6, 0, 1, 2}, datetime.date(2027, 1, 2)),  # Saturday to Wednesday
    ],
)
def test_the_school_week_starts_after_its_weekend(weekdays, expected):
    thursday = datetime.date(2027, 1, 7)
    calendar = Calendar(frozenset(weekdays))
    assert calendar.week_start(thursday) == expected
    assert window_start(Settings(window="week"), thursday, calendar=calendar) == expected


def test_a_sunday_to_thursday_weekly_cap_counts_from_sunday(tmp_path):
    # Whoever covers Ann on Sunday has reached the cap on Monday, but not on the Sunday after.
    days = ("Sunday", "Monday", "Tuesday", "Wednesday", "Thursday")
    rows = "".join(f"{d},Ann,1,7A\n{d},Bob,2,7B\n{d},Cat,3,7C\n" for d in days)
    folder = folder_of(tmp_path, "day,teacher,period,class\n" + rows, "cap_week = 1\n")
    next_sunday = SUNDAY + datetime.timedelta(7)
    with Desk.open(folder) as desk:
        desk.add_absence("Ann", SUNDAY, SUNDAY, None, "")
        (cover,) = [a.substitute for a in desk.publish(SUNDAY).absent_lessons]
        notes = [{t.name: t.note for t in desk.free(day)[1]} for day in (MONDAY, next_sunday)]
    other = ({"Bob", "Cat"} - {cover}).pop()
    assert notes == [
        {other: "", cover: "at a cap", "Dan": ""},
        {"Bob": "", "Cat": "", "Dan": ""},
    ]


MERGE_STAFF = "name,subject\nClara Vogel,music\nOle Berg,music\nPia Lund,music\n"
MERGE_TIMETABLE = (
    "teacher,period,class\n"
    "Clara Vogel,1,8B\nClara Vogel,4,8C\nClara Vogel,6,8D\nOle Berg,2,8A\nPia Lund,3,8A\n"
)
# Ole Berg, with one lesson, covers period 1; then Pia Lund, with one lesson
# to his two, covers period 4.
MERGED_PLAN = HEADER + "Clara Vogel,1,music,Ole Berg,8B,,,\nClara Vogel,4,music,Pia Lund,8C,,,\n"


def test_two_absences_of_one_teacher_add_up(tmp_path, capsys):
    folder = folder_of(tmp_path, MERGE_TIMETABLE, staff=MERGE_STAFF)
    options = ["--absent", "Clara Vogel@1", "--absent", "Clara Vogel@4", "-f", "csv"]
    assert run(capsys, str(folder), *options) == (0, MERGED_PLAN, "")


def test_the_desk_merges_two_absences_of_one_day(tmp_path, capfd):
    folder = folder_of(tmp_path, MERGE_TIMETABLE, staff=MERGE_STAFF)
    assert run(capfd, "absent", folder, "Clara Vogel@1", "Clara Vogel@4", "--date", MONDAY) == (
        0,
        "Absence #1: Clara Vogel, Monday 4 January 2027, periods 1, 4\n",
        "rotavel: note: the absence of 'Clara Vogel' is merged into absence #1\n",
    )
    assert run(capfd, "plan", folder, "--date", MONDAY, "-f", "csv") == (0, MERGED_PLAN, "")


@pytest.mark.parametrize(
    "recorded, entered, expected, note",
    [
        # Overlapping days of the same periods join.
        ((0, 2, None), (1, 4, None), [(1, 0, 4, None)], "merged into absence #1"),
        # The same days, other periods: the periods join.
        ((1, 1, {1}), (1, 1, {4}), [(1, 1, 1, "1,4")], "merged into absence #1"),
        # Within an absence of the whole day: nothing new.
        ((0, 4, None), (2, 2, {3}), [(1, 0, 4, None)], "merged into absence #1"),
        # A longer absence of the whole day takes in a part-day one.
        ((2, 2, {3}), (0, 4, None), [(1, 0, 4, None)], "merged into absence #1"),
        # Other periods over other days stay two absences, adding up where they meet.
        ((0, 1, {1}), (1, 2, {2}), [(1, 0, 1, "1"), (2, 1, 2, "2")], "overlaps #1"),
        # Days apart are two absences.
        ((0, 0, None), (2, 2, None), [(1, 0, 0, None), (2, 2, 2, None)], None),
    ],
)
def test_an_overlapping_absence_is_merged_into_the_recorded_one(
    tmp_path, recorded, entered, expected, note
):
    folder = folder_of(tmp_path, MERGE_TIMETABLE, staff=MERGE_STAFF)

    def days(first, last, periods):
        return (
            "Clara Vogel",
            MONDAY + datetime.timedelta(first),
            MONDAY + datetime.timedelta(last),
            None if periods is None else frozenset(periods),
            "",
        )

    with Desk.open(folder) as desk:
        desk.add_absences([days(*recorded)])
        _, notes = desk.enter_absences([days(*entered)])
        path = desk.path
    assert [note in n for n in notes] == ([True] if note else [])
    rows = sqlite3.connect(path).execute("SELECT id, first_day, last_day, periods FROM absence")

    def day(text):
        return (datetime.date.fromisoformat(text) - MONDAY).days

    assert sorted((n, day(first), day(last), p) for n, first, last, p in rows) == expected


def refused(tmp_path, kind):
    if kind == "cycle":
        return cycle_school(tmp_path)
    if kind == "no start":
        return cycle_school(tmp_path, "")
    return half_day_school(tmp_path, HALF_NAMES["arabic, 2"], '[closed]\ntraining = "2027-01-05"\n')


@pytest.mark.parametrize(
    "kind, argv, message",
    [
        (
            "half",
            ["absent", "{f}", "Ann", "--date", "2027-01-08"],
            "the absence of 'Ann' on 2027-01-08 is a Friday, not a school day; "
            f"the school days are {SUN_TO_THU}",
        ),
        (
            "half",
            ["absent", "{f}", "Ann", "--from", "2027-01-08", "--to", "2027-01-09"],
            "the absence of 'Ann' from 2027-01-08 to 2027-01-09 has no school day "
            f"(the school days are {SUN_TO_THU})",
        ),
        (
            "half",
            ["absent", "{f}", "Ann", "--date", "2027-01-05"],
            "the absence of 'Ann' on 2027-01-05: the school is closed (training, 2027-01-05)",
        ),
        (
            "half",
            ["absent", "{f}", "Ann@9-10", "--date", "2027-01-03"],
            "the absence of 'Ann': periods 9–10 outside the school day (periods 1 to 8)",
        ),
        (
            "half",
            ["{f}", "--day", "Sunday", "--absent", "Ann@0,9"],
            "--absent: periods 0, 9 outside the school day (periods 1 to 8)",
        ),
        (
            "half",
            ["{f}", "--date", "2027-01-05"],
            "--date 2027-01-05: the school is closed (training, 2027-01-05)",
        ),
        (
            "half",
            ["plan", "{f}", "--date", "2027-01-05"],
            "--date 2027-01-05: the school is closed (training, 2027-01-05)",
        ),
        (
            "cycle",
            ["plan", "{f}", "--day", "Day 3", "--publish"],
            "--day 'Day 3' is for looking: the record keeps a plan by date, so publish the "
            "date's own day (--date without --day)",
        ),
        (
            "no start",
            ["{f}", "--date", "2027-01-04"],
            "{tt}: the timetable's days (Day 1, Day 2, Day 3, Day 4, Day 5, Day 6, Day 7, "
            "Day 8, Day 9, Day 10) are not weekdays: choose one with --day, or give the date "
            "of its first day as cycle_start in rotavel.toml",
        ),
    ],
)
def test_each_refusal_is_one_line(tmp_path, capfd, kind, argv, message):
    folder = refused(tmp_path, kind)
    code, out, err = run(capfd, *(a.format(f=folder) for a in argv))
    expected = "rotavel: " + message.format(tt=folder / "timetable.csv") + "\n"
    assert (code, out, err) == (2, "", expected)
    assert not (folder / "rotavel.db").exists() or not Desk.open(folder).absences(
        datetime.date(2027, 1, 1), datetime.date(2027, 1, 31)
    )


def test_the_desk_looks_at_a_day_of_a_cycle_without_dates(tmp_path, capfd):
    folder = cycle_school(tmp_path, "")
    assert run(capfd, "absent", folder, "Ann", "--date", MONDAY)[0] == 0
    code, out, err = run(capfd, "plan", folder, "--date", MONDAY, "--day", "Day 3")
    assert (code, err) == (0, "")
    assert out.endswith("Not published: Day 3 on 2027-01-04, chosen with --day, is for looking.\n")
    assert run(capfd, "plan", folder, "--date", MONDAY, "--day", "day 3", "-f", "csv") == (
        0,
        HEADER + "Ann,3,maths,Cat,7A,,,\n",
        "",
    )


@pytest.mark.parametrize(
    "data, message",
    [
        ({"days": {"X": "Someday"}}, "[days] 'X' = 'Someday' is not a weekday such as \"Sunday\""),
        ({"closed": {"Break": "2027-02-10 to 2027-02-01"}}, "[closed] 'Break' ends (2027-02-01)"),
        ({"closed": {"Break": "soon"}}, "[closed] 'Break' 'soon' is not a date written YYYY-MM-DD"),
        ({"cycle_start": "Monday"}, "cycle_start 'Monday' is not a date written YYYY-MM-DD"),
        ({"school_days": ["Monday", "Caturday"]}, "school_days: 'Caturday' is not a weekday"),
    ],
)
def test_calendar_settings_refused(data, message):
    assert refusal(parse_settings, data, "rotavel.toml").startswith(f"rotavel.toml: {message}")


def test_a_cycle_on_its_own_school_days(tmp_path):
    toml = 'cycle_start = "2027-01-03"\nschool_days = ["Sunday", "Monday", "Tuesday", "Wednesday", "Thursday"]\n'
    folder = cycle_school(tmp_path, toml)
    days = [SUNDAY + datetime.timedelta(n) for n in (0, 4, 7)]  # Sunday, Thursday, next Sunday
    chosen = [load_school(folder, wanted=DayWanted(date=d)).day for d in days]
    assert chosen == ["Day 1", "Day 5", "Day 6"]


def test_the_web_shows_and_ends_an_absence_of_a_day_without_school(tmp_path):
    pytest.importorskip("flask")
    from support.web import log_in, make_site, token_of

    from rotavel_app.web.app import create_app

    site = make_site(tmp_path / "school")
    # Monday to Friday.
    days = ("Monday", "Tuesday", "Wednesday", "Thursday", "Friday")
    (site.folder / "timetable.csv").write_text(
        "day,teacher,period,class\n" + "".join(f"{d},Ann,1,9A\n" for d in days), encoding="utf-8"
    )
    saturday = datetime.date(2026, 12, 12)
    # Entered before the desk refused such days.
    with Desk.open(site.folder) as desk:
        path = desk.path
    with sqlite3.connect(path) as db:
        db.execute(
            "INSERT INTO absence (teacher, first_day, last_day, reason, entered_at) "
            "VALUES ('Ann', ?, ?, '', '2026-12-01')",
            (str(saturday), str(saturday)),
        )
    client = create_app(site).test_client()
    log_in(client)
    page = client.get(f"/today?date={saturday}").text
    assert "not a school day" in page and 'name="absence" value="1"' in page
    ended = {"date": str(saturday), "absence": "1", "last-1": str(saturday - datetime.timedelta(1))}
    answer = client.post("/absences/end", data={"csrf_token": token_of(page), **ended})
    assert answer.status_code == 303
    with Desk.open(site.folder) as desk:
        assert desk.absences(saturday, saturday) == []


@pytest.mark.parametrize(
    "listed, options, expected",
    [
        # The teacher list's absence of period 1 and an option's of period 4.
        (("no", "Course", "1"), ["Clara Vogel@4"], (frozenset({1, 4}), "Course")),
        (("no", "Course", "1"), ["Clara Vogel@4:Dentist"], (frozenset({1, 4}), "Dentist")),
        # The whole day wins, whichever says it.
        (("no", "Course", ""), ["Clara Vogel@4"], (None, "Course")),
        (("yes", "", ""), ["Clara Vogel@1:A", "Clara Vogel:B"], (None, "A; B")),
        (("yes", "", ""), ["Clara Vogel@1:A", "Clara Vogel@2-3:A"], (frozenset({1, 2, 3}), "A")),
    ],
)
def test_absences_of_one_teacher_add_up(tmp_path, listed, options, expected):
    from rotavel_app.school.day import apply_absences, parse_absence

    present, reason, periods = listed
    staff = (
        "name,subject,present,reason,periods\n"
        f"Clara Vogel,music,{present},{reason},{periods}\nOle Berg,music,yes,,\n"
        "Pia Lund,music,yes,,\n"
    )
    day = load_school(folder_of(tmp_path, MERGE_TIMETABLE, staff=staff))
    day = apply_absences(day, [parse_absence(text, "--absent", day.staff) for text in options])
    member = day.staff["Clara Vogel"]
    assert (member.present, member.away, member.reason) == (False, *expected)
