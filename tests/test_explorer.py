"""The explorer page as a file: names stay data, nothing is fetched, and the data is the graph's."""

import base64
import hashlib
import html.parser
import json
import pathlib
import re
import subprocess
import sys
from importlib import resources

import pytest

from modweave_cli import explorer
from builder_support import write_files

CONSOLE = pathlib.Path(sys.executable).with_name("modweave")
HOSTILE_NAMES = [
    "</script><script>alert(1)</script>",
    "</SCRIPT ><img src=x onerror=alert(2)>",
    "<!--<script>",
    "\"double\" 'single' `back` &amp; &lt;",
    "line\u2028separator\u2029paragraph",
    "@@D3@@ @@DATA@@",
    "surrogate\udce9",
]


class Page(html.parser.HTMLParser):
    """The elements of a page, with the text of its scripts, style and title."""

    def __init__(self, text):
        super().__init__(convert_charrefs=True)
        self.elements = []
        self.texts = {}
        self._open = None
        self.feed(text)

    def handle_starttag(self, tag, attributes):
        self.elements.append((tag, dict(attributes)))
        if tag in ("script", "style", "title"):
            self._open = len(self.elements) - 1
            self.texts[self._open] = ""

    def handle_endtag(self, tag):
        self._open = None

    def handle_data(self, data):
        if self._open is not None:
            self.texts[self._open] += data

    def scripts(self):
        return [(attributes, self.texts[index]) for index, (tag, attributes) in enumerate(self.elements)
                if tag == "script"]

    def text_of(self, wanted):
        return next(self.texts[i] for i, (tag, _) in enumerate(self.elements) if tag == wanted)


def document_with(names):
    root = names[0]
    return {
        "root": {"name": root, "target": root, "package": None},
        "nodes": [{"name": name, "origin": f"/tmp/{name}/x.py", "depth": index, "kind": "project",
                   "importers": [names[index - 1]] if index else []} for index, name in enumerate(names)],
        "edges": [{"from": a, "to": b} for a, b in zip(names, names[1:])],
        "unresolved": [{"name": names[-1] + ".gone", "importer": names[-1], "line": 3}],
    }


def csp_hash(text):
    return "'sha256-" + base64.b64encode(hashlib.sha256(text.encode()).digest()).decode() + "'"


@pytest.mark.parametrize("root", HOSTILE_NAMES)
def test_names_from_the_tree_stay_data(root):
    document = document_with([root, *(name for name in HOSTILE_NAMES if name != root)])
    page = Page(explorer.graph_html(document))
    scripts = page.scripts()
    # The page's own three scripts and nothing else: no name ended an element or opened one.
    assert [attributes.get("type") for attributes, _ in scripts] == ["application/json", None, None]
    assert [tag for tag, _ in page.elements].count("img") == 0
    data = scripts[0][1]
    assert not set("<>&\u2028\u2029") & set(data)
    assert json.loads(data) == document
    assert page.text_of("title") == f"{root} · modweave"


def test_the_page_fetches_nothing_and_runs_only_its_own_scripts():
    text = explorer.graph_html(document_with(["main.py", "a", "a.b"]))
    page = Page(text)
    assert not {tag for tag, _ in page.elements} & {"link", "img", "iframe", "object", "embed", "base"}
    for tag, attributes in page.elements:
        assert not {"src", "href", "srcset", "action", "poster", "background"} & set(attributes), tag
    style = page.text_of("style")
    assert "url(" not in style and "@import" not in style
    # Whatever a script might try to load, the policy allows no request, and only these scripts.
    policy = next(a["content"] for tag, a in page.elements if a.get("http-equiv") == "Content-Security-Policy")
    directives = dict(part.strip().split(" ", 1) for part in policy.split(";"))
    assert directives["default-src"] == "'none'"
    assert directives["script-src"].split() == [csp_hash(code) for _, code in page.scripts()[1:]]
    assert directives["style-src"] == csp_hash(style)
    assert set(directives) == {"default-src", "script-src", "style-src"}


def test_the_vendored_library_keeps_its_licence():
    assets = resources.files("modweave_cli") / explorer.ASSETS
    licence = (assets / "d3.LICENSE").read_text()
    assert "BSD-3-Clause" in licence and "Mike Bostock" in licence
    library = (assets / "d3.min.js").read_text()
    notice = library.splitlines()[0]
    assert re.fullmatch(r"// \S+ v5\.16\.0 Copyright \d+ Mike Bostock", notice)
    page = explorer.graph_html(document_with(["main.py"]))
    assert notice in page


PROJECT = {
    "main.py": "import json\nimport app.core\nimport app.extra\n",
    "app/__init__.py": "",
    "app/core.py": "from app import util\nimport os.path\n",
    "app/util.py": "from app import core\n",
    "app/extra.py": "import app.util\n",
}


def test_the_command_embeds_the_graph_of_its_json_output(tmp_path):
    write_files(tmp_path, PROJECT)

    def run(*arguments):
        result = subprocess.run([str(CONSOLE), "graph", "main.py", *arguments], cwd=tmp_path,
                                capture_output=True, text=True, timeout=120)
        assert result.returncode == 0, result.stderr
        return result.stdout

    as_json = json.loads(run("--format", "json"))
    run("-o", "graph.html")
    page_text = (tmp_path / "graph.html").read_text()
    assert run("--format", "html") == page_text
    embedded = json.loads(Page(page_text).scripts()[0][1])

    assert embedded == as_json
    kinds = {node["name"]: node["kind"] for node in embedded["nodes"]}
    assert kinds["app.core"] == "project" and kinds["json"] == "stdlib"
    depths = {node["name"]: node["depth"] for node in embedded["nodes"]}
    assert (depths["main.py"], depths["app"], depths["app.util"]) == (0, 1, 2)
