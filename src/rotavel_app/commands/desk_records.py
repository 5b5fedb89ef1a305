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
from rotavel_app.commands.desk_output import (
    Command,
    Said,
    cell,
    csv_text,
    span_words,
    when,
    window_words,
)
from rotavel_app.desk.desk import Desk, DeskError, StaffRule
from rotavel_app.language import _, day_name, ngettext
from rotavel_app.pages.terminal_table import aligned as _aligned

if TYPE_CHECKING:
    from typing import Any


def _history(args: argparse.Namespace, desk: Desk) -> Said:
    last = args.to or plumbing.today()
    first = args.from_date or desk.window_start(last)
    counts = desk.history(first, last)
    span = span_words(first, last)
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
    title = _("Publications: %(school)s, %(span)s") % {"school": desk.school_name, "span": span}
    lines = [cell(title), ""]
    if not done:
        return "\n".join(lines + [_("Nothing published.")]) + "\n"
    for p in done:
        values = {"day": when(p.date), "revision": p.revision, "at": p.at, "by": p.who}
        if p.by:
            head = _("%(day)s, revision %(revision)s: published %(at)s by %(by)s") % values
        else:
            head = _("%(day)s, revision %(revision)s: published %(at)s") % values
        if p.revision > 1:
            lines.append(cell(head))
        else:
            lines.append(_("%(head)s (the first publication)") % {"head": cell(head)})
        lines += [f"  {cell(text)}" for text in p.changes]
        if p.revision > 1 and not p.changes:
            lines.append("  " + _("(no change recorded)"))
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
        address = _("%(link)s (set base_url in rotavel.toml for the whole address)") % {
            "link": f"/my/{token}"
        }
    else:
        address = f"{base}/my/{token}"
    feed = f"{base or ''}/my/{token}/calendar.ics"
    if args.renew:
        link = _("%(name)s's new personal link (the old one opens nothing now): %(address)s")
    else:
        link = _("%(name)s's personal link: %(address)s")
    lines = [link % {"name": args.name, "address": address}]
    lines.append(_("Calendar feed: %(feed)s") % {"feed": feed})
    return Said("\n".join(lines) + "\n")


def _send(args: argparse.Namespace, desk: Desk) -> Said:
    if desk.settings.mail is None:
        raise DeskError(
            _("%(folder)s: no [mail] in rotavel.toml; nothing is sent") % {"folder": args.folder}
        )
    from rotavel_app.desk import mail

    delivery = mail.deliver(desk)
    lines = [
        ngettext("Sent %(count)s e-mail.", "Sent %(count)s e-mails.", delivery.sent)
        % {"count": delivery.sent}
    ]
    lines += [_("Not sent: %(failure)s") % {"failure": cell(f)} for f in delivery.failed]
    return Said("\n".join(lines) + "\n")


def _staff(args: argparse.Namespace, desk: Desk) -> Said:
    changes: dict[str, Any] = {}
    for key in ("never", "last_resort", "cap_day", "cap_week", "days"):
        value = getattr(args, key)
        if value is not None:
            changes[key] = None if value == "none" else value
    if args.name is None:
        if changes or args.clear:
            raise DeskError(_("name the teacher whose rule to change"))
        return Said(_rules_table(desk))
    if args.clear:
        if changes:
            raise DeskError(_("--clear takes no other option"))
        desk.clear_staff_rule(args.name)
        return Said(_("%(name)s: no rule of their own.") % {"name": args.name} + "\n")
    rule = (
        desk.set_staff_rule(args.name, **changes)
        if changes
        else desk.staff_rules().get(args.name, StaffRule())
    )
    return Said(_("%(name)s: %(rule)s.") % {"name": args.name, "rule": _rule_text(rule)} + "\n")


def _rule_text(rule: StaffRule) -> str:
    parts = []
    if rule.never:
        parts.append(_("never covers"))
    if rule.last_resort:
        parts.append(_("last resort"))
    if rule.cap_day is not None:
        parts.append(_a_day(rule.cap_day))
    if rule.cap_week is not None:
        parts.append(_a_week(rule.cap_week))
    if rule.days is not None:
        days = [day_name(d) for d in sorted(rule.days)]
        if days:
            parts.append(_("covers only on %(days)s") % {"days": _(", ").join(days)})
        else:
            parts.append(_("covers only on no day"))
    return _("; ").join(parts) or _("no rule of their own")


def _a_day(cap: int) -> str:
    return ngettext("at most %(count)s cover a day", "at most %(count)s covers a day", cap) % {
        "count": cap
    }


def _a_week(cap: int) -> str:
    return ngettext("at most %(count)s cover a week", "at most %(count)s covers a week", cap) % {
        "count": cap
    }


def _rules_table(desk: Desk) -> str:
    settings = desk.settings
    caps = [
        words(cap)
        for cap, words in ((settings.cap_day, _a_day), (settings.cap_week, _a_week))
        if cap is not None
    ]
    lines = [
        ngettext(
            "School: %(caps)s; fair shares over %(window)s, the subject kept within "
            "%(count)s cover of the fewest.",
            "School: %(caps)s; fair shares over %(window)s, the subject kept within "
            "%(count)s covers of the fewest.",
            settings.margin,
        )
        % {
            "caps": _(", ").join(caps) or _("no cap"),
            "window": window_words(settings),
            "count": settings.margin,
        }
    ]
    rules = desk.staff_rules()
    if not rules:
        return "\n".join([*lines, _("No teacher has a rule of their own.")]) + "\n"
    rows = [(n, _rule_text(r)) for n, r in rules.items()]
    lines += ["", *_aligned((_("Teacher"), _("Rule")), rows)]
    return "\n".join(lines) + "\n"


def _export(args: argparse.Namespace, desk: Desk) -> Said:
    paths = desk.export_csv(args.folder_out)
    return Said("".join(f"{path}\n" for path in paths))


def _backup(args: argparse.Namespace, desk: Desk) -> Said:
    desk.backup(args.file)
    return Said(_("The record is backed up into %(file)s.") % {"file": args.file} + "\n")


def _restore(args: argparse.Namespace, desk: Desk) -> Said:
    desk.restore(args.file)
    return Said(_("The record is restored from %(file)s.") % {"file": args.file} + "\n")


RUNS: dict[str, Command] = {
    "history": _history,
    "staff": _staff,
    "export": _export,
    "link": _link,
    "send": _send,
    "backup": _backup,
    "restore": _restore,
}
