"""The names the timetabling programs give their files: enough to tell an export by its
files without loading the reader that reads it (and the XML parser the readers bring)."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from pathlib import Path  # at run time, the caller's Path: a school folder's run needs none

# FET: NAME_timetable.csv is its CSV export of a timetable; NAME_data_and_timetable.fet
# the school's data with the timetable placed in it.
TIMETABLE_SUFFIX = "_timetable.csv"
TIMED_SUFFIX = "_data_and_timetable"
# Untis: the text export's timetable.
UNTIS_TIMETABLE = "GPU001.TXT"


def find_file(folder: Path, name: str) -> Path | None:
    """The file `name` in `folder`, whatever the case of its name (Untis
    writes GPU001.TXT, copies often arrive as gpu001.txt)."""
    exact = folder / name
    if exact.is_file():
        return exact
    try:
        entries = list(folder.iterdir())
    except OSError:
        return None
    for entry in sorted(entries):
        if entry.name.casefold() == name.casefold() and entry.is_file():
            return entry
    return None
