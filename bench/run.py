"""modweave benchmarks. Every figure is measured in this run, against a baseline measured here too.

    python bench/run.py [--quick]

Sections: the import parser against the standard `ast` extraction over the running interpreter's
standard library, and the parser's growth with input size. A summary of every ratio closes the run.
"""

import argparse
import ast
import gc
import pathlib
import sys
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

    largest = max(sources, key=len)
    print(f"parser growth: the largest file ({len(largest) / 1e3:.0f} kB) repeated")
    times = {}
    for factor in (1, 10, 100):
        text = largest * factor
        seconds, _ = best_of(3, modweave.parser.parse, text)
        times[factor] = seconds
        print(f"  {factor:4d}x  {len(text) / 1e6:8.2f} MB  {seconds * 1e3:9.2f} ms  "
              f"{len(text) / 1e6 / seconds:9.1f} MB/s")
    growth = times[100] / times[10]
    print(f"  time 100x / 10x       {growth:8.1f} (linear: 10)")
    SUMMARY.append(("parser time 100x / 10x input", growth, "~10 (linear)"))


def main():
    options = argparse.ArgumentParser(description=__doc__)
    options.add_argument("--quick", action="store_true", help="a small corpus, for a smoke run")
    arguments = options.parse_args()
    print(f"Python {sys.version.split()[0]}, modweave from {modweave.__file__}")
    bench_parser(arguments.quick)
    print("\nsummary")
    for name, value, target in SUMMARY:
        print(f"  {name:34s} {value:10.1f}   target {target}")


if __name__ == "__main__":
    main()
