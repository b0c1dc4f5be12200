"""The third-party distributions a target imports directly, found through the installed metadata."""

from __future__ import annotations

import importlib.metadata
import os
from collections.abc import Iterable, Sequence

from modweave_cli.render import imported_by
from modweave_cli.view import GraphView, covered, is_stdlib

TYPE_CHECKING = False  # as in `cli`: no `typing` at run time
if TYPE_CHECKING:
    from typing import Any

    from modweave_cli.view import Unresolved

# Modules loaded by the interpreter itself belong to no distribution.
WITHOUT_DISTRIBUTION = ("built-in", "frozen")


class Distribution:
    __slots__ = ("name", "version", "modules")

    def __init__(self, name: str | None, version: str | None, modules: list[str]) -> None:
        self.name = name  # None for modules that no installed distribution lists
        self.version = version
        self.modules = modules  # the modules the target imports from it, sorted


def own_modules(view: GraphView, project: Sequence[str]) -> set[str]:
    return {view.root} | {name for name in view.modules if covered(name, project)}


def imported_from_outside(view: GraphView, project: Sequence[str]) -> dict[str, list[str]]:
    """The modules outside the project and the standard library that the root or a project
    module imports, by top-level name."""
    own = own_modules(view, project)
    used: dict[str, list[str]] = {}
    for name, module in view.modules.items():
        if (name in own or is_stdlib(name) or module.kind in WITHOUT_DISTRIBUTION
                or not any(importer in own for importer in module.importers)):
            continue
        used.setdefault(name.partition(".")[0], []).append(name)
    return used


def _files_of(name: str) -> set[str]:
    distribution = importlib.metadata.distribution(name)
    return {os.path.realpath(str(distribution.locate_file(file)))
            for file in distribution.files or ()}


def distributions(view: GraphView, project: Sequence[str]) -> list[Distribution]:
    by_top_level = importlib.metadata.packages_distributions()
    found: dict[str | None, list[str]] = {}
    for top_level, modules in imported_from_outside(view, project).items():
        candidates = list(dict.fromkeys(by_top_level.get(top_level, ())))
        if len(candidates) <= 1:
            found.setdefault(candidates[0] if candidates else None, []).extend(modules)
            continue
        # Several distributions share a namespace package: the files they list tell them apart.
        files = {candidate: _files_of(candidate) for candidate in candidates}
        for module in modules:
            origin = view.modules[module].origin
            owner = next((candidate for candidate in candidates
                          if origin is not None and os.path.realpath(origin) in files[candidate]),
                         None)
            found.setdefault(owner, []).append(module)
    rows = []
    for name, modules in found.items():
        version = None
        if name is not None:
            distribution = importlib.metadata.distribution(name)
            name, version = distribution.metadata["Name"] or name, distribution.version
        rows.append(Distribution(name, version, sorted(modules)))
    return sorted(rows, key=lambda row: (row.name is None, (row.name or "").lower()))


def missing(view: GraphView, project: Sequence[str]) -> list[Unresolved]:
    """What the root or a project module imports that is not installed. A standard-library name
    that does not resolve belongs to another platform, and a project name to the project itself."""
    own = own_modules(view, project)
    return [entry for entry in view.unresolved
            if entry["importer"] in own and not is_stdlib(entry["name"])
            and not covered(entry["name"], project)]


def deps_text(label: str, rows: Iterable[Distribution], not_installed: Sequence[Unresolved]) -> str:
    rows = list(rows)
    count = sum(row.name is not None for row in rows)
    lines = [f"{label}: {count} third-party distribution{'' if count == 1 else 's'}"]
    shown = [(f"{row.name} {row.version}" if row.name else "(no distribution)", row.modules)
             for row in rows]
    width = max((len(title) for title, _ in shown), default=0)
    lines.extend(f"  {title:{width}}  {', '.join(modules)}" for title, modules in shown)
    if not_installed:
        lines.append(f"imported but not installed ({len(not_installed)})")
        lines.extend(f"  {entry['name']}  {imported_by(entry)}" for entry in not_installed)
    return "\n".join(lines) + "\n"


def deps_document(root: dict[str, Any], rows: Iterable[Distribution],
                  not_installed: Sequence[Unresolved]) -> dict[str, Any]:
    return {
        "root": root,
        "distributions": [{"name": row.name, "version": row.version, "modules": row.modules}
                          for row in rows],
        "missing": [{"name": entry["name"], "importer": entry["importer"],
                     "line": entry.get("line")} for entry in not_installed],
    }
