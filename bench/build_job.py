"""One measurement of the build benchmark, in a fresh interpreter; prints a JSON line.

    python bench/build_job.py builder ROOT_FILE      first and second build on one builder
    python bench/build_job.py modulefinder ROOT_FILE  modulefinder.ModuleFinder().run_script
    python bench/build_job.py tree FOLDER ROOT_NAME   one build of a generated tree
    python bench/build_job.py cli ROOT_FILE           `modweave graph --format json` in this process
"""

import json
import sys
import time


def memory_kib(field):
    """A memory figure of this process from /proc (VmRSS now, VmHWM the peak since exec)."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def builder(root_file):
    import modweave

    source = open(root_file, encoding="utf-8").read()
    builder = modweave.GraphBuilder()
    start = time.perf_counter()
    first = builder.build(source)
    middle = time.perf_counter()
    second = builder.build(source)
    end = time.perf_counter()
    return {"first": middle - start, "second": end - middle, "modules": first.keys(),
            "second_size": second.size()}


def modulefinder(root_file):
    import modulefinder as finder_module

    finder = finder_module.ModuleFinder()
    start = time.perf_counter()
    finder.run_script(root_file)
    seconds = time.perf_counter() - start
    return {"seconds": seconds, "modules": set(finder.modules) - {"__main__"}}


def tree(folder, root_name):
    import modweave

    sys.path.insert(0, folder)
    before_kib = memory_kib("VmRSS")
    start = time.perf_counter()
    graph = modweave.GraphBuilder().build(f"import {root_name}\n")
    seconds = time.perf_counter() - start
    return {"seconds": seconds, "size": graph.size(), "edges": graph.num_dependencies(),
            "peak_mib": memory_kib("VmHWM") / 1024,
            "growth_mib": (memory_kib("VmHWM") - before_kib) / 1024}


def cli(root_file):
    import os

    import modweave  # noqa: F401 - loaded before the clock starts, as for `builder`

    start = time.perf_counter()
    from modweave_cli import main as command

    status = command(["graph", "--format", "json", "-o", os.devnull, root_file])
    return {"seconds": time.perf_counter() - start, "status": status}


def main():
    mode, *arguments = sys.argv[1:]
    modes = {"builder": builder, "modulefinder": modulefinder, "tree": tree, "cli": cli}
    result = modes[mode](*arguments)
    for key, value in result.items():
        if isinstance(value, set):
            result[key] = sorted(value)
    print(json.dumps(result))


if __name__ == "__main__":
    main()
