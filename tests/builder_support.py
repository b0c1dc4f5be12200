"""Temporary package trees for builder tests."""

import collections
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


def shortest_distances(imports, start, kept=lambda name: True):
    """Breadth-first import distances from `start`, over `imports` (a name to the names it
    imports), passing through kept modules only."""
    found = {start: 0}
    queue = collections.deque([start])
    while queue:
        name = queue.popleft()
        for imported in imports.get(name, ()):
            if kept(imported) and imported not in found:
                found[imported] = found[name] + 1
                queue.append(imported)
    return found


def write_files(folder, files):
    """Writes each text or bytes of `files` (relative path to content) under `folder`."""
    for name, content in files.items():
        path = folder / name
        path.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(content, bytes):
            path.write_bytes(content)
        else:
            path.write_text(content)
    return folder
