"""The one way `rotavel`, the desk's commands and `rotavel serve` turn an error into a
line on standard error and an exit status."""

import os
import subprocess
import sys

import pytest
from support.command import run
from support.schools import small_school

from rotavel_app.commands.plumbing import ExitStatus
from rotavel_app.commands.plumbing import run as run_command
from rotavel_app.planning.plan import PlanError

# Each command: the arguments that start it, and the name its lines begin with.
COMMANDS = [
    ([], "rotavel", "rotavel"),
    (["plan"], "rotavel", "rotavel plan"),
    (["serve"], "rotavel serve", "rotavel serve"),
]


@pytest.mark.parametrize(("start", "prog", "see"), COMMANDS)
def test_a_bad_argument_is_one_line_with_its_controls_shown(capsys, tmp_path, start, prog, see):
    folder = str(small_school(tmp_path))
    code, out, err = run(capsys, *start, folder, "--x", "\x1b[31m")
    assert (code, out, err) == (
        2,
        "",
        f"{prog}: unrecognized arguments: --x \\x1b[31m (see {see} --help)\n",
    )


def _help(start, stdout):
    return subprocess.run(
        [sys.executable, "-m", "rotavel_app", *start, "--help"],
        stdout=stdout,
        stderr=subprocess.PIPE,
        text=True,
        env=os.environ | {"COLUMNS": "80"},
    )


@pytest.mark.parametrize(("start", "prog", "see"), COMMANDS)
def test_help_that_cannot_be_written_is_a_failure(start, prog, see):
    """`rotavel plan --help` on a full disk was a traceback, `rotavel serve --help` a success."""
    with open("/dev/full", "w") as full:
        done = _help(start, full)
    assert (done.returncode, done.stderr) == (
        2,
        f"{prog}: standard output: cannot write: No space left on device\n",
    )


@pytest.mark.parametrize(("start", "prog", "see"), COMMANDS)
def test_help_into_a_closed_pipe_is_no_error(start, prog, see):
    read, write = os.pipe()
    os.close(read)
    try:
        done = _help(start, write)
    finally:
        os.close(write)
    assert (done.returncode, done.stderr) == (0, "")


class Refused(Exception):
    pass


def _raise(error):
    def work(args):
        raise error

    return work


@pytest.mark.parametrize(
    ("work", "status", "said"),
    [
        (lambda args: ExitStatus.ERROR, ExitStatus.ERROR, ""),
        (_raise(Refused("Ann is not away\x07")), 2, "cmd: Ann is not away\\x07\n"),
        (
            _raise(PlanError("no row for Ann")),
            1,
            "rotavel: the planning module's report could not be read: no row for Ann\n",
        ),
        (_raise(MemoryError()), 2, "cmd: too large\n"),
        (_raise(BrokenPipeError()), 0, ""),
    ],
)
def test_every_error_has_its_exit_status(capsys, work, status, said):
    code = run_command(
        lambda: None,
        work,
        prog="cmd",
        see="cmd",
        refused=(Refused,),
        too_large=lambda: "cmd: too large",
    )
    assert (code, capsys.readouterr()) == (status, ("", said))


def test_an_error_no_command_expects_is_not_hidden():
    with pytest.raises(MemoryError):
        run_command(lambda: None, _raise(MemoryError()))
    with pytest.raises(Refused):
        run_command(lambda: None, _raise(Refused()))


@pytest.mark.parametrize(
    ("imported", "not_loaded"),
    [
        # The desk's commands take what they share with the command from the plumbing.
        ("rotavel_app.commands.desk", "rotavel_app.commands.main"),
        # The command hands the desk's commands over by name: their record (SQLite) is
        # loaded only for them.
        ("rotavel_app.commands.main", "rotavel_app.commands.desk"),
        ("rotavel_app.commands.main", "sqlite3"),
    ],
)
def test_the_commands_import_no_more_than_they_use(imported, not_loaded):
    code = f"import sys, {imported}; print({not_loaded!r} in sys.modules)"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert (done.returncode, done.stdout, done.stderr) == (0, "False\n", "")
