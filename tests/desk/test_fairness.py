"""Fair shares at the cover desk: fewest covers first, the subject kept within
a margin, part-timers pro rata, a window that spans weeks, each cover's
reason, and lists that ask in the plan's own order."""

import datetime
import os
import re
import tempfile
from dataclasses import replace
from fractions import Fraction
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from support.command import run
from support.desk import FAIR
from support.schools import shorthand_school

from rotavel_app.desk.desk import Desk, DeskError, FreeTeacher
from rotavel_app.pages.formats import render_board, render_slips
from rotavel_app.planning.plan import PLANNED, Rules, make_plan
from rotavel_app.school.day import DayWanted
from rotavel_app.school.folder import load_school

MON = datetime.date(2026, 3, 9)
WEEK = [MON + datetime.timedelta(n) for n in range(5)]
LAST_FRI = MON - datetime.timedelta(3)
TIMING = re.compile(r"Time taken to generate subs: [^\"\n]*")


def covers(plan):
    return [(a.lesson.period, a.substitute, a.why) for a in plan.absent_lessons]


def day_without(folder, *away):
    """The school's Monday with `away` absent all day, as the command plans it."""
    day = load_school(folder, wanted=DayWanted(date=MON))
    return replace(day, staff={n: replace(m, present=n not in away) for n, m in day.staff.items()})


# Ann (the only music teacher) is away all week. In periods 1 and 2 everyone
# else is free; Fay teaches one lesson, the others two.
LIGHT = (
    ["Ann:music", "Bob:maths", "Cat:english", "Dan:physics", "Fay:history"],
    ["Ann 1 9A", "Ann 2 9B", "Bob 3 9C", "Bob 4 9D", "Cat 3 9E", "Cat 4 9F"]
    + ["Dan 3 9G", "Dan 4 9H", "Fay 4 9I"],
)


def test_a_light_day_teacher_no_longer_takes_every_lesson_outside_the_subject(tmp_path):
    folder = shorthand_school(tmp_path / "s", *LIGHT)
    # The command's own rule: the least loaded of any subject, every time.
    plan = make_plan(day_without(folder, "Ann"))
    assert [a.substitute for a in plan.absent_lessons] == ["Fay", "Fay"]
    with Desk.open(folder) as desk:
        desk.add_absence("Ann", WEEK[0], WEEK[-1], None, "Course")
        week = [[a.substitute for a in desk.publish(d).absent_lessons] for d in WEEK]
    # Fewest covers first, load among equals: two covers each, Fay and Bob a third.
    assert week == [["Fay", "Bob"], ["Cat", "Dan"]] * 2 + [["Fay", "Bob"]]


# Ann (maths) is away in period 1; Bob (maths) and Eve (English) are free then.
MARGIN = (["Ann:maths", "Bob:maths", "Eve:english"], ["Ann 1 9A", "Bob 2 9B", "Eve 3 9C"])


ONLY = "{} covers in the window: the only free maths teacher"
WITHIN = "no {} teacher within {} covers of the fewest: fewest covers of {} free ({} covers in the window)"


@pytest.mark.parametrize(
    "bob, eve, margin, expected",
    [
        # Two ahead of Eve: within the margin, Bob keeps the lesson.
        (2, 0, 2, ("Bob", "maths, " + ONLY.format(2))),
        # Three ahead: the least-covered free teacher takes it.
        (3, 0, 2, ("Eve", WITHIN.format("maths", 2, 2, 0))),
        (4, 2, 2, ("Bob", "maths, " + ONLY.format(4))),
        # A margin of 0: the subject only among equals.
        (1, 0, 0, ("Eve", WITHIN.format("maths", 0, 2, 0))),
        (1, 1, 0, ("Bob", "maths, 1 cover in the window: the only free maths teacher")),
    ],
)
def test_the_subject_is_kept_within_the_margin(tmp_path, bob, eve, margin, expected):
    rules = Rules(covers_in_window={"Bob": bob, "Eve": eve}, margin=margin)
    plan = make_plan(day_without(shorthand_school(tmp_path / "s", *MARGIN), "Ann"), rules)
    assert covers(plan) == [(1, *expected)]


def test_a_cover_that_moves_the_margin_cuts_the_run(tmp_path):
    # Period 1: Mia (music) and Ann (maths) away. Bob (maths) has 3 covers, Eve
    # none, Fay one. For Mia's lesson Eve, the fewest; then the fewest free
    # is Fay's one, and Bob is within 2 of it: Ann's lesson is maths again.
    folder = shorthand_school(
        tmp_path / "s",
        ["Mia:music", "Ann:maths", "Bob:maths", "Eve:english", "Fay:english"],
        ["Mia 1 9A", "Ann 1 9B", "Bob 2 9C", "Eve 2 9D", "Fay 2 9E"],
    )
    plan = make_plan(
        day_without(folder, "Mia", "Ann"), Rules(covers_in_window={"Bob": 3, "Fay": 1}, margin=2)
    )
    assert covers(plan) == [
        (1, "Eve", "no music teacher free: fewest covers of 3 free (0 covers in the window)"),
        (1, "Bob", "maths, 3 covers in the window: the only free maths teacher"),
    ]
    assert len(plan.rounds) == 2  # the first run cut after Mia's lesson
    for round_ in plan.rounds:
        again = round_.school.build().generate_substitutions()
        assert TIMING.sub("", again) == TIMING.sub("", round_.text)


# docs/desk.md's worked example: Ann (Maths) away in period 2.
WORKED = (
    ["Ann:Maths", "Bob:Maths", "Cat:Maths", "Dan:English", "Eve:Music"],
    ["Ann 2 9A", "Bob 1 9B", "Bob 3 9C", "Cat 1 9D", "Dan 1 9E", "Dan 3 9F", "Dan 4 9G"]
    + ["Eve 4 9H"],
)


@pytest.mark.parametrize(
    "margin, dan, expected",
    [
        (2, 0, ("Dan", WITHIN.format("Maths", 2, 4, 0))),
        (3, 0, ("Bob", "Maths, 3 covers in the window: fewest of 2 free Maths teachers")),
    ],
)
def test_the_worked_example_of_the_guide(tmp_path, margin, dan, expected):
    day = day_without(shorthand_school(tmp_path / "s", *WORKED), "Ann")
    rules = Rules(
        covers_in_window={"Bob": 3, "Cat": 4, "Dan": dan, "Eve": 1},
        margin=margin,
        days_in={"Eve": Fraction(3, 5)},
    )
    assert covers(make_plan(day, rules)) == [(2, *expected)]


def _published_covers(desk, teacher, days):
    """`teacher` covers one of Ann's lessons on each of `days`, by hand."""
    for day in days:
        desk.add_absence("Ann", day, day, None, "")
        desk.assign(day, "Ann", 1, teacher)
        desk.publish(day)


def test_the_margin_through_the_desk_and_its_setting(tmp_path, capfd):
    earlier = [MON - datetime.timedelta(n) for n in (7, 6, 5)]  # Mon, Tue, Wed of the week before
    folder = shorthand_school(tmp_path / "s", *MARGIN)
    with Desk.open(folder) as desk:
        _published_covers(desk, "Bob", earlier)
        desk.add_absence("Ann", MON, MON, None, "")
        assert [a.substitute for a in desk.plan(MON).absent_lessons] == ["Eve"]
    (folder / "rotavel.toml").write_text("margin = 3\n", encoding="utf-8")
    with Desk.open(folder) as desk:
        assert [a.substitute for a in desk.plan(MON).absent_lessons] == ["Bob"]
    (folder / "rotavel.toml").write_text("margin = -1\n", encoding="utf-8")
    code, _, err = run(capfd, "plan", folder, "--date", MON)
    assert (code, err) == (2, f"rotavel: {folder / 'rotavel.toml'}: margin must not be negative\n")


# Pat comes in Monday, Wednesday and Friday: a fair share of three fifths.
PART = (
    ["Ann:maths", "Bob:maths", "Pat:maths"],
    ["Ann 1 9A", "Bob 2 9B", "Pat 2 9C"],
)


@pytest.mark.parametrize(
    "pat, bob, expected",
    [
        # 2 covers in 3 days of 5 weigh as 3⅓ against Bob's 3: Bob takes it.
        (2, 3, "Bob"),
        # 3 in 3 days of 5 (5) against Bob's 5: equal, the list's order decides.
        (3, 5, "Bob"),
    ],
)
def test_a_part_timers_share_is_pro_rata(tmp_path, pat, bob, expected):
    folder = shorthand_school(tmp_path / "s", *PART, days={"Pat": "Mon;Wed;Fri"})
    # Earlier covers, given by hand on earlier Mondays, Wednesdays and Fridays.
    days = [MON - datetime.timedelta(n) for n in (3, 5, 7, 10, 12, 14, 17, 19)]
    with Desk.open(folder) as desk:
        for teacher, given in (("Pat", days[:pat]), ("Bob", days[pat : pat + bob])):
            for day in given:
                desk.add_absence("Ann", day, day, None, "")
                desk.assign(day, "Ann", 1, teacher)
        for day in days:
            desk.publish(day)
        desk.add_absence("Ann", MON, MON, None, "")
        plan = desk.plan(MON)
        assert [a.substitute for a in plan.absent_lessons] == [expected]
        why = desk.why(MON, "Pat", plan)
    assert (why.covers_in_window, why.days_in) == (pat, Fraction(3, 5))
    # The window's covers shared among 3 full weeks' worth of staff, Pat's 3/5 of one.
    assert why.fair_share == Fraction(pat + bob) * Fraction(3, 5) / Fraction(13, 5)


def test_days_in_school_from_the_list_or_the_timetable(tmp_path):
    folder = shorthand_school(tmp_path / "s", *PART, days={"Pat": "Monday;wed;Fri"})
    with open(folder / "timetable.csv", "a", encoding="utf-8") as rows:
        rows.write("Tom,Mon,3,9D\nTom,Tue,3,9D\nTom,Tue,4,9E\n")  # in two days of five
    with open(folder / "teacher_list.csv", "a", encoding="utf-8") as rows:
        rows.write("Tom,maths,\nHead,maths,\n")  # the head teaches nothing: in every day
    with Desk.open(folder) as desk:
        assert desk.rules(MON).days_in == {"Pat": Fraction(3, 5), "Tom": Fraction(2, 5)}
    # Without a record (none at this path yet): the command's rule.
    with Desk.open(folder, tmp_path / "none.db", create=False) as desk:
        assert desk.rules(MON).days_in == {}


TERM = 'window = "term"\nterm_start = "2026-03-02"\n'


@pytest.mark.parametrize(
    "toml, mornings, expected",
    [
        # The default window (the last 20 school days) runs over the weekend:
        # Monday remembers Friday's cover. Equal counts: the list's order.
        ("", [LAST_FRI, MON], ["Bob", "Cat"]),
        # Twenty school days back from Monday 30 March is Tuesday 3 March.
        ("", [MON - datetime.timedelta(6), MON + datetime.timedelta(21)], ["Bob", "Cat"]),
        ("", [MON - datetime.timedelta(7), MON + datetime.timedelta(21)], ["Bob", "Bob"]),
        # The term counts across weeks.
        (TERM, [LAST_FRI, MON, WEEK[1]], ["Bob", "Cat", "Bob"]),
    ],
)
def test_mornings_spread_covers_to_those_with_fewer(tmp_path, toml, mornings, expected):
    folder = shorthand_school(tmp_path / "s", *FAIR, toml=toml)
    got = []
    with Desk.open(folder) as desk:
        for day in mornings:
            desk.add_absence("Ann", day, day, None, "")
            (cover,) = desk.publish(day).absent_lessons
            assert (cover.lesson.period, cover.how) == (1, PLANNED)
            got.append(cover.substitute)
    assert got == expected


# Ann (maths) is away all day. Periods 1-3: Bob and Cat (maths) teach in
# period 1, Dan and Eve (English) are free in 1-2, Hal (head, maths) teaches
# nothing and is the school's last resort.
WHY = (
    ["Ann:maths", "Bob:maths", "Cat:maths", "Dan:english", "Eve:english", "Hal:maths"],
    ["Ann 1 9A", "Ann 2 9B", "Ann 3 9C", "Bob 1 9D", "Cat 1 9E", "Dan 3 9F", "Eve 3 9G"],
)


def test_each_cover_carries_its_reason_and_public_pages_leave_them_out(tmp_path, capfd):
    folder = shorthand_school(tmp_path / "s", *WHY)
    with Desk.open(folder) as desk:
        desk.set_staff_rule("Hal", last_resort=True)
        desk.add_absence("Ann", MON, MON, None, "Ill")
        desk.assign(MON, "Ann", 3, "Bob")
        plan = desk.plan(MON)
    none_free = "no maths teacher free: fewest covers of 2 free (0 covers in the window)"
    assert covers(plan) == [
        (1, "Dan", none_free),
        (2, "Cat", "maths, 0 covers in the window: fewest of 2 free maths teachers"),
        (3, "Bob", "by hand, kept"),
    ]
    code, out, _ = run(capfd, "plan", folder, "--date", MON)
    assert code == 0
    assert (
        "Why each substitute:\n"
        f"  Period 1, 9A (Ann): Dan: {none_free}\n"
        "  Period 2, 9B (Ann): Cat: maths, 0 covers in the window: fewest of 2 free maths teachers\n"
        "  Period 3, 9C (Ann): Bob: by hand, kept\n"
    ) in out
    for page in (render_board(plan), render_slips(plan)):
        assert "covers in the window" not in page and "kept" not in page
    # The last resort, once nobody else is free.
    with Desk.open(folder) as desk:
        for name in ("Bob", "Cat"):
            desk.set_staff_rule(name, never=True)
        desk.add_absence("Ann", WEEK[1], WEEK[1], None, "Ill")
        last = "last resort, nobody else free: maths, " + ONLY.format(0)
        plan = desk.plan(WEEK[1])
    assert covers(plan) == [(1, "Dan", none_free), (2, "Eve", none_free), (3, "Hal", last)]


def test_why_me_at_the_command(tmp_path, capfd):
    folder = shorthand_school(tmp_path / "s", *WHY, toml="cap_day = 2\n")
    with Desk.open(folder) as desk:
        desk.set_staff_rule("Hal", never=True)
        # Friday: Dan takes period 1, Bob period 2, Cat period 3.
        desk.add_absence("Ann", LAST_FRI, LAST_FRI, None, "")
        desk.publish(LAST_FRI)
        desk.add_absence("Ann", MON, MON, None, "")
        desk.set_staff_rule("Cat", days=frozenset({1}))
    code, out, _ = run(capfd, "why", folder, "Bob", "--date", MON)
    assert (code, out) == (
        0,
        "Why Bob? s, Monday 9 March 2026\n\n"
        "Covers in the window (from Tuesday 10 February 2026): 1; fair share 0.5.\n"
        "Caps: 0 covers left today.\n\n"
        "Covers on Monday 9 March 2026:\n"
        "  Period 2, 9B for Ann: maths, 1 cover in the window: the only free maths teacher\n"
        "  Period 3, 9C for Ann: maths, 2 covers in the window: the only free maths teacher\n\n"
        "Earlier in the window:\n"
        "  2026-03-06, period 2, 9B for Ann (planned)\n",
    )
    code, out, _ = run(capfd, "why", folder, "Cat", "--date", MON)
    assert "Caps: 2 covers left today; does not cover on Mondays.\n" in out
    code, out, _ = run(capfd, "why", folder, "Hal", "--date", MON)
    assert "Caps: 2 covers left today; never covers.\n" in out
    code, _, err = run(capfd, "why", folder, "Zed", "--date", MON)
    assert code == 2 and err.startswith("rotavel: unknown teacher 'Zed'")


def test_free_lists_ask_in_the_plans_order_with_true_labels(tmp_path, capfd):
    folder = shorthand_school(tmp_path / "s", *WHY)
    with Desk.open(folder) as desk:
        desk.add_absence("Ann", WEEK[4], WEEK[4], None, "")
        desk.set_staff_rule("Hal", days=frozenset({0, 2}))  # Mondays and Wednesdays
        desk.set_staff_rule("Eve", never=True)
        free = desk.free(WEEK[4])
        lesson = desk.suggestions(WEEK[4], "Ann", 2)
    # Dan takes period 1, Bob period 2, Cat period 3. Left free in period 2:
    # Cat and Dan (a cover each, the same load: the list's order), then the flagged.
    assert free[2] == [
        FreeTeacher("Cat", "maths", 1, 0, 2, ""),
        FreeTeacher("Dan", "english", 1, 0, 2, ""),
        FreeTeacher("Hal", "maths", 0, 0, 0, "not on Fridays", asked=False),
        FreeTeacher("Eve", "english", 0, 0, 1, "never covers", asked=False),
    ]
    # Ann's period 2 opened again: Bob (no cover then) and Cat first, as maths.
    assert lesson == [
        FreeTeacher("Bob", "maths", 0, 0, 1, "", True),
        FreeTeacher("Cat", "maths", 1, 0, 2, "", True),
        FreeTeacher("Dan", "english", 1, 0, 2, ""),
        FreeTeacher("Hal", "maths", 0, 0, 0, "not on Fridays", asked=False),
        FreeTeacher("Eve", "english", 0, 0, 1, "never covers", asked=False),
    ]
    code, out, _ = run(capfd, "free", folder, "--date", WEEK[4], "--lesson", "Ann@2")
    assert (code, out.split("\n", 3)[3]) == (
        0,
        "\n"
        "Period  Teacher  Subject  Today  Window  Load  Note\n"
        "------  -------  -------  -----  ------  ----  --------------\n"
        "     2  Bob      maths        0       0     1  asked first\n"
        "     2  Cat      maths        1       0     2  asked first\n"
        "     2  Dan      english      1       0     2\n"
        "     2  Hal      maths        0       0     0  not on Fridays\n"
        "     2  Eve      english      0       0     1  never covers\n",
    )


# -- random schools ---------------------------------------------------------------

NAMES = ["Ann", "Bob", "Cat", "Dan", "Eve", "Fay"]


@st.composite
def schools(draw):
    count = draw(st.integers(3, len(NAMES)))
    staff = [f"{n}:{draw(st.sampled_from(['maths', 'english', 'music']))}" for n in NAMES[:count]]
    lessons = [
        f"{name} {period} {draw(st.sampled_from(['9A', '9B', '9C']))}"
        for name in NAMES[:count]
        for period in range(1, 5)
        if draw(st.booleans())
    ]
    return staff, draw(st.permutations(lessons))


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.data())
def test_the_first_offer_is_the_plans_choice_in_every_period(data):
    staff, lessons = data.draw(schools())
    names = [s.split(":")[0] for s in staff]
    margin = data.draw(st.integers(0, 3))
    memory = "/dev/shm" if os.path.isdir("/dev/shm") else None
    with tempfile.TemporaryDirectory(dir=memory) as temporary:
        folder = shorthand_school(Path(temporary) / "s", staff, lessons, f"margin = {margin}\n")
        with Desk.open(folder) as desk:
            # A history: covers by hand on earlier days, and a flag or two.
            for day in WEEK[:4]:
                given_to = data.draw(st.lists(st.sampled_from(names), max_size=3))
                absent = data.draw(st.sampled_from(names))
                desk.add_absence(absent, day, day, None, "")
                plan = desk.publish(day)
                for item, teacher in zip(plan.absent_lessons, given_to):
                    try:
                        desk.assign(day, item.lesson.teacher, item.lesson.period, teacher)
                    except DeskError:
                        pass  # busy then: the plan's cover stands
                desk.publish(day)
            flags = st.sampled_from([{"never": True}, {"last_resort": True}, {"cap_day": 0}])
            for name in data.draw(st.lists(st.sampled_from(names), max_size=2)):
                desk.set_staff_rule(name, **data.draw(flags))
            # One teacher away in one period at a time: the plan's choice for
            # that lesson is the first free teacher its Assign box offers.
            for lesson in load_school(folder, wanted=DayWanted(date=WEEK[4])).lessons:
                for absence in desk.absences_on(WEEK[4]):
                    desk.cancel_absence(absence.id)
                desk.add_absence(lesson.teacher, WEEK[4], WEEK[4], frozenset({lesson.period}), "")
                plan = desk.plan(WEEK[4])
                (item,) = plan.absent_lessons
                offered = desk.suggestions(WEEK[4], lesson.teacher, lesson.period, plan)
                askable = [f.name for f in offered if f.note in ("", "last resort")]
                assert item.substitute == (askable[0] if askable else None)


# -- the web desk ----------------------------------------------------------------


@pytest.fixture
def web(tmp_path):
    pytest.importorskip("flask", reason="the serve extra is missing")
    from support import web

    from rotavel_app.web.app import create_app

    site = web.make_site(tmp_path / "school")
    client = create_app(site).test_client()
    assert web.log_in(client).status_code == 303
    return site, client, web


def test_the_web_desk_gives_reasons_and_offers_in_the_plans_order(web):
    site, client, serve = web
    with Desk.open(site.folder) as desk:
        desk.add_absence("Ann", serve.DATE, serve.DATE, None, "Sick")
        desk.set_staff_rule("Dan", never=True)
        plan = desk.plan(serve.DATE)
    today = client.get("/today").text
    # Each cover with the substitute's covers in the window and its reason.
    cells = re.findall(r'<td class="cover" data-label="Cover">(.*?)</td>', today, re.S)
    assert len(cells) == len(plan.absent_lessons) and plan.covers
    for item in plan.covers:
        assert any(
            f"<strong>{item.substitute}</strong>" in cell
            and "0 covers in 20 school days" in cell
            and f'<span class="why">{item.why}</span>' in cell
            for cell in cells
        )
    key = serve.lesson("Ann", 1)["lesson"]
    page = client.get(f"/today/lesson?date={serve.DATE}&lesson={key}").text
    # Period 1: Bob, Cat and Eve teach; Fay is asked, Dan never is.
    rows = re.findall(r"<tr>\s*<th scope=\"row\">(\w+)</th>(.*?)</tr>", page, re.S)
    assert [name for name, _ in rows] == ["Fay", "Dan"]
    assert client.get(f"/today/why?date={serve.DATE}&name=Nobody").status_code == 400


def test_the_board_keeps_a_class_code_whole(tmp_path):
    folder = shorthand_school(
        tmp_path / "s", ["Ann:maths", "Bob:maths"], ["Ann 1 2PC-01", "Bob 2 9B"]
    )
    with Desk.open(folder) as desk:
        desk.add_absence("Ann", MON, MON, None, "")
        page = render_board(desk.plan(MON))
    assert '<span class="piece">2PC-01</span>' in page
