"""The module's own Unicode tables against Python's, over every code point.

Lower-casing shows in the wrong-subject message and the escapes of quoted text in the
printed text of a Class, so both are compared with what Python computes from its own
``str.lower()`` and ``unicodedata``.
"""

import os
import sys
import unicodedata
from pathlib import Path

import pytest
from rotavel import Class, Teacher
from support.model import quoted

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
import gen_unicode

pytestmark = pytest.mark.skipif(
    unicodedata.unidata_version != gen_unicode.UNICODE_VERSION,
    reason=f"the tables implement Unicode {gen_unicode.UNICODE_VERSION}, this Python has "
    f"{unicodedata.unidata_version}",
)

PREFIX = "Wrong subject "
SEP = "\n"  # neither cased nor case-ignorable: each segment lower-cases on its own
SCALARS = [chr(c) for c in range(0x110000) if not 0xD800 <= c <= 0xDFFF and chr(c) != SEP]


def lowered_by_module(text):
    # Not pytest.raises: its ExceptionInfo would keep the traceback, and through it the calling
    # test's frame with its million-entry lists, alive until the cyclic collector ran.
    try:
        Teacher("Asha", text, True)
    except TypeError as e:
        message = str(e)
    else:
        pytest.fail("the module took the subject")
    assert message.startswith(PREFIX)
    return message[len(PREFIX) :]


# Each pattern puts every code point c beside capital sigma where it decides the sigma's
# form: whether c is Cased or Case_Ignorable, read backwards and forwards.
@pytest.mark.parametrize(
    "before, after",
    [
        ("", ""),
        ("", "\u03a3"),
        ("A", "\u03a3"),
        ("A\u03a3", ""),
        ("A\u03a3", "A"),
    ],
)
def test_lower_casing_agrees_with_python_for_every_code_point(before, after):
    segments = [before + c + after for c in SCALARS]
    got = lowered_by_module(SEP.join(segments)).split(SEP)
    expected = SEP.join(segments).lower().split(SEP)
    assert len(got) == len(expected)
    wrong = [
        (f"U+{ord(c):04X}", seg, g, e)
        for c, seg, g, e in zip(SCALARS, segments, got, expected)
        if g != e
    ]
    assert wrong == []


def test_quoted_text_agrees_with_unicodedata_for_every_code_point():
    block = 0x1000
    wrong = []
    for start in range(0, len(SCALARS), block):
        name = "".join(SCALARS[start : start + block])
        if str(Class(name)) != quoted(name) + " []":
            wrong += [f"U+{ord(c):04X}" for c in name if str(Class(c)) != quoted(c) + " []"]
    assert wrong == []


def test_committed_tables_are_what_the_generator_writes():
    assert gen_unicode.OUTPUT.read_text(encoding="utf-8") == gen_unicode.generate()


def available_memory():
    try:
        with open("/proc/meminfo") as f:
            fields = dict(line.split(":", 1) for line in f)
        return int(fields["MemAvailable"].split()[0]) * 1024
    except (OSError, KeyError, ValueError):
        return 0


# "bio" + padding + "É" is 5 + padding bytes of UTF-8. With 2**32 - 2 blanks a length cut to
# 32 bits would read "bio" and accept it; with 2**31 it would be negative and lose the text.
@pytest.mark.parametrize("padding", [2**31, 2**32 - 2], ids=["over-2GiB", "over-4GiB"])
@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="gigabytes of text under the sanitizer take too long",
)
@pytest.mark.skipif(
    not os.environ.get("ROTAVEL_HUGE_TESTS"),
    reason="takes up to 21 GB and a minute; run by make test-huge",
)
def test_subjects_longer_than_32_bits_are_lowered_whole(padding):
    # At the peak: the text, its UTF-8 form, the message in C++, and the message in Python
    # twice over while the interpreter widens it from ASCII; and a margin.
    needed = 5 * padding + (1 << 30)
    if available_memory() < needed:
        pytest.skip(f"needs {needed >> 30} GiB of available memory")
    text = "".join(("bio", "-" * padding, "\u00c9"))
    with pytest.raises(TypeError) as raised:
        Teacher("Asha", text, True)
    del text
    message = str(raised.value)
    del raised
    assert message == "".join(("Wrong subject bio", "-" * padding, "\u00e9"))
