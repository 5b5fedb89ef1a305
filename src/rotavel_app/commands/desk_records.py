"""The desk's commands on the record as a whole: covers over a range and the
publications (`history`), the teachers' own rules (`staff`), personal links
(`link`), the e-mail waiting (`send`), and the record's copies (`export`,
`backup`, `restore`).
"""

from __future__ import annotations

import argparse
import datetime
from collections.abc import Sequence
from typing import TYPE_CHECKING

from rotavel_app.commands import plumbing
from rotavel_app.commands.desk_output import Command, Said, cell, csv_text, when, window_words
from rotavel_app.desk.desk import Desk, DeskError, StaffRule
from rotavel_app.language import _, ngettext
from rotavel_app.pages.terminal_table import aligned as _aligned
from rotavel_app.pages.wording import plural
from rotavel_app.school.weekdays import WEEKDAYS

if TYPE_CHECKING:
    from typing import Any


def _history(args: argparse.Namespace, desk: Desk) -> Said:
    last = args.to or plumbing.today()
    first = args.from_date or desk.window_start(last)
    counts = desk.history(first, last)
    if first == last:
        span = when(first)
    else:
        span = _("%(first)s to %(last)s") % {"first": when(first), "last": when(last)}
    if args.publications:
        return Said(_publications(desk, first, last, span))
    title = _("Covers per teacher: %(school)s, %(span)s") % {
        "school": desk.school_name,
        "span": span,
    }
    if args.format == "csv":
        return Said(csv_text(("teacher", "covers"), [(n, str(c)) for n, c in counts]))
    if args.format == "html":
        return Said(history_page(title, counts))
    lines = [cell(title), ""]
    lines += _aligned((_("Teacher"), _("Covers")), [(n, str(c)) for n, c in counts], right={1})
    lines += ["", _history_summary(counts)]
    return Said("\n".join(lines) + "\n")


def _publications(desk: Desk, first: datetime.date, last: datetime.date, span: str) -> str:
    """Every publish of the range: revision, when, by whom, and what it changed."""
    done = desk.publications(first, last)
    lines = [cell(f"Publications: {desk.school_name}, {span}"), ""]
    if not done:
        return "\n".join(lines + ["Nothing published."]) + "\n"
    for p in done:
        by = f" by {p.by}" if p.by else ""
        head = f"{when(p.date)}, revision {p.revision}: published {p.at}{by}"
        lines.append(cell(head) + ("" if p.revision > 1 else " (the first publication)"))
        lines += [f"  {cell(text)}" for text in p.changes]
        if p.revision > 1 and not p.changes:
            lines.append("  (no change recorded)")
    return "\n".join(lines) + "\n"


def history_page(title: str, counts: Sequence[tuple[str, int]]) -> str:
    """Covers per teacher as a page: the web desk's chart and table, on the pages' skeleton."""
    from rotavel_app.pages.chart import bar_chart
    from rotavel_app.pages.webpage import render_page

    return render_page(
        "history.html",
        kind="desk",
        refresh=0,
        title=title,
        summary=_history_summary(counts),
        counts=counts,
        chart=bar_chart(counts),
    )


def _history_summary(counts: Sequence[tuple[str, int]]) -> str:
    total = sum(c for _, c in counts)
    covering = sum(1 for _, c in counts if c)
    return _("%(covers)s in all, by %(teachers)s.") % {
        "covers": ngettext("%(n)s cover", "%(n)s covers", total) % {"n": total},
        "teachers": ngettext("%(n)s teacher", "%(n)s teachers", covering) % {"n": covering},
    }


def _link(args: argparse.Namespace, desk: Desk) -> Said:
    token = desk.personal_link(args.name, renew=args.renew)
    base = desk.settings.base_url
    if base is None:
        address = f"/my/{token} (set base_url in rotavel.toml for the whole address)"
    else:
        address = f"{base}/my/{token}"
    feed = f"{base or ''}/my/{token}/calendar.ics"
    renewed = "new personal link (the old one opens nothing now)" if args.renew else "personal link"
    return Said(f"{args.name}'s {renewed}: {address}\nCalendar feed: {feed}\n")


def _send(args: argparse.Namespace, desk: Desk) -> Said:
    if desk.settings.mail is None:
        raise DeskError(f"{args.folder}: no [mail] in rotavel.toml; nothing is sent")
    from rotavel_app.desk import mail

    delivery = mail.deliver(desk)
    lines = [f"Sent {plural(delivery.sent, 'e-mail')}."]
    lines += [f"Not sent: {cell(f)}" for f in delivery.failed]
    return Said("\n".join(lines) + "\n")


def _staff(args: argparse.Namespace, desk: Desk) -> Said:
    changes: dict[str, Any] = {}
    for key in ("never", "last_resort", "cap_day", "cap_week", "days"):
        value = getattr(args, key)
        if value is not None:
            changes[key] = None if value == "none" else value
    if args.name is None:
        if changes or args.clear:
            raise DeskError("name the teacher whose rule to change")
        return Said(_rules_table(desk))
    if args.clear:
        if changes:
            raise DeskError("--clear takes no other option")
        desk.clear_staff_rule(args.name)
        return Said(f"{args.name}: no rule of their own.\n")
    rule = (
        desk.set_staff_rule(args.name, **changes)
        if changes
        else desk.staff_rules().get(args.name, StaffRule())
    )
    return Said(f"{args.name}: {_rule_text(rule)}.\n")


def _rule_text(rule: StaffRule) -> str:
    parts = []
    if rule.never:
        parts.append("never covers")
    if rule.last_resort:
        parts.append("last resort")
    if rule.cap_day is not None:
        parts.append(f"at most {plural(rule.cap_day, 'cover')} a day")
    if rule.cap_week is not None:
        parts.append(f"at most {plural(rule.cap_week, 'cover')} a week")
    if rule.days is not None:
        parts.append(
            "covers only on " + (", ".join(WEEKDAYS[d] for d in sorted(rule.days)) or "no day")
        )
    return "; ".join(parts) or "no rule of their own"


def _rules_table(desk: Desk) -> str:
    settings = desk.settings
    caps = [
        f"at most {plural(cap, 'cover')} a {span}"
        for cap, span in ((settings.cap_day, "day"), (settings.cap_week, "week"))
        if cap is not None
    ]
    lines = [
        f"School: {', '.join(caps) or 'no cap'}; fair shares over {window_words(settings)}, "
        f"the subject kept within {plural(settings.margin, 'cover')} of the fewest."
    ]
    rules = desk.staff_rules()
    if not rules:
        return "\n".join([*lines, "No teacher has a rule of their own."]) + "\n"
    lines += ["", *_aligned(("Teacher", "Rule"), [(n, _rule_text(r)) for n, r in rules.items()])]
    return "\n".join(lines) + "\n"


def _export(args: argparse.Namespace, desk: Desk) -> Said:
    paths = desk.export_csv(args.folder_out)
    return Said("".join(f"{path}\n" for path in paths))


def _backup(args: argparse.Namespace, desk: Desk) -> Said:
    desk.backup(args.file)
    return Said(f"The record is backed up into {args.file}.\n")


def _restore(args: argparse.Namespace, desk: Desk) -> Said:
    desk.restore(args.file)
    return Said(f"The record is restored from {args.file}.\n")


RUNS: dict[str, Command] = {
    "history": _history,
    "staff": _staff,
    "export": _export,
    "link": _link,
    "send": _send,
    "backup": _backup,
    "restore": _restore,
}
