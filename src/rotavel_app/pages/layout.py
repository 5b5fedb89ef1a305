"""How the board's by-period view is laid out, worked out before the page is written.

A browser cannot repeat a period's heading at the top of a CSS column, nor
choose a type size that fills a screen, so the board does both here: it
estimates how tall every entry is at a given type size and column width,
picks the largest type size at which the day fits one 1920x1080 screen, and
cuts the entries into that many balanced columns, each starting with its
period's heading ("Period 5, continued"). The same columns, four to a
sheet, make the printed pages, so they are cut to fit a landscape A4 or
Letter page as well.

Widths are those of DejaVu Sans, the widest of the usual sans-serif faces
(and what a Linux screen shows for system-ui): with a narrower face the
estimate is too large, and the day fits with room to spare. The estimate
takes time linear in the number of entries, however large the day.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

# The screen the board is made for, in CSS pixels, and its margins.
SCREEN_WIDTH = 1920
SCREEN_HEIGHT = 1080
MARGIN_X = 16  # left and right
MARGIN_TOP = 8
MARGIN_BOTTOM = 8
COLUMN_GAP = 12
TITLE_SIZE = 36  # the header's title, and the summary beside it
SUMMARY_SIZE = 28

# The size of the names and classes (1em of the view), in pixels at 1080p. Details
# are DETAIL of it: at the smallest, 20px, the least a room can read; at the
# largest a day of a few covers is not read any better.
MIN_SIZE = 24
MAX_SIZE = 60
SMALLEST_TEXT = 20  # px at 1080p: no text on the screen is smaller (MIN_SIZE * DETAIL, rounded)
DETAIL = 0.84
HEADING = 0.85
LINE = 1.2  # line height, in ems of the text
MAX_COLUMNS = 6
NARROWEST = 10.0  # ems: a column narrower than this would break most names

# The entry's box, in ems of the view; the stylesheet uses the same figures.
ENTRY_PADDING_Y = 0.1  # top and bottom
ENTRY_PADDING_X = 0.3  # left and right
ENTRY_BORDER = 0.3  # left
ENTRY_GAP = 0.1  # between entries
CLASS_GAP = 0.35  # between the class and the names
HEADING_PADDING = 0.1  # top and bottom, in ems of the heading
HEADING_GAP = 0.2  # above a heading that is not the first of its column
CLASS_WIDTH_MIN = 2.2  # the class column: wide enough for most labels
CLASS_WIDTH_MAX = 4.5

# Printed, four columns to a landscape page: the smaller of A4 and Letter less
# 10mm margins, and the title on the first page, in points; the view's 1em.
PRINT_COLUMNS = 4
PRINT_WIDTH = 735.0
PRINT_HEIGHT = 500.0
PRINT_GAP = 8.0
PRINT_SIZE = 9.5
PRINT_BORDERS = 0.25  # ems: the top and bottom borders of a printed entry (1pt each)

# A little more than the estimate, for rounding and faces that differ.
SAFETY = 1.02

# Advance widths of DejaVu Sans (bold, then book) for the printable ASCII
# characters from the space on, in hundredths of an em.
_BOLD = (
    "35 46 52 84 70 100 87 31 46 46 52 84 38 42 38 37 70 70 70 70 70 70 70 70 70 70 40 40 84 84"
    " 84 58 100 77 76 73 83 68 68 82 84 37 37 77 64 100 84 85 73 85 77 72 68 81 77 110 77 72 73"
    " 46 37 46 84 50 50 67 72 59 72 68 44 72 71 34 34 67 34 104 71 69 72 72 49 60 48 71 65 92 65"
    " 65 58 71 37 71 84"
)
_BOOK = (
    "32 40 46 84 64 95 78 27 39 39 50 84 32 36 32 34 64 64 64 64 64 64 64 64 64 64 34 34 84 84"
    " 84 53 100 68 69 70 77 63 58 77 75 29 29 66 56 86 75 79 60 79 69 63 61 73 68 99 69 61 69"
    " 39 34 39 84 50 50 61 63 55 63 62 35 63 63 28 28 58 28 97 63 61 63 63 41 52 39 63 59 82 59"
    " 59 52 64 34 64 84"
)
_WIDTHS = {
    bold: {chr(32 + i): int(w) / 100 for i, w in enumerate(table.split())}
    for bold, table in ((True, _BOLD), (False, _BOOK))
}


def text_width(text: str, bold: bool) -> float:
    """The width of `text` in ems."""
    widths = _WIDTHS[bold]
    total = 0.0
    for char in text:
        width = widths.get(char)
        if width is None:
            width = _other_width(char, bold)
        total += width
    return total


def _other_width(char: str, bold: bool) -> float:
    import unicodedata

    if unicodedata.combining(char) or unicodedata.category(char) in ("Mn", "Me", "Cf"):
        return 0.0
    if unicodedata.east_asian_width(char) in ("W", "F"):
        return 1.0
    if "\u0600" <= char <= "\u06ff" or "\ufb50" <= char <= "\ufeff":
        # Arabic: DejaVu Sans's letters average 0.48em (0.57 bold) in the pages'
        # words, joined; a fifth more for the widest.
        return 0.68 if bold else 0.58
    return 0.8 if bold else 0.72  # an accented or other letter, generously


@dataclass(frozen=True)
class Words:
    """A text as pieces that do not wrap, with the space between them (0
    where the pieces join without one, as in a class label), in ems."""

    widths: tuple[float, ...]
    gap: float

    @classmethod
    def of(cls, text: str, bold: bool) -> Words:
        space = _WIDTHS[bold][" "]
        return cls(tuple(text_width(word, bold) for word in text.split()), space)

    @classmethod
    def joined(cls, pieces: list[str], bold: bool) -> Words:
        return cls(tuple(text_width(piece, bold) for piece in pieces), 0.0)

    def lines(self, width: float) -> int:
        """Lines taken in `width` ems; a piece wider than that is broken
        anywhere, as the stylesheet allows."""
        count, x = 1, 0.0
        for piece in self.widths:
            if piece > width:
                if x > 0:
                    count += 1
                full = math.ceil(piece / width)
                count += full - 1
                x = piece - (full - 1) * width
                continue
            need = piece if x == 0 else x + self.gap + piece
            if need <= width:
                x = need
            else:
                count += 1
                x = piece
        return count


@dataclass(frozen=True)
class Item:
    """An entry of the view as the layout sees it."""

    period: int
    heading: Words  # its period's heading, at the heading's size
    label: Words  # the class(es), bold
    who: Words  # the substitute, or what happened, bold
    detail: Words  # whose lesson, at the detail size

    def stacked(self, class_width: float) -> bool:
        """Whether the class(es) go above the names rather than beside them:
        a label that would break inside a word, or take more than two lines."""
        return (
            max(self.label.widths, default=0.0) > class_width or self.label.lines(class_width) > 2
        )

    def height(self, width: float, class_width: float) -> float:
        """Its height in ems of the view, in a column `width` ems wide."""
        inside = width - 2 * ENTRY_PADDING_X - ENTRY_BORDER
        if self.stacked(class_width):
            label = self.label.lines(inside) * LINE
            names = (
                self.who.lines(inside) * LINE + self.detail.lines(inside / DETAIL) * LINE * DETAIL
            )
            return label + names + 2 * ENTRY_PADDING_Y + ENTRY_GAP
        text = inside - class_width - CLASS_GAP
        names = self.who.lines(text) * LINE + self.detail.lines(text / DETAIL) * LINE * DETAIL
        label = self.label.lines(class_width) * LINE
        return max(names, label) + 2 * ENTRY_PADDING_Y + ENTRY_GAP

    def heading_height(self, width: float, first: bool) -> float:
        lines = self.heading.lines(width / HEADING)
        return (lines * LINE + 2 * HEADING_PADDING) * HEADING + (0 if first else HEADING_GAP)


@dataclass(frozen=True)
class Layout:
    size: int  # px at 1080p: the view's 1em
    columns: int  # on the screen
    class_width: float  # ems
    chunks: tuple[tuple[int, ...], ...]  # the items of each column, by index
    fits: bool  # whether the day fits one screen at that size


def class_width(items: list[Item]) -> float:
    """The class column's width: the widest piece of a label that is not too
    wide for it; a label with a wider piece goes above its names."""
    pieces = (width for item in items for width in item.label.widths)
    widest = max((width for width in pieces if width <= CLASS_WIDTH_MAX), default=0.0)
    return round(max(widest, CLASS_WIDTH_MIN), 2) + 0.01


def screen_column(size: int, columns: int) -> float:
    """A screen column's width in ems, at `size` px."""
    return (SCREEN_WIDTH - 2 * MARGIN_X - (columns - 1) * COLUMN_GAP) / columns / size


def header_height(title: str, summary: str) -> float:
    """The header's height in px, with the title wrapping when it is long."""
    width = text_width(title, True) * TITLE_SIZE + 24 + text_width(summary, False) * SUMMARY_SIZE
    lines = math.ceil(width / (SCREEN_WIDTH - 2 * MARGIN_X))
    return lines * TITLE_SIZE * LINE + 8


def arrange(items: list[Item], header: float) -> Layout:
    """The largest type size, and the fewest columns at it, at which the
    items fit a 1080p screen under a header `header` px tall; at the least
    size, as many columns as are needed when nothing fits."""
    wide = class_width(items)
    print_width = (PRINT_WIDTH - (PRINT_COLUMNS - 1) * PRINT_GAP) / PRINT_COLUMNS / PRINT_SIZE
    print_heights = [item.height(print_width, wide) + PRINT_BORDERS for item in items]
    print_heads = [
        (item.heading_height(print_width, True), item.heading_height(print_width, False))
        for item in items
    ]
    print_room = PRINT_HEIGHT / PRINT_SIZE / SAFETY
    smallest = 2 * ENTRY_PADDING_Y + ENTRY_GAP + LINE * (1 + DETAIL)  # an entry of two lines
    for size in range(MAX_SIZE, MIN_SIZE - 1, -1):
        room = (SCREEN_HEIGHT - MARGIN_TOP - MARGIN_BOTTOM - header) / size / SAFETY
        for columns in range(1, MAX_COLUMNS + 1):
            width = screen_column(size, columns)
            if width < NARROWEST:
                break
            if len(items) * smallest > columns * room:
                continue  # cannot fit, whatever the names
            cutter = _Cutter(items, width, wide, print_heights, print_heads)
            chunks = cutter.cut(room, print_room)
            if len(chunks) <= columns:
                return Layout(size, columns, wide, cutter.balanced(columns, room, print_room), True)
    # Too much for one screen at the least size: screenfuls of columns, one
    # below the other, as few of them as can be.
    room = (SCREEN_HEIGHT - MARGIN_TOP - MARGIN_BOTTOM - header) / MIN_SIZE / SAFETY
    best: tuple[int, int, list[tuple[int, ...]]] | None = None
    for columns in range(1, MAX_COLUMNS + 1):
        width = screen_column(MIN_SIZE, columns)
        if width < NARROWEST and best is not None:
            break
        chunks = _Cutter(items, width, wide, print_heights, print_heads).cut(room, print_room)
        screens = math.ceil(len(chunks) / columns)
        if best is None or screens < best[0]:
            best = (screens, columns, chunks)
    assert best is not None
    return Layout(MIN_SIZE, best[1], wide, tuple(best[2]), False)


class _Cutter:
    """Cuts the items, in order, into columns no taller than given heights on
    the screen and on paper; a column that starts inside a period starts
    with its heading again."""

    def __init__(
        self,
        items: list[Item],
        width: float,
        class_width: float,
        print_heights: list[float],
        print_heads: list[tuple[float, float]],
    ) -> None:
        self.items = items
        self.heights = [item.height(width, class_width) for item in items]
        self.heads = [
            (item.heading_height(width, True), item.heading_height(width, False)) for item in items
        ]
        self.print_heights = print_heights
        self.print_heads = print_heads

    def cut(self, room: float, print_room: float) -> list[tuple[int, ...]]:
        chunks: list[tuple[int, ...]] = []
        current: list[int] = []
        used = used_print = 0.0
        period = None
        for index, item in enumerate(self.items):
            first_of_period = item.period != period
            period = item.period
            if current:
                head = self.heads[index][1] if first_of_period else 0.0
                head_print = self.print_heads[index][1] if first_of_period else 0.0
                if (
                    used + head + self.heights[index] <= room
                    and used_print + head_print + self.print_heights[index] <= print_room
                ):
                    current.append(index)
                    used += head + self.heights[index]
                    used_print += head_print + self.print_heights[index]
                    continue
                chunks.append(tuple(current))
            # A new column: its heading, then the item, even when taller than the room.
            current = [index]
            used = self.heads[index][0] + self.heights[index]
            used_print = self.print_heads[index][0] + self.print_heights[index]
        if current:
            chunks.append(tuple(current))
        return chunks

    def balanced(self, columns: int, room: float, print_room: float) -> tuple[tuple[int, ...], ...]:
        """The columns of even height: the least room in which the items
        still take no more than `columns` columns."""
        low, high = 0.0, room
        best = self.cut(room, print_room)
        for _ in range(24):
            middle = (low + high) / 2
            chunks = self.cut(middle, print_room)
            if len(chunks) <= columns:
                best, high = chunks, middle
            else:
                low = middle
        return tuple(best)
