"""The `modweave` command on project-shaped trees: targets, scope, output formats, cycles, deps."""

import collections
import json
import os
import sys

import pytest

from builder_support import shortest_distances, write_files
from test_cli import cli

# A project (app.py and the package shop) beside an installed-like folder of libraries: the
# distribution mw-dist (with a cycle of its own), a module no distribution lists, and a namespace
# package. Distances from app.py: app -> shop -> shop.cart -> shop.prices, so shop.prices is 3
# steps away however the build meets it. Not found: mw_gone, a module of the project, and a
# standard-library module of another platform.
TREE = {
    "project/app.py": "import shop\nimport sys\nimport json\nimport mw_loose\nimport mw_ns.part\n"
                      "import msvcrt\nimport helpers\nimport shop.admin.views\n",
    "project/helpers.py": "import os\nimport mw_gone\n",
    "project/shop/__init__.py": "from . import cart\n",
    "project/shop/cart.py": "from shop import prices\nimport mw_dist.core\n",
    "project/shop/prices.py": "import shop.cart\nfrom typing import TYPE_CHECKING\n"
                              "if TYPE_CHECKING:\n    import mw_typed\n",
    "project/shop/admin/__init__.py": "",
    "project/shop/admin/views.py": "from ..cart import x\nfrom ..gone import name\n",
    "project/shop/legacy-helpers.py": "import mw_dist\n",
    "project/shop/assets/tool.py": "import mw_dist\n",
    "project/shop/migrations/__init__.py": "",
    "project/shop/migrations/0001_initial.py": "from shop import cart\n",
    # Runs nothing: analysing it leaves no trace in the output.
    "project/loud/__init__.py": "print('loud')\nraise RuntimeError('loud')\n",
    "project/loud/inner.py": "import loud.deeper\n",
    "project/loud/deeper.py": "",
    "project/scripts/first.py": "import shop.admin\n",
    "project/scripts/second.py": "import mw_loose\n",
    "project/scripts/notes.txt": "",
    "project/scripts/run-all.py": "",
    "libs/mw_dist/__init__.py": "from mw_dist import core\n",
    "libs/mw_dist/core.py": "import mw_dist\n",
    "libs/mw_dist-1.2.dist-info/METADATA": "Metadata-Version: 2.1\nName: mw-dist\nVersion: 1.2\n",
    "libs/mw_dist-1.2.dist-info/RECORD": "mw_dist/__init__.py,,\nmw_dist/core.py,,\n",
    "libs/mw_dist-1.2.dist-info/top_level.txt": "mw_dist\n",
    "libs/mw_loose.py": "",
    "libs/mw_typed.py": "",
    "libs/mw_ns/part.py": "",
}
# Modules named as no import statement can spell them (migrations) are modules of the package too;
# files in folders without __init__.py are not.
SHOP = ["shop", "shop.admin", "shop.admin.views", "shop.cart", "shop.legacy-helpers",
        "shop.migrations", "shop.migrations.0001_initial", "shop.prices"]
GONE = {"name": "mw_gone", "importer": "helpers", "line": 2}


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    return write_files(tmp_path_factory.mktemp("scope"), TREE)


def run(tree, *arguments, **options):
    env = {**os.environ, "PYTHONPATH": str(tree / "libs"), **options.pop("env", {})}
    return cli(*arguments, cwd=tree / "project", env=env, **options)


def document(tree, *arguments):
    result = run(tree, "graph", "--format", "json", *arguments)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


def is_stdlib(name):
    return name.partition(".")[0] in sys.stdlib_module_names


def text_of(entry):
    return f"  {entry['name']}  imported by {entry['importer']}, line {entry['line']}"


def distances(document, kept=lambda name: True):
    """Shortest import distances from the root over the edges the document lists, through kept
    modules only."""
    imports = collections.defaultdict(list)
    for edge in document["edges"]:
        imports[edge["from"]].append(edge["to"])
    return shortest_distances(imports, document["root"]["name"], kept)


@pytest.mark.parametrize("arguments, root, first_step", [
    (["app.py"], "app.py", {"shop", "sys", "json", "mw_loose", "mw_ns", "mw_ns.part", "helpers",
                            "shop.admin", "shop.admin.views"}),
    (["-m", "shop"], "shop", {"shop.cart"}),
    # A package folder: every module in it, found by walking its folders with __init__.py.
    (["shop"], "shop/", set(SHOP)),
    # A plain folder: every script in it.
    (["scripts/"], "scripts/", {"first", "second", "run-all"}),
])
def test_targets_name_the_root_once_at_depth_zero(tree, arguments, root, first_step):
    found = document(tree, *arguments)
    names = [node["name"] for node in found["nodes"]]
    assert found["root"]["name"] == root and names == sorted(set(names))
    assert "<terminal>" not in names
    depths = {node["name"]: node["depth"] for node in found["nodes"]}
    assert depths[root] == 0 and depths == distances(found)
    assert {name for name, depth in depths.items() if depth == 1} == first_step
    assert next(n for n in found["nodes"] if n["name"] == root)["kind"] == "project"


@pytest.mark.parametrize("target", [["loud"], ["-m", "loud.inner"]], ids=["folder", "module"])
def test_analysed_code_does_not_run(tree, target):
    names = {node["name"] for node in document(tree, *target)["nodes"]}
    assert {"loud", "loud.inner", "loud.deeper"} <= names


@pytest.mark.parametrize("builder", [[], ["--compatible"]], ids=["exact", "compatible"])
def test_depth_is_the_distance_from_the_root_on_a_real_package(tree, builder):
    found = document(tree, "-m", "email", *builder)
    depths = {node["name"]: node["depth"] for node in found["nodes"]}
    assert len(depths) > 20 and depths == distances(found)


def test_max_depth_keeps_what_is_within_true_distance(tree):
    found = document(tree, "app.py", "--max-depth", "2", "--only", "shop")
    assert {node["name"]: node["depth"] for node in found["nodes"]} == {
        "app.py": 0, "shop": 1, "shop.admin": 1, "shop.admin.views": 1, "shop.cart": 2}


@pytest.mark.parametrize("target, expected", [
    ("app.py", {"app.py": "project", "shop.cart": "project", "json": "stdlib", "sys": "built-in",
                "mw_dist": "third-party", "mw_loose": "third-party", "mw_ns": "namespace"}),
    # The project of a subpackage is its whole top-level package.
    ("shop/admin", {"shop/admin/": "project", "shop.admin.views": "project",
                    "shop.cart": "project", "mw_dist": "third-party"}),
])
def test_kinds(tree, target, expected):
    kinds = {node["name"]: node["kind"] for node in document(tree, target)["nodes"]}
    assert {name: kinds[name] for name in expected} == expected


@pytest.mark.parametrize("arguments, kept, unresolved_kept", [
    (["--only", "shop"], lambda name: name.startswith("shop"), lambda name: True),
    (["--only", "shop", "--only", "mw_dist"], lambda name: name.startswith(("shop", "mw_dist")),
     lambda name: True),
    (["--no-stdlib"], lambda name: not is_stdlib(name), lambda name: not is_stdlib(name)),
    (["--exclude", "mw_dist", "--exclude", "msvcrt"], lambda name: not name.startswith("mw_dist"),
     lambda name: name != "msvcrt"),
    (["--no-type-checking"], lambda name: name != "mw_typed", lambda name: True),
])
def test_scope(tree, arguments, kept, unresolved_kept):
    """The scoped graph is what the whole graph reaches from the root through kept modules only:
    modules out of scope are not read."""
    whole, scoped = document(tree, "app.py"), document(tree, "app.py", *arguments)
    expected = set(distances(whole, kept))
    assert {n["name"] for n in scoped["nodes"]} == expected
    assert {(e["from"], e["to"]) for e in scoped["edges"]} == {
        (e["from"], e["to"]) for e in whole["edges"] if {e["from"], e["to"]} <= expected}
    assert scoped["unresolved"] == [u for u in whole["unresolved"]
                                    if u["importer"] in expected and unresolved_kept(u["name"])]


@pytest.mark.parametrize("name, format, check", [
    ("g.txt", None, lambda text: text.startswith("app.py: ")),
    ("g.json", None, lambda text: json.loads(text)["root"]["name"] == "app.py"),
    ("g.dot", None, lambda text: text.startswith("digraph ")),
    ("g.dot", "json", lambda text: json.loads(text)["root"]["name"] == "app.py"),
    ("g.out", None, lambda text: text.startswith("app.py: ")),
])
def test_format_from_the_file_name(tree, tmp_path, name, format, check):
    result = run(tree, "graph", "app.py", "-o", tmp_path / name,
                 *(["--format", format] if format else []))
    assert (result.returncode, result.stdout) == (0, "")
    assert check((tmp_path / name).read_text())


def test_picture_of_many_modules_needs_force(tree, tmp_path):
    package = tmp_path / "mw_wide"
    package.mkdir()
    (package / "__init__.py").write_text("")
    for index in range(500):
        (package / f"m{index}.py").write_text("")
    without_dot = {"PATH": str(tmp_path)}
    refused = run(tree, "graph", package, "-o", tmp_path / "g.png", env=without_dot)
    assert refused.returncode == 2
    assert "502 modules" in refused.stderr and "--max-depth" in refused.stderr
    forced = run(tree, "graph", package, "-o", tmp_path / "g.png", "--force", env=without_dot)
    assert forced.returncode == 2 and "graphviz" in forced.stderr


@pytest.mark.parametrize("arguments, cycles", [
    (["app.py"], [["shop", "shop.cart", "shop.prices"]]),
    (["app.py", "--all", "--no-stdlib"], [["shop", "shop.cart", "shop.prices"],
                                          ["mw_dist", "mw_dist.core"]]),
    (["-m", "mw_dist"], [["mw_dist", "mw_dist.core"]]),
    (["scripts"], []),
])
def test_cycles_of_the_targets_own_modules(tree, arguments, cycles):
    result = run(tree, "cycles", "--format", "json", *arguments)
    assert json.loads(result.stdout) == {"cycles": cycles}
    assert result.returncode == (1 if cycles else 0)


def test_deps(tree):
    result = run(tree, "deps", "app.py", "--format", "json")
    assert result.returncode == 0, result.stderr
    found = json.loads(result.stdout)
    assert found["distributions"] == [
        {"name": "mw-dist", "version": "1.2", "modules": ["mw_dist", "mw_dist.core"]},
        {"name": None, "version": None, "modules": ["mw_loose", "mw_ns", "mw_ns.part", "mw_typed"]},
    ]
    assert found["missing"] == [GONE]
    as_text = run(tree, "deps", "app.py").stdout.splitlines()
    assert as_text[0] == "app.py: 1 third-party distribution"
    assert as_text[1].split() == ["mw-dist", "1.2", "mw_dist,", "mw_dist.core"]
    assert as_text[-2:] == ["imported but not installed (1)", text_of(found["missing"][0])]
    assert run(tree, "deps", "app.py", "--fail-missing").returncode == 1
    at_run_time = json.loads(run(tree, "deps", "app.py", "--format", "json",
                                 "--no-type-checking").stdout)
    assert at_run_time["distributions"][-1]["modules"] == ["mw_loose", "mw_ns", "mw_ns.part"]
    assert run(tree, "deps", "-m", "mw_dist", "--fail-missing").returncode == 0


def test_unresolved_imports(tree):
    expected = [{"name": "msvcrt", "importer": "app.py", "line": 6}, GONE,
                {"name": "shop.gone", "importer": "shop.admin.views", "line": 2}]
    whole = document(tree, "app.py")
    own = {node["name"] for node in whole["nodes"] if node["kind"] == "project"}
    found = [u for u in whole["unresolved"] if u["importer"] in own]
    assert found == expected
    text = run(tree, "graph", "app.py", "--only", "shop", "--only", "helpers").stdout.splitlines()
    assert text[-4:] == ["imported but not found (3)", *map(text_of, found)]
    why = run(tree, "why", "app.py", "mw_gone")
    assert why.returncode == 1
    assert why.stdout.splitlines()[1:] == [text_of(found[1])]
    assert "not found" in why.stdout.splitlines()[0]
