"""The school's language: every page, the table, the slips, the history and the web
desk in each language of the catalogues, with no English message left, placeholders
filled, plural forms by each language's rule, dates in its words and order, Arabic
right to left; and the catalogues' own check (tools/check_catalogues.py)."""

import datetime
import re
import shutil
import socket
import subprocess
import sys
from html.parser import HTMLParser

import pytest
from support.command import run
from support.languages import LANGUAGES, ROOT, catalogue, english_left, ids
from support.schools import write_school
from support.web import LESSONS, STAFF

from rotavel_app import language
from rotavel_app.commands.main import main
from rotavel_app.language import _, date_text, ngettext, use

DATE = datetime.date(2026, 12, 9)  # a Wednesday

# Covers, lessons nobody can take (so the notes on why), and a reason on the pages.
ABSENT = ["--absent", "Ann:Flu", "--absent", "Bob", "--absent", "Cat@3-4", "--absent", "Dan@4"]
SCHOOL_VALUES = ["Ann", "Bob", "Cat", "maths", "9A", "Flu"]


@pytest.fixture(autouse=True)
def english_afterwards():
    yield
    use(None)


def school(folder, lang=None, reasons=True):
    write_school(folder, STAFF, LESSONS)
    settings = ['name = "Hillside"', f"show_reasons = {str(reasons).lower()}"]
    if lang is not None:
        settings.append(f'language = "{lang}"')
    (folder / "rotavel.toml").write_text("\n".join(settings) + "\n", encoding="utf-8")
    return folder


class Visible(HTMLParser):
    """What a reader sees of a page: its text and the words of its fields."""

    SHOWN = frozenset({"placeholder", "aria-label", "data-label", "label", "title"})

    def __init__(self):
        super().__init__()
        self.parts = []
        self.hidden = 0

    def handle_starttag(self, tag, attrs):
        if tag in ("style", "script"):
            self.hidden += 1
        self.parts += [value for name, value in attrs if name in self.SHOWN and value]

    def handle_endtag(self, tag):
        if tag in ("style", "script"):
            self.hidden -= 1

    def handle_data(self, data):
        if not self.hidden:
            self.parts.append(data)


def visible(page):
    parser = Visible()
    parser.feed(page)
    return " ".join(" ".join(parser.parts).split())


def check_page(text, lang):
    assert "%(" not in text and "{{" not in text
    if lang != "en":
        assert english_left(text, lang) == []
    for value in SCHOOL_VALUES:  # what the school wrote, as it wrote it
        assert re.search(rf"(?<!\w){value}(?!\w)", text), value


@pytest.mark.parametrize("lang", LANGUAGES)
def test_the_command_speaks_the_language_asked_for(tmp_path, capsys, lang):
    folder = school(tmp_path / "school")
    for fmt in ("table", "html", "slips"):
        out = tmp_path / f"{fmt}.out"
        argv = [str(folder), *ABSENT, "--date", DATE.isoformat(), "-f", fmt, "-o", str(out)]
        assert run(capsys, *argv, "--language", lang) == (0, "", "")
        text = out.read_text(encoding="utf-8")
        if fmt != "table":
            page = text
            text = visible(text)
            rtl = ' dir="rtl"' if lang == "ar" else ""
            assert f'<html lang="{lang}"{rtl}>' in page
        check_page(text, lang)
        use(lang)
        assert date_text(DATE) in text
        use(None)


@pytest.mark.parametrize(
    ("lang", "title"),
    [
        ("de", "Vertretungsplan: Hillside, Mittwoch, 9. Dezember 2026"),
        ("es", "Sustituciones: Hillside, miércoles, 9 de diciembre de 2026"),
        ("ar", "لوحة التعويضات: Hillside، الأربعاء، 9 ديسمبر 2026"),
    ],
)
def test_the_school_setting_chooses_the_language_and_the_date_is_the_languages(
    tmp_path, capsys, lang, title
):
    folder = school(tmp_path / "school", lang)
    out = tmp_path / "board.html"
    argv = [str(folder), *ABSENT, "--date", DATE.isoformat(), "-f", "html", "-o", str(out)]
    assert run(capsys, *argv) == (0, "", "")
    assert re.search(r"<title>(.*)</title>", out.read_text(encoding="utf-8"))[1] == title
    # --language wins over the school's for one run.
    assert run(capsys, *argv, "--language", "en") == (0, "", "")
    assert "Cover board: Hillside" in out.read_text(encoding="utf-8")


@pytest.mark.parametrize(
    ("lang", "forms"),
    [
        ("en", ["0 covers", "1 cover", "2 covers"]),
        ("fr", ["0 remplacement", "1 remplacement", "2 remplacements"]),
        ("de", ["0 Vertretungen", "1 Vertretung", "2 Vertretungen"]),
        ("es", ["0 sustituciones", "1 sustitución", "2 sustituciones"]),
        ("nl", ["0 vervangingen", "1 vervanging", "2 vervangingen"]),
        # Arabic: zero, one, two, a few (3-10), many (11-99 of each hundred), and the rest.
        (
            "ar",
            [
                "0 تعويض",
                "تعويض واحد",
                "تعويضان",
                "3 تعويضات",
                "11 تعويضًا",
                "100 تعويض",
                "111 تعويضًا",
            ],
        ),
    ],
)
def test_plural_forms_follow_each_languages_rule(lang, forms):
    use(lang)
    counts = [0, 1, 2, 3, 11, 100, 111][: len(forms)]
    assert [ngettext("%(n)s cover", "%(n)s covers", n) % {"n": n} for n in counts] == forms


@pytest.mark.parametrize(
    ("lang", "one", "two"),
    [
        ("en", "1 cover", "2 covers"),
        ("ar", "تعويض واحد", "تعويضان"),
    ],
)
def test_a_slip_counts_its_covers_in_the_language(tmp_path, capsys, lang, one, two):
    folder = school(tmp_path / "school", lang)
    out = tmp_path / "slips.html"
    # Ann away in periods 1-2: Bob and Dan are free in 1, and Bob in 2 as well.
    argv = [str(folder), "--absent", "Ann@1-2", "--absent", "Cat@1", "--date", "2026-12-09"]
    assert run(capsys, *argv, "-f", "slips", "-o", str(out)) == (0, "", "")
    counts = re.findall(r'<p class="count">(.*?)</p>', out.read_text(encoding="utf-8"))
    assert sorted(counts) == sorted([one, two]) or sorted(counts) == sorted([one, one, one])


def test_the_english_catalogue_is_the_messages_as_written():
    for message in catalogue("en"):
        if message.id:
            assert ids(message.string) == ids(message.id)


def test_a_language_without_a_catalogue_is_refused_in_one_line(tmp_path, capsys):
    folder = school(tmp_path / "school", "xx")
    status, out, err = run(capsys, str(folder))
    assert (status, out) == (2, "")
    assert err == (
        f"rotavel: {folder / 'rotavel.toml'}: language 'xx' is not one of en, ar, de, es, fr, nl\n"
    )
    status, out, err = run(capsys, str(school(tmp_path / "other")), "--language", "xx")
    assert (status, out, err.count("\n")) == (2, "", 1)
    assert "--language" in err and "invalid choice: 'xx'" in err


@pytest.mark.parametrize("lang", ["en", "ar"])
def test_a_name_inside_a_translated_sentence_is_shown_as_any_value_is(lang):
    from rotavel_app.pages.webpage import _environment

    use(lang)
    template = _environment().from_string(
        "{% trans name=name %}<strong>{{ name }}</strong> (x){% endtrans %}"
    )
    page = template.render(name="Ann\u202e<b>")
    shown = "Ann\\u202e&lt;b&gt;"
    assert page == (
        f"<strong><bdi>{shown}</bdi></strong> (x)"
        if lang == "ar"
        else f"<strong>{shown}</strong> (x)"
    )


# -- the web desk ----------------------------------------------------------------------

flask = pytest.importorskip("flask", reason="the serve extra is missing")

from support.web import PASSWORD, token_of  # noqa: E402

from rotavel_app.desk.desk import Desk  # noqa: E402
from rotavel_app.web import secure  # noqa: E402
from rotavel_app.web.app import Site, create_app  # noqa: E402
from rotavel_app.web.secure import StateFile, Throttle  # noqa: E402


@pytest.fixture
def desk_school(tmp_path, monkeypatch):
    monkeypatch.setattr(secure, "SCRYPT_N", 2**8)

    def make(lang):
        folder = school(tmp_path / f"school-{lang}", lang)
        with Desk.open(folder) as desk:
            desk.add_absence("Ann", DATE, DATE, None, "Flu")
            desk.add_absence("Bob", DATE, DATE, None, "")
            desk.add_absence("Cat", DATE, DATE, frozenset({3, 4}), "")
            desk.add_absence("Dan", DATE, DATE, frozenset({4}), "")
            desk.no_cover(DATE, "Bob", 3)
        state = StateFile(folder / "rotavel-serve.json")
        state.set_password(PASSWORD)
        return folder, Site(folder, None, state, today=lambda: DATE, throttle=Throttle())

    return make


@pytest.mark.parametrize("lang", LANGUAGES)
def test_every_desk_page_speaks_the_schools_language(desk_school, capsys, lang):
    folder, site = desk_school(lang)
    client = create_app(site).test_client()
    pages = {"login": client.get("/login").text}
    client.post("/login", data={"csrf_token": token_of(pages["login"]), "password": PASSWORD})
    day = f"?date={DATE.isoformat()}"
    pages["unpublished slips"] = client.get("/slips" + day).text
    pages["waiting board"] = client.get("/board" + day).text
    published = client.post(
        "/publish", data={"csrf_token": token_of(client.get("/today" + day).text), "date": DATE}
    )
    assert published.status_code == 303
    pages["today"] = client.get("/today" + day).text  # with the flashed "Published: ..."
    ann = "QW5u"  # base64 of Ann
    pages["lesson"] = client.get(f"/today/lesson{day}&lesson=1-{ann}").text
    pages["board"] = client.get("/board" + day).text
    pages["slips"] = client.get("/slips" + day).text
    pages["staff"] = client.get("/staff").text
    pages["history"] = client.get(f"/history?first=2026-12-01&last={DATE}").text
    pages["not found"] = client.get("/nowhere").text
    pages["form without its token"] = client.post("/publish", data={"date": DATE}).text
    rtl = ' dir="rtl"' if lang == "ar" else ""
    for name, page in pages.items():
        assert f'<html lang="{lang}"{rtl}>' in page, name
        text = visible(page)
        assert "%(" not in text, name
        if lang != "en":
            assert english_left(text, lang) == [], name
    for name in ("today", "board", "slips"):
        for value in SCHOOL_VALUES[:5]:
            assert value in visible(pages[name]), (name, value)
    use(lang)
    published_words = ngettext(
        "Published: %(covers)s cover, %(uncovered)s not covered.",
        "Published: %(covers)s covers, %(uncovered)s not covered.",
        3,
    )
    use(None)
    assert re.sub(r"%\(\w+\)s", "", published_words).split()[0] in visible(pages["today"])
    # The command's history page of the same record, in the school's language.
    out = folder / "history.html"
    assert (
        main(["history", str(folder), "--to", DATE.isoformat(), "--format", "html", "-o", str(out)])
        == 0
    )
    capsys.readouterr()
    history = out.read_text(encoding="utf-8")
    assert f'<html lang="{lang}"{rtl}>' in history
    text = visible(history)
    check = english_left(text, lang) if lang != "en" else []
    assert ("%(" in text, check) == (False, [])
    assert "Ann" in text or "Dan" in text or "Eve" in text or "Fay" in text


def _row_of(page, name):
    return re.search(rf'<th scope="row">{name}</th>(.*?)</tr>', page, re.DOTALL)[1]


@pytest.mark.parametrize("lang", LANGUAGES)
def test_the_fair_share_reasons_and_the_free_lists_notes_speak_the_schools_language(
    desk_school, lang
):
    from markupsafe import escape

    folder, site = desk_school(lang)
    with Desk.open(folder) as desk:
        desk.set_staff_rule("Fay", never=True)  # free in period 1
        desk.set_staff_rule("Eve", days=frozenset({0}))  # Mondays only; free in period 3
    client = create_app(site).test_client()
    login = client.get("/login").text
    client.post("/login", data={"csrf_token": token_of(login), "password": PASSWORD})
    day = f"?date={DATE.isoformat()}"
    today = client.get("/today" + day).text
    why = client.get(f"/today/why{day}&name=Dan").text
    ann_1 = client.get(f"/today/lesson{day}&lesson=1-QW5u").text  # Ann's period 1
    cat_3 = client.get(f"/today/lesson{day}&lesson=3-Q2F0").text  # Cat's period 3
    with Desk.open(folder) as desk:
        english = {(a.lesson.teacher, a.lesson.period): a.why for a in desk.plan(DATE).covers}
        use(lang)
        covers = desk.plan(DATE).covers
        never = _("not asked: %(note)s") % {"note": _("never covers")}
        not_today = _("not asked: %(note)s") % {"note": _("not on Wednesdays")}
        assign = _("Assign")
        use(None)
    reasons = {(a.lesson.teacher, a.lesson.period): a.why for a in covers}
    assert ("Ann", 1) in reasons and all(reasons.values())
    shown = re.findall(r'<span class="why">(.*?)</span>', today)
    assert sorted(shown) == sorted(str(escape(r)) for r in reasons.values())
    dans = [str(escape(a.why)) for a in covers if a.substitute == "Dan"]
    assert dans and all(r in why for r in dans)
    if lang != "en":
        assert all(reasons[k] != english[k] for k in reasons)
        assert english_left(" ".join(reasons.values()), lang) == []
    # Never covering, or not on this weekday: not asked, and no button to assign them.
    for page, name, note in ((ann_1, "Fay", never), (cat_3, "Eve", not_today)):
        row = _row_of(page, name)
        assert (note in visible(row), "<button" in row) == (True, False), name
    assert f">{escape(assign)}</button>" in _row_of(ann_1, "Dan")


# -- the catalogues' check ----------------------------------------------------------------


@pytest.fixture
def checkout(tmp_path):
    root = tmp_path / "checkout"
    shutil.copytree(
        ROOT / "src" / "rotavel_app",
        root / "src" / "rotavel_app",
        ignore=shutil.ignore_patterns("__pycache__"),
    )
    shutil.copy(ROOT / "babel.cfg", root / "babel.cfg")
    return root


def check(root):
    done = subprocess.run(
        [sys.executable, str(ROOT / "tools" / "check_catalogues.py"), str(root)],
        capture_output=True,
        text=True,
    )
    return done.returncode, done.stderr


def edit(path, old, new):
    text = path.read_text(encoding="utf-8")
    assert old in text
    path.write_text(text.replace(old, new, 1), encoding="utf-8")


FR = "src/rotavel_app/locale/fr/LC_MESSAGES/rotavel.po"
AR = "src/rotavel_app/locale/ar/LC_MESSAGES/rotavel.po"


@pytest.mark.parametrize(
    ("path", "old", "new", "problem"),
    [
        (FR, 'msgstr "Heure %(period)s"', 'msgstr ""', "'Period %(period)s' is not translated"),
        (
            FR,
            'msgstr "Heure %(period)s"',
            'msgstr "Heure %(periode)s"',
            "'Period %(period)s': placeholders ['periode'], not ['period']",
        ),
        (FR, 'msgstr "Heure %(period)s"', 'msgstr "Heure %(period)s à 100 %"', "does not format"),
        (
            FR,
            '#, python-format\nmsgid "Period %(period)s"',
            '#, fuzzy, python-format\nmsgid "Period %(period)s"',
            "'Period %(period)s' is fuzzy",
        ),
        (AR, 'msgstr[1] "تعويض واحد"\n', "", "'%(n)s cover' needs 6 plural forms, has 5"),
        (
            AR,
            'msgstr[5] "%(n)s تعويض"',
            'msgstr[5] "تعويض"',
            "'%(n)s cover': form 5 has placeholders [], not ['n']",
        ),
        (
            "src/rotavel_app/pages/templates/board.html",
            "No lessons to cover today.",
            "No lessons today.",
            "rotavel.pot lacks 'No lessons today.'",
        ),
    ],
)
def test_the_check_fails_on_a_catalogue_gone_wrong(checkout, path, old, new, problem):
    assert check(checkout)[0] == 0
    edit(checkout / path, old, new)
    status, said = check(checkout)
    assert status == 1 and problem in said, said


def test_the_check_fails_on_a_mo_not_compiled_from_its_po(checkout):
    edit(checkout / FR, 'msgstr "Heure %(period)s"', 'msgstr "Période %(period)s"')
    status, said = check(checkout)
    assert (status, said.splitlines()[0]) == (
        1,
        "check_catalogues: src/rotavel_app/locale/fr/LC_MESSAGES/rotavel.mo is not compiled from its .po",
    )


# -- what a publish tells people: the phone page, its calendar, the e-mail, the changes ----


def published_school(tmp_path, lang):
    """telling_school's day published in `lang`, then changed and published again:
    Bob keeps period 1 (with set work), Cat's period 2 is taken away."""
    from support.schools import TUE, telling_school

    closed = socket.socket()
    closed.bind(("127.0.0.1", 0))
    port = closed.getsockname()[1]
    closed.close()  # nobody listens: every e-mail stays queued, to be composed below
    mail = f'[mail]\nhost = "127.0.0.1"\nport = {port}\nsender = "cover@school.test"\n'
    folder = telling_school(
        tmp_path / f"told-{lang}", f'language = "{lang}"\nshow_reasons = true\n' + mail
    )
    with Desk.open(folder) as desk:
        desk.add_absence("Ann", TUE, TUE, None, "Flu")
        desk.set_work(TUE, "Ann", 1, "Exercises 4-7")
    state = StateFile(folder / "rotavel-serve.json")
    state.set_password(PASSWORD)
    site = Site(folder, None, state, today=lambda: TUE, throttle=Throttle())
    client = create_app(site).test_client()
    client.post(
        "/login", data={"csrf_token": token_of(client.get("/login").text), "password": PASSWORD}
    )
    day = f"?date={TUE.isoformat()}"

    def publish():
        token = token_of(client.get("/today" + day).text)
        assert client.post("/publish", data={"csrf_token": token, "date": TUE}).status_code == 303

    return folder, client, day, publish


@pytest.mark.parametrize("lang", LANGUAGES)
def test_what_a_publish_tells_people_speaks_the_schools_language(tmp_path, monkeypatch, lang):
    import email
    import email.policy

    from support.schools import TUE

    from rotavel_app.desk.mail import compose

    monkeypatch.setattr(secure, "SCRYPT_N", 2**8)
    folder, client, day, publish = published_school(tmp_path, lang)
    publish()
    pages = {"first today": client.get("/today" + day).text}  # the e-mails not sent
    with Desk.open(folder) as desk:
        bob, cat = desk.personal_link("Bob"), desk.personal_link("Cat")
        desk.no_cover(TUE, "Ann", 2)
    pages["today with changes"] = client.get("/today" + day).text
    publish()
    pages["board with changes"] = client.get("/board" + day).text
    pages["slips of the changes"] = client.get("/slips" + day + "&changes=1").text
    pages["history"] = client.get(f"/history?first={TUE}&last={TUE}").text
    pages["phone"] = client.get(f"/my/{bob}").text
    pages["phone, cancelled"] = client.get(f"/my/{cat}").text
    pages["phone, bad link"] = client.get("/my/" + "x" * 20).text
    # The title is worded where the page is served (web/app.py); its body here.
    why = client.get(f"/today/why{day}&name=Bob").text
    pages["why"] = why[why.index("<body") :]
    feed = client.get(f"/my/{bob}/calendar.ics").text
    texts = {name: visible(page) for name, page in pages.items()}
    texts["calendar"] = " ".join(
        line.split(":", 1)[1] for line in feed.splitlines() if line.startswith(("SUMMARY", "X-WR"))
    )
    with Desk.open(folder) as desk:
        queued = desk.queued_mail(TUE)
        assert sorted(q.substitute for q in queued) == ["Bob", "Cat"]
        for q in queued:
            message = email.message_from_bytes(bytes(compose(desk, q)), policy=email.policy.default)
            assert language.current() == "en"  # the school's language for the e-mail alone
            texts[f"e-mail to {q.substitute}: subject"] = str(message["Subject"])
            texts[f"e-mail to {q.substitute}: text"] = message.get_body("plain").get_content()
            html = message.get_body("html").get_content()
            assert f'<html lang="{lang}"' in html
            texts[f"e-mail to {q.substitute}: html"] = visible(html)
    rtl = ' dir="rtl"' if lang == "ar" else ""
    for name, page in pages.items():
        if name != "why":
            assert f'<html lang="{lang}"{rtl}>' in page, name
    # The lines of what a publish changed are worded by the record (desk/publishing.py)
    # in the school's language, kept as written when published; the school's own
    # address is no English either.
    use(lang)
    lesson = _("%(teacher)s's %(classes)s in period %(period)s") % {
        "teacher": "Ann",
        "classes": "9B",
        "period": 2,
    }
    change = _("%(name)s loses %(lesson)s: %(state)s") % {
        "name": "Cat",
        "lesson": lesson,
        "state": _("no cover needed"),
    }
    use(None)
    assert change in texts["history"]
    for name, text in texts.items():
        assert "%(" not in text, name
        if lang != "en":
            text = re.sub(r"https://\S+", "", text.replace(change, ""))
            assert english_left(text, lang) == [], name
    # What the school wrote, as written, where it is told.
    assert "Exercises 4-7" in texts["phone"] and "9A" in texts["phone"]
    assert "9B" in texts["phone, cancelled"] and "9B" in texts["e-mail to Cat: text"]
    assert "Exercises 4-7" in texts["e-mail to Bob: text"]
    assert "Ann" in texts["calendar"] and "9A" in texts["calendar"]
    use(lang)
    assert date_text(TUE) in texts["phone"]
    assert _("Seen") in texts["phone"] and _("Cancelled:") in texts["phone, cancelled"]
    assert _("Cancelled:") in texts["e-mail to Cat: text"]
    assert (_("Publications") in texts["history"], _("Fair share") in texts["why"]) == (True, True)
