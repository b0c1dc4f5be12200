"""Output forms of graphs and import lists: text for people, JSON for tools, DOT for Graphviz."""

from __future__ import annotations

import json
from collections.abc import Sequence

from modweave_cli.view import ROOT, GraphView

TYPE_CHECKING = False  # as in `cli`: no `typing` at run time
if TYPE_CHECKING:
    from typing import Any

    from modweave import AliasRecord, ImportFromRecord, ImportRecord


def display_name(name: str, root_label: str) -> str:
    return f"{ROOT} ({root_label})" if name == ROOT else name


def graph_text(view: GraphView, root_label: str) -> str:
    lines = [f"{root_label}: {len(view.modules)} modules, {len(view.edges())} imports"]
    for depth, modules in view.by_depth():
        lines.append(f"depth {'?' if depth is None else depth} ({len(modules)})")
        width = max(len(m.name) for m in modules)
        for module in modules:
            if module.name == ROOT:
                lines.append(f"  {ROOT}  {root_label}")
            else:
                lines.append(f"  {module.name:{width}}  {module.origin or '-'}".rstrip())
    return "\n".join(lines) + "\n"


def graph_json(view: GraphView, root_label: str, package: str | None) -> str:
    document = {
        "root": {"name": ROOT, "target": root_label, "package": package},
        "nodes": [{"name": m.name, "origin": m.origin, "depth": m.depth,
                   "importers": list(m.importers)} for m in view.modules.values()],
        "edges": [{"from": importer, "to": name} for importer, name in view.edges()],
    }
    # Compact: an indent would make `json` fall back from its native encoder.
    return json.dumps(document) + "\n"


def module_kind(origin: str | None, project_folder: str | None) -> str:
    # Imported here: only the graph document needs them.
    import importlib.machinery
    import sysconfig

    if origin is None:
        return "namespace"
    if origin in ("built-in", "frozen"):
        return origin
    if origin.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)):
        return "extension"
    if "site-packages" in origin.split("/"):
        return "third-party"
    if project_folder is not None and origin.startswith(project_folder.rstrip("/") + "/"):
        return "project"
    standard = {sysconfig.get_path("stdlib"), sysconfig.get_path("platstdlib")}
    if any(origin.startswith(folder.rstrip("/") + "/") for folder in standard):
        return "stdlib"
    return "third-party"


def graph_document(view: GraphView, root_label: str, package: str | None,
                   project_folder: str | None) -> dict[str, Any]:
    """The graph as the explorer draws it: the root named by its label, and true depths."""
    root_name = root_label if root_label not in view.modules else f"{root_label} (root)"
    shown = {ROOT: root_name}
    depths = {ROOT: 0}
    queue = [ROOT]
    for name in queue:
        for imported in view.imports[name]:
            if imported not in depths:
                depths[imported] = depths[name] + 1
                queue.append(imported)

    def named(name: str) -> str:
        return shown.get(name, name)

    nodes = [{"name": named(m.name), "origin": m.origin, "depth": depths.get(m.name),
              "importers": sorted(named(i) for i in m.importers),
              "kind": "project" if m.name == ROOT else module_kind(m.origin, project_folder)}
             for m in view.modules.values()]
    return {
        "root": {"name": root_name, "target": root_label, "package": package},
        "nodes": sorted(nodes, key=lambda node: node["name"]),
        "edges": sorted(({"from": named(a), "to": named(b)} for a, b in view.edges()),
                        key=lambda edge: (edge["from"], edge["to"])),
        "unresolved": [],
    }


def _dot_id(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def graph_dot(view: GraphView, root_label: str, project_folder: str | None = None) -> str:
    lines = [
        "digraph modweave {",
        "  rankdir=LR;",
        '  node [shape=box, style="rounded,filled", fillcolor="#eef3fb", fontname="Helvetica"];',
        '  edge [color="#5b6b84"];',
        f"  {_dot_id(ROOT)} [label={_dot_id(root_label)}, fillcolor=\"#f6d68b\"];",
    ]
    if project_folder is not None:
        # The program's own modules stand out from the libraries it uses.
        inside = project_folder.rstrip("/") + "/"
        lines.extend(f'  {_dot_id(m.name)} [fillcolor="#cde8c4"];' for m in view.modules.values()
                     if m.origin is not None and m.origin.startswith(inside))
    # One rank per depth, so the picture reads left to right in import steps from the root.
    for depth, modules in view.by_depth():
        names = " ".join(_dot_id(m.name) + ";" for m in modules)
        lines.append(f"  {{ rank=same; {names} }}  // depth {depth}")
    lines.extend(f"  {_dot_id(a)} -> {_dot_id(b)};" for a, b in view.edges())
    lines.append("}")
    return "\n".join(lines) + "\n"


def chain_text(chain: Sequence[str], root_label: str) -> str:
    steps = [display_name(chain[0], root_label)]
    steps.extend(f"{'  ' * index}-> {name}" for index, name in enumerate(chain[1:]))
    return "\n".join(steps) + "\n"


def cycles_text(cycles: Sequence[Sequence[str]]) -> str:
    if not cycles:
        return "no import cycles\n"
    lines = [f"{len(cycles)} import cycle{'s' if len(cycles) != 1 else ''}"]
    for number, members in enumerate(cycles, 1):
        lines.append(f"cycle {number}: {len(members)} modules")
        lines.extend(f"  {name}" for name in members)
    return "\n".join(lines) + "\n"


def _aliases(names: Sequence[AliasRecord]) -> str:
    return ", ".join(a["name"] + (f" as {a['asname']}" if "asname" in a else "") for a in names)


def import_line(record: ImportRecord | ImportFromRecord) -> str:
    names = record.get("names", [])
    if record["type"] == "import":
        return f"import {_aliases(names)}"
    module = "." * record.get("level", 0) + record.get("module", "")
    return f"from {module} import {_aliases(names) or '*'}"


def imports_text(records: Sequence[ImportRecord | ImportFromRecord]) -> str:
    return "".join(import_line(record) + "\n" for record in records)


def as_json(value: Any) -> str:
    return json.dumps(value) + "\n"
