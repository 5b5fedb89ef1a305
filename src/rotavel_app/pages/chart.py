"""The history chart's geometry: covers per teacher as horizontal bars.

Only numbers are worked out here; the template draws them as inline SVG,
so every name passes through its autoescaping like any other text.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass

from rotavel_app.pages.wording import name_key

# Bars drawn; a longer list is in the table below the chart.
MOST_BARS = 40
LABEL_WIDTH = 260  # the names, right-aligned against the bars
PLOT_WIDTH = 560
BAR_HEIGHT = 22
BAR_GAP = 6
TOP = 28  # room for the scale's numbers


@dataclass(frozen=True)
class Bar:
    name: str
    count: int
    y: int
    width: float


@dataclass(frozen=True)
class Tick:
    value: int
    x: float


@dataclass(frozen=True)
class Chart:
    bars: tuple[Bar, ...]
    ticks: tuple[Tick, ...]
    more: int  # teachers left out of the chart
    width: int
    height: int
    label_width: int = LABEL_WIDTH
    bar_height: int = BAR_HEIGHT
    top: int = TOP


def bar_chart(counts: Sequence[tuple[str, int]], most: int = MOST_BARS) -> Chart:
    """Teachers with at least one cover, most covers first (then by name)."""
    ordered = sorted((c for c in counts if c[1] > 0), key=lambda c: (-c[1], name_key(c[0])))
    shown = ordered[:most]
    step = _step(shown[0][1] if shown else 1)
    top_value = max(step, math.ceil((shown[0][1] if shown else 1) / step) * step)
    scale = PLOT_WIDTH / top_value
    bars = tuple(
        Bar(name, count, TOP + i * (BAR_HEIGHT + BAR_GAP), round(count * scale, 2))
        for i, (name, count) in enumerate(shown)
    )
    ticks = tuple(
        Tick(value, round(LABEL_WIDTH + value * scale, 2))
        for value in range(0, top_value + 1, step)
    )
    height = TOP + len(bars) * (BAR_HEIGHT + BAR_GAP) + BAR_GAP
    return Chart(bars, ticks, len(ordered) - len(shown), LABEL_WIDTH + PLOT_WIDTH + 40, height)


def _step(largest: int) -> int:
    """A round step (1, 2, 5, 10, 20, ...) that gives the scale at most 6 intervals."""
    magnitude = 1
    while True:
        for factor in (1, 2, 5):
            if largest <= 6 * factor * magnitude:
                return factor * magnitude
        magnitude *= 10
