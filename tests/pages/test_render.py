"""The outputs for people: day and date, slips, terminal safety, and sizes
that grow with the school rather than with its square."""

import datetime
import subprocess
import sys
from dataclasses import replace
from html.parser import HTMLParser
from pathlib import Path

import pytest
from support.command import run
from support.schools import small_school, unplannable_school

from rotavel_app.messages import InputError
from rotavel_app.pages import layout, webpage
from rotavel_app.pages.formats import render_board, render_slips, render_table
from rotavel_app.pages.terminal import escape_controls
from rotavel_app.planning.plan import Rules, make_plan, module_report
from rotavel_app.school.folder import load_school
from rotavel_app.school.settings import parse_settings

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


def day_of(tmp_path, timetable=TIMETABLE, teachers=TEACHERS, **settings):
    day = load_school(small_school(tmp_path, teachers, timetable))
    return replace(day, settings=replace(day.settings, **settings))


DAYS = [
    (None, datetime.date(2026, 12, 8), "Tuesday 8 December 2026"),
    ("Tues", datetime.date(2026, 12, 8), "Tuesday 8 December 2026"),
    ("Mon", datetime.date(2026, 12, 8), "Tuesday 8 December 2026 (Mon)"),
    ("Friday", None, "Friday"),
    (None, None, None),
]


# The label is made once: each of its cases on the table, each page with and without one.
@pytest.mark.parametrize(
    "day, date, label, form",
    [(*row, "table") for row in DAYS]
    + [(*row, form) for row in (DAYS[2], DAYS[4]) for form in ("board", "slips")],
)
def test_day_and_date_in_every_output(tmp_path, day, date, label, form):
    plan = make_plan(replace(day_of(tmp_path), day=day, date=date))
    suffix = f", {label}" if label else ""
    if form == "table":
        assert render_table(plan).startswith(f"Cover plan: school{suffix}\nOut today:\n")
    elif form == "board":
        board = page(render_board(plan))
        assert [text(t) for t in board.find("title")] == [f"Cover board: school{suffix}"]
        assert [text(t) for t in board.find("h1")] == [f"Cover board: school{suffix}"]
    else:
        slips = page(render_slips(plan))
        assert [text(t) for t in slips.find("title")] == [f"Cover slips: school{suffix}"]
        # Every slip is cut out and handed over on its own, so each says the day.
        assert [text(t) for t in slips.find("p", "when")] == ([label] * 2 if label else [])


class Node:
    """An element of a page: its tag, attributes and children (nodes and text)."""

    def __init__(self, tag, attrs):
        self.tag, self.attrs, self.children = tag, dict(attrs), []

    @property
    def classes(self):
        return (self.attrs.get("class") or "").split()

    def find(self, tag, cls=None):
        """Every element below this one with the tag (and class), in page order."""
        found = []
        for child in self.children:
            if isinstance(child, Node):
                if child.tag == tag and (cls is None or cls in child.classes):
                    found.append(child)
                found += child.find(tag, cls)
        return found


def text(node):
    """The text of a node as a reader sees it, blanks run together."""
    return " ".join(raw_text(node).split())


def raw_text(node):
    return "".join(child if isinstance(child, str) else raw_text(child) for child in node.children)


_VOID = {"meta", "wbr", "br", "img", "link", "input"}


def page(html):
    """A page as a tree of Nodes (the pages close every element they open)."""

    class Builder(HTMLParser):
        def __init__(self):
            super().__init__(convert_charrefs=True)
            self.stack = [Node("document", {})]

        def handle_starttag(self, tag, attrs):
            node = Node(tag, attrs)
            self.stack[-1].children.append(node)
            if tag not in _VOID:
                self.stack.append(node)

        def handle_endtag(self, tag):
            if tag not in _VOID:
                assert self.stack.pop().tag == tag, f"</{tag}> closes another element"

        def handle_data(self, data):
            self.stack[-1].children.append(data)

    builder = Builder()
    builder.feed(html)
    builder.close()
    assert len(builder.stack) == 1, "an element is not closed"
    return builder.stack[0]


def slips_of(html):
    """Each slip's substitute, with its column headings and rows of cells, as text."""
    return [
        [
            text(slip.find("h2")[0]),
            [text(th) for th in slip.find("th")],
            [[text(td) for td in row.find("td")] for row in slip.find("tbody")[0].find("tr")],
        ]
        for slip in page(html).find("article", "slip")
    ]


@pytest.mark.parametrize("show", [False, True])
def test_a_slip_for_each_substitute_in_name_order(tmp_path, show):
    day = day_of(tmp_path, show_reasons=show)  # reasons are private unless the school says
    head = ["Period", "Class", "Subject", "Whose lesson"] + ["Reason"] * show
    assert slips_of(render_slips(make_plan(day))) == [
        [
            "Bob",
            head,
            [
                ["1", "9A+9B", "maths", "Ann"] + ["Sick"] * show,
                ["2", "9C", "english", "Dan"] + ["Course"] * show,
            ],
        ],
        ["Cat Rao", head, [["1", "9C", "english", "Dan"] + ["Course"] * show]],
    ]


def test_slips_give_room_and_time_when_the_school_has_them(tmp_path):
    """Zed (maths, free all day) takes Ann's combined lesson in Lab 2; Cat
    Rao, the one English teacher in, both of Dan's, whose room nobody gave.
    Period 1 has a clock time, period 2 none."""
    timetable = "teacher,period,class,room\nAnn,1,9A,Lab 2\nAnn,1,9B,Lab 2\nDan,1,9C,\nDan,2,9C,\n"
    day = day_of(tmp_path, timetable, times={1: "08:30\u201309:20"})
    assert slips_of(render_slips(make_plan(day))) == [
        [
            "Cat Rao",
            ["Period", "Time", "Class", "Subject", "Whose lesson"],
            [["1", "08:30\u201309:20", "9C", "english", "Dan"], ["2", "", "9C", "english", "Dan"]],
        ],
        [
            "Zed",
            ["Period", "Time", "Class", "Room", "Subject", "Whose lesson"],
            [["1", "08:30\u201309:20", "9A+9B", "Lab 2", "maths", "Ann"]],
        ],
    ]


def test_slips_without_covers(tmp_path):
    day = day_of(tmp_path)
    everyone_in = {name: replace(member, present=True) for name, member in day.staff.items()}
    slips = render_slips(make_plan(replace(day, staff=everyone_in)))
    assert "<article" not in slips and '<p class="none">No covers for school.</p>' in slips


# Each unsafe character on its own: test_reliability.py's test_one_definition_of_unsafe_text.
@pytest.mark.parametrize(
    "text, line_feeds, shown",
    [
        ("\u2066x\u2069\u200b\ufeff\U000e0041", False, "\\u2066x\\u2069\\u200b\\ufeff\\U000e0041"),
        ("a\nb\r\tc", False, "a\\nb\\r\\tc"),
        ("a\nb\r\n", True, "a\nb\\r\n"),
        ("Zoë 李 Ávila\u00a0Rao \\x", False, "Zoë 李 Ávila\u00a0Rao \\x"),
    ],
)
def test_escape_controls(text, line_feeds, shown):
    assert escape_controls(text, keep_line_feeds=line_feeds) == shown


HOSTILE_TEACHERS = (
    'name,subject,present,reason\n"Ann\x1b]0;owned\x07",maths,no,"\u202eevil"\nBob,maths,yes,\n'
)
HOSTILE_TIMETABLE = 'teacher,period,class\n"Ann\x1b]0;owned\x07",1,9A\nBob,2,9B\n'


@pytest.mark.parametrize("form", ["report", "csv", "table", "html"])
@pytest.mark.parametrize("tty", [True, False])
def test_terminal_sees_escapes_and_pipes_see_bytes(tmp_path, capfd, monkeypatch, form, tty):
    # capfd: the command writes its bytes to the descriptor, not through sys.stdout.
    folder = small_school(tmp_path, HOSTILE_TEACHERS, HOSTILE_TIMETABLE)
    monkeypatch.setattr(sys.stdout, "isatty", lambda: tty)
    code, out, err = run(capfd, str(folder), "-f", form)
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
    # Two subjects and six periods: twelve explanations for 120 uncovered
    # lessons, and who was free said once a period.
    assert len(plan.uncovered) == 120
    assert table.count("\nNot covered in period ") == 12
    assert table.count("\nNo teacher of any subject was free") == 6
    assert table.count("\n    and 12 more\n") == 12  # 20 teachers a subject, 8 shown
    assert "C29 (Teacher 00029) and 2 more\n  maths teachers in period 1:\n" in table


def test_sizes_grow_linearly(tmp_path):
    # When nothing can be covered, no explanation may list the whole staff.
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


def test_date_option_names_the_day(capfd):
    code, out, err = run(capfd, "-f", "table", "--date", "2026-12-08")
    assert (code, err) == (0, "")
    assert out.startswith("Cover plan: sample school, Tuesday 8 December 2026\n")


# Period 3: every teacher in is teaching, so the lessons of Ann (maths), Dan
# (english) and Eve (history, its only teacher) stay uncovered.
NOTES_TEACHERS = TEACHERS + "Eve,history,no,Jury service\n"
NOTES_TIMETABLE = TIMETABLE + "Ann,3,9A\nDan,3,9C\nEve,3,9F\nZed,3,9D\nCat Rao,3,9B\nBob,3,9E\n"


def view_of(board):
    """The by-period view as (heading, [(kind, class, who, detail)]), column by column."""

    def entry(li):
        return (
            li.classes[0],
            *(text(li.find("span", part)[0]) for part in ("class", "who", "for")),
        )

    return [
        [
            (text(heading), [entry(li) for li in entries.find("li")])
            for heading, entries in zip(column.find("h2"), column.find("ul"))
        ]
        for column in board.find("div", "column")
    ]


def notes_of(board):
    return [
        [text(child) for child in article.children if not isinstance(child, str)]
        for article in board.find("article")
    ]


@pytest.mark.parametrize("show", [False, True])
def test_board_says_each_thing_once(tmp_path, show):
    day = day_of(tmp_path, NOTES_TIMETABLE, NOTES_TEACHERS, show_reasons=show)
    board = page(render_board(make_plan(day)))
    assert [text(p) for p in board.find("p", "summary")] == ["3 absent · 3 covered · 3 not covered"]
    assert [part for column in view_of(board) for part in column] == [
        (
            "Period 1",
            [
                ("cover", "9A+9B", "Bob", "for Ann · maths"),
                ("cover", "9C", "Cat Rao", "for Dan · english"),
            ],
        ),
        ("Period 2", [("cover", "9C", "Bob", "for Dan · english")]),
        (
            "Period 3",
            [
                ("gap", "9A", "Not covered", "Ann · maths · see note 1"),
                ("gap", "9C", "Not covered", "Dan · english · see note 1"),
                ("gap", "9F", "Not covered", "Eve · history · see note 1"),
            ],
        ),
    ]
    why = {"Ann": ": Sick", "Dan": ": Course", "Eve": ": Jury service"} if show else {}
    assert [text(li) for li in board.find("section", "absent")[0].find("li")] == [
        f"{name} ({subject}), all day{why.get(name, '')}"
        for name, subject in (("Ann", "maths"), ("Dan", "english"), ("Eve", "history"))
    ]
    absent = {
        name: f"absent ({why[name][2:]})" if show else "absent" for name in ("Ann", "Dan", "Eve")
    }
    assert notes_of(board) == [
        [
            "Not covered, and why",
            "Note 1 · Period 3",
            "maths: 9A (Ann) not covered.",
            "maths teachers:",
            f"Ann: {absent['Ann']} Zed: teaching 9D Bob: teaching 9E",
            "english: 9C (Dan) not covered.",
            "english teachers:",
            f"Dan: {absent['Dan']} Cat Rao: teaching 9B",
            "history: 9F (Eve) not covered.",
            "history teacher:",
            f"Eve: {absent['Eve']}",
            "No teacher of any subject was free: all 3 teachers in school were teaching or covering.",
        ]
    ]


@pytest.mark.parametrize(
    "timetable, said",
    [
        ("Ann,3,9A\n", "Free but not given this lesson: Bob."),
        ("Ann,3,9A\nDan,3,9C\n", "Free but not given these lessons: Bob."),
    ],
)
def test_who_was_free_is_said_once_in_the_right_number(tmp_path, timetable, said):
    day = day_of(tmp_path, "teacher,period,class\nZed,3,9D\nCat Rao,3,9B\n" + timetable)
    board = page(render_board(make_plan(day, Rules(never=frozenset({"Bob"})))))
    assert [text(p) for p in board.find("p", "free")] == [said]


@pytest.mark.parametrize("seconds", [0, 60])
def test_the_board_reloads_as_often_as_the_school_says(tmp_path, seconds):
    plan = make_plan(day_of(tmp_path, board_refresh=seconds))
    refresh = [
        meta.attrs["content"]
        for meta in page(render_board(plan)).find("meta")
        if meta.attrs.get("http-equiv") == "refresh"
    ]
    assert refresh == ([str(seconds)] if seconds else [])
    # Slips are read once, and printed: they never reload.
    assert [m for m in page(render_slips(plan)).find("meta") if "http-equiv" in m.attrs] == []


HOSTILE_NAME = 'Ann <script>alert("x")</script>\u202eoaR\x1b]0;owned\x07'
HOSTILE_CLASS = '9"A><b onmouseover=x>&amp;'


@pytest.mark.parametrize("form", ["board", "slips"])
def test_pages_show_hostile_names_as_text(tmp_path, form):
    quoted_name = HOSTILE_NAME.replace('"', '""')
    teachers = (
        f'name,subject,present,reason\n"{quoted_name}",maths,yes,\nDan,maths,no,"<i>Ill</i>"\n'
    )
    timetable = f'teacher,period,class\nDan,1,"{HOSTILE_CLASS.replace(chr(34), chr(34) * 2)}"\n'
    plan = make_plan(day_of(tmp_path, timetable, teachers, show_reasons=True))
    html = render_board(plan) if form == "board" else render_slips(plan)
    tree = page(html)
    assert tree.find("script") == [] and tree.find("b") == [] and tree.find("i") == []
    assert "\x1b" not in html and "\u202e" not in html
    name = 'Ann <script>alert("x")</script>\\u202eoaR\\x1b]0;owned\\x07'
    if form == "board":
        assert view_of(tree) == [
            [("Period 1", [("cover", '9"A><b onmouseover=x>&amp;', name, "for Dan · maths")])]
        ]
        assert [td.attrs["data-class"] for td in tree.find("td")] == [HOSTILE_CLASS]
        assert [text(li) for li in tree.find("section", "absent")[0].find("li")] == [
            "Dan (maths), all day: <i>Ill</i>"
        ]
    else:
        assert slips_of(html) == [
            [
                name,
                ["Period", "Class", "Subject", "Whose lesson", "Reason"],
                [["1", HOSTILE_CLASS, "maths", "Dan", "<i>Ill</i>"]],
            ]
        ]
        assert [text(a) for a in tree.find("a")] == [name]


def test_a_page_refuses_to_show_nothing():
    with pytest.raises(TypeError, match="cannot show NoneType"):
        webpage.render_page("page.html", kind="board", title=None, refresh=0)


def test_sparse_timetables_stay_linear(tmp_path):
    # Bob,1,C1 / Bob,2,C2 ... as a grid would be the timetable's square.
    sizes = {}
    for lessons in (500, 1500):
        rows = "".join(f"Bob,{n},C{n}\n" for n in range(1, lessons + 1))
        folder = small_school(
            tmp_path / str(lessons),
            "name,subject,present\nBob,maths,no\n",
            "teacher,period,class\n" + rows,
        )
        timetable = (folder / "timetable.csv").stat().st_size
        board = render_board(make_plan(load_school(folder)))
        tree = page(board)
        assert tree.find("table") == []
        assert [text(p) for p in tree.find("p", "limit")] == [
            f"{lessons} classes and {lessons} periods, with lessons in only {lessons} of the "
            f"{lessons * lessons} places of a grid: each class's lessons are listed instead."
        ]
        assert len(tree.find("dd")) == lessons
        sizes[lessons] = len(board.encode())
        assert sizes[lessons] <= 200 * timetable + 20_000
    assert 3 * 0.9 <= sizes[1500] / sizes[500] <= 3 * 1.1


def test_a_timetable_that_fills_its_grid_is_drawn_as_one(tmp_path):
    board = page(render_board(make_plan(day_of(tmp_path))))
    assert [text(th) for th in board.find("thead")[0].find("th")] == [
        "Class",
        "Period 1",
        "Period 2",
    ]
    assert [(td.attrs["data-class"], td.attrs["data-period"]) for td in board.find("td")] == [
        (c, p) for c in ("9A", "9B", "9C", "9D") for p in ("1", "2")
    ]


@pytest.mark.parametrize(
    "form, loaded",
    [("csv", False), ("table", False), ("report", False), ("html", True)],
)
def test_jinja2_is_imported_only_for_pages(form, loaded):
    # The command's start-up is measured.
    code = (
        "import sys; from rotavel_app.commands.main import main; main(['-f', sys.argv[1], '-o', '/dev/null']);"
        "print('jinja2' in sys.modules, 'markupsafe' in sys.modules)"
    )
    done = subprocess.run(
        [sys.executable, "-c", code, form], capture_output=True, text=True, timeout=60
    )
    assert (done.stdout, done.stderr) == (f"{loaded} {loaded}\n", "")


@pytest.mark.parametrize(
    "value, outcome",
    [
        (0, 0),
        (6, 6),
        (-1, "rotavel.toml: slips_per_page must not be negative"),
        (True, "rotavel.toml: slips_per_page must be int, not 'True'"),
        ("2", "rotavel.toml: slips_per_page must be int, not '2'"),
    ],
)
def test_slips_per_page_setting(value, outcome):
    try:
        result = parse_settings({"slips_per_page": value}, Path("rotavel.toml")).slips_per_page
    except InputError as error:
        result = str(error)
    assert result == outcome


@pytest.mark.parametrize("per_page, ends", [(0, []), (2, [2]), (3, [])])
def test_slips_end_a_page_every_so_many(tmp_path, per_page, ends):
    # One maths teacher is free in each of Ann's three periods: three substitutes.
    timetable = (
        "teacher,period,class\nAnn,1,9A\nBob,1,9B\nEve,1,9C\nAnn,2,9A\nZed,2,9B\nEve,2,9C\n"
        "Ann,3,9A\nZed,3,9B\nBob,3,9C\n"
    )
    day = day_of(tmp_path, timetable, TEACHERS + "Eve,maths,yes,\n", slips_per_page=per_page)
    slips = page(render_slips(make_plan(day))).find("article", "slip")
    assert [text(slip.find("h2")[0]) for slip in slips] == ["Bob", "Eve", "Zed"]
    assert [n for n, slip in enumerate(slips, 1) if "page-end" in slip.classes] == ends


@pytest.mark.parametrize("columns", [1, 4])
@pytest.mark.parametrize("size", [18, 56])
def test_the_boards_columns_and_gaps_fill_the_screens_width(size, columns):
    width = columns * layout.screen_column(size, columns) * size
    gaps = (columns - 1) * layout.COLUMN_GAP + 2 * layout.MARGIN_X
    assert width + gaps == pytest.approx(layout.SCREEN_WIDTH)


@pytest.mark.parametrize(("fit", "count"), [(1, 4), (2, 5), (3, 7)])
def test_a_column_is_cut_where_paper_ends_though_the_screen_has_room(fit, count):
    # `fit` entries of one period fit a sheet, never more.
    words = layout.Words.of("Ann", True)
    items = [layout.Item(1, words, words, words, words) for _ in range(count)]
    heights = [10.0] * count
    heads = [(2.0, 2.0)] * count
    cutter = layout._Cutter(items, 20.0, 3.0, heights, heads)
    chunks = cutter.cut(room=1e9, print_room=2.0 + 10.0 * fit + 1.0)
    assert [len(chunk) for chunk in chunks] == [min(fit, count - n) for n in range(0, count, fit)]
