"""The board and the slips laid out by a real browser (headless Chromium):
the by-period view fits a 1920x1080 screen, printed pages stay few, and
every slip prints on a page of its own on A4 and on Letter.

Skipped without Chromium; `make check-browser` installs it and sets
ROTAVEL_BROWSER=required so that a missing browser fails instead. With
ROTAVEL_SHOTS=DIR the screenshots and PDFs are kept in DIR to look at.
"""

import dataclasses
import datetime
import os
import re
import shutil
import struct
import subprocess
import zlib
from pathlib import Path

import pytest
from school_maker import messy_school
from test_cli import SAMPLE

from rotavel_cli.plan import make_plan
from rotavel_cli.render import render_board, render_slips
from rotavel_cli.school_files import load_school
from rotavel_cli.wording import by_substitute

if shutil.which("chromium") is None:
    if os.environ.get("ROTAVEL_BROWSER") == "required":
        raise RuntimeError("Chromium is required for these checks: apt-get install chromium")
    pytest.skip("Chromium is not installed", allow_module_level=True)

DATE = datetime.date(2026, 12, 8)
# The page counts each school may take printed on Letter and on A4, landscape.
BOARD_PAGES = {"sample": 3, "40 classes": 8}
PAPER = {"A4": (595, 842), "Letter": (612, 792)}  # points, portrait


@pytest.fixture(scope="module", params=["sample", "40 classes"])
def plan(request, tmp_path_factory):
    if request.param == "sample":
        day = load_school(SAMPLE, name="sample school")
    else:
        folder = messy_school(tmp_path_factory.mktemp("messy") / "Riverside Secondary")
        day = load_school(folder)
        assert len(day.classes) == 40
    made = make_plan(dataclasses.replace(day, date=DATE))
    if request.param == "40 classes":  # the size the by-period view is made for
        assert 35 <= len(made.covers) <= 45 and made.uncovered
    return request.param, made


def chromium(tmp_path, page, *options):
    subprocess.run(
        [
            "chromium",
            "--headless",
            "--no-sandbox",
            "--disable-gpu",
            "--hide-scrollbars",
            "--no-pdf-header-footer",
            f"--user-data-dir={tmp_path / 'profile'}",
            *options,
            page.as_uri(),
        ],
        capture_output=True,
        timeout=180,
        check=True,
        # The browser must not inherit a sanitizer runtime preloaded for the module's tests.
        env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"},
    )


def printed(tmp_path, name, html, extra_css=""):
    """Print the page to PDF through Chromium; its page sizes in points."""
    page, pdf = tmp_path / f"{name}.html", tmp_path / f"{name}.pdf"
    page.write_text(
        html.replace("</head>", f"<style>{extra_css}</style></head>", 1), encoding="utf-8"
    )
    chromium(tmp_path, page, f"--print-to-pdf={pdf}")
    keep(pdf)
    data = pdf.read_bytes()
    pages = len(re.findall(rb"/Type\s*/Page(?![A-Za-z])", data))
    boxes = re.findall(rb"/MediaBox\s*\[\s*0 0 ([\d.]+) ([\d.]+)\s*\]", data)
    assert pages and len(boxes) >= pages
    return [(round(float(w)), round(float(h))) for w, h in boxes[:pages]]


def keep(path):
    shots = os.environ.get("ROTAVEL_SHOTS")
    if shots:
        Path(shots).mkdir(parents=True, exist_ok=True)
        shutil.copy(path, Path(shots) / path.name)


def test_by_period_view_fits_a_1080p_screen(tmp_path, plan):
    """Printed on a page of exactly 1920x1080 CSS pixels with the screen's
    styles (the print rules cut off) and nothing but the top of the board,
    the view must take one page: a screen shows it without scrolling."""
    name, made = plan
    board = render_board(made)
    screen_only = (
        board[: board.index("@media print")] + "</style>" + board[board.index("</style>") + 8 :]
    )
    pages = printed(
        tmp_path,
        f"fit {name}",
        screen_only,
        "@page { size: 1920px 1080px; margin: 0 } .absent, .grid, .why, footer { display: none }",
    )
    assert pages == [(1440, 810)]  # 1920x1080 px in points


@pytest.mark.parametrize("paper", PAPER)
def test_board_prints_on_few_pages(tmp_path, plan, paper):
    name, made = plan
    pages = printed(
        tmp_path,
        f"board {name} {paper}",
        render_board(made),
        f"@page {{ size: {paper} landscape }}",
    )
    assert 1 < len(pages) <= BOARD_PAGES[name]
    assert set(pages) == {PAPER[paper][::-1]}


@pytest.mark.parametrize("paper", PAPER)
def test_one_slip_a_page(tmp_path, plan, paper):
    name, made = plan
    pages = printed(
        tmp_path, f"slips {name} {paper}", render_slips(made), f"@page {{ size: {paper} }}"
    )
    assert pages == [PAPER[paper]] * len(by_substitute(made))


@pytest.mark.parametrize("size", ["1920,1080", "390,844"])  # a staff-room screen, a phone
def test_screenshots_show_the_page(tmp_path, plan, size):
    name, made = plan
    for form, html in (("board", render_board(made)), ("slips", render_slips(made))):
        page = tmp_path / f"{form} {name}.html"
        page.write_text(html, encoding="utf-8")
        shot = tmp_path / f"{form} {name} {size.replace(',', 'x')}.png"
        chromium(tmp_path, page, f"--window-size={size}", f"--screenshot={shot}")
        keep(shot)
        pixels = png_pixels(shot.read_bytes(), rows=slice(0, 400))
        background = max(set(pixels[::97]), key=pixels[::97].count)
        assert sum(pixel != background for pixel in pixels) > len(pixels) // 50


def png_pixels(data, rows):
    """RGB pixels of the given rows of a non-interlaced 8-bit PNG."""
    pos, idat = 8, b""
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos : pos + 8])
        body = data[pos + 8 : pos + 8 + length]
        pos += length + 12
        if kind == b"IHDR":
            width, _, _, colour = struct.unpack(">IIBB", body[:10])
        elif kind == b"IDAT":
            idat += body
    step = {2: 3, 6: 4}[colour]
    raw, stride, out, prev = zlib.decompress(idat), width * step, [], bytearray(width * step)
    for y in range(rows.stop):
        kind, line = (
            raw[y * (stride + 1)],
            bytearray(raw[y * (stride + 1) + 1 : (y + 1) * (stride + 1)]),
        )
        for i in range(stride):
            a, b = line[i - step] if i >= step else 0, prev[i]
            c = prev[i - step] if i >= step else 0
            p = a + b - c
            guess = [
                0,
                a,
                b,
                (a + b) // 2,
                a
                if abs(p - a) <= min(abs(p - b), abs(p - c))
                else b
                if abs(p - b) <= abs(p - c)
                else c,
            ]
            line[i] = (line[i] + guess[kind]) & 255
        if y >= rows.start:
            out += [bytes(line[x : x + 3]) for x in range(0, stride, step)]
        prev = line
    return out
