"""modweave.parser.scan against the interpreter's own parser, file by file, over the running
interpreter's standard library and a third-party tree installed from PyPI into a temporary venv.

    python tools/check_corpus.py [--skip-third-party] [--packages NAME ...] [--show N]

For each corpus it prints the files compared (those `ast` accepts), the statements compared, the
files where the two differ, and recall and precision over all statements. Exit status 1 when any
file differs.
"""

import argparse
import collections
import pathlib
import subprocess
import sys
import sysconfig
import tempfile
import venv

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))

import modweave  # noqa: E402
from scan_reference import ast_records  # noqa: E402

THIRD_PARTY = ["django", "sqlalchemy", "pip"]


def frozen(entry):
    return tuple(sorted((key, repr(value)) for key, value in entry.items()))


def check_tree(label, root, skip, show):
    files = statements = scanned = matched = 0
    rejected = unreadable = 0
    differing = []
    for path in sorted(root.rglob("*.py")):
        if skip(path):
            continue
        try:
            source = path.read_bytes().decode("utf-8")
        except (OSError, UnicodeDecodeError):
            unreadable += 1
            continue
        expected = ast_records(source)
        if expected is None:
            rejected += 1
            continue
        found = modweave.parser.scan(source)
        files += 1
        statements += len(expected)
        scanned += len(found)
        common = collections.Counter(map(frozen, expected)) & collections.Counter(map(frozen, found))
        matched += sum(common.values())
        if found != expected:
            differing.append((path, expected, found))
    recall = matched / statements if statements else 1.0
    precision = matched / scanned if scanned else 1.0
    print(f"{label}: {root}")
    print(f"  files compared      {files:8d}   (ast rejects {rejected}, not UTF-8 {unreadable})")
    print(f"  statements compared {statements:8d}   (scan found {scanned})")
    print(f"  files differing     {len(differing):8d}")
    print(f"  recall              {recall:8.4%}")
    print(f"  precision           {precision:8.4%}")
    for path, expected, found in differing[:show]:
        first = next(i for i, pair in enumerate(zip(expected + [None] * len(found),
                                                    found + [None] * len(expected)))
                     if pair[0] != pair[1])
        print(f"  differs: {path}")
        print(f"    ast : {expected[first] if first < len(expected) else None}")
        print(f"    scan: {found[first] if first < len(found) else None}")
    return not differing


def third_party_root(folder, packages):
    """Installs `packages` into a fresh venv under `folder`; returns its site-packages."""
    environment = pathlib.Path(folder) / "venv"
    venv.create(environment, with_pip=True)
    python = environment / "bin" / "python"
    subprocess.run([python, "-m", "pip", "install", "-q", "--disable-pip-version-check", *packages],
                   check=True)
    output = subprocess.run([python, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
                            check=True, capture_output=True, text=True)
    return pathlib.Path(output.stdout.strip())


def main():
    options = argparse.ArgumentParser(description=__doc__,
                                      formatter_class=argparse.RawDescriptionHelpFormatter)
    options.add_argument("--skip-third-party", action="store_true")
    options.add_argument("--packages", nargs="+", default=THIRD_PARTY,
                         help=f"the third-party distributions (default: {' '.join(THIRD_PARTY)})")
    options.add_argument("--show", type=int, default=20, help="differing files to show")
    arguments = options.parse_args()
    print(f"Python {sys.version.split()[0]}")

    stdlib = pathlib.Path(sysconfig.get_paths()["stdlib"])
    ok = check_tree("standard library", stdlib,
                    lambda path: "site-packages" in path.relative_to(stdlib).parts, arguments.show)
    if not arguments.skip_third_party:
        with tempfile.TemporaryDirectory() as folder:
            root = third_party_root(folder, arguments.packages)
            ok &= check_tree(f"third party ({', '.join(arguments.packages)})", root,
                             lambda path: False, arguments.show)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
