"""A small school for the tests of publishing, e-mail and the personal pages.

Ann (maths) teaches 9A in period 1 and 9B in period 2. Away, her lessons go
to Bob (period 1) and Cat (period 2), the maths teachers free then; Dan
(English) is free in both and takes one when given it by hand.
"""

import datetime
import re

TUE = datetime.date(2026, 3, 10)
STAFF = [
    ("Ann", "maths", "ann@school.test"),
    ("Bob", "maths", "bob@school.test"),
    ("Cat", "maths", "cat@school.test"),
    ("Dan", "english", "dan@school.test"),
]
LESSONS = [
    ("Ann", 1, "9A", "R1"),
    ("Ann", 2, "9B", "R2"),
    ("Bob", 2, "9C", ""),
    ("Cat", 1, "9D", ""),
]
LESSONS += [("Dan", 3, "9E", "")]
TIMES = '[times]\n1 = "08:30-09:20"\n2 = "09:20-10:10"\n'
BASE = "https://cover.school.test"


def make(folder, toml="", staff=STAFF):
    folder.mkdir(parents=True, exist_ok=True)
    rows = ["name,subject,email"] + [",".join(s) for s in staff]
    (folder / "teacher_list.csv").write_text("\n".join(rows) + "\n", encoding="utf-8")
    rows = ["teacher,period,class,room"] + [f"{t},{p},{c},{r}" for t, p, c, r in LESSONS]
    (folder / "timetable.csv").write_text("\n".join(rows) + "\n", encoding="utf-8")
    (folder / "rotavel.toml").write_text(f'base_url = "{BASE}"\n{toml}{TIMES}', encoding="utf-8")
    return folder


def stamped(text):
    """Text with its clock times (which depend on when the test runs) as T."""
    return re.sub(r"[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}[+-][0-9:]{5}", "T", text)
