"""One measurement of the build benchmark, in a fresh interpreter; prints a JSON line.

    python bench/build_job.py builder ROOT_FILE      first and second build on one builder
    python bench/build_job.py modulefinder ROOT_FILE  modulefinder.ModuleFinder().run_script
    python bench/build_job.py tree FOLDER ROOT_NAME   one build of a generated tree
    python bench/build_job.py cli TARGET [ARGS...]    `modweave graph --format json` in this process
    python bench/build_job.py grimp PACKAGE           grimp.build_graph(PACKAGE, cache_dir=None)
    python bench/build_job.py progress TARGET on|off  the command's build of TARGET, with or without
                                                      its progress line (written to /dev/null)
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


def cli(target, *arguments):
    import os

    import modweave  # noqa: F401 - loaded before the clock starts, as for `builder`

    start = time.perf_counter()
    from modweave_cli import main as command

    status = command(["graph", "--format", "json", "-o", os.devnull, target, *arguments])
    return {"seconds": time.perf_counter() - start, "status": status}


def grimp(package):
    import grimp as grimp_module

    start = time.perf_counter()
    graph = grimp_module.build_graph(package, cache_dir=None)
    return {"seconds": time.perf_counter() - start, "modules": len(graph.modules)}


def progress(target_path, shown):
    import os

    import modweave
    from modweave_cli.cli import Progress
    from modweave_cli.target import load

    target = load(target_path, None, None)
    inside = []  # seconds spent in each call of the line

    def timed(line):
        def call(reached):
            start = time.perf_counter()
            line(reached)
            inside.append(time.perf_counter() - start)
        return call

    with open(os.devnull, "w") as sink:
        line = timed(Progress(sink, target.roots)) if shown == "on" else None
        builder = modweave.GraphBuilder(exact=True, progress=line)
        start = time.perf_counter()
        graph = builder.build(target.source, target.package)
        seconds = time.perf_counter() - start
    return {"seconds": seconds, "size": graph.size(), "calls": len(inside),
            "inside": sum(inside)}


def main():
    mode, *arguments = sys.argv[1:]
    modes = {"builder": builder, "modulefinder": modulefinder, "tree": tree, "cli": cli,
             "grimp": grimp, "progress": progress}
    result = modes[mode](*arguments)
    for key, value in result.items():
        if isinstance(value, set):
            result[key] = sorted(value)
    print(json.dumps(result))


if __name__ == "__main__":
    main()
