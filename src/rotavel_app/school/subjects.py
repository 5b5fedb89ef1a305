"""Subjects as schools write them, and their places in the module's catalogue.

A school teaches Music, Latin and Drama; the module knows twenty subjects
of its own (`maths`, `geography`, `P.E`, ...). Subjects are therefore the
school's free text, shown as the school writes them; two spellings are one
subject when they compare equal without case and blanks, or when both are
names of one catalogue subject (`Maths`, `Mathematics`).

The module only ever looks up the subject of an absent teacher, so a run
needs distinct catalogue places for the day's absent subjects alone: each
gets one of its own, and every other subject shares a place no absent
subject holds. Teachers of one subject then meet in one candidate list and
no one else does, which is all the run asks of a subject. A subject of the
catalogue keeps its own place whenever it can, so a school that uses only
those is handed to the module exactly as before.
"""

from __future__ import annotations

import unicodedata

# Display name -> (the module's keywords for it, other spellings people use).
# The display names and keywords must be the module's own; a test builds a
# Teacher from every keyword and compares get_sub() with the display name.
SUBJECTS: dict[str, tuple[tuple[str, ...], tuple[str, ...]]] = {
    "Chemistry": (("chemistry",), ("chem",)),
    "Physics": (("physics",), ()),
    "Maths": (("maths",), ("math", "mathematics")),
    "Computer": (
        ("computer",),
        ("computers", "computing", "computer science", "cs", "ict", "informatics"),
    ),
    "English": (("english",), ("english language", "english literature")),
    "Biology": (("biology", "bio"), ()),
    "PhysicalEdu": (
        ("P.E",),
        ("physicaledu", "pe", "p.e.", "phys ed", "physical education"),
    ),
    "Sanskrit": (("sanskrit",), ()),
    "Urdu": (("urdu",), ()),
    "Geo": (("geography",), ("geo", "geog")),
    "Acc": (("accountancy",), ("acc", "accounting", "accounts")),
    "History": (("history",), ()),
    "Civics": (("civics",), ("civic education", "citizenship")),
    "Business": (("business",), ("business studies",)),
    "Arts": (("art",), ("arts", "fine art", "fine arts", "art and design", "visual arts")),
    "Games": (("games",), ()),
    "Economics": (("economics",), ("econ", "econs")),
    "Hindi": (("hindi",), ()),
    "Bengali": (("bengali",), ("bangla",)),
    "Finance": (("finfance",), ("finance",)),
}

# One keyword for each subject of the catalogue.
KEYWORDS_BY_PLACE: tuple[str, ...] = tuple(keywords[0] for keywords, _ in SUBJECTS.values())


def spelling_key(text: str) -> str:
    """How two spellings are compared: in Unicode NFC, without regard to
    case, and with every run of blanks read as one space."""
    return " ".join(unicodedata.normalize("NFC", text).casefold().split())


def _spellings() -> dict[str, str]:
    """Every accepted spelling (as compared) -> the keyword to give the module."""
    table: dict[str, str] = {}
    for name, (keywords, synonyms) in SUBJECTS.items():
        for spelling in (*keywords, name, *synonyms):
            table.setdefault(spelling_key(spelling), keywords[0])
    return table


_SPELLINGS = _spellings()


# Places the module has for subjects, one of them kept for the subjects nobody
# is away from when another absent subject needs the rest.
PLACES = len(SUBJECTS)


def subject_key(text: str) -> str:
    """What makes two spellings one subject: the catalogue name a spelling
    stands for, else the spelling compared without case and blanks."""
    key = spelling_key(text)
    keyword = _SPELLINGS.get(key)
    return f"={keyword}" if keyword is not None else key


def catalogue_keyword(key: str) -> str | None:
    """The module's own keyword for a subject key, when it is one of the catalogue's."""
    return key[1:] if key.startswith("=") else None


def places(absent: list[str], others: set[str]) -> dict[str, str] | None:
    """A module keyword for each subject key: `absent` (those the run looks
    up) each get their own, `others` whatever none of those holds. None when
    the catalogue is too small for the day."""
    spare_needed = bool(others - set(absent))
    if len(absent) + spare_needed > PLACES:
        return None
    chosen: dict[str, str] = {}
    taken: set[str] = set()
    for key in absent:  # the catalogue's own first, so they keep their places
        own = catalogue_keyword(key)
        if own is not None:
            chosen[key] = own
            taken.add(own)
    free = [k for k in KEYWORDS_BY_PLACE if k not in taken]
    for key in absent:
        if key not in chosen:
            chosen[key] = free.pop(0)
            taken.add(chosen[key])
    spare = free[0] if free else None
    for key in others:
        if key in chosen:
            continue
        own = catalogue_keyword(key)
        chosen[key] = own if own is not None and own not in taken else spare or ""
    return chosen
