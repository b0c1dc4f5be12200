"""What a command analyses: a source file or a module, with its text and its package."""

from __future__ import annotations

import importlib.util
import os
import sys


class UserError(Exception):
    """A failure the user can act on; its text is the whole message shown."""


class Target:
    def __init__(self, *, label: str, source: str, package: str | None, folder: str) -> None:
        self.label = label  # how the root is named in output: the path as given, or the module
        self.source = source
        self.package = package
        self.folder = folder  # where the target's own project lives: modules under it are its own


def read_source(path: str) -> str:
    try:
        with open(path, "rb") as file:
            data = file.read()
    except FileNotFoundError:
        raise UserError(f"{path}: no such file") from None
    except IsADirectoryError:
        raise UserError(f"{path}: is a folder, not a source file") from None
    except OSError as error:
        raise UserError(f"{path}: cannot be read: {error.strerror or error}") from None
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise UserError(f"{path}: is not UTF-8 text ({error.reason} at byte {error.start})") from None
    return text.removeprefix("\ufeff")


def package_root(path: str) -> tuple[str, str | None]:
    """The folder to search imports from, and the package that `path` belongs to.

    A file in a folder with `__init__.py` belongs to the package made of that folder and every
    enclosing one that also has it; its imports are found from above the outermost one, as
    `python -m` would. Any other file is a script, whose own folder goes first on the path.
    """
    folder = os.path.dirname(path)
    parts: list[str] = []
    while os.path.isfile(os.path.join(folder, "__init__.py")):
        name = os.path.basename(folder)
        if not name.isidentifier():
            break
        parts.append(name)
        folder = os.path.dirname(folder)
    return folder, ".".join(reversed(parts)) or None


def from_file(name: str, package: str | None) -> Target:
    source = read_source(name)
    origin = os.path.realpath(name)
    search_folder, inferred = package_root(origin)
    _put_first_on_path(search_folder)
    return Target(label=name, source=source, package=package or inferred, folder=search_folder)


def from_module(name: str, package: str | None) -> Target:
    # As `python -m` does: the current folder is searched first.
    _put_first_on_path(os.getcwd())
    try:
        spec = importlib.util.find_spec(name)
    except (ImportError, ValueError) as error:
        raise UserError(f"module {name}: cannot be looked up: {error}") from None
    if spec is None:
        raise UserError(f"module {name}: not found on the import path")
    if spec.origin is None or not spec.origin.endswith(".py"):
        kind = spec.origin or "no origin"
        raise UserError(f"module {name}: has no Python source to analyse ({kind})")
    source = read_source(spec.origin)
    # The folder above the outermost package: a.b found at a/b/__init__.py or at a/b.py.
    folder = os.path.dirname(spec.origin)
    for _ in range(name.count(".") + (1 if spec.submodule_search_locations is not None else 0)):
        folder = os.path.dirname(folder)
    return Target(label=name, source=source, package=package or spec.parent or None,
                  folder=folder)


def _put_first_on_path(folder: str) -> None:
    if folder in sys.path:
        sys.path.remove(folder)
    sys.path.insert(0, folder)
    importlib.invalidate_caches()
