"""Real schools' timetables from FET's examples (Debian's fet-data), imported
and planned with a tenth of the staff away: every absent lesson is in the
plan once and no substitute is in two places in one period.

Two sources: the examples that carry their timetable
(NAME_data_and_timetable.fet), and timetables fet-cl generates and exports
as CSV for examples from more countries, each read both from its CSV export
and from the .fet file fet-cl saves beside it, which must agree.

FET and its examples are under the GNU AGPL: they are used where Debian
installs them, never copied here. Skipped when they are not installed;
`make check-import` installs them and sets ROTAVEL_FET_DATA=required so that
their absence fails instead.
"""

import datetime
import gzip
import os
import shutil
import subprocess
from pathlib import Path

import pytest
from support.exports import plan_every_day

from rotavel_app.__main__ import main
from rotavel_app.desk.desk import Desk
from rotavel_app.school.importers import read_export
from rotavel_app.school.importers.fet import read_fet
from rotavel_app.school.importers.fet_csv import read_fet_csv

EXAMPLES = Path("/usr/share/doc/fet-data/examples")
REQUIRED = os.environ.get("ROTAVEL_FET_DATA") == "required"

if not EXAMPLES.is_dir():
    if REQUIRED:
        raise RuntimeError("FET's examples are required for these checks: apt-get install fet-data")
    pytest.skip(
        "FET's examples are not installed (apt-get install fet-data)", allow_module_level=True
    )

# Left out: the block-planning examples, whose "days" are teachers and whose
# "hours" are option blocks (FET's block-planning mode): no week of classes
# to cover, and indeed none of their activities has a teacher.
NOT_A_SCHOOL_WEEK = ("block-planning",)
WITH_TIMETABLE = sorted(
    path
    for pattern in ("*_data_and_timetable.fet", "*_data_and_timetable.fet.gz")
    for path in EXAMPLES.rglob(pattern)
    if not any(
        skip in part for part in path.relative_to(EXAMPLES).parts for skip in NOT_A_SCHOOL_WEEK
    )
)

# Examples from other countries that fet-cl solves in seconds; generation
# stops after GENERATION_SECONDS and the example is skipped when it found no
# complete timetable by then.
TO_GENERATE = [
    "FET-5-official/Argentina/Horario_ISJ.fet",
    "FET-5-official/Belize/Sacred-Heart-College/shc-2013/shc-2013.fet",
    "FET-5-official/Brazil/1/Brazil.fet",
    "FET-5-official/Bulgaria/Lom_high_school_2007-2008.fet",
    "FET-5-official/Greece/Didymoteicho/6th-Primary-School.fet",
    "FET-5-official/Namibia/by-Bobby/set-2/KPS.fet",
    "FET-5-official/Romania/Oradea/School-10-Oradea-2007-2008.fet",
    "FET-5-official/Spain/1-school/school.fet",
    "FET-5-official/United-Kingdom/Hopwood/Hopwood.fet",
]
GENERATION_SECONDS = 60
# fet-cl's other files and warnings, which only slow it down.
UNWANTED = (
    "writetimetableconflicts writetimetablesstatistics writetimetablesxml "
    "writetimetablesdayshorizontal writetimetablesdaysvertical writetimetablestimehorizontal "
    "writetimetablestimevertical warnifusingnotperfectconstraints "
    "warnifusingstudentsminhoursdailywithallowemptydays warnifusinggroupactivitiesininitialorder "
    "warnsubgroupswiththesameactivities"
).split()


def every_example_in_check_import(examples, ids=None):
    """The examples as parameters: all of them under `make check-import` (which sets
    ROTAVEL_FET_DATA=required); elsewhere, `make test` among them, the first, a quick run of
    the check, and the rest skipped."""
    ids = ids or [str(example) for example in examples]
    return [
        pytest.param(
            example,
            id=name,
            marks=()
            if REQUIRED or n == 0
            else pytest.mark.skip(reason="the rest run in make check-import"),
        )
        for n, (example, name) in enumerate(zip(examples, ids))
    ]


def local_copy(path: Path, folder: Path) -> Path:
    """The example itself, or its unpacked copy when Debian gzipped it."""
    if path.suffix != ".gz":
        return path
    target = folder / path.stem
    target.write_bytes(gzip.decompress(path.read_bytes()))
    return target


def test_examples_found():
    assert WITH_TIMETABLE, f"no *_data_and_timetable.fet under {EXAMPLES}"


@pytest.mark.parametrize(
    "example",
    every_example_in_check_import(
        WITH_TIMETABLE, [str(p.relative_to(EXAMPLES)) for p in WITH_TIMETABLE]
    ),
)
def test_example_with_its_timetable(example, tmp_path):
    week = read_export(local_copy(example, tmp_path))
    assert week is not None
    names = {member.name for member in week.staff}
    assert week.lessons and {row.teacher for row in week.lessons} <= names
    assert {row.period for row in week.lessons} <= set(week.period_names)
    assert len(week.notes) <= 1
    plan_every_day(week)


def generate(example: Path, folder: Path) -> tuple[Path, Path]:
    """fet-cl's CSV timetable for the example and the .fet it saves with the
    timetable; skips when no complete timetable was found in time."""
    if shutil.which("fet-cl") is None:
        if REQUIRED:
            raise RuntimeError("fet-cl is required for these checks: apt-get install fet")
        pytest.skip("fet-cl is not installed (apt-get install fet)")
    source = local_copy(example, folder)
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}  # not the sanitizer's
    env.update(QT_QPA_PLATFORM="offscreen", HOME=str(folder))
    subprocess.run(
        [
            "fet-cl",
            f"--inputfile={source}",
            f"--outputdir={folder}",
            f"--timelimitseconds={GENERATION_SECONDS}",
            "--exportcsv=true",
            "--htmllevel=0",
            # Fixed seeds: the same timetable on every run.
            *(f"--randomseeds{n}=1" for n in (10, 11, 12, 20, 21, 22)),
            *(f"--{option}=false" for option in UNWANTED),
        ],
        capture_output=True,
        timeout=GENERATION_SECONDS * 3,
        env=env,
        check=False,  # a timetable not found in time is told by the files, below
    )
    base = source.stem
    timetable = folder / "csv" / base / f"{base}_timetable.csv"
    saved = folder / "timetables" / base / f"{base}_data_and_timetable.fet"
    if not (timetable.is_file() and saved.is_file()):
        pytest.skip(
            f"fet-cl found no complete timetable for {example.name} in {GENERATION_SECONDS} s"
        )
    return timetable, saved


@pytest.mark.parametrize("example", every_example_in_check_import(TO_GENERATE))
def test_generated_timetable(example, tmp_path):
    timetable, saved = generate(EXAMPLES / example, tmp_path)
    exported = read_export(timetable)
    assert exported == read_fet_csv(timetable)
    week = read_fet(saved)

    def lessons(of):
        return [
            (
                r.teacher,
                r.day,
                of.period_names[r.period],
                r.class_name,
                r.room,
                r.lesson_id,
                r.subject,
            )
            for r in of.lessons
        ]

    assert lessons(exported) == lessons(week)
    # FET's teacher list comes with the export: those without a lesson too.
    assert [m.name for m in exported.staff] == [m.name for m in week.staff]
    # The hours seen in the export, numbered from their names, keep the school's order.
    hours = [week.period_names[n] for n in sorted(week.period_names)]
    seen = [exported.period_names[n] for n in sorted(exported.period_names)]
    if not any("do not tell their order" in note for note in exported.notes):
        assert seen == [hour for hour in hours if hour in seen]
    plan_every_day(exported)


# Schools whose days are mornings and afternoons, each half a FET day
# (Sunday in Arabic and "Sunday2", "Dim M" and "Dim S", "L_m" and "L_s").
WITH_HALVES = [path for path in WITH_TIMETABLE if "mornings-afternoons" in str(path)]
SCHOOL_WEEK = [datetime.date(2027, 1, 3) + datetime.timedelta(n) for n in range(7)]


def test_schools_with_halves_found():
    assert len(WITH_HALVES) >= 15


@pytest.mark.parametrize(
    "example",
    every_example_in_check_import(WITH_HALVES, [str(p.relative_to(EXAMPLES)) for p in WITH_HALVES]),
)
def test_a_school_of_mornings_and_afternoons_at_the_desk_for_a_week(example, tmp_path, capfd):
    """A tenth of the staff away all week, entered with `rotavel absent`; each
    school day planned by date and published: both halves of each day in its
    plan, so the week's plans hold every lesson the absent teachers give."""
    folder = tmp_path / "school"
    folder.mkdir()
    source = local_copy(example, tmp_path)
    (folder / source.name.removesuffix(".gz")).write_bytes(source.read_bytes())
    week = read_export(folder)
    teaching = list(dict.fromkeys(row.teacher for row in week.lessons))
    away = teaching[::10]
    first, last = str(SCHOOL_WEEK[0]), str(SCHOOL_WEEK[-1])
    assert main(["absent", str(folder), *away, "--from", first, "--to", last]) == 0
    out, err = capfd.readouterr()
    assert out.count("Absence #") == len(away)
    published = []
    for date in SCHOOL_WEEK:
        code = main(["plan", str(folder), "--date", str(date), "--publish", "-f", "csv"])
        out, err = capfd.readouterr()
        if code == 2:  # a day without school: one line naming the school days
            assert err.count("\n") == 1 and "not a school day" in err, err
            continue
        assert code == 0, err
        with Desk.open(folder) as desk:
            published += [(date, r.teacher, r.period) for r in desk.published(date)]
    # Morning and afternoon of one weekday are one date, the afternoon's periods
    # numbered after the morning's: no lesson lost, none planned twice.
    hours = len(week.period_names)
    given = {(row.teacher, row.day, row.period) for row in week.lessons if row.teacher in away}
    assert len(published) == len(set(published)) == len(given)
    assert {teacher for _, teacher, _ in published} == {teacher for teacher, _, _ in given}
    assert max(period for _, _, period in published) > hours
    assert len({date for date, _, _ in published}) >= 5
