import os
import re
import subprocess
import sys
import textwrap

import pytest
from rotavel import Class, School, Teacher, register_period
from support.calls import PANIC_NOT_FOUND, Index, outcome

T = Teacher("Asha", "maths", True)
S = School()
C = Class("9B")
S.add_teacher(T)


@pytest.mark.parametrize(
    "call, expected",
    [
        (
            lambda: S.add_teacher(),
            "School.add_teacher() missing 1 required positional argument: 'teacher'",
        ),
        (
            lambda: register_period(),
            "register_period() missing 4 required positional arguments: "
            "'teacher', 'period', 'school', and 'class'",
        ),
        (
            lambda: register_period(T, 1),
            "register_period() missing 2 required positional arguments: 'school' and 'class'",
        ),
        (
            lambda: register_period(T, school=S),
            "register_period() missing 2 required positional arguments: 'period' and 'class'",
        ),
        (lambda: School(1), "School.__new__() takes 0 positional arguments but 1 was given"),
        (
            lambda: Teacher("a", "maths", True, 4),
            "Teacher.__new__() takes 3 positional arguments but 4 were given",
        ),
        (
            lambda: S.add_teacher(T, T),
            "School.add_teacher() takes 1 positional arguments but 2 were given",
        ),
        (
            lambda: S.add_teacher(T, teacher=T),
            "School.add_teacher() got multiple values for argument 'teacher'",
        ),
        (lambda: Class("9B", name="9C"), "Class.__new__() got multiple values for argument 'name'"),
        (
            lambda: Class(name="a", size=3),
            "Class.__new__() got an unexpected keyword argument 'size'",
        ),
        (lambda: Class(Name="a"), "Class.__new__() got an unexpected keyword argument 'Name'"),
        (
            lambda: S.add_teacher(**{"\ud800": 1}),
            "School.add_teacher() got an unexpected keyword argument '\ufffd\ufffd\ufffd'",
        ),
    ],
)
def test_binding_type_errors(call, expected):
    assert outcome(call) == (TypeError, expected)


@pytest.mark.parametrize(
    "call, argument, given, wanted",
    [
        (lambda: Class(5), "name", "int", "PyString"),
        (lambda: Teacher(1, "poetry", 1), "name", "int", "PyString"),
        (lambda: Teacher("a", 5, True), "sub", "int", "PyString"),
        (lambda: Teacher("a", "poetry", 1), "present", "int", "PyBool"),
        (lambda: register_period(S, 1, S, C), "teacher", "School", "Teacher"),
        (lambda: register_period(T, 1, C, C), "school", "Class", "School"),
        (lambda: S.add_class(T), "class", "Teacher", "Class"),
        (lambda: S.add_to_hashmap("a", None), "teacher", "NoneType", "Teacher"),
    ],
)
def test_conversion_type_errors_name_the_argument(call, argument, given, wanted):
    assert outcome(call) == (
        TypeError,
        f"argument '{argument}': '{given}' object cannot be converted to '{wanted}'",
    )


class SubTypeError(TypeError):
    pass


class BadStr:
    def __str__(self):
        raise ValueError("no text")


ROOT = ValueError("root")


def raise_(exc, cause=None):
    raise exc from cause


@pytest.mark.parametrize(
    "inner, expected_type, expected, cause",
    [
        (lambda: raise_(TypeError("inner")), TypeError, "argument 'period': inner", None),
        (lambda: raise_(TypeError("inner"), ROOT), TypeError, "argument 'period': inner", ROOT),
        (
            lambda: raise_(TypeError("\ud800")),
            TypeError,
            "argument 'period': \ufffd\ufffd\ufffd",
            None,
        ),
        (lambda: raise_(SubTypeError("sub")), SubTypeError, "sub", None),
        (lambda: raise_(ValueError("value")), ValueError, "value", None),
    ],
)
def test_prefix_only_for_exact_type_error(inner, expected_type, expected, cause):
    with pytest.raises(BaseException) as info:
        T.add_period(Index(inner), "x")
    assert (type(info.value), str(info.value)) == (expected_type, expected)
    assert info.value.__cause__ is cause


@pytest.mark.parametrize(
    "reenter, expected",
    [
        # register_period holds the teacher shared while converting the period.
        (
            lambda t, s: register_period(t, Index(lambda: t.add_period(9, "x")), s, Class("9B")),
            "Already borrowed",
        ),
        (
            lambda t, s: register_period(
                t, Index(lambda: setattr(t, "present", False)), s, Class("9B")
            ),
            "Already borrowed",
        ),
        # add_period holds the teacher exclusively while converting its arguments.
        (lambda t, s: t.add_period(Index(t.get_sub), "x"), "Already mutably borrowed"),
    ],
)
def test_reentrant_access_conflicts_release_every_access(reenter, expected):
    t, s = Teacher("Asha", "maths", True), School()
    s.add_teacher(t)
    before_t, before_s = str(t), str(s)
    assert outcome(reenter, t, s) == (RuntimeError, expected)
    assert (str(t), str(s)) == (before_t, before_s)
    t.add_period(2, "y")
    t.present = False
    register_period(t, 3, s, Class("9B"))
    assert '"2:y"' in str(t) and '(3, "9B")' in str(s)


def test_panic_exception_traits(panic_type):
    assert (panic_type.__module__, panic_type.__name__) == ("pyo3_runtime", "PanicException")
    assert panic_type.__bases__ == (BaseException,)
    assert not issubclass(panic_type, Exception)
    t, s, c = Teacher("Asha", "maths", True), School(), Class("9B")
    with pytest.raises(panic_type) as info:
        try:
            register_period(t, 1, s, c)
        except Exception:
            pytest.fail("an internal failure was caught as an Exception")
    assert str(info.value) == PANIC_NOT_FOUND
    assert info.value.args == (PANIC_NOT_FOUND,)
    # Every access was released: all three objects accept calls again.
    s.add_teacher(t)
    register_period(t, 1, s, c)
    t.present = False
    assert str(c).count('name: "Asha"') == 2


REPORT = r"thread '<unnamed>' panicked at [^\n]+:\d+:\d+:\n" + re.escape(PANIC_NOT_FOUND) + r"\n"


def test_hint_line_only_on_first_report_of_process():
    script = textwrap.dedent("""
        import rotavel
        for _ in range(2):
            try:
                rotavel.register_period(rotavel.Teacher("A", "maths", True), 1,
                                        rotavel.School(), rotavel.Class("c"))
            except BaseException as e:
                assert type(e).__name__ == "PanicException"
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert (out.returncode, out.stdout) == (0, "")
    assert re.fullmatch(REPORT + r"note: [^\n]*\n" + REPORT, out.stderr), out.stderr


@pytest.mark.parametrize(
    "payload, message",
    [
        ("boom", "boom"),
        (BadStr(), "Unwrapped panic from Python code"),
    ],
)
def test_panic_fetched_back_from_python_is_resumed(capfd, panic_type, payload, message):
    t = Teacher("Asha", "maths", True)
    capfd.readouterr()
    with pytest.raises(panic_type) as info:
        t.add_period(Index(lambda: raise_(panic_type(payload))), "x")
    assert str(info.value) == message
    stderr = capfd.readouterr().err
    assert stderr.startswith(
        "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
        "Python stack trace below:\nTraceback (most recent call last):\n"
    ), stderr
    assert "panicked at" not in stderr
    assert "pyo3_runtime.PanicException" in stderr
    t.add_period(1, "x")
    assert '"1:x"' in str(t)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs RLIMIT_AS")
@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="an address-space limit starves the sanitizer's shadow memory",
)
def test_allocation_failure_raises_memory_error_and_objects_stay_usable():
    script = textwrap.dedent("""
        import resource, rotavel
        t = rotavel.Teacher("Asha", "maths", True)
        before = str(t)
        big = "x" * (256 << 20)
        with open("/proc/self/statm") as f:
            size = int(f.read().split()[0]) * resource.getpagesize()
        old = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (size + (64 << 20), old[1]))
        try:
            t.add_period(1, big)
        except MemoryError:
            print("MemoryError")
        finally:
            resource.setrlimit(resource.RLIMIT_AS, old)
        print(str(t) == before)
        t.add_period(2, "ok")
        print('"2:ok"' in str(t))
    """)
    out = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=120
    )
    assert (out.returncode, out.stdout) == (0, "MemoryError\nTrue\nTrue\n"), out.stderr
