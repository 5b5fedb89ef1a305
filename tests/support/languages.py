"""The catalogues as the tests read them, and the scan for English left in a text."""

import re
from functools import cache
from pathlib import Path

from babel.messages.pofile import read_po

ROOT = Path(__file__).resolve().parents[2]
LOCALE = ROOT / "src" / "rotavel_app" / "locale"
LANGUAGES = ["en", "fr", "de", "es", "nl", "ar"]


@cache
def catalogue(lang):
    with open(LOCALE / lang / "LC_MESSAGES" / "rotavel.po", "rb") as file:
        return read_po(file)


def fragments(text):
    """The words of a message between its placeholders and markup."""
    return [
        part.strip(" .,:;·()“”'\"")
        for part in re.split(r"%(?:\(\w+\))?[sdr]|<[^>]*>", text)
        if re.search(r"[A-Za-z]{2}", part)
    ]


def english_left(text, lang):
    """The English message words in `text` that the language's own catalogue never
    uses (a word both languages share, such as "Absences", is no leftover)."""
    english = {f for m in catalogue("en") if m.id for i in ids(m.id) for f in fragments(i)}
    translated = " | ".join(
        f for m in catalogue(lang) if m.id for s in ids(m.string) for f in fragments(s)
    )
    return sorted(
        f
        for f in english
        if re.search(rf"(?<!\w){re.escape(f)}(?!\w)", text)
        and not re.search(rf"(?<!\w){re.escape(f)}(?!\w)", translated)
    )


def ids(value):
    return [value] if isinstance(value, str) else list(value)


def in_turn(items, languages=LANGUAGES[1:]):
    """Each item with one language other than English, the languages taken in turn: a
    message left unmarked shows in any of them, and every language is still met."""
    return [(languages[n % len(languages)], item) for n, item in enumerate(items)]
