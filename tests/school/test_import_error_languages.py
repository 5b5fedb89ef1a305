"""The importers' refusals and notes in the language of the run: one line, the
file's own values and paths as written, no English left."""

import re

import pytest
from support.command import run
from support.exports import FET_CSV_HEADER, fet_csv, gpu, untis_folder
from support.languages import LANGUAGES, english_left

from rotavel_app import language
from rotavel_app.school.importers.untis import read_untis


def asc(lesson='teacherids="T1" classids="C1"', extra=""):
    return (
        '<timetable options="daynumbering1">'
        '<teachers><teacher id="T1" name="Ann"/></teachers>'
        f'<classes><class id="C1" name="9A"/>{extra}</classes>'
        f'<lessons><lesson id="L1" {lesson}/></lessons>'
        '<cards><card lessonid="L1" day="1" period="1"/></cards></timetable>'
    )


def fet(start="<Preferred_Hour>Pd1</Preferred_Hour>"):
    return (
        "<fet><Days_List><Day><Name>Mon</Name></Day></Days_List>"
        "<Hours_List><Hour><Name>Pd1</Name></Hour></Hours_List>"
        "<Activities_List><Activity><Teacher>Ann</Teacher><Students>9A</Students>"
        "<Duration>1</Duration><Id>1</Id><Active>true</Active></Activity></Activities_List>"
        "<Time_Constraints_List><ConstraintActivityPreferredStartingTime>"
        "<Weight_Percentage>100</Weight_Percentage><Activity_Id>1</Activity_Id>"
        f"<Preferred_Day>Mon</Preferred_Day>{start}"
        "</ConstraintActivityPreferredStartingTime></Time_Constraints_List></fet>"
    )


def row(*fields):
    return (1, "9A", "ANN", "M", "R1", *fields, "", "")


MANY = f'teacherids="{",".join(["T1"] * 1001)}" classids="{",".join(f"C{n}" for n in range(1000))}"'

# (file, its text, the file's own values the message keeps)
BAD = [
    ("zs.xml", asc('teacherids="T9" classids="C1"'), ["'T9'"]),
    ("zs.xml", asc('teacherids="T1" classids="C1" weeks="12"'), ["'12'"]),
    ("zs.xml", asc('teacherids="T1" classids="C1" periodspercard="5000000"'), ["5000000"]),
    ("zs.xml", asc()[:70], []),
    ("zs.xml", '<!DOCTYPE t [<!ENTITY a "b">]>' + asc(), []),
    (  # a million rows from one card
        "zs.xml",
        asc(MANY, "".join(f'<class id="C{n}" name="{n}"/>' for n in range(1000))),
        [],
    ),
    ("hill.fet", fet("<Preferred_Hour>Pd9</Preferred_Hour>"), ["'Pd9'"]),
    ("hill.fet", fet(""), ["NAME_data_and_timetable.fet"]),
    (
        "hill_timetable.csv",
        fet_csv([("x1", "Mon", "Pd 1", "9A", "M", "Ann", "", "", "")]),
        ["'x1'"],
    ),
    (
        "hill_timetable.csv",
        fet_csv([("1", "Mon", "Pd 1", "9A", "M", "Ann", "", "")]),
        [", ".join(FET_CSV_HEADER)],
    ),
    ("GPU001.TXT", gpu([row(9, 1)]), ["9"]),
    ("GPU001.TXT", gpu([row(1, "x")]), ["'x'"]),
    ("GPU001.TXT", '1,"9A"\r\n', ["2", "7"]),
    ("GPU001.TXT", '1,"9A\x81"\r\n', ["0x81"]),
]


@pytest.mark.parametrize("lang", LANGUAGES)
@pytest.mark.parametrize(("name", "text", "values"), BAD)
def test_a_bad_export_is_refused_in_one_line_of_the_language(
    tmp_path, capsys, lang, name, text, values
):
    path = tmp_path / name
    path.write_bytes(text.encode("utf-8" if "\x81" not in text else "latin-1"))
    target = tmp_path if name.startswith("GPU") else path
    code, out, err = run(capsys, target, "--day", "Monday", "-a", "Ann", "--language", lang)
    assert (code, out, err.count("\n")) == (2, "", 1)
    # The file's own words (its path, values, FET's column names and XML's element
    # names) are kept as written; none of the rest is English.
    words = err
    for value in [str(path), *values]:
        assert value in err
        words = words.replace(value, "")
    if lang != "en":
        assert english_left(re.sub(r"<[^>]*>", "", words.replace(str(tmp_path), "")), lang) == []


@pytest.mark.parametrize("lang", LANGUAGES[1:])
def test_the_note_of_rows_left_out_is_in_the_language(tmp_path, lang):
    folder = untis_folder(tmp_path / "school")
    language.use(lang)
    try:
        (note,) = read_untis(folder).notes
    finally:
        language.use(None)
    assert str(folder / "GPU001.TXT") in note and "'N.N.', '???'" in note
    assert english_left(note.replace(str(tmp_path), ""), lang) == []
