"""What the HTML pages (the board and the slips) share: escaping and the
page around the content. Pages stand alone: no scripts, fonts or images
from elsewhere, so they work offline and leak nothing when opened."""

from __future__ import annotations

import html
from collections.abc import Iterable

from rotavel_cli.terminal import escape_controls


def h(text: str) -> str:
    """Text for HTML content or a quoted attribute. Control and format
    characters are shown escaped, as everywhere else a name is shown."""
    return html.escape(escape_controls(text))


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
