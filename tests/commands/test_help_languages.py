"""The commands' help, argparse's own words and the usage errors in the language
of --language, wherever it stands on the command line; and the settings' errors
said in it, since it is taken before the school's settings are read."""

import re

import pytest
from support.command import run
from support.languages import english_left, in_turn
from support.schools import small_school

from rotavel_app import language
from rotavel_app.commands import main
from rotavel_app.commands.plumbing import DESK_COMMANDS
from rotavel_app.desk import record
from rotavel_app.school import settings

# What every language writes alike: options, the commands' names and their list.
NAMES = re.compile(r"--?[a-z][\w-]*|rotavel \w+|" + r",\s+".join(DESK_COMMANDS))


def check(text, lang):
    assert "%(" not in text
    if lang != "en":
        assert english_left(NAMES.sub("", text), lang) == []


@pytest.mark.parametrize(("lang", "command"), [("en", ""), *in_turn(["", *DESK_COMMANDS])])
def test_the_help_speaks_the_language_asked_for(monkeypatch, capsys, lang, command):
    monkeypatch.setenv("COLUMNS", "80")
    if command:
        argv = [command, "--help", f"--language={lang}"]
    else:
        argv = ["--language", lang, "--help"]
    code, out, err = run(capsys, *argv)
    assert (code, err) == (0, "")
    assert out.startswith("usage: ") == (lang == "en")
    assert [line for line in out.splitlines() if len(line) >= 80] == []
    check(out, lang)


@pytest.mark.parametrize(
    ("lang", "argv"),
    in_turn(
        [
            ["--bogus"],
            ["--format", "nope"],
            ["--absent"],
            ["--date", "2026-13-01"],
            ["--abs", "x"],
            ["absent"],
            ["absent", "school", "--from", "2026-02-30", "Ann"],
            ["staff", "school", "Ann", "--cap-day", "q"],
            ["staff", "school", "Ann", "--never=yes"],
            ["back", "school", "x"],
        ]
    ),
)
def test_a_usage_error_is_one_line_in_the_language_asked_for(capsys, lang, argv):
    code, out, err = run(capsys, *argv, "--language", lang)
    assert (code, out) == (2, "")
    assert err.count("\n") == 1 and err.startswith("rotavel") and "--help" in err
    check(err, lang)


def test_a_bad_setting_is_said_in_the_language_asked_for(monkeypatch, tmp_path, capsys):
    lang = "de"  # neither English nor the school's own "fr"
    spoken = []

    def load_settings(folder):
        spoken.append(language.current())
        return settings.load_settings(folder)

    for module in (main, record):
        monkeypatch.setattr(module, "load_settings", load_settings)
    folder = small_school(tmp_path)
    # The school's own language is not known when its settings cannot be read.
    (folder / "rotavel.toml").write_text('language = "fr"\ncap_day = "six"\n', encoding="utf-8")
    for argv in ([folder], ["plan", folder]):
        code, out, err = run(capsys, *argv, "--language", lang)
        assert (code, out) == (2, "")
        assert err.count("\n") == 1 and str(folder) in err
        check(err, lang)
    assert spoken == [lang, lang]


def test_the_desk_opens_the_record_in_the_schools_language(monkeypatch, tmp_path, capsys):
    lang = "nl"
    spoken = []

    def load_settings(folder):
        spoken.append(language.current())
        return settings.load_settings(folder)

    monkeypatch.setattr(record, "load_settings", load_settings)
    folder = small_school(tmp_path)
    (folder / "rotavel.toml").write_text(f'language = "{lang}"\n', encoding="utf-8")
    # A folder for the record's file: refused by the record, in the school's language.
    code, out, err = run(capsys, "plan", folder, "--db", tmp_path)
    assert (code, out, spoken) == (2, "", [lang])
    assert err.count("\n") == 1
    check(err, lang)
