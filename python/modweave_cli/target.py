"""What a command analyses: a source file, a module, or a folder, with the source of its root.

A folder becomes one build: a root that imports every module of a package folder, or every script
of a plain folder, so that each of them is a root at distance 1.
"""

from __future__ import annotations

import importlib
import os
import sys
from importlib.machinery import ModuleSpec

TYPE_CHECKING = False  # as in `cli`: no `typing` at run time
if TYPE_CHECKING:
    import modweave


class UserError(Exception):
    """A failure the user can act on; its text is the whole message shown."""


class Target:
    def __init__(self, *, label: str, given: str, package: str | None, origin: str | None,
                 folder: str, project: tuple[str, ...], source: str = "",
                 roots: list[str] | None = None, module: str | None = None) -> None:
        self.label = label  # the root's name in output: the path as given, or the module
        self.given = given  # the target exactly as the user wrote it
        self.source = source  # the root's source, unless the root imports `roots`
        self.roots = roots  # for folders: the modules the root imports, each found from the path
        self.package = package
        self.origin = origin  # the root's file or folder, shown as the root node's origin
        self.folder = folder  # searched first for imports
        # Prefixes of the target's own modules, what `cycles` and `deps` look at: its top-level
        # package, or for scripts whatever their folder holds.
        self.project = project
        # The module the root source is, when the graph may reach it by name too: it and the root
        # are one node.
        self.module = module

    def build_with(self, builder: modweave.GraphBuilder) -> modweave.DepGraph:
        if self.roots is not None:
            return builder.build_modules(self.roots)
        return builder.build(self.source, self.package)


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


def top_level_names(folder: str) -> tuple[str, ...]:
    """Every top-level module name a file or folder directly inside `folder` can be imported as."""
    try:
        entries = os.listdir(folder)
    except OSError:
        return ()
    names = set()
    for entry in entries:
        stem = entry[:-3] if entry.endswith(".py") else entry
        if stem.isidentifier() and (stem != entry or os.path.isdir(os.path.join(folder, entry))):
            names.add(stem)
    return tuple(sorted(names))


def load(given: str | None, module: str | None, package: str | None) -> Target:
    if module:
        if given is not None:
            raise UserError("give either TARGET or -m MODULE, not both")
        return from_module(module, package)
    if given is None:
        raise UserError("give a source file or folder, or -m MODULE")
    if os.path.isdir(given):
        return from_folder(given)
    return from_file(given, package)


def from_file(name: str, package: str | None) -> Target:
    source = read_source(name)
    origin = os.path.realpath(name)
    search_folder, inferred = package_root(origin)
    package = package or inferred
    _put_first_on_path(search_folder)
    stem = os.path.splitext(os.path.basename(origin))[0]
    module = None
    if package:
        module = package if stem == "__init__" else f"{package}.{stem}"
    project = (inferred.partition(".")[0],) if inferred else top_level_names(search_folder)
    return Target(label=name, given=name, source=source, package=package, origin=origin,
                  folder=search_folder, project=project, module=module)


def find_spec_without_importing(name: str) -> ModuleSpec | None:
    """The module spec `importlib.util.find_spec` gives, found without importing the parent
    packages: each one's search locations come from its own spec, so none of the analysed code
    runs."""
    spec = None
    locations = None
    parts = name.split(".")
    for count in range(1, len(parts) + 1):
        partial = ".".join(parts[:count])
        if count > 1 and locations is None:
            return None  # the parent is a module, not a package
        module = sys.modules.get(partial)
        if module is not None:
            spec = module.__spec__
        else:
            spec = None
            for finder in sys.meta_path:
                find_spec = getattr(finder, "find_spec", None)
                spec = None if find_spec is None else find_spec(partial, locations)
                if spec is not None:
                    break
        if spec is None:
            return None
        locations = spec.submodule_search_locations
    return spec


def from_module(name: str, package: str | None) -> Target:
    # As `python -m` does: the current folder is searched first.
    _put_first_on_path(os.getcwd())
    try:
        spec = find_spec_without_importing(name)
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
    return Target(label=name, given=name, source=source, package=package or spec.parent or None,
                  origin=spec.origin, folder=folder, project=(name.partition(".")[0],),
                  module=name)


def module_stem(file: str) -> str | None:
    """The module name a file in a folder on the path is found by, for Python source. Names that
    no import statement can spell (Django's migrations, 0001_initial) are modules all the same."""
    stem = file[:-3]
    return stem if file.endswith(".py") and stem and "." not in stem else None


def package_modules(folder: str, package: str) -> list[str]:
    """Every module of the package in `folder`: its subpackages are the folders with
    `__init__.py`, its modules their `.py` files."""
    modules: list[str] = []
    # One listing per folder: a subfolder is a package when its own listing has __init__.py.
    pending = [(folder, package)]
    while pending:
        path, prefix = pending.pop()
        stems: list[str] = []
        subfolders: list[tuple[str, str]] = []
        with os.scandir(path) as entries:
            for entry in entries:
                if entry.is_dir():
                    if entry.name.isidentifier():
                        subfolders.append((entry.path, f"{prefix}.{entry.name}"))
                elif (stem := module_stem(entry.name)) is not None:
                    stems.append(stem)
        if "__init__" in stems:
            modules.extend(prefix if stem == "__init__" else f"{prefix}.{stem}" for stem in stems)
            pending.extend(subfolders)
    return sorted(modules)


def from_folder(given: str) -> Target:
    folder = os.path.realpath(given)
    # A trailing separator keeps the root's name apart from the package's own module name.
    label = given.rstrip(os.sep) + os.sep
    if os.path.isfile(os.path.join(folder, "__init__.py")):
        search_folder, package = package_root(os.path.join(folder, "__init__.py"))
        if package is None:
            raise UserError(f"{given}: is a package folder whose name cannot be imported")
        modules = package_modules(folder, package)
        project: tuple[str, ...] = (package.partition(".")[0],)
    else:
        search_folder = folder
        modules = sorted(stem for file in os.listdir(folder)
                         if (stem := module_stem(file)) is not None
                         and os.path.isfile(os.path.join(folder, file)))
        if not modules:
            raise UserError(f"{given}: has no __init__.py and no Python scripts; "
                            "give a package folder, a script, or -m MODULE")
        project = top_level_names(folder)
    _put_first_on_path(search_folder)
    return Target(label=label, given=given, package=None, origin=folder, folder=search_folder,
                  project=project, roots=modules)


def _put_first_on_path(folder: str) -> None:
    if folder in sys.path:
        sys.path.remove(folder)
    sys.path.insert(0, folder)
    importlib.invalidate_caches()
