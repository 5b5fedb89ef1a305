"""What the command loads: a run imports only what it needs.

The interpreter's own start is the floor of every run of `rotavel`, and planning a school
takes microseconds, so what the command imports is most of the time a person waits. Reading
the installed package metadata (importlib.metadata, with email and zipfile behind it) once
cost more than all the rest; the build writes the version into the package instead. Each
case runs in a new interpreter, as a user's run does: the test process has long since
imported all of these. Timings are in bench/startup.py.
"""

import subprocess
import sys

import pytest

NEVER_LOADED = ("importlib.metadata", "email", "zipfile")

# Runs `main(ARGV)` (or only imports the entry point when there is no ARGV), then writes which
# of NEVER_LOADED are loaded to the file named by the first argument.
PROBE = """\
import sys
from rotavel_cli.__main__ import main
status = main({argv!r}) if {run!r} else 0
loaded = sorted(name for name in {never!r} if name in sys.modules)
with open(sys.argv[1], "w") as report:
    report.write(repr(loaded))
sys.exit(status)
"""


@pytest.mark.parametrize(
    "argv",
    [
        None,
        ["--version"],
        ["--help"],
        [],
        ["--format", "csv"],
        ["--format", "table"],
        ["--format", "html"],
        ["--format", "slips"],
        ["--format", "html", "--output", "board.html"],  # in the test's own folder
    ],
    ids=lambda argv: "import" if argv is None else " ".join(argv) or "sample report",
)
def test_a_run_does_not_read_the_package_metadata(tmp_path, argv):
    code = PROBE.format(argv=argv or [], run=argv is not None, never=NEVER_LOADED)
    report = tmp_path / "loaded"
    done = subprocess.run(
        [sys.executable, "-c", code, str(report)], cwd=tmp_path, capture_output=True, text=True
    )
    assert (done.returncode, done.stderr) == (0, "")
    assert report.read_text() == "[]"
