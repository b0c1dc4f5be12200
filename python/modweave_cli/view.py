"""A plain, ordered copy of a built graph, and the questions asked of it.

The native graph enumerates its nodes in an order that changes between processes; everything here
is sorted, so that the same code gives the same output every run.
"""

from __future__ import annotations

import collections
import sys
from collections.abc import Iterable, Mapping, Sequence
from importlib import machinery

import modweave

TYPE_CHECKING = False  # as in `cli`: no `typing` at run time
if TYPE_CHECKING:
    from typing import Any

    Unresolved = Mapping[str, Any]

ROOT = "<terminal>"
EXTENSION_SUFFIXES = tuple(machinery.EXTENSION_SUFFIXES)


class Module:
    # A plain class: `dataclasses` alone would take a tenth of the command's own start-up.
    __slots__ = ("name", "origin", "depth", "importers", "kind")

    def __init__(self, name: str, origin: str | None, depth: int | None,
                 importers: tuple[str, ...], kind: str | None = None) -> None:
        self.name = name
        self.origin = origin
        self.depth = depth  # import steps from the root; None for a module the root does not reach
        self.importers = importers
        self.kind = kind


def _depth_key(depth: int | None) -> tuple[bool, int]:
    return (depth is None, depth or 0)


def covered(name: str, prefixes: Sequence[str]) -> bool:
    """Whether a prefix names the module or one of its packages."""
    return name in prefixes or name.startswith(tuple(prefix + "." for prefix in prefixes))


def is_stdlib(name: str) -> bool:
    return name.partition(".")[0] in sys.stdlib_module_names


def kind_of(name: str, origin: str | None, project: Sequence[str]) -> str:
    """How a module is loaded, for modules without Python source of their own; for the others,
    whose they are: the target's, the standard library's or a third party's."""
    if origin in ("built-in", "frozen"):
        return origin
    if origin is None:
        return "namespace"
    if origin.endswith(EXTENSION_SUFFIXES):
        return "extension"
    if covered(name, project):
        return "project"
    return "stdlib" if is_stdlib(name) else "third-party"


class GraphView:
    """Modules by name, each with its shortest import distance from `root`.

    The builder's own depth is left aside: without the exact build it is the order of discovery.
    """

    def __init__(self, modules: Iterable[Module], root: str = ROOT, *,
                 imports: Mapping[str, Iterable[str]] | None = None,
                 unresolved: Iterable[Unresolved] = (), keep_depths: bool = False) -> None:
        """`imports` holds each module's imported names; without it they are read off the
        importers of every module."""
        self.root = root
        self.modules = {m.name: m for m in sorted(modules, key=lambda m: m.name)}
        if imports is not None:
            self.imports = {name: tuple(sorted(imports[name])) for name in self.modules}
        else:
            inverted: dict[str, list[str]] = {name: [] for name in self.modules}
            for module in self.modules.values():
                for importer in module.importers:
                    inverted[importer].append(module.name)
            self.imports = {name: tuple(names) for name, names in inverted.items()}
        # Imported names that did not resolve, by importer and line.
        self.unresolved = [entry for entry in unresolved if entry["importer"] in self.modules]
        if not keep_depths:
            distances = self.distances_from(root)
            for name, module in self.modules.items():
                module.depth = distances.get(name)

    @classmethod
    def of(cls, graph: modweave.DepGraph, root: str = ROOT, *, same_as_root: str | None = None,
           root_origin: str | None = None,
           unresolved: Iterable[Unresolved] = ()) -> GraphView:
        """The built graph with its root node named `root`. The module `same_as_root`, when the
        graph reaches it, is the root's own source: it and the root become one node."""
        renamed = {ROOT: root}
        if same_as_root is not None:
            renamed[same_as_root] = root
        origins: dict[str, str | None] = {root: root_origin}
        importers: dict[str, set[str]] = {root: set()}
        imports: dict[str, set[str]] = {root: set()}
        # One call copies every node out.
        for node in graph.get_all_scoped(""):
            name = renamed.get(node.name, node.name)
            if node.name != ROOT:
                origins[name] = node.spec["origin"]
            for edges, names in ((importers, node.dependents), (imports, node.imports)):
                found = edges.setdefault(name, set())
                found.update(names)
                # The renamed nodes are few: look for them rather than at every name.
                for old, new in renamed.items():
                    if old in found:
                        found.discard(old)
                        found.add(new)
                found.discard(name)
        missing: dict[tuple[str, str, int | None], Unresolved] = {}
        for entry in unresolved:
            importer: str = entry["importer"]
            importer = renamed.get(importer, importer)
            # Without lines, two statements that import the same name are one entry.
            missing.setdefault((entry["name"], importer, entry["line"]),
                               {**entry, "importer": importer})
        return cls((Module(name, origins[name], None, tuple(sorted(found)))
                    for name, found in importers.items()), root, imports=imports,
                   unresolved=missing.values())

    def distances_from(self, start: str) -> dict[str, int]:
        distances = {start: 0} if start in self.modules else {}
        queue = collections.deque(distances)
        while queue:
            name = queue.popleft()
            for imported in self.imports[name]:
                if imported not in distances:
                    distances[imported] = distances[name] + 1
                    queue.append(imported)
        return distances

    def subset(self, kept: Iterable[str],
               unresolved: Iterable[Unresolved] | None = None) -> GraphView:
        """The kept modules and the imports among them, each module keeping its distance in the
        whole graph; the unresolved names of kept importers, or those given."""
        kept = set(kept)
        return GraphView(
            (Module(m.name, m.origin, m.depth, tuple(i for i in m.importers if i in kept), m.kind)
             for name, m in self.modules.items() if name in kept),
            self.root, unresolved=self.unresolved if unresolved is None else unresolved,
            keep_depths=True)

    def within(self, max_depth: int | None) -> GraphView:
        if max_depth is None:
            return self
        return self.subset(name for name, m in self.modules.items()
                           if m.depth is not None and m.depth <= max_depth)

    def edges(self) -> list[tuple[str, str]]:
        """Every import, sorted by importer and then by the module imported."""
        return [(importer, name) for importer, names in self.imports.items() for name in names]

    def by_depth(self) -> list[tuple[int | None, list[Module]]]:
        groups: dict[int | None, list[Module]] = collections.defaultdict(list)
        for module in self.modules.values():
            groups[module.depth].append(module)
        return [(depth, groups[depth]) for depth in sorted(groups, key=_depth_key)]

    def chain_to(self, target: str, start: str | None = None) -> list[str] | None:
        """A shortest import chain from `start` (the root) to `target`, or None when none exists."""
        start = self.root if start is None else start
        if target not in self.modules or start not in self.modules:
            return None
        previous: dict[str, str | None] = {start: None}
        queue = collections.deque([start])
        while queue:
            name = queue.popleft()
            if name == target:
                chain = [name]
                while (step := previous[chain[-1]]) is not None:
                    chain.append(step)
                return chain[::-1]
            for imported in self.imports[name]:
                if imported not in previous:
                    previous[imported] = name
                    queue.append(imported)
        return None

    def cycles(self) -> list[list[str]]:
        """Strongly connected components of more than one module, largest first.

        Tarjan's algorithm, with an explicit stack: import chains of real programs run deeper than
        the interpreter's recursion limit allows.
        """
        index: dict[str, int] = {}
        lowlink: dict[str, int] = {}
        on_stack: set[str] = set()
        stack: list[str] = []
        components: list[list[str]] = []
        for start in self.modules:
            if start in index:
                continue
            work = [(start, 0)]
            while work:
                name, position = work.pop()
                if position == 0:
                    index[name] = lowlink[name] = len(index)
                    stack.append(name)
                    on_stack.add(name)
                successors = self.imports[name]
                if position < len(successors):
                    work.append((name, position + 1))
                    successor = successors[position]
                    if successor not in index:
                        work.append((successor, 0))
                    elif successor in on_stack:
                        lowlink[name] = min(lowlink[name], index[successor])
                    continue
                if work:
                    parent = work[-1][0]
                    lowlink[parent] = min(lowlink[parent], lowlink[name])
                if lowlink[name] == index[name]:
                    component = []
                    while True:
                        member = stack.pop()
                        on_stack.discard(member)
                        component.append(member)
                        if member == name:
                            break
                    if len(component) > 1:
                        components.append(sorted(component))
        return sorted(components, key=lambda c: (-len(c), c))
