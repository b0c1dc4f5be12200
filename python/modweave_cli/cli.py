"""Argument handling, the subcommands, and the one place where failures become messages.

Exit status: 0 done; 1 a negative answer (`why`: the module is not reached; `cycles`: a cycle was
found; `deps --fail-missing`: something imported is not installed); 2 an error, told in one line on
standard error (with the traceback only under --debug); 130 interrupted.
"""

from __future__ import annotations

import argparse
import logging
import os
import sys
from collections.abc import Callable, Sequence

import modweave
from modweave_cli import render
from modweave_cli.target import Target, UserError, load, read_source
from modweave_cli.view import ROOT, GraphView, covered, is_stdlib, kind_of

# Not `typing.TYPE_CHECKING`: importing `typing` would add to every command's start-up.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import TextIO

PROG = "modweave"
LOGGERS = ("modweave.core.builder", "modweave.core.types", "modweave.importlib.util")
RELATIVE_IMPORT_PANIC = "Attempted relative import from terminal node"
NEGATIVE = 1
FAILED = 2

# How `graph` writes each format. A new format is one entry here and its file name extension in
# FORMATS_BY_EXTENSION.
GRAPH_WRITERS: dict[str, Callable[[GraphView, Target], str]] = {
    "text": lambda view, target: render.graph_text(view),
    "json": lambda view, target: render.graph_json(view, target.given, target.package),
    "dot": lambda view, target: render.graph_dot(view),
}
PICTURES = ("svg", "png")  # DOT drawn by Graphviz
# The format an output file's name asks for; --format overrides it.
FORMATS_BY_EXTENSION = {".txt": "text", ".json": "json", ".dot": "dot", ".svg": "svg",
                        ".png": "png"}
# Beyond this, Graphviz can take many minutes and the picture is unreadable anyway.
LARGEST_PICTURE = 500


class Progress:
    """Redraws one line on a terminal with the modules reached, as often as the builder calls."""

    def __init__(self, stream: TextIO, total: int | None) -> None:
        self.stream = stream
        self.total = "" if total is None else f" (the target has {total})"
        self.shown = False

    def __call__(self, reached: int) -> None:
        self.stream.write(f"\r{PROG}: {reached} modules reached{self.total}")
        self.stream.flush()
        self.shown = True

    def finish(self) -> None:
        if self.shown:
            self.stream.write("\r\033[K")
            self.stream.flush()


def configure_logging(options: argparse.Namespace) -> None:
    """Sets the module's loggers before the first build: the module fixes each logger's level the
    first time it logs, for the life of the process."""
    shown = logging.ERROR if options.quiet else {0: logging.WARNING, 1: logging.INFO}.get(
        options.verbose, logging.DEBUG)
    display = logging.StreamHandler(sys.stderr)
    display.setLevel(shown)
    display.setFormatter(logging.Formatter("%(levelname)s %(name)s: %(message)s"))
    for name in LOGGERS:
        logger = logging.getLogger(name)
        logger.propagate = False
        logger.addHandler(display)
        logger.setLevel(shown)


def no_package(target: Target) -> UserError:
    return UserError(f"{target.label}: has a relative import but no package is known; "
                     "pass --package NAME")


def builder(options: argparse.Namespace, target: Target, default_scope: Sequence[str],
            progress: Progress | None) -> modweave.GraphBuilder:
    """The builder for the command's options: the exact build unless --compatible, reading only
    what the scope will show."""
    only = getattr(options, "only", None) or default_scope
    never_expand = None
    if getattr(options, "no_stdlib", False):
        never_expand = [name for name in sys.stdlib_module_names
                        if not covered(name, target.project)]
    return modweave.GraphBuilder(
        exact=not options.compatible, type_checking=not options.no_type_checking,
        expand_only=only or None, never_expand=never_expand, exclude=options.exclude or None,
        progress=progress)


def build(options: argparse.Namespace, target: Target,
          default_scope: Sequence[str] = ()) -> GraphView:
    """The target's graph, each module with its kind. With `default_scope` (prefixes), modules
    outside it are not read unless --only says otherwise."""
    configure_logging(options)
    progress = None
    if not options.quiet and sys.stderr.isatty():
        progress = Progress(sys.stderr, None if target.roots is None else len(target.roots))
    try:
        graph = target.build_with(builder(options, target, default_scope, progress))
    except modweave.PanicException as error:
        if str(error).startswith(RELATIVE_IMPORT_PANIC):
            raise no_package(target) from error
        raise
    finally:
        if progress is not None:
            progress.finish()
    unresolved = graph.unresolved()
    # The plain build fails on a relative import of a root without a package; the exact build
    # keeps the name as written, still relative.
    if target.package is None and any(entry["importer"] == ROOT and entry["name"].startswith(".")
                                      for entry in unresolved):
        raise no_package(target)
    view = GraphView.of(graph, target.label, same_as_root=target.module, root_origin=target.origin,
                        unresolved=unresolved)
    for name, module in view.modules.items():
        module.kind = "project" if name == view.root else kind_of(name, module.origin,
                                                                  target.project)
    return view


def scoped(view: GraphView, options: argparse.Namespace, default: Sequence[str] = ()) -> GraphView:
    """The part of the graph that --only (else `default`, when given) and --no-stdlib keep."""
    only = options.only or default
    hide_stdlib = getattr(options, "no_stdlib", False)
    if not only and not hide_stdlib:
        return view

    def shown(name: str) -> bool:
        if name == view.root:
            return True
        if only and not covered(name, only):
            return False
        return not (hide_stdlib and is_stdlib(name) and view.modules[name].kind != "project")

    unresolved = [entry for entry in view.unresolved
                  if not (hide_stdlib and is_stdlib(entry["name"]))]
    return view.subset(filter(shown, view.modules), unresolved)


def write_output(options: argparse.Namespace, text: str) -> None:
    if options.output in (None, "-"):
        sys.stdout.write(text)
        return
    path = options.output
    try:
        with open(path, "w", encoding="utf-8") as file:
            file.write(text)
    except OSError as error:
        raise UserError(f"{path}: cannot be written: {error.strerror or error}") from None


def output_format(options: argparse.Namespace) -> str:
    if options.format:
        return str(options.format)
    if options.output in (None, "-"):
        return "text"
    return FORMATS_BY_EXTENSION.get(os.path.splitext(options.output)[1].lower(), "text")


def render_picture(options: argparse.Namespace, picture: str, dot_text: str) -> None:
    # Imported here: only pictures need them, and every command pays for its imports.
    import shutil
    import subprocess

    path = options.output
    to_file = path not in (None, "-")
    named = path if to_file else "the picture"
    dot = shutil.which("dot")
    if dot is None:
        raise UserError(f"{named}: drawing {picture.upper()} needs Graphviz's `dot` "
                        "command; install the graphviz package (apt-get install graphviz), "
                        "or write DOT with -o FILE.dot")
    sys.stdout.flush()
    result = subprocess.run([dot, f"-T{picture}", *(["-o", path] if to_file else [])],
                            input=dot_text.encode(), stdout=subprocess.DEVNULL if to_file else None,
                            stderr=subprocess.PIPE)
    if result.returncode != 0:
        reason = result.stderr.decode(errors="replace").strip().splitlines()[-1:] or [
            f"exit status {result.returncode}"]
        raise UserError(f"{named}: dot failed: {reason[0]}")


def command_graph(options: argparse.Namespace) -> int:
    chosen = output_format(options)
    target = load(options.target, options.module, options.package)
    view = scoped(build(options, target), options).within(options.max_depth)
    if chosen in PICTURES:
        if len(view.modules) > LARGEST_PICTURE and not options.force:
            raise UserError(f"the graph has {len(view.modules)} modules; a picture of more than "
                            f"{LARGEST_PICTURE} can keep Graphviz busy for many minutes and is "
                            "hard to read. Narrow it with --max-depth N or --only PREFIX, "
                            "or pass --force")
        if not options.quiet and sys.stderr.isatty():
            print(f"{PROG}: drawing {len(view.modules)} modules with Graphviz", file=sys.stderr)
        render_picture(options, chosen, render.graph_dot(view))
    else:
        write_output(options, GRAPH_WRITERS[chosen](view, target))
    return 0


def command_imports(options: argparse.Namespace) -> int:
    records = modweave.parser.parse(read_source(options.file))
    if options.format == "json":
        write_output(options, render.as_json(records))
    else:
        write_output(options, render.imports_text(records))
    return 0


def command_why(options: argparse.Namespace) -> int:
    target = load(options.target, options.module, options.package)
    view = scoped(build(options, target), options)
    name = options.name
    chain = view.chain_to(name)
    # An import of `name`, of a package of it, or of a module in it, that found nothing.
    unresolved = [] if chain is not None else [
        entry for entry in view.unresolved
        if covered(entry["name"], [name]) or covered(name, [entry["name"]])]
    if options.format == "json":
        write_output(options, render.as_json({"module": name, "chain": chain,
                                              "unresolved": unresolved}))
    elif chain is not None:
        write_output(options, render.chain_text(chain))
    elif unresolved:
        write_output(options, render.not_found_text(name, unresolved))
    else:
        write_output(options, f"{name} is not reached from {view.root}\n")
    return 0 if chain is not None else NEGATIVE


def command_cycles(options: argparse.Namespace) -> int:
    target = load(options.target, options.module, options.package)
    own = () if options.all else target.project
    cycles = scoped(build(options, target, own), options, own).cycles()
    if options.format == "json":
        write_output(options, render.as_json({"cycles": cycles}))
    else:
        write_output(options, render.cycles_text(cycles))
    return NEGATIVE if cycles else 0


def command_deps(options: argparse.Namespace) -> int:
    from modweave_cli import deps

    target = load(options.target, options.module, options.package)
    view = build(options, target, target.project)
    rows = deps.distributions(view, target.project)
    not_installed = deps.missing(view, target.project)
    if options.format == "json":
        root = {"name": view.root, "target": target.given, "package": target.package}
        write_output(options, render.as_json(deps.deps_document(root, rows, not_installed)))
    else:
        write_output(options, deps.deps_text(view.root, rows, not_installed))
    return NEGATIVE if options.fail_missing and not_installed else 0


def non_negative(text: str) -> int:
    value = int(text)
    if value < 0:
        raise ValueError(text)
    return value


def make_parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("-o", "--output", metavar="FILE", help="write here instead of standard output")
    common.add_argument("-q", "--quiet", action="store_true",
                        help="no progress line and no warnings from the build")
    common.add_argument("-v", "--verbose", action="count", default=0,
                        help="show the builder's log records (-v: summaries, -vv: every step)")
    common.add_argument("--debug", action="store_true", help="show the traceback of a failure")

    target = argparse.ArgumentParser(add_help=False)
    target.add_argument("target", nargs="?", metavar="TARGET",
                        help="a source file, a package folder (every module in it a root) or a "
                             "folder of scripts (every script in it a root)")
    target.add_argument("-m", dest="module", metavar="MODULE",
                        help="analyse this module instead, found as the interpreter finds it")
    target.add_argument("--package", metavar="NAME",
                        help="the root's package, for its relative imports "
                             "(default: from the file's folders with __init__.py)")

    building = argparse.ArgumentParser(add_help=False)
    building.add_argument("--exclude", action="append", default=[], metavar="PREFIX",
                       help="leave the modules PREFIX and PREFIX.* out altogether (repeatable)")
    building.add_argument("--no-type-checking", action="store_true",
                       help="skip imports under `if TYPE_CHECKING:`")
    building.add_argument("--compatible", action="store_true",
                       help="the plain build: resolves names by importing their parent packages "
                            "(which runs them), depths in order of discovery")

    scope = argparse.ArgumentParser(add_help=False, parents=[building])
    scope.add_argument("--only", action="append", default=[], metavar="PREFIX",
                       help="read and show only the modules PREFIX and PREFIX.* (repeatable); "
                            "the others they import are not read")
    scope.add_argument("--no-stdlib", action="store_true",
                       help="do not read the standard library, and leave it out")

    parser = argparse.ArgumentParser(
        prog=PROG, description="See, query and export the import graph of Python code.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    graph = commands.add_parser("graph", parents=[common, target, scope],
                                help="the whole graph, by depth",
                                description="The modules a program imports, directly or not.")
    graph.add_argument("--format", choices=(*GRAPH_WRITERS, *PICTURES),
                       help="default: from the extension of -o (.txt, .json, .dot, .svg, .png), "
                            "else text; svg and png need Graphviz")
    graph.add_argument("--max-depth", type=non_negative, metavar="N",
                       help="only modules at most N import steps from the root")
    graph.add_argument("--force", action="store_true",
                       help=f"draw a picture of more than {LARGEST_PICTURE} modules")
    graph.set_defaults(run=command_graph)

    imports = commands.add_parser("imports", parents=[common], help="the import statements of a file",
                                  description="The import statements found in one source file.")
    imports.add_argument("file", metavar="FILE")
    imports.add_argument("--format", choices=("text", "json"), default="text")
    imports.set_defaults(run=command_imports)

    why = commands.add_parser("why", parents=[common, target, scope],
                              help="the shortest chain that imports MODULE",
                              description="Why a program imports MODULE: a shortest import chain.")
    why.add_argument("name", metavar="MODULE")
    why.add_argument("--format", choices=("text", "json"), default="text")
    why.set_defaults(run=command_why)

    cycles = commands.add_parser(
        "cycles", parents=[common, target, scope], help="the import cycles",
        description="Groups of the target's own modules that import each other, largest first. "
                    "Exit status 1 when there is one.")
    cycles.add_argument("--all", action="store_true",
                        help="look at every module reached, not only the target's own")
    cycles.add_argument("--format", choices=("text", "json"), default="text")
    cycles.set_defaults(run=command_cycles)

    deps = commands.add_parser(
        "deps", parents=[common, target, building],
        help="the third-party distributions the target imports",
        description="The installed distributions whose modules the target's own modules import, "
                    "with their versions, and what they import that is not installed.")
    deps.add_argument("--fail-missing", action="store_true",
                      help="exit with status 1 when something imported is not installed")
    deps.add_argument("--format", choices=("text", "json"), default="text")
    deps.set_defaults(run=command_deps)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = make_parser()
    options = parser.parse_args(argv)
    run: Callable[[argparse.Namespace], int] = options.run
    try:
        return run(options)
    except UserError as error:
        if options.debug:
            raise
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return FAILED
    except KeyboardInterrupt:
        if options.debug:
            raise
        return 130
    except BrokenPipeError:
        # The reader went away (`| head`); say nothing more to it.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return FAILED
    except BaseException as error:
        if options.debug or isinstance(error, SystemExit):
            raise
        if isinstance(error, modweave.PanicException):
            print(f"{PROG}: error: the build failed: {error}", file=sys.stderr)
        else:
            print(f"{PROG}: error: {type(error).__name__}: {error}", file=sys.stderr)
        return FAILED
