"""A morning at `rotavel serve` in Debian's Chromium (Playwright) against waitress on
127.0.0.1, on a 1920x1080 screen and a 390x844 phone. Run only with ROTAVEL_BROWSER set
(=required: a missing browser fails); ROTAVEL_SHOTS=DIR keeps screenshots and the PDF."""

import csv
import datetime
import os
import re
import shutil
import threading
from pathlib import Path

import pytest

CHROMIUM = "/usr/bin/chromium"
REQUIRED = os.environ.get("ROTAVEL_BROWSER") == "required"


def _missing():
    if not Path(CHROMIUM).exists():
        return "Chromium is not installed (apt-get install chromium)"
    for module, extra in (("flask", "serve"), ("waitress", "serve"), ("playwright", "test")):
        try:
            __import__(module)
        except ImportError:
            return f"{module} is missing (pip install 'rotavel[{extra}]')"
    return None


# Minutes of browser work: run by `make check-browser`, or with ROTAVEL_BROWSER set; a
# sanitizer build would also preload its runtime into the browser.
if not os.environ.get("ROTAVEL_BROWSER"):
    pytest.skip("the browser checks run with ROTAVEL_BROWSER=1", allow_module_level=True)
if (_why := _missing()) is not None:
    if REQUIRED:
        raise RuntimeError(f"the browser checks need it: {_why}")
    pytest.skip(_why, allow_module_level=True)

import waitress  # noqa: E402
from playwright.sync_api import expect, sync_playwright  # noqa: E402
from support.schools import messy_school  # noqa: E402

from rotavel_app.desk.desk import Desk  # noqa: E402
from rotavel_app.web import secure  # noqa: E402
from rotavel_app.web.app import Site, create_app  # noqa: E402
from rotavel_app.web.secure import StateFile  # noqa: E402

DATE = datetime.date(2026, 12, 8)
PASSWORD = "staff room kettle"
WIDE = {"width": 1920, "height": 1080}
PHONE = {"width": 390, "height": 844}


@pytest.fixture(scope="module")
def school(tmp_path_factory):
    """The 40-class school with nobody away in its teacher list: the absences
    come from the browser."""
    # Class codes as a Moroccan school writes them, which the Today page keeps whole.
    codes = [f"{grade}TBIOF-{n:02d}" for grade in range(6) for n in range(1, 8)]
    folder = messy_school(
        tmp_path_factory.mktemp("serve") / "Riverside Secondary", class_names=codes
    )
    path = folder / "teacher_list.csv"
    rows = list(csv.reader(path.open(encoding="utf-8")))
    for row in rows[1:]:
        row[2], row[3] = "yes", ""
    with path.open("w", encoding="utf-8", newline="") as file:
        csv.writer(file, lineterminator="\n").writerows(rows)
    return folder


@pytest.fixture(scope="module")
def server(school):
    secure_n = secure.SCRYPT_N
    secure.SCRYPT_N = 2**10  # the test logs in a few times; the real cost is for a stolen file
    state = StateFile(school / "rotavel-serve.json")
    state.set_password(PASSWORD)
    secure.SCRYPT_N = secure_n
    site = Site(school, None, state, today=lambda: DATE, board_poll=1)
    served = waitress.create_server(create_app(site), host="127.0.0.1", port=0, threads=4)
    thread = threading.Thread(target=served.run, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{served.effective_port}", site
    served.close()
    thread.join(10)


@pytest.fixture(scope="module")
def browser():
    with sync_playwright() as playwright:
        # The system's browser; Playwright never downloads one of its own here.
        launched = playwright.chromium.launch(
            executable_path=CHROMIUM, args=["--no-sandbox", "--disable-gpu"]
        )
        yield launched
        launched.close()


def shot(page, name, full_page=True):
    folder = os.environ.get("ROTAVEL_SHOTS")
    if folder:
        Path(folder).mkdir(parents=True, exist_ok=True)
        page.screenshot(path=str(Path(folder) / f"{name}.png"), full_page=full_page)


def keep(path):
    folder = os.environ.get("ROTAVEL_SHOTS")
    if folder:
        Path(folder).mkdir(parents=True, exist_ok=True)
        shutil.copy(path, Path(folder) / path.name)


def log_in(page, base):
    page.goto(f"{base}/today")
    expect(page).to_have_url(re.compile(r"/login\?next="))
    page.fill("input[name=password]", PASSWORD)
    page.click("button:has-text('Log in')")
    expect(page).to_have_url(f"{base}/today")


def add_absence(page, teacher, reason, periods=""):
    form = page.locator("#add-absence")
    form.locator("input[name=teacher]").fill(teacher)
    form.locator("input[name=periods]").fill(periods)
    form.locator("input[name=reason]").fill(reason)
    form.locator("button[type=submit]").click()
    expect(page.locator(".message.info")).to_have_text(f"Absence of {teacher} added.")


def rows(page):
    """(class, absent teacher, cover) of every lesson row, as shown."""
    return [
        tuple(text.strip() for text in row.locator("td").all_inner_texts()[:4])
        for row in page.locator("table.lessons tbody tr").all()
    ]


def page_width(page):
    """How wide the page lays itself out, in CSS pixels; wider than the phone
    means it scrolls sideways (or a mobile browser zooms it out)."""
    return page.evaluate("document.documentElement.scrollWidth")


def test_a_morning_at_the_desk(server, browser, school, tmp_path):
    base, site = server
    desk_view = browser.new_context(viewport=WIDE)
    page = desk_view.new_page()
    log_in(page, base)
    with Desk.open(school) as desk:
        staff = list(desk.day(DATE).staff.values())
        lessons = desk.day(DATE).lessons
    # The first two teachers with lessons in periods 1-3.
    teaching = {x.teacher for x in lessons if x.period <= 3}
    away, part = [m.name for m in staff if m.name in teaching][:2]
    add_absence(page, away, "Sick leave")
    add_absence(page, part, "Dentist", periods="1-3")
    expected = sorted(
        (x.period, x.class_label)
        for x in lessons
        if x.teacher == away or (x.teacher == part and x.period <= 3)
    )
    shown = sorted(
        (int(section.locator("h3").inner_text().split()[1]), cls)
        for section in page.locator("section.period").all()
        for cls in section.locator("td.class").all_inner_texts()
    )
    assert shown == expected
    # Each class code fits its column on one line: not broken, nor over the subject beside it.
    broken = page.evaluate(
        """Array.from(document.querySelectorAll('td.class')).filter(td => {
            const code = document.createRange();
            code.selectNodeContents(td.firstChild);
            return code.getClientRects().length > 1 || td.scrollWidth > td.clientWidth;
        }).map(td => td.innerText)"""
    )
    assert broken == []
    shot(page, "today-1920")

    # Overrule the first covered lesson with the last teacher its list offers.
    row = page.locator("table.lessons tbody tr.covered").first
    row_id = row.get_attribute("id")
    field = row.locator("input[name^='s'][form='f-assign']")
    offered = page.locator(f"datalist#{field.get_attribute('list')} option")
    assert offered.count() >= 2
    choice = offered.last.get_attribute("value")
    field.fill(choice)
    row.locator("button:has-text('Assign')").click()
    row = page.locator(f"#{row_id}")
    expect(row.locator("td.cover strong")).to_have_text(choice)
    expect(row.locator("td.cover .why")).to_have_text("by hand, kept")

    # Another lesson needs no cover.
    other = page.locator("table.lessons tbody tr.covered").first
    other_id = other.get_attribute("id")
    other.locator("button:has-text('No cover needed')").click()
    expect(page.locator(f"#{other_id} td.cover")).to_have_text("No cover needed")

    # The staff-room screen, on its own link and without a login, before the publish.
    screen = browser.new_context(viewport=WIDE)
    board = screen.new_page()
    board.goto(f"{base}/board/{site.state.load().board_token}")
    expect(board.locator(".nothing")).to_have_text(
        "The cover for this day has not been published yet."
    )
    board.evaluate("window.notReloaded = true")

    page.click("button:has-text('Publish the plan')")
    expect(page.locator(".message.info")).to_contain_text("Published:")
    shot(page, "today-published-1920")

    # The board changes by itself within seconds: nobody reloads it here.
    expect(board.locator(".view li").first).to_be_visible(timeout=20_000)
    assert board.evaluate("window.notReloaded === undefined")
    assert board.locator("a, button, form, input, select").count() == 0
    board_text = board.inner_text("body")
    assert choice in board_text and "No cover needed" in board_text
    assert "Sick leave" not in board_text and "Dentist" not in board_text
    # The by-period view takes exactly the screen; who is out and the whole day follow below.
    assert (
        board.evaluate("document.querySelector('.screen').getBoundingClientRect().height") == 1080
    )
    shot(board, "board-1920", full_page=False)

    # Slips: several to a printed page.
    page.goto(f"{base}/slips")
    slips = page.locator("article.slip").count()
    assert page.locator(".desk-bar").count() == 1
    with Desk.open(school) as desk:
        substitutes = {a.substitute for a in desk.plan(DATE).covers}
    assert slips == len(substitutes)
    pdf = tmp_path / "slips.pdf"
    page.pdf(path=str(pdf), format="A4")
    keep(pdf)
    pages = len(re.findall(rb"/Type\s*/Page(?![A-Za-z])", pdf.read_bytes()))
    # Fair shares spread the day over eight substitutes: four slips to a sheet, with cut lines.
    assert (slips, pages) == (8, 2)
    shot(page, "slips-1920")

    # History: one bar per teacher who covered.
    page.goto(f"{base}/history?first=2026-12-01&last=2026-12-08")
    expect(page.locator("figure.chart svg rect.bar")).to_have_count(len(substitutes))
    shot(page, "history-1920")
    desk_view.close()
    screen.close()


@pytest.mark.parametrize("path", ["/today", "/slips", "/board", "/staff", "/history"])
def test_the_pages_on_a_phone(server, browser, path):
    base, _ = server
    phone = browser.new_context(
        viewport=PHONE, device_scale_factor=2, is_mobile=True, has_touch=True
    )
    page = phone.new_page()
    log_in(page, base)
    page.goto(base + path)
    assert page_width(page) == PHONE["width"]
    shot(page, "phone" + path.replace("/", "-"))
    phone.close()


def test_publish_change_publish_again_and_the_substitute_sees_it_on_a_phone(
    server, browser, school
):
    base, _ = server
    desk_view = browser.new_context(viewport=WIDE)
    page = desk_view.new_page()
    log_in(page, base)
    # The morning's absences (the walk above) are in the record; published as they stand.
    page.click("button:has-text('Publish the plan')")
    expect(page.locator(".message.info").first).to_contain_text("Published")
    with Desk.open(school) as desk:
        revision = desk.publication(DATE)[1]

    # A change after publishing: the desk lists it, and it is nobody's until published.
    row = page.locator("table.lessons tbody tr.covered").first
    row_id = row.get_attribute("id")
    field = row.locator("input[name^='s'][form='f-assign']")
    offered = page.locator(f"datalist#{field.get_attribute('list')} option")
    before = row.locator("td.cover strong").inner_text()
    choice = next(
        name
        for name in (offered.nth(i).get_attribute("value") for i in range(offered.count()))
        if name != before
    )
    field.fill(choice)
    row.locator("button:has-text('Assign')").click()
    expect(page.locator(".status")).to_contain_text("1 change not yet published")
    expect(page.locator("#changes li")).to_have_text(
        [re.compile(f"moves from {before} to {choice}")]
    )
    shot(page, "today-changed-1920")
    page.click("button:has-text('Publish the plan')")
    expect(page.locator(".status")).to_contain_text("nothing changed since")
    with Desk.open(school) as desk:
        assert desk.publication(DATE)[1] == revision + 1
        mine = f"{base}/my/{desk.personal_link(choice)}"

    # The substitute opens their link on a phone, without a login, and presses Seen.
    phone = browser.new_context(
        viewport=PHONE, device_scale_factor=2, is_mobile=True, has_touch=True
    )
    handset = phone.new_page()
    handset.goto(mine)
    expect(handset.locator("h1")).to_have_text(choice)
    assert handset.locator(".my-cover").count() >= 1
    assert page_width(handset) == PHONE["width"]
    shot(handset, "phone-my-covers")
    handset.click("button:has-text('Seen')")
    expect(handset.locator(".seen")).to_have_text("Seen. Thank you.")
    shot(handset, "phone-my-covers-seen")
    phone.close()

    # The desk sees it.
    page.reload()
    expect(page.locator(f"#{row_id} td.cover .seen-mark")).to_have_text(
        re.compile(r"seen \d\d:\d\d")
    )
    shot(page, "today-seen-1920")
    desk_view.close()
