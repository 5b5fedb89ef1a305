"""Seeded generator of realistic school days for the benchmark.

Every class has a lesson in every period, and no teacher teaches two classes in
one period.  The timetable is filled period by period: each class takes a free
teacher of the subject it has had least often so far that day (the search
starts at a random subject, so ties break at random), and within a subject the
least loaded free teacher, so loads stay even as in a real timetable.  A share
of the teachers is marked absent, most with a reason of their own.
"""

import random
from dataclasses import dataclass

KEYWORDS = [
    "maths",
    "english",
    "physics",
    "chemistry",
    "biology",
    "computer",
    "hindi",
    "history",
    "geography",
    "economics",
    "accountancy",
    "business",
    "civics",
    "art",
    "games",
    "p.e",
    "sanskrit",
    "urdu",
    "bengali",
    "finfance",
]
FIRST = [
    "Asha",
    "Ravi",
    "Meera",
    "Arjun",
    "Fatima",
    "John",
    "Priya",
    "Imran",
    "Sara",
    "Vikram",
    "Nisha",
    "Rahul",
    "Zoya",
    "Kabir",
    "Anita",
    "Dev",
]
LAST = [
    "Sharma",
    "Khan",
    "Iyer",
    "Das",
    "Patel",
    "Singh",
    "Roy",
    "Menon",
    "Gupta",
    "Bose",
    "Rao",
    "D'Souza",
    "Ali",
    "Nair",
    "Sen",
    "Joshi",
]
REASONS = [
    None,
    "Sick leave",
    "Training, off-site",
    'Exam duty ("board")',
    "Family emergency",
]  # None keeps the default reason


@dataclass
class Plan:
    teachers: list  # (name, subject keyword, present, reason or None)
    classes: list  # class names
    lessons: list  # (class index, period, teacher index), class by class
    periods: int

    def describe(self):
        absent = sum(not present for _, _, present, _ in self.teachers)
        subjects = len({kw for _, kw, _, _ in self.teachers})
        return (
            f"{len(self.teachers)} teachers ({absent} absent) over {subjects} subjects, "
            f"{len(self.classes)} classes, {self.periods} periods a day, "
            f"{len(self.lessons)} lessons"
        )


def generate(teachers=2500, subjects=20, classes=1000, periods=10, absent=0.08, seed=1):
    if not 1 <= subjects <= len(KEYWORDS):
        raise ValueError(f"subjects must be between 1 and {len(KEYWORDS)}")
    if classes > teachers:
        raise ValueError("each class needs its own teacher in every period: classes > teachers")
    rng = random.Random(seed)
    subject_of = [i % subjects for i in range(teachers)]
    rng.shuffle(subject_of)
    away = set(rng.sample(range(teachers), round(absent * teachers)))
    rows = [
        (
            f"{rng.choice(FIRST)} {rng.choice(LAST)} {i:05d}",
            KEYWORDS[subject_of[i]],
            i not in away,
            rng.choice(REASONS) if i in away else None,
        )
        for i in range(teachers)
    ]
    class_names = [f"{6 + i % 7}{'ABCDEFGH'[i // 7 % 8]}-{i // 56 + 1}" for i in range(classes)]

    by_subject = [[] for _ in range(subjects)]
    for t, s in enumerate(subject_of):
        by_subject[s].append(t)
    load = [0] * teachers
    had = [[0] * subjects for _ in range(classes)]  # lessons of each subject per class so far
    lessons = []
    for period in range(1, periods + 1):
        free = []
        for pool in by_subject:
            pool = pool[:]
            rng.shuffle(pool)
            pool.sort(key=load.__getitem__, reverse=True)  # pop() takes the least loaded
            free.append(pool)
        order = list(range(classes))
        rng.shuffle(order)
        for c in order:
            counts, start, best = had[c], rng.randrange(subjects), None
            for k in range(subjects):
                s = (start + k) % subjects
                if free[s] and (best is None or counts[s] < counts[best]):
                    best = s
            t = free[best].pop()
            load[t] += 1
            counts[best] += 1
            lessons.append((c, period, t))
    lessons.sort()
    return Plan(rows, class_names, lessons, periods)


class Build:
    """The build the way a user would write it, in steps that can be measured one by one.

    Each step returns the number of calls into the API it made.
    """

    STEPS = ("make_teachers", "add_teachers", "make_classes", "register_periods", "add_classes")

    def __init__(self, api, plan):
        self.api, self.plan = api, plan

    def make_teachers(self):
        teachers = []
        for name, keyword, present, reason in self.plan.teachers:
            t = self.api.Teacher(name, keyword, present)
            if reason is not None:
                t.reason_of_absentee = reason
            teachers.append(t)
        self.teachers = teachers
        return len(teachers)

    def add_teachers(self):
        school = self.school = self.api.School()
        for t in self.teachers:
            school.add_teacher(t)
        return len(self.teachers)

    def make_classes(self):
        self.classes = [self.api.Class(name) for name in self.plan.classes]
        return len(self.classes)

    def register_periods(self):
        register, school, teachers, classes = (
            self.api.register_period,
            self.school,
            self.teachers,
            self.classes,
        )
        for c, period, t in self.plan.lessons:
            register(teachers[t], period, school, classes[c])
        return len(self.plan.lessons)

    def add_classes(self):
        school = self.school
        for c in self.classes:
            school.add_class(c)
        return len(self.classes)


def build(api, plan):
    """Build the school through an API (rotavel or the model) the way a user would."""
    b = Build(api, plan)
    for step in Build.STEPS:
        getattr(b, step)()
    return b.school, b.teachers, b.classes


def write_plan(plan, path):
    """The plan as the text bench/driver.cpp reads: one tab-separated line per teacher, class and lesson."""
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        for name, keyword, present, reason in plan.teachers:
            f.write(
                f"T\t{name}\t{keyword}\t{int(present)}\t{int(reason is not None)}\t{reason or ''}\n"
            )
        for name in plan.classes:
            f.write(f"C\t{name}\n")
        for c, period, t in plan.lessons:
            f.write(f"L\t{c}\t{period}\t{t}\n")
