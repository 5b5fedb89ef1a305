"""`rotavel serve` against a hostile or unlucky world, through Flask's test client, and
through waitress itself where the server's own limits are what holds."""

import http.client
import os
import re
import socket
import threading
import time

import pytest

pytest.importorskip("flask", reason="the serve extra (pip install 'rotavel[serve]') is missing")

from support.schools import write_school
from support.web import (
    DATE,
    LESSONS,
    PASSWORD,
    STAFF,
    Clock,
    absent,
    fake_server,
    log_in,
    make_site,
    post,
    run_serve,
    site_for,
    token_of,
)

from rotavel_app.desk.desk import Desk, record_names
from rotavel_app.school.folder import school_version
from rotavel_app.web import auth, command
from rotavel_app.web.app import LOGIN_HOURS, create_app
from rotavel_app.web.secure import Sessions, StateFile, Throttle

# ---- one version of the school's files ---------------------------------------------------

# Untis numbers the days from Monday 1: DATE is a Tuesday. ANN teaches 9A twice; the
# replaced export gives her 9Z instead, in a file of the same size.
GPU001 = (
    '1,"9A","ANN","M","R1",2,1,,\r\n'
    '2,"9B","BOB","M","R2",2,1,,\r\n'
    '3,"9A","ANN","M","R1",2,2,,\r\n'
    '4,"9C","CAT","M","R3",2,2,,\r\n'
)


def untis_site(folder):
    folder.mkdir(parents=True)
    (folder / "GPU001.TXT").write_bytes(GPU001.encode())
    return site_for(folder)


def replace_export(folder, how):
    """GPU001.TXT with 9Z for 9A: rewritten in place with its old times put back (as a
    copy that keeps times would leave it), or replaced by a new file (as a fresh export)."""
    path = folder / "GPU001.TXT"
    new = GPU001.replace("9A", "9Z").encode()
    if how == "in place, same size and time":
        before = os.stat(path)
        with open(path, "r+b") as file:
            file.write(new)
        os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))
        same = [(s.st_ino, s.st_size, s.st_mtime_ns) for s in (before, os.stat(path))]
        assert same[0] == same[1]
    else:
        (folder / "GPU001.new").write_bytes(new)
        os.replace(folder / "GPU001.new", path)


REPLACEMENTS = ["in place, same size and time", "a new file"]


@pytest.mark.parametrize("how", REPLACEMENTS)
def test_a_replaced_export_changes_the_today_page_and_what_publish_stores(tmp_path, how):
    site = untis_site(tmp_path / "untis")
    client = create_app(site).test_client()
    log_in(client)
    absent(site, "ANN")
    assert re.findall(r"9[AZ]", client.get("/today").text).count("9A") >= 2
    replace_export(site.folder, how)
    page = client.get("/today").text
    assert "9Z" in page and "9A" not in page
    assert post(client, "/publish").status_code == 303
    with Desk.open(site.folder) as desk:
        published = {(r.teacher, r.period, r.classes) for r in desk.published(DATE)}
    assert published == {("ANN", 1, "9Z"), ("ANN", 2, "9Z")}


@pytest.mark.parametrize("how", REPLACEMENTS)
def test_one_desk_reads_a_replaced_export_again(tmp_path, how):
    site = untis_site(tmp_path / "untis")
    absent(site, "ANN")
    with Desk.open(site.folder) as desk:
        assert {a.lesson.classes for a in desk.plan(DATE).absent_lessons} == {("9A",)}
        replace_export(site.folder, how)
        assert {a.lesson.classes for a in desk.plan(DATE).absent_lessons} == {("9Z",)}


def test_the_version_of_a_folder_is_its_files_contents_and_not_the_record(tmp_path):
    folder = write_school(tmp_path / "school", STAFF, LESSONS)
    skip = record_names(None)
    first = school_version(folder, skip)
    with Desk.open(folder) as desk:  # creates the record and its journal
        desk.add_absence("Ann", DATE, DATE, None, "Ill")
    assert school_version(folder, skip) == first
    changes = []
    (folder / "GPU001.TXT").write_text("x")  # any file a reader may look for
    changes.append(school_version(folder, skip))
    (folder / "GPU001.TXT").write_text("y")
    changes.append(school_version(folder, skip))
    (folder / "GPU001.TXT").rename(folder / "GPU002.TXT")
    changes.append(school_version(folder, skip))
    (folder / "GPU002.TXT").unlink()
    changes.append(school_version(folder, skip))
    assert changes[-1] == first
    assert len({first, *changes[:-1]}) == 4


# ---- sessions ----------------------------------------------------------------------------


def test_a_cookie_copied_before_logout_opens_nothing_after(site, app, client):
    absent(site, "Ann")
    copy = app.test_client()
    copy.set_cookie("rotavel_session", client.get_cookie("rotavel_session").value)
    token = token_of(copy.get("/today").text)
    assert copy.get("/today").status_code == 200
    assert post(client, "/logout").status_code == 303
    assert copy.get("/today").status_code == 302
    answer = copy.post("/publish", data={"csrf_token": token, "date": DATE.isoformat()})
    assert answer.status_code == 403
    with Desk.open(site.folder) as desk:
        assert desk.publication(DATE) is None
    assert client.get("/today").status_code == 302


def test_a_login_ends_after_its_hours_however_often_it_is_used(site, app):
    clock = Clock()
    site.sessions = Sessions(LOGIN_HOURS * 3600, clock=clock)
    client = app.test_client()
    log_in(client)
    for _ in range(LOGIN_HOURS):
        clock.now += 3600 - 1
        # Every action re-signs the cookie (its message): still the same login.
        assert post(client, "/staff/board-link").status_code == 303
        assert client.get("/today").status_code == 200
    clock.now += LOGIN_HOURS
    assert client.get("/today").status_code == 302
    log_in(client)
    assert client.get("/today").status_code == 200


# ---- the server's limits: slow clients, huge bodies ----------------------------------------


@pytest.fixture
def served(site, monkeypatch):
    """The desk behind waitress as `rotavel serve` makes it, on a free port."""
    monkeypatch.setattr(command, "REQUEST_SECONDS", 1.0, raising=False)
    monkeypatch.setattr(command, "CHECK_SECONDS", 1, raising=False)
    server = command.make_server(create_app(site), host="127.0.0.1", port=0, threads=4)
    thread = threading.Thread(target=server.run, daemon=True)
    thread.start()
    yield server.effective_port
    server.close()
    thread.join(10)


def login_page(port, timeout=5):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        connection.request("GET", "/login")
        return connection.getresponse().status
    finally:
        connection.close()


def test_slow_clients_do_not_keep_others_from_the_login_page(served):
    slow = []
    try:
        for _ in range(120):  # more than waitress's own limit of 100 connections
            conn = socket.create_connection(("127.0.0.1", served), timeout=5)
            conn.sendall(b"GET /login HTTP/1.1\r\nHost: 127.0.0.1\r\nX-A: ")
            slow.append(conn)
        assert login_page(served) == 200
    finally:
        for conn in slow:
            conn.close()


def test_a_request_dripping_in_byte_by_byte_is_cut_off(served):
    conn = socket.create_connection(("127.0.0.1", served), timeout=10)
    started = time.monotonic()
    closed = None
    try:
        conn.sendall(b"GET /login HTTP/1.1\r\nHost: 127.0.0.1\r\n")
        conn.settimeout(0.2)
        while time.monotonic() - started < 8:
            try:
                conn.sendall(b"X")  # never idle: waitress's own timeout never comes
                if conn.recv(1024) == b"":
                    closed = time.monotonic() - started
                    break
            except TimeoutError:
                continue
            except OSError:
                closed = time.monotonic() - started
                break
    finally:
        conn.close()
    assert closed is not None and closed < 6
    assert login_page(served) == 200


def answer_to(port, head, body_chunks=()):
    """The status line the server answers with."""
    conn = socket.create_connection(("127.0.0.1", port), timeout=10)
    try:
        conn.sendall(head)
        for chunk in body_chunks:
            try:
                conn.sendall(chunk)
            except OSError:
                break  # refused and closed: good
        conn.settimeout(5)
        reply = b""
        while b"\r\n" not in reply:
            part = conn.recv(4096)
            if not part:
                break
            reply += part
        return reply.split(b"\r\n", 1)[0].decode()
    finally:
        conn.close()


HEAD = b"POST /login HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"


@pytest.mark.parametrize(
    ("length", "status"),
    [(1024 * 1024 + 1, "413"), (1024 * 1024, "400")],
)
def test_a_body_over_the_limit_is_refused_from_its_length_before_it_is_sent(served, length, status):
    # Nothing of a refused body is sent: the answer comes from the head alone. A body of
    # exactly the limit is read (and refused by the page for its missing token).
    body = [b"x" * length] if length <= 1024 * 1024 else []
    line = answer_to(served, HEAD + f"Content-Length: {length}\r\n\r\n".encode(), body)
    assert line.split(" ")[1] == status


def test_a_chunked_body_is_refused_once_it_passes_the_limit(served):
    chunk = b"x" * 65536
    framed = b"%x\r\n%s\r\n" % (len(chunk), chunk)
    # 4 MiB and no last chunk: the answer can only be the refusal, once past the limit.
    endless = (framed for _ in range(64))
    line = answer_to(served, HEAD + b"Transfer-Encoding: chunked\r\n\r\n", endless)
    assert line.split(" ")[1] == "413"


# ---- the login throttle -------------------------------------------------------------------


def test_a_stranger_guessing_keeps_only_himself_out(site, app):
    stranger, there = app.test_client(), {"REMOTE_ADDR": "10.0.0.9"}
    for _ in range(5):
        page = stranger.get("/login", environ_overrides=there).text
        form = {"csrf_token": token_of(page), "password": "guess"}
        stranger.post("/login", data=form, environ_overrides=there)
    assert site.throttle.wait("10.0.0.9") > 0
    manager = app.test_client()
    assert log_in(manager).headers["Location"] == "/today"
    assert manager.get("/today").status_code == 200


def test_guesses_sent_at_once_reach_the_password_check_once(site, app, monkeypatch):
    checked = []

    def slow_check(password, stored):
        checked.append(password)
        time.sleep(0.2)
        return False

    monkeypatch.setattr(auth, "check_password", slow_check)
    clients = [app.test_client() for _ in range(24)]
    tokens = [token_of(c.get("/login").text) for c in clients]
    start = threading.Barrier(len(clients))
    answers = []

    def guess(c, token):
        start.wait()
        answers.append(c.post("/login", data={"csrf_token": token, "password": "guess"}))

    threads = [threading.Thread(target=guess, args=pair) for pair in zip(clients, tokens)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(checked) == 1
    assert [a.status_code for a in answers] == [303] * 24


@pytest.mark.parametrize(
    ("address", "counted"),
    [
        ("::ffff:192.0.2.7", "192.0.2.7"),
        ("2001:db8:1:2:3:4:5:6", "2001:db8:1:2::/64"),
    ],
)
def test_the_throttle_counts_an_ipv6_network_as_one_client(address, counted):
    from rotavel_app.web.secure import client_of

    throttle = Throttle(clock=Clock())
    assert throttle.begin(client_of(address)) == (True, 1.0)
    assert throttle.begin(client_of(address)) == (False, 1.0)
    assert throttle.failures(counted) == 1


def test_a_flood_of_addresses_keeps_the_throttle_small_and_the_waiting_waiting():
    clock = Clock()
    throttle = Throttle(clock=clock, clients=100)
    for wait in (1, 2, 4, 8):  # the guesser, after four wrong passwords: 16 seconds
        assert throttle.begin("192.0.2.2") == (True, wait)
        clock.now += wait
    assert throttle.begin("192.0.2.2") == (True, 16)
    for n in range(1000):  # new addresses, each trying once: a second each
        throttle.begin(f"10.0.{n // 256}.{n % 256}")
        clock.now += 1 / 1024  # exact in binary: the waits compare exactly
    assert len(throttle._failures) <= 100
    assert throttle.begin("192.0.2.2") == (False, 16 - 1000 / 1024)


def test_logins_kept_are_bounded_and_the_oldest_goes_first():
    clock = Clock()
    sessions = Sessions(3600, clock=clock, most=3)
    first, *others = [sessions.begin() for _ in range(3)]
    clock.now += 1
    newest = sessions.begin()
    assert [sessions.alive(s) for s in (first, *others, newest)] == [False, True, True, True]
    assert [sessions.alive(s) for s in (None, 7, "forged")] == [False, False, False]


# ---- dates and addresses at the edges ------------------------------------------------------

EDGE_PAGES = [
    "/today?date={}",
    "/today/lesson?date={}&lesson=1-QW5u",
    "/slips?date={}",
    "/history?last={}",
    "/history?first={}&last=2026-12-08",
    "/board?date={}",
    "/board/version?date={}",
]


# Each page checks its day; that both ends are checked, once.
@pytest.mark.parametrize(
    ("page", "day"),
    [(page, "9999-12-31") for page in EDGE_PAGES] + [(EDGE_PAGES[0], "0001-01-01")],
)
def test_a_day_at_the_end_of_the_calendar_is_a_plain_refusal(site, client, page, day):
    absent(site, "Ann")
    answer = client.get(page.format(day))
    assert answer.status_code == 400
    assert f"{day} is outside the days the desk keeps (1900-01-01 to 2999-12-31)." in answer.text


@pytest.mark.parametrize(
    ("path", "form", "day"),
    [
        ("/publish", {}, "9999-12-31"),
        ("/publish", {}, "0001-01-01"),
        ("/absences", {"teacher": "Ann", "first": "{}", "last": "{}"}, "9999-12-31"),
        ("/lessons/no-cover", {"lesson": "1-QW5u"}, "9999-12-31"),
    ],
)
def test_a_form_naming_a_day_at_the_end_of_the_calendar_changes_nothing(
    site, client, path, form, day
):
    absent(site, "Ann")
    form = {key: value.format(day) for key, value in form.items()}
    answer = post(client, path, **({"date": day} | form))
    assert answer.status_code == 400
    with Desk.open(site.folder) as desk:
        assert (desk.publication(DATE), len(desk.absences_on(DATE))) == (None, 1)


# A login goes back to the page asked for, and never to another site nor through a line break.
ELSEWHERE = ["//evil.example/x", "https://evil.example/", "/\\evil.example", "/\n/evil.example"]
ELSEWHERE += [
    "/\t/evil.example",
    "/today\r\nSet-Cookie: owned=1",
    "/today\nLocation: https://evil.example/",
]


@pytest.mark.parametrize(
    "target, landing",
    [("/history?first=2026-12-01", "/history?first=2026-12-01")]
    + [("/%0d%0aSet-Cookie:owned=1", "/%0d%0aSet-Cookie:owned=1")]
    + [(target, "/today") for target in ELSEWHERE],
)
def test_a_login_goes_back_only_to_a_page_of_its_own(app, target, landing):
    visitor = app.test_client()
    page = visitor.get("/login", query_string={"next": target})
    assert page.status_code == 200
    form = {"csrf_token": token_of(page.text), "password": PASSWORD, "next": target}
    answer = visitor.post("/login", data=form)
    assert (answer.status_code, answer.headers["Location"]) == (303, landing)
    assert "owned" not in answer.headers.get("Set-Cookie", "")
    # The login page carries on only a target it would go to.
    kept = target if landing == target else ""
    assert f'name="next" value="{kept}"' in page.text


# ---- the address the desk says it is at ----------------------------------------------------


@pytest.mark.parametrize(
    ("host", "asked", "status"),
    [
        ("127.0.0.2", "127.0.0.2:8000", 200),
        ("::1", "[::1]:8000", 200),
        ("[::1]", "[::1]", 200),
        ("127.0.0.1", "[::1]:8000", 200),
        ("127.0.0.2", "evil.example:8000", 400),
        ("::1", "[::2]:8000", 400),
    ],
)
def test_a_loopback_address_answers_to_its_own_name(tmp_path, host, asked, status):
    site = make_site(tmp_path / "school")
    site.host = host
    answer = create_app(site).test_client().get("/login", headers={"Host": asked})
    assert answer.status_code == status


@pytest.mark.parametrize("host", ["127.0.0.2", "::1"])
def test_the_printed_address_answers(tmp_path, host):
    site = make_site(tmp_path / "school")
    site.host = host
    try:
        server = command.make_server(create_app(site), host=host, port=0, threads=2)
    except OSError:
        pytest.skip(f"{host} cannot be listened on here")
    thread = threading.Thread(target=server.run, daemon=True)
    thread.start()
    try:
        name = f"[{host}]" if ":" in host else host
        connection = http.client.HTTPConnection(name.strip("[]"), server.effective_port, timeout=5)
        connection.putrequest("GET", "/login", skip_host=True)
        connection.putheader("Host", f"{name}:{server.effective_port}")  # as a browser sends it
        connection.endheaders()
        assert connection.getresponse().status == 200
        connection.close()
    finally:
        server.close()
        thread.join(10)


def serve_with_a_password(tmp_path, capsys, monkeypatch, *args):
    """(what waitress was asked for, exit status, output, errors) of `rotavel serve`."""
    folder = write_school(tmp_path / "school", STAFF, LESSONS)
    StateFile(folder / "rotavel-serve.json").set_password(PASSWORD)
    served = fake_server(monkeypatch)
    return served, *run_serve(capsys, str(folder), *args)


@pytest.mark.parametrize(
    ("host", "listens", "printed"),
    [("::1", "::1", "[::1]"), ("[::1]", "::1", "[::1]"), ("127.0.0.2", "127.0.0.2", "127.0.0.2")],
)
def test_serve_listens_where_it_says(tmp_path, capsys, monkeypatch, host, listens, printed):
    served, code, out, err = serve_with_a_password(tmp_path, capsys, monkeypatch, "--host", host)
    assert (code, err, served["host"]) == (0, "", listens)
    assert f"is at http://{printed}:8000/ (Ctrl+C stops it)" in out


@pytest.mark.parametrize(
    ("option", "value", "why"),
    [
        ("--host", "not a host", "is not an address or a host name"),
        ("--host", "[example.org]", "is not an address or a host name"),
        ("--host", "224.0.0.1", "is a multicast address, which no browser can open"),
        (
            "--proxy",
            "https://desk.example/",
            "is not a host name (the name the proxy serves, without https://)",
        ),
    ],
)
def test_a_host_it_cannot_serve_is_one_line(tmp_path, capsys, monkeypatch, option, value, why):
    served, code, _, err = serve_with_a_password(tmp_path, capsys, monkeypatch, option, value)
    assert (served, code, err) == ({}, 2, f"rotavel serve: {option} {value} {why}\n")


# ---- the board's public link ---------------------------------------------------------------

BREAKAGES = {
    "the timetable": ("timetable.csv", "teacher,period,class\nAnn,1,\n"),
    "the settings": ("rotavel.toml", "name = [\n"),
}


@pytest.mark.parametrize("broken", list(BREAKAGES))
def test_the_boards_link_names_no_path_when_the_school_is_broken(site, client, broken):
    absent(site, "Ann")
    post(client, "/publish")
    name, text = BREAKAGES[broken]
    (site.folder / name).write_text(text)
    token = site.state.load().board_token
    public = [client.get(f"/board/{token}"), client.get(f"/board/{token}/version")]
    assert [a.status_code for a in public] == [200, 200]
    assert "The cover board cannot be shown just now" in public[0].text
    for answer in public:
        assert str(site.folder) not in answer.text and name not in answer.text
    # The desk's own board, behind the login, says what to mend.
    assert f"{site.folder / name}" in client.get("/board").text


# ---- behind a reverse proxy ----------------------------------------------------------------

FORWARDED = {
    "X-Forwarded-For": "203.0.113.7",
    "X-Forwarded-Proto": "https",
    "X-Forwarded-Host": "desk.school.example",
    "X-Forwarded-Port": "443",
    # As a browser sends it with a form of the site (checked on HTTPS with the token).
    "Referer": "https://desk.school.example/login",
}


@pytest.mark.parametrize(
    ("proxy", "link", "counted", "secure"),
    [
        (None, "http://localhost/board/", "127.0.0.1", False),
        ("desk.school.example", "https://desk.school.example/board/", "203.0.113.7", True),
    ],
)
def test_a_proxys_headers_are_believed_only_when_configured(tmp_path, proxy, link, counted, secure):
    site = make_site(tmp_path / "school")
    site.proxy = proxy
    visitor = create_app(site).test_client()

    def log_in_with(password):
        page = visitor.get("/login", headers=FORWARDED).text
        form = {"csrf_token": token_of(page), "password": password}
        return visitor.post("/login", data=form, headers=FORWARDED)

    log_in_with("wrong")
    assert site.throttle.failures(counted) == 1
    site.clock.now += 10
    answer = log_in_with(PASSWORD)
    assert ("Secure" in answer.headers["Set-Cookie"]) is secure
    staff = visitor.get("/staff", headers=FORWARDED)
    assert staff.status_code == 200
    assert re.search(r'<code class="link">([^<]*/board/)', staff.text)[1] == link


def test_behind_a_proxy_only_its_name_is_answered(tmp_path):
    site = make_site(tmp_path / "school")
    site.proxy = "desk.school.example"
    site.loopback = False
    visitor = create_app(site).test_client()
    assert visitor.get("/login", headers=FORWARDED).status_code == 200
    other = FORWARDED | {"X-Forwarded-Host": "evil.example"}
    assert visitor.get("/login", headers=other).status_code == 400
