"""Argument handling, the subcommands, and the one place where failures become messages.

Exit status: 0 done; 1 a negative answer (`why`: the module is not reached); 2 an error, told in
one line on standard error (with the traceback only under --debug); 130 interrupted.
"""

from __future__ import annotations

import argparse
import logging
import os
import sys
import time
from collections.abc import Callable, Sequence


import modweave
from modweave_cli import render
from modweave_cli.target import Target, UserError, from_file, from_module, read_source
from modweave_cli.view import GraphView

# Not `typing.TYPE_CHECKING`: importing `typing` would add to every command's start-up.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import TextIO

PROG = "modweave"
LOGGERS = ("modweave.core.builder", "modweave.core.types", "modweave.importlib.util")
IMAGE_FORMATS = {".svg": "svg", ".png": "png"}
RELATIVE_IMPORT_PANIC = "Attempted relative import from terminal node"
NOT_REACHED = 1
FAILED = 2


class Progress(logging.Handler):
    """Counts the nodes the builder adds and redraws one line on a terminal, a few times a second."""

    def __init__(self, stream: TextIO) -> None:
        super().__init__(logging.DEBUG)
        self.stream = stream
        self.reached = 0
        self.shown_at = 0.0

    def emit(self, record: logging.LogRecord) -> None:
        if record.getMessage().startswith("Adding node to graph: "):
            self.reached += 1
            now = time.monotonic()
            if now - self.shown_at >= 0.1:
                self.shown_at = now
                self.stream.write(f"\r{PROG}: {self.reached} modules reached")
                self.stream.flush()

    def finish(self) -> None:
        if self.shown_at:
            self.stream.write("\r\033[K")
            self.stream.flush()


def configure_logging(options: argparse.Namespace) -> Progress | None:
    """Sets the module's loggers before the first build: the module fixes each logger's level the
    first time it logs, for the life of the process."""
    shown = logging.ERROR if options.quiet else {0: logging.WARNING, 1: logging.INFO}.get(
        options.verbose, logging.DEBUG)
    display = logging.StreamHandler(sys.stderr)
    display.setLevel(shown)
    display.setFormatter(logging.Formatter("%(levelname)s %(name)s: %(message)s"))
    progress = None
    if not options.quiet and sys.stderr.isatty():
        progress = Progress(sys.stderr)
    for name in LOGGERS:
        logger = logging.getLogger(name)
        logger.propagate = False
        logger.addHandler(display)
        logger.setLevel(shown)
    if progress is not None:
        types_logger = logging.getLogger("modweave.core.types")
        types_logger.setLevel(logging.DEBUG)
        types_logger.addHandler(progress)
    return progress


def load_target(options: argparse.Namespace) -> Target:
    if options.module:
        return from_module(options.module, options.package)
    if options.target is None:
        raise UserError("give a source file, or -m MODULE")
    return from_file(options.target, options.package)


def build(options: argparse.Namespace, target: Target) -> GraphView:
    progress = configure_logging(options)
    try:
        graph = modweave.GraphBuilder().build(target.source, target.package)
    except modweave.PanicException as error:
        if str(error).startswith(RELATIVE_IMPORT_PANIC):
            raise UserError(f"{target.label}: has a relative import but no package is known; "
                            "pass --package NAME") from error
        raise
    finally:
        if progress is not None:
            progress.finish()
    return GraphView.of(graph)


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


def image_format(path: str | None) -> str | None:
    return None if path is None else IMAGE_FORMATS.get(os.path.splitext(path)[1].lower())


def render_image(path: str, image: str, dot_text: str) -> None:
    # Imported here: only pictures need them, and every command pays for its imports.
    import shutil
    import subprocess

    dot = shutil.which("dot")
    if dot is None:
        raise UserError(f"{path}: writing a {image.upper()} picture needs Graphviz's `dot` command; "
                        "install the graphviz package (apt-get install graphviz), "
                        "or write DOT with -o FILE.dot")
    result = subprocess.run([dot, f"-T{image}", "-o", path],
                            input=dot_text, text=True, capture_output=True)
    if result.returncode != 0:
        reason = result.stderr.strip().splitlines()[-1:] or [f"exit status {result.returncode}"]
        raise UserError(f"{path}: dot failed: {reason[0]}")


def command_graph(options: argparse.Namespace) -> int:
    image = image_format(options.output)
    if image and options.format not in (None, "dot"):
        raise UserError(f"{options.output}: a picture is drawn from DOT, not {options.format}")
    output_format = "dot" if image else options.format or "text"
    target = load_target(options)
    view = build(options, target).within(options.max_depth)
    if output_format == "json":
        text = render.graph_json(view, target.label, target.package)
    elif output_format == "dot":
        text = render.graph_dot(view, target.label, target.folder)
    else:
        text = render.graph_text(view, target.label)
    if image:
        render_image(options.output, image, text)
    else:
        write_output(options, text)
    return 0


def command_imports(options: argparse.Namespace) -> int:
    records = modweave.parser.parse(read_source(options.file))
    if options.format == "json":
        write_output(options, render.as_json(records))
    else:
        write_output(options, render.imports_text(records))
    return 0


def command_why(options: argparse.Namespace) -> int:
    target = load_target(options)
    chain = build(options, target).chain_to(options.name)
    if options.format == "json":
        write_output(options, render.as_json({"module": options.name, "chain": chain}))
    elif chain is not None:
        write_output(options, render.chain_text(chain, target.label))
    else:
        write_output(options, f"{options.name} is not reached from {target.label}\n")
    return 0 if chain is not None else NOT_REACHED


def command_cycles(options: argparse.Namespace) -> int:
    cycles = build(options, load_target(options)).cycles()
    if options.format == "json":
        write_output(options, render.as_json({"cycles": cycles}))
    else:
        write_output(options, render.cycles_text(cycles))
    return 0


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

    def with_target(command: argparse.ArgumentParser, *, optional: bool = False) -> None:
        command.add_argument("target", nargs="?" if optional else None, metavar="TARGET",
                             help="the root source file")
        command.add_argument("-m", dest="module", metavar="MODULE",
                             help="analyse this module instead, found as the interpreter finds it")
        command.add_argument("--package", metavar="NAME",
                             help="the root's package, for its relative imports "
                                  "(default: from the file's folders with __init__.py)")

    parser = argparse.ArgumentParser(
        prog=PROG, description="See, query and export the import graph of Python code.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    graph = commands.add_parser("graph", parents=[common], help="the whole graph, by depth",
                                description="The modules a program imports, directly or not.")
    with_target(graph, optional=True)
    graph.add_argument("--format", choices=("text", "json", "dot"),
                       help="text (default), json, or dot; -o FILE.svg or .png draws a picture")
    graph.add_argument("--max-depth", type=non_negative, metavar="N",
                       help="only modules at most N import steps from the root")
    graph.set_defaults(run=command_graph)

    imports = commands.add_parser("imports", parents=[common], help="the import statements of a file",
                                  description="The import statements found in one source file.")
    imports.add_argument("file", metavar="FILE")
    imports.add_argument("--format", choices=("text", "json"), default="text")
    imports.set_defaults(run=command_imports)

    why = commands.add_parser("why", parents=[common], help="the shortest chain that imports MODULE",
                              description="Why a program imports MODULE: a shortest import chain.")
    with_target(why, optional=True)
    why.add_argument("name", metavar="MODULE")
    why.add_argument("--format", choices=("text", "json"), default="text")
    why.set_defaults(run=command_why)

    cycles = commands.add_parser("cycles", parents=[common], help="the import cycles",
                                 description="Groups of modules that import each other, largest first.")
    with_target(cycles, optional=True)
    cycles.add_argument("--format", choices=("text", "json"), default="text")
    cycles.set_defaults(run=command_cycles)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = make_parser()
    options = parser.parse_args(argv)
    run: Callable[[argparse.Namespace], int] = options.run
    try:
        if getattr(options, "module", None) and getattr(options, "target", None) is not None:
            raise UserError("give either TARGET or -m MODULE, not both")
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
