"""Helpers for the tests that run the `rotavel` command and read what it writes."""

import csv
import importlib.resources
import re
from html.parser import HTMLParser
from pathlib import Path

import rotavel

from rotavel_app.commands.main import main
from rotavel_app.school.subjects import SUBJECTS, spelling_key

SAMPLE = Path(str(importlib.resources.files("rotavel_app") / "sample"))
TIMING = re.compile(r'"Time taken to generate subs: [^"]*"$|Time taken to generate subs: .*$')
UNRESOLVED = re.compile(r'Couldnt find a substitution for (.*?) at (-?\d+)-\\"(.*?)\\"\\n')


def masked(text):
    return TIMING.sub("<timing>", text)


def run(capture, *argv):
    """The command run in this process: (exit status, standard output, standard error).

    `capture` is pytest's capsys or capfd; the arguments may be paths or dates."""
    code = main([str(a) for a in argv])
    out, err = capture.readouterr()
    return code, out, err


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
