"""A school's settings: one small optional file, `rotavel.toml`, in its folder.

Everything has a default, so a school without the file plans as before:

    name = "Hillside Academy"     # the title of every output (default: the folder's name)
    show_reasons = false          # absence reasons on the board and slips (default: false)
    board_refresh = 60            # seconds between the board's reloads; 0 = never
    slips_per_page = 0            # at most this many cover slips on a printed page; 0 = as fit
    language = "fr"               # what people read: en, ar, de, es, fr, nl (default: en)

    [times]                       # clock times of the periods, shown on slips and the board
    1 = "08:30-09:20"
    2 = "09:20-10:10"

Reasons stay on the cover manager's own outputs (table, csv, report) either
way; `show_reasons` only decides the pages people read.
"""

from __future__ import annotations

import os
import re

from rotavel_cli.files import read_text
from rotavel_cli.messages import InputError, shown
from rotavel_cli.records import field, record

# typing's flag, without importing typing on every run: mypy takes the name as true.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from rotavel_cli.files import StrPath

SETTINGS_FILE = "rotavel.toml"

# Compiled at its first use (re keeps it): only schools with times pay for it.
_TIME = r"\s*([0-9]{1,2})[:.h]([0-9]{2})\s*(?:[-–]\s*([0-9]{1,2})[:.h]([0-9]{2}))?\s*"


@record(frozen=True)
class Settings:
    name: str | None = None
    show_reasons: bool = False
    board_refresh: int = 60
    slips_per_page: int = 0  # 0: as many as fit
    language: str = "en"  # the pages', the table's and the web desk's (see language.py)
    times: dict[int, str] = field(default_factory=dict)  # period -> "08:30–09:20"
    # The desk's rules (see desk.py): the window for fair shares and caps.
    window: str = "week"  # "week", "cycle" (cycle_days school days) or "term"
    cycle_days: int = 10
    term_start: str | None = None  # ISO date
    cap_day: int | None = None
    cap_week: int | None = None
    week_a: str | None = None  # an ISO date in an A week, for timetables of A and B weeks


_KEYS = {
    "name": str,
    "show_reasons": bool,
    "board_refresh": int,
    "slips_per_page": int,
    "language": str,
    "times": dict,
    "window": str,
    "cycle_days": int,
    "term_start": str,
    "cap_day": int,
    "cap_week": int,
    "week_a": str,
}


def load_settings(folder: StrPath | None) -> Settings:
    """The folder's settings, or the defaults when it has no settings file."""
    if folder is None:
        return Settings()
    path = os.path.join(folder, SETTINGS_FILE)
    if not os.path.exists(path):
        return Settings()
    import tomllib  # only a school with settings pays for the parser

    try:
        data = tomllib.loads(read_text(path))
    except tomllib.TOMLDecodeError as error:
        raise InputError(f"{path}: not valid TOML: {error}") from None
    return parse_settings(data, path)


def parse_settings(data: dict[str, Any], path: StrPath) -> Settings:
    values: dict[str, Any] = {}
    for key, value in data.items():
        kind = _KEYS.get(key)
        if kind is None:
            known = ", ".join(_KEYS)
            raise InputError(f"{path}: unknown setting {shown(key)}; the settings are: {known}")
        if not isinstance(value, kind) or (kind is int and isinstance(value, bool)):
            raise InputError(f"{path}: {key} must be {kind.__name__}, not {shown(str(value))}")
        values[key] = value
    if "times" in values:
        values["times"] = _times(values["times"], path)
    if "language" in values:
        from rotavel_cli.language import languages

        if values["language"] not in languages():
            raise InputError(
                f"{path}: language {shown(values['language'])} is not one of {', '.join(languages())}"
            )
    if values.get("window", "week") not in ("week", "cycle", "term"):
        raise InputError(f"{path}: window must be week, cycle or term")
    for key in ("board_refresh", "slips_per_page", "cycle_days", "cap_day", "cap_week"):
        if key in values and values[key] < 0:
            raise InputError(f"{path}: {key} must not be negative")
    return Settings(**values)


def parse_time(text: str) -> str | None:
    """A period's clock time as shown ("08:30–09:20"), or None when `text` is not one."""
    match = re.fullmatch(_TIME, text)
    if match is None:
        return None
    start = f"{int(match[1]):02}:{match[2]}"
    return start + (f"–{int(match[3]):02}:{match[4]}" if match[3] else "")


def _times(table: dict[str, Any], path: StrPath) -> dict[int, str]:
    times = {}
    for key, value in table.items():
        try:
            period = int(key)
        except ValueError:
            raise InputError(f"{path}: [times] {shown(key)} is not a period number") from None
        time = parse_time(value) if isinstance(value, str) else None
        if time is None:
            raise InputError(
                f'{path}: [times] {key} = {shown(str(value))} is not a time such as "08:30-09:20"'
            )
        times[period] = time
    return times
