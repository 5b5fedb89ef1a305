"""Checks the message catalogues (src/rotavel_app/locale) for `make lint`.

Fails, saying what to do, when
- the template (rotavel.pot) is not what the code and templates mark today (a message
  added or changed without `make catalogues`);
- a language lacks a message, leaves one empty or fuzzy, or keeps one the template no
  longer has;
- a translation's placeholders differ from its message's: a name the code does not pass
  would stop the page with a KeyError, one left out would lose the value (a plural form
  other than the last may leave out the number, as CLDR's Arabic "one" and "two" do);
- a translation does not format (a lone "%" where "%%" is meant);
- a compiled .mo is not the compilation of its .po.

Usage: python tools/check_catalogues.py [ROOT]   (ROOT: the checkout, by default this one's)
"""

from __future__ import annotations

import io
import re
import sys
from pathlib import Path

from babel.messages.extract import extract_from_dir
from babel.messages.frontend import parse_mapping_cfg
from babel.messages.mofile import write_mo
from babel.messages.pofile import read_po

DOMAIN = "rotavel"
KEYWORDS = {"_": None, "N_": None, "gettext": None, "ngettext": (1, 2)}
PLACEHOLDER = re.compile(r"%(?:\((\w+)\))?[sdr]")


def placeholders(text: str) -> set[str]:
    """The names of a message's placeholders; a positional one (argparse's own "%s",
    "%r") is named by its place, "%1", "%2", ..., for it cannot move or go."""
    found = set()
    for place, name in enumerate(PLACEHOLDER.findall(text.replace("%%", "")), 1):
        found.add(name or f"%{place}")
    return found


def marked(root: Path) -> set[object]:
    """The message ids the code and the templates mark, as extraction finds them."""
    with open(root / "babel.cfg", encoding="utf-8") as cfg:
        method_map, options_map = parse_mapping_cfg(cfg)
    found: set[object] = set()
    for _file, _line, message, _comments, _context in extract_from_dir(
        str(root), method_map, options_map, keywords=KEYWORDS
    ):
        found.add(message if isinstance(message, str) else tuple(message))
    return found


def _formats(text: str, names: set[str]) -> bool:
    positional = sum(name.startswith("%") for name in names)
    try:
        text % (dict.fromkeys(names, 1) if not positional else (1,) * positional)
    except (KeyError, ValueError, TypeError):
        return False
    return True


def check_language(root: Path, po: Path, template: dict[object, object]) -> list[str]:
    problems = []
    where = po.relative_to(root)
    with open(po, "rb") as file:
        catalogue = read_po(file)
    seen = set()
    for message in catalogue:
        if not message.id:
            continue
        key = message.id if isinstance(message.id, str) else tuple(message.id)
        seen.add(key)
        shown = key if isinstance(key, str) else key[0]
        if key not in template:
            problems.append(f"{where}: {shown!r} is no longer in the template")
            continue
        if message.fuzzy:
            problems.append(f"{where}: {shown!r} is fuzzy")
        if isinstance(key, str):
            text = message.string if isinstance(message.string, str) else ""
            if not text:
                problems.append(f"{where}: {shown!r} is not translated")
            elif placeholders(text) != placeholders(key):
                problems.append(
                    f"{where}: {shown!r}: placeholders {sorted(placeholders(text))}, "
                    f"not {sorted(placeholders(key))}"
                )
            elif "python-format" in message.flags and not _formats(text, placeholders(key)):
                problems.append(f"{where}: {shown!r}: {text!r} does not format")
            continue
        forms = list(message.string) if isinstance(message.string, tuple | list) else []
        allowed = placeholders(key[0]) | placeholders(key[1])
        if len(forms) != catalogue.num_plurals or not all(forms):
            problems.append(
                f"{where}: {shown!r} needs {catalogue.num_plurals} plural forms, "
                f"has {sum(1 for f in forms if f)}"
            )
            continue
        for index, form in enumerate(forms):
            names = placeholders(form)
            last = index == len(forms) - 1
            if not names <= allowed or (last and names != placeholders(key[1])):
                problems.append(
                    f"{where}: {shown!r}: form {index} has placeholders {sorted(names)}, "
                    f"not {sorted(placeholders(key[1]))}"
                )
            elif not _formats(form, allowed):
                problems.append(f"{where}: {shown!r}: form {index} {form!r} does not format")
    for key in template.keys() - seen:
        shown = key if isinstance(key, str) else key[0]  # type: ignore[index]
        problems.append(f"{where}: {shown!r} is missing")
    compiled = io.BytesIO()
    write_mo(compiled, catalogue)
    mo = po.with_suffix(".mo")
    if not mo.exists() or mo.read_bytes() != compiled.getvalue():
        problems.append(f"{mo.relative_to(root)} is not compiled from its .po")
    return problems


def main(argv: list[str]) -> int:
    root = Path(argv[1]) if len(argv) > 1 else Path(__file__).resolve().parent.parent
    locale = root / "src" / "rotavel_app" / "locale"
    with open(locale / f"{DOMAIN}.pot", "rb") as file:
        template = {
            (m.id if isinstance(m.id, str) else tuple(m.id)): m for m in read_po(file) if m.id
        }
    problems = []
    code = marked(root)
    for key in code - template.keys():
        problems.append(f"rotavel.pot lacks {key!r}")
    for key in template.keys() - code:
        problems.append(f"rotavel.pot still has {key!r}, which nothing marks")
    languages = sorted(locale.glob(f"*/LC_MESSAGES/{DOMAIN}.po"))
    if not languages:
        problems.append(f"no catalogue under {locale}")
    for po in languages:
        problems += check_language(root, po, template)
    for problem in problems:
        print(f"check_catalogues: {problem}", file=sys.stderr)
    if problems:
        print(
            "check_catalogues: run `make catalogues`, translate what is missing or fuzzy "
            "(docs/guide.md), and run it again",
            file=sys.stderr,
        )
        return 1
    print(f"check_catalogues: {len(languages)} catalogues of {len(template)} messages, complete")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
