"""A program written against the module's stub; `mypy --strict` must accept it as it stands."""

from __future__ import annotations

from typing import TYPE_CHECKING

import modweave

if TYPE_CHECKING:
    from modweave import ImportFromRecord, ImportRecord


def imported_modules(source: str) -> list[str]:
    names: list[str] = []
    records: list[ImportRecord | ImportFromRecord] = modweave.parser.parse(source)
    for record in records:
        if record["type"] == "import_from":
            names.append("." * record.get("level", 0) + record.get("module", ""))
        else:
            names.extend(alias["name"] for alias in record.get("names", []))
    return names


def deepest(graph: modweave.DepGraph) -> tuple[str, int]:
    best = ("<terminal>", 0)
    for node in graph.get_all_scoped(""):
        depth = node.depth
        if depth is not None and depth > best[1]:
            best = (node.name, depth)
    return best


def imports_within(graph: modweave.DepGraph, scope: str) -> dict[str, set[str]]:
    return {name: graph[name].imports for name in graph if name.startswith(scope)}


def graph_or_none(source: str) -> modweave.DepGraph | None:
    try:
        return modweave.GraphBuilder().build(source)
    except modweave.PanicException:
        return None


def main() -> None:
    builder = modweave.GraphBuilder(verbose=False)
    graph: modweave.DepGraph = builder.build("import json\n", package=None)
    origins: list[str] = graph.origins()
    importers: set[str] = graph.get("json").dependents
    origin: str | None = graph.get("json").spec["origin"]
    print(imported_modules("import os"), deepest(graph), len(origins), importers, origin)
    print(len(graph), "json" in graph, imports_within(graph, "json"), graph_or_none("from . import x"))


if __name__ == "__main__":
    main()
