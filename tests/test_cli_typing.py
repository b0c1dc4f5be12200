"""The stub installed with the module: checked against the built module, and used by mypy."""

import pathlib
import re
import shutil
import subprocess
import sys

import pytest

import modweave_cli

TYPING = pathlib.Path(__file__).parent / "typing"


def run(*arguments, cwd):
    return subprocess.run([sys.executable, "-m", *arguments], cwd=cwd, capture_output=True,
                          text=True, timeout=600)


def test_stub_matches_the_built_module(tmp_path):
    result = run("mypy.stubtest", "modweave", "--allowlist",
                 str(TYPING / "stubtest-allowlist.txt"), cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.fixture(scope="module")
def mypy_errors(tmp_path_factory):
    """One strict mypy run, from outside the source tree so that only installed files are seen."""
    folder = tmp_path_factory.mktemp("mypy")
    # A copy of the installed companion: mypy checks only what it is given as source.
    companion = shutil.copytree(pathlib.Path(modweave_cli.__file__).parent, folder / "modweave_cli",
                                ignore=shutil.ignore_patterns("__pycache__"))
    result = run("mypy", "--strict", "--cache-dir", str(folder / "cache"), "--no-error-summary",
                 "--hide-error-context", str(companion),
                 str(TYPING / "typed_example.py"), str(TYPING / "misuse.py"), cwd=folder)
    assert result.returncode in (0, 1), result.stdout + result.stderr
    assert "Cannot find implementation or library stub" not in result.stdout, result.stdout
    errors = {}
    for line in result.stdout.splitlines():
        if match := re.match(r"(.+?):(\d+): error: .*\[([\w-]+)\]$", line):
            errors.setdefault(pathlib.Path(match[1]).name, set()).add((int(match[2]), match[3]))
        else:
            assert ": note: " in line, line
    return errors


def test_strict_program_and_companion_pass(mypy_errors):
    assert {name: found for name, found in mypy_errors.items() if name != "misuse.py"} == {}


def test_misuse_is_rejected_through_the_stub(mypy_errors):
    expected = set()
    for number, line in enumerate((TYPING / "misuse.py").read_text().splitlines(), 1):
        if match := re.search(r"# E: ([\w-]+)$", line):
            expected.add((number, match[1]))
    assert len(expected) == 6
    assert mypy_errors.get("misuse.py") == expected
