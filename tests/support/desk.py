"""The desk's tests' shared school and record helpers."""

import sqlite3

# Eve's lessons come first in the timetable, so planned together from nothing
# Eve would take Bob in period 1 and Ann's lesson then would go to Dan.
HAND = (
    ["Ann:maths", "Bob:maths", "Cat:maths", "Dan:english", "Eve:maths", "Fay:english"],
    [
        "Eve 1 8A",
        "Eve 2 8B",
        "Ann 1 9A",
        "Ann 2 9B",
        "Bob 2 9C",
        "Cat 1 9D",
        "Dan 3 9E",
        "Fay 1 9F",
        "Fay 2 9G",
    ],
)


def covers(plan):
    """Each absent lesson of a plan: (teacher, period, substitute, how)."""
    return [(a.lesson.teacher, a.lesson.period, a.substitute, a.how) for a in plan.absent_lessons]


def stamp_record(db, version, app=0x526F7456):
    connection = sqlite3.connect(db)
    connection.execute(f"PRAGMA application_id = {app}")
    connection.execute(f"PRAGMA user_version = {version}")
    connection.close()


def foreign_record(db):
    connection = sqlite3.connect(db)
    connection.execute("CREATE TABLE accounts (id INTEGER)")
    connection.close()


# Ann teaches period 1; Bob and Cat (maths, one lesson each) are both free then.
FAIR = (
    ["Ann:maths", "Bob:maths", "Cat:maths", "Dan:english"],
    ["Ann 1 9A", "Bob 2 9B", "Cat 3 9C", "Dan 1 9D"],
)
