"""The main job on the bundled example project: the import statements of each of its files."""

import pathlib
import sys

import modweave

PROJECT = pathlib.Path(__file__).resolve().parent / "inventory"


def describe(statement):
    names = ", ".join(
        alias["name"] + (f" as {alias['asname']}" if "asname" in alias else "")
        for alias in statement.get("names", [])
    )
    if statement["type"] == "import":
        return f"import {names}"
    return f"from {'.' * statement['level']}{statement['module']} import {names}"


def main(root=PROJECT):
    root = pathlib.Path(root)
    for path in sorted(root.rglob("*.py")):
        statements = modweave.parser.parse(path.read_text(encoding="utf-8"))
        print(f"{path.relative_to(root)}: {len(statements)} import statements")
        for statement in statements:
            print(f"    {describe(statement)}")


if __name__ == "__main__":
    main(*sys.argv[1:])
