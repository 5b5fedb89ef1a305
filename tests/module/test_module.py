import importlib
import re
import subprocess
import sys
import textwrap
import weakref

import pytest
import rotavel
from rotavel import Class, School, Teacher

TYPES = [Teacher, School, Class]


def instances():
    return [Teacher("Asha", "maths", True), School(), Class("9B")]


def test_reimport_returns_the_cached_module_and_types():
    module = sys.modules.pop("rotavel")
    try:
        again = importlib.import_module("rotavel")
    finally:
        sys.modules["rotavel"] = module
    assert again is module
    assert again.Teacher is Teacher and again.register_period is rotavel.register_period
    assert again.__all__ == ["Teacher", "School", "Class", "register_period"]


@pytest.mark.parametrize(
    "obj, signature",
    [
        (Teacher, "(name, sub, present)"),
        (rotavel.register_period, "(teacher, period, school, class)"),
        (School.add_to_hashmap, "($self, name, teacher)"),
        (Teacher.get_sub, "($self)"),
    ],
)
def test_text_signatures_and_empty_docs(obj, signature):
    assert obj.__text_signature__ == signature
    # Nothing but the signature: the remaining documentation is empty.
    assert obj.__doc__ == ("" if isinstance(obj, type) else None)


def test_methods_and_attributes_are_exactly_the_published_ones():
    def own(tp):
        return sorted(k for k in vars(tp) if not k.startswith("__"))

    assert own(School) == ["add_class", "add_teacher", "add_to_hashmap", "generate_substitutions"]
    assert own(Teacher) == ["add_period", "get_sub", "name", "present", "reason_of_absentee"]
    assert own(Class) == []


@pytest.mark.parametrize("tp", TYPES, ids=lambda t: t.__name__)
def test_types_cannot_be_subclassed(tp):
    with pytest.raises(TypeError) as info:
        type("Sub", (tp,), {})
    assert str(info.value) == f"type 'builtins.{tp.__name__}' is not an acceptable base type"


@pytest.mark.parametrize("obj", instances(), ids=lambda o: type(o).__name__)
def test_instances_have_no_weakrefs_no_new_attributes_and_default_repr(obj):
    name = f"builtins.{type(obj).__name__}"
    with pytest.raises(TypeError) as info:
        weakref.ref(obj)
    assert str(info.value) == f"cannot create weak reference to '{name}' object"
    with pytest.raises(AttributeError) as info:
        obj.extra = 1
    assert str(info.value) == f"'{name}' object has no attribute 'extra'"
    assert not hasattr(obj, "__dict__")
    assert re.fullmatch(rf"<{re.escape(name)} object at 0x[0-9a-fA-F]+>", repr(obj))


def test_second_interpreter_is_refused():
    pytest.importorskip("_testcapi")
    script = textwrap.dedent(f"""
        import os, sys, _testcapi
        import rotavel
        r, w = os.pipe()
        code = (
            "import os, sys\\n"
            "sys.path[:0] = {sys.path!r}\\n"
            "try:\\n"
            "    import rotavel\\n"
            "    msg = 'imported'\\n"
            "except ImportError as e:\\n"
            "    msg = 'ImportError: ' + str(e)\\n"
            "os.write(%d, msg.encode())\\n" % w
        )
        _testcapi.run_in_subinterp(code)
        os.close(w)
        print(os.read(r, 4096).decode())
        import rotavel as again
        print(again is rotavel)
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    message, same = out.stdout.splitlines()
    assert message.startswith("ImportError: PyO3 modules do not yet support subinterpreters, see ")
    assert same == "True"


def _timed_school(teachers, classes, periods):
    """A school of `teachers` (every third away) and `classes` with a lesson in every
    period: large enough, the run takes milliseconds, small, microseconds."""
    school = School()
    staff = [Teacher(f"T{i}", ("maths", "english")[i % 2], i % 3 != 0) for i in range(teachers)]
    for teacher in staff:
        school.add_teacher(teacher)
    groups = [Class(f"C{i}") for i in range(classes)]
    for number, group in enumerate(groups):
        for period in range(1, periods + 1):
            rotavel.register_period(
                staff[(number * 7 + period * 13) % teachers], period, school, group
            )
    for group in groups:
        school.add_class(group)
    return school


@pytest.mark.parametrize(("teachers", "classes"), [(40, 16), (10_000, 4_000)])
def test_the_time_taken_is_written_in_its_unit_with_the_fewest_digits(teachers, classes):
    from support.model import _duration

    scale = {"s": (9, 1_000_000_000), "ms": (6, 1_000_000), "µs": (3, 1_000), "ns": (0, 1)}
    for _ in range(3):
        last = _timed_school(teachers, classes, 10).generate_substitutions().rsplit("\n", 1)[-1]
        shown = re.fullmatch(
            r'"Time taken to generate subs: (([0-9]+)(?:\.([0-9]+))?(s|ms|µs|ns))"', last
        )
        assert shown is not None, last
        text, whole, fraction, unit = shown.groups()
        width, unit_ns = scale[unit]
        assert fraction is None or len(fraction) <= width, text
        nanoseconds = int(whole) * unit_ns + int((fraction or "0").ljust(width, "0")) * (
            unit_ns // 10**width
        )
        assert _duration(nanoseconds) == text
