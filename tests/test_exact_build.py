"""Exact builds: resolution without running analysed code, checked against the interpreter itself."""

import _imp
import json
import logging
import sys
import zipfile

import pytest

import modweave
from builder_support import shortest_distances

ROOT = "<terminal>"


def exact(**options):
    return modweave.GraphBuilder(exact=True, **options)


def edges(graph):
    return {node.name: node.imports for node in graph.get_all_scoped("")}


def distances(graph):
    """Shortest import distances from the root, worked out here from the edges alone."""
    return shortest_distances(edges(graph), ROOT)


# The interpreter answers for every node of an exact graph, in a process of its own, after the
# graph is built (asking it imports parent packages, which the build itself must not do).
RESOLUTION_CHECK = r"""
import importlib, importlib.util, json, sys, zipfile
sys.path[:0] = json.loads(sys.argv[1])
import modweave

before = set(sys.modules)
graph = modweave.GraphBuilder(exact=True).build(sys.argv[2])
ran = sorted(set(sys.modules) - before)
nodes = {node.name: node.spec["origin"] for node in graph.get_all_scoped("") if node.name != "<terminal>"}

def interpreter_origin(name):
    spec = importlib.util.find_spec(name)
    if spec.origin == "frozen":
        return getattr(spec.loader_state, "filename", None) or spec.origin
    return spec.origin

def parent_import_raises(name):
    try:
        importlib.import_module(name.rpartition(".")[0])
    except Exception:
        return True
    return False

differences = {}
for name, origin in sorted(nodes.items()):
    try:
        expected = interpreter_origin(name)
    except Exception as error:
        # The interpreter runs the parent package to find a submodule; when that raises, it finds
        # nothing, and the exact answer is the one to keep.
        if parent_import_raises(name):
            continue
        expected = f"raised {type(error).__name__}"
    if expected != origin:
        differences[name] = [origin, expected]
found_anyway = []
for record in graph.unresolved():
    if record["name"].startswith("."):
        continue
    try:
        if importlib.util.find_spec(record["name"]) is not None:
            found_anyway.append(record["name"])
    except Exception:
        pass
print(json.dumps({"nodes": len(nodes), "differences": differences, "found_anyway": found_anyway,
                  "ran": ran}))
"""


@pytest.fixture
def layout(tmp_path):
    """Folders for the import path holding the cases the path-based finder must get right."""
    first, second = tmp_path / "first", tmp_path / "second"
    for folder in (first, second):
        (folder / "mwns" / "shared").mkdir(parents=True)
    (first / "mwns" / "one.py").write_text("import mwns.two\n")
    (second / "mwns" / "two.py").write_text("from mwns.shared import deep\n")
    (second / "mwns" / "shared" / "deep.py").write_text("import mwpkg\n")
    (first / "mwpkg").mkdir()
    (first / "mwpkg" / "__init__.py").write_text("from .inner import *\nfrom . import mod\n")
    (first / "mwpkg" / "inner.py").write_text("import mwzipped.part\n")
    (first / "mwpkg" / "mod.py").write_text("")
    (first / "mwpkg.py").write_text("raise SystemExit('the package comes first')\n")
    archive = tmp_path / "bundle.zip"
    with zipfile.ZipFile(archive, "w") as bundle:
        bundle.writestr("mwzipped/__init__.py", "")
        bundle.writestr("mwzipped/part.py", "import json\n")
    return [str(first), str(second), str(archive)]


@pytest.mark.parametrize(
    "source",
    [
        # standard-library packages, frozen modules among what they reach
        "import asyncio, json, email.mime.text, logging.handlers, concurrent.futures\n"
        "import importlib.metadata, http.client, xml.etree.ElementTree, unittest, sqlite3\n",
        # third-party packages installed in the test environment
        "import pytest, hypothesis, mypy.build\n",
        # namespace portions, a package shadowing a module, a star import, a zip archive
        "import mwns.one\nimport mwpkg\n",
        # every module the interpreter keeps frozen; __hello_only__ has no source file
        "import " + ", ".join(_imp._frozen_module_names()) + "\n",
    ],
    ids=["stdlib", "third-party", "path-cases", "frozen"],
)
def test_every_node_resolves_as_the_interpreter_resolves_it(python, layout, source):
    completed = python(f"import sys; sys.argv[1:] = {json.dumps([json.dumps(layout), source])}\n"
                       + RESOLUTION_CHECK)
    report = json.loads(completed.stdout)
    assert report["nodes"] > 5
    assert report["differences"] == {}
    assert report["found_anyway"] == []
    assert report["ran"] == []


def test_nothing_of_the_analysed_tree_runs(tree, tmp_path):
    marker = tmp_path / "marker"
    hostile = f"open({str(marker)!r}, 'a').write('ran')\nraise ImportError('needs settings')\n"
    tree.write("app", hostile, package=True)
    tree.write("app.views", "from . import models\nfrom .models import *\n")
    tree.write("app.models", hostile)
    before = set(sys.modules)

    graph = exact().build(f"import {tree.name('app.views')}\n")

    assert not marker.exists()
    assert set(sys.modules) == before
    assert {tree.name("app"), tree.name("app.views"), tree.name("app.models")} <= graph.keys()
    assert tree.name("app.models") in graph[tree.name("app.views")].imports


def test_depths_are_shortest_distances_in_fresh_and_cached_builds(tree):
    # Discovery order reaches d through a and c first, three steps down; b reaches it in two.
    tree.write("a", "import {p}c\n")
    tree.write("c", "import {p}d\n")
    tree.write("d", "import {p}e\n")
    tree.write("e", "import json\n")
    tree.write("b", "import {p}d\n")
    builder = exact()
    fresh = builder.build(f"import {tree.name('a')}, {tree.name('b')}\n")
    cached = builder.build(f"import {tree.name('b')}\nimport {tree.name('a')}\n")
    for graph in (fresh, cached):
        assert {n.name: n.depth for n in graph.get_all_scoped("")} == distances(graph)
    assert fresh.get(tree.name("e")).depth == 3


@pytest.mark.parametrize("root", ["import {p}pkg.sub\n", "import {p}pkg.sub.leaf\nimport {p}pkg.sub\n"])
def test_a_package_importing_its_submodule_imports_its_own_parents(tree, root):
    # The submodule is new when the package's text reaches it, or already in the graph.
    tree.write("pkg", "", package=True)
    tree.write("pkg.sub", "from . import leaf\n", package=True)
    tree.write("pkg.sub.leaf", "")
    graph = exact().build(root.format(p=tree.prefix))
    assert graph[tree.name("pkg.sub")].imports == {tree.name("pkg"), tree.name("pkg.sub.leaf")}


def records(graph):
    """Everything a graph says of each node."""
    return {node.name: (node.spec, node.imports, set(node.dependents), node.depth)
            for node in graph.get_all_scoped("")}


def test_cached_builds_equal_fresh_ones_and_leave_earlier_graphs_alone():
    # Overlapping standard-library roots in turn, so that the cache holds importers that a later
    # graph lacks, and later graphs share nodes with earlier ones.
    roots = ["import email.parser\n", "import json\nimport http.server\n", "import email\n",
             "import logging.handlers\nimport json\n", "import email.parser\n"]
    builder = exact()
    built = [(builder.build(root), exact().build(root)) for root in roots]
    kept = [records(graph) for graph, _ in built]
    for (cached, fresh), before in zip(built, kept):
        assert records(cached) == records(fresh)
        assert records(cached) == before  # unchanged by the builds that came after it
        assert cached.unresolved() == fresh.unresolved()


# Builds roots in turn on one builder in a fresh interpreter, with the module's loggers at the
# level given, and each root on a fresh builder too. Every cached import of the roots is in the
# cache after the first build: the second meets the root unchanged, the next ones a part of it
# and the same imports with a name that does not resolve, the last one a module that has
# appeared since. Prints the graphs, cached and fresh, and the summary record of each build.
REBUILD_CHECK = r"""
import json, logging, pathlib, sys
folder, prefix, level = sys.argv[1:]
sys.path.insert(0, folder)
later = pathlib.Path(folder, prefix + "later.py")
later.unlink(missing_ok=True)
summaries = []
class Keep(logging.Handler):
    def emit(self, record):
        if record.levelno == logging.INFO:
            summaries.append(record.getMessage())
logging.getLogger("modweave").setLevel(int(level))
logging.getLogger("modweave").addHandler(Keep())
import modweave

def described(graph):
    nodes = {node.name: [node.spec["origin"], sorted(node.imports), sorted(node.dependents),
                         node.depth] for node in graph.get_all_scoped("")}
    return [nodes, graph.unresolved()]

root = f"import {prefix}a\nimport {prefix}later\nimport logging.handlers, json\n"
part = f"import json\nimport {prefix}later\n"
roots = [root, root, part, root + "import nosuch\n", root, root]
builder = modweave.GraphBuilder(exact=True)
built = []
for number, text in enumerate(roots):
    if number == len(roots) - 1:
        later.write_text("import csv\n")
    built.append([described(builder.build(text)),
                  described(modweave.GraphBuilder(exact=True).build(text))])
print(json.dumps([built, summaries[::2]]))
"""


def test_rebuilds_equal_grafted_and_fresh_builds(python, tree):
    # With Debug records wanted, a rebuild grafts every cached part as it meets it; without,
    # an unchanged root may take the cached graph whole, counting what the grafts would have
    # counted only when the summary is wanted. All must give the graphs of fresh builds, and the
    # same summaries.
    tree.write("a", "import email.parser\nimport {p}b\n")
    tree.write("b", "from . import a\nimport http.client\n")
    reports = []
    for level in (logging.WARNING, logging.INFO, logging.DEBUG):
        arguments = json.dumps([str(tree.root), tree.prefix, str(level)])
        completed = python(f"import sys; sys.argv[1:] = {arguments}\n" + REBUILD_CHECK)
        reports.append(json.loads(completed.stdout))
    assert reports[0][0] == reports[1][0] and reports[1] == reports[2]
    built, summaries = reports[1]
    for cached, fresh in built:
        assert cached == fresh
    assert built[1][0] == built[0][0] != built[-1][0]
    assert tree.name("later") in built[-1][0][0]
    assert all("from cache" in summary for summary in summaries[1:])

@pytest.mark.parametrize(
    "content, decodes",
    [
        (b"# -*- coding: latin-1 -*-\nimport {p}target  # caf\xe9\n", True),
        (b"#!/usr/bin/env python\n# vim: set fileencoding=cp1252 :\nx = '\x80'\nimport {p}target\n", True),
        (b"\xef\xbb\xbfimport {p}target\n", True),
        (b"import {p}target\nx = '\xff'\n", False),
        (b"\xef\xbb\xbf# coding: latin-1\nimport {p}target\n", False),
        (b"# coding: no-such-codec\nimport {p}target\n", False),
    ],
    ids=["latin-1", "codec-on-line-2", "bom", "bad-utf-8", "bom-and-latin-1", "unknown-codec"],
)
def test_files_decode_as_the_interpreter_decodes_them(tree, builder_log, content, decodes):
    tree.write("target")
    path = tree.write("reader")
    path.write_bytes(content.replace(b"{p}", tree.prefix.encode()))
    graph = exact().build(f"import {tree.name('reader')}\n")

    assert (tree.name("target") in graph.keys()) == decodes
    warnings = [r.getMessage() for r in builder_log if r.levelno == logging.WARNING]
    assert bool(warnings) != decodes
    if not decodes:
        assert warnings[0].startswith(f"Unable to read file for spec '{tree.name('reader')}'")


def test_scope_options_decide_what_is_read_and_what_is_kept(tree):
    tree.write("lib", "import {p}lib.inner\n", package=True)
    tree.write("lib.inner", "import json\n")
    tree.write("other", "import {p}lib\nimport csv\n")
    source = f"import {tree.name('other')}\nimport {tree.name('lib')}\n"

    expanded_only = exact(expand_only=[tree.name("lib")]).build(source)
    assert tree.name("lib.inner") in expanded_only.keys()
    imports = edges(expanded_only)
    assert imports[tree.name("other")] == set()  # a leaf, never read
    assert "json" in imports and imports["json"] == set()

    never = exact(never_expand=[tree.name("lib")]).build(source)
    assert tree.name("lib") in never.keys() and tree.name("lib.inner") not in never.keys()

    excluded = exact(exclude=[tree.name("lib"), "csv"]).build(source)
    assert not {tree.name("lib"), tree.name("lib.inner"), "csv"} & excluded.keys()
    assert excluded.unresolved() == []


def test_unresolved_names_are_kept_with_importer_and_line(tree):
    tree.write("user", "import json\n\ntry:\n    import {p}missing.sub\nexcept ImportError:\n    pass\n"
                       "from . import nothing_here\n")
    builder = exact()
    records = builder.build(f"import {tree.name('user')}\nfrom .x import y\n").unresolved()
    again = builder.build(f"import {tree.name('user')}\n").unresolved()  # from the cache

    user = tree.name("user")
    expected = [{"name": tree.name("missing.sub"), "importer": user, "line": 4},
                {"name": ".", "importer": user, "line": 7}]
    assert [r for r in records if r["importer"] == user] == expected
    assert [r for r in again if r["importer"] == user] == expected
    assert {"name": ".x", "importer": ROOT, "line": 2} in records


def test_type_checking_imports_can_be_left_out(tree):
    tree.write("typed", "from typing import TYPE_CHECKING\nif TYPE_CHECKING:\n    import {p}only_types\n")
    tree.write("only_types")
    source = f"import {tree.name('typed')}\n"
    assert tree.name("only_types") in exact().build(source).keys()
    assert tree.name("only_types") not in exact(type_checking=False).build(source).keys()


def test_progress_reports_counts_and_can_stop_the_build(tree):
    tree.write("first", "import json\n")
    reported = []
    builder = exact(progress=reported.append)
    graph = builder.build(f"import {tree.name('first')}\n")
    assert reported and reported[-1] == graph.size()
    assert reported == sorted(reported)

    refusals = [KeyboardInterrupt]

    def refuse_once(count):
        if refusals:
            raise refusals.pop()

    stopping = exact(progress=refuse_once)
    with pytest.raises(KeyboardInterrupt):
        stopping.build("import json\n")
    assert stopping.build("import json\n").size() > 1


class Finder:
    """A meta-path finder that serves one virtual module, or misbehaves on purpose."""

    def __init__(self, name, behaviour):
        self.name, self.behaviour = name, behaviour

    def find_spec(self, name, path, target=None):
        if name != self.name:
            return None
        if self.behaviour == "serve":
            import importlib.machinery
            return importlib.machinery.ModuleSpec(name, None, origin="virtual")
        raise self.behaviour


@pytest.mark.parametrize("behaviour, found", [("serve", True), (ValueError("broken"), False)])
def test_custom_finders_are_asked_and_their_failures_mean_not_found(meta_path, behaviour, found):
    meta_path(Finder("mw_virtual", behaviour))
    graph = exact().build("import mw_virtual\n")
    assert ("mw_virtual" in graph.keys()) == found
    assert ([r["name"] for r in graph.unresolved()] == ["mw_virtual"]) != found


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
def test_interrupts_from_a_finder_reach_the_caller(meta_path, interrupt):
    meta_path(Finder("mw_interrupting", interrupt()))
    builder = exact()
    with pytest.raises(interrupt):
        builder.build("import mw_interrupting\n")
    assert builder.build("import json\n").size() > 1


@pytest.mark.parametrize("options", [{"exact": 1}, {"expand_only": "json"},
                                     {"exclude": [1]}, {"progress": 3}])
def test_options_are_checked(options):
    with pytest.raises(TypeError):
        modweave.GraphBuilder(**options)


@pytest.mark.parametrize("exact_build", [True, False])
def test_build_modules_takes_names_no_statement_could_spell(tree, exact_build):
    tree.write("app", "", package=True)
    tree.write("app.migrations", "", package=True)
    path = tree.write("app.migrations.initial", "import json\n")
    path.rename(path.with_name("0001_initial.py"))
    names = [tree.name("app.migrations.0001_initial"), tree.name("app")]
    graph = modweave.GraphBuilder(exact=exact_build).build_modules(names)
    assert edges(graph)[ROOT] >= set(names)
    assert "json" in edges(graph)[names[0]]
