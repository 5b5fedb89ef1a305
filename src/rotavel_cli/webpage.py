"""What the HTML pages (the board and the slips) share: escaping and the
page around the content. Pages stand alone: no scripts, fonts or images
from elsewhere, so they work offline and leak nothing when opened."""

from __future__ import annotations

import html
import re
from collections.abc import Iterable

# What a page must not pass on raw: controls (C0, C1, DEL), lone surrogates, and the
# bidirectional marks, embeddings, overrides and isolates that would reorder the text
# after a name. Other format characters stay: the zero-width joiner and non-joiner are
# part of how names are spelt in Indic scripts.
_UNSAFE = re.compile(
    "[\x00-\x1f\x7f-\x9f\ud800-\udfff\u061c\u200e\u200f\u202a-\u202e\u2066-\u2069]"
)


def visible(text: str) -> str:
    """`text` with its controls and bidirectional overrides shown as escapes
    (\\x1b, \\u202e), not yet escaped for HTML."""
    return _UNSAFE.sub(lambda match: ascii(match.group())[1:-1], text)


def h(text: str) -> str:
    """Text for HTML content or a quoted attribute, with controls and
    bidirectional overrides shown as escapes."""
    return html.escape(visible(text))


def class_label(label: str) -> str:
    """A lesson's class(es), e.g. 9A+9B, allowed to wrap after each "+"
    and nowhere else."""
    return h(label).replace("+", "+<wbr>")


def page(title: str, css: str, body: Iterable[str]) -> str:
    return (
        "\n".join(
            [
                "<!DOCTYPE html>",
                '<html lang="en">',
                "<head>",
                '<meta charset="utf-8">',
                '<meta name="viewport" content="width=device-width, initial-scale=1">',
                f"<title>{h(title)}</title>",
                f"<style>{css}</style>",
                "</head>",
                "<body>",
                *body,
                "</body>",
                "</html>",
            ]
        )
        + "\n"
    )
