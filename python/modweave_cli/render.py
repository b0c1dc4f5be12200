"""Output forms of graphs and import lists: text for people, JSON for tools, DOT for Graphviz."""

from __future__ import annotations

import json
from collections.abc import Sequence

from modweave_cli.view import GraphView

TYPE_CHECKING = False  # as in `cli`: no `typing` at run time
if TYPE_CHECKING:
    from typing import Any

    from modweave import AliasRecord, ImportFromRecord, ImportRecord
    from modweave_cli.view import Unresolved


def graph_text(view: GraphView) -> str:
    lines = [f"{view.root}: {len(view.modules)} modules, {len(view.edges())} imports"]
    for depth, modules in view.by_depth():
        lines.append(f"depth {'?' if depth is None else depth} ({len(modules)})")
        width = max(len(m.name) for m in modules)
        lines.extend(f"  {m.name:{width}}  {m.origin or '-'}".rstrip() for m in modules)
    if view.unresolved:
        lines.append(f"imported but not found ({len(view.unresolved)})")
        lines.extend(f"  {entry['name']}  {imported_by(entry)}" for entry in view.unresolved)
    return "\n".join(lines) + "\n"


def imported_by(entry: Unresolved) -> str:
    line = entry.get("line")
    return f"imported by {entry['importer']}" + ("" if line is None else f", line {line}")


def graph_document(view: GraphView, target: str, package: str | None) -> dict[str, Any]:
    """The graph as the JSON output and the HTML explorer carry it: one shape for both."""
    return {
        "root": {"name": view.root, "target": target, "package": package},
        "nodes": [{"name": m.name, "origin": m.origin, "depth": m.depth,
                   "importers": list(m.importers), "kind": m.kind}
                  for m in view.modules.values()],
        "edges": [{"from": importer, "to": name} for importer, name in view.edges()],
        "unresolved": [{"name": entry["name"], "importer": entry["importer"],
                        "line": entry.get("line")} for entry in view.unresolved],
    }


def graph_json(view: GraphView, target: str, package: str | None) -> str:
    # Compact: an indent would make `json` fall back from its native encoder. The document holds
    # no cycles, so the encoder need not look for them.
    return json.dumps(graph_document(view, target, package), check_circular=False) + "\n"


def _dot_id(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def graph_dot(view: GraphView) -> str:
    lines = [
        "digraph modweave {",
        "  rankdir=LR;",
        '  node [shape=box, style="rounded,filled", fillcolor="#eef3fb", fontname="Helvetica"];',
        '  edge [color="#5b6b84"];',
        f"  {_dot_id(view.root)} [fillcolor=\"#f6d68b\"];",
    ]
    # The program's own modules stand out from the libraries it uses.
    lines.extend(f'  {_dot_id(m.name)} [fillcolor="#cde8c4"];' for m in view.modules.values()
                 if m.kind == "project" and m.name != view.root)
    # One rank per depth, so the picture reads left to right in import steps from the root.
    for depth, modules in view.by_depth():
        names = " ".join(_dot_id(m.name) + ";" for m in modules)
        lines.append(f"  {{ rank=same; {names} }}  // depth {'?' if depth is None else depth}")
    lines.extend(f"  {_dot_id(a)} -> {_dot_id(b)};" for a, b in view.edges())
    lines.append("}")
    return "\n".join(lines) + "\n"


def chain_text(chain: Sequence[str]) -> str:
    steps = [chain[0]]
    steps.extend(f"{'  ' * index}-> {name}" for index, name in enumerate(chain[1:]))
    return "\n".join(steps) + "\n"


def not_found_text(name: str, unresolved: Sequence[Unresolved]) -> str:
    lines = [f"{name} is imported but not found on the import path (is it installed?)"]
    lines.extend(f"  {entry['name']}  {imported_by(entry)}" for entry in unresolved)
    return "\n".join(lines) + "\n"


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
