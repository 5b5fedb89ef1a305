"""What the desk has told people, kept apart from what it is still deciding.

The `cover` table is the desk's draft: the plan as last stored and every
decision made by hand since. People see only the day as last published, a
snapshot in `published_cover`: the board, the slips, the GPU014 file and
the personal pages read that, so a hand cover at 7:50 reaches nobody until
the day is published again. Each publish after the first stores a new
revision with who published it and what changed (`publication`,
`published_change`): the audit a head reads.

Each substitute's covers are kept as they were told of them (`duty`): a
cover keeps its identity (day, lesson, substitute) for the calendar feed,
its sequence rises whenever what they were told changes, a cover taken away
stays as cancelled, and a "seen" is cleared by a change. A publish that
changes someone's covers queues them one e-mail (`outbox`); mail.py sends
the queue after the publish, never inside it.
"""

from __future__ import annotations

import datetime
import secrets
import sqlite3
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING

from rotavel_app.language import _
from rotavel_app.planning.plan import BY_HAND, NO_COVER, TEAM, Plan

if TYPE_CHECKING:
    from typing import Any

Key = tuple[str, int]  # an absent lesson: its teacher and period

WORK_LIMIT = 500  # characters of set work: a short text or a link


@dataclass(frozen=True)
class Shown:
    """An absent lesson as people are (or would be) shown it."""

    classes: str
    room: str
    substitute: str | None
    how: str
    work: str = ""


@dataclass(frozen=True)
class Change:
    teacher: str
    period: int
    before: Shown | None  # None: not among the day's absent lessons
    after: Shown | None

    @property
    def text(self) -> str:
        return describe(self)


@dataclass(frozen=True)
class Publication:
    date: datetime.date
    revision: int
    at: str
    by: str  # as stored: "command", or "web desk (ADDRESS)"
    changes: tuple[str, ...]

    @property
    def who(self) -> str:
        """Who published, in the language of the moment; the record keeps one
        spelling, so that its history reads the same in any language."""
        if self.by == "command":
            return _("command")
        if self.by.startswith("web desk (") and self.by.endswith(")"):
            return _("web desk (%(address)s)") % {"address": self.by[len("web desk (") : -1]}
        return self.by


@dataclass(frozen=True)
class Duty:
    """A cover as its substitute was told of it."""

    date: datetime.date
    teacher: str
    period: int
    substitute: str
    classes: str
    room: str
    work: str
    sequence: int
    cancelled: bool
    revision: int
    seen_at: str | None


def _state(shown: Shown) -> str:
    if shown.substitute is not None:
        return _("covered by %(name)s") % {"name": shown.substitute}
    if shown.how == NO_COVER:
        return _("no cover needed")
    if shown.how == TEAM:
        return _("taught by the team")
    return _("not covered")


def describe(change: Change) -> str:
    """The change in words: who gains, loses or moves which cover (in the
    language in use, as the record keeps it in `published_change`)."""
    before, after = change.before, change.after
    either = after or before
    classes = either.classes if either is not None else ""
    what = _("%(teacher)s's %(classes)s in period %(period)s") % {
        "teacher": change.teacher,
        "classes": classes,
        "period": change.period,
    }
    old = before.substitute if before else None
    new = after.substitute if after else None
    if old != new:
        if old is not None and new is not None:
            return _("%(lesson)s moves from %(old)s to %(new)s") % {
                "lesson": what,
                "old": old,
                "new": new,
            }
        if new is not None:
            if before:
                return _("%(name)s gains %(lesson)s (was %(state)s)") % {
                    "name": new,
                    "lesson": what,
                    "state": _state(before),
                }
            return _("%(name)s gains %(lesson)s") % {"name": new, "lesson": what}
        return _("%(name)s loses %(lesson)s: %(state)s") % {
            "name": old,
            "lesson": what,
            "state": _state(after) if after else _("no longer needs cover"),
        }
    if after is None:
        return _("%(lesson)s no longer needs cover") % {"lesson": what}
    if before is None:
        return _("%(lesson)s: %(state)s") % {"lesson": what, "state": _state(after)}
    parts = []
    if before.how != after.how:
        parts.append(
            _("%(state)s (by hand)") % {"state": _state(after)}
            if after.how == BY_HAND
            else _state(after)
        )
    if before.room != after.room:
        parts.append(
            _("room %(room)s (was %(old)s)")
            % {"room": after.room or _("none"), "old": before.room or _("none")}
        )
    if before.classes != after.classes:
        parts.append(_("classes now %(classes)s") % {"classes": after.classes})
    if before.work != after.work:
        parts.append(_("set work changed") if after.work else _("set work removed"))
    return _("%(lesson)s: %(changes)s") % {"lesson": what, "changes": _(", ").join(parts)}


def diff(old: Mapping[Key, Shown], new: Mapping[Key, Shown]) -> list[Change]:
    """Every lesson shown differently in `new`, by period, then teacher."""
    keys = sorted(old.keys() | new.keys(), key=lambda k: (k[1], k[0]))
    return [Change(k[0], k[1], old.get(k), new.get(k)) for k in keys if old.get(k) != new.get(k)]


def wanted(db: sqlite3.Connection, day: str, plan: Plan) -> dict[Key, Shown]:
    """The plan as people would be shown it, with the desk's set work."""
    work = set_work(db, day)
    return {
        (a.lesson.teacher, a.lesson.period): Shown(
            a.lesson.class_label,
            a.lesson.room,
            a.substitute,
            a.how,
            work.get((a.lesson.teacher, a.lesson.period), ""),
        )
        for a in plan.absent_lessons
    }


def set_work(db: sqlite3.Connection, day: str) -> dict[Key, str]:
    rows = db.execute("SELECT teacher, period, work FROM set_work WHERE day = ?", (day,))
    return {(teacher, period): work for teacher, period, work in rows}


def published(db: sqlite3.Connection, day: str) -> dict[Key, tuple[Shown, int]]:
    """The day as published: each lesson as shown, and the revision that last changed it."""
    rows = db.execute(
        "SELECT teacher, period, classes, room, substitute, how, work, revision "
        "FROM published_cover WHERE day = ? ORDER BY rowid",
        (day,),
    )
    return {(r[0], r[1]): (Shown(r[2], r[3], r[4], r[5], r[6]), r[7]) for r in rows}


def store(
    db: sqlite3.Connection, day: str, new: Mapping[Key, Shown], now: str, by: str, tell: bool
) -> int | None:
    """Publish `new` as the day's lessons, inside the caller's transaction.
    Returns the new revision, or None when people are shown this already.
    With `tell`, each substitute whose covers changed is queued one e-mail."""
    row = db.execute("SELECT revision FROM published_day WHERE day = ?", (day,)).fetchone()
    old = {key: shown for key, (shown, _) in published(db, day).items()}
    changes = diff(old, new)
    if row is not None and not changes:
        return None
    revision = 1 if row is None else int(row[0]) + 1
    db.execute(
        "INSERT INTO published_day (day, published_at, revision) VALUES (?, ?, ?) "
        "ON CONFLICT (day) DO UPDATE SET published_at = excluded.published_at, "
        "revision = excluded.revision",
        (day, now, revision),
    )
    db.execute(
        "INSERT INTO publication (day, revision, published_at, published_by) VALUES (?, ?, ?, ?)",
        (day, revision, now, by),
    )
    affected: dict[str, None] = {}
    for change in changes:
        key = (day, change.teacher, change.period)
        before = change.before.substitute if change.before else None
        after = change.after.substitute if change.after else None
        if revision > 1:  # the first publish is the day itself, not a change
            db.execute(
                "INSERT INTO published_change (day, revision, teacher, period, what, "
                "before_substitute, after_substitute) VALUES (?, ?, ?, ?, ?, ?, ?)",
                (*key[:1], revision, *key[1:], change.text, before, after),
            )
        if change.after is None:
            db.execute(
                "DELETE FROM published_cover WHERE day = ? AND teacher = ? AND period = ?", key
            )
        else:
            shown = change.after
            db.execute(
                "INSERT INTO published_cover (day, teacher, period, classes, room, substitute, "
                "how, work, revision) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?) "
                "ON CONFLICT (day, teacher, period) DO UPDATE SET classes = excluded.classes, "
                "room = excluded.room, substitute = excluded.substitute, how = excluded.how, "
                "work = excluded.work, revision = excluded.revision",
                (
                    *key,
                    shown.classes,
                    shown.room,
                    shown.substitute,
                    shown.how,
                    shown.work,
                    revision,
                ),
            )
        if before is not None and before != after:
            db.execute(
                "UPDATE duty SET cancelled = 1, sequence = sequence + 1, revision = ? "
                "WHERE day = ? AND teacher = ? AND period = ? AND substitute = ? AND cancelled = 0",
                (revision, *key, before),
            )
            affected[before] = None
        if after is not None and change.after is not None:
            shown = change.after
            details = (shown.classes, shown.room, shown.work)
            told = db.execute(
                "SELECT classes, room, work, cancelled FROM duty "
                "WHERE day = ? AND teacher = ? AND period = ? AND substitute = ?",
                (*key, after),
            ).fetchone()
            if told is None:
                db.execute(
                    "INSERT INTO duty (day, teacher, period, substitute, classes, room, work, "
                    "revision) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                    (*key, after, *details, revision),
                )
                affected[after] = None
            elif told[3] or tuple(told[:3]) != details:
                db.execute(
                    "UPDATE duty SET classes = ?, room = ?, work = ?, cancelled = 0, "
                    "sequence = sequence + 1, revision = ?, seen_at = NULL "
                    "WHERE day = ? AND teacher = ? AND period = ? AND substitute = ?",
                    (*details, revision, *key, after),
                )
                affected[after] = None
    if tell:
        for name in affected:
            # One message a substitute: one still waiting tells of this revision instead.
            waiting = db.execute(
                "SELECT id FROM outbox WHERE day = ? AND substitute = ? AND sent_at IS NULL",
                (day, name),
            ).fetchone()
            if waiting is None:
                db.execute(
                    "INSERT INTO outbox (day, substitute, revision, queued_at) VALUES (?, ?, ?, ?)",
                    (day, name, revision, now),
                )
            else:
                db.execute(
                    "UPDATE outbox SET revision = ?, queued_at = ? WHERE id = ?",
                    (revision, now, waiting[0]),
                )
    return revision


def publications(db: sqlite3.Connection, first: str, last: str) -> list[Publication]:
    rows = db.execute(
        "SELECT day, revision, published_at, published_by FROM publication "
        "WHERE day >= ? AND day <= ? ORDER BY day, revision",
        (first, last),
    ).fetchall()
    done = []
    for day, revision, at, by in rows:
        changes = db.execute(
            "SELECT what FROM published_change WHERE day = ? AND revision = ? "
            "ORDER BY period, teacher",
            (day, revision),
        )
        done.append(
            Publication(
                datetime.date.fromisoformat(day), revision, at, by, tuple(w for (w,) in changes)
            )
        )
    return done


_DUTY = (
    "SELECT day, teacher, period, substitute, classes, room, work, sequence, cancelled, "
    "revision, seen_at FROM duty"
)


def _duty(row: tuple[Any, ...]) -> Duty:
    day, teacher, period, substitute, classes, room, work, sequence, cancelled, *rest = row
    return Duty(
        datetime.date.fromisoformat(day),
        teacher,
        period,
        substitute,
        classes,
        room,
        work,
        sequence,
        bool(cancelled),
        *rest,
    )


def duties_of(db: sqlite3.Connection, name: str, first: str, last: str) -> list[Duty]:
    rows = db.execute(
        _DUTY + " WHERE substitute = ? AND day >= ? AND day <= ? ORDER BY day, period, teacher",
        (name, first, last),
    )
    return [_duty(row) for row in rows]


def duties_on(db: sqlite3.Connection, day: str) -> list[Duty]:
    rows = db.execute(_DUTY + " WHERE day = ? ORDER BY period, teacher", (day,))
    return [_duty(row) for row in rows]


def mark_seen(db: sqlite3.Connection, name: str, day: str, now: str) -> int:
    """The substitute has seen their covers of the day as they stand."""
    cursor = db.execute(
        "UPDATE duty SET seen_at = ? WHERE substitute = ? AND day = ? AND cancelled = 0 "
        "AND seen_at IS NULL",
        (now, name, day),
    )
    return cursor.rowcount


def link_token(db: sqlite3.Connection, name: str, now: str, renew: bool = False) -> str:
    """The secret of the teacher's personal link, made on first use; renewing it
    makes the old link open nothing."""
    if not renew:
        row = db.execute("SELECT token FROM personal_link WHERE name = ?", (name,)).fetchone()
        if row is not None:
            return str(row[0])
    token = secrets.token_urlsafe(24)
    db.execute(
        "INSERT INTO personal_link (name, token, made_at) VALUES (?, ?, ?) "
        "ON CONFLICT (name) DO UPDATE SET token = excluded.token, made_at = excluded.made_at",
        (name, token, now),
    )
    return token


def name_of_token(db: sqlite3.Connection, token: str) -> str | None:
    row = db.execute("SELECT name FROM personal_link WHERE token = ?", (token,)).fetchone()
    return None if row is None else str(row[0])


def changed_keys(rows: Iterable[tuple[Key, int]]) -> frozenset[Key]:
    """The lessons changed after the day's first publication."""
    return frozenset(key for key, revision in rows if revision > 1)


@dataclass(frozen=True)
class Queued:
    """An e-mail still to send (or whose last try failed)."""

    id: int
    date: datetime.date
    substitute: str
    revision: int
    tries: int
    error: str


def queued(db: sqlite3.Connection, day: str | None = None) -> list[Queued]:
    rows = db.execute(
        "SELECT id, day, substitute, revision, tries, error FROM outbox WHERE sent_at IS NULL "
        "AND (? IS NULL OR day = ?) ORDER BY id",
        (day, day),
    )
    return [Queued(n, datetime.date.fromisoformat(d), s, r, t, e) for n, d, s, r, t, e in rows]


def last_sent(db: sqlite3.Connection, day: str, name: str) -> int:
    """The day's revision the substitute was last sent an e-mail of; 0 for none."""
    row = db.execute(
        "SELECT max(revision) FROM outbox WHERE day = ? AND substitute = ? AND sent_at IS NOT NULL",
        (day, name),
    ).fetchone()
    return int(row[0] or 0)


def tried(db: sqlite3.Connection, number: int, now: str, error: str | None) -> None:
    """A send of outbox message `number` done (error None) or failed."""
    if error is None:
        db.execute(
            "UPDATE outbox SET sent_at = ?, tries = tries + 1, error = '' WHERE id = ?",
            (now, number),
        )
    else:
        db.execute(
            "UPDATE outbox SET tries = tries + 1, error = ? WHERE id = ?", (error[:500], number)
        )
