"""Temporary package trees for builder tests."""

import importlib
import itertools
import sys
import textwrap

_counter = itertools.count()


class Tree:
    """Writes modules under a folder on sys.path; names are made unique per tree."""

    def __init__(self, root):
        self.root = root
        self.prefix = f"mw{next(_counter)}_"
        root.mkdir(parents=True, exist_ok=True)
        sys.path.insert(0, str(root))
        importlib.invalidate_caches()

    def name(self, short):
        """The real module name of `short`: its first component carries the tree's prefix."""
        return self.prefix + short

    def write(self, short, source="", package=False):
        """Writes module `short` (dotted, first component unprefixed) with `source`.

        `{p}` in the source stands for the tree's prefix.
        """
        parts = self.name(short).split(".")
        folder = self.root.joinpath(*parts[:-1])
        folder.mkdir(parents=True, exist_ok=True)
        for depth in range(1, len(parts)):
            init = self.root.joinpath(*parts[:depth], "__init__.py")
            if not init.exists():
                init.write_text("")
        if package:
            path = folder / parts[-1] / "__init__.py"
            path.parent.mkdir(parents=True, exist_ok=True)
        else:
            path = folder / f"{parts[-1]}.py"
        path.write_bytes(textwrap.dedent(source).replace("{p}", self.prefix).encode("utf-8"))
        importlib.invalidate_caches()
        return path

    def close(self):
        sys.path.remove(str(self.root))
        for name in list(sys.modules):
            if name.startswith(self.prefix):
                del sys.modules[name]
        importlib.invalidate_caches()
