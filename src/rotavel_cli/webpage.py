"""What the HTML pages (the board, the slips, and the web desk) share: one
page skeleton and one stylesheet, in templates/, filled in by Jinja2.

Every value a template prints passes through `shown` (the environment's
finalize) and is then HTML-escaped (autoescaping), so no name, reason or
class can add markup, reorder the text around it or hide in a control
character, whichever template prints it. Pages stand alone: no scripts,
fonts or images from elsewhere, so they work offline and leak nothing when
opened.

Jinja2 is imported on the first page rendered, not when the command starts:
the plain-text formats do not pay for it.
"""

from __future__ import annotations

import functools
import html
import re
from typing import TYPE_CHECKING, Any

from rotavel_cli.unsafe import escaped

if TYPE_CHECKING:
    import jinja2

# Where a class label may wrap: after "+" (combined classes) and after "_" or "/",
# which schools use inside long set names (A1_GYM1, L2/THV). Anywhere else only
# when one piece is wider than its cell.
_CLASS_BREAKS = re.compile(r"(?<=[+_/])")


def shown(text: str) -> str:
    """Text with controls and bidirectional overrides written as escapes
    (\\x1b, \\u202e), as a page shows it before HTML escaping; what is
    unsafe is `unsafe`'s one definition, the terminal's too."""
    return escaped(text)


def h(text: str) -> str:
    """Text for HTML content or a quoted attribute, with controls and
    bidirectional overrides shown as escapes."""
    return html.escape(shown(text))


def class_pieces(label: str) -> list[str]:
    """A lesson's class(es), e.g. 9A+9B, cut where the label may wrap."""
    return [piece for piece in _CLASS_BREAKS.split(label) if piece]


def render_page(template: str, **context: Any) -> str:
    """A page from one of the package's templates."""
    return _environment().get_template(template).render(**context)


def _finalize(value: object) -> object:
    from markupsafe import Markup

    if isinstance(value, Markup):  # made by a filter below, from escaped text
        return value
    if isinstance(value, str):
        return shown(value)
    if isinstance(value, int | float) and not isinstance(value, bool):
        return value
    # None or a list printed by mistake would show as "None" or a Python repr.
    raise TypeError(f"a page cannot show {type(value).__name__} {value!r}")


def _classes(label: str) -> object:
    """A class label that wraps only where `class_pieces` cuts it."""
    from markupsafe import Markup

    # Each piece is kept whole (a class code such as 2PC-01 does not break at its hyphen).
    return Markup("<wbr>").join(
        Markup('<span class="piece">%s</span>') % shown(piece) for piece in class_pieces(label)
    )


@functools.cache
def _environment() -> jinja2.Environment:
    import jinja2

    environment = jinja2.Environment(
        loader=jinja2.PackageLoader("rotavel_cli", "templates"), autoescape=True
    )
    configure(environment)
    return environment


def configure(environment: jinja2.Environment) -> None:
    """Make an environment print values as the pages do: every value through
    `shown`, no undefined name passed over in silence, the `classes` filter.
    The command's environment and the web desk's (Flask's, which brings its
    own loader and autoescaping) are both set up here."""
    import jinja2

    environment.finalize = _finalize
    environment.undefined = jinja2.StrictUndefined
    environment.trim_blocks = True
    environment.lstrip_blocks = True
    environment.keep_trailing_newline = True
    environment.filters["classes"] = _classes
    from rotavel_cli.wording import plural

    environment.globals["plural"] = plural
