"""No growth over many calls: Python allocations (tracemalloc), resident size and references.

Every loop runs the error paths too, since a reference dropped on the way out of a failed call
leaks as surely as one on success. Growth is measured after a warm-up, so caches that fill once
(logger lookups, interned names, the allocator's arenas) do not count.
"""

import contextlib
import gc
import io
import logging
import os
import sys
import tracemalloc

import pytest

import modweave

# The sanitizer suite runs several times slower and its allocator keeps freed memory in
# quarantine, so resident size says nothing there; tracemalloc and reference counts still do.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
PARSE_ROUNDS = 2_000 if SANITIZED else 12_000
BUILD_ROUNDS = 30 if SANITIZED else 200
TRACED_BOUND = 256 * 1024
RSS_BOUND = 4 * 1024 * 1024


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@contextlib.contextmanager
def quiet_fd1():
    """DepNode.dependencies writes its count to file descriptor 1; send that nowhere."""
    sys.stdout.flush()
    saved = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(null)


def growth(one_round, rounds):
    """(traced bytes, resident bytes) gained over `rounds` calls after a warm-up of a tenth."""
    for _ in range(max(rounds // 10, 5)):
        one_round()
    gc.collect()
    tracemalloc.start()
    try:
        traced_before = tracemalloc.get_traced_memory()[0]
        rss_before = rss_bytes()
        for _ in range(rounds):
            one_round()
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - traced_before, rss_bytes() - rss_before
    finally:
        tracemalloc.stop()


def check_growth(traced, rss):
    assert traced < TRACED_BOUND, f"Python allocations grew by {traced} bytes"
    if not SANITIZED:
        assert rss < RSS_BOUND, f"resident size grew by {rss} bytes"


class Text(str):
    pass


def fresh(text):
    """A new string object: literals may be immortal, and a reference check on them proves
    nothing."""
    made = "".join(list(text))
    assert sys.getrefcount(made) < 10
    return made


class Discard(io.TextIOBase):
    def write(self, text):
        return len(text)


def test_parse_keeps_no_memory_or_references():
    source = fresh(
        "import os.path as p, sys\nfrom ..pkg import (a as b,\n  c)\n'''doc'''\n# é\n" * 8)
    subclassed = Text("from . import x\r\nimport y\r")
    surrogate = fresh("import a\n\udc80")
    before = sys.getrefcount(source), sys.getrefcount(subclassed), sys.getrefcount(surrogate)
    parse = modweave.parser.parse

    def one_round():
        assert len(parse(source)) == 16
        assert parse(source=subclassed)[1]["names"] == [{"name": "y"}]
        for bad in ((), (b"import a",), (None,), (source, source)):
            with pytest.raises(TypeError):
                parse(*bad)
        with pytest.raises(UnicodeEncodeError):
            parse(surrogate)

    check_growth(*growth(one_round, PARSE_ROUNDS))
    assert (sys.getrefcount(source), sys.getrefcount(subclassed),
            sys.getrefcount(surrogate)) == before


def test_builds_and_their_failures_keep_no_memory_or_references(tree):
    tree.write("pkg", "from . import core\nimport {p}leaf\n", package=True)
    tree.write("pkg.core", "import {p}leaf\nimport sys\n")
    tree.write("leaf", "x = 1\n")
    source = fresh(f"import {tree.name('pkg')}\nimport {tree.name('leaf')}\nimport missing_zz\n")
    package = fresh(tree.name("pkg"))
    relative = fresh("from . import x\n")
    before = sys.getrefcount(source), sys.getrefcount(package), sys.getrefcount(relative)
    logger = logging.getLogger("modweave.core.builder")

    class Nested(logging.Handler):
        """Tries a nested build on the first record it sees and raises on the first three."""

        def __init__(self, builder):
            super().__init__(level=0)
            self.builder = builder
            self.refused = 0
            self.seen = 0

        def emit(self, record):
            self.seen += 1
            if not self.refused:
                with pytest.raises(RuntimeError, match="Already borrowed"):
                    self.builder.build("x = 1")
                self.refused += 1
            if self.seen <= 3:
                raise ValueError("handler broke")

    def one_round():
        graph = modweave.GraphBuilder().build(source)
        assert graph.size() == 5 and graph.num_dependencies() == 6
        for name in graph.names():
            node = graph.get(name)
            node.dependencies, node.dependents, node.spec, node.depth, node.name
        graph.keys(), graph.origins()

        builder = modweave.GraphBuilder(verbose=False)
        with pytest.raises(BaseException) as caught:
            builder.build(relative)
        assert type(caught.value).__name__ == "PanicException"
        assert builder.build(relative, package=package).size() >= 2
        with pytest.raises(TypeError):
            builder.build(1)
        with pytest.raises(TypeError):
            builder.build("x", package=1)
        with pytest.raises(TypeError):
            modweave.GraphBuilder("yes")

        handler = Nested(builder)
        logger.addHandler(handler)
        try:
            assert builder.build(source).size() == 5
        finally:
            logger.removeHandler(handler)
        assert handler.refused == 1 and handler.seen > 3

    # pytest's own handler keeps every record of the test; the builder's records stop at its
    # loggers meanwhile. The raising handler's tracebacks are printed to sys.stderr: dropped.
    loggers = [logging.getLogger(name) for name in
               ("modweave.core.builder", "modweave.core.types", "modweave.importlib.util")]
    for each in loggers:
        each.propagate = False
    try:
        with quiet_fd1(), contextlib.redirect_stderr(Discard()):
            check_growth(*growth(one_round, BUILD_ROUNDS))
    finally:
        for each in loggers:
            each.propagate = True
    assert (sys.getrefcount(source), sys.getrefcount(package),
            sys.getrefcount(relative)) == before
