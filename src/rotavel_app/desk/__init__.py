"""The cover desk: the school's record (absences, covers, rules, publications) in SQLite,
and what it tells people.

`Desk` (desk.py) is the door to it; the names below can be imported from here.
They are loaded on first use, so a module of the package (publishing.py, feed.py)
can be imported without the whole desk.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from rotavel_app.desk.desk import (
        DB_NAME,
        AbsenceRecord,
        CoverRecord,
        Desk,
        DeskError,
        FreeTeacher,
        StaffRule,
        WhyMe,
        record_names,
        window_start,
    )

__all__ = [
    "DB_NAME",
    "AbsenceRecord",
    "CoverRecord",
    "Desk",
    "DeskError",
    "FreeTeacher",
    "StaffRule",
    "WhyMe",
    "record_names",
    "window_start",
]


def __getattr__(name: str) -> Any:
    if name in __all__:
        from rotavel_app.desk import desk

        return getattr(desk, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
