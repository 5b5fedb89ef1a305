import csv
import gc
import importlib.resources
import os
import re
import sys
from html.parser import HTMLParser
from pathlib import Path

import pytest
import rotavel
from hypothesis import HealthCheck, settings

from rotavel_app.commands.main import main
from rotavel_app.school.subjects import SUBJECTS, spelling_key

# Random tests run in three depths: "test" for `make test` (a newcomer's quick, repeatable run),
# "ci" for `make check` (the long property runs), "dev" for a long search by hand.
_HYPOTHESIS = {"derandomize": True, "database": None, "deadline": None}
_SLOW_OK = [HealthCheck.too_slow, HealthCheck.data_too_large]
settings.register_profile("test", max_examples=50, suppress_health_check=_SLOW_OK, **_HYPOTHESIS)
settings.register_profile("ci", max_examples=200, suppress_health_check=_SLOW_OK, **_HYPOTHESIS)
settings.register_profile("dev", max_examples=1000, deadline=None)
HYPOTHESIS_PROFILE = os.environ.get("HYPOTHESIS_PROFILE", "test")
settings.load_profile(HYPOTHESIS_PROFILE)

PANIC_NOT_FOUND = "Teacher not found in existing list. Please add to 'teacher_list.csv'"
DEFAULT_REASON = "Planned Absense"


def outcome(fn, *args, **kwargs):
    """("ok", result) of a call, or (exception type, message) of what it raised."""
    try:
        return "ok", fn(*args, **kwargs)
    except BaseException as e:  # PanicException is not an Exception
        if isinstance(e, (KeyboardInterrupt, SystemExit)):
            raise
        return type(e), str(e)


class Index:
    """An object usable as a period whose __index__ runs arbitrary code."""

    def __init__(self, fn):
        self.fn = fn

    def __index__(self):
        return self.fn()


def compact_teacher(name, pairs="", sub="Maths", present="true", reason=DEFAULT_REASON):
    """A TeacherRecord as the School's subject grouping shows it."""
    return (
        f'Mutex {{ data: Teacher {{ name: "{name}", periods: {{{pairs}}}, sub: {sub}, '
        f'present: {present}, reason_of_absentee: "{reason}" }} }}'
    )


def grouping(school):
    """The compact subject grouping, the last section of str(school)."""
    head, sep, tail = str(school).rpartition("\nTeacher_hashtable ")
    assert sep, head
    return tail


def assert_no_leak(op, reps=100, rounds=6, warmup=2):
    """Fail only when every measured round leaves at least one block per two calls behind.

    Single rounds may grow by a few blocks (caches, free lists, interned strings,
    the traceback machinery); a real leak grows every round by about one block or
    more per call.
    """

    def one_round():
        for _ in range(reps):
            op()
        gc.collect()
        return sys.getallocatedblocks()

    for _ in range(warmup):
        one_round()
    # Keep only one measured int alive at a time: storing every count would
    # itself add a block per round.
    deltas = [0] * rounds
    previous = one_round()
    for i in range(rounds):
        current = one_round()
        deltas[i] = current - previous
        previous = current
    assert not all(d >= max(1, reps // 2) for d in deltas), (
        f"allocated blocks grew every round by {deltas}"
    )


@pytest.fixture(scope="session")
def panic_type():
    teacher = rotavel.Teacher("Nobody", "maths", True)
    try:
        rotavel.register_period(teacher, 1, rotavel.School(), rotavel.Class("c"))
    except BaseException as e:
        if isinstance(e, (KeyboardInterrupt, SystemExit)):
            raise
        return type(e)
    pytest.fail("register_period with an unknown teacher did not fail")


# ---- the rotavel command --------------------------------------------------------------

SAMPLE = Path(str(importlib.resources.files("rotavel_app") / "sample"))
TIMING = re.compile(r'"Time taken to generate subs: [^"]*"$|Time taken to generate subs: .*$')
UNRESOLVED = re.compile(r'Couldnt find a substitution for (.*?) at (-?\d+)-\\"(.*?)\\"\\n')

# Ann is absent; in period 1 Bob and Cat are both teaching, so Ann's 9A
# lesson stays uncovered; in period 2 Bob is free and covers her.
SMALL_TEACHERS = (
    "name,subject,present,reason\nAnn,maths,no,Sick\nBob,Maths,yes,\nCat,english,yes,\n"
)
SMALL_TIMETABLE = "teacher,period,class\nAnn,1,9A\nBob,1,9B\nCat,1,9C\nAnn,2,9A\n"


def masked(text):
    return TIMING.sub("<timing>", text)


def run(capsys, *argv):
    """The command run in this process: (exit status, standard output, standard error)."""
    code = main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def school(tmp_path, teachers=SMALL_TEACHERS, timetable=SMALL_TIMETABLE):
    folder = tmp_path / "school"
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "teacher_list.csv").write_text(teachers, encoding="utf-8")
    (folder / "timetable.csv").write_text(timetable, encoding="utf-8")
    return folder


# Every spelling of a subject of the module's catalogue -> the module's keyword for it.
KEYWORDS = {
    spelling_key(spelling): keywords[0]
    for name, (keywords, synonyms) in SUBJECTS.items()
    for spelling in (*keywords, name, *synonyms)
}


def direct_report(folder):
    """The plan made straight through the module, without the command (for a
    school whose subjects are all of the module's catalogue)."""
    with open(folder / "teacher_list.csv", newline="", encoding="utf-8") as f:
        staff = list(csv.DictReader(f))
    with open(folder / "timetable.csv", newline="", encoding="utf-8") as f:
        lessons = list(csv.DictReader(f))
    school = rotavel.School()
    teachers, classes = {}, {}
    for row in staff:
        keyword = KEYWORDS[spelling_key(row["subject"])]
        teacher = rotavel.Teacher(row["name"], keyword, row.get("present", "yes") == "yes")
        if row.get("reason"):
            teacher.reason_of_absentee = row["reason"]
        school.add_teacher(teacher)
        teachers[row["name"]] = teacher
    for row in lessons:
        klass = classes.setdefault(row["class"], rotavel.Class(row["class"]))
        rotavel.register_period(teachers[row["teacher"]], int(row["period"]), school, klass)
    for klass in classes.values():
        school.add_class(klass)
    return school.generate_substitutions()


_VOID = frozenset({"br", "hr", "img", "input", "link", "meta", "wbr"})


class _Elements(HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.found, self.open = [], []

    def handle_starttag(self, tag, attrs):
        element = [tag, dict(attrs), ""]
        self.found.append(element)
        if tag not in _VOID:
            self.open.append(element)

    def handle_endtag(self, tag):
        for depth in range(len(self.open) - 1, -1, -1):
            if self.open[depth][0] == tag:
                del self.open[depth:]
                break

    def handle_data(self, data):
        for element in self.open:
            element[2] += data


def elements(page, tag):
    """Every `tag` element of an HTML page, in order, as (attributes, the text
    inside it with character references read)."""
    parser = _Elements()
    parser.feed(page)
    parser.close()
    return [(attrs, text) for name, attrs, text in parser.found if name == tag]
