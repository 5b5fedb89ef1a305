"""Mutation testing: does the test suite notice a small wrong change to the code?

One mutant at a time, a single line of the C++ core (src/school/*.cpp) or of the command
(src/rotavel_app/*.py) is changed by one operator: a statement deleted, a comparison
flipped, a constant replaced, a condition negated, && and || or true and false swapped.
A C++ mutant is built into its own venv (.venv-mutate, build/mutate, so the development
build is never touched), with the test hooks, so the hooks build's tests judge it too; then
the suite runs (pytest -x) with a time limit. The browser tests are left to make check. A mutant is
killed when the suite fails or times out, survives when it passes, and does not count
when it does not build. The report ends with the kill rate and the diff of every survivor.

The changed file is always put back: after each mutant, on an error, on Ctrl-C or SIGTERM;
a run killed outright leaves the original in build/mutation/pending, which the next run
restores before anything else.

    python3 tools/mutate.py --list                     # every mutant, numbered
    python3 tools/mutate.py --sample 40 --seed 1       # 40 of them, drawn with seed 1
    python3 tools/mutate.py --only 17 --only 230       # those, by number
    python3 tools/mutate.py --files 'src/school/run.cpp' --sample 10

`make mutate` runs it (with MUTATE_ARGS); it is not part of `make check`: a mutant takes a
build and a suite run, a minute or more.
"""

from __future__ import annotations

import argparse
import difflib
import io
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time
import tokenize
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
VENV = ROOT / ".venv-mutate"
WORK = ROOT / "build" / "mutation"  # beside build/mutate, the CMake tree, which its build may wipe
PENDING = WORK / "pending"  # the original of the file being mutated, while it is
DEFAULT_FILES = ["src/school/*.cpp", "src/rotavel_app/**/*.py"]
# Tables written by a generator: a changed entry only says which characters the tests use.
SKIPPED = {"src/school/unicode_data.cpp"}


@dataclass(frozen=True)
class Mutant:
    path: str  # relative to ROOT
    line: int  # 0-based
    operator: str
    original: str
    mutated: str

    def diff(self) -> str:
        return "".join(
            difflib.unified_diff(
                [self.original],
                [self.mutated],
                f"a/{self.path}",
                f"b/{self.path}",
                lineterm="\n",
                n=0,
            )
        ).replace("@@ -1 +1 @@", f"@@ -{self.line + 1} +{self.line + 1} @@")

    def describe(self) -> str:
        return f"{self.path}:{self.line + 1}: {self.operator}"


# ---- where code is: the parts of each line outside comments and literals ------------------


def cxx_code_spans(lines: list[str]) -> list[list[tuple[int, int]]]:
    """For each line, the [start, end) column ranges that are code: not a comment, string or
    character literal. Block comments may span lines; raw strings are not used in the code."""
    spans: list[list[tuple[int, int]]] = []
    in_block = False
    for text in lines:
        line_spans: list[tuple[int, int]] = []
        i, start, n = 0, 0, len(text)
        if in_block:
            end = text.find("*/")
            if end < 0:
                spans.append([])
                continue
            in_block, i, start = False, end + 2, end + 2
        while i < n:
            c = text[i]
            if text.startswith("//", i):
                break
            if text.startswith("/*", i):
                line_spans.append((start, i))
                end = text.find("*/", i + 2)
                if end < 0:
                    in_block, start = True, n
                    break
                i = start = end + 2
                continue
            if c in "\"'":
                line_spans.append((start, i))
                j = i + 1
                while j < n and text[j] != c:
                    j += 2 if text[j] == "\\" else 1
                i = start = j + 1
                continue
            i += 1
        if not in_block:
            line_spans.append((start, min(i, n)))
        spans.append([(a, b) for a, b in line_spans if b > a])
    return spans


def python_code_spans(lines: list[str]) -> list[list[tuple[int, int]]]:
    """The same for Python, from its tokenizer: strings (docstrings too) and comments are out."""
    spans = [[(0, len(text.rstrip("\n")))] for text in lines]
    tokens = tokenize.generate_tokens(io.StringIO("".join(lines)).readline)
    for tok in tokens:
        if tok.type not in (tokenize.STRING, tokenize.COMMENT, tokenize.FSTRING_START):
            continue
        (r0, c0), (r1, c1) = tok.start, tok.end
        if tok.type == tokenize.FSTRING_START:  # the whole f-string is a literal here
            depth = 1
            for inner in tokens:
                if inner.type == tokenize.FSTRING_START:
                    depth += 1
                elif inner.type == tokenize.FSTRING_END:
                    depth -= 1
                    if depth == 0:
                        (r1, c1) = inner.end
                        break
        for row in range(r0 - 1, r1):
            lo = c0 if row == r0 - 1 else 0
            hi = c1 if row == r1 - 1 else len(lines[row])
            spans[row] = cut(spans[row], lo, hi)
    return spans


def cut(spans: list[tuple[int, int]], lo: int, hi: int) -> list[tuple[int, int]]:
    out = []
    for a, b in spans:
        if b <= lo or a >= hi:
            out.append((a, b))
            continue
        if a < lo:
            out.append((a, lo))
        if b > hi:
            out.append((hi, b))
    return out


def in_code(spans: list[tuple[int, int]], start: int, end: int) -> bool:
    return any(a <= start and end <= b for a, b in spans)


# ---- operators --------------------------------------------------------------------------

# Comparisons and the like are only taken with a blank on each side, as the formatters
# write them: that keeps templates (vector<int>), shifts and pointers (->) out.
SWAPS_CXX = {
    " < ": " <= ",
    " <= ": " < ",
    " > ": " >= ",
    " >= ": " > ",
    " == ": " != ",
    " != ": " == ",
    " && ": " || ",
    " || ": " && ",
    " + ": " - ",
    " - ": " + ",
}
SWAPS_PY = {
    " < ": " <= ",
    " <= ": " < ",
    " > ": " >= ",
    " >= ": " > ",
    " == ": " != ",
    " != ": " == ",
    " and ": " or ",
    " or ": " and ",
    " + ": " - ",
    " - ": " + ",
    " in ": " not in ",
    " not in ": " in ",
    " is ": " is not ",
    " is not ": " is ",
}
BOOLS_CXX = {"true": "false", "false": "true"}
BOOLS_PY = {"True": "False", "False": "True"}
NUMBER = re.compile(r"(?<![\w.'])\d+(?![\w.'])")


def constant(text: str) -> str:
    value = int(text)
    return "1" if value == 0 else "0" if value == 1 else str(value + 1)


def swaps(text: str, spans, table: dict[str, str], name: str):
    for old, new in table.items():
        for m in re.finditer(re.escape(old), text):
            # " not in " also holds " in ", and " is not " holds " is ": take the longer one.
            if old in (" in ", " is ") and (
                text[max(0, m.start() - 4) : m.start()].endswith(" not")
                or text[m.end() : m.end() + 4].startswith("not ")
            ):
                continue
            if in_code(spans, m.start(), m.end()):
                yield name, text[: m.start()] + new + text[m.end() :]


def words(text: str, spans, table: dict[str, str], name: str):
    for old, new in table.items():
        for m in re.finditer(rf"\b{old}\b", text):
            if in_code(spans, m.start(), m.end()):
                yield name, text[: m.start()] + new + text[m.end() :]


def numbers(text: str, spans):
    for m in NUMBER.finditer(text):
        if in_code(spans, m.start(), m.end()):
            yield "replace a constant", text[: m.start()] + constant(m[0]) + text[m.end() :]


def balanced(text: str) -> bool:
    depth = 0
    for c in text:
        depth += c in "([{"
        depth -= c in ")]}"
        if depth < 0:
            return False
    return depth == 0


def closing_paren(text: str, open_at: int) -> int:
    depth = 0
    for i in range(open_at, len(text)):
        depth += text[i] == "("
        depth -= text[i] == ")"
        if depth == 0:
            return i
    return -1


# Lines that a deletion would only keep from building: keywords that open no statement, and
# declarations (a type, then a name, then what declares it).
CXX_KEYWORDS = re.compile(
    r"(return|using|namespace|template|static_assert|case|default|public|private|protected|"
    r"struct|class|enum|typedef|friend|else|do)\b"
)
CXX_DECLARATION = re.compile(
    r"((const|constexpr|static|inline)\s+)*[\w:]+(<.*>)?[\s*&]+(\w+\s*[=({;\[,]|\[)"
)


def cxx_mutants(text: str, spans, previous: str):
    """Every mutation of one C++ line; `previous` is the code line before it."""
    code = text.strip()
    if not code or code.startswith(("#", "static_assert")) or not spans:
        return
    # A whole statement on its own line (not a declaration, whose deletion cannot build).
    if (
        code.endswith(";")
        and previous.rstrip().endswith((";", "{", "}", ":", ")"))
        and balanced(code)
        and not CXX_KEYWORDS.match(code)
        and not CXX_DECLARATION.match(code)
    ):
        # An empty block, not nothing, so an `if` before it keeps its own body.
        indent = text[: len(text) - len(text.lstrip())]
        yield "delete a statement", indent + "{}  // deleted: " + code + "\n"
    for m in re.finditer(r"\b(if|while) \(", text):
        if not in_code(spans, m.start(), m.end()):
            continue
        open_at = m.end() - 1
        close = closing_paren(text, open_at)
        if close > 0:
            cond = text[open_at + 1 : close]
            yield (
                "negate a condition",
                text[: open_at + 1] + "!(" + cond + ")" + text[close:],
            )
    yield from swaps(text, spans, SWAPS_CXX, "flip an operator")
    yield from words(text, spans, BOOLS_CXX, "swap true and false")
    yield from numbers(text, spans)


PY_BLOCKS = re.compile(
    r"(def|class|if|elif|else|for|while|try|except|finally|with|return|import|from|"
    r"raise|yield|assert|global|nonlocal|async|await|match|case|pass|@)\b"
)


def python_mutants(text: str, spans, previous: str):
    code = text.strip()
    if not code or not spans or code.startswith("#"):  # a comment's line has no statement
        return
    indent = text[: len(text) - len(text.lstrip())]
    # Module-level lines (imports, constants) and annotated names (dataclass fields) are
    # left alone: deleting one only makes a name undefined.
    if (
        indent
        and not re.match(r"\w+\s*:", code)
        and not PY_BLOCKS.match(code)
        and not code.endswith((":", ",", "(", "[", "{", "\\"))
        and not previous.rstrip().endswith((",", "(", "[", "{", "\\"))
        and balanced(code)
        and not code.startswith((")", "]", "}", '"', "'", "f'", 'f"'))
    ):
        yield "delete a statement", indent + "pass  # deleted: " + code + "\n"
    m = re.match(r"(\s*)(if|elif|while) (.*):(\s*)$", text)
    if m and balanced(m[3]):
        yield "negate a condition", f"{m[1]}{m[2]} not ({m[3]}):\n"
    yield from swaps(text, spans, SWAPS_PY, "flip an operator")
    yield from words(text, spans, BOOLS_PY, "swap True and False")
    yield from numbers(text, spans)


def mutants_of(path: Path) -> list[Mutant]:
    lines = path.read_text(encoding="utf-8").splitlines(keepends=True)
    rel = path.relative_to(ROOT).as_posix()
    python = path.suffix == ".py"
    spans = python_code_spans(lines) if python else cxx_code_spans(lines)
    make = python_mutants if python else cxx_mutants
    found = []
    previous = ""
    type_only = None  # the indent of an `if TYPE_CHECKING:` whose block is being read
    for number, text in enumerate(lines):
        indent = len(text) - len(text.lstrip())
        if type_only is not None and text.strip() and indent <= type_only:
            type_only = None
        if python and type_only is None and text.strip() == "if TYPE_CHECKING:":
            type_only = indent
        if type_only is not None:
            continue  # read by the type checker only: no run can tell a change there
        seen = set()
        for operator, mutated in make(text, spans[number], previous):
            if not mutated.endswith("\n"):
                mutated += "\n"
            if mutated != text and mutated not in seen:
                seen.add(mutated)
                found.append(Mutant(rel, number, operator, text, mutated))
        if text.strip() and not text.strip().startswith(("//", "#")):
            previous = text
    return found


def all_mutants(patterns: list[str]) -> list[Mutant]:
    paths = sorted({p for pattern in patterns for p in ROOT.glob(pattern)})
    return [
        m for p in paths if p.relative_to(ROOT).as_posix() not in SKIPPED for m in mutants_of(p)
    ]


# ---- applying, building, testing ---------------------------------------------------------


class Interrupted(Exception):
    pass


def on_signal(signum, frame):
    raise Interrupted(signal.Signals(signum).name)


def restore_pending() -> None:
    """Puts back a file a killed run left mutated."""
    if not PENDING.exists():
        return
    record = json.loads(PENDING.read_text(encoding="utf-8"))
    target = ROOT / record["path"]
    target.write_bytes(bytes.fromhex(record["original"]))
    PENDING.unlink()
    print(f"restored {record['path']}, left mutated by an interrupted run", flush=True)


class Applied:
    """The mutant written into its file for the time of a with block, and put back after."""

    def __init__(self, mutant: Mutant):
        self.mutant = mutant
        self.path = ROOT / mutant.path

    def __enter__(self):
        original = self.path.read_bytes()
        lines = original.decode("utf-8").splitlines(keepends=True)
        if lines[self.mutant.line] != self.mutant.original:
            raise RuntimeError(f"{self.mutant.describe()}: the file changed since it was listed")
        WORK.mkdir(parents=True, exist_ok=True)
        PENDING.write_text(
            json.dumps({"path": self.mutant.path, "original": original.hex()}), encoding="utf-8"
        )
        self.original = original
        lines[self.mutant.line] = self.mutant.mutated
        self.path.write_text("".join(lines), encoding="utf-8")
        return self

    def __exit__(self, *exc):
        self.path.write_bytes(self.original)
        PENDING.unlink(missing_ok=True)
        return False


def run(command: list[str], timeout: float | None, log: Path, **env: str) -> str:
    """'ok', 'failed' or 'timeout'; output goes to `log`. The command runs in its own
    process group, which is killed whole on a timeout or an interruption."""
    env = dict(os.environ, **env)
    with log.open("w") as out:
        child = subprocess.Popen(
            command, cwd=ROOT, stdout=out, stderr=subprocess.STDOUT, env=env, start_new_session=True
        )
        try:
            return "ok" if child.wait(timeout=timeout) == 0 else "failed"
        except subprocess.TimeoutExpired:
            return "timeout"
        finally:
            if child.poll() is None:
                os.killpg(child.pid, signal.SIGKILL)
                child.wait()


def build(log: Path) -> str:
    return run(["make", "-s", f"{VENV.name}/.rotavel", f"{VENV.name}/.test-tools"], 1800, log)


def suite(timeout: float | None, log: Path) -> str:
    # The command is tested from the source tree (PYTHONPATH), so a Python mutant needs no
    # install; the bytecode cache is left alone so no mutant's .pyc outlives it. The version
    # is written into the package by the build, so the source tree has none to show.
    return run(
        [
            str(VENV / "bin" / "python"),
            "-m",
            "pytest",
            "-x",
            "-q",
            "-p",
            "no:cacheprovider",
            "--deselect",
            "tests/commands/test_cli_input.py::test_version_comes_from_the_package_metadata",
        ],
        timeout,
        log,
        PYTHONPATH=str(ROOT / "src"),
        PYTHONDONTWRITEBYTECODE="1",
    )


def main() -> int:
    ap = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    ap.add_argument(
        "--files", action="extend", nargs="+", help="files or globs under the repository"
    )
    ap.add_argument("--list", action="store_true", help="list the mutants and stop")
    ap.add_argument("--sample", type=int, help="run this many mutants, drawn at random")
    ap.add_argument("--seed", type=int, default=1, help="seed of the draw (default 1)")
    ap.add_argument("--only", type=int, action="append", help="run the mutant of this number")
    ap.add_argument(
        "--timeout", type=float, help="seconds a suite run may take (default: 3x the clean run)"
    )
    args = ap.parse_args()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    restore_pending()
    mutants = all_mutants(args.files or DEFAULT_FILES)
    if args.list:
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # a listing piped into head stops quietly
        for number, m in enumerate(mutants):
            print(f"{number:5}  {m.describe()}: {m.mutated.strip()}")
        return 0
    chosen = list(range(len(mutants)))
    if args.only:
        chosen = args.only
        if not all(0 <= number < len(mutants) for number in chosen):
            ap.error(f"--only takes numbers from 0 to {len(mutants) - 1} (see --list)")
    elif args.sample is not None:
        chosen = random.Random(args.seed).sample(chosen, min(args.sample, len(chosen)))
    # The C++ mutants first: the module they leave installed is rebuilt once, from the clean
    # tree, before the command's mutants run against it.
    chosen.sort(key=lambda number: (mutants[number].path.endswith(".py"), number))
    WORK.mkdir(parents=True, exist_ok=True)
    logs = WORK / "logs"
    shutil.rmtree(logs, ignore_errors=True)
    logs.mkdir()

    try:
        print(f"{len(mutants)} mutants; running {len(chosen)}. Clean build and suite first.")
        if build(logs / "clean-build.log") != "ok":
            print(f"the clean tree does not build: {logs / 'clean-build.log'}")
            return 2
        started = time.monotonic()
        if suite(None, logs / "clean-suite.log") != "ok":
            print(f"the suite fails on the clean tree: {logs / 'clean-suite.log'}")
            return 2
        clean = time.monotonic() - started
        timeout = args.timeout or max(60.0, 3 * clean)
        print(f"clean suite: {clean:.0f}s; a mutant's suite may take {timeout:.0f}s", flush=True)

        outcomes: dict[str, list[tuple[int, Mutant]]] = {
            k: [] for k in ("killed", "survived", "no build")
        }
        module_mutated = False  # whether the installed module is a mutant's
        for done, number in enumerate(chosen, 1):
            m = mutants[number]
            log = logs / f"mutant-{number}.log"
            if module_mutated and not m.path.endswith(".cpp"):
                if build(logs / "clean-rebuild.log") != "ok":
                    print(f"the clean tree no longer builds: {logs / 'clean-rebuild.log'}")
                    return 2
                module_mutated = False
            with Applied(m):
                state = "ok"
                if m.path.endswith(".cpp"):
                    state, module_mutated = build(log), True
                result = "no build" if state != "ok" else suite(timeout, log)
            verdict = {"ok": "survived", "failed": "killed", "timeout": "killed"}.get(
                result, result
            )
            outcomes[verdict].append((number, m))
            note = " (timeout)" if result == "timeout" else ""
            print(f"[{done}/{len(chosen)}] #{number} {m.describe()}: {verdict}{note}", flush=True)
    except Interrupted as e:
        print(f"\ninterrupted ({e}); the source is as it was")
        return 130
    finally:
        restore_pending()

    killed, survived = len(outcomes["killed"]), len(outcomes["survived"])
    print(
        f"\n{killed} killed, {survived} survived, {len(outcomes['no build'])} did not build; "
        f"kill rate {killed / max(1, killed + survived):.0%} of {killed + survived}"
    )
    for number, m in outcomes["survived"]:
        print(f"\nsurvived #{number} ({m.operator}):\n{m.diff()}", end="")
    return 0


if __name__ == "__main__":
    sys.exit(main())
