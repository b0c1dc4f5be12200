"""modweave benchmarks. Every figure is measured in this run, against a baseline measured here too.

    python bench/run.py [--quick] [--native FOLDER]

Sections: the native benchmarks built in FOLDER (graph operations, the parser's and the scanner's
throughput, growth and memory), when given; the import parser and the exact scanner against the
standard `ast` extraction over the running interpreter's standard library, and their growth with
input size; a build of widely used standard-library packages against `modulefinder`, and the
cached second build; `modweave graph` against the build alone; `modweave graph` of installed
Django against grimp, with and without --only, and the cost of its progress line; a build of
generated trees of 1,000 and 10,000 modules. A summary of every ratio closes the run.
"""

import argparse
import ast
import gc
import importlib.util
import json
import os
import pathlib
import random
import re
import subprocess
import sys
import tempfile
import sysconfig
import time
import warnings

import modweave

SUMMARY = []


def best_of(repeat, function, *args):
    """The fastest of `repeat` timed calls, in seconds, and the last result."""
    best = float("inf")
    result = None
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        result = function(*args)
        best = min(best, time.perf_counter() - start)
    return best, result


def stdlib_sources():
    root = pathlib.Path(sysconfig.get_paths()["stdlib"])
    sources = []
    for path in sorted(root.rglob("*.py")):
        if "site-packages" in path.parts:
            continue
        try:
            sources.append(path.read_bytes().decode("utf-8"))
        except (UnicodeDecodeError, OSError):
            continue
    return root, sources


def parse_all(sources):
    parse = modweave.parser.parse
    return sum(len(parse(source)) for source in sources)


def ast_imports(source):
    """The import statements of one source, the standard way: parse the tree, walk it."""
    try:
        tree = ast.parse(source)
    except (SyntaxError, ValueError):
        return []
    return [node for node in ast.walk(tree) if isinstance(node, (ast.Import, ast.ImportFrom))]


def ast_all(sources):
    warnings.simplefilter("ignore")  # invalid escapes in old files are not our concern
    return sum(len(ast_imports(source)) for source in sources)


def megabytes(sources):
    return sum(len(source.encode("utf-8")) for source in sources) / 1e6


def bench_parser(quick):
    root, sources = stdlib_sources()
    if quick:
        sources = sources[:200]
    size = megabytes(sources)
    print(f"parser: {len(sources)} files, {size:.1f} MB of {root}")
    parse_seconds, parse_count = best_of(3, parse_all, sources)
    ast_seconds, ast_count = best_of(1, ast_all, sources)
    parse_rate, ast_rate = size / parse_seconds, size / ast_seconds
    ratio = parse_rate / ast_rate
    print(f"  modweave.parser.parse  {parse_seconds:8.3f} s  {parse_rate:9.1f} MB/s  {parse_count} statements")
    print(f"  ast.parse + walk       {ast_seconds:8.3f} s  {ast_rate:9.1f} MB/s  {ast_count} statements")
    print(f"  ratio                  {ratio:8.1f}x (target: at least 100x)")
    SUMMARY.append(("parser / ast throughput", ratio, ">= 100"))

    bench_growth("parser", modweave.parser.parse, max(sources, key=len), 3)
    return sources, size, ast_seconds, ast_count


def bench_growth(label, read, largest, repeat):
    """The time `read` takes for one file repeated 1, 10 and 100 times: linear growth is 10x."""
    print(f"{label} growth: the largest file ({len(largest) / 1e3:.0f} kB) repeated")
    times = {}
    for factor in (1, 10, 100):
        text = largest * factor
        seconds, _ = best_of(repeat, read, text)
        times[factor] = seconds
        print(f"  {factor:4d}x  {len(text) / 1e6:8.2f} MB  {seconds * 1e3:9.2f} ms  "
              f"{len(text) / 1e6 / seconds:9.1f} MB/s")
    growth = times[100] / times[10]
    print(f"  time 100x / 10x       {growth:8.1f} (linear: 10)")
    SUMMARY.append((f"{label} time 100x / 10x input", growth, "~10 (linear)"))


def scan_all(sources):
    scan = modweave.parser.scan
    return sum(len(scan(source)) for source in sources)


def bench_scan(sources, size, ast_seconds, ast_count):
    """The exact scanner over the parse benchmark's corpus, against the same ast measurement."""
    print(f"scanner: the same {len(sources)} files, {size:.1f} MB")
    scan_seconds, scan_count = best_of(5, scan_all, sources)
    ratio = ast_seconds / scan_seconds
    print(f"  modweave.parser.scan   {scan_seconds:8.3f} s  {size / scan_seconds:9.1f} MB/s  "
          f"{scan_count} statements (ast: {ast_count})")
    print(f"  ratio                  {ratio:8.1f}x (target: at least 150x)")
    SUMMARY.append(("scan / ast throughput", ratio, ">= 150"))

    bench_growth("scan", modweave.parser.scan, max(sources, key=len), 5)


HERE = pathlib.Path(__file__).resolve().parent
STDLIB_ROOT = """\
import json
import email.parser
import http.server
import asyncio
import unittest
import logging.handlers
import argparse
import xml.etree.ElementTree
import sqlite3
import urllib.request
import csv
import decimal
import pathlib
import subprocess
import concurrent.futures
"""


def job(*arguments):
    """Runs one measurement in a fresh interpreter and returns its JSON result."""
    output = subprocess.run([sys.executable, str(HERE / "build_job.py"), *map(str, arguments)],
                            check=True, capture_output=True, text=True).stdout
    return json.loads(output.splitlines()[-1])


def bench_build(repeat):
    with tempfile.TemporaryDirectory() as folder:
        root_file = pathlib.Path(folder) / "root.py"
        root_file.write_text(STDLIB_ROOT)
        builds = {mode: [job("builder", root_file, mode) for _ in range(repeat)]
                  for mode in ("plain", "exact")}
        finders = [job("modulefinder", root_file) for _ in range(repeat)]
    finder = min(f["seconds"] for f in finders)
    theirs = set(finders[0]["modules"])
    print(f"build of 15 standard-library packages (best of {repeat}, each in a fresh interpreter)")
    print(f"  modulefinder.run_script {finder:8.3f} s  {len(theirs)} modules")
    targets = {"plain": (10, 20), "exact": (100, 50)}
    for mode, runs in builds.items():
        first = min(b["first"] for b in runs)
        second = min(b["second"] for b in runs)
        ours = set(runs[0]["modules"]) - {"<terminal>"}
        print(f"  {mode} first build      {first:8.4f} s  {len(ours)} modules")
        print(f"  {mode} second (cached)  {second:8.5f} s  {runs[0]['second_size'] - 1} modules")
        print(f"    modules in both {len(ours & theirs)}, only ours {len(ours - theirs)}, "
              f"only modulefinder's {len(theirs - ours)}")
        if mode == "exact":
            print(f"    only ours: {' '.join(sorted(ours - theirs))}")
            print(f"    only modulefinder's: {' '.join(sorted(theirs - ours))}")
        speed, cached = targets[mode]
        print(f"    modulefinder / first  {finder / first:8.1f}x (target: at least {speed}x)")
        print(f"    first / second        {first / second:8.1f}x (target: at least {cached}x)")
        SUMMARY.append((f"{mode} build / modulefinder speed-up", finder / first, f">= {speed}"))
        SUMMARY.append((f"{mode} cached / first build speed-up", first / second, f">= {cached}"))


def bench_package(name, repeat):
    """An exact build with every module of an installed package as a root, against grimp's
    build of the same package, cold and with its warm on-disk cache; fresh interpreters."""
    try:
        job("grimp", name)
    except subprocess.CalledProcessError:
        print(f"whole-package build of {name}: skipped (needs {name} and grimp installed)")
        return
    with tempfile.TemporaryDirectory() as cache:
        job("grimp", name, cache)  # fills grimp's on-disk cache
        warm = min(job("grimp", name, cache)["seconds"] for _ in range(repeat))
    cold_runs = [job("grimp", name) for _ in range(repeat)]
    cold = min(r["seconds"] for r in cold_runs)
    print(f"whole-package build of {name} (best of {repeat}, fresh interpreters)")
    print(f"  grimp, no cache         {cold:8.4f} s  {cold_runs[0]['size']} modules")
    print(f"  grimp, warm disk cache  {warm:8.4f} s")
    for mode, label in (("scoped", f"exact, {name} read only"), ("", "exact, everything read")):
        runs = [job("package", name, mode) for _ in range(repeat)]
        seconds = min(r["seconds"] for r in runs)
        print(f"  {label:23s} {seconds:8.4f} s  {runs[0]['roots']} roots, {runs[0]['size']} "
              f"modules, {runs[0]['edges']} imports")
        print(f"    grimp / modweave      {cold / seconds:8.1f}x (target: at least 10x), "
              f"warm grimp / modweave {warm / seconds:.1f}x (target: above 1x)")
        SUMMARY.append((f"{name} {mode or 'full'}: grimp / exact", cold / seconds, ">= 10"))
        SUMMARY.append((f"{name} {mode or 'full'}: warm grimp / exact", warm / seconds, "> 1"))


def bench_cli(repeat):
    """The command line's share: `modweave graph --format json` (its imports, the build, the JSON)
    against the build alone, each in a fresh interpreter."""
    with tempfile.TemporaryDirectory() as folder:
        root_file = pathlib.Path(folder) / "root.py"
        root_file.write_text(STDLIB_ROOT)
        builds = [job("builder", root_file)["first"] for _ in range(repeat)]
        # The same plain build as the `builder` job, so that the difference is the command's own.
        commands = [job("cli", root_file, "--compatible") for _ in range(repeat)]
    assert all(c["status"] == 0 for c in commands), commands
    build, command = min(builds), min(c["seconds"] for c in commands)
    print(f"modweave graph --format json on the standard-library root (best of {repeat})")
    print(f"  build alone             {build:8.3f} s")
    print(f"  modweave graph          {command:8.3f} s")
    print(f"  command / build         {command / build:8.2f}x (target: at most 1.2x)")
    SUMMARY.append(("modweave graph / build alone", command / build, "<= 1.2"))


def installed_folder(package):
    spec = importlib.util.find_spec(package)
    if spec is None or not spec.submodule_search_locations:
        raise SystemExit(f"{package} is not installed; `make bench` installs it")
    return list(spec.submodule_search_locations)[0]


def wall_seconds(*command):
    """Wall time of one command, interpreter start included; it must succeed."""
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def bench_cli_projects(repeat):
    """The command on installed projects: the whole-package graph of Django against grimp's, the
    --only scope against the whole graph of a script that imports flask, and the progress line's
    share of a build."""
    command = pathlib.Path(sys.executable).with_name("modweave")
    django = installed_folder("django")
    with tempfile.TemporaryDirectory() as folder:
        output = pathlib.Path(folder) / "django.json"
        ours = min(wall_seconds(command, "graph", django, "--format", "json", "-o", output)
                   for _ in range(repeat))
        modules = sum(node["kind"] == "project" for node in json.loads(output.read_text())["nodes"])
    grimps = [job("grimp", "django") for _ in range(repeat)]
    theirs = min(g["seconds"] for g in grimps)
    print(f"whole-package graph of Django (best of {repeat}, each in a fresh interpreter)")
    print(f"  grimp.build_graph       {theirs:8.3f} s  {grimps[0]['size']} modules "
          "(the build alone)")
    print(f"  modweave graph FOLDER   {ours:8.3f} s  {modules} modules (interpreter start, build "
          "and JSON file)")
    print(f"  grimp / modweave graph  {theirs / ours:8.2f}x (target: above 1)")
    SUMMARY.append(("grimp / modweave graph on Django", theirs / ours, "> 1"))

    with tempfile.TemporaryDirectory() as folder:
        script = pathlib.Path(folder) / "uses_flask.py"
        script.write_text("import flask\n")
        whole = [job("scope", script) for _ in range(repeat)]
        scoped = [job("scope", script, "flask") for _ in range(repeat)]
    whole_seconds = min(c["seconds"] for c in whole)
    scoped_seconds = min(c["seconds"] for c in scoped)
    print(f"the build of modweave graph for a script that imports flask (best of {repeat})")
    print(f"  whole graph             {whole_seconds:8.4f} s  {whole[0]['size']} modules")
    print(f"  --only flask            {scoped_seconds:8.4f} s  {scoped[0]['size']} modules")
    print(f"  whole / --only          {whole_seconds / scoped_seconds:8.2f}x (target: at least 3x)")
    SUMMARY.append(("modweave graph whole / --only flask", whole_seconds / scoped_seconds, ">= 3"))

    # Alternated, so that a change in the machine's load weighs on both sides alike.
    runs = {"off": [], "on": []}
    for _ in range(2 * repeat):
        for shown, results in runs.items():
            results.append(job("progress", django, shown))
    off = min(r["seconds"] for r in runs["off"])
    on = min(runs["on"], key=lambda r: r["seconds"])
    share = 100 * max(r["inside"] / r["seconds"] for r in runs["on"])
    print(f"the progress line on the Django build (best of {2 * repeat})")
    print(f"  without                 {off:8.3f} s")
    print(f"  with                    {on['seconds']:8.3f} s  {on['calls']} redraws")
    print(f"  difference              {100 * (on['seconds'] / off - 1):8.1f} % (noise included)")
    print(f"  time in the line        {share:8.3f} % of the build at most (target: at most 10 %)")
    SUMMARY.append(("progress line's share of a build (%)", share, "<= 10"))


def write_tree(folder, modules, imports_per_module, seed=7):
    """A package-free tree of `modules` modules: m0 imports one module of each later layer and
    random others, so every module is reached from m0."""
    rng = random.Random(seed)
    folder = pathlib.Path(folder)
    prefix = f"t{modules}_"
    for index in range(modules):
        targets = set()
        if index + 1 < modules:
            targets.add(index + 1)
        while len(targets) < min(imports_per_module, modules - 1):
            targets.add(rng.randrange(modules))
        targets.discard(index)
        body = "".join(f"import {prefix}{target}\n" for target in sorted(targets))
        (folder / f"{prefix}{index}.py").write_text(body)
    return f"{prefix}0"


def bench_scale(sizes, repeat):
    for mode in ("plain", "exact"):
        print(f"{mode} build of generated trees (5 imports per module, best of {repeat}, "
              f"each in a fresh interpreter)")
        results = {}
        for modules in sizes:
            with tempfile.TemporaryDirectory() as folder:
                root = write_tree(folder, modules, 5)
                # The files just written are still being written back; that is the file
                # system's time, not the build's.
                os.sync()
                runs = [job("tree", folder, root, mode) for _ in range(repeat)]
            result = min(runs, key=lambda run: run["seconds"])
            result["peak_mib"] = max(run["peak_mib"] for run in runs)
            result["growth_mib"] = max(run["growth_mib"] for run in runs)
            results[modules] = result
            print(f"  {modules:6d} modules  {result['edges']:7d} imports  {result['seconds']:8.3f} s  "
                  f"peak {result['peak_mib']:7.1f} MiB (+{result['growth_mib']:.1f} MiB in the build)")
        small, large = sizes
        growth = results[large]["seconds"] / results[small]["seconds"]
        print(f"  time {large} / {small}        {growth:8.1f} (linear: {large // small})")
        SUMMARY.append((f"{mode} build time {large} / {small} modules", growth,
                        f"~{large // small} (linear), <= 11"))


NATIVE_GRAPH_ROW = re.compile(
    r"^(\w+)\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)\s+\|\s+([\d.]+)\s+([\d.]+)\s+\|"
    r"\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)$")


def native(folder, *arguments):
    """Runs one native benchmark of the bench build folder, shows its report and returns it."""
    output = subprocess.run([str(pathlib.Path(folder) / arguments[0]), *arguments[1:]],
                            capture_output=True, text=True, check=True).stdout
    print(output, end="" if output.endswith("\n") else "\n")
    return output


def found(pattern, text):
    match = re.search(pattern, text, re.MULTILINE)
    if match is None:
        raise SystemExit(f"native benchmark output lacks {pattern!r}")
    return float(match.group(1))


def bench_native(folder):
    """The native benchmarks (built in Release by `make bench`); their key figures join the
    summary, read from their own reports."""
    print("native graph operations")
    report = native(folder, "graph_bench")
    for line in report.splitlines():
        row = NATIVE_GRAPH_ROW.match(line)
        if row:
            # The bare hash map's own growth shows how much of any growth is the caches.
            SUMMARY.append((f"native {row.group(1)} time 100k / 10k", float(row.group(6)),
                            "for reference" if row.group(1) == "baseline" else "~10, as baseline"))
        if row and row.group(1) == "build":
            SUMMARY.append(("native build / bare hash map at 100k", float(row.group(9)),
                            "small constant"))
    print("native import readers (parse, scan) over the standard library")
    report = native(folder, "parser_bench", sysconfig.get_paths()["stdlib"])
    for reader in ("parse", "scan"):
        SUMMARY.append((f"native {reader} throughput (MB/s)",
                        found(rf"^{reader}: [\d.]+ s, ([\d.]+) MB/s", report), "for reference"))
        SUMMARY.append((f"native {reader} rate 100x / 1x file",
                        found(rf"^{reader} linearity: +100x .*\(([\d.]+) of 1x\)", report),
                        "~1 (linear)"))
        SUMMARY.append((f"native {reader} peak growth, 100x (MB)",
                        found(rf"^{reader} memory: peak grew by ([\d.]+) MB", report),
                        "small, flat"))


def main():
    options = argparse.ArgumentParser(description=__doc__)
    options.add_argument("--quick", action="store_true", help="a small corpus, for a smoke run")
    options.add_argument("--native", metavar="FOLDER",
                         help="also run the native benchmarks built in FOLDER")
    arguments = options.parse_args()
    print(f"Python {sys.version.split()[0]}, modweave from {modweave.__file__}")
    if arguments.native:
        bench_native(arguments.native)
    bench_scan(*bench_parser(arguments.quick))
    bench_build(1 if arguments.quick else 5)
    bench_package("django", 1 if arguments.quick else 5)
    bench_cli(1 if arguments.quick else 3)
    bench_cli_projects(1 if arguments.quick else 3)
    bench_scale((100, 1_000) if arguments.quick else (1_000, 10_000), 1 if arguments.quick else 3)
    print("\nsummary")
    for name, value, target in SUMMARY:
        print(f"  {name:38s} {value:10.1f}   target {target}")


if __name__ == "__main__":
    main()
