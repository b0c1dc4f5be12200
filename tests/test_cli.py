"""The `modweave` console command, run as a user runs it: the installed entry point, in a subprocess."""

import json
import os
import pathlib
import pty
import re
import shutil
import subprocess
import sys

import pytest

import modweave
from builder_support import write_files

ROOT = "main.py"  # the root is named by the target as given
CONSOLE = pathlib.Path(sys.executable).with_name("modweave")

# main imports a and b; a reaches c and e; two cycles: c <-> d, and e -> f -> g -> e.
PROJECT = {
    "main.py": "import mw_a\nimport mw_b\n",
    "mw_a.py": "import mw_c\nimport mw_e\n",
    "mw_b.py": "import mw_d\n",
    "mw_c.py": "import mw_d\n",
    "mw_d.py": "import mw_c\n",
    "mw_e.py": "import mw_f\n",
    "mw_f.py": "import mw_g\n",
    "mw_g.py": "import mw_e\n",
    "mw_pkg/__init__.py": "from . import sub\n",
    "mw_pkg/sub.py": "from . import leaf\n",
    "mw_pkg/leaf.py": "",
    "relative.py": "from . import mw_a\n",
    "broken.py": "import mw_latin1\n",
    "mw_latin1.py": b"name = '\xe9'\n",
}
EDGES = {(ROOT, "mw_a"), (ROOT, "mw_b"), ("mw_a", "mw_c"), ("mw_a", "mw_e"), ("mw_b", "mw_d"),
         ("mw_c", "mw_d"), ("mw_d", "mw_c"), ("mw_e", "mw_f"), ("mw_f", "mw_g"), ("mw_g", "mw_e")}
DEPTHS = {ROOT: 0, "mw_a": 1, "mw_b": 1, "mw_c": 2, "mw_d": 2, "mw_e": 2, "mw_f": 3, "mw_g": 4}


@pytest.fixture(scope="module")
def project(tmp_path_factory):
    return write_files(tmp_path_factory.mktemp("project"), PROJECT)


def cli(*arguments, cwd, stderr=subprocess.PIPE, env=None):
    return subprocess.run([str(CONSOLE), *map(str, arguments)], cwd=cwd, stdout=subprocess.PIPE,
                          stderr=stderr, text=True, timeout=120, env=env)


def graph_json(project, *arguments):
    result = cli("graph", "--format", "json", *arguments, cwd=project)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


def test_graph_json_nodes_edges_and_depths(project):
    document = graph_json(project, "main.py")
    nodes = {node["name"]: node for node in document["nodes"]}
    assert {(e["from"], e["to"]) for e in document["edges"]} == EDGES
    assert {name: node["depth"] for name, node in nodes.items()} == DEPTHS
    for name, node in nodes.items():
        assert node["importers"] == sorted(a for a, b in EDGES if b == name)
    assert nodes["mw_c"]["origin"] == str(project / "mw_c.py")
    assert nodes[ROOT]["origin"] == str(project / "main.py")
    assert document["root"] == {"name": ROOT, "target": "main.py", "package": None}


def test_graph_text_groups_by_depth(project):
    result = cli("graph", "main.py", cwd=project)
    assert result.returncode == 0, result.stderr
    groups, depth = {}, None
    for line in result.stdout.splitlines()[1:]:
        if match := re.fullmatch(r"depth (\d+) \(\d+\)", line):
            depth = int(match[1])
        else:
            groups[line.split()[0]] = depth
    assert groups == DEPTHS
    assert result.stdout.startswith(f"main.py: {len(DEPTHS)} modules, {len(EDGES)} imports\n")


def test_graph_dot_ranks_by_depth(project):
    result = cli("graph", "main.py", "--format", "dot", "--max-depth", "2", cwd=project)
    assert result.returncode == 0, result.stderr
    ranks = {}
    for line in result.stdout.splitlines():
        if match := re.match(r"\s*\{ rank=same; (.*) \}", line):
            ranks[frozenset(re.findall(r'"([^"]+)"', match[1]))] = True
    shown = {name for name, depth in DEPTHS.items() if depth <= 2}
    assert set(ranks) == {frozenset(n for n in shown if DEPTHS[n] == d) for d in (0, 1, 2)}
    drawn = set(re.findall(r'^\s*"([^"]+)" -> "([^"]+)";$', result.stdout, re.M))
    assert drawn == {(a, b) for a, b in EDGES if a in shown and b in shown}


def test_max_depth_keeps_edges_between_kept_modules_only(project):
    document = graph_json(project, "main.py", "--max-depth", "1")
    assert {n["name"] for n in document["nodes"]} == {ROOT, "mw_a", "mw_b"}
    assert {(e["from"], e["to"]) for e in document["edges"]} == {(ROOT, "mw_a"), (ROOT, "mw_b")}


@pytest.mark.parametrize("target, root", [(["mw_pkg/sub.py"], "mw_pkg/sub.py"),
                                          (["-m", "mw_pkg.sub"], "mw_pkg.sub")],
                         ids=["file", "module"])
def test_package_of_the_root_is_inferred(project, target, root):
    document = graph_json(project, *target)
    assert document["root"]["package"] == "mw_pkg"
    assert {(root, "mw_pkg"), (root, "mw_pkg.leaf")} <= {(e["from"], e["to"])
                                                          for e in document["edges"]}


def test_output_file(project, tmp_path):
    output = tmp_path / "graph.json"
    result = cli("graph", "main.py", "--format", "json", "-o", output, cwd=project)
    assert (result.returncode, result.stdout) == (0, "")
    assert len(json.loads(output.read_text())["nodes"]) == len(DEPTHS)


def test_picture_without_graphviz_names_the_package(project, tmp_path):
    result = cli("graph", "main.py", "-o", tmp_path / "g.svg", cwd=project,
                 env={**os.environ, "PATH": str(tmp_path)})
    assert result.returncode == 2
    assert "graphviz" in result.stderr and not (tmp_path / "g.svg").exists()


@pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz is not installed")
def test_picture_with_graphviz(project, tmp_path):
    result = cli("graph", "main.py", "-o", tmp_path / "g.svg", cwd=project)
    assert result.returncode == 0, result.stderr
    assert "<svg" in (tmp_path / "g.svg").read_text()


@pytest.mark.parametrize("module, chain", [
    ("mw_d", [ROOT, "mw_b", "mw_d"]),
    ("mw_g", [ROOT, "mw_a", "mw_e", "mw_f", "mw_g"]),
    ("json", None),
])
def test_why(project, module, chain):
    as_json = cli("why", "main.py", module, "--format", "json", cwd=project)
    assert json.loads(as_json.stdout) == {"module": module, "chain": chain, "unresolved": []}
    as_text = cli("why", "main.py", module, cwd=project)
    assert as_json.returncode == as_text.returncode == (0 if chain else 1)
    if chain:
        steps = [line.strip().removeprefix("-> ") for line in as_text.stdout.splitlines()]
        assert steps == chain
    else:
        assert as_text.stdout == f"{module} is not reached from main.py\n"


def test_cycles_largest_first(project):
    as_json = cli("cycles", "main.py", "--format", "json", cwd=project)
    assert json.loads(as_json.stdout) == {"cycles": [["mw_e", "mw_f", "mw_g"], ["mw_c", "mw_d"]]}
    as_text = cli("cycles", "mw_b.py", cwd=project)
    assert as_text.stdout == "1 import cycle\ncycle 1: 2 modules\n  mw_c\n  mw_d\n"
    assert as_json.returncode == as_text.returncode == 1
    without = cli("cycles", "mw_pkg/leaf.py", cwd=project)
    assert (without.returncode, without.stdout) == (0, "no import cycles\n")


IMPORTS = "import a.b as c, d\nfrom ..x import (y as z, w)\nfrom . import m\n"


def test_imports(tmp_path):
    (tmp_path / "source.py").write_text(IMPORTS)
    as_json = cli("imports", "source.py", "--format", "json", cwd=tmp_path)
    assert json.loads(as_json.stdout) == modweave.parser.parse(IMPORTS)
    as_text = cli("imports", "source.py", cwd=tmp_path)
    assert as_text.stdout == "import a.b as c, d\nfrom ..x import y as z, w\nfrom . import m\n"


def test_module_runs_with_python_dash_m(tmp_path):
    (tmp_path / "source.py").write_text(IMPORTS)
    result = subprocess.run([sys.executable, "-m", "modweave_cli", "imports", "source.py"],
                            cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert result.stdout.splitlines()[0] == "import a.b as c, d"


@pytest.mark.parametrize("arguments, message", [
    (["graph", "missing.py"], "missing.py: no such file"),
    (["imports", "mw_pkg"], "mw_pkg: is a folder"),
    (["imports", "mw_latin1.py"], "mw_latin1.py: is not UTF-8 text"),
    (["graph", "relative.py"], "relative.py: has a relative import but no package is known"),
    (["cycles", "broken.py", "--compatible"], "the build failed: "),
    (["why", "-m", "mw_nowhere", "mw_a"], "module mw_nowhere: not found"),
    (["graph", "-m", "sys"], "module sys: has no Python source"),
    (["graph", "main.py", "-m", "mw_a"], "give either TARGET or -m MODULE"),
])
def test_failures_are_one_line_without_traceback(project, arguments, message):
    result = cli(*arguments, cwd=project)
    assert result.returncode == 2
    assert result.stdout == ""
    assert result.stderr.startswith(f"modweave: error: {message}")
    assert result.stderr.count("\n") == 1


@pytest.mark.parametrize("arguments, exception", [
    (["graph", "relative.py", "--compatible"], "PanicException"),
    (["graph", "missing.py"], "UserError"),
])
def test_debug_shows_the_traceback(project, arguments, exception):
    result = cli(*arguments, "--debug", cwd=project)
    assert result.returncode != 0
    assert "Traceback" in result.stderr and exception in result.stderr


@pytest.mark.parametrize("arguments, shown, hidden", [
    ([], [], ["Processed", "Expanding"]),
    (["-v"], ["INFO modweave.core.builder: Processed 10 dependency relationships."], ["Expanding"]),
    (["-vv"], ["Processed", "DEBUG modweave.core.builder: Expanding 'mw_a'"], []),
])
def test_verbose_shows_the_builder_records(project, arguments, shown, hidden):
    result = cli("graph", "main.py", "--format", "json", *arguments, cwd=project)
    json.loads(result.stdout)  # the records go to standard error only
    assert all(text in result.stderr for text in shown)
    assert not any(text in result.stderr for text in hidden)


@pytest.mark.parametrize("terminal, quiet, target, expected", [
    (True, False, "main.py", b"modules reached"),
    # A folder's modules are known before the build: the line tells how many.
    (True, False, "mw_pkg", b"modules reached (the target has 3)"),
    (True, True, "main.py", None),
    (False, False, "main.py", None)])
def test_progress_only_on_a_terminal(project, terminal, quiet, target, expected):
    if not terminal:
        result = cli("graph", target, cwd=project)
        assert "modules reached" not in result.stderr
        return
    controller, terminal_side = pty.openpty()
    try:
        result = cli("graph", target, *(["--quiet"] if quiet else []), cwd=project,
                     stderr=terminal_side)
        os.close(terminal_side)
        seen = b""
        while True:
            try:
                chunk = os.read(controller, 4096)
            except OSError:  # the terminal's other side is closed: all is read
                break
            if not chunk:
                break
            seen += chunk
    finally:
        os.close(controller)
    assert result.returncode == 0
    assert (b"modules reached" in seen) == (expected is not None)
    assert expected is None or expected in seen
