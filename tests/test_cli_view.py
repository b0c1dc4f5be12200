"""Graph questions of the command line, on graphs written out by hand."""

import pytest

from modweave_cli.render import import_line
from modweave_cli.view import ROOT, GraphView, Module


def view(edges, depths=None):
    importers = {ROOT: []}
    for importer, imported in edges:
        importers.setdefault(importer, [])
        importers.setdefault(imported, []).append(importer)
    depths = depths or {}
    return GraphView(Module(name, None, depths.get(name), tuple(sorted(found)))
                     for name, found in importers.items())


@pytest.mark.parametrize("edges, cycles", [
    ([(ROOT, "a")], []),
    ([(ROOT, "a"), ("a", "a2"), ("a2", "a")], [["a", "a2"]]),
    # Two cycles joined one way only stay two components.
    ([(ROOT, "a"), ("a", "b"), ("b", "a"), ("b", "c"), ("c", "d"), ("d", "e"), ("e", "c")],
     [["c", "d", "e"], ["a", "b"]]),
    # A figure eight through one module is one component.
    ([(ROOT, "x"), ("x", "y"), ("y", "x"), ("x", "z"), ("z", "x")], [["x", "y", "z"]]),
    # Equal sizes: ordered by their names.
    ([(ROOT, "q"), (ROOT, "b"), ("q", "r"), ("r", "q"), ("b", "c"), ("c", "b")],
     [["b", "c"], ["q", "r"]]),
])
def test_cycles(edges, cycles):
    assert view(edges).cycles() == cycles


def test_cycles_and_chains_deeper_than_the_recursion_limit():
    names = [f"m{i:05d}" for i in range(5000)]
    edges = [(ROOT, names[0]), *zip(names, names[1:]), (names[-1], names[0])]
    graph = view(edges)
    assert graph.cycles() == [sorted(names)]
    assert graph.chain_to(names[-1]) == [ROOT, *names]


@pytest.mark.parametrize("target, chain", [
    ("d", [ROOT, "b", "d"]),      # the shorter of two ways
    (ROOT, [ROOT]),
    ("island", None),             # a node no edge from the root reaches
    ("absent", None),
])
def test_chain_to(target, chain):
    graph = view([(ROOT, "a"), (ROOT, "b"), ("a", "c"), ("c", "d"), ("b", "d"), ("island", "a")])
    assert graph.chain_to(target) == chain


def test_within_drops_deeper_modules_and_their_edges():
    depths = {ROOT: 0, "a": 1, "b": 2, "c": None}
    graph = view([(ROOT, "a"), ("a", "b"), ("b", "a"), ("a", "c")], depths).within(1)
    assert set(graph.modules) == {ROOT, "a"}
    assert graph.edges() == [(ROOT, "a")]
    assert graph.modules["a"].importers == (ROOT,)


@pytest.mark.parametrize("record, line", [
    ({"type": "import", "names": [{"name": "a.b", "asname": "c"}, {"name": "d"}]},
     "import a.b as c, d"),
    ({"type": "import_from", "module": "x", "level": 2, "names": [{"name": "y"}]},
     "from ..x import y"),
    ({"type": "import_from", "module": "", "level": 1, "names": [{"name": "m", "asname": "n"}]},
     "from . import m as n"),
    ({"type": "import_from", "module": "os", "level": 0}, "from os import *"),
])
def test_import_line(record, line):
    assert import_line(record) == line
