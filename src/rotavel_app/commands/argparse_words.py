"""argparse's own words ("usage:", "options", "the following arguments are
required: ...") in the language of the run.

argparse looks each of them up when it says it, through its module's `_` and
`ngettext`, which are gettext's and so follow the machine's LANG. Ours take
their place: the words are then the language in use (the school's, or
--language's), from our catalogues, and English as argparse writes them
whatever the machine's locale is.
"""

from __future__ import annotations

import argparse

from rotavel_app.language import N_, _, ngettext


def speak() -> None:
    """Routes argparse's words through our catalogues (done for every parser made;
    our `_` reads the language in use each time it is called)."""
    argparse._ = _  # type: ignore[attr-defined]
    argparse.ngettext = ngettext  # type: ignore[attr-defined]


# The words of Python 3.12's argparse that our parsers can say, exactly as it writes them,
# so that the catalogues' extraction finds them. Its counted words ("expected %s
# arguments") come only with a fixed number of arguments, and its other messages with
# mutually exclusive options or a programmer's mistake: our parsers have none of them.
# A word argparse changes in a later Python is shown in English until listed here again.
WORDS = (
    N_("usage: "),
    # The headings: argparse writes their colon itself, so a language that sets a colon
    # apart (French) ends its heading with a no-break space.
    N_("positional arguments"),
    N_("options"),
    N_("show this help message and exit"),
    N_("argument %(argument_name)s: %(message)s"),
    N_("unrecognized arguments: %s"),
    N_("the following arguments are required: %s"),
    N_("expected one argument"),
    N_("ambiguous option: %(option)s could match %(matches)s"),
    N_("ignored explicit argument %r"),
    N_("invalid choice: %(value)r (choose from %(choices)s)"),
    N_("invalid %(type)s value: %(value)r"),
)
