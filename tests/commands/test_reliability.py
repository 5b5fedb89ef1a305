"""The command under stress: outputs that cannot be written, hostile names
and paths, and inputs at the size limit. Each case is one the command once
got wrong; the command must give one line on standard error and exit 2 (or
plan correctly), never a traceback, a partial output taken for success, or
memory and time out of proportion to its input."""

import importlib.util
import os
import re
import resource
import subprocess
import sys
import threading
from pathlib import Path, PurePosixPath

import pytest
from hypothesis import given
from hypothesis import strategies as st
from support.command import elements, run
from support.schools import SMALL_TEACHERS, SMALL_TIMETABLE, small_school

from rotavel_app.commands import main as cli
from rotavel_app.commands import plumbing
from rotavel_app.files import plain_path

ROOT = Path(__file__).resolve().parents[2]
HEADER = "Teacher,Period,Subject,Substitution,Classroom,Reason,Room,Note\n"


def large_input():
    spec = importlib.util.spec_from_file_location("large_input", ROOT / "bench" / "large_input.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


# ---- inputs at scale -------------------------------------------------------------------


def peak_memory(folder):
    """The command's peak resident memory planning Monday of `folder`, in bytes."""
    code, err, peak = peak_of([folder, "--day", "Mo", "-f", "table"], timeout=600)
    assert (code, err) == (0, "")
    return peak


def test_memory_stays_a_small_multiple_of_the_timetable(tmp_path):
    # A week of 200,000 rows (2.8 MB): rows kept as tuples of strings took 35 times the file.
    generate = large_input().write
    generate(tmp_path / "small", rows=2_000, days=5, periods=8, absent=0.02, seed=1)
    generate(tmp_path / "large", rows=200_000, days=5, periods=8, absent=0.02, seed=1)
    size = (tmp_path / "large" / "timetable.csv").stat().st_size
    grown = peak_memory(tmp_path / "large") - peak_memory(tmp_path / "small")
    assert grown < 12 * size, f"{grown / size:.1f} times the timetable"


def test_many_absences_are_read_in_one_pass(tmp_path, capsys, monkeypatch):
    # 20,000 --absent options took argparse 16 seconds: it never sees them now.
    names = [f"T{n:05}" for n in range(20_000)]
    folder = small_school(
        tmp_path,
        "name,subject\n" + "".join(f"{name},Maths\n" for name in names),
        "teacher,period,class\n" + "".join(f"{name},1,C{name}\n" for name in names),
    )
    seen = []
    parse_args = plumbing.Parser.parse_args
    monkeypatch.setattr(
        plumbing.Parser,
        "parse_args",
        lambda self, args: seen.append(len(args)) or parse_args(self, args),
    )
    absences = [arg for name in names for arg in ("--absent", f"{name}:Ill")]
    code, out, err = run(capsys, str(folder), "-f", "csv", *absences)
    assert (code, err, seen) == (0, "", [3])
    assert out == HEADER + "".join(f"{name},1,Maths,,C{name},Ill,,\n" for name in names)


@pytest.mark.parametrize(
    "argv",
    [
        ["-a", "Ann", "--absent=Bob", "-aCat", "-a=Dan", "--absent", "Eve:ill", "school"],
        ["--day", "-a", "-a", "Ann"],  # -a as --day's value: argparse refuses it
        ["-o", "out", "-a", "Ann", "--", "-a"],  # after --, -a is the folder
        ["-a", "-Ann"],  # an option where a name should be
        ["-a"],
        ["--absent", "Ann Rao", "school", "--format", "csv", "-a", "Bob"],
        ["--absen", "Ann"],  # an abbreviation argparse knows
    ],
)
def test_absences_read_as_argparse_reads_them(argv):
    def parsed(parse):
        try:
            return "ok", vars(parse(argv))
        except plumbing.UsageError as error:
            return "error", str(error)

    assert parsed(cli._parse) == parsed(cli._parser().parse_args)


def test_lesson_rows_give_back_every_row():
    from rotavel_app.school.week import LessonRow, LessonRows, Week

    rows = [
        LessonRow("Ann", 1, "9A", "Mon", where="a"),
        LessonRow("Bob", -32768, "9B", "Tue", where="b"),
        LessonRow("Ann", 32767, "9A+9B", "Mon", "R1", "L7", "B", "Maths", "c"),  # late columns
        LessonRow("Cy", 2, "", "Mon", "", "", "A", "", "d"),
    ]
    table = LessonRows.of(rows)
    assert (list(table), table[-1], table[1:3], len(table)) == (rows, rows[-1], rows[1:3], 4)
    assert table == rows and Week("w", "w", [], rows).lessons == table
    assert table != rows[::-1] and table != rows[:3] and table != LessonRows.of(rows[1:])
    assert table.days() == ["Mon", "Tue"] and table.teachers() == {"Ann", "Bob", "Cy"}
    assert list(table.of_days({"Mon"}, ("", "A"))) == [rows[0], rows[3]]
    assert list(table.of_days({"Mon"}, ("", "B"))) == [rows[0], rows[2]]
    assert table.first_teacher_not_in({"Ann", "Cy"}) == rows[1]
    assert table.first_teacher_not_in({"Ann", "Bob", "Cy"}) is None
    in_file = LessonRows(where_prefix="t.csv, line ")
    in_file.adder()("Ann", 3, "9C", "", 12)
    in_file.add("Bob", 4, "9D", room="R2", where=13)
    assert list(in_file) == [
        LessonRow("Ann", 3, "9C", where="t.csv, line 12"),
        LessonRow("Bob", 4, "9D", room="R2", where="t.csv, line 13"),
    ]


# ---- standard output that cannot take the plan ----------------------------------------------


def child(*argv, stdout=subprocess.PIPE, env=None, preexec_fn=None):
    """`python -m rotavel_app` in a child process: (exit status, stdout, stderr)."""
    done = subprocess.run(
        [sys.executable, "-m", "rotavel_app", *map(str, argv)],
        stdout=stdout,
        stderr=subprocess.PIPE,
        env=None if env is None else {**os.environ, **env},
        preexec_fn=preexec_fn,
        timeout=120,
    )
    return done.returncode, done.stdout, done.stderr.decode("utf-8", "backslashreplace")


def file_size_limit(limit):
    return lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))


CLOSED = "closed"


@pytest.mark.parametrize("unbuffered", [False, True])
@pytest.mark.parametrize(
    "where, argv, message",
    [
        ("/dev/full", ["-f", "csv"], "standard output: cannot write: No space left on device"),
        ("/dev/full", ["--version"], "standard output: cannot write: No space left on device"),
        (
            "limited",
            ["-f", "csv"],
            "standard output: cannot write: File too large; "
            "the output stops after 500 of {size} bytes",
        ),
        (CLOSED, ["-f", "csv"], "standard output is closed"),
    ],
)
def test_an_output_cut_short_is_an_error(tmp_path, where, argv, message, unbuffered):
    size = len(child("-f", "csv")[1])
    env = {"PYTHONUNBUFFERED": "1"} if unbuffered else None
    target = tmp_path / "out.csv"
    with open(where if where.startswith("/") else target, "wb") as out:
        if where == CLOSED:
            got = child(*argv, stdout=None, env=env, preexec_fn=lambda: os.close(1))
        else:
            limit = file_size_limit(500) if where == "limited" else None
            got = child(*argv, stdout=out, env=env, preexec_fn=limit)
    assert got == (2, None, f"rotavel: {message.format(size=size)}\n")
    if where == "limited":
        assert target.read_bytes() == child("-f", "csv")[1][:500]


# The first character each format cannot write in ASCII: the board's is the
# dot in "Zoë · maths".
@pytest.mark.parametrize(
    "form, first",
    [("csv", "'\\xeb' (U+00EB)")] + [("html", "'\\xb7' (U+00B7)")],
)
def test_an_output_the_encoding_cannot_hold_is_an_error(tmp_path, form, first):
    folder = small_school(
        tmp_path,
        "name,subject,present\nZo\u00eb,maths,no\nBob,maths,yes\n",
        "teacher,period,class\nZo\u00eb,1,9A\nBob,2,9B\n",
    )
    got = child(folder, "-f", form, env={"PYTHONIOENCODING": "ascii"})
    assert got == (
        2,
        b"",
        f"rotavel: standard output: cannot write {first} in its encoding, ascii; "
        "set PYTHONIOENCODING=utf-8 or use --output FILE\n",
    )
    assert child(folder, "-f", form, env={"PYTHONIOENCODING": "utf-8"})[0] == 0


# ---- input that must be refused ------------------------------------------------------------

DELETE, FOLDER, FIFO, HUGE = "delete", "folder", "fifo", "huge"
ROOT_WRITES = os.geteuid() == 0  # root may open /proc/version for writing


def prepared(folder, name, content):
    path = folder / name
    if content == DELETE:
        path.unlink()
    elif content == FOLDER:
        path.unlink(missing_ok=True)
        path.mkdir()
    elif content == FIFO:
        os.mkfifo(path)
    elif content == HUGE:
        with open(path, "wb") as f:  # sparse: costs no disk
            f.truncate(64 * 1024 * 1024 + 1)  # one byte over the cap
    else:
        path.write_bytes(content if isinstance(content, bytes) else content.encode())


TEACHERS_PLUS = SMALL_TEACHERS + "{}"
TIMETABLE_PLUS = SMALL_TIMETABLE + "{}"

# The rows added to the small school's files: (rows, "line N: message").
TEACHER_ROW_ERRORS = {
    "teacher listed twice": (
        "Bob,art,yes,\n",
        "5: teacher 'Bob' is listed twice (first on line 3)",
    ),
    "no name": (",poetry,yes,\n", "5: no name given"),
    "too many fields": (
        "Dev,art,no,Ill, home\n",
        "5: 5 fields, but the header names 4 (put a field that contains a comma in double quotes)",
    ),
    "present neither yes nor no": ("Dev,art,maybe,\n", "5: present must be yes or no, not 'maybe'"),
    "line after a field of two lines and a blank line": (
        'Dev,"art\nand design",yes,\n\nEve,art,maybe,\n',
        "8: present must be yes or no, not 'maybe'",
    ),
    "bad CSV": (
        'Dev,"art\nand design",yes,\n"Eve"x,art,yes,\n',
        "7: bad CSV: ',' expected after '\"'",
    ),
}
LESSON_ROW_ERRORS = {
    "unknown teacher": ("Zed,3,9A\n", "6: unknown teacher 'Zed' (not in teacher_list.csv)"),
    "unknown teacher, with a hint": (
        "Bobb,3,9A\n",
        "6: unknown teacher 'Bobb' (not in teacher_list.csv); did you mean 'Bob'?",
    ),
    "empty period": ("Bob,,9A\n", "6: no period given"),
    "period not a number": ("Bob,two,9A\n", "6: period 'two' is not a whole number"),
    "period too large": ("Bob,32768,9A\n", "6: period 32768 is out of range (-32768 to 32767)"),
    "period too small": ("Bob,-32769,9A\n", "6: period -32769 is out of range (-32768 to 32767)"),
    "period of 5000 digits": (
        "Bob," + "1" * 5000 + ",9A\n",
        "6: period 111111111111... (5000 digits) is out of range (-32768 to 32767)",
    ),
}

# The arguments after the folder, split at spaces, and the message.
ARGUMENT_ERRORS = {
    # A regular file whose reading fails: this process's own memory, unmapped at 0.
    "unreadable": (
        "--absent-file /proc/self/mem",
        "/proc/self/mem: cannot read: Input/output error",
    ),
    "absent unknown": ("--absent Zed:ill", "--absent: unknown teacher 'Zed' (not in {tl})"),
    "absent empty": ("--absent ", "--absent: no teacher name given"),
    "absent only a reason": ("--absent :Ill", "--absent: no teacher name given"),
    "argument not UTF-8": (
        "--absent Bob:\udcff",
        "argument 'Bob:\\xff' is not valid UTF-8 (see rotavel --help)",
    ),
    "output an input": ("-o {tt}", "--output {tt} is the input file {tt}; choose another file"),
    "output a link to an input": (
        "-o {folder}/link",
        "--output {folder}/link is the input file {tl}; choose another file",
    ),
    "output the absence file": (
        "--absent-file {folder}/today.txt -o {folder}/today.txt",
        "--output {folder}/today.txt is the input file {folder}/today.txt; choose another file",
    ),
    "output a folder": ("-o {folder}", "{folder}: is a folder; give a file name"),
    "output a new folder": ("-o {folder}/new/", "{folder}/new/: names a folder; give a file name"),
    "output in a folder, by a dot": (
        "-o {folder}/new/.",
        "{folder}/new/.: names a folder; give a file name",
    ),
    # Checks of the output path that fail otherwise than "not found".
    "output under a file": ("-o {tl}/board.html", "{tl}/board.html: cannot write: Not a directory"),
    "output name too long": (
        "-o {folder}/" + "x" * 300,
        "{folder}/" + "x" * 300 + ": cannot write: File name too long",
    ),
    "output a file of /proc": (
        "-o /proc/version",
        "/proc/version: cannot write: "
        + (
            "no new file can be made in /proc (No such file or directory)"
            if ROOT_WRITES
            else "Permission denied"
        ),
    ),
}

# (file in the school folder and its content, arguments after the folder, message).
# {folder}, {tl} (the teacher list) and {tt} (the timetable) stand for the paths.
INPUT_ERRORS = {
    # Files missing, or not files.
    "no teacher list": (("teacher_list.csv", DELETE), [], "{tl}: file not found"),
    "timetable a folder": (("timetable.csv", FOLDER), [], "{tt}: is a folder, not a file"),
    "a pipe": (
        ("fifo", FIFO),
        ["--absent-file", "{folder}/fifo"],
        "{folder}/fifo: not a regular file",
    ),
    "one byte over the cap": (
        ("huge.txt", HUGE),
        ["--absent-file", "{folder}/huge.txt"],
        "{folder}/huge.txt: larger than 64 MiB; is it the right file?",
    ),
    # The header.
    "column missing": (
        ("timetable.csv", "teacher,class\nAnn,9A\n"),
        [],
        "{tt}, line 1: missing column 'period'; the columns are: teacher, period, class, day, "
        "room, week, lesson",
    ),
    "column twice": (
        ("teacher_list.csv", "name,subject,present,Name\n"),
        [],
        "{tl}, line 1: column 'name' appears twice in the header",
    ),
    # Rows, and the line numbers of their messages.
    "a value under a column with no name": (
        (
            "teacher_list.csv",
            "name,subject,present,reason,\nAnn,maths,no,Sick,\nDev,art,yes,,oops\n",
        ),
        [],
        "{tl}, line 3: a value under a column with no name "
        "(put a field that contains a comma in double quotes)",
    ),
    "neither UTF-8 nor Windows-1252": (
        # 0x81 is a byte Windows-1252 leaves undefined, so no reading fits.
        ("teacher_list.csv", TEACHERS_PLUS.format("Dev,art,yes,Cong").encode() + b"\x81\n"),
        [],
        "{tl}, line 5: neither UTF-8 nor Windows-1252 text (byte 0x81); save the file as UTF-8",
    ),
    **{
        name: ((file, plus.format(rows)), [], f"{{{short}}}, line {message}")
        for file, short, plus, errors in [
            ("teacher_list.csv", "tl", TEACHERS_PLUS, TEACHER_ROW_ERRORS),
            ("timetable.csv", "tt", TIMETABLE_PLUS, LESSON_ROW_ERRORS),
        ]
        for name, (rows, message) in errors.items()
    },
    **{name: (None, argv.split(" "), message) for name, (argv, message) in ARGUMENT_ERRORS.items()},
}


def test_an_output_the_system_refuses_is_told_by_its_own_refusal(capsys):
    """/proc takes no new file, so the write's file beside the target cannot be made ("No
    such file or directory"); the target's own refusal says more, even to root."""
    target = "/proc/sys/kernel/osrelease"
    if not os.path.exists(target):
        pytest.skip(f"{target} is Linux's")
    code, out, err = run(capsys, "-o", target)
    assert (code, out) == (2, "")
    assert err in (
        f"rotavel: {target}: cannot write: Permission denied\n",
        f"rotavel: {target}: cannot write: Read-only file system\n",  # /proc/sys mounted so
    )


def snapshot(folder):
    return {
        p.name: (p.read_bytes() if p.is_file() and p.stat().st_size < 1 << 20 else None)
        for p in folder.iterdir()
    }


@pytest.mark.parametrize("change, extra, message", INPUT_ERRORS.values(), ids=INPUT_ERRORS)
def test_refused_with_one_line(tmp_path, capsys, change, extra, message):
    folder = small_school(tmp_path)
    (folder / "today.txt").write_text("Bob\n")
    (folder / "link").symlink_to("teacher_list.csv")
    if change is not None:
        prepared(folder, *change)
    before = snapshot(folder)
    places = dict(folder=folder, tl=folder / "teacher_list.csv", tt=folder / "timetable.csv")
    argv = [str(folder), *(arg.format(**places) for arg in extra)]
    assert run(capsys, *argv) == (2, "", "rotavel: " + message.format(**places) + "\n")
    assert snapshot(folder) == before


# ---- names and paths that once broke an output ---------------------------------------------

LONG_CLASS = "7" * 5000  # more digits than int() converts


def long_class_school(tmp_path):
    return small_school(
        tmp_path,
        "name,subject,present\nAnn,maths,no\nDan,maths,no\nEve,maths,no\n"
        "Bob,maths,yes\nCat,maths,yes\nFay,maths,yes\n",
        f"teacher,period,class\nAnn,1,{LONG_CLASS}\nDan,1,10A\nEve,1,9B\n",
    )


def test_a_class_of_thousands_of_digits_in_the_table(tmp_path, capsys):
    # Sorting by number once converted the digits with int(), which refuses more than 4,300.
    code, out, err = run(capsys, str(long_class_school(tmp_path)), "-f", "table")
    rows = [re.split(" {2,}", line.strip()) for line in out.split("\n\n")[1].splitlines()[2:]]
    assert (code, err, rows) == (
        0,
        "",
        [
            ["1", "9B", "maths", "Eve", "Fay"],
            ["1", "10A", "maths", "Dan", "Cat"],
            ["1", LONG_CLASS, "maths", "Ann", "Bob"],
        ],
    )


@pytest.mark.parametrize(
    "form, tag, kind, expected",
    [
        ("html", "th", {"scope": "row"}, ["9B", "10A", LONG_CLASS]),  # the grid's rows
        ("html", "span", {"class": "class"}, ["9B", "10A", LONG_CLASS]),  # cover by period
        ("slips", "td", {"class": "class"}, [LONG_CLASS, "10A", "9B"]),  # Bob's, Cat's, Fay's
    ],
)
def test_a_class_of_thousands_of_digits_on_the_pages(tmp_path, capsys, form, tag, kind, expected):
    code, out, err = run(capsys, str(long_class_school(tmp_path)), "-f", form)
    found = [text for attrs, text in elements(out, tag) if kind.items() <= attrs.items()]
    assert (code, err, found) == (0, "", expected)


def test_a_class_named_like_two_classes_taught_together(tmp_path, capsys):
    folder = small_school(
        tmp_path,
        "name,subject,present\nAnn,maths,no\nCat,maths,no\nBob,maths,yes\n",
        "teacher,period,class\nAnn,1,9A+9B\nCat,1,9A\nCat,1,9B\n",
    )
    assert run(capsys, str(folder), "-f", "csv") == (
        0,
        HEADER + 'Ann,1,maths,Bob,"""9A+9B""",,,\nCat,1,maths,,9A+9B,,,\n',
        "",
    )


def test_the_absence_file_ends_lines_at_line_feeds_only(tmp_path, capsys):
    # str.splitlines ends lines at these too, and put every later line number wrong.
    folder = small_school(tmp_path)
    breaks = "\x0b\x0c\x1c\x1d\x1e\x85\u2028\u2029"
    (tmp_path / "today.txt").write_text(f"# today{breaks}still the comment\r\nZed\n")
    assert run(capsys, str(folder), "--absent-file", str(tmp_path / "today.txt")) == (
        2,
        "",
        f"rotavel: {tmp_path / 'today.txt'}, line 2: unknown teacher 'Zed' "
        f"(not in {folder / 'teacher_list.csv'})\n",
    )


@pytest.mark.parametrize(
    "twin, shown, written",
    [
        ("Ann\u200b", "Ann\\u200b", "Ann\\u200b"),  # a zero-width space
        ("\uff21nn", "\uff21nn", "\\uff21nn"),  # a fullwidth A, which shows as itself
    ],
)
def test_two_teachers_a_reader_cannot_tell_apart(tmp_path, capsys, twin, shown, written):
    folder = small_school(tmp_path, f"name,subject\nAnn,maths\n{twin},maths\n")
    assert run(capsys, str(folder)) == (
        2,
        "",
        f"rotavel: {folder / 'teacher_list.csv'}, line 3: teacher '{shown}' looks the same as "
        f"'Ann' (line 2) but is written '{written}', not 'Ann'; remove the invisible difference\n",
    )


@pytest.mark.parametrize(
    "make, escaped",
    [
        # A school folder whose name would retitle the terminal and ring its bell.
        (lambda tmp: ["-f", "csv", tmp / "s\x1b]0;x\x07"], "s\\x1b]0;x\\x07"),
        (lambda tmp: ["--absent-file", tmp / "to\x1b[2Jday.txt"], "to\\x1b[2Jday.txt"),
        (lambda tmp: ["-o", tmp / "out\x07" / "board.html"], "out\\x07/board.html"),
    ],
)
def test_paths_in_messages_are_escaped(tmp_path, capsys, make, escaped):
    (tmp_path / "s\x1b]0;x\x07").mkdir()
    argv = [str(arg) for arg in make(tmp_path)]
    if argv[0] != "-f":
        argv.insert(0, str(small_school(tmp_path)))
    code, out, err = run(capsys, *argv)
    shown = str(tmp_path / escaped)
    assert (code, out) == (2, "")
    assert err in (
        f"rotavel: {shown}/teacher_list.csv: file not found\n",
        f"rotavel: {shown}: file not found\n",
        f"rotavel: {shown}: cannot write: No such file or directory\n",
    )
    assert "\x1b" not in err and "\x07" not in err


@given(st.lists(st.sampled_from(["", ".", "..", "a", "b c", "./"]), max_size=6), st.integers(0, 3))
def test_a_typed_path_is_shown_as_pathlib_shows_it(parts, slashes):
    text = "/" * slashes + "/".join(parts)
    assert plain_path(text) == str(PurePosixPath(text))


def test_messages_name_the_folder_as_typed_without_redundant_slashes(tmp_path, capsys, monkeypatch):
    (tmp_path / "school").mkdir()
    monkeypatch.chdir(tmp_path)
    assert run(capsys, "./school//") == (
        2,
        "",
        "rotavel: school/teacher_list.csv: file not found\n",
    )


def test_formulas_are_text_in_the_csv(tmp_path, capsys):
    # A spreadsheet runs a cell starting with = + - or @ as a formula; the module's report
    # stays as it is.
    teachers = (
        'name,subject,present,reason\n"=HYPERLINK(""http://x"")",maths,no,+1 call\n'
        "@Bob,maths,yes,\n"
    )
    folder = small_school(
        tmp_path, teachers, 'teacher,period,class\n"=HYPERLINK(""http://x"")",1,-9A\n'
    )
    assert run(capsys, str(folder), "-f", "csv") == (
        0,
        HEADER + '"\'=HYPERLINK(""http://x"")",1,maths,\'@Bob,\'-9A,\'+1 call,,\n',
        "",
    )
    code, out, _ = run(capsys, str(folder), "-f", "report")
    assert (code, out.split("\n")[1]) == (0, '"=HYPERLINK(""http://x"")",1,Maths,@Bob,-9A,+1 call')


@pytest.mark.parametrize(
    "text, safe",
    [(t, "'" + t) for t in ("\t=1", "\r=1")] + [(t, t) for t in ("Ann", "9A-9B", "")],
)
def test_what_a_spreadsheet_would_run(text, safe):
    from rotavel_app.pages.formats import spreadsheet_safe

    assert spreadsheet_safe(text) == safe


# ---- a name of megabytes -------------------------------------------------------------------

MIB = 1 << 20


def varied(size, seed=1):
    """`size` letters and digits, different enough that no two parts match."""
    import random

    letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
    return "".join(random.Random(seed).choices(letters, k=size))


def memory_limited(limit):
    return lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit))


def address_space(folder):
    """The most address space the command takes to plan `folder`: a memory
    limit above it leaves that much more for the input."""
    script = (
        "import sys\nfrom rotavel_app.commands.main import main\nmain(sys.argv[1:])\n"
        "print([l for l in open('/proc/self/status') if l.startswith('VmPeak:')][0])"
    )
    done = subprocess.run(
        [sys.executable, "-c", script, str(folder), "-f", "csv", "-o", os.devnull],
        capture_output=True,
        text=True,
        check=True,
    )
    return int(done.stdout.split()[1]) * 1024


def peak_of(argv, preexec_fn=None, timeout=60):
    """(exit status, standard error, peak resident memory) of the command,
    which must be done within `timeout` seconds."""
    with subprocess.Popen(
        [sys.executable, "-m", "rotavel_app", *map(str, argv)],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        preexec_fn=preexec_fn,
    ) as child:
        timer = threading.Timer(timeout, child.kill)  # then the exit status is -9
        timer.start()
        err = child.stderr.read().decode()
        _, status, usage = os.wait4(child.pid, 0)
        child.returncode = os.waitstatus_to_exitcode(status)
        timer.cancel()
    return child.returncode, err, usage.ru_maxrss * 1024


NAME = varied(4 * MIB)
SHOWN = f"'{NAME[:80]}'... ({len(NAME)} characters)"


@pytest.mark.parametrize(
    "where, line, message",
    [
        (
            "timetable",
            f"{NAME},2,9C",
            "{tt}, line 6: unknown teacher " + SHOWN + " (not in teacher_list.csv)",
        ),
        ("absences", NAME, "{today}, line 1: unknown teacher " + SHOWN + " (not in {tl})"),
        # Every ":" could end a name that holds colons: each was tried with a copy of the line.
        ("absences", "X:" * (2 * MIB), "{today}, line 1: unknown teacher 'X' (not in {tl})"),
    ],
)
def test_a_name_of_megabytes_costs_little(tmp_path, where, line, message):
    # Suggesting a name once cost the product of the names' lengths: hundreds of megabytes.
    folder = small_school(tmp_path)
    today = tmp_path / "today.txt"
    if where == "timetable":
        (folder / "timetable.csv").write_text(SMALL_TIMETABLE + line + "\n")
    today.write_text(line + "\n" if where == "absences" else "Bob\n")
    places = dict(tl=folder / "teacher_list.csv", tt=folder / "timetable.csv", today=today)
    argv = [folder, "-f", "csv", "--absent-file", today]
    base = peak_of([small_school(tmp_path / "small"), "-f", "csv"])[2]
    code, err, peak = peak_of(argv)
    assert (code, err) == (2, "rotavel: " + message.format(**places) + "\n")
    assert peak - base < 12 * len(line), f"{(peak - base) / len(line):.1f} times the name"
    # Room for 30 copies of the name: the suggestion used to want more.
    limit = address_space(small_school(tmp_path / "small")) + 30 * len(line)
    assert peak_of(argv, memory_limited(limit))[:2] == (code, err)


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="AddressSanitizer maps its shadow memory up front: a limit on the address space "
    "stops the sanitizer, not the command",
)
def test_out_of_memory_is_one_line(tmp_path):
    folder = small_school(tmp_path)
    (folder / "timetable.csv").write_text(SMALL_TIMETABLE + "Q" * (60 * MIB) + ",2,9C\n")
    limit = address_space(small_school(tmp_path / "small")) + 100 * MIB
    assert peak_of([folder, "-f", "csv"], memory_limited(limit))[:2] == (
        2,
        "rotavel: out of memory: the input is too large for the memory available\n",
    )


# ---- the table, and the module's answer --------------------------------------------------------


def test_wide_characters_keep_the_table_aligned(tmp_path, capsys):
    folder = small_school(
        tmp_path,
        "name,subject,present,reason\n欧阳修远,理科综合,no,出差\n李雷,理科综合,yes,\n"
        "Bob,理科综合,yes,\n",
        "teacher,period,class\n欧阳修远,1,高一(3)班\n欧阳修远,2,9A\n李雷,1,9B\nBob,2,9C\n",
    )
    code, out, err = run(capsys, str(folder))
    assert (code, err, out.split("\n\n")[1]) == (
        0,
        "",
        """\
Period  Class      Subject   Absent teacher  Substitute  Reason
------  ---------  --------  --------------  ----------  ------
     1  高一(3)班  理科综合  欧阳修远        Bob         出差
     2  9A         理科综合  欧阳修远        李雷        出差""",
    )


TABLE = "Teacher,Period,Subject,Substitution,Classroom,Reason\n"
TIMED = '"Time taken to generate subs: 1µs"'
BOTH = "t0,1,Maths,t1,c0,\nt0,2,Maths,t1,c0,\n"


@pytest.mark.parametrize(
    "answer, message",
    [
        (TABLE + "t9,2,Maths,t1,c0,\n\n\n" + TIMED, "unexpected row 't9,2,Maths,t1,c0,'"),
        (TABLE + "\n\n" + TIMED, "no outcome for 'Ann' in period 1"),
        (
            TABLE.replace("Reason", "Why") + BOTH + "\n\n" + TIMED,
            "unexpected header 'Teacher,Period,Subject,Substitution,Classroom,Why'",
        ),
        (
            TABLE + BOTH + "t0,3,Maths,t1,c0,\n\n\n" + TIMED,
            "outcomes for lessons the school does not have: [(0, 3)]",
        ),
        (TABLE + BOTH + "\n\nTime: 1µs", "unexpected timing line 'Time: 1µs'"),
    ],
)
def test_an_answer_that_does_not_fit_the_school(tmp_path, capsys, monkeypatch, answer, message):
    from rotavel_app.planning import plan

    monkeypatch.setattr(plan.HandedSchool, "run", lambda self: answer)
    assert run(capsys, str(small_school(tmp_path)), "-f", "csv") == (
        1,
        "",
        f"rotavel: the planning module's report could not be read: {message}\n",
    )


@pytest.mark.parametrize(
    "char, shown",
    # The one-character CSI and bytes that were not UTF-8 are escaped; the joiners, which
    # spell names in Indic scripts and Persian, and accents are not. The other controls and
    # format characters: tests/pages/test_render.py.
    [(c, ascii(c)[1:-1]) for c in "\x9b\udcff"] + [(c, c) for c in "\u200d\u0301"],
)
def test_one_definition_of_unsafe_text(char, shown):
    from rotavel_app.pages import webpage
    from rotavel_app.pages.terminal import escape_controls

    assert (escape_controls(f"a{char}b"), webpage.h(f"a{char}b")) == (f"a{shown}b",) * 2


@pytest.mark.parametrize(
    "text, columns",
    [
        ("e\u0301", 1),  # a combining accent
        ("\u0938\u0941\u0928\u0940\u0932", 4),  # सुनील: the vowel sign u takes no column
        ("\u0915\u094d\u200d\u0937", 2),  # क्‍ष: virama and joiner take none
    ],
)
def test_columns_a_terminal_gives_a_name(text, columns):
    from rotavel_app.pages.terminal import width

    assert width(text) == columns
