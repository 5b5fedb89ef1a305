"""Command-line interface of `rotavel`."""

from __future__ import annotations

import argparse
import datetime
import os
import re
import stat
import sys
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import NoReturn

from rotavel_cli.plan import Plan, PlanError, make_plan, module_report
from rotavel_cli.school_files import (
    TEACHER_FILE,
    TIMETABLE_FILE,
    DayWanted,
    InputError,
    SchoolDay,
    apply_absences,
    load_school,
    parse_absence,
    read_absence_file,
)
from rotavel_cli.terminal import escape_controls


def _renderer(name: str) -> Callable[[Plan], str]:
    """rotavel_cli.render's NAME, imported at its first call: a run loads only what its own
    format needs (the report none of it; the board and the slips bring html with them)."""

    def render(plan: Plan) -> str:
        from rotavel_cli import render as renderers

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
}

_DESCRIPTION = """\
Plan the day's cover: find a present, free teacher for every lesson of every
absent teacher, preferring the least loaded teacher of the same subject.

FOLDER holds two UTF-8 CSV files with a header row (separated by commas,
semicolons or tabs; other columns are ignored):
  teacher_list.csv  columns name,subject,present,reason (reason optional)
  timetable.csv     columns teacher,period,class,day (day optional)
With a day column, today's weekday is planned unless --day or --date says
otherwise. Without FOLDER the bundled sample school is planned."""

_EPILOG = """\
examples:
  rotavel                                  plan the sample school
  rotavel school/ --format table           plan school/, shown as a table
  rotavel school/ --day tue                plan Tuesday of a weekly timetable
  rotavel school/ --absent "Asha Rao:Sick leave" --absent "Ravi Kumar"
  rotavel school/ --absent-file today.txt --format html --output board.html

exit status: 0 when a plan was made (even with lessons left uncovered),
2 for bad input or options."""

_ISO_DATE = re.compile(r"[0-9]{4}-[0-9]{2}-[0-9]{2}")


def today() -> datetime.date:
    """The date planned when nothing else says; tests replace it."""
    return datetime.date.today()


class UsageError(Exception):
    pass


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(message)


def _date(text: str) -> datetime.date:
    try:
        if _ISO_DATE.fullmatch(text):
            return datetime.date.fromisoformat(text)
    except ValueError:
        pass
    raise argparse.ArgumentTypeError(f"{text!r} is not a date written YYYY-MM-DD")


def _version() -> str:
    # pyproject.toml has the build write the version into the package: reading the installed
    # metadata instead (importlib.metadata, email, zipfile) would cost more than everything
    # else the command imports.
    try:
        from rotavel_cli._version import version  # type: ignore[import-not-found, unused-ignore]
    except ImportError:  # run from a checkout, not installed
        return "unknown"
    return str(version)


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="rotavel",
        description=_DESCRIPTION,
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "folder",
        nargs="?",
        metavar="FOLDER",
        type=Path,
        help="school folder with teacher_list.csv and timetable.csv "
        "(default: the sample school), e.g. rotavel ~/school",
    )
    parser.add_argument(
        "-a",
        "--absent",
        action="append",
        default=[],
        metavar="NAME[:REASON]",
        help="mark a teacher absent today, with an optional reason for the "
        "Reason column; repeat for each teacher, e.g. --absent 'Asha Rao:Sick leave'",
    )
    parser.add_argument(
        "--absent-file",
        type=Path,
        metavar="FILE",
        help="read absences from FILE, one NAME[:REASON] a line; blank lines "
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
        default="report",
        help="; ".join(f"{name}: {form.help}" for name, form in FORMATS.items())
        + " (default: report), e.g. --format table",
    )
    parser.add_argument(
        "-o",
        "--output",
        type=Path,
        metavar="FILE",
        help="write to FILE instead of standard output, e.g. -o board.html",
    )
    parser.add_argument("--version", action="version", version=f"rotavel {_version()}")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    if argv is None:
        argv = sys.argv[1:]
    try:
        _check_utf8(argv)
        args = _parser().parse_args(argv)
    except UsageError as error:
        print(f"rotavel: {error} (see rotavel --help)", file=sys.stderr)
        return 2
    except SystemExit as leaving:  # --help, --version
        return leaving.code if isinstance(leaving.code, int) else 0

    try:
        day, inputs = _read(args)
        text = FORMATS[args.format].render(day)
        if args.output is not None:
            _refuse_overwriting_inputs(args.output, inputs)
            _write(args.output, text)
        for note in day.notes:
            print(f"rotavel: note: {note}", file=sys.stderr)
        if args.output is None:
            if sys.stdout.isatty():  # bytes stay exact in a file or a pipe
                text = escape_controls(text, keep_line_feeds=True)
            sys.stdout.write(text)
            sys.stdout.flush()
    except InputError as error:
        print(f"rotavel: {error}", file=sys.stderr)
        return 2
    except PlanError as error:
        print(f"rotavel: the planning module's report could not be read: {error}", file=sys.stderr)
        return 1
    except BrokenPipeError:  # e.g. piped into head
        return 0
    return 0


def _check_utf8(argv: Sequence[str]) -> None:
    """Arguments that are not UTF-8 reach Python as lone surrogates, which
    could be neither matched with a name nor written out."""
    for arg in argv:
        try:
            arg.encode("utf-8")
        except UnicodeEncodeError:
            shown = os.fsencode(arg).decode("utf-8", "backslashreplace")
            raise UsageError(f"argument '{shown}' is not valid UTF-8") from None


def _read(args: argparse.Namespace) -> tuple[SchoolDay, list[Path]]:
    """The day with its absences applied, and the files it was read from."""
    wanted = DayWanted(args.day, args.date, today())
    if args.folder is None:
        # pip installs the package as files, so the sample is a folder beside this module;
        # importlib.resources would cost more to import than the sample takes to plan.
        folder = Path(__file__).with_name("sample")
        day = load_school(folder, name="sample school", wanted=wanted)
    else:
        folder = args.folder
        day = load_school(folder, wanted=wanted)
    inputs = [folder / TEACHER_FILE, folder / TIMETABLE_FILE]

    absences = []
    if args.absent_file is not None:
        absences += read_absence_file(args.absent_file)
        inputs.append(args.absent_file)
    absences += [parse_absence(text, "--absent") for text in args.absent]
    return apply_absences(day, absences), inputs


def _refuse_overwriting_inputs(output: Path, inputs: Sequence[Path]) -> None:
    for path in inputs:
        try:
            same = os.path.samefile(output, path)
        except OSError:  # one of them does not exist
            same = False
        if same:
            raise InputError(f"--output {output} is the input file {path}; choose another file")


def _write(path: Path, text: str) -> None:
    """Write the whole text or leave the file as it was: the text goes to a
    new file beside the target, which takes the target's place only once
    complete, so a full disk or a size limit cannot leave half a plan where
    the last good one was."""
    data = text.encode("utf-8")
    target = Path(os.path.realpath(path))  # through a symbolic link, keeping the link
    try:
        info = os.stat(target)
    except FileNotFoundError:
        info = None
    except OSError as error:
        raise InputError(f"{path}: cannot write: {error.strerror}") from None
    if info is not None and not stat.S_ISREG(info.st_mode):
        _write_in_place(path, target, data)  # e.g. /dev/null or a pipe: nothing to replace
        return
    import secrets  # hashlib and hmac behind it: only a run that writes a file pays for them

    temporary = target.with_name(f".{target.name}.{secrets.token_hex(4)}.tmp")
    try:
        # 0o666 less the umask, as for any new file; an existing file keeps its mode.
        fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
    except OSError as error:
        raise InputError(f"{path}: cannot write: {error.strerror}") from None
    try:
        with os.fdopen(fd, "wb") as file:
            if info is not None:
                os.fchmod(file.fileno(), stat.S_IMODE(info.st_mode))
            file.write(data)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, target)
    except BaseException as error:  # an interruption too must not leave the new file behind
        temporary.unlink(missing_ok=True)
        if isinstance(error, OSError):
            raise InputError(f"{path}: cannot write: {error.strerror}") from None
        raise


def _write_in_place(path: Path, target: Path, data: bytes) -> None:
    try:
        with open(target, "wb") as file:
            file.write(data)
    except OSError as error:
        raise InputError(f"{path}: cannot write: {error.strerror}") from None
