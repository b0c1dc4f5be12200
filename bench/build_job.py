"""One measurement of the build benchmark, in a fresh interpreter; prints a JSON line.

    python bench/build_job.py builder ROOT_FILE [exact]     first and second build on one builder
    python bench/build_job.py modulefinder ROOT_FILE        modulefinder.ModuleFinder().run_script
    python bench/build_job.py tree FOLDER ROOT_NAME [exact] one build of a generated tree
    python bench/build_job.py cli TARGET [ARGS...]          `modweave graph --format json` here
    python bench/build_job.py package NAME [scoped]         an exact build with every module of
                                                            the installed package NAME as a root
    python bench/build_job.py grimp NAME [CACHE_FOLDER]     grimp.build_graph(NAME, cache_dir=...)
    python bench/build_job.py scope TARGET [PREFIX...]      the command's exact build of TARGET, read
                                                            only under the prefixes when given
    python bench/build_job.py progress TARGET on|off        the command's build of TARGET, with or
                                                            without its progress line (to /dev/null)
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


def builder(root_file, mode=""):
    import modweave

    source = open(root_file, encoding="utf-8").read()
    builder = modweave.GraphBuilder(exact=mode == "exact")
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


def tree(folder, root_name, mode=""):
    import modweave

    sys.path.insert(0, folder)
    before_kib = memory_kib("VmRSS")
    start = time.perf_counter()
    graph = modweave.GraphBuilder(exact=mode == "exact").build(f"import {root_name}\n")
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


def package_modules(name):
    """Every module of the installed package `name`, found from its folders without importing."""
    import importlib.util
    import os

    spec = importlib.util.find_spec(name)
    modules = []
    for location in spec.submodule_search_locations:
        for folder, children, files in os.walk(location):
            relative = os.path.relpath(folder, location)
            prefix = name if relative == "." else name + "." + relative.replace(os.sep, ".")
            if "__init__.py" not in files:
                children.clear()
                continue
            children[:] = [child for child in children if child.isidentifier()]
            modules.extend(prefix if file == "__init__.py" else f"{prefix}.{file[:-3]}"
                           for file in files if file.endswith(".py") and "." not in file[:-3])
    return sorted(modules)


def package(name, mode=""):
    import modweave

    modules = package_modules(name)
    builder = modweave.GraphBuilder(exact=True, expand_only=[name] if mode == "scoped" else None)
    start = time.perf_counter()
    graph = builder.build_modules(modules)
    seconds = time.perf_counter() - start
    return {"seconds": seconds, "roots": len(modules), "size": graph.size(),
            "edges": graph.num_dependencies()}


def grimp(name, cache_folder=None):
    import grimp as peer

    start = time.perf_counter()
    graph = peer.build_graph(name, cache_dir=cache_folder)
    seconds = time.perf_counter() - start
    return {"seconds": seconds, "size": len(graph.modules)}


def scope(target_path, *prefixes):
    import modweave
    from modweave_cli.target import load

    target = load(target_path, None, None)
    builder = modweave.GraphBuilder(exact=True, expand_only=prefixes or None)
    start = time.perf_counter()
    graph = target.build_with(builder)
    return {"seconds": time.perf_counter() - start, "size": graph.size()}


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
        line = timed(Progress(sink, len(target.roots or ()))) if shown == "on" else None
        builder = modweave.GraphBuilder(exact=True, progress=line)
        start = time.perf_counter()
        graph = target.build_with(builder)
        seconds = time.perf_counter() - start
    return {"seconds": seconds, "size": graph.size(), "calls": len(inside),
            "inside": sum(inside)}


def main():
    mode, *arguments = sys.argv[1:]
    modes = {"builder": builder, "modulefinder": modulefinder, "tree": tree, "cli": cli,
             "package": package, "grimp": grimp, "scope": scope, "progress": progress}
    result = modes[mode](*arguments)
    for key, value in result.items():
        if isinstance(value, set):
            result[key] = sorted(value)
    print(json.dumps(result))


if __name__ == "__main__":
    main()
