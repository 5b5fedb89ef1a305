"""E-mail to each substitute once a day is published.

A publish queues one message for every substitute whose covers it added,
changed or took away (publishing.py); `deliver` sends the queue afterwards
through the school's mail server (`[mail]` in rotavel.toml), so a server
that is down or refuses never undoes or holds up a publish. A message that
fails stays queued with its reason, which the desk shows, and the next
publish (or `rotavel send`) tries it again. A message is made when it is
sent, from the day as published then: a retry never tells of an old plan.

Each message is the substitute's cover slip (the slips' own template, so
the e-mail shows what the paper shows: period, clock time, room, class,
whose lesson, the set work, and the reason only when the school shows
reasons), the covers taken away, and their personal link; plain text and
HTML in one message. The password of the server's account is read from
an environment variable or a file, never from rotavel.toml.
"""

from __future__ import annotations

import email.utils
import os
import smtplib
import ssl
from dataclasses import dataclass, replace
from email.message import EmailMessage

from rotavel_app.desk.desk import Desk, DeskError
from rotavel_app.desk.publishing import Queued
from rotavel_app.files import read_text
from rotavel_app.language import _, current, ngettext, use
from rotavel_app.messages import InputError
from rotavel_app.pages.slips import Slip, _slip
from rotavel_app.pages.webpage import render_page
from rotavel_app.pages.wording import day_label
from rotavel_app.school.settings import MailSettings

TIMEOUT = 20.0  # seconds to wait for the mail server before the message waits for a retry


class MailError(Exception):
    """A message that cannot be made or sent; one line for the desk."""


@dataclass(frozen=True)
class Delivery:
    sent: int
    failed: tuple[str, ...]  # "Name: why", one a message


def personal_url(desk: Desk, name: str) -> str:
    """The teacher's personal page, or "" when the school has set no base_url."""
    base = desk.settings.base_url
    return f"{base}/my/{desk.personal_link(name)}" if base else ""


def compose(desk: Desk, queued: Queued) -> EmailMessage | None:
    """The message for a queued substitute, from the day as published now, in the
    school's language whoever sends it; None when the day no longer has anything
    to tell them."""
    speaking = current()
    use(desk.settings.language)
    try:
        return _compose(desk, queued)
    finally:
        use(speaking)


def _compose(desk: Desk, queued: Queued) -> EmailMessage | None:
    settings = desk.settings.mail
    assert settings is not None
    name, date = queued.substitute, queued.date
    address = desk.emails().get(name)
    if not address:
        raise MailError(
            _("no e-mail address for %(name)s (the email column of the teacher list)")
            % {"name": name}
        )
    plan = desk.published_plan(date)
    if plan is None:
        return None
    day = plan.day
    told = desk.published_lessons(date)
    work = {key: shown.work for key, (shown, _) in told.items()}
    covers = sorted((a for a in plan.covers if a.substitute == name), key=lambda a: a.lesson.period)
    last = desk.last_sent(date, name)
    cancelled = tuple(
        (
            _("Period %(period)s (%(time)s): %(classes)s for %(teacher)s")
            if day.period_time(d.period)
            else _("Period %(period)s: %(classes)s for %(teacher)s")
        )
        % {
            "period": d.period,
            "time": day.period_time(d.period),
            "classes": d.classes,
            "teacher": d.teacher,
        }
        for d in desk.duties(name, date, date)
        if d.cancelled and d.revision > last
    )
    if not covers and not cancelled:
        return None
    when = day_label(day) or date.isoformat()
    lessons = {"day": when, "n": len(covers)}
    if not covers:
        subject = _("Cover cancelled: %(day)s") % {"day": when}
        intro = _("Your cover for this day is cancelled.")
    elif last:
        subject = (
            ngettext(
                "Cover changed: %(day)s, %(n)s lesson",
                "Cover changed: %(day)s, %(n)s lessons",
                len(covers),
            )
            % lessons
        )
        intro = _("Your cover for this day has changed; this is what stands now.")
    else:
        subject = (
            ngettext("Cover: %(day)s, %(n)s lesson", "Cover: %(day)s, %(n)s lessons", len(covers))
            % lessons
        )
        intro = _("You are asked to cover these lessons.")
    slip = _slip(name, covers, day, work) if covers else Slip(name, _("no covers"), (), (), {})
    slip = replace(slip, cancelled=cancelled, link=personal_url(desk, name))
    html = render_page(
        "slips.html",
        kind="slips",
        title=subject,
        refresh=0,
        school=day.name,
        when=when,
        per_page=0,
        slips=[slip],
        jump=False,
        intro=intro,
    )
    message = EmailMessage()
    message["Subject"] = _header(f"{subject} · {day.name}")
    message["From"] = settings.sender
    message["To"] = email.utils.formataddr((_header(name), address))
    message["Date"] = email.utils.formatdate(localtime=True)
    message["Message-ID"] = email.utils.make_msgid(domain=settings.sender.rpartition("@")[2])
    message.set_content(_text(slip, day.name, when, intro))
    message.add_alternative(html, subtype="html")
    return message


def _header(text: str) -> str:
    """A name for a header: a line break in it would start a header of its own."""
    return " ".join("".join(c if c.isprintable() else " " for c in text).split())


def _text(slip: Slip, school: str, when: str, intro: str) -> str:
    """The slip as plain text: a line a cover, its set work on a line of its own."""
    lines = [
        _("Cover slip · %(school)s") % {"school": school},
        when,
        "",
        f"{slip.name}: {intro}",
        "",
    ]
    for row in slip.rows:
        cells = dict(row)
        lines.append(
            " · ".join(f"{slip.headings[c]}: {text}" for c, text in row if text and c != "Work")
        )
        if cells.get("Work"):
            lines.append("    " + _("Set work: %(work)s") % {"work": cells["Work"]})
    if slip.cancelled:
        lines += ["", _("Cancelled:")] + [f"  {line}" for line in slip.cancelled]
    if slip.link:
        lines += ["", _("Your covers, your calendar and the Seen button:") + " " + slip.link]
    return "\n".join(lines) + "\n"


def password(settings: MailSettings, folder: str) -> str | None:
    if settings.user is None:
        return None
    if settings.password_file is not None:
        path = os.path.join(folder, os.path.expanduser(settings.password_file))
        try:
            return read_text(path).strip("\r\n")
        except InputError as error:
            raise MailError(_("the mail password: %(error)s") % {"error": error}) from None
    value = os.environ.get(settings.password_env)
    if not value:
        raise MailError(
            _(
                "[mail] user is set but the environment variable %(variable)s "
                "(its password) is empty"
            )
            % {"variable": settings.password_env}
        )
    return value


def connect(settings: MailSettings, folder: str) -> smtplib.SMTP:
    """A connection to the school's mail server, logged in when it needs that."""
    secret = password(settings, folder)
    context = ssl.create_default_context()
    server: smtplib.SMTP
    if settings.ssl:
        server = smtplib.SMTP_SSL(settings.host, settings.port, timeout=TIMEOUT, context=context)
    else:
        server = smtplib.SMTP(settings.host, settings.port, timeout=TIMEOUT)
    try:
        if settings.starttls:
            server.starttls(context=context)
        if settings.user is not None and secret is not None:
            server.login(settings.user, secret)
    except BaseException:
        server.close()
        raise
    return server


def why(error: BaseException) -> str:
    """A failed send in one line."""
    if isinstance(error, smtplib.SMTPRecipientsRefused):
        return "; ".join(
            _("the mail server refused %(to)s: %(code)s %(said)s")
            % {"to": to, "code": code, "said": _said(text)}
            for to, (code, text) in error.recipients.items()
        )
    if isinstance(error, smtplib.SMTPResponseException):
        return _("the mail server said %(code)s %(said)s") % {
            "code": error.smtp_code,
            "said": _said(error.smtp_error),
        }
    if isinstance(error, OSError) and error.strerror:
        return _("cannot reach the mail server: %(why)s") % {"why": error.strerror}
    return _("cannot send: %(why)s") % {"why": str(error) or type(error).__name__}


def _said(text: bytes | str) -> str:
    if isinstance(text, bytes):
        text = text.decode("utf-8", "replace")
    return " ".join(text.split())


def deliver(desk: Desk) -> Delivery:
    """Send every queued message; each that fails stays queued with its reason."""
    settings = desk.settings.mail
    if settings is None:
        return Delivery(0, ())
    made: list[tuple[Queued, EmailMessage | str | None]] = []
    for queued in desk.queued_mail():
        try:
            made.append((queued, compose(desk, queued)))
        except (MailError, DeskError) as error:
            made.append((queued, str(error)))
    if not made:
        return Delivery(0, ())
    sent, failed = 0, []
    server: smtplib.SMTP | None = None
    if any(isinstance(m, EmailMessage) for _, m in made):
        try:
            server = connect(settings, desk.folder)
        except (MailError, OSError, smtplib.SMTPException) as error:
            problem = str(error) if isinstance(error, MailError) else why(error)
            made = [(q, m if isinstance(m, str) else problem) for q, m in made]
    try:
        for queued, message in made:
            if isinstance(message, EmailMessage):
                assert server is not None
                try:
                    server.send_message(message)
                except (OSError, smtplib.SMTPException) as error:
                    message = why(error)
                else:
                    sent += 1
            if isinstance(message, str):
                failed.append(f"{queued.substitute}: {message}")
            desk.mail_tried(queued.id, message if isinstance(message, str) else None)
    finally:
        if server is not None:
            try:
                server.quit()
            except (OSError, smtplib.SMTPException):
                server.close()
    return Delivery(sent, tuple(failed))
