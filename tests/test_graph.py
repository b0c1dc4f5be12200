"""The Python view of graphs: DepGraph queries and DepNode properties."""

import pytest

import modweave

ROOT = "<terminal>"


@pytest.fixture
def graph(tree):
    tree.write("pkg", "from . import core\n", package=True)
    tree.write("pkg.core", "import json\n")
    tree.write("pkg.core2", "")
    tree.write("other", "import sys\n")
    source = "import {p}pkg.core2\nimport {p}other\n".replace("{p}", tree.prefix)
    return tree, modweave.GraphBuilder().build(source)


def test_names_keys_and_size_agree(graph):
    tree, g = graph
    names = g.names()
    assert isinstance(names, list) and isinstance(g.keys(), set)
    assert set(names) == g.keys() and len(names) == len(set(names)) == g.size()
    expected = {ROOT, "json", "sys"} | {tree.name(n) for n in ("pkg", "pkg.core", "pkg.core2", "other")}
    assert expected <= g.keys()
    # A graph never changes: every call enumerates in the same order.
    assert g.names() == names


def test_num_dependencies_counts_every_edge_once(graph):
    _, g = graph
    assert g.num_dependencies() == sum(len(g.get(n).dependents) for n in g.names())


def test_get_returns_independent_copies(graph):
    tree, g = graph
    name = tree.name("pkg.core")
    first, second = g.get(name), g.get(name)
    assert first is not second
    assert type(first) is modweave.DepNode
    assert first.name == second.name == name
    dependents = first.dependents
    dependents.add("changed")
    assert "changed" not in g.get(name).dependents
    assert first.dependents == {tree.name("pkg")}


def test_node_properties(graph):
    tree, g = graph
    node = g.get(tree.name("pkg.core"))
    assert node.spec["name"] == tree.name("pkg.core")
    assert node.spec["origin"].endswith("core.py")
    assert list(node.spec) == ["name", "origin"]
    assert node.depth == 2  # root -> pkg (the parent of pkg.core2) -> pkg.core
    assert g.get(ROOT).depth == 0
    for attribute in ("name", "spec", "dependents", "depth", "dependencies"):
        with pytest.raises(AttributeError):
            setattr(node, attribute, None)


def test_get_of_an_unknown_name_panics(graph):
    _, g = graph
    with pytest.raises(BaseException) as caught:
        g.get("no.such.module")
    assert type(caught.value).__name__ == "PanicException"
    assert caught.value.args == ("Node does not exist on graph: no.such.module",)
    # Still usable afterwards.
    assert g.size() > 1


def test_get_all_scoped_matches_bytes(graph):
    tree, g = graph
    pkg = tree.name("pkg")
    scoped = {node.name for node in g.get_all_scoped(pkg)}
    assert scoped == {pkg, f"{pkg}.core", f"{pkg}.core2"}
    assert {n.name for n in g.get_all_scoped(f"{pkg}.core")} == {f"{pkg}.core", f"{pkg}.core2"}
    assert len(g.get_all_scoped("")) == g.size()
    assert g.get_all_scoped("zzz-no-match") == []
    assert g.get_all_scoped(scope=pkg)


def test_origins_skip_nodes_without_origin(graph):
    tree, g = graph
    origins = g.origins()
    assert len(origins) == g.size() - 1  # only the root has none
    assert "built-in" in origins
    assert any(o.endswith("core2.py") for o in origins)


@pytest.mark.parametrize(
    "method, signature",
    [("size", "($self)"), ("num_dependencies", "($self)"), ("keys", "($self)"),
     ("get", "($self, name)"), ("get_all_scoped", "($self, scope)"), ("origins", "($self)"),
     ("names", "($self)")],
)
def test_method_signatures(method, signature):
    function = getattr(modweave.DepGraph, method)
    assert function.__text_signature__ == signature
    assert function.__doc__ is None


def test_class_members_come_in_order():
    # The established members keep their order; additions come after them.
    graph_methods = [n for n in vars(modweave.DepGraph) if not n.startswith("__")]
    assert graph_methods[:7] == ["size", "num_dependencies", "keys", "get", "get_all_scoped",
                                 "origins", "names"]
    node_properties = [n for n in vars(modweave.DepNode) if not n.startswith("__")]
    assert node_properties[:5] == ["name", "spec", "dependents", "depth", "dependencies"]


@pytest.mark.parametrize("call, message", [
    (lambda g: g.get(1), "argument 'name': 'int' object cannot be converted to 'str'"),
    (lambda g: g.get_all_scoped(None), "argument 'scope': 'NoneType' object cannot be converted to 'str'"),
    (lambda g: g.get(), "missing 1 required positional argument: 'name'"),
    (lambda g: g.size(1), "takes no arguments (1 given)"),
])
def test_argument_errors(graph, call, message):
    _, g = graph
    with pytest.raises(TypeError) as caught:
        call(g)
    assert message in str(caught.value)


def test_receiver_must_be_a_graph():
    with pytest.raises(TypeError, match="DepGraph"):
        modweave.DepGraph.size(object())


def test_dependencies_prints_its_count(python, tmp_path):
    (tmp_path / "counted.py").write_text("import sys\nimport os\n")
    result = python(
        f"""
        import sys
        sys.path.insert(0, {str(tmp_path)!r})
        import modweave
        g = modweave.GraphBuilder().build("import counted")
        node = g.get("counted")
        first = node.dependencies
        second = node.dependencies
        node.name, node.depth, node.dependents, node.spec
        sys.stdout.flush()
        print("returned", first, second, flush=True)
        """
    )
    assert result.stdout == "2\n2\nreturned 2 2\n"


# Enough of the standard library for more than a thousand imports.
LARGE_SOURCE = ("import asyncio, unittest.mock, email.mime.text, http.server, pydoc, doctest, "
                "multiprocessing.pool, concurrent.futures, xmlrpc.server, sqlite3, zipfile\n")


@pytest.fixture(scope="module")
def large_graph():
    return modweave.GraphBuilder().build(LARGE_SOURCE)


def test_container_protocol_agrees_with_the_methods(large_graph):
    g = large_graph
    assert len(g) == g.size()
    assert list(g) == g.names()
    for name in g.names():
        assert name in g
        node, copy = g[name], g.get(name)
        assert (node.name, node.spec, node.depth, node.dependents) == (
            copy.name, copy.spec, copy.depth, copy.dependents)
    assert dict(g).keys() == g.keys()


@pytest.mark.parametrize("key", ["no.such.module", "", 1, None, ("json",), "\udc80"])
def test_unknown_keys_are_not_in_the_graph(large_graph, key):
    assert key not in large_graph
    with pytest.raises(KeyError) as caught:
        large_graph[key]
    assert caught.value.args == (key,)


def test_imports_are_the_edges_that_dependents_record_from_the_other_end(large_graph, capfd):
    g = large_graph
    imported_by = {name: set() for name in g.names()}
    for name in g.names():
        for importer in g.get(name).dependents:
            imported_by[importer].add(name)
    assert {name: g[name].imports for name in g.names()} == imported_by
    assert capfd.readouterr().out == ""


def test_reprs_say_what_the_objects_are(large_graph):
    g = large_graph
    assert g.num_dependencies() >= 1000
    assert repr(g) == f"<DepGraph: {len(g):,} modules, {g.num_dependencies():,} imports>"
    assert repr(modweave.GraphBuilder().build("x = 1")) == "<DepGraph: 1 module, 0 imports>"
    assert repr(g["json"]) == f"<DepNode 'json' depth={g['json'].depth}>"
    assert repr(g[ROOT]) == "<DepNode '<terminal>' depth=0>"
