"""The main job: the dependency graph of the bundled example program, summarised.

    python examples/run.py [SCRIPT]

SCRIPT defaults to examples/inventory/main.py; its folder is put first on the import path, as the
interpreter does for a script it runs.
"""

import collections
import logging
import pathlib
import sys

import modweave

DEFAULT = pathlib.Path(__file__).resolve().parent / "inventory" / "main.py"
SHOWN_PER_DEPTH = 12


def summarise(graph, own_prefix):
    by_depth = collections.defaultdict(list)
    for name in graph.names():
        by_depth[graph.get(name).depth].append(name)
    print(f"{graph.size()} modules, {graph.num_dependencies()} import relationships")
    for depth in sorted(by_depth, key=lambda d: (d is None, d)):
        names = sorted(by_depth[depth], key=lambda n: (not n.startswith(own_prefix), n))
        shown = ", ".join(names[:SHOWN_PER_DEPTH])
        more = f", and {len(names) - SHOWN_PER_DEPTH} more" if len(names) > SHOWN_PER_DEPTH else ""
        print(f"  depth {depth}: {len(names)} - {shown}{more}")


def main(script=DEFAULT):
    script = pathlib.Path(script).resolve()
    logging.basicConfig(level=logging.INFO, format="%(levelname)s %(name)s: %(message)s",
                        stream=sys.stdout)
    sys.path.insert(0, str(script.parent))
    graph = modweave.GraphBuilder().build(script.read_text(encoding="utf-8"))
    print(f"Dependency graph of {script}")
    summarise(graph, own_prefix="inventory")


if __name__ == "__main__":
    main(*sys.argv[1:])
