"""Command-line interface of `rotavel`."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence

from rotavel_app.commands import plumbing
from rotavel_app.commands.plumbing import (
    DESK_COMMANDS,
    FORMATS,
    ExitStatus,
    Formatter,
    Parser,
    check_utf8,
    date_option,
)
from rotavel_app.files import plain_path
from rotavel_app.language import _, use
from rotavel_app.output import refuse_overwriting_inputs, write_file, write_stdout
from rotavel_app.pages.terminal import escape_controls
from rotavel_app.planning.plan import make_plan
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
from rotavel_app.school.importers import FORMATS as INPUT_FORMATS
from rotavel_app.school.settings import SETTINGS_FILE, load_settings


def _description() -> str:
    """What the command does and what it reads, in lines as the help shows them."""
    return "\n\n".join(
        (
            _(
                "Plan the day's cover: find a present, free teacher for every lesson of every\n"
                "absent teacher, preferring the least loaded teacher of the same subject."
            ),
            _(
                "FOLDER holds two CSV files with a header row (UTF-8, UTF-16 or Windows-1252;\n"
                "separated by commas, semicolons or tabs; other columns are ignored):\n"
                "  teacher_list.csv  columns name,subject (present,reason,days,periods optional)\n"
                "  timetable.csv     columns teacher,period,class (day,room,week optional)\n"
                "and optionally rotavel.toml, the school's settings (name, period times, ...).\n"
                "With a day column, today's weekday is planned unless --day or --date says\n"
                "otherwise. Without FOLDER the bundled sample school is planned."
            ),
        )
    )


def _wrapped(words: Sequence[str], first: str, indent: str, width: int = 79) -> str:
    """`first` and the words after it, in lines of at most `width` characters, each
    line after the first begun with `indent`."""
    lines = []
    line = first + words[0]
    for word in words[1:]:
        if len(line) + 1 + len(word) > width:
            lines.append(line)
            line = indent + word
        else:
            line += " " + word
    return "\n".join([*lines, line])


def _example(command: str, what: str = "") -> str:
    """A line of the examples: the command, and what it does in a column of its own."""
    if not what:
        return "  " + command
    return _wrapped(what.split(" "), "  " + command + " " * max(41 - len(command), 3), " " * 43)


def _epilog() -> str:
    """The examples, the desk's commands and the exit statuses."""
    indent = " " * 32
    return "\n".join(
        (
            _("examples:"),
            _example("rotavel", _("plan the sample school")),
            _example("rotavel school/ --format table", _("plan school/, shown as a table")),
            _example("rotavel school/ --day tue", _("plan Tuesday of a weekly timetable")),
            # The reasons are the school's words: a language gives its own examples of them.
            _example(_('rotavel school/ --absent "Asha Rao:Sick leave" --absent "Ravi Kumar"')),
            _example(
                _('rotavel school/ --absent "Tom Baker@1-2:Dentist"'), _("away in periods 1 and 2")
            ),
            _example("rotavel school/ --absent-file today.txt --format html --output board.html"),
            "",
            _("the cover desk (a record of absences and covers in FOLDER/rotavel.db):"),
            _wrapped(
                ("COMMAND: " + ", ".join(DESK_COMMANDS)).split(" "),
                "  rotavel COMMAND FOLDER ...    ",
                indent,
            ),
            indent + _("(e.g. rotavel plan --help)"),
            "  rotavel serve FOLDER          " + _("the same desk in a web browser"),
            indent + "(pip install 'rotavel[serve]')",
            "",
            _(
                "exit status: 0 when a plan was made (even with lessons left uncovered),\n"
                "2 for bad input or options, or an output that could not be written."
            ),
        )
    )


class Converted(Exception):
    """The school was written as a CSV folder; nothing is planned."""


def _version() -> str:
    # pyproject.toml has the build write the version into the package: reading the installed
    # metadata instead (importlib.metadata, email, zipfile) would cost more than everything
    # else the command imports.
    try:
        from rotavel_app._version import version  # type: ignore[import-not-found, import-untyped, unused-ignore]
    except ImportError:  # run from a checkout, not installed
        return "unknown"
    return str(version)


class _Formatter(Formatter, argparse.RawDescriptionHelpFormatter):
    """The command's help keeps its description's lines as written."""


def _parser() -> argparse.ArgumentParser:
    parser = Parser(
        prog="rotavel",
        description=_description(),
        epilog=_epilog(),
        formatter_class=_Formatter,
    )
    parser.add_argument(
        "folder",
        nargs="?",
        metavar="FOLDER",
        type=plain_path,
        help=_(
            "school folder with teacher_list.csv and timetable.csv, or a timetabling "
            "program's export (a FET .fet or _timetable.csv, an Untis folder with GPU001.TXT, "
            "an aSc .xml) (default: the sample school), e.g. rotavel ~/school"
        ),
    )
    parser.add_argument(
        "--input-format",
        choices=INPUT_FORMATS,
        default="auto",
        help=_("what FOLDER holds; auto (the default) tells it from the files"),
    )
    parser.add_argument(
        "--convert",
        type=plain_path,
        metavar="DIR",
        help=_(
            "write the school as a CSV school folder into DIR (teacher_list.csv, "
            "timetable.csv, rotavel.toml), to correct it in a spreadsheet, instead of planning"
        ),
    )
    parser.add_argument(
        "-a",
        "--absent",
        action="append",
        default=[],
        metavar="NAME[@PERIODS][:REASON]",
        help=_(
            "mark a teacher absent today, for the whole day or only in some "
            "periods, with an optional reason; repeat for each teacher, e.g. "
            "--absent 'Asha Rao:Sick leave' or --absent 'Tom Baker@1-2:Dentist'"
        ),
    )
    parser.add_argument(
        "--absent-file",
        type=plain_path,
        metavar="FILE",
        help=_(
            "read absences from FILE, one NAME[@PERIODS][:REASON] a line; blank lines "
            "and lines starting with # are skipped, e.g. --absent-file today.txt"
        ),
    )
    parser.add_argument(
        "--day",
        metavar="NAME",
        help=_(
            "plan this day of a timetable with a day column (case does not "
            "matter, and the start of a name is enough), e.g. --day tue"
        ),
    )
    parser.add_argument(
        "--date",
        type=date_option,
        metavar="YYYY-MM-DD",
        help=_(
            "the date planned, shown in the titles; without --day, its "
            "weekday is planned, e.g. --date 2026-03-10"
        ),
    )
    parser.add_argument(
        "-f",
        "--format",
        choices=FORMATS,
        default="table",
        metavar="FORMAT",  # the choices, listed, would not fit a terminal's line
        help=_("how the plan is shown: %(formats)s (default: table), e.g. --format csv")
        % {"formats": "; ".join(f"{name}: {_(form.help)}" for name, form in FORMATS.items())},
    )
    parser.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        help=_("write to FILE instead of standard output, e.g. -o board.html"),
    )
    plumbing.add_language_option(
        parser,
        _(
            "the language of the table, the board and the slips for this run, one of "
            "%(languages)s (default: the school's rotavel.toml says, else en), e.g. --language fr"
        ),
    )
    parser.add_argument(
        "--version",
        action="version",
        version=f"rotavel {_version()}",
        help=_("show program's version number and exit"),
    )
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    if argv is None:
        argv = sys.argv[1:]
    use(None)  # English until the school's settings or --language say otherwise
    if argv and argv[0] in DESK_COMMANDS:
        from rotavel_app.commands import desk  # imported only when used: it brings in SQLite

        return desk.main(argv)
    if argv and argv[0] == "serve":  # the desk's web pages; a folder named serve is ./serve
        from rotavel_app.web.command import main as serve

        return serve(argv[1:])
    return plumbing.run(lambda: _parse(argv), _plan, too_large=_too_large)


def _plan(args: argparse.Namespace) -> int:
    """Plans the day and shows it (or writes the school as a CSV folder)."""
    try:
        day, inputs = _read(args)
    except Converted as done:
        print(
            _("rotavel: wrote the school folder %(folder)s")
            % {"folder": escape_controls(str(done))},
            file=sys.stderr,
        )
        return ExitStatus.OK
    text = FORMATS[args.format].render(make_plan(day))
    if args.output is not None:
        refuse_overwriting_inputs(args.output, inputs)
        write_file(args.output, text.encode("utf-8"))
    for note in day.notes:
        print(_("rotavel: note: %(note)s") % {"note": escape_controls(note)}, file=sys.stderr)
    if args.output is None:
        if sys.stdout is not None and sys.stdout.isatty():  # exact in a file or a pipe
            text = escape_controls(text, keep_line_feeds=True)
        write_stdout(text)
    return ExitStatus.OK


def _too_large() -> str:
    return _("rotavel: out of memory: the input is too large for the memory available")


def _parse(argv: Sequence[str]) -> argparse.Namespace:
    """The options, as argparse reads them; its help and its errors in --language's
    language."""
    use(plumbing.language_asked(argv))
    check_utf8(argv)
    parser = _parser()
    # Options whose next argument is their value, and so never an --absent.
    takes_value = {
        option
        for action in parser._actions
        if action.nargs != 0
        for option in action.option_strings
    }
    rest, absences = _take_absences(argv, takes_value)
    args = parser.parse_args(rest)
    args.absent[:0] = absences
    use(args.language)  # the settings' own errors are said in it too
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


def _read(args: argparse.Namespace) -> tuple[SchoolDay, list[str]]:
    """The day with its absences applied, and the files it was read from."""
    wanted = DayWanted(args.day, args.date, plumbing.today())
    if args.folder is None:
        # pip installs the package as files, so the sample is a folder beside this module;
        # importlib.resources would cost more to import than the sample takes to plan.
        folder = os.path.join(os.path.dirname(os.path.dirname(__file__)), "sample")
        week = read_folder(folder, name="sample school")
        settings = load_settings(None)
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
