"""Properties of parse and build over generated sources and package trees."""

import collections
import contextlib
import os
import re
import sys
import tempfile
from pathlib import Path

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import modweave
from builder_support import Tree, shortest_distances

ROOT = "<terminal>"
# The sanitizer suite runs everything several times slower; it gets fewer examples.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
PARSE_EXAMPLES = 80 if SANITIZED else 400
BUILD_EXAMPLES = 15 if SANITIZED else 60

NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
QUALIFIED_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*(\.[A-Za-z_][A-Za-z0-9_]*)*")

# ---------------------------------------------------------------------------------------------
# parse

identifiers = st.from_regex(r"[A-Za-z_][A-Za-z0-9_]{0,6}", fullmatch=True)
dotted = st.lists(identifiers, min_size=1, max_size=3).map(".".join)
spaces = st.sampled_from([" ", "  ", "\t", " \\\n ", " \\\r\n", ""])
line_ends = st.sampled_from(["\n", "\r\n", "\r"])
alias_texts = st.tuples(dotted, st.none() | identifiers).map(
    lambda pair: pair[0] + (f" as {pair[1]}" if pair[1] else ""))
free_text = st.text(st.characters(blacklist_categories=("Cs",)), max_size=12)

fragments = st.one_of(
    st.builds(lambda names, gap: f"import{gap or ' '}" + ", ".join(names),
              st.lists(alias_texts, min_size=1, max_size=3), spaces),
    st.builds(lambda dots, module, names, gap, paren:
              f"from {'.' * dots}{module} import{gap or ' '}"
              + (f"({', '.join(names)},)" if paren else ", ".join(names)),
              st.integers(0, 3), dotted | st.just(""),
              st.lists(alias_texts, min_size=1, max_size=3),
              spaces, st.booleans()),
    st.builds(lambda quote, body: quote + body + quote,
              st.sampled_from(["'", '"', "'''", '"""', "rb'", "F\"", "u'''"]), free_text),
    free_text.map(lambda text: "# " + text),
    st.sampled_from(["(", ")", ",", ".", "\\", "\t", "import", "from", " as ", "*", ";", "\x00",
                     "\ufeff", "é", "中", "😀", "\u2028"]),
    free_text,
    spaces,
    line_ends,
)
sources = st.lists(fragments, max_size=30).map("".join)


def check_alias(entry, source):
    assert list(entry) in (["name"], ["name", "asname"])
    assert QUALIFIED_NAME.fullmatch(entry["name"]) and entry["name"] in source
    if "asname" in entry:
        assert NAME.fullmatch(entry["asname"]) and entry["asname"] in source


@settings(max_examples=PARSE_EXAMPLES, deadline=None)
@given(sources)
def test_parse_returns_well_formed_records_for_any_text(source):
    records = modweave.parser.parse(source)
    assert isinstance(records, list)
    for record in records:
        if record["type"] == "import":
            assert list(record) == ["type", "names"]
        else:
            assert list(record) == ["type", "module", "level", "names"]
            level, module = record["level"], record["module"]
            assert type(level) is int and level >= 0 and isinstance(module, str)
            assert (QUALIFIED_NAME.fullmatch(module) if level == 0 or module else module == "")
            # The dots and the module are written together, so they appear so in the text.
            assert "." * level + module in source
        assert record["names"]
        for entry in record["names"]:
            check_alias(entry, source)


@settings(max_examples=PARSE_EXAMPLES, deadline=None)
@given(st.lists(st.tuples(alias_texts, line_ends, st.sampled_from(["", " ", "\\\n", " \\\r\n"])),
                min_size=1, max_size=8))
def test_every_plain_import_line_is_found_whatever_the_line_ends(lines):
    # The keyword takes one space; more spaces and continuations may follow, but not a tab.
    source = "".join(f"import {gap}{text}{end}" for text, end, gap in lines)
    expected = []
    for text, _, _ in lines:
        name, _, asname = text.partition(" as ")
        expected.append({"type": "import",
                         "names": [{"name": name, "asname": asname} if asname else {"name": name}]})
    assert modweave.parser.parse(source) == expected


# ---------------------------------------------------------------------------------------------
# build


@contextlib.contextmanager
def captured_fd1():
    """Everything written to file descriptor 1 inside the block, as text in the yielded list."""
    sys.stdout.flush()
    saved = os.dup(1)
    out = []
    with tempfile.TemporaryFile() as sink:
        os.dup2(sink.fileno(), 1)
        try:
            yield out
        finally:
            sys.stdout.flush()
            os.dup2(saved, 1)
            os.close(saved)
            sink.seek(0)
            out.append(sink.read().decode())


def check_graph(graph):
    """Edges agree on both ends, the counts add up, and depths respect import distance."""
    names = graph.names()
    assert ROOT in names and len(set(names)) == len(names) == graph.size()
    nodes = {name: graph.get(name) for name in names}
    dependents = {name: node.dependents for name, node in nodes.items()}
    with captured_fd1() as printed:
        dependencies = {name: node.dependencies for name, node in nodes.items()}
    assert printed[0].split() == [str(dependencies[name]) for name in names]

    for name in names:
        assert dependents[name] <= set(names)
        assert dependencies[name] == sum(name in dependents[other] for other in names)
    assert sum(dependencies.values()) == graph.num_dependencies()

    imports = collections.defaultdict(set)
    for name in names:
        for importer in dependents[name]:
            imports[importer].add(name)
    distance = shortest_distances(imports, ROOT)
    assert nodes[ROOT].depth == 0 and not dependents[ROOT]
    for name in names:
        if name != ROOT:
            assert name in distance, f"{name} cannot be reached from the root"
            assert nodes[name].depth >= max(1, distance[name])
    return imports


TOP = [f"t{i}" for i in range(4)]
SUB = [f"s{i}" for i in range(3)]


def module_lines(in_package):
    """Import lines a module of the tree may hold, {p} standing for the tree's prefix."""
    kinds = [
        st.sampled_from(TOP).map(lambda t: f"import {{p}}{t}"),
        st.sampled_from(TOP).map(lambda t: f"from {{p}}{t} import x"),
        st.sampled_from(SUB).map(lambda s: f"import {{p}}pkg.{s}"),
        st.sampled_from(SUB).map(lambda s: f"from {{p}}pkg import {s}"),
        st.just("import {p}missing"),
        st.just("import sys"),
        st.sampled_from(["# import {p}t0", "x = 'import {p}t1'", "'''\nimport {p}t2\n'''",
                         "if False:\n\timport {p}t3", "z = (1,\n     2)"]),
    ]
    if in_package:
        kinds.append(st.sampled_from(SUB).map(lambda s: f"from . import {s}"))
    return st.lists(st.one_of(kinds), max_size=4)


trees = st.fixed_dictionaries({
    **{t: module_lines(False) for t in TOP},
    "pkg": module_lines(True),
    **{f"pkg.{s}": module_lines(True) for s in SUB},
    ROOT: st.lists(st.one_of(st.sampled_from(TOP).map(lambda t: f"import {{p}}{t}"),
                             st.sampled_from(SUB).map(lambda s: f"import {{p}}pkg.{s}")),
                   min_size=1, max_size=3),
    "line_end": line_ends,
})


@settings(max_examples=BUILD_EXAMPLES, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(trees)
def test_build_returns_a_consistent_graph(layout):
    end = layout["line_end"]
    with tempfile.TemporaryDirectory() as folder:
        tree = Tree(Path(folder))
        try:
            for module in TOP + ["pkg"] + [f"pkg.{s}" for s in SUB]:
                tree.write(module, end.join(layout[module]) + end, package=module == "pkg")
            source = end.join(layout[ROOT]).replace("{p}", tree.prefix) + end
            graph = modweave.GraphBuilder().build(source)
            imports = check_graph(graph)
        finally:
            tree.close()

    # Plain top-level modules have no package code to run on lookup, so each of them is an
    # edge exactly when an expanded module's text imports it (a module importing itself is none).
    short = {tree.name(m): m for m in TOP + ["pkg"] + [f"pkg.{s}" for s in SUB]}
    short[ROOT] = ROOT
    for importer in graph.names():
        if importer not in short:
            continue
        asked = {t for line in layout[short[importer]] for t in TOP
                 if line in (f"import {{p}}{t}", f"from {{p}}{t} import x")} - {short[importer]}
        found = {short[name] for name in imports[importer] if short.get(name) in TOP}
        assert found == asked, short[importer]
