"""The outputs for people: day and date, slips, terminal safety, and sizes
that grow with the school rather than with its square."""

import dataclasses
import datetime
import sys
from html.parser import HTMLParser

import pytest
from school_maker import unplannable_school
from test_cli import run, school

from rotavel_cli import webpage
from rotavel_cli.plan import make_plan, module_report
from rotavel_cli.render import render_board, render_slips, render_table
from rotavel_cli.school_files import load_school
from rotavel_cli.terminal import escape_controls

# Period 1: Ann (away) teaches 9A and 9B together and Dan (away) teaches 9C;
# Cat and Bob are free. Period 2: only Bob is free for Dan's 9C.
TEACHERS = (
    "name,subject,present,reason\nAnn,maths,no,Sick\nDan,english,no,Course\n"
    "Zed,maths,yes,\nCat Rao,english,yes,\nBob,maths,yes,\n"
)
TIMETABLE = (
    "teacher,period,class\nAnn,1,9A\nAnn,1,9B\nDan,1,9C\nZed,1,9D\nDan,2,9C\nZed,2,9D\n"
    "Cat Rao,2,9A\n"
)


def day_of(tmp_path, **fields):
    return dataclasses.replace(load_school(school(tmp_path, TEACHERS, TIMETABLE)), **fields)


@pytest.mark.parametrize(
    "day, date, label",
    [
        (None, datetime.date(2026, 12, 8), "Tuesday 8 December 2026"),
        ("tuesday", datetime.date(2026, 12, 8), "Tuesday 8 December 2026"),
        ("Tues", datetime.date(2026, 12, 8), "Tuesday 8 December 2026"),
        ("Mon", datetime.date(2026, 12, 8), "Tuesday 8 December 2026 (Mon)"),
        ("Day 3", datetime.date(2027, 1, 4), "Monday 4 January 2027 (Day 3)"),
        ("Friday", None, "Friday"),
        (None, None, None),
    ],
)
def test_day_and_date_in_every_output(tmp_path, day, date, label):
    plan = make_plan(day_of(tmp_path, day=day, date=date))
    suffix = f", {label}" if label else ""
    assert render_table(plan).startswith(f"Cover plan: school{suffix}\nAbsent:\n")
    assert f"<title>Cover board: school{suffix}</title>" in render_board(plan)
    slips = render_slips(plan)
    assert f"<title>Cover slips: school{suffix}</title>" in slips
    assert slips.count(f'<p class="when">{label}</p>') == (2 if label else 0)


class Slips(HTMLParser):
    """Each slip's substitute and its rows of cells, as text."""

    def __init__(self):
        super().__init__()
        self.slips, self.cell = [], None

    def handle_starttag(self, tag, attrs):
        if tag == "h1":
            self.slips.append(["", []])
            self.cell = "name"
        elif tag == "tr" and self.slips:
            self.slips[-1][1].append([])
        elif tag == "td":
            self.slips[-1][1][-1].append("")
            self.cell = "td"

    def handle_endtag(self, tag):
        if tag in ("h1", "td"):
            self.cell = None

    def handle_data(self, data):
        if self.cell == "name":
            self.slips[-1][0] += data
        elif self.cell == "td":
            self.slips[-1][1][-1][-1] += data


def test_a_slip_for_each_substitute_in_name_order(tmp_path):
    parser = Slips()
    parser.feed(render_slips(make_plan(day_of(tmp_path))))
    assert parser.slips == [
        [
            "Bob",
            [[], ["1", "9A+9B", "Maths", "Ann", "Sick"], ["2", "9C", "English", "Dan", "Course"]],
        ],
        ["Cat Rao", [[], ["1", "9C", "English", "Dan", "Course"]]],
    ]


def test_slips_without_covers(tmp_path):
    plan = make_plan(
        dataclasses.replace(
            day_of(tmp_path),
            staff={
                name: dataclasses.replace(member, present=True)
                for name, member in day_of(tmp_path).staff.items()
            },
        )
    )
    assert "<article" not in render_slips(plan)
    assert '<p class="none">No covers for school.</p>' in render_slips(plan)


@pytest.mark.parametrize(
    "text, line_feeds, shown",
    [
        ("\x1b]0;owned\x07Ann", False, "\\x1b]0;owned\\x07Ann"),
        ("\x1b[2J\x9b", False, "\\x1b[2J\\x9b"),
        ("Ann\u202eoaR", False, "Ann\\u202eoaR"),
        ("\u2066x\u2069\u200b\ufeff\U000e0041", False, "\\u2066x\\u2069\\u200b\\ufeff\\U000e0041"),
        ("a\nb\r\tc", False, "a\\nb\\r\\tc"),
        ("a\nb\r\n", True, "a\nb\\r\n"),
        ("Zoë 李 Ávila\u00a0Rao \\x", False, "Zoë 李 Ávila\u00a0Rao \\x"),
        ("bad\udcff", False, "bad\\udcff"),
    ],
)
def test_escape_controls(text, line_feeds, shown):
    assert escape_controls(text, keep_line_feeds=line_feeds) == shown


@pytest.mark.parametrize(
    "text, shown",
    [
        ("\x1b]0;owned\x07<b>", "\\x1b]0;owned\\x07&lt;b&gt;"),
        ("Ann\u202eoaR \u2066x\u2069\u200f", "Ann\\u202eoaR \\u2066x\\u2069\\u200f"),
        # Joiners spell Indic names; a page shows them as they are.
        (
            "\u0915\u094d\u200d\u0937 \u0930\u094d\u200c\u092f",
            "\u0915\u094d\u200d\u0937 \u0930\u094d\u200c\u092f",
        ),
    ],
)
def test_pages_escape_controls_and_overrides_but_keep_joiners(text, shown):
    assert webpage.h(text) == shown


HOSTILE_TEACHERS = (
    'name,subject,present,reason\n"Ann\x1b]0;owned\x07",maths,no,"\u202eevil"\nBob,maths,yes,\n'
)
HOSTILE_TIMETABLE = 'teacher,period,class\n"Ann\x1b]0;owned\x07",1,9A\nBob,2,9B\n'


@pytest.mark.parametrize("form", ["report", "csv", "table", "html", "slips"])
@pytest.mark.parametrize("tty", [True, False])
def test_terminal_sees_escapes_and_pipes_see_bytes(tmp_path, capsys, monkeypatch, form, tty):
    folder = school(tmp_path, HOSTILE_TEACHERS, HOSTILE_TIMETABLE)
    monkeypatch.setattr(sys.stdout, "isatty", lambda: tty)
    code, out, err = run(capsys, str(folder), "-f", form)
    assert (code, err) == (0, "")
    raw = "\x1b" in out or "\u202e" in out
    # Cells of the table and the pages escape them always; the module's
    # report and the CSV keep them exact unless a terminal shows them.
    assert raw == (not tty and form in ("report", "csv"))
    assert ("\\x1b]0;owned\\x07" in out) == (not raw)
    if tty:
        assert "\n" in out and "\\n" not in out.replace("\\\\n", "")


def test_long_lists_are_cut_and_said_once_per_subject_and_period(tmp_path):
    plan = make_plan(load_school(unplannable_school(tmp_path / "s", teachers=40)))
    table = render_table(plan)
    # Two subjects and six periods: twelve explanations for 120 uncovered lessons.
    assert len(plan.uncovered) == 120
    assert table.count("\nNot covered in period ") == 12
    assert table.count("\n    and 12 more\n") == 12  # 20 teachers a subject, 8 shown
    assert (
        """
Not covered in period 1, Maths: C1 (Teacher 00001), C5 (Teacher 00005), C9 (Teacher 00009), \
C13 (Teacher 00013), C17 (Teacher 00017), C21 (Teacher 00021), C25 (Teacher 00025), \
C29 (Teacher 00029) and 2 more
  Maths teachers in period 1:
    Teacher 00000  teaching C0
    Teacher 00001  absent (Ill)
    Teacher 00004  teaching C4
    Teacher 00005  absent (Ill)
    Teacher 00008  teaching C8
    Teacher 00009  absent (Ill)
    Teacher 00012  teaching C12
    Teacher 00013  absent (Ill)
    and 12 more
  No teacher of any subject was free: all 20 present teachers were teaching or covering in period 1.
"""
        in table
    )


def test_sizes_grow_linearly(tmp_path):
    """When nothing can be covered, each explanation must not list the whole
    staff: three times the teachers give about three times the text."""
    sizes = {}
    for teachers in (300, 900):
        day = load_school(unplannable_school(tmp_path / str(teachers), teachers))
        plan = make_plan(day)
        report = len(module_report(day).encode())
        sizes[teachers] = [len(render(plan).encode()) for render in (render_table, render_board)]
        assert all(size <= 15 * report for size in sizes[teachers])
    assert all(
        3 * small * 0.9 <= big <= 3 * small * 1.1 for small, big in zip(sizes[300], sizes[900])
    )


@pytest.mark.parametrize(
    "form, title",
    [
        ("slips", "<title>Cover slips: sample school, Tuesday 8 December 2026</title>"),
        ("html", "<title>Cover board: sample school, Tuesday 8 December 2026</title>"),
        ("table", "Cover plan: sample school, Tuesday 8 December 2026\n"),
    ],
)
def test_date_option_names_the_day(capsys, form, title):
    code, out, err = run(capsys, "-f", form, "--date", "2026-12-08")
    assert (code, err) == (0, "") and title in out
