"""Exports written to hurt: numbers out of every range, a few bytes asking
for unbounded work, files larger than memory, text in the wrong encoding.
Each is refused in one line with exit status 2, quickly, and never with a
traceback."""

import os
import subprocess
import sys
import textwrap
import weakref

import pytest
from support.command import run
from support.exports import fet_csv, gpu, write
from support.refusals import refusal

import rotavel_app.school.importers.asc as asc_reader
from rotavel_app.messages import InputError
from rotavel_app.school.importers import read_export
from rotavel_app.school.importers.untis import read_untis


def asc(period="1", length="1", teachers='teacherids="T1"', classes='classids="C1"', extra=""):
    """A small aSc export: Ann teaches 9A on Monday; Bob is free."""
    return (
        '<timetable options="daynumbering1">'
        '<teachers><teacher id="T1" name="Ann"/><teacher id="T2" name="Bob"/></teachers>'
        '<classes><class id="C1" name="9A"/></classes>'
        f"{extra}"
        f'<lessons><lesson id="L1" {classes} {teachers} periodspercard="{length}"/></lessons>'
        f'<cards><card lessonid="L1" day="1" period="{period}"/></cards></timetable>'
    )


def untis(period=1):
    return gpu([(1, "9A", "ANN", "M", "R1", 1, period, "", ""), (2, "9B", "BOB", "M", "", 1, 2)])


def fet_hours(count):
    """FET's CSV export with one row in each of `count` hours, the last Ann's."""
    rows = [(str(n), "Mon", f"Pd {n}", "9A", "Maths", "Bob", "", "", "") for n in range(count)]
    rows[-1] = (str(count), "Mon", f"Pd {count}", "9B", "Maths", "Ann", "", "", "")
    return fet_csv(rows)


# The command, its address space limited to what it takes once loaded plus
# the MiB given as its first argument (none: no limit).
LIMITED = """
import resource, sys
import xml.etree.ElementTree
from rotavel_app.commands.main import main
import rotavel_app.desk.desk, rotavel_app.commands.desk, rotavel_app.school.importers.asc
limit = sys.argv.pop(1)
if limit:
    with open("/proc/self/status") as status:
        size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize"))
    resource.setrlimit(resource.RLIMIT_AS, (size + int(limit) * 2**20, resource.RLIM_INFINITY))
sys.exit(main(sys.argv[1:]))
"""


def rotavel(*argv, timeout=30, limit_mib=None):
    """The command in a process of its own: (exit status, output, errors)."""
    done = subprocess.run(
        [sys.executable, "-c", LIMITED, str(limit_mib or ""), *map(str, argv)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    return done.returncode, done.stdout, done.stderr


# -- numbers out of range -----------------------------------------------------------


OUT_OF_RANGE = "is out of range (-32768 to 32767)"


@pytest.mark.parametrize(
    ("name", "text", "argv", "message"),
    [("GPU001.TXT", untis(40000), ("-a", "ANN"), "GPU001.TXT, line 1: period 40000")]
    + [
        ("zs.xml", text, ("--day", "Monday", "-a", "Ann"), "zs.xml, " + message)
        for text, message in [
            (asc(period="40000"), "<card> number 1: period 40000"),
            (asc(period="-40000"), "<card> number 1: period -40000"),
            # the next period of a card at the top of the range
            (asc(period="32767", length="2"), "<card> number 1: period 32768"),
            # a number of thousands of digits, which int() itself refuses
            (
                asc(extra=f'<periods><period period="{"7" * 5000}"/></periods>'),
                "<period> number 1: period 777777777777... (5000 digits)",
            ),
            (asc(period="1" * 5000), "<card> number 1: period 111111111111... (5000 digits)"),
        ]
    ]
    + [
        (
            "hill_timetable.csv",
            fet_hours(40000),
            ("--day", "Mon", "-a", "Ann"),
            "hill_timetable.csv, line 32769: period 32768",
        ),
    ],
)
def test_numbers_out_of_range_refused_in_one_line(tmp_path, capsys, name, text, argv, message):
    path = write(tmp_path, name, text)
    target = tmp_path if name.startswith("GPU") else path
    expected = f"rotavel: {tmp_path}/{message} {OUT_OF_RANGE}\n"
    assert run(capsys, str(target), *argv) == (2, "", expected)


def test_a_day_of_thousands_of_digits_refused_in_one_line(tmp_path, capsys):
    path = write(tmp_path, "zs.xml", asc().replace('day="1"', f'day="{"1" * 5000}"'))
    assert run(capsys, str(path), "--day", "Monday", "-a", "Ann") == (
        2,
        "",
        f"rotavel: {path}, <card> number 1: day '{'1' * 80}'... (5000 characters) is not a day "
        "of the days table\n",
    )


def test_fet_duration_of_thousands_of_digits_refused(tmp_path):
    path = write(tmp_path, "hill.fet", "")
    fet = textwrap.dedent(
        f"""\
        <fet><Days_List><Day><Name>Mon</Name></Day></Days_List>
        <Hours_List><Hour><Name>1</Name></Hour></Hours_List>
        <Activities_List><Activity><Teacher>Ann</Teacher><Students>9A</Students>
        <Duration>{"9" * 5000}</Duration><Id>1</Id><Active>true</Active></Activity>
        </Activities_List></fet>"""
    )
    path.write_text(fet)
    assert refusal(read_export, path) == (
        f"{path}, <Activity> number 1 (Id 1): <Duration> '{'9' * 80}'... (5000 characters) "
        "is not a whole number"
    )


# -- the work one file may ask for --------------------------------------------------


@pytest.mark.parametrize(
    ("text", "message"),
    [
        (  # 550 bytes that asked for five million periods, and minutes and gigabytes
            asc(length="5000000"),
            "<card> number 1: periodspercard 5000000 is more periods than a day has (at most 24)",
        ),
        (
            asc(length="9" * 5000),
            "<card> number 1: periodspercard '" + "9" * 80 + "'... (5000 characters) "
            "is not a whole number of periods",
        ),
        (  # 100,000 weeks: letters far past Z, down to lone surrogates
            asc().replace('periodspercard="1"', 'periodspercard="1" weeks="' + "10" * 50_000 + '"'),
            "<card> number 1: weeks '" + "10" * 40 + "'... (100000 characters) tells apart "
            "more than 53 weeks, more than a year has",
        ),
        (  # a thousand teachers with a thousand classes: a million rows from one card
            asc(
                teachers='teacherids="' + ",".join(["T1"] * 1001) + '"',
                classes='classids="' + ",".join(f"C{n}" for n in range(1000)) + '"',
                extra="<classes>"
                + "".join(f'<class id="C{n}" name="{n}"/>' for n in range(1000))
                + "</classes>",
            ).replace('<classes><class id="C1" name="9A"/></classes>', "", 1),
            "<card> number 1: gives more than 1,000,000 lesson rows, more than any school's "
            "timetable; is it the right file?",
        ),
    ],
)
def test_a_small_file_cannot_ask_for_unbounded_work(tmp_path, text, message):
    path = write(tmp_path, "zs.xml", text)
    code, out, err = rotavel(path, "--day", "Monday", "-a", "Ann", timeout=20)
    assert (code, out, err) == (2, "", f"rotavel: {path}, {message}\n")


def test_many_periods_many_cards_read_in_linear_time(tmp_path):
    # A card's period was once searched for in the periods table: this took minutes.
    periods = "".join(f'<period period="{n}"/>' for n in range(1, 30001))
    cards = "".join(f'<card lessonid="L1" day="1" period="{n}"/>' for n in range(1, 30001))
    text = asc(extra=f"<periods>{periods}</periods>").replace(
        '<card lessonid="L1" day="1" period="1"/>', cards
    )
    path = write(tmp_path, "zs.xml", text)
    done = rotavel(path, "--day", "Monday", "--convert", tmp_path / "out", timeout=20)
    assert done == (0, "", f"rotavel: wrote the school folder {tmp_path / 'out'}\n")


# -- memory -------------------------------------------------------------------------


def test_memory_error_said_once_the_document_is_released(tmp_path, monkeypatch):
    # A MemoryError's traceback holds the reader's frames, and with them the tree.
    path = write(tmp_path, "zs.xml", asc())
    tree = []

    def run_out(root, path):
        tree.append(weakref.ref(root))
        raise MemoryError

    monkeypatch.setattr(asc_reader, "_Days", run_out)
    alive = []

    class Watched(InputError):
        def __init__(self, message):
            alive.append(tree[0]() is not None)
            super().__init__(message)

    monkeypatch.setattr("rotavel_app.school.importers.InputError", Watched)
    with pytest.raises(InputError) as caught:
        read_export(path)
    assert (str(caught.value), alive) == (
        f"{path}: too large to read in the memory available; is it the right file?",
        [False],
    )


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="AddressSanitizer maps its shadow memory up front: a limit on the address space "
    "stops the sanitizer, not the command",
)
@pytest.mark.parametrize("desk", [False, True])
def test_out_of_memory_is_one_line(tmp_path, desk):
    cards = "".join(f'<card lessonid="L1" day="1" period="1" n="{n}"/>' for n in range(200_000))
    path = write(tmp_path / "school", "zs.xml", asc().replace("</cards>", cards + "</cards>"))
    argv = ("plan", path.parent, "--date", "2026-03-09") if desk else (path, "--day", "Monday")
    message = f"rotavel: {path}: too large to read in the memory available; is it the right file?\n"
    assert rotavel(*argv, limit_mib=60, timeout=30) == (2, "", message)


# -- text that is not what it seems -------------------------------------------------


@pytest.mark.parametrize(
    ("name", "text", "encoding"),
    [("GPU001.TXT", untis(), encoding) for encoding in ("utf-16", "utf-16-le", "utf-16-be")]
    + [("hill_timetable.csv", fet_hours(2), "utf-16")],
)
def test_utf16_export_is_an_encoding_problem(tmp_path, name, text, encoding):
    path = write(tmp_path, name, text, encoding)
    assert refusal(read_export, tmp_path if name.startswith("GPU") else path) == (
        f"{path}: UTF-16 text (or binary data); export it again as UTF-8 (or Windows-1252)"
    )


@pytest.mark.parametrize("separator", ["\u2028", "\x85", "\x1e"])
def test_a_line_separator_inside_a_quoted_field_does_not_split_the_record(tmp_path, separator):
    write(tmp_path, "GPU001.TXT", untis().replace('"R1"', f'"R1{separator}annex"'))
    week = read_untis(tmp_path)
    assert [(r.teacher, r.room, r.where) for r in week.lessons] == [
        ("ANN", f"R1{separator}annex", f"{tmp_path}/GPU001.TXT, line 1"),
        ("BOB", "", f"{tmp_path}/GPU001.TXT, line 2"),
    ]


def test_a_line_separator_in_a_fet_csv_does_not_split_the_row(tmp_path):
    text = fet_csv([("1", "Mon", "Pd 1", "9A", "Maths", "Ann", "", "R1\u2028annex", "")])
    path = write(tmp_path, "hill_timetable.csv", text)
    week = read_export(path)
    assert [(r.teacher, r.room) for r in week.lessons] == [("Ann", "R1\u2028annex")]
