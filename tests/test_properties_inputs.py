"""Inputs a user can get wrong, where the other suites leave a row of docs/bad-inputs.md open."""

import contextlib
import importlib.machinery
import logging
import os
import sys

import pytest

import modweave

ROOT = "<terminal>"


@pytest.fixture
def finder():
    installed = []

    def install(find):
        class Finder:
            def find_spec(self, name, path=None, target=None):
                return find(name)

        sys.meta_path.insert(0, Finder())
        installed.append(sys.meta_path[0])

    yield install
    for item in installed:
        sys.meta_path.remove(item)


def edges(graph):
    return {(importer, name) for name in graph.names() for importer in graph.get(name).dependents}


@pytest.mark.parametrize("source, package", [("import a\n\udc80", None), ("import a", "p\ud800")])
def test_lone_surrogate_in_a_build_argument_raises_unicode_encode_error(source, package):
    with pytest.raises(UnicodeEncodeError):
        modweave.GraphBuilder().build(source, package=package)


def test_raising_finder_and_unknown_names_make_no_node_and_the_build_goes_on(finder, tree):
    tree.write("kept", "")

    def find(name):
        if name == "broken_finder_name":
            raise ValueError("finder broke")

    finder(find)
    graph = modweave.GraphBuilder().build(
        f"import broken_finder_name\nimport unknown_name_zz\nimport {tree.name('kept')}\n")
    assert set(graph.names()) == {ROOT, tree.name("kept")}
    assert edges(graph) == {(ROOT, tree.name("kept"))}


def spec_at(name, origin):
    return importlib.machinery.ModuleSpec(name, None, origin=str(origin))


def test_fifo_origin_is_skipped_with_a_warning(finder, tmp_path, builder_log):
    fifo = tmp_path / "pipe.py"
    os.mkfifo(fifo)
    finder(lambda name: spec_at(name, fifo) if name == "pipe_module" else None)
    graph = modweave.GraphBuilder().build("import pipe_module\n")
    assert set(graph.names()) == {ROOT, "pipe_module"}
    assert any(r.levelno == logging.WARNING and "Unable to load file for spec 'pipe_module'"
               in r.getMessage() for r in builder_log)


@contextlib.contextmanager
def unprivileged():
    """Root reads files whatever their mode: act as nobody for the block, where possible."""
    if os.geteuid() != 0:
        yield
        return
    try:
        os.seteuid(65534)
    except PermissionError:
        pytest.skip("running as root without the right to change user")
    try:
        yield
    finally:
        os.seteuid(0)


def test_file_without_read_permission_is_skipped_with_a_warning(finder, tmp_path, builder_log,
                                                                capfd):
    locked = tmp_path / "locked.py"
    locked.write_text("import os\n")
    locked.chmod(0)
    finder(lambda name: spec_at(name, locked) if name == "locked_module" else None)
    with unprivileged():
        graph = modweave.GraphBuilder().build("import locked_module\n")
    assert set(graph.names()) == {ROOT, "locked_module"}
    assert any("Unable to load file for spec 'locked_module'" in r.getMessage()
               for r in builder_log if r.levelno == logging.WARNING)
    assert "Permission denied (os error 13)" in capfd.readouterr().err


def test_file_whose_read_fails_fails_the_build(finder, tmp_path):
    # Opens as a regular file; reading it at offset 0 fails with an I/O error.
    broken = tmp_path / "mem.py"
    broken.symlink_to("/proc/self/mem")
    finder(lambda name: spec_at(name, broken) if name == "mem_module" else None)
    with pytest.raises(BaseException) as caught:
        modweave.GraphBuilder().build("import mem_module\n")
    assert type(caught.value).__name__ == "PanicException"
    assert "Failed to read file" in str(caught.value)


def test_huge_files_build_completely(tree):
    leaf = tree.name("leaf")
    tree.write("leaf", "x = 1\n")
    body = f"import {leaf}\n'''text\nimport hidden_zz\n'''\n# import hidden_zz\n" * 40_000
    tree.write("big", body)
    graph = modweave.GraphBuilder().build(f"import {tree.name('big')}\n" + "y = 2\n" * 200_000)
    assert edges(graph) == {(ROOT, tree.name("big")), (tree.name("big"), leaf)}


def test_parse_from_a_logging_handler_during_a_build_works(tree):
    tree.write("seen", "")
    parsed = []

    class Parsing(logging.Handler):
        def emit(self, record):
            if not parsed:
                parsed.append(modweave.parser.parse("import inner"))

    logger = logging.getLogger("modweave.core.builder")
    handler = Parsing()
    logger.addHandler(handler)
    try:
        graph = modweave.GraphBuilder().build(f"import {tree.name('seen')}\n")
    finally:
        logger.removeHandler(handler)
    assert parsed == [[{"type": "import", "names": [{"name": "inner"}]}]]
    assert edges(graph) == {(ROOT, tree.name("seen"))}
