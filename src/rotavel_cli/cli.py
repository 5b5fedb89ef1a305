"""Command-line interface of `rotavel`."""

from __future__ import annotations

import argparse
import importlib.resources
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import NoReturn

from rotavel_cli.plan import PlanError, make_plan, module_report
from rotavel_cli.render import render_board, render_csv, render_slips, render_table
from rotavel_cli.school_files import (
    InputError,
    SchoolDay,
    apply_absences,
    load_school,
    parse_absence,
    read_absence_file,
)
from rotavel_cli.terminal import escape_controls

FORMATS = ("report", "csv", "table", "html", "slips")

_DESCRIPTION = """\
Plan the day's cover: find a present, free teacher for every lesson of every
absent teacher, preferring the least loaded teacher of the same subject.

FOLDER holds two UTF-8 CSV files with a header row:
  teacher_list.csv  columns name,subject,present,reason (reason optional)
  timetable.csv     columns teacher,period,class
Without FOLDER the bundled sample school is planned."""

_EPILOG = """\
examples:
  rotavel                                  plan the sample school
  rotavel school/ --format table           plan school/, shown as a table
  rotavel school/ --absent "Asha Rao:Sick leave" --absent "Ravi Kumar"
  rotavel school/ --absent-file today.txt --format html --output board.html

exit status: 0 when a plan was made (even with lessons left uncovered),
2 for bad input or options."""


class UsageError(Exception):
    pass


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(message)


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
        "-f",
        "--format",
        choices=FORMATS,
        default="report",
        help="report: the planning module's text as it is (default); csv: "
        "the substitution table only; table: aligned for a terminal, with "
        "the reasons for uncovered lessons; html: a cover board for a "
        "staff-room screen or printing; slips: a cover slip for each "
        "substitute, one per printed page, e.g. --format table",
    )
    parser.add_argument(
        "-o",
        "--output",
        type=Path,
        metavar="FILE",
        help="write to FILE instead of standard output, e.g. -o board.html",
    )
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    try:
        args = _parser().parse_args(argv)
    except UsageError as error:
        print(f"rotavel: {error} (see rotavel --help)", file=sys.stderr)
        return 2
    except SystemExit as leaving:  # --help
        return leaving.code if isinstance(leaving.code, int) else 0

    try:
        text = _plan(args)
        if args.output is not None:
            _write(args.output, text)
        else:
            if sys.stdout.isatty():  # bytes stay exact in a file or a pipe
                text = escape_controls(text, keep_line_feeds=True)
            sys.stdout.write(text)
            sys.stdout.flush()
    except InputError as error:
        print(f"rotavel: {error}", file=sys.stderr)
        return 2
    except PlanError as error:
        print(f"rotavel: the planning module's report could not be read: {error}",
              file=sys.stderr)
        return 1
    except BrokenPipeError:  # e.g. piped into head
        return 0
    return 0


def _plan(args: argparse.Namespace) -> str:
    """The whole output, made before anything is written."""
    if args.folder is None:
        sample = importlib.resources.files("rotavel_cli") / "sample"
        with importlib.resources.as_file(sample) as folder:
            day = load_school(folder, name="sample school")
    else:
        day = load_school(args.folder)

    absences = []
    if args.absent_file is not None:
        absences += read_absence_file(args.absent_file)
    absences += [("--absent", parse_absence(text)) for text in args.absent]
    day = apply_absences(day, absences)
    return _render(args.format, day)


def _render(form: str, day: SchoolDay) -> str:
    if form == "report":
        return module_report(day) + "\n"
    plan = make_plan(day)
    if form == "csv":
        return render_csv(plan)
    if form == "table":
        return render_table(plan)
    if form == "slips":
        return render_slips(plan)
    return render_board(plan)


def _write(path: Path, text: str) -> None:
    try:
        path.write_text(text, encoding="utf-8", newline="")
    except OSError as error:
        raise InputError(f"{path}: cannot write: {error.strerror}") from None
