"""E-mail to each substitute a publish changed, received by a real SMTP server
(aiosmtpd on 127.0.0.1): one message a substitute a publish, none for one
whose covers stayed, a "cancelled" for a cover taken away; a server that
refuses or is down leaves the publish standing, says so, and is tried again."""

import email
import email.policy
import html
import re
import socket

import pytest
from support.command import run
from support.schools import BASE, TUE, telling_school

pytest.importorskip("aiosmtpd", reason="the test extra (aiosmtpd) is missing")

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult

from rotavel_app.desk.desk import Desk

COVER = "Cover: Tuesday 10 March 2026, 1 lesson · s"
CANCELLED = "Cover cancelled: Tuesday 10 March 2026 · s"
NOT_SENT = "e-mail not sent (tried again at the next publish): {}: "


class Inbox:
    """What the server received; `refuse` makes it refuse every recipient."""

    def __init__(self):
        self.messages = []
        self.refuse = False

    async def handle_RCPT(self, server, session, envelope, address, options):
        if self.refuse:
            return "550 5.1.1 mailbox unavailable"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        message = email.message_from_bytes(envelope.content, policy=email.policy.default)
        self.messages.append(message)
        return "250 Message accepted for delivery"

    def take(self):
        """(to, subject) of each message since the last take, by recipient."""
        got = sorted((str(m["To"]), str(m["Subject"])) for m in self.messages)
        self.messages = []
        return got


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def inbox():
    inbox = Inbox()
    controller = Controller(inbox, hostname="127.0.0.1", port=free_port())
    controller.start()
    inbox.port = controller.port
    yield inbox
    controller.stop()


def mail_toml(port, extra=""):
    return f'[mail]\nhost = "127.0.0.1"\nport = {port}\nsender = "cover@school.test"\n{extra}'


def by_command(capfd, folder):
    code, _, err = run(capfd, "plan", folder, "--date", TUE, "--publish")
    assert code == 0
    return [line for line in err.splitlines() if "e-mail" in line]


def web_desk(folder):
    pytest.importorskip("flask")
    from support.web import log_in, site_for

    from rotavel_app.web.app import create_app

    client = create_app(site_for(folder, TUE)).test_client()
    log_in(client)
    return client


def by_web(capfd, folder):
    from support.web import token_of

    client = web_desk(folder)
    page = client.get("/today").text
    client.post("/publish", data={"csrf_token": token_of(page), "date": TUE.isoformat()})
    said = re.findall(r'<p class="message [a-z]+">([^<]*)</p>', client.get("/today").text)
    return [html.unescape(m) for m in said if "e-mail" in m.lower()]


@pytest.mark.parametrize("publish", [by_command, by_web])
def test_one_email_per_substitute_whose_covers_a_publish_changed(tmp_path, capfd, inbox, publish):
    folder = telling_school(tmp_path / "s", mail_toml(inbox.port))
    run(capfd, "absent", folder, "Ann:Ill", "--date", TUE)
    said = publish(capfd, folder)
    assert inbox.take() == [("Bob <bob@school.test>", COVER), ("Cat <cat@school.test>", COVER)]
    web = publish is by_web
    assert said == [
        "Sent 2 e-mails to the substitutes." if web else "rotavel: note: sent 2 e-mails"
    ]
    # Period 1 goes to Dan by hand: Bob is told it is cancelled, Dan of his
    # cover; Cat, whose cover stands, hears nothing.
    run(capfd, "assign", folder, "--date", TUE, "--lesson", "Ann@1", "--to", "Dan")
    publish(capfd, folder)
    assert inbox.take() == [("Bob <bob@school.test>", CANCELLED), ("Dan <dan@school.test>", COVER)]
    # Published again with nothing changed: nobody is written to.
    publish(capfd, folder)
    assert inbox.take() == []


@pytest.mark.parametrize("show_reasons", [False, True])
def test_the_message_tells_the_cover_and_the_link_never_the_reason_unless_shown(
    tmp_path, capfd, inbox, show_reasons
):
    toml = f"show_reasons = {str(show_reasons).lower()}\n" + mail_toml(inbox.port)
    folder = telling_school(tmp_path / "s", toml)
    run(capfd, "absent", folder, "Ann:Hospital appointment", "--date", TUE)
    run(capfd, "work", folder, "--date", TUE, "--lesson", "Ann@1", "Textbook p. 34, ex. 1-5")
    run(capfd, "plan", folder, "--date", TUE, "--publish")
    bob = next(m for m in inbox.messages if "bob@" in str(m["To"]))
    with Desk.open(folder) as desk:
        link = f"{BASE}/my/{desk.personal_link('Bob')}"
    text = bob.get_body(("plain",)).get_content().replace("\r\n", "\n")
    reason = " · Reason: Hospital appointment" if show_reasons else ""
    assert text == (
        "Cover slip · s\n"
        "Tuesday 10 March 2026\n"
        "\n"
        "Bob: You are asked to cover these lessons.\n"
        "\n"
        "Period: 1 · Time: 08:30–09:20 · Class: 9A · Room: R1 · Subject: maths · "
        f"Whose lesson: Ann{reason}\n"
        "    Set work: Textbook p. 34, ex. 1-5\n"
        "\n"
        f"Your covers, your calendar and the Seen button: {link}\n"
    )
    page = bob.get_body(("html",)).get_content()
    assert "<h2>Bob</h2>" in page and f'<a href="{link}">' in page
    assert '<td data-label="Work">Textbook p. 34, ex. 1-5</td>' in page
    assert ("Hospital appointment" in page) is show_reasons


@pytest.mark.parametrize("trouble", ["refuses", "down"])
def test_a_server_that_refuses_or_is_down_leaves_the_publish_and_is_tried_again(
    tmp_path, capfd, inbox, trouble
):
    port = inbox.port if trouble == "refuses" else free_port()
    folder = telling_school(tmp_path / "s", mail_toml(port))
    inbox.refuse = True
    run(capfd, "absent", folder, "Ann:Ill", "--date", TUE)
    said = by_command(capfd, folder)
    why = "cannot reach the mail server: Connection refused"
    if trouble == "refuses":
        why = "the mail server refused {}@school.test: 550 5.1.1 mailbox unavailable"
    failed = [NOT_SENT.format(name) + why.format(name.lower()) for name in ("Bob", "Cat")]
    assert said == ["rotavel: note: " + line for line in failed]
    with Desk.open(folder) as desk:
        assert desk.publication(TUE)[1] == 1  # the publish stands
        assert [(r.period, r.substitute) for r in desk.published(TUE)] == [(1, "Bob"), (2, "Cat")]
        assert [(q.substitute, q.tries) for q in desk.queued_mail(TUE)] == [("Bob", 1), ("Cat", 1)]
    # Published again from the web desk with nothing new: what waits is tried again.
    assert by_web(capfd, folder) == ["E" + line[1:] for line in failed]
    # The server is back; the next publish sends what waited, and its own.
    inbox.refuse = False
    (folder / "rotavel.toml").write_text(f'base_url = "{BASE}"\n' + mail_toml(inbox.port), "utf-8")
    run(capfd, "assign", folder, "--date", TUE, "--lesson", "Ann@1", "--to", "Dan")
    assert by_command(capfd, folder) == ["rotavel: note: sent 3 e-mails"]
    assert inbox.take() == [
        ("Bob <bob@school.test>", CANCELLED),
        ("Cat <cat@school.test>", COVER),
        ("Dan <dan@school.test>", COVER),
    ]
    with Desk.open(folder) as desk:
        assert desk.queued_mail() == []


def test_the_desk_shows_the_mail_that_failed(tmp_path, capfd):
    folder = telling_school(tmp_path / "s", mail_toml(free_port()))
    run(capfd, "absent", folder, "Ann:Ill", "--date", TUE)
    by_web(capfd, folder)
    page = web_desk(folder).get("/today").text
    assert "<strong>2 e-mails not sent</strong>" in page
    assert "<li>Cat: cannot reach the mail server: Connection refused</li>" in page


@pytest.mark.parametrize("where", ["environment", "file"])
def test_the_password_comes_from_the_environment_or_a_file(tmp_path, capfd, monkeypatch, where):
    inbox = Inbox()
    tried = []

    def check(server, session, envelope, mechanism, data):
        tried.append((data.login, data.password))
        return AuthResult(success=data.password == b"s3cret kettle")

    options = {"authenticator": check, "auth_require_tls": False}
    controller = Controller(inbox, hostname="127.0.0.1", port=free_port(), **options)
    controller.start()
    try:
        extra = 'user = "cover"\n'
        if where == "file":
            (tmp_path / "mail-password").write_text("s3cret kettle\n", encoding="utf-8")
            extra += f'password_file = "{tmp_path / "mail-password"}"\n'
        else:
            monkeypatch.setenv("ROTAVEL_MAIL_PASSWORD", "s3cret kettle")
        folder = telling_school(tmp_path / "s", mail_toml(controller.port, extra))
        run(capfd, "absent", folder, "Ann:Ill", "--date", TUE)
        assert by_command(capfd, folder) == ["rotavel: note: sent 2 e-mails"]
        assert tried == [(b"cover", b"s3cret kettle")]
    finally:
        controller.stop()


@pytest.mark.parametrize(
    "toml, message",
    [
        (
            mail_toml(25, 'password = "hunter2"\n'),
            "[mail] password does not belong in rotavel.toml; put it in the environment "
            "variable ROTAVEL_MAIL_PASSWORD (or the one password_env names) or in a file "
            "named by password_file",
        ),
        (mail_toml(25, "ssl = true\nstarttls = true\n"), "[mail] takes ssl or starttls, not both"),
        (
            '[mail]\nhost = "127.0.0.1"\nsender = "cover at school"\n',
            "[mail] sender 'cover at school' is not an e-mail address",
        ),
        ('[mail]\nsender = "a@b.test"\n', "[mail] needs host"),
        (
            mail_toml(25, "retries = 3\n"),
            "unknown [mail] setting 'retries'; they are: host, port, sender, starttls, ssl, "
            "user, password_env, password_file",
        ),
    ],
)
def test_mail_settings_refused_in_one_line(tmp_path, capfd, toml, message):
    folder = telling_school(tmp_path / "s", toml)
    code, out, err = run(capfd, "plan", folder, "--date", TUE)
    assert (code, out, err) == (2, "", f"rotavel: {folder / 'rotavel.toml'}: {message}\n")


BCC = ('"bob@x.test\nBcc: all@x.test"', "'bob@x.test\\nBcc: all@x.test'")


@pytest.mark.parametrize("written, shown", [BCC])
def test_an_email_column_that_is_not_an_address_is_refused(tmp_path, capfd, written, shown):
    # A line break would let the teacher list add mail headers of its own.
    staff = [("Ann", "maths", "ann@school.test"), ("Bob", "maths", written)]
    folder = telling_school(tmp_path / "s", staff=staff)
    code, out, err = run(capfd, "plan", folder, "--date", TUE)
    said = f"{folder / 'teacher_list.csv'}, line 3: email {shown} of 'Bob' is not an e-mail address"
    assert (code, out, err) == (2, "", f"rotavel: {said}\n")


@pytest.mark.parametrize("program", ["untis", "asc"])
def test_an_export_gives_the_addresses_where_the_program_keeps_them(tmp_path, program):
    from support import exports as imported

    from rotavel_app.school.importers import read_export

    if program == "untis":
        teachers = [list(row) for row in imported.GPU004]
        teachers[0][32] = "a.berger@school.test"  # field 33: the e-mail address
        teachers[1][32] = "not an address"
        imported.untis_folder(tmp_path)
        imported.write(tmp_path, "GPU004.TXT", imported.gpu(teachers))
    else:
        tables = imported.ASC_TABLES.replace(
            'short="NO"/>', 'short="NO" email="j.novakova@school.test"/>'
        )
        imported.write(tmp_path, "zs.xml", imported.asc_xml(tables), "cp1250")
    week = read_export(tmp_path)
    assert {row.name: row.email for row in week.staff if row.email} == (
        {"Anna Berger": "a.berger@school.test"}
        if program == "untis"
        else {"Jana Nováková": "j.novakova@school.test"}
    )
