"""What the command loads: a run imports only what it needs.

The interpreter's own start is the floor of every run of `rotavel`. Reading the installed
package metadata (importlib.metadata, with email and zipfile behind it) once cost more than
all the rest; the build writes the version into the package instead. A run for the terminal
or a spreadsheet loads no page machinery (jinja2), and a school's CSV folder none of the
timetabling programs' readers. The standard library's dataclasses, typing and pathlib are
welcome: start-up is measured in bench/startup.py, not chased here. Each case runs in a new
interpreter, as a user's run does: the test process has long since imported all of these.
"""

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

NEVER_LOADED = ("importlib.metadata", "email", "zipfile")
# Not loaded by a run that shows no page: the pages' template engine.
NOT_FOR_THE_TERMINAL = ("jinja2",)

# Runs `main(ARGV)` (or only imports the entry point when there is no ARGV), then writes which
# of NEVER_LOADED are loaded to the file named by the first argument.
PROBE = """\
import sys
from rotavel_app.__main__ import main
status = main({argv!r}) if {run!r} else 0
loaded = sorted(name for name in {never!r} if name in sys.modules)
with open(sys.argv[1], "w") as report:
    report.write(repr(loaded))
sys.exit(status)
"""


PAGES = (["--format", "html", "--output", "b.html"],)
TERMINAL = NEVER_LOADED + NOT_FOR_THE_TERMINAL
# A school folder of CSV files: none of the timetabling programs' readers, nor the XML
# parser they use. Its rotavel.toml brings typing (tomllib uses it).
FOLDER = str(Path(__file__).resolve().parents[2] / "examples" / "hillside")
READERS = ("xml.etree", "rotavel_app.school.importers.fet", "rotavel_app.school.importers.untis")


CASES = [
    (None, TERMINAL),
    (["--version"], TERMINAL),
    ([], TERMINAL),
    (["--format", "csv"], TERMINAL),
    (["--format", "table"], TERMINAL),
    (["--format", "report"], TERMINAL),
    (
        [FOLDER, "--absent", "Clara Vogel"],
        NEVER_LOADED + READERS + ("jinja2",),
    ),
    (["--help"], NEVER_LOADED),
    *((argv, NEVER_LOADED) for argv in PAGES),
]


@pytest.mark.parametrize(
    ("argv", "never"),
    [
        pytest.param(
            argv,
            never,
            id="import" if argv is None else " ".join(Path(a).name for a in argv) or "sample table",
        )
        for argv, never in CASES
    ],
)
def test_a_run_loads_only_what_it_needs(tmp_path, argv, never):
    assert loaded(tmp_path, argv, never) == "[]"


def loaded(tmp_path, argv, never):
    """Which of `never` a new interpreter has loaded after running `argv` (None: importing)."""
    code = PROBE.format(argv=argv or [], run=argv is not None, never=never)
    report = tmp_path / "loaded"
    done = subprocess.run(
        [sys.executable, "-c", code, str(report)], cwd=tmp_path, capture_output=True, text=True
    )
    assert (done.returncode, done.stderr) == (0, "")
    return report.read_text()


# The cover desk's commands for the terminal: no pages (jinja2) and no XML.
DESK = NEVER_LOADED + ("jinja2", "xml.etree")


@pytest.mark.parametrize("command", ["plan", "absences", "free", "history"])
def test_a_desk_command_loads_only_what_it_needs(tmp_path, command):
    school = shutil.copytree(FOLDER, tmp_path / "school")  # the record is written beside it
    assert loaded(tmp_path, [command, str(school)], DESK) == "[]"
