"""The board and the slips laid out by Debian's Chromium, driven headless through Playwright,
measured as a reader sees them. They take minutes: they run only with ROTAVEL_BROWSER set
(`make check-browser` sets ROTAVEL_BROWSER=required, so that a missing browser fails). With
ROTAVEL_SHOTS=DIR the screenshots and PDFs are kept in DIR to look at."""

import base64
import datetime
import io
import math
import os
import shutil
from dataclasses import replace
from pathlib import Path

import pytest
from support.command import SAMPLE
from support.schools import FIRST, LAST, messy_school

from rotavel_app.pages import layout
from rotavel_app.pages.formats import render_board, render_slips
from rotavel_app.pages.wording import by_substitute
from rotavel_app.planning.plan import make_plan
from rotavel_app.school.folder import load_school

# Minutes of browser work: run by `make check-browser`, or with ROTAVEL_BROWSER set.
if not os.environ.get("ROTAVEL_BROWSER"):
    pytest.skip("the browser checks run with ROTAVEL_BROWSER=1", allow_module_level=True)
CHROMIUM = shutil.which("chromium")
try:
    from playwright.sync_api import sync_playwright
    from pypdf import PdfReader
except ImportError:
    sync_playwright = None
if CHROMIUM is None or sync_playwright is None:
    if os.environ.get("ROTAVEL_BROWSER") == "required":
        raise RuntimeError(
            "the browser checks need Chromium (apt-get install chromium) and the test "
            "requirements of pyproject.toml (Playwright, pypdf)"
        )
    pytest.skip("Chromium or Playwright is not installed", allow_module_level=True)

DATE = datetime.date(2026, 12, 8)
SCREEN = {"width": layout.SCREEN_WIDTH, "height": layout.SCREEN_HEIGHT}
PHONE = {"width": 390, "height": 844}
MM = 96 / 25.4  # CSS pixels in a millimetre
# Paper, upright, in millimetres; the board prints across it with 10mm margins.
PAPER = {"A4": (210, 297), "Letter": (215.9, 279.4)}
BOARD_MARGIN = 10
# Printed pages the whole board may take on either paper.
BOARD_PAGES = {
    "sample": 3,
    "40 classes": 8,
    "60 classes": 11,
    "long class names": 9,
    "long teacher names": 9,
}
# Slips are short: on average at least this many go on a printed page.
SLIPS_A_PAGE = 3
# Schools whose by-period view must show whole on one 1080p screen; the others run on
# below it, at the least size.
ONE_SCREEN = {"sample", "40 classes"}
KEPT = {"sample", "60 classes"}  # whose screenshots and PDFs are left to look at

# Class names that ran into the names beside them, and longer.
LONG_CLASSES = [
    "L2HV2B",
    "A1_A+",
    "3_LITERATURE",
    "A1_GYM1",
    "A1_PT2",
    "L2THV1A",
    "L2THV1B",
    *(
        f"{year}_{group}{n}"
        for year in ("A1", "A2", "L1")
        for group in ("BIO", "CHEM")
        for n in (1, 2)
    ),
    *(f"L{n}THV{s}{t}" for n in (1, 2) for s in (1, 2) for t in "AB"),
    *(f"{n}_ENGLISH_SET{s}" for n in (3, 4) for s in (1, 2, 3)),
    "12_FURTHER_MATHEMATICS",
    "A1_PE_THEORY",
    "13SCI",
]
# Long teacher names: a double-barrelled surname and first names, and one long word.
LONG_TEACHERS = (
    "Wolfeschlegelsteinhausenbergerdorff",
    *(
        f"{first} {second} {last}-{other}"
        for first, second, last, other in zip(FIRST, reversed(FIRST), LAST, reversed(LAST))
    ),
)


def school_day(kind, folder):
    if kind == "sample":
        return load_school(SAMPLE, name="sample school")
    if kind == "40 classes":
        day = load_school(messy_school(folder / "Riverside Secondary"))
        assert len(day.classes) == 40
        return day
    if kind == "60 classes":
        day = load_school(messy_school(folder / "Hillcrest Academy", 60, absent=14, scale=1.5))
        assert len(day.classes) == 60
        return day
    if kind == "long class names":
        school = messy_school(folder / "Sixth Form College", 40, class_names=LONG_CLASSES)
        with_rooms_and_times(school)
        return load_school(school)
    school = messy_school(folder / "St Bartholomew's", 40, long_names=LONG_TEACHERS, absent=12)
    return load_school(school)


def with_rooms_and_times(folder):
    """A room for every lesson, clock times, and reasons shown, to lengthen every line."""
    lines = (folder / "timetable.csv").read_text(encoding="utf-8").splitlines()
    rows = [line.rsplit(",", 2) for line in lines[1:]]
    (folder / "timetable.csv").write_text(
        "teacher,period,class,room\n"
        + "".join(f"{','.join(row)},Science Block Lab {len(row[2])}\n" for row in rows),
        encoding="utf-8",
    )
    times = "".join(f'{p} = "{8 + p}:00-{8 + p}:50"\n' for p in range(1, 9))
    (folder / "rotavel.toml").write_text(f"show_reasons = true\n[times]\n{times}", encoding="utf-8")


SCHOOLS = ["sample", "40 classes", "60 classes", "long class names", "long teacher names"]


@pytest.fixture(scope="module", params=SCHOOLS)
def plan(request, tmp_path_factory):
    day = school_day(request.param, tmp_path_factory.mktemp("school"))
    made = make_plan(replace(day, date=DATE))
    if request.param in ("40 classes", "60 classes"):  # the sizes the view is made for, and more
        assert made.uncovered and len(made.covers) >= (35 if request.param == "40 classes" else 60)
    return request.param, made


@pytest.fixture(scope="module")
def browser():
    # The browser and its driver must not inherit a sanitizer runtime preloaded for the
    # module's tests.
    preload = os.environ.pop("LD_PRELOAD", None)
    try:
        playwright = sync_playwright().start()
        chromium = playwright.chromium.launch(executable_path=CHROMIUM, args=["--no-sandbox"])
    finally:
        if preload is not None:
            os.environ["LD_PRELOAD"] = preload
    yield chromium
    chromium.close()
    playwright.stop()


def open_page(browser, tmp_path, html, viewport, media="screen"):
    page = browser.new_page(viewport=viewport)
    path = tmp_path / "page.html"
    path.write_text(html, encoding="utf-8")
    page.goto(path.as_uri())
    page.emulate_media(media=media)
    return page


def keep(name, what, data, always=False):
    """Leave a screenshot or PDF to look at: "board A4.pdf" of the sample
    school is build/browser/board-A4-sample.pdf."""
    shots = os.environ.get("ROTAVEL_SHOTS")
    if shots and (always or name in KEPT):
        Path(shots).mkdir(parents=True, exist_ok=True)
        stem, _, extension = what.rpartition(".")
        (Path(shots) / f"{stem} {name}.{extension}".replace(" ", "-")).write_bytes(data)


# Every piece of text in the page as the browser drew it: its line boxes, its size, and
# the box it belongs in (an entry or heading of the by-period view, a table cell, a slip).
TEXT_BOXES = """() => {
  const out = [];
  const walker = document.createTreeWalker(document.body, NodeFilter.SHOW_TEXT);
  const range = document.createRange();
  const page = (r) => [r.left + scrollX, r.top + scrollY, r.right + scrollX, r.bottom + scrollY];
  let node;
  while ((node = walker.nextNode())) {
    if (!node.data.trim()) continue;
    range.selectNodeContents(node);
    const rects = [...range.getClientRects()].filter(r => r.width > 0.5 && r.height > 0.5);
    if (!rects.length) continue;
    const element = node.parentElement;
    const box = element.closest('.view li, .view h2, td, th, .slip, .jump a');
    out.push({
      text: node.data.trim().slice(0, 50),
      rects: rects.map(page),
      size: parseFloat(getComputedStyle(element).fontSize),
      box: box ? page(box.getBoundingClientRect()) : null,
    });
  }
  return out;
}"""

# The by-period view's headings and entries, in page order, with their boxes.
VIEW = """() => [...document.querySelectorAll('.view h2, .view li')]
  .filter(e => e.getClientRects().length)
  .map(e => { const r = e.getBoundingClientRect();
    return {heading: e.tagName === 'H2', text: e.textContent.trim().slice(0, 40),
            left: Math.round(r.left + scrollX), top: r.top + scrollY, bottom: r.bottom + scrollY,
            right: r.right + scrollX, sheet: [...document.querySelectorAll('.sheet')]
              .indexOf(e.closest('.sheet'))}; })"""

# Every colour the page uses, where it is not grey.
COLOURS = """() => {
  const found = [];
  for (const e of document.querySelectorAll('body, body *')) {
    const style = getComputedStyle(e);
    if (!e.getClientRects().length) continue;
    for (const property of ['color', 'background-color', 'border-top-color', 'border-right-color',
                            'border-bottom-color', 'border-left-color']) {
      const value = style.getPropertyValue(property);
      const m = value.match(/rgba?\\(([\\d.]+), ([\\d.]+), ([\\d.]+)(?:, ([\\d.]+))?\\)/);
      if (m && (m[1] !== m[2] || m[2] !== m[3]) && (m[4] === undefined || +m[4] > 0))
        found.push(`${e.tagName}.${e.className} ${property}: ${value}`);
    }
  }
  return found;
}"""


def overlaps(boxes):
    """Pairs of text that the browser drew over each other (by more than a pixel each way)."""
    rects = sorted(
        ((rect, index, box["text"]) for index, box in enumerate(boxes) for rect in box["rects"]),
        key=lambda r: r[0][1],
    )
    found = []
    for i, (a, index, text) in enumerate(rects):
        for b, other, other_text in rects[i + 1 :]:
            if b[1] >= a[3] - 1:
                break
            across = min(a[2], b[2]) - max(a[0], b[0])
            down = min(a[3], b[3]) - max(a[1], b[1])
            if other != index and across > 1 and down > 1:
                found.append((text, other_text))
    return found


def outside_their_box(boxes):
    """Text drawn outside the entry, heading, cell or slip it belongs in."""
    return [
        box["text"]
        for box in boxes
        if box["box"]
        and any(
            r[0] < box["box"][0] - 1
            or r[2] > box["box"][2] + 1
            or r[1] < box["box"][1] - 1
            or r[3] > box["box"][3] + 1
            for r in box["rects"]
        )
    ]


def columns_without_heading(view):
    """Columns of the by-period view (within each printed sheet) whose top is not a heading."""
    columns = {}
    for element in view:
        columns.setdefault((element["sheet"], element["left"]), []).append(element)
    return [
        min(column, key=lambda e: e["top"])["text"]
        for column in columns.values()
        if not min(column, key=lambda e: e["top"])["heading"]
    ]


def test_by_period_view_fits_a_1080p_screen(browser, tmp_path, plan):
    """On the staff-room screen: nothing drawn over anything else, every
    column headed by its period, no text under the stated size, and the whole
    view on one screen for a school of 40 classes, even with long names."""
    name, made = plan
    page = open_page(browser, tmp_path, render_board(made), SCREEN)
    boxes = page.evaluate(TEXT_BOXES)
    view = page.evaluate(VIEW)
    assert overlaps(boxes) == []
    assert outside_their_box(boxes) == []
    assert columns_without_heading(view) == []
    on_screen = [box["size"] for box in boxes if box["rects"][0][1] < SCREEN["height"]]
    assert min(on_screen) >= layout.SMALLEST_TEXT
    assert page.evaluate("document.documentElement.scrollWidth") <= SCREEN["width"]
    bottom = max(e["bottom"] for e in view)
    if name in ONE_SCREEN:
        assert bottom <= SCREEN["height"] and max(e["right"] for e in view) <= SCREEN["width"]
    if name == "sample":  # a small day grows to fill the screen
        assert bottom >= 0.8 * SCREEN["height"]
    # Nothing to click and nothing for the screen's readers to decode.
    assert page.evaluate("document.querySelectorAll('a').length") == 0
    assert "Time taken" not in page.inner_text("body")
    page.close()


def test_board_on_a_phone(browser, tmp_path, plan):
    _, made = plan
    page = open_page(browser, tmp_path, render_board(made), PHONE)
    boxes = page.evaluate(TEXT_BOXES)
    assert overlaps(boxes) == []
    assert outside_their_box(boxes) == []
    assert page.evaluate("document.documentElement.scrollWidth") <= PHONE["width"]
    page.close()


@pytest.mark.parametrize("paper", PAPER)
def test_board_prints_on_few_pages(browser, tmp_path, plan, paper):
    """Printed across A4 or Letter: black and white, nothing drawn over
    anything else, the by-period view a page of four headed columns at a
    time, and few pages in all."""
    name, made = plan
    board = render_board(made)
    height, width = ((side - 2 * BOARD_MARGIN) * MM for side in PAPER[paper])
    page = open_page(browser, tmp_path, board, {"width": round(width), "height": 800}, "print")
    boxes = page.evaluate(TEXT_BOXES)
    view = page.evaluate(VIEW)
    assert page.evaluate(COLOURS) == []
    assert overlaps(boxes) == []
    assert outside_their_box(boxes) == []
    assert columns_without_heading(view) == []
    sheets = page.evaluate(
        "[...document.querySelectorAll('.sheet')].map(s => s.getBoundingClientRect().bottom)"
    )
    tops = [0, *sheets[:-1]]  # the first sheet shares its page with the title
    assert all(bottom - top <= height for top, bottom in zip(tops, sheets))

    pdf = page.pdf(format=paper, landscape=True)
    keep(name, f"board {paper}.pdf", pdf)
    pages = PdfReader(io.BytesIO(pdf)).pages
    assert 1 < len(pages) <= BOARD_PAGES[name]
    assert on_paper(pages, paper, across=True)
    # The view alone takes a page a sheet: no sheet ran onto a second page.
    page.add_style_tag(content=".absent, .grid, .why { display: none }")
    assert len(PdfReader(io.BytesIO(page.pdf(format=paper, landscape=True))).pages) == len(sheets)
    page.close()


def on_paper(pages, paper, across):
    """Whether every page is of the paper, upright or across (to a point: a
    browser rounds A4 to hundredths of an inch)."""
    width, height = (side * 72 / 25.4 for side in PAPER[paper])
    if across:
        width, height = height, width
    return all(
        abs(page.mediabox.width - width) < 2 and abs(page.mediabox.height - height) < 2
        for page in pages
    )


def slip_pages(browser, tmp_path, made, paper, per_page=0):
    """The printed slips' pages, as text."""
    settings = replace(made.day.settings, slips_per_page=per_page)
    made = replace(made, day=replace(made.day, settings=settings))
    page = open_page(browser, tmp_path, render_slips(made), {"width": 800, "height": 800}, "print")
    styles = page.evaluate(
        "[...document.querySelectorAll('.slip')].map(s => getComputedStyle(s).borderTopStyle)"
    )
    assert set(styles) == {"dashed"}  # lines to cut along
    assert page.evaluate(COLOURS) == []
    pdf = page.pdf(format=paper)
    page.close()
    pages = PdfReader(io.BytesIO(pdf)).pages
    assert on_paper(pages, paper, across=False)
    return pdf, [p.extract_text() for p in pages]


@pytest.mark.parametrize("paper", PAPER)
def test_slips_share_pages_and_are_never_cut(browser, tmp_path, plan, paper):
    name, made = plan
    slips = len(by_substitute(made))
    pdf, pages = slip_pages(browser, tmp_path, made, paper)
    keep(name, f"slips {paper}.pdf", pdf)
    assert len(pages) <= math.ceil(slips / SLIPS_A_PAGE)
    # Every page starts with a slip of its own: none carries on from the page before.
    assert all(text.startswith("COVER SLIP") for text in pages)
    assert sum(text.count("COVER SLIP") for text in pages) == slips


def test_a_school_chooses_the_slips_a_page(browser, tmp_path, plan):
    _, made = plan
    per_page = 2  # `slips_per_page`: every second slip ends a printed page
    slips = len(by_substitute(made))
    _, pages = slip_pages(browser, tmp_path, made, "A4", per_page)
    last = [slips % per_page] if slips % per_page else []
    assert [text.count("COVER SLIP") for text in pages] == [per_page] * (slips // per_page) + last


def test_slips_on_a_phone(browser, tmp_path, plan):
    """The phone shows the names first, each a link to that person's slip."""
    _, made = plan
    page = open_page(browser, tmp_path, render_slips(made), PHONE)
    boxes = page.evaluate(TEXT_BOXES)
    assert overlaps(boxes) == []
    assert outside_their_box(boxes) == []
    assert page.evaluate("document.documentElement.scrollWidth") <= PHONE["width"]
    links = page.evaluate(
        """() => [...document.querySelectorAll('.jump a')].map(a => [a.textContent,
             document.querySelector(a.getAttribute('href')).querySelector('h2').textContent,
             a.getBoundingClientRect().top])"""
    )
    assert [(link, slip) for link, slip, _ in links] == [
        (substitute, substitute) for substitute, _ in by_substitute(made)
    ]
    assert links[0][2] < PHONE["height"]  # the first name shows without scrolling
    page.close()


# The share of a screenshot's top 400 rows not of its commonest colour, read by the browser.
INKED = """async (png) => {
  const image = new Image();
  image.src = 'data:image/png;base64,' + png;
  await image.decode();
  const canvas = document.createElement('canvas');
  [canvas.width, canvas.height] = [image.width, 400];
  const context = canvas.getContext('2d');
  context.drawImage(image, 0, 0);
  const data = context.getImageData(0, 0, image.width, 400).data, counts = new Map();
  const pixels = [];
  for (let i = 0; i < data.length; i += 4) pixels.push(data[i] << 16 | data[i + 1] << 8 | data[i + 2]);
  for (let i = 0; i < pixels.length; i += 97) counts.set(pixels[i], (counts.get(pixels[i]) || 0) + 1);
  const background = [...counts].sort((a, b) => b[1] - a[1])[0][0];
  return pixels.filter(p => p !== background).length / pixels.length;
}"""


# Blankness does not grow with the school: the sample's day alone.
@pytest.mark.parametrize("plan", ["sample"], indirect=True)
@pytest.mark.parametrize("size", ["1920x1080", "390x844"])  # a staff-room screen, a phone
def test_screenshots_show_the_page(browser, tmp_path, plan, size):
    name, made = plan
    width, height = map(int, size.split("x"))
    blank = browser.new_page()
    for form, html in (("board", render_board(made)), ("slips", render_slips(made))):
        page = open_page(browser, tmp_path, html, {"width": width, "height": height})
        shot = page.screenshot()
        page.close()
        keep(name, f"{form} {size}.png", shot)
        assert blank.evaluate(INKED, base64.b64encode(shot).decode()) > 1 / 50
    blank.close()


# -- the school's language ---------------------------------------------------------------
# Arabic right to left, and German, whose words are long ("Vertretungszettel",
# "Fortsetzung"), on the board and the slips: nothing drawn over anything else or out of
# its box, and in Arabic the page mirrored (columns from the right, the class to the
# right of its names, the coloured edge on the right). The screenshots are kept with
# ROTAVEL_SHOTS as "board-1920x1080-ar-40-classes.png" and so on.
SPOKEN = [("ar", "40 classes"), ("de", "40 classes"), ("de", "long teacher names")]

# Where the parts of the board's view stand: its columns, and in each entry that is not
# stacked, the class and the names, and which side has the coloured edge.
SIDES = """() => ({
  columns: [...document.querySelectorAll('.view .column')].map(c => c.getBoundingClientRect().left),
  entries: [...document.querySelectorAll('.view li:not(.stacked)')].map(li => {
    const style = getComputedStyle(li);
    return {class: li.querySelector('.class').getBoundingClientRect().toJSON(),
            who: li.querySelector('.who').getBoundingClientRect().toJSON(),
            left: parseFloat(style.borderLeftWidth), right: parseFloat(style.borderRightWidth)};
  }),
  direction: getComputedStyle(document.body).direction,
})"""


@pytest.fixture(scope="module", params=SPOKEN, ids=[f"{lang} {kind}" for lang, kind in SPOKEN])
def spoken(request, tmp_path_factory):
    from rotavel_app.language import use

    lang, kind = request.param
    made = make_plan(replace(school_day(kind, tmp_path_factory.mktemp("school")), date=DATE))
    use(lang)
    try:
        pages = {"board": render_board(made), "slips": render_slips(made)}
    finally:
        use(None)
    return lang, kind, pages


@pytest.mark.parametrize("size", ["1920x1080", "390x844"])
def test_board_and_slips_in_the_schools_language(browser, tmp_path, spoken, size):
    lang, kind, pages = spoken
    width, height = map(int, size.split("x"))
    for form, html in pages.items():
        page = open_page(browser, tmp_path, html, {"width": width, "height": height})
        boxes = page.evaluate(TEXT_BOXES)
        assert overlaps(boxes) == [], form
        assert outside_their_box(boxes) == [], form
        assert page.evaluate("document.documentElement.scrollWidth") <= width, form
        sides = page.evaluate(SIDES)
        assert sides["direction"] == ("rtl" if lang == "ar" else "ltr")
        if form == "board":
            if width > PHONE["width"]:  # a phone's one column repeats no heading
                assert columns_without_heading(page.evaluate(VIEW)) == []
                # Columns read in the language's direction: from the right in Arabic.
                first, second = sides["columns"][:2]
                assert first > second if lang == "ar" else first < second
            for entry in sides["entries"]:
                if lang == "ar":
                    assert entry["class"]["left"] >= entry["who"]["right"] - 1
                    assert (entry["left"], entry["right"] > 0) == (0, True)
                else:
                    assert entry["class"]["right"] <= entry["who"]["left"] + 1
                    assert (entry["left"] > 0, entry["right"]) == (True, 0)
        else:
            # The slips' tables start on the language's side.
            edges = page.evaluate(
                """() => { const t = document.querySelector('.slip table');
                   const th = [...t.querySelectorAll('th, td')].find(e => e.getClientRects().length);
                   return [t.getBoundingClientRect().toJSON(), th.getBoundingClientRect().toJSON()]; }"""
            )
            table, first = edges
            if lang == "ar":
                assert abs(first["right"] - table["right"]) <= 1
            else:
                assert abs(first["left"] - table["left"]) <= 1
        keep(f"{lang} {kind}", f"{form} {size}.png", page.screenshot(), always=True)
        page.close()
