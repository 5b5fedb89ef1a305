"""The cover desk's commands: `rotavel absent`, `plan`, `assign`, `free`, ...

Each works on a school folder and its record (`FOLDER/rotavel.db`, or
`--db`). They are made for the cover manager's morning: enter who is away,
look at the plan, change what needs changing by hand, publish; and later,
see who has covered how much. A refused action or a bad input is one line
on standard error and exit status 2, and changes nothing.

This module reads the commands' options and runs each with the record open;
the commands themselves are in desk_days.py (the day's: absences, the plan,
hand decisions, who is free) and desk_records.py (the record's: history,
rules, links, e-mail, copies), and say what they have to say with
desk_output.py.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence

from rotavel_app.commands import desk_days, desk_records, plumbing
from rotavel_app.commands.desk_output import Command
from rotavel_app.commands.plumbing import (
    DESK_COMMANDS,
    FORMATS,
    ExitStatus,
    Formatter,
    Parser,
    add_language_option,
    check_utf8,
    date_option,
)
from rotavel_app.desk.desk import Desk, DeskError
from rotavel_app.files import plain_path
from rotavel_app.language import _, use
from rotavel_app.output import write_file, write_stdout
from rotavel_app.pages.terminal import escape_controls
from rotavel_app.school.weekdays import weekday_of

# -- the parser --------------------------------------------------------------------


def _cap(text: str) -> int | str:
    if text.lower() == "none":
        return "none"
    if text.isascii() and text.isdigit() and len(text) <= 9:
        return int(text)
    raise argparse.ArgumentTypeError(
        _("%(text)s is not a whole number (or none)") % {"text": repr(text)}
    )


def _absence_number(text: str) -> int:
    # SQLite's integers are 64-bit: a larger number is no absence's, not an error of its own.
    if text.isascii() and text.isdigit() and len(text) <= 18:
        return int(text)
    raise argparse.ArgumentTypeError(
        _("%(text)s is not an absence's number") % {"text": repr(text)}
    )


def _days(text: str) -> frozenset[int] | str:
    if text.lower() in ("all", "none"):
        return "none"  # no restriction: every day
    days = set()
    for part in text.replace(";", ",").split(","):
        day = weekday_of(part.strip())
        if day is None:
            raise argparse.ArgumentTypeError(
                _("%(text)s is not a weekday") % {"text": repr(part.strip())}
            )
        days.add(day)
    return frozenset(days)


# Each of the desk's commands NAME is run by the RUNS of the part that holds it; one left
# without a run fails here, on import, rather than when someone types it.
RUNS: dict[str, Command] = {
    name: {**desk_days.RUNS, **desk_records.RUNS}[name] for name in DESK_COMMANDS
}


def _parser() -> argparse.ArgumentParser:
    parser = Parser(
        prog="rotavel",
        description=_(
            "The cover desk: a school's record of absences and covers "
            "(FOLDER/rotavel.db unless --db says)."
        ),
        formatter_class=Formatter,
    )
    commands = parser.add_subparsers(
        dest="command", required=True, metavar="COMMAND", parser_class=Parser
    )
    sub = {}
    for name, command_is in DESK_COMMANDS.items():
        sub[name] = command = commands.add_parser(
            name,
            help=_(command_is.help),
            description=_(command_is.help),
            formatter_class=Formatter,
        )
        command.set_defaults(output=None)  # standard output, unless the command has -o
        command.add_argument(
            "folder", type=plain_path, metavar="FOLDER", help=_("the school folder")
        )
        command.add_argument(
            "--db",
            type=plain_path,
            metavar="FILE",
            help=_("the record's file (default: FOLDER/rotavel.db)"),
        )
        add_language_option(
            command,
            _(
                "the language of this run's output and messages, one of %(languages)s "
                "(default: the school's rotavel.toml says, else en)"
            ),
        )
    sub["why"].add_argument("name", metavar="NAME", help=_("the teacher"))
    sub["free"].add_argument(
        "--lesson",
        metavar="TEACHER@PERIOD",
        help=_("only whom the plan would ask for this absent lesson, e.g. 'Asha Rao@3'"),
    )
    for name in ("plan", "assign", "nocover", "release", "free", "why", "work"):
        sub[name].add_argument(
            "--date", type=date_option, metavar="YYYY-MM-DD", help=_("the day (default: today)")
        )
    for name in ("absences", "back"):
        sub[name].add_argument(
            "--date",
            type=date_option,
            metavar="YYYY-MM-DD",
            help=_("the day (default: today)")
            if name == "absences"
            else _(
                "the first day back (default: today); on the absence's first day it is cancelled"
            ),
        )
    for name in ("absent", "absences", "history"):
        # For one day's absence, --date reads as naturally as --from.
        sub[name].add_argument(
            "--from",
            *(("--date",) if name == "absent" else ()),
            dest="from_date",
            type=date_option,
            metavar="YYYY-MM-DD",
            help=_("the first day (default: today; for history, the start of the window)"),
        )
        sub[name].add_argument(
            "--to",
            type=date_option,
            metavar="YYYY-MM-DD",
            help=_("the last day, included (default: the first day; for history, today)"),
        )
    sub["absent"].add_argument(
        "absence",
        nargs="+",
        metavar="NAME[@PERIODS][:REASON]",
        help=_("who is away, e.g. 'Asha Rao', 'Tom Baker@1-2:Dentist'"),
    )
    sub["back"].add_argument(
        "number", type=_absence_number, metavar="N", help=_("the absence's number")
    )
    sub["backup"].add_argument("file", type=plain_path, metavar="FILE", help=_("the backup's file"))
    sub["restore"].add_argument(
        "file", type=plain_path, metavar="FILE", help=_("a backup made by rotavel backup")
    )
    sub["plan"].add_argument(
        "--day",
        metavar="DAY",
        help=_(
            "plan the date on this day of the timetable, e.g. 'Day 3' (for looking; "
            "not with --publish)"
        ),
    )
    sub["plan"].add_argument(
        "--publish",
        action="store_true",
        help=_(
            "store the plan in the record (what is published stays when the day is planned again)"
        ),
    )
    for name, formats in (
        ("plan", tuple(FORMATS)),
        ("free", ("table", "csv")),
        ("history", ("table", "csv", "html")),
    ):
        sub[name].add_argument(
            "-f",
            "--format",
            choices=formats,
            default="table",
            metavar="FORMAT",
            help=_("how it is shown: %(formats)s (default: table)")
            % {"formats": ", ".join(formats)},
        )
        sub[name].add_argument(
            "-o",
            "--output",
            type=plain_path,
            metavar="FILE",
            help=_("write to FILE instead of standard output"),
        )
    for name in ("assign", "nocover", "release", "work"):
        sub[name].add_argument(
            "--lesson",
            required=True,
            metavar="TEACHER@PERIOD",
            help=_("the absent teacher's lesson, e.g. 'Asha Rao@3'"),
        )
    sub["assign"].add_argument("--to", required=True, metavar="NAME", help=_("the substitute"))
    sub["work"].add_argument("work", metavar="TEXT", help=_("a short text or a link ('' for none)"))
    sub["link"].add_argument("name", metavar="NAME", help=_("the teacher"))
    sub["link"].add_argument(
        "--renew", action="store_true", help=_("make a new link; the old one opens nothing")
    )
    sub["plan"].add_argument(
        "--changes",
        action="store_true",
        help=_("with -f slips: only the covers changed after the first publication"),
    )
    sub["history"].add_argument(
        "--publications",
        action="store_true",
        help=_("every publish of the range: when, by whom and what changed"),
    )
    staff = sub["staff"]
    staff.add_argument(
        "name", nargs="?", metavar="NAME", help=_("the teacher (none: list the rules)")
    )
    staff.add_argument(
        "--never",
        action=argparse.BooleanOptionalAction,
        help=_("never asked to cover (--no-never undoes it)"),
    )
    staff.add_argument(
        "--last-resort",
        action=argparse.BooleanOptionalAction,
        help=_("asked only for lessons nobody else can take"),
    )
    staff.add_argument(
        "--cap-day",
        type=_cap,
        metavar="N|none",
        help=_("at most N covers a day (none: the school's setting)"),
    )
    staff.add_argument(
        "--cap-week",
        type=_cap,
        metavar="N|none",
        help=_("at most N covers a week (none: the school's setting)"),
    )
    staff.add_argument(
        "--days",
        type=_days,
        metavar="DAYS|all",
        help=_("covers only on these weekdays, e.g. mon,wed (all: every day)"),
    )
    staff.add_argument("--clear", action="store_true", help=_("remove the teacher's own rule"))
    sub["export"].add_argument(
        "folder_out",
        type=plain_path,
        metavar="DIR",
        help=_("the folder for the CSV files (made when missing)"),
    )
    return parser


def main(argv: Sequence[str]) -> int:
    return plumbing.run(
        lambda: _parse(argv),
        _run,
        see=f"rotavel {argv[0]}",
        refused=(DeskError,),
        too_large=lambda: _("rotavel: out of memory: the record or the school is too large"),
    )


def _parse(argv: Sequence[str]) -> argparse.Namespace:
    """The options, as argparse reads them; its help and its errors in --language's
    language."""
    # A desk command names its folder first: its language is the staff's, for the
    # help and the usage errors too, and for the record's own refusals after.
    folder = argv[1] if len(argv) > 1 and not argv[1].startswith("-") else None
    use(plumbing.language_asked(argv) or (folder and plumbing.folder_language(folder)))
    check_utf8(argv)
    args = _parser().parse_args(argv)
    if args.language is None and folder is None:  # the folder came after an option
        use(plumbing.folder_language(args.folder))
    return args


def _run(args: argparse.Namespace) -> int:
    writes = DESK_COMMANDS[args.command].writes
    with Desk.open(args.folder, args.db, create=writes or getattr(args, "publish", False)) as desk:
        said = RUNS[args.command](args, desk)
    for note in said.notes:
        print(_("rotavel: note: %(note)s") % {"note": escape_controls(note)}, file=sys.stderr)
    if args.output is not None:
        write_file(args.output, said.text.encode("utf-8"))
    else:
        text = said.text
        if sys.stdout.isatty():
            text = escape_controls(text, keep_line_feeds=True)
        write_stdout(text.encode("utf-8", "surrogateescape"))
    return ExitStatus.OK
