"""Command-line interface of `rotavel`."""

from __future__ import annotations

import argparse
import datetime
import os
import re
import sys
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

from rotavel_app.files import plain_path
from rotavel_app.language import _, languages, use
from rotavel_app.messages import InputError
from rotavel_app.output import OutputError, refuse_overwriting_inputs, write_file, write_stdout
from rotavel_app.pages.terminal import escape_controls
from rotavel_app.planning.plan import Plan, PlanError, make_plan, module_report
from rotavel_app.school.day import (
    DayWanted,
    SchoolDay,
    apply_absences,
    choose_day,
    name_lengths,
    parse_absence,
)
from rotavel_app.school.folder import (
    TEACHER_FILE,
    TIMETABLE_FILE,
    read_absence_file,
    read_folder,
    write_folder,
)
from rotavel_app.school.settings import SETTINGS_FILE, load_settings

if TYPE_CHECKING:
    from typing import NoReturn

    from _typeshed import SupportsWrite

# What --input-format offers: auto tells from the files, csv is the school folder.
IMPORT_FORMATS = ("auto", "csv", "fet", "untis", "asc")


def _renderer(name: str) -> Callable[[Plan], str]:
    """rotavel_app.pages.formats's NAME, imported at its first call: a run loads only what its own
    format needs (the report none of it; the board and the slips bring html with them)."""

    def render(plan: Plan) -> str:
        from rotavel_app.pages import formats as renderers

        chosen: Callable[[Plan], str] = getattr(renderers, name)
        return chosen(plan)

    return render


render_board = _renderer("render_board")
render_csv = _renderer("render_csv")
render_slips = _renderer("render_slips")
render_table = _renderer("render_table")


@dataclass(frozen=True)
class Format:
    render: Callable[[SchoolDay], str]
    help: str


def _gpu014(plan: Plan) -> str:
    from rotavel_app.pages.gpu014 import render_for_day

    return render_for_day(plan)


def _planned(render: Callable[[Plan], str]) -> Callable[[SchoolDay], str]:
    return lambda day: render(make_plan(day))


# One line per output format: its renderer and what --help says of it.
FORMATS = {
    "report": Format(lambda day: module_report(day) + "\n", "the planning module's text as it is"),
    "csv": Format(_planned(render_csv), "every absent lesson, covered or not, as CSV"),
    "table": Format(
        _planned(render_table),
        "aligned for a terminal, by period, with the reasons for uncovered lessons",
    ),
    "html": Format(_planned(render_board), "a cover board for a staff-room screen or printing"),
    "slips": Format(_planned(render_slips), "a cover slip for each substitute, a page each"),
    "gpu014": Format(
        _planned(lambda plan: _gpu014(plan)),
        "Untis's substitution file GPU014.TXT, for the apps that show a school's "
        "substitutions (needs --date)",
    ),
}

_DESCRIPTION = """\
Plan the day's cover: find a present, free teacher for every lesson of every
absent teacher, preferring the least loaded teacher of the same subject.

FOLDER holds two CSV files with a header row (UTF-8, UTF-16 or Windows-1252;
separated by commas, semicolons or tabs; other columns are ignored):
  teacher_list.csv  columns name,subject (present,reason,days,periods optional)
  timetable.csv     columns teacher,period,class (day,room,week optional)
and optionally rotavel.toml, the school's settings (name, period times, ...).
With a day column, today's weekday is planned unless --day or --date says
otherwise. Without FOLDER the bundled sample school is planned."""

_EPILOG = """\
examples:
  rotavel                                  plan the sample school
  rotavel school/ --format table           plan school/, shown as a table
  rotavel school/ --day tue                plan Tuesday of a weekly timetable
  rotavel school/ --absent "Asha Rao:Sick leave" --absent "Ravi Kumar"
  rotavel school/ --absent "Tom Baker@1-2:Dentist"   away in periods 1 and 2
  rotavel school/ --absent-file today.txt --format html --output board.html

the cover desk (a record of absences and covers in FOLDER/rotavel.db):
  rotavel COMMAND FOLDER ...    COMMAND: absent, absences, back, plan, assign,
                                nocover, release, free, history, staff, export,
                                why, work, link, send, backup, restore
                                (e.g. rotavel plan --help)
  rotavel serve FOLDER          the same desk in a web browser
                                (pip install 'rotavel[serve]')

exit status: 0 when a plan was made (even with lessons left uncovered),
2 for bad input or options, or an output that could not be written."""

# The cover desk's commands (desk_cli.py). Any other first argument is a school
# folder as before; a folder with one of these names is given as ./NAME.
DESK_COMMANDS = frozenset(
    {
        "absent",
        "absences",
        "back",
        "plan",
        "assign",
        "nocover",
        "release",
        "free",
        "history",
        "staff",
        "export",
        "work",
        "link",
        "send",
        "backup",
        "restore",
        "why",
    }
)

# A pattern, not a compiled one: only a run given --date compiles it (re keeps it then).
_ISO_DATE = r"[0-9]{4}-[0-9]{2}-[0-9]{2}"
# The days a command plans or records: a school's calendar, far from the ends
# of datetime's, where a window's arithmetic (a week back, a term back, a day
# on) would run off the calendar.
FIRST_DATE = datetime.date(1900, 1, 1)
LAST_DATE = datetime.date(2999, 12, 31)


def today() -> datetime.date:
    """The date planned when nothing else says; tests replace it."""
    return datetime.date.today()


class UsageError(Exception):
    pass


class Converted(Exception):
    """The school was written as a CSV folder; nothing is planned."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(message)

    def _print_message(self, message: str, file: SupportsWrite[str] | None = None) -> None:
        # --help and --version: argparse would let a failed write pass in silence.
        if file is None or file is sys.stdout:
            write_stdout(message)
        else:
            super()._print_message(message, file)


def _date(text: str) -> datetime.date:
    try:
        if re.fullmatch(_ISO_DATE, text):
            date = datetime.date.fromisoformat(text)
            if not FIRST_DATE <= date <= LAST_DATE:
                raise argparse.ArgumentTypeError(
                    f"{text!r} is outside the dates rotavel plans ({FIRST_DATE} to {LAST_DATE})"
                )
            return date
    except ValueError:
        pass
    raise argparse.ArgumentTypeError(f"{text!r} is not a date written YYYY-MM-DD")


def _version() -> str:
    # pyproject.toml has the build write the version into the package: reading the installed
    # metadata instead (importlib.metadata, email, zipfile) would cost more than everything
    # else the command imports.
    try:
        from rotavel_app._version import version  # type: ignore[import-not-found, import-untyped, unused-ignore]
    except ImportError:  # run from a checkout, not installed
        return "unknown"
    return str(version)


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


class _Formatter(Formatter, argparse.RawDescriptionHelpFormatter):
    """The command's help keeps its description's lines as written."""


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="rotavel",
        description=_DESCRIPTION,
        epilog=_EPILOG,
        formatter_class=_Formatter,
    )
    parser.add_argument(
        "folder",
        nargs="?",
        metavar="FOLDER",
        type=plain_path,
        help="school folder with teacher_list.csv and timetable.csv, or a timetabling "
        "program's export (a FET .fet or _timetable.csv, an Untis folder with GPU001.TXT, "
        "an aSc .xml) (default: the sample school), e.g. rotavel ~/school",
    )
    parser.add_argument(
        "--input-format",
        choices=IMPORT_FORMATS,
        default="auto",
        help="what FOLDER holds; auto (the default) tells it from the files",
    )
    parser.add_argument(
        "--convert",
        type=plain_path,
        metavar="DIR",
        help="write the school as a CSV school folder into DIR (teacher_list.csv, "
        "timetable.csv, rotavel.toml), to correct it in a spreadsheet, instead of planning",
    )
    parser.add_argument(
        "-a",
        "--absent",
        action="append",
        default=[],
        metavar="NAME[@PERIODS][:REASON]",
        help="mark a teacher absent today, for the whole day or only in some "
        "periods, with an optional reason; repeat for each teacher, e.g. "
        "--absent 'Asha Rao:Sick leave' or --absent 'Tom Baker@1-2:Dentist'",
    )
    parser.add_argument(
        "--absent-file",
        type=plain_path,
        metavar="FILE",
        help="read absences from FILE, one NAME[@PERIODS][:REASON] a line; blank lines "
        "and lines starting with # are skipped, e.g. --absent-file today.txt",
    )
    parser.add_argument(
        "--day",
        metavar="NAME",
        help="plan this day of a timetable with a day column (case does not "
        "matter, and the start of a name is enough), e.g. --day tue",
    )
    parser.add_argument(
        "--date",
        type=_date,
        metavar="YYYY-MM-DD",
        help="the date planned, shown in the titles; without --day, its "
        "weekday is planned, e.g. --date 2026-03-10",
    )
    parser.add_argument(
        "-f",
        "--format",
        choices=FORMATS,
        default="table",
        metavar="FORMAT",  # the choices, listed, would not fit a terminal's line
        help="how the plan is shown: "
        + "; ".join(f"{name}: {form.help}" for name, form in FORMATS.items())
        + " (default: table), e.g. --format csv",
    )
    parser.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        help="write to FILE instead of standard output, e.g. -o board.html",
    )
    parser.add_argument(
        "--language",
        choices=languages(),
        metavar="CODE",
        help="the language of the table, the board and the slips for this run, one of "
        + ", ".join(languages())
        + " (default: the school's rotavel.toml says, else en), e.g. --language fr",
    )
    parser.add_argument("--version", action="version", version=f"rotavel {_version()}")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    if argv is None:
        argv = sys.argv[1:]
    use(None)  # English until the school's settings or --language say otherwise
    if argv and argv[0] in DESK_COMMANDS:
        from rotavel_app.commands import (
            desk as desk_cli,  # imported only when used: it brings in SQLite
        )

        return desk_cli.main(argv)
    if argv and argv[0] == "serve":  # the desk's web pages; a folder named serve is ./serve
        from rotavel_app.web.command import main as serve

        return serve(argv[1:])
    try:
        _check_utf8(argv)
        args = _parse(argv)
    except UsageError as error:
        print(f"rotavel: {escape_controls(str(error))} (see rotavel --help)", file=sys.stderr)
        return 2
    except OutputError as error:
        print(f"rotavel: {escape_controls(str(error))}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        return 0
    except SystemExit as leaving:  # --help, --version
        return leaving.code if isinstance(leaving.code, int) else 0

    out_of_memory = False
    try:
        day, inputs = _read(args)
        text = FORMATS[args.format].render(day)
        if args.output is not None:
            refuse_overwriting_inputs(args.output, inputs)
            write_file(args.output, text.encode("utf-8"))
        for note in day.notes:
            print(_("rotavel: note: %(note)s") % {"note": escape_controls(note)}, file=sys.stderr)
        if args.output is None:
            if sys.stdout is not None and sys.stdout.isatty():  # exact in a file or a pipe
                text = escape_controls(text, keep_line_feeds=True)
            write_stdout(text)
    except Converted as done:
        print(
            _("rotavel: wrote the school folder %(folder)s")
            % {"folder": escape_controls(str(done))},
            file=sys.stderr,
        )
        return 0
    except (InputError, OutputError) as error:
        print(f"rotavel: {escape_controls(str(error))}", file=sys.stderr)
        return 2
    except PlanError as error:
        shown = escape_controls(str(error))  # it may quote a teacher's name
        print(
            _("rotavel: the planning module's report could not be read: %(error)s")
            % {"error": shown},
            file=sys.stderr,
        )
        return 1
    except MemoryError:
        # Said below: the traceback holds the frames, and what they hold, until here.
        out_of_memory = True
    except BrokenPipeError:  # e.g. piped into head
        return 0
    if out_of_memory:
        print(
            _("rotavel: out of memory: the input is too large for the memory available"),
            file=sys.stderr,
        )
        return 2
    return 0


def _parse(argv: Sequence[str]) -> argparse.Namespace:
    """The options, as argparse reads them."""
    parser = _parser()
    actions = parser._actions
    if any(isinstance(action, argparse._SubParsersAction) for action in actions):
        return parser.parse_args(argv)  # whose options -a may belong to
    # Options whose next argument is their value, and so never an --absent.
    takes_value = {
        option for action in actions if action.nargs != 0 for option in action.option_strings
    }
    rest, absences = _take_absences(argv, takes_value)
    args = parser.parse_args(rest)
    args.absent[:0] = absences
    return args


def _take_absences(argv: Sequence[str], takes_value: set[str]) -> tuple[list[str], list[str]]:
    """The arguments without their --absent options, and those options'
    values in order. argparse looks for the next option afresh after each
    one, so 20,000 absences took it seconds, growing with their square; the
    forms it would read the same way are taken here, the rest left to it."""
    rest: list[str] = []
    absences: list[str] = []
    args = iter(argv)
    for arg in args:
        if arg == "--":
            rest.append(arg)
            rest.extend(args)
            break
        if arg in ("-a", "--absent"):
            value = next(args, None)
            if value is not None and not value.startswith("-"):
                absences.append(value)
                continue
            rest.append(arg)  # argparse says what is wrong with it
            if value is not None:
                rest.append(value)
        elif arg.startswith("--absent="):
            absences.append(arg.removeprefix("--absent="))
        elif arg.startswith("-a") and len(arg) > 2:  # -aNAME, or -a=NAME as argparse reads it
            absences.append(arg[3:] if arg[2] == "=" else arg[2:])
        else:
            rest.append(arg)
            if arg in takes_value and (value := next(args, None)) is not None:
                rest.append(value)
    return rest, absences


def _check_utf8(argv: Sequence[str]) -> None:
    """Arguments that are not UTF-8 reach Python as lone surrogates, which
    could be neither matched with a name nor written out."""
    for arg in argv:
        try:
            arg.encode("utf-8")
        except UnicodeEncodeError:
            shown = os.fsencode(arg).decode("utf-8", "backslashreplace")
            raise UsageError(f"argument '{shown}' is not valid UTF-8") from None


def _read(args: argparse.Namespace) -> tuple[SchoolDay, list[str]]:
    """The day with its absences applied, and the files it was read from."""
    wanted = DayWanted(args.day, args.date, today())
    if args.folder is None:
        # pip installs the package as files, so the sample is a folder beside this module;
        # importlib.resources would cost more to import than the sample takes to plan.
        folder = os.path.join(os.path.dirname(os.path.dirname(__file__)), "sample")
        week = read_folder(folder, name="sample school")
        settings = load_settings(None)
        use(args.language)
    else:
        from rotavel_app.school.importers import read_export

        folder = args.folder if os.path.isdir(args.folder) else os.path.dirname(args.folder) or "."
        settings = load_settings(folder)
        use(args.language or settings.language)
        imported = read_export(args.folder, args.input_format)
        week = imported if imported is not None else read_folder(args.folder)
    inputs = [os.path.join(folder, name) for name in (TEACHER_FILE, TIMETABLE_FILE, SETTINGS_FILE)]
    if args.folder is not None and not os.path.isdir(args.folder):
        inputs.append(args.folder)
    if args.convert is not None:
        write_folder(week, settings, args.convert)
        raise Converted(args.convert)
    day = choose_day(week, wanted, settings)

    absences = []
    if args.absent_file is not None:
        absences += read_absence_file(args.absent_file, day.staff)
        inputs.append(args.absent_file)
    lengths = name_lengths(day.staff)
    absences += [parse_absence(text, "--absent", day.staff, lengths) for text in args.absent]
    return apply_absences(day, absences), inputs
