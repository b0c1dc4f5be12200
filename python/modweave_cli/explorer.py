"""The interactive explorer: one self-contained HTML page that draws a graph document.

The page embeds the document of `--format json` as it stands, d3's force layout and the explorer's
own script and style; it loads nothing else. Everything in the document comes from the analysed tree,
so it goes into the page as JSON data only, escaped so that no name or path can end the element that
holds it, and the page's content security policy runs no script but the two it was written with.
"""

from __future__ import annotations

import base64
import hashlib
import html
import json
import re
from importlib import resources

TYPE_CHECKING = False  # as in `cli`: no `typing` at run time
if TYPE_CHECKING:
    from typing import Any

ASSETS = "explorer_assets"
PLACEHOLDER = re.compile(r"@@(POLICY|TITLE|STYLE|DATA|D3|EXPLORER)@@")
# With every character beyond ASCII escaped by `json` (U+2028 and U+2029 among them), these are the
# only ones left that could close the data's element or open markup inside it.
DATA_ESCAPES = str.maketrans({"<": "\\u003c", ">": "\\u003e", "&": "\\u0026"})


def asset(name: str) -> str:
    return (resources.files("modweave_cli") / ASSETS / name).read_text(encoding="utf-8")


def embedded_json(document: dict[str, Any]) -> str:
    """The document as the text of a `<script type="application/json">` element."""
    return json.dumps(document, separators=(",", ":")).translate(DATA_ESCAPES)


def source_hash(text: str) -> str:
    digest = hashlib.sha256(text.encode("utf-8")).digest()
    return f"'sha256-{base64.b64encode(digest).decode('ascii')}'"


def graph_html(document: dict[str, Any]) -> str:
    """The explorer page for a graph document of the shape `modweave graph --format json` writes."""
    style = asset("explorer.css")
    library = asset("d3.min.js")
    explorer = asset("explorer.js")
    policy = (f"default-src 'none'; script-src {source_hash(library)} {source_hash(explorer)}; "
              f"style-src {source_hash(style)}")
    pieces = {
        "POLICY": policy,
        "TITLE": html.escape(f"{document['root']['name']} · modweave"),
        "STYLE": style,
        "DATA": embedded_json(document),
        "D3": library,
        "EXPLORER": explorer,
    }
    # One pass over the page alone: a piece that happens to hold a placeholder stays as it is.
    return PLACEHOLDER.sub(lambda match: pieces[match.group(1)], asset("page.html"))
