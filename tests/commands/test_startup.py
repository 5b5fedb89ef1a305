"""A run imports only what it needs, each in a new interpreter as a user's run is: reading
the package metadata (importlib.metadata, email, zipfile) once cost more than all the rest,
the terminal's formats need no jinja2, and a CSV folder none of the other programs' readers."""

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

NEVER_LOADED = ("importlib.metadata", "email", "zipfile")
TERMINAL = NEVER_LOADED + ("jinja2",)
# Runs `main(ARGV)`, then writes which of `never` are loaded to the file named by argv[1].
PROBE = """\
import sys
from rotavel_app.__main__ import main
status = main({argv!r})
loaded = sorted(name for name in {never!r} if name in sys.modules)
with open(sys.argv[1], "w") as report:
    report.write(repr(loaded))
sys.exit(status)
"""
# A school folder of CSV files: none of the timetabling programs' readers, nor the XML
# parser they use.
FOLDER = str(Path(__file__).resolve().parents[2] / "examples" / "hillside")
READERS = (
    "xml.etree",
    "rotavel_app.school.importers.fet",
    "rotavel_app.school.importers.fet_csv",
    "rotavel_app.school.importers.untis",
)


@pytest.mark.parametrize(
    ("argv", "never"),
    [
        (["--version"], TERMINAL),
        ([], TERMINAL),
        (["--format", "csv"], TERMINAL),
        (["--format", "report"], TERMINAL),
        ([FOLDER, "--absent", "Clara Vogel"], TERMINAL + READERS),
        (["--help"], NEVER_LOADED),
        (["--format", "html", "--output", "b.html"], NEVER_LOADED),
    ],
)
def test_a_run_loads_only_what_it_needs(tmp_path, argv, never):
    assert loaded(tmp_path, argv, never) == "[]"


def loaded(tmp_path, argv, never):
    """Which of `never` a new interpreter has loaded after running `argv`."""
    code = PROBE.format(argv=argv, never=never)
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
