#!/usr/bin/env python3.12
"""Writes src/school/unicode_data.cpp: the Unicode character data the module uses.

The module needs four things about a code point: its full default lower-case mapping,
whether it is Cased and Case_Ignorable (for the final form of capital sigma), whether it
is Grapheme_Extend, and whether its general category is one that quoted text escapes.
They come from this interpreter's ``unicodedata`` and ``str`` methods, plus two short
lists that ``unicodedata`` does not expose, copied below from the Unicode data files of
the pinned version. The output is committed, so building never runs this script;
run it again (with an interpreter whose ``unicodedata.unidata_version`` is the pinned
one) only to change what the tables hold:

    python3.12 tools/gen_unicode.py            # rewrites the file
    python3.12 tools/gen_unicode.py --check    # exit 1 when the file differs
"""

import argparse
import sys
import unicodedata
from pathlib import Path

UNICODE_VERSION = "15.0.0"
OUTPUT = Path(__file__).resolve().parent.parent / "src" / "school" / "unicode_data.cpp"
CODE_POINTS = 0x110000

# PropList.txt 15.0.0, Other_Grapheme_Extend.
OTHER_GRAPHEME_EXTEND = (
    [
        0x09BE,
        0x09D7,
        0x0B3E,
        0x0B57,
        0x0BBE,
        0x0BD7,
        0x0CC2,
        0x0CD5,
        0x0CD6,
        0x0D3E,
        0x0D57,
        0x0DCF,
        0x0DDF,
        0x1B35,
        0x200C,
        0x302E,
        0x302F,
        0xFF9E,
        0xFF9F,
        0x1133E,
        0x11357,
        0x114B0,
        0x114BD,
        0x115AF,
        0x11930,
        0x1D165,
    ]
    + list(range(0x1D16E, 0x1D173))
    + list(range(0xE0020, 0xE0080))
)

# WordBreakProperty.txt 15.0.0, Word_Break = MidLetter, MidNumLet and Single_Quote: with
# the categories below they make up Case_Ignorable (DerivedCoreProperties.txt).
WORD_BREAK_MID = [
    0x003A,
    0x00B7,
    0x0387,
    0x055F,
    0x05F4,
    0x2027,
    0xFE13,
    0xFE55,
    0xFF1A,  # MidLetter
    0x002E,
    0x2018,
    0x2019,
    0x2024,
    0xFE52,
    0xFF07,
    0xFF0E,  # MidNumLet
    0x0027,  # Single_Quote
]
CASE_IGNORABLE_CATEGORIES = {"Mn", "Me", "Cf", "Lm", "Sk"}
GRAPHEME_EXTEND_CATEGORIES = {"Mn", "Me"}
# Quoted text shows these as \u{...} (the space, the one Zs it keeps, is left to the writer).
ESCAPED_CATEGORIES = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs"}

# Flag bits; src/school/unicode_data.hpp names the same values.
CASED, CASE_IGNORABLE, GRAPHEME_EXTEND, ESCAPED_CATEGORY, LOWER_IS_SEQUENCE = 1, 2, 4, 8, 16


def properties():
    """One (lower, flags) pair per code point; lower is a delta, or an offset into the
    sequences when the mapping has several code points."""
    sequences = []  # each: length, then the code points
    seen = {}
    other_extend = set(OTHER_GRAPHEME_EXTEND)
    word_break_mid = set(WORD_BREAK_MID)
    rows = []
    for cp in range(CODE_POINTS):
        ch = chr(cp)
        category = unicodedata.category(ch)
        flags = 0
        # For one character, islower/isupper are the Lowercase and Uppercase properties;
        # Cased is those two and the titlecase letters.
        if ch.islower() or ch.isupper() or category == "Lt":
            flags |= CASED
        if category in CASE_IGNORABLE_CATEGORIES or cp in word_break_mid:
            flags |= CASE_IGNORABLE
        if category in GRAPHEME_EXTEND_CATEGORIES or cp in other_extend:
            flags |= GRAPHEME_EXTEND
        if category in ESCAPED_CATEGORIES:
            flags |= ESCAPED_CATEGORY
        # Alone, capital sigma takes its non-final form; the final form is decided by context.
        lowered = [ord(c) for c in ch.lower()]
        if len(lowered) == 1:
            lower = lowered[0] - cp
        else:
            key = tuple(lowered)
            if key not in seen:
                seen[key] = len(sequences)
                sequences += [len(lowered), *lowered]
            lower = seen[key]
            flags |= LOWER_IS_SEQUENCE
        rows.append((lower, flags))
    return rows, sequences


def split(values, shift):
    """Cuts values into blocks of 2**shift, stores each distinct block once and returns the
    block number of each position with the stored blocks."""
    size = 1 << shift
    blocks, index1, where = [], [], {}
    for start in range(0, len(values), size):
        block = tuple(values[start : start + size])
        if block not in where:
            where[block] = len(blocks)
            blocks.append(block)
        index1.append(where[block])
    index2 = [v for block in blocks for v in block]
    return index1, index2


def int_type(values):
    top = max(values)
    return (
        ("std::uint8_t", 1)
        if top < 1 << 8
        else ("std::uint16_t", 2)
        if top < 1 << 16
        else ("std::uint32_t", 4)
    )


def smallest_split(values):
    """Three levels: the block numbers of the two-level split are themselves split, which
    folds the long unassigned and private-use stretches into a few shared blocks."""
    best = None
    for low in range(2, 10):
        middle, bottom = split(values, low)
        for high in range(2, 10):
            top, middle_blocks = split(middle, high)
            size = sum(len(t) * int_type(t)[1] for t in (top, middle_blocks, bottom))
            if best is None or size < best[0]:
                best = (size, high, low, top, middle_blocks, bottom)
    return best[1:]


def array(ctype, name, values, per_line=16):
    lines = [f"constexpr {ctype} {name}[{len(values)}] = {{"]
    for start in range(0, len(values), per_line):
        lines.append("    " + ", ".join(str(v) for v in values[start : start + per_line]) + ",")
    lines.append("};")
    return "\n".join(lines)


def generate():
    if unicodedata.unidata_version != UNICODE_VERSION:
        raise SystemExit(
            f"this interpreter has Unicode {unicodedata.unidata_version}, "
            f"the tables are pinned to {UNICODE_VERSION}"
        )
    rows, sequences = properties()
    records = sorted(set(rows))
    number = {r: i for i, r in enumerate(records)}
    high, low, top, middle, bottom = smallest_split([number[r] for r in rows])
    record_lines = "\n".join(f"    {{{lower}, {flags}}}," for lower, flags in records)
    return f"""\
// Generated by tools/gen_unicode.py from Python's unicodedata, Unicode {UNICODE_VERSION}. Do not edit:
// change the generator and run it again.
#include "school/unicode_data.hpp"

#include <cstdint>

namespace school::unicode {{

const char version[] = "{UNICODE_VERSION}";

namespace {{

// The distinct (lower-case mapping, flags) pairs.
constexpr CharInfo records[{len(records)}] = {{
{record_lines}
}};

// Three levels of blocks, each distinct block stored once: the top level is indexed by the
// high bits of the code point, the next two by the following bits of it.
constexpr unsigned high_shift = {high};
constexpr unsigned low_shift = {low};
{array(int_type(top)[0], "top", top)}
{array(int_type(middle)[0], "middle", middle)}
{array(int_type(bottom)[0], "bottom", bottom)}

// Lower-case mappings of several code points: a length, then the code points.
{array("char32_t", "sequences", sequences)}

}}  // namespace

const CharInfo& info(char32_t c) noexcept {{
  if (c >= {CODE_POINTS:#x}) c = 0xFFFF;  // not a code point: a noncharacter's data
  const std::uint32_t m = top[c >> (high_shift + low_shift)];
  const std::uint32_t b = middle[(m << high_shift) + ((c >> low_shift) & ((1u << high_shift) - 1))];
  return records[bottom[(b << low_shift) + (c & ((1u << low_shift) - 1))]];
}}

std::u32string_view lower_sequence(std::int32_t offset) noexcept {{
  const auto at = static_cast<std::size_t>(offset);
  return {{sequences + at + 1, sequences[at]}};
}}

}}  // namespace school::unicode
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--check", action="store_true", help="compare with the committed file, write nothing"
    )
    parser.add_argument("--output", type=Path, default=OUTPUT)
    args = parser.parse_args()
    text = generate()
    if args.check:
        if args.output.read_text(encoding="utf-8") != text:
            print(f"{args.output} differs from what the generator writes", file=sys.stderr)
            return 1
        return 0
    args.output.write_text(text, encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
