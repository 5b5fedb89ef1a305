"""Each teacher's covers as an iCalendar feed (RFC 5545), at their personal link.

A calendar program subscribes to the link and reads it again every so
often. Each cover is one event whose UID stays the same for as long as it
is that teacher's cover of that lesson on that day; its SEQUENCE is how
many times what they were told of it changed, and a cover taken away stays
in the feed with STATUS:CANCELLED, so a calendar drops it instead of
keeping a lesson nobody is to take. Times are the school's `[times]`, as
local ("floating") times: the school's clock, wherever the phone is; a
period without a time is an event of the whole day. The room is the
event's location. Made with the `icalendar` library.
"""

from __future__ import annotations

import datetime
import hashlib
import re

from rotavel_app.desk.publishing import Duty
from rotavel_app.language import _
from rotavel_app.school.settings import Settings

PRODID = "-//rotavel//cover desk//EN"
DOMAIN = "rotavel.invalid"  # UIDs need a right-hand side; nobody is to resolve it
# A cover past this many days is of no use in a calendar; the feed stays small.
DAYS_BACK = 30
DAYS_AHEAD = 60
LESSON_MINUTES = 45  # a period whose time gives its start alone


def uid(duty: Duty) -> str:
    """The same for a teacher's cover of a lesson on a day, however often it changes."""
    who = hashlib.sha256(f"{duty.teacher}\0{duty.substitute}".encode("utf-8", "surrogatepass"))
    return f"{duty.date.isoformat()}-p{duty.period}-{who.hexdigest()[:20]}@{DOMAIN}"


def clock(
    text: str | None, date: datetime.date
) -> tuple[datetime.datetime, datetime.datetime] | None:
    """A period's start and end from its time as settings keep it ("08:30–09:20")."""
    if not text:
        return None
    found = re.findall(r"([0-9]{2}):([0-9]{2})", text)
    if not found:
        return None
    start = datetime.datetime.combine(date, datetime.time(int(found[0][0]), int(found[0][1])))
    if len(found) > 1:
        end = datetime.datetime.combine(date, datetime.time(int(found[1][0]), int(found[1][1])))
    else:
        end = start + datetime.timedelta(minutes=LESSON_MINUTES)
    return start, max(end, start)


def calendar(
    name: str,
    school: str,
    duties: list[Duty],
    settings: Settings,
    page: str = "",
    now: datetime.datetime | None = None,
) -> bytes:
    """The feed of a teacher's covers; `page` is their personal page, linked from each."""
    from icalendar import Calendar, Event

    stamp = now or datetime.datetime.now(datetime.UTC)
    feed = Calendar()
    feed.add("prodid", PRODID)
    feed.add("version", "2.0")
    feed.add("calscale", "GREGORIAN")
    feed.add("x-wr-calname", _("Cover: %(name)s · %(school)s") % {"name": name, "school": school})
    for duty in duties:
        event = Event()
        event.add("uid", uid(duty))
        event.add("dtstamp", stamp)
        event.add("sequence", duty.sequence)
        times = clock(settings.times.get(duty.period), duty.date)
        if times is None:
            event.add("dtstart", duty.date)
            event.add("dtend", duty.date + datetime.timedelta(days=1))
        else:
            event.add("dtstart", times[0])
            event.add("dtend", times[1])
        event.add(
            "summary",
            _("Cover: %(classes)s (period %(period)s, for %(teacher)s)")
            % {"classes": duty.classes, "period": duty.period, "teacher": duty.teacher},
        )
        if duty.room:
            event.add("location", duty.room)
        lines = [
            _("Period %(period)s: %(classes)s, %(teacher)s's lesson.")
            % {"period": duty.period, "classes": duty.classes, "teacher": duty.teacher}
        ]
        if duty.work:
            lines.append(_("Set work: %(work)s") % {"work": duty.work})
        if page:
            lines.append(page)
            event.add("url", page)
        event.add("description", "\n".join(lines))
        event.add("status", "CANCELLED" if duty.cancelled else "CONFIRMED")
        event.add("transp", "TRANSPARENT" if duty.cancelled else "OPAQUE")
        feed.add_component(event)
    return bytes(feed.to_ical())
