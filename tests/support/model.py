"""A plain-Python twin of ``rotavel``: the same API, written the obvious way.

It is what a user would write instead of the extension module, and the tests
use it as the oracle: for the same calls it returns the same report (timing
aside) and the same ``str()`` texts, byte for byte.  It deliberately keeps the
literal method of the run (a fresh, sorted candidate list for every absent
lesson, busy tests by scanning the pairs), so the benchmark compares the module
against that method.  Binding errors of the extension are not reproduced.
"""

import contextlib
import sys
import time
import unicodedata
from pathlib import Path

# The Unicode data written down by hand (with its version) lives in the table generator.
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
import gen_unicode

__all__ = [
    "TIMING_TOKEN",
    "Class",
    "PanicException",
    "School",
    "Teacher",
    "mask_timing",
    "record_texts_reused",
    "register_period",
    "run_cut_short",
]

SUBJECTS = {  # keyword (lower case) -> display name
    "chemistry": "Chemistry",
    "physics": "Physics",
    "maths": "Maths",
    "computer": "Computer",
    "english": "English",
    "biology": "Biology",
    "bio": "Biology",
    "p.e": "PhysicalEdu",
    "sanskrit": "Sanskrit",
    "urdu": "Urdu",
    "geography": "Geo",
    "accountancy": "Acc",
    "history": "History",
    "civics": "Civics",
    "business": "Business",
    "art": "Arts",
    "games": "Games",
    "economics": "Economics",
    "hindi": "Hindi",
    "bengali": "Bengali",
    "finfance": "Finance",
}
DEFAULT_REASON = "Planned Absense"
HEADER = "Teacher,Period,Subject,Substitution,Classroom,Reason\n"
NOT_FOUND = "Teacher not found in existing list. Please add to 'teacher_list.csv'"
TIMING_PREFIX = "Time taken to generate subs: "
TIMING_TOKEN = "<duration>"


class PanicException(BaseException):
    """Stands for the extension's internal-failure exception."""


def mask_timing(text):
    """Replace the duration of a report's timing line with TIMING_TOKEN."""
    head, sep, tail = text.rpartition(TIMING_PREFIX)
    if not sep or not tail.endswith('"'):
        raise ValueError("no timing line in report")
    return head + sep + TIMING_TOKEN + '"'


# ---- quoted text and the debug notation ---------------------------------

# Grapheme_Extend is Mn + Me + Other_Grapheme_Extend; unicodedata has no property
# lookup, so the Other_Grapheme_Extend list comes from the table generator, where it is
# written down once with its Unicode version.
_OTHER_GRAPHEME_EXTEND = frozenset(gen_unicode.OTHER_GRAPHEME_EXTEND)
_SIMPLE_ESCAPES = {"\\": "\\\\", '"': '\\"', "\n": "\\n", "\r": "\\r", "\t": "\\t", "\0": "\\0"}
_ESCAPED_CATEGORIES = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs"}


def _char(c):
    if c in _SIMPLE_ESCAPES:
        return _SIMPLE_ESCAPES[c]
    cat = unicodedata.category(c)
    if (
        cat in ("Mn", "Me")
        or ord(c) in _OTHER_GRAPHEME_EXTEND
        or (cat in _ESCAPED_CATEGORIES and c != " ")
    ):
        return f"\\u{{{ord(c):x}}}"
    return c


def quoted(text):
    return '"' + "".join(map(_char, text)) + '"'


class Raw(str):
    """Text written without quotes (a subject's display name)."""


class SetOf(list):
    """A set in the notation: like a list, but in braces."""


class Rec:
    def __init__(self, name, fields, record=None):
        # record: the object shown, when the text may be reused wherever it stands again
        self.name, self.fields, self.record = name, fields, record


def compact(v):
    if isinstance(v, Raw):
        return str(v)
    if isinstance(v, str):
        return quoted(v)
    if isinstance(v, bool):
        return "true" if v else "false"
    if isinstance(v, int):
        return str(v)
    if isinstance(v, tuple):
        return "(" + ", ".join(map(compact, v)) + ")"
    if isinstance(v, SetOf):
        return "{" + ", ".join(map(compact, v)) + "}"
    if isinstance(v, list):
        return "[" + ", ".join(map(compact, v)) + "]"
    if isinstance(v, dict):
        return "{" + ", ".join(compact(k) + ": " + compact(x) for k, x in v.items()) + "}"
    return v.name + " { " + ", ".join(f + ": " + compact(x) for f, x in v.fields) + " }"


# Whether one str() writes each record once per depth and reuses the text where the record
# stands again (a class lists its lessons' teachers, one entry each). Off, every occurrence
# is written anew, the plain way the benchmark times; see record_texts_reused().
_reuse_record_texts = False


@contextlib.contextmanager
def record_texts_reused():
    """Within it, str() reuses each record's text as above: the same texts, several times
    faster for classes of many lessons, for callers that write every object after every step."""
    global _reuse_record_texts
    _reuse_record_texts = True
    try:
        yield
    finally:
        _reuse_record_texts = False


def expanded(v, ind="", texts=None):
    """The expanded form; `texts` keeps the texts of records and lessons for reuse in one str()."""
    inner = ind + "    "

    def block(opening, closing, items):
        if not items:
            return opening + closing
        return opening + "\n" + "".join(inner + i + ",\n" for i in items) + ind + closing

    if isinstance(v, tuple):
        if texts is None or not any(isinstance(x, Rec) and x.record is not None for x in v):
            return block("(", ")", [expanded(x, inner, texts) for x in v])
        # A class's lesson (teacher, period), which the class lists twice and its copies again.
        key = (tuple(x.record if isinstance(x, Rec) else x for x in v), ind)
        if key not in texts:
            texts[key] = block("(", ")", [expanded(x, inner, texts) for x in v])
        return texts[key]
    if isinstance(v, SetOf):
        return block("{", "}", [expanded(x, inner, texts) for x in v])
    if isinstance(v, list):
        return block("[", "]", [expanded(x, inner, texts) for x in v])
    if isinstance(v, dict):
        return block(
            "{", "}", [compact(k) + ": " + expanded(x, inner, texts) for k, x in v.items()]
        )
    if isinstance(v, Rec):
        if texts is None or v.record is None:
            return block(
                v.name + " {", "}", [f + ": " + expanded(x, inner, texts) for f, x in v.fields]
            )
        # Written once unindented; deeper, each line moves right (quoted text has no raw
        # line breaks).
        if v.record not in texts:
            texts[v.record] = expanded(Rec(v.name, v.fields), "", texts)
        return texts[v.record].replace("\n", "\n" + ind) if ind else texts[v.record]
    return compact(v)


def _texts():
    """A fresh store of record texts for one str(), or None when texts are not reused."""
    return {} if _reuse_record_texts else None


# ---- records ------------------------------------------------------------


class _TeacherData:
    """One teacher's record; the pair set is a dict so it keeps insertion order."""

    def __init__(self, name, sub, present):
        self.name, self.sub, self.present = name, sub, present
        self.periods = {}
        self.reason_of_absentee = DEFAULT_REASON

    def copy(self):
        c = _TeacherData(self.name, self.sub, self.present)
        c.periods = dict(self.periods)
        c.reason_of_absentee = self.reason_of_absentee
        return c

    def load(self):
        return len(self.periods)

    def busy(self, period):
        return any(p == period for p, _ in self.periods)

    def debug(self):
        return Rec(
            "Teacher",
            [
                ("name", self.name),
                ("periods", SetOf(self.periods)),
                ("sub", Raw(self.sub)),
                ("present", self.present),
                ("reason_of_absentee", self.reason_of_absentee),
            ],
        )


def _mutex(data):
    return Rec("Mutex", [("data", data.debug())], record=data)


class _ClassData:
    def __init__(self, class_name, list_of_periods):
        self.class_name, self.list_of_periods = class_name, list_of_periods

    def entries(self):
        return [(_mutex(t), p) for t, p in self.list_of_periods]

    def debug(self):
        return Rec("Class", [("class_name", self.class_name), ("list_of_periods", self.entries())])


# ---- the Python-visible classes --------------------------------------------


def parse_subject(text):
    lowered = text.lower()
    if lowered not in SUBJECTS:
        raise TypeError("Wrong subject " + lowered)
    return SUBJECTS[lowered]


class Teacher:
    def __init__(self, name, sub, present):
        self._d = _TeacherData(name, parse_subject(sub), present)

    name = property(lambda self: self._d.name)

    @property
    def present(self):
        return self._d.present

    @present.setter
    def present(self, value):
        if type(value) is not bool:
            raise TypeError(f"'{type(value).__qualname__}' object cannot be converted to 'PyBool'")
        self._d.present = value

    @property
    def reason_of_absentee(self):
        return self._d.reason_of_absentee

    @reason_of_absentee.setter
    def reason_of_absentee(self, value):
        if not isinstance(value, str):
            raise TypeError(
                f"'{type(value).__qualname__}' object cannot be converted to 'PyString'"
            )
        self._d.reason_of_absentee = value

    def add_period(self, period, grade):
        self._d.periods.setdefault((period, grade))

    def get_sub(self):
        return self._d.sub

    def __str__(self):
        d = self._d
        pairs = compact([f"{p}:{g}" for p, g in d.periods])
        return (
            "Teacher:\n    {\n        name:"
            + d.name
            + " \n        periods: "
            + pairs
            + " \n        subject: "
            + d.sub
            + "\n        present: "
            + ("true" if d.present else "false")
            + "\n    }\n"
        )


class Class:
    def __init__(self, name):
        self._d = _ClassData(name, [])

    def __str__(self):
        return quoted(self._d.class_name) + " " + expanded(self._d.entries(), "", _texts())


def group_by_subject(teachers):
    grouping = {}
    for t in teachers:
        grouping.setdefault(t.sub, [])
        if t.present:
            grouping[t.sub].append(t)
    return grouping


def _csv_field(text):
    if any(c in text for c in ',"\r\n'):
        return '"' + text.replace('"', '""') + '"'
    return text


def _duration(ns):
    s, n = divmod(max(ns, 0), 1_000_000_000)
    if s:
        whole, frac, width, unit = s, n, 9, "s"
    elif n >= 1_000_000:
        whole, frac, width, unit = n // 1_000_000, n % 1_000_000, 6, "ms"
    elif n >= 1_000:
        whole, frac, width, unit = n // 1_000, n % 1_000, 3, "µs"
    else:
        whole, frac, width, unit = n, 0, 0, "ns"
    return str(whole) + ("." + str(frac).zfill(width).rstrip("0") if frac else "") + unit


class School:
    def __init__(self):
        self.teacher_map = {}
        self.teachers = []
        self.classes = []

    def add_teacher(self, teacher):
        if teacher._d.name in self.teacher_map:
            return
        record = teacher._d.copy()
        self.teachers.append(record)
        self.teacher_map[record.name] = record

    def add_class(self, klass):
        self.classes.append(_ClassData(klass._d.class_name, list(klass._d.list_of_periods)))
        self.teachers.sort(key=_TeacherData.load)

    def add_to_hashmap(self, name, teacher):
        self.teacher_map[name] = teacher._d.copy()

    def generate_substitutions(self):
        return self._run(assignments=None)

    def _run(self, assignments):
        """The run; with `assignments` a number, it stops with MemoryError when that many
        lessons have been given and another is about to be."""
        table, unresolved = [HEADER], []
        start = time.perf_counter_ns()
        grouping = group_by_subject(self.teachers)
        for klass in self.classes:
            c = klass.class_name
            handled = set()  # (absent teacher's name, period) already dealt with in this class
            for t, p in klass.list_of_periods:
                if t.present or (t.name, p) in handled:
                    continue
                handled.add((t.name, p))
                candidates = sorted(grouping.get(t.sub, []), key=_TeacherData.load)
                sub = next((x for x in candidates if not x.busy(p)), None)
                if sub is None:  # anyone free, in list order, whatever the subject
                    sub = next((u for u in self.teachers if u.present and not u.busy(p)), None)
                if sub is None:
                    unresolved.append(
                        f"Couldnt find a substitution for {t.name} at {p}-{quoted(c)}\n"
                    )
                    continue
                if assignments is not None:
                    if assignments == 0:
                        raise MemoryError
                    assignments -= 1
                sub.periods[(p, c)] = None
                table.append(
                    ",".join(
                        [
                            _csv_field(t.name),
                            str(p),
                            _csv_field(t.sub),
                            _csv_field(sub.name),
                            _csv_field(c),
                            _csv_field(t.reason_of_absentee),
                        ]
                    )
                    + "\n"
                )
        timing = TIMING_PREFIX + _duration(time.perf_counter_ns() - start)
        return "".join(table) + "\n" + quoted("".join(unresolved)) + "\n" + quoted(timing)

    def __str__(self):
        texts = _texts()
        return (
            "List of teachers: "
            + expanded([_mutex(t) for t in self.teachers], "", texts)
            + "\nList of classes:"
            + expanded([_mutex(k) for k in self.classes], "", texts)
            + "\nTeacher_hashtable "
            + compact(
                {s: [_mutex(t) for t in ts] for s, ts in group_by_subject(self.teachers).items()}
            )
        )


def run_cut_short(school, assignments):
    """A run of `school` ended, as an exhausted heap ends the module's, once `assignments`
    lessons were given (a run that gives fewer ends as usual): the substitutes keep the
    lessons given, and nothing is returned."""
    with contextlib.suppress(MemoryError):
        school._run(assignments)


def register_period(teacher, period, school, klass):
    record = school.teacher_map.get(teacher._d.name)
    if record is None:
        raise PanicException(NOT_FOUND)
    entries = klass._d.list_of_periods
    entries.append((record, period))
    record.periods.setdefault((period, klass._d.class_name))
    entries.append((record, period))
