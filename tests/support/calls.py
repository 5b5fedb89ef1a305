"""Helpers for the tests that call the module straight from Python."""

import gc
import os
import sys

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

    # What the tests before left alive is set aside, so that each collection only walks what
    # the calls made: in a long test run a full collection would dominate the check.
    gc.collect()
    gc.freeze()
    try:
        _measure(one_round, reps, rounds, warmup)
    finally:
        gc.unfreeze()


def _measure(one_round, reps, rounds, warmup):
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


# The random tests' depth (tests/conftest.py loads the profile of this name).
HYPOTHESIS_PROFILE = os.environ.get("HYPOTHESIS_PROFILE", "test")
