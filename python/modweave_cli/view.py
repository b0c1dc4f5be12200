"""A plain, ordered copy of a built graph, and the questions asked of it.

The native graph enumerates its nodes in an order that changes between processes; everything here
is sorted, so that the same code gives the same output every run.
"""

from __future__ import annotations

import collections
from collections.abc import Iterable

import modweave

ROOT = "<terminal>"


class Module:
    # A plain class: `dataclasses` alone would take a tenth of the command's own start-up.
    __slots__ = ("name", "origin", "depth", "importers")

    def __init__(self, name: str, origin: str | None, depth: int | None,
                 importers: tuple[str, ...]) -> None:
        self.name = name
        self.origin = origin
        self.depth = depth
        self.importers = importers


def _depth_key(depth: int | None) -> tuple[bool, int]:
    return (depth is None, depth or 0)


class GraphView:
    def __init__(self, modules: Iterable[Module],
                 imports: dict[str, Iterable[str]] | None = None) -> None:
        """`imports` holds each module's imported names; without it they are read off the
        importers of every module."""
        self.modules = {m.name: m for m in sorted(modules, key=lambda m: m.name)}
        if imports is not None:
            self.imports = {name: tuple(sorted(imports[name])) for name in self.modules}
            return
        inverted: dict[str, list[str]] = {name: [] for name in self.modules}
        for module in self.modules.values():
            for importer in module.importers:
                inverted[importer].append(module.name)
        self.imports = {name: tuple(names) for name, names in inverted.items()}

    @classmethod
    def of(cls, graph: modweave.DepGraph) -> GraphView:
        # One call copies every node out.
        nodes = graph.get_all_scoped("")
        modules = [Module(n.name, n.spec["origin"], n.depth, tuple(sorted(n.dependents)))
                   for n in nodes]
        return cls(modules, {node.name: node.imports for node in nodes})

    def within(self, max_depth: int | None) -> GraphView:
        if max_depth is None:
            return self
        kept = {name for name, m in self.modules.items()
                if m.depth is not None and m.depth <= max_depth}
        return GraphView(
            Module(m.name, m.origin, m.depth, tuple(i for i in m.importers if i in kept))
            for name, m in self.modules.items() if name in kept
        )

    def edges(self) -> list[tuple[str, str]]:
        return [(importer, name) for importer, names in self.imports.items() for name in names]

    def by_depth(self) -> list[tuple[int | None, list[Module]]]:
        groups: dict[int | None, list[Module]] = collections.defaultdict(list)
        for module in self.modules.values():
            groups[module.depth].append(module)
        return [(depth, groups[depth]) for depth in sorted(groups, key=_depth_key)]

    def chain_to(self, target: str, start: str = ROOT) -> list[str] | None:
        """A shortest import chain from `start` to `target`, or None when none exists."""
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
