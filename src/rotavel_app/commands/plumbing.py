"""What the `rotavel` command, the desk's commands and `rotavel serve` share:
the parser that says a bad option in one line, the options' dates, the output
formats, the desk's commands by name, and the one way an error becomes a line
on standard error and an exit status.

Light on purpose: the plain command imports it, so nothing here brings in the
desk's record (SQLite) or the pages' template engine.
"""

from __future__ import annotations

import argparse
import datetime
import enum
import os
import re
import sys
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from rotavel_app.commands import argparse_words
from rotavel_app.language import N_, _, languages
from rotavel_app.messages import InputError
from rotavel_app.output import OutputError, write_stdout
from rotavel_app.pages.terminal import escape_controls
from rotavel_app.planning.plan import Plan, PlanError, report_of
from rotavel_app.school.day import FIRST_DATE, LAST_DATE

if TYPE_CHECKING:
    from typing import NoReturn

    from _typeshed import SupportsWrite


class ExitStatus(enum.IntEnum):
    """How a command ends, as the shell sees it."""

    OK = 0  # done; a plan with lessons left uncovered is still a plan
    PLAN_UNREADABLE = 1  # the planning module's report could not be read
    ERROR = 2  # a bad input or option, a refused action, an output not written


def today() -> datetime.date:
    """The date planned when nothing else says; tests replace it."""
    return datetime.date.today()


# -- options -----------------------------------------------------------------------


class UsageError(Exception):
    """A bad option or argument: said with a pointer to the command's --help."""


class Parser(argparse.ArgumentParser):
    def __init__(self, *args: Any, **kwargs: Any) -> None:
        argparse_words.speak()
        super().__init__(*args, **kwargs)

    def error(self, message: str) -> NoReturn:
        raise UsageError(message)

    def _print_message(self, message: str, file: SupportsWrite[str] | None = None) -> None:
        # --help and --version: argparse would let a failed write pass in silence.
        if file is None or file is sys.stdout:
            write_stdout(message)
        else:
            super()._print_message(message, file)


def _columns() -> int:
    """The terminal's width as shutil.get_terminal_size gives it ($COLUMNS, else the
    terminal's, else 80), without importing shutil for it."""
    try:
        columns = int(os.environ.get("COLUMNS", ""))
    except ValueError:
        columns = 0
    if columns <= 0:
        try:
            columns = os.get_terminal_size(sys.__stdout__.fileno()).columns  # type: ignore[union-attr]
        except (AttributeError, ValueError, OSError):
            columns = 0
    return columns or 80


class Formatter(argparse.HelpFormatter):
    """argparse makes a formatter for every argument added, and each asks shutil for the
    terminal's width: this one asks os, so a run that shows no help imports no shutil."""

    def __init__(self, prog: str, indent_increment: int = 2, max_help_position: int = 24) -> None:
        super().__init__(prog, indent_increment, max_help_position, _columns() - 2)


# A pattern, not a compiled one: only a run given a date compiles it (re keeps it then).
_ISO_DATE = r"[0-9]{4}-[0-9]{2}-[0-9]{2}"


def date_option(text: str) -> datetime.date:
    """An option's date, written YYYY-MM-DD, within the dates planned."""
    try:
        if re.fullmatch(_ISO_DATE, text):
            date = datetime.date.fromisoformat(text)
            if not FIRST_DATE <= date <= LAST_DATE:
                raise argparse.ArgumentTypeError(
                    _("%(date)s is outside the dates rotavel plans (%(first)s to %(last)s)")
                    % {"date": repr(text), "first": FIRST_DATE, "last": LAST_DATE}
                )
            return date
    except ValueError:
        pass
    raise argparse.ArgumentTypeError(
        _("%(date)s is not a date written YYYY-MM-DD") % {"date": repr(text)}
    )


def check_utf8(argv: Sequence[str]) -> None:
    """Arguments that are not UTF-8 reach Python as lone surrogates, which
    could be neither matched with a name nor written out."""
    for arg in argv:
        try:
            arg.encode("utf-8")
        except UnicodeEncodeError:
            shown = os.fsencode(arg).decode("utf-8", "backslashreplace")
            raise UsageError(
                _("argument '%(argument)s' is not valid UTF-8") % {"argument": shown}
            ) from None


def language_asked(argv: Sequence[str]) -> str | None:
    """The language --language (or --language=) asks for on the command line, read
    before the parser is made so that its help and its errors speak it; None for
    none, or for a code argparse will refuse. The last one counts, as for argparse;
    "--lan" is the shortest form that is an abbreviation of nothing else."""
    asked = None
    values = iter(argv)
    for arg in values:
        if arg == "--":
            break
        option, equals, value = arg.partition("=")
        if len(option) >= 5 and "--language".startswith(option):
            asked = value if equals else next(values, None)
    return asked if asked in languages() else None


def folder_language(folder: str | os.PathLike[str]) -> str | None:
    """The language the school folder's rotavel.toml says, read before anything
    else of the school so that even a command's help speaks it; None (English)
    where there is no such folder or its settings cannot be read, which the run
    itself then reports."""
    from rotavel_app.school.settings import load_settings

    if not os.path.isdir(folder):
        return None
    try:
        return load_settings(folder).language
    except (InputError, OSError):
        return None


def add_language_option(parser: argparse.ArgumentParser, help_text: str) -> None:
    """--language CODE, for one run; `help_text` names the codes as %(languages)s."""
    codes = languages()
    parser.add_argument(
        "--language",
        choices=codes,
        metavar="CODE",
        help=help_text % {"languages": ", ".join(codes)},
    )


# -- what the commands offer ---------------------------------------------------------


def _renderer(name: str) -> Callable[[Plan], str]:
    """rotavel_app.pages.formats's NAME, imported at its first call: a run loads only what its own
    format needs (the report none of it; the board and the slips bring html with them)."""

    def render(plan: Plan) -> str:
        from rotavel_app.pages import formats as renderers

        chosen: Callable[[Plan], str] = getattr(renderers, name)
        return chosen(plan)

    return render


def _gpu014(plan: Plan) -> str:
    from rotavel_app.pages.gpu014 import render_for_day

    return render_for_day(plan)


@dataclass(frozen=True)
class Format:
    render: Callable[[Plan], str]
    help: str  # in English: _() when shown


# The plan's output formats (-f), for `rotavel` and `rotavel plan`: each one's renderer
# and what the command's --help says of it.
FORMATS = {
    "report": Format(
        lambda plan: report_of(plan) + "\n", N_("the planning module's text as it is")
    ),
    "csv": Format(_renderer("render_csv"), N_("every absent lesson, covered or not, as CSV")),
    "table": Format(
        _renderer("render_table"),
        N_("aligned for a terminal, by period, with the reasons for uncovered lessons"),
    ),
    "html": Format(
        _renderer("render_board"), N_("a cover board for a staff-room screen or printing")
    ),
    "slips": Format(_renderer("render_slips"), N_("a cover slip for each substitute, a page each")),
    "gpu014": Format(
        _gpu014,
        N_(
            "Untis's substitution file GPU014.TXT, for the apps that show a school's "
            "substitutions (needs --date)"
        ),
    ),
}


@dataclass(frozen=True)
class DeskCommand:
    writes: bool  # whether it changes the record (a record is made for it when missing)
    help: str  # in English: _() when shown


# The cover desk's commands (commands/desk.py runs each NAME with its part's RUNS). Any other
# first argument of `rotavel` is a school folder; a folder with one of these names is ./NAME.
DESK_COMMANDS = {
    "absent": DeskCommand(True, N_("enter absences: rotavel absent FOLDER 'Asha Rao@1-3:Dentist'")),
    "absences": DeskCommand(False, N_("list the record's absences on a day or over a range")),
    "back": DeskCommand(True, N_("a teacher is back: end (or cancel) absence number N")),
    "plan": DeskCommand(False, N_("plan a day from the record; --publish stores the plan")),
    "assign": DeskCommand(True, N_("give an absent teacher's lesson to someone by hand")),
    "nocover": DeskCommand(True, N_("mark an absent teacher's lesson as needing no cover")),
    "release": DeskCommand(
        True, N_("take back a cover (or no-cover) so the lesson is planned again")
    ),
    "free": DeskCommand(False, N_("who is free in each period, in the order the plan asks them")),
    "history": DeskCommand(False, N_("covers per teacher over a range: table, CSV or HTML chart")),
    "staff": DeskCommand(
        True, N_("a teacher's rule: never, last resort, caps, days; or list them")
    ),
    "export": DeskCommand(False, N_("write the whole record as CSV files into a folder")),
    "why": DeskCommand(
        False, N_("why a teacher covers: covers against the fair share, caps, reasons")
    ),
    "work": DeskCommand(
        True, N_("the work an absent teacher sets for a lesson: on slips and e-mail")
    ),
    "link": DeskCommand(True, N_("a teacher's personal link (covers, Seen, calendar); --renew")),
    "send": DeskCommand(True, N_("send the e-mail still waiting (a failed send of a publish)")),
    "backup": DeskCommand(False, N_("copy the record into FILE, even while the desk runs")),
    "restore": DeskCommand(True, N_("replace the record with a backup made by rotavel backup")),
}


# -- errors and exit statuses -----------------------------------------------------------


def run(
    parse: Callable[[], argparse.Namespace],
    work: Callable[[argparse.Namespace], int],
    *,
    prog: str = "rotavel",
    see: str = "rotavel",
    refused: tuple[type[Exception], ...] = (),
    too_large: Callable[[], str] | None = None,
) -> int:
    """The exit status of a command: its options as `parse` reads them, then
    `work` done with them. A bad option is one line pointing to `see --help`;
    a bad input, a refused action (one of `refused`) or an output that could
    not be written is one line, prefixed with `prog`, and ExitStatus.ERROR;
    running out of memory is `too_large()`'s line (without it, the error
    itself); a closed pipe (a run piped into head) is no error."""
    try:
        args = parse()
    except UsageError as error:
        print(
            _("%(prog)s: %(error)s (see %(command)s --help)")
            % {"prog": prog, "error": escape_controls(str(error)), "command": see},
            file=sys.stderr,
        )
        return ExitStatus.ERROR
    except OutputError as error:  # --help or --version could not be written
        print(f"{prog}: {escape_controls(str(error))}", file=sys.stderr)
        return ExitStatus.ERROR
    except BrokenPipeError:
        return ExitStatus.OK
    except SystemExit as leaving:  # --help, --version
        return leaving.code if isinstance(leaving.code, int) else ExitStatus.OK

    said: tuple[type[Exception], ...] = (InputError, OutputError, *refused)
    out_of_memory = False
    try:
        return work(args)
    except said as error:
        print(f"{prog}: {escape_controls(str(error))}", file=sys.stderr)
        return ExitStatus.ERROR
    except PlanError as error:
        shown = escape_controls(str(error))  # it may quote a teacher's name
        print(
            _("rotavel: the planning module's report could not be read: %(error)s")
            % {"error": shown},
            file=sys.stderr,
        )
        return ExitStatus.PLAN_UNREADABLE
    except MemoryError:
        if too_large is None:
            raise
        # Said below: the traceback holds the frames, and what they hold, until here.
        out_of_memory = True
    except BrokenPipeError:  # e.g. piped into head
        return ExitStatus.OK
    if out_of_memory:
        assert too_large is not None
        print(too_large(), file=sys.stderr)
        return ExitStatus.ERROR
    return ExitStatus.OK
