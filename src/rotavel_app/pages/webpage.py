"""What the HTML pages (the board, the slips, and the web desk) share: one
page skeleton and one stylesheet, in templates/, filled in by Jinja2.

Every value a template prints has its controls written as escapes
(`unsafe.escaped`, in the environment's finalize) and is then HTML-escaped (autoescaping), so no name, reason or
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

from rotavel_app.unsafe import escaped

if TYPE_CHECKING:
    import jinja2

# Where a class label may wrap: after "+" (combined classes) and after "_" or "/",
# which schools use inside long set names (A1_GYM1, L2/THV). Anywhere else only
# when one piece is wider than its cell.
_CLASS_BREAKS = re.compile(r"(?<=[+_/])")


def h(text: str) -> str:
    """Text for HTML content or a quoted attribute, with controls and
    bidirectional overrides shown as escapes."""
    return html.escape(escaped(text))


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
        return escaped(value)
    if isinstance(value, int | float) and not isinstance(value, bool):
        return value
    # None or a list printed by mistake would show as "None" or a Python repr.
    raise TypeError(f"a page cannot show {type(value).__name__} {value!r}")


def _placed(value: object) -> object:
    """A value inside a translated sentence: as `_finalize` shows it, isolated
    from the sentence's direction when it is written from right to left."""
    from markupsafe import Markup

    from rotavel_app.language import direction

    value = _finalize(value)
    if isinstance(value, str) and not isinstance(value, Markup) and direction() == "rtl":
        return Markup("<bdi>%s</bdi>") % value
    return value


def _classes(label: str) -> object:
    """A class label that wraps only where `class_pieces` cuts it."""
    from markupsafe import Markup

    # Each piece is kept whole (a class code such as 2PC-01 does not break at its hyphen).
    return Markup("<wbr>").join(
        Markup('<span class="piece">%s</span>') % escaped(piece) for piece in class_pieces(label)
    )


@functools.cache
def _extension() -> type[jinja2.ext.Extension]:
    """Jinja2's i18n extension, with every value a {% trans %} block names
    shown as any other value is (`_finalize`): its own formatting only escapes
    HTML, and a bidirectional override in a name would then reorder the
    translated sentence around it. In a language written from right to left,
    each such value is isolated (<bdi>), so a name or class in Latin letters
    keeps its order and its punctuation inside the sentence (`_placed`)."""
    import jinja2.ext
    from jinja2 import nodes

    class Translated(jinja2.ext.InternationalizationExtension):
        def _make_node(
            self,
            singular: str,
            plural: str | None,
            context: str | None,
            variables: dict[str, nodes.Expr],
            plural_expr: nodes.Expr | None,
            vars_referenced: bool,
            num_called_num: bool,
        ) -> nodes.Output:
            variables = {
                name: nodes.Filter(value, "placed", [], [], None, None)
                for name, value in variables.items()
            }
            return super()._make_node(
                singular, plural, context, variables, plural_expr, vars_referenced, num_called_num
            )

    return Translated


@functools.cache
def _environment() -> jinja2.Environment:
    import jinja2

    environment = jinja2.Environment(
        loader=jinja2.PackageLoader("rotavel_app.pages", "templates"), autoescape=True
    )
    configure(environment)
    return environment


def configure(environment: jinja2.Environment) -> None:
    """Make an environment print values as the pages do: every value with its
    controls escaped (`_finalize`), no undefined name passed over in silence, the `classes` filter,
    and the page's words in the language in use ({% trans %}, _()).
    The command's environment and the web desk's (Flask's, which brings its
    own loader and autoescaping) are both set up here."""
    import jinja2

    from rotavel_app import language

    environment.add_extension(_extension())
    # Callables, not one catalogue: the language is looked up as each page is made,
    # so the web desk's threads and the command share one environment.
    environment.install_gettext_callables(  # type: ignore[attr-defined]
        language._, language.ngettext, newstyle=True
    )
    environment.globals["language"] = language.current
    environment.globals["direction"] = language.direction
    environment.globals["date_text"] = language.date_text
    environment.globals["decimal_text"] = language.decimal_text
    environment.filters["shown"] = _finalize
    environment.filters["placed"] = _placed
    environment.finalize = _finalize
    environment.undefined = jinja2.StrictUndefined
    environment.trim_blocks = True
    environment.lstrip_blocks = True
    environment.keep_trailing_newline = True
    environment.filters["classes"] = _classes
    from rotavel_app.pages.wording import plural

    environment.globals["plural"] = plural
