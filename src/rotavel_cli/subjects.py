"""Subjects as people write them, mapped onto the module's keywords.

The module accepts only its own keywords (`maths`, `geography`, `finfance`,
`P.E`...), while a school's export says `Mathematics`, `Geo`, `PE` or
`Computer Science`. The command accepts the keywords, the names the plan
shows and common synonyms, and hands the module the keyword. The plan keeps
the module's display names: they come from `Teacher.get_sub()`, never from
here, so this table only decides which keyword a spelling stands for.
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

# Every keyword the module accepts, in catalogue order.
KEYWORDS: tuple[str, ...] = tuple(k for keywords, _ in SUBJECTS.values() for k in keywords)


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


class UnknownSubject(ValueError):
    """A subject no table entry stands for; the message is ready to show."""


def module_keyword(text: str) -> str:
    """The module's keyword for a subject as a person wrote it."""
    keyword = _SPELLINGS.get(spelling_key(text))
    if keyword is not None:
        return keyword
    import difflib  # only for a hint on bad input: a good run need not load it

    close = difflib.get_close_matches(spelling_key(text), list(_SPELLINGS), n=1, cutoff=0.7)
    hint = f" (did you mean {close[0]!r}?)" if close else ""
    raise UnknownSubject(f"unknown subject {text!r}{hint}; use one of: " + ", ".join(SUBJECTS))
