"""GraphBuilder.build end to end, on temporary package trees."""

import importlib.machinery
import signal
import threading

import pytest

import modweave

ROOT = "<terminal>"


def panic_type():
    try:
        modweave.GraphBuilder().build("from . import x")
    except BaseException as error:  # noqa: B036 - PanicException derives from BaseException
        return type(error)
    raise AssertionError("expected a failure")


def edges(graph):
    """Every (importer, imported) pair, read from the importers' side only."""
    pairs = set()
    for name in graph.names():
        for importer in graph.get(name).dependents:
            pairs.add((importer, name))
    return pairs


def depths(graph):
    return {name: graph.get(name).depth for name in graph.names()}


def messages(records, logger="modweave.core.builder"):
    return [r.getMessage() for r in records if r.name == logger]


def test_source_without_imports(builder_log):
    graph = modweave.GraphBuilder().build("x = 1\n")
    assert graph.size() == 1
    assert graph.names() == [ROOT]
    assert graph.keys() == {ROOT}
    assert graph.num_dependencies() == 0
    assert graph.origins() == []
    root = graph.get(ROOT)
    assert root.depth == 0
    assert root.spec == {"name": ROOT, "origin": None}
    assert "Processed 0 dependency relationships." in messages(builder_log)


def test_traversal_example(tree, builder_log):
    tree.write("a", "import {p}b\n")
    tree.write("b", "import {p}a\n")
    a, b = tree.name("a"), tree.name("b")
    graph = modweave.GraphBuilder().build(f"import {a}\nimport {b}\n")
    assert edges(graph) == {(ROOT, a), (a, b), (b, a), (ROOT, b)}
    assert depths(graph) == {ROOT: 0, a: 1, b: 1}
    assert graph.num_dependencies() == 4
    log = messages(builder_log)
    assert log[-1] == "Processed 4 dependency relationships."
    expanding = [m for m in log if m.startswith(("Expanding", "Done"))]
    assert expanding == [f"Expanding '{ROOT}'", f"Expanding '{a}'", f"Expanding '{b}'",
                         f"Done '{b}'", f"Done '{a}'", f"Done '{ROOT}'"]
    assert log[:3] == [">" * 36, f"Expanding '{ROOT}'", ">" * 36]


def test_cache_example_reads_no_cached_file(tree, builder_log):
    tree.write("a", "import {p}b\n")
    b_path = tree.write("b", "")
    tree.write("c", "import {p}a\n")
    a, b, c = tree.name("a"), tree.name("b"), tree.name("c")
    builder = modweave.GraphBuilder()
    first = builder.build(f"import {a}\n")
    assert edges(first) == {(ROOT, a), (a, b)}
    # Were the cached files read again, their bytes would fail the build.
    tree.root.joinpath(f"{a}.py").write_bytes(b"\xff\xfe not utf-8")
    b_path.write_bytes(b"\xff")
    builder_log.clear()
    second = builder.build(f"import {c}\n")
    assert edges(second) == {(ROOT, c), (c, a), (a, b)}
    assert depths(second) == {ROOT: 0, c: 1, a: 2, b: 3}
    log = messages(builder_log)
    assert log[-1] == "Processed 3 dependency relationships (2 from cache)."
    assert not any(m.startswith("Loading file: ") and not m.endswith(f"{c}.py") for m in log)
    # The graph returned first is not changed by the second build.
    assert edges(first) == {(ROOT, a), (a, b)}


def test_dotted_import_attaches_parents_first(tree, builder_log):
    tree.write("a.b.c", "")
    a = tree.name("a")
    graph = modweave.GraphBuilder().build(f"import {a}.b.c\n")
    assert edges(graph) == {(ROOT, a), (ROOT, f"{a}.b"), (ROOT, f"{a}.b.c")}
    added = [m for m in messages(builder_log, "modweave.core.types") if m.startswith("Add dependency")]
    assert added == [f"Add dependency '{ROOT}' -> '{n}'" for n in (a, f"{a}.b", f"{a}.b.c")]
    # The name itself is counted first; its parents are attached before it.
    processing = [m for m in messages(builder_log) if m.startswith("Processing dependency")]
    assert processing == [f"Processing dependency: {ROOT} -> {n}" for n in (f"{a}.b.c", f"{a}.b", a)]


def test_from_import_of_a_package_looks_up_submodules(tree, builder_log):
    tree.write("p", "y = 1\n", package=True)
    tree.write("p.x", "")
    p = tree.name("p")
    graph = modweave.GraphBuilder().build(f"from {p} import x, y\n")
    assert edges(graph) == {(ROOT, p), (ROOT, f"{p}.x")}
    assert f"!!!! Unable to find spec for name: '{p}.y' !!!!" in messages(builder_log)


def test_from_import_of_a_plain_module_looks_up_nothing_more(tree, builder_log):
    tree.write("m", "def f(): pass\n")
    m = tree.name("m")
    graph = modweave.GraphBuilder().build(f"from {m} import f\n")
    assert edges(graph) == {(ROOT, m)}
    assert not any("Unable to find spec" in msg for msg in messages(builder_log))


def test_relative_imports_need_a_package(tree):
    tree.write("pkg.sub", "")
    with pytest.raises(BaseException) as caught:
        modweave.GraphBuilder().build("from . import sub\n")
    assert type(caught.value).__name__ == "PanicException"
    assert caught.value.args == ("Attempted relative import from terminal node (no known parent package)",)
    pkg = tree.name("pkg")
    graph = modweave.GraphBuilder().build("from . import sub\n", package=pkg)
    assert edges(graph) == {(ROOT, pkg), (ROOT, f"{pkg}.sub")}


def test_package_source_importing_its_own_submodule(tree):
    tree.write("pkg", "from . import x\n", package=True)
    tree.write("pkg.x", "")
    pkg = tree.name("pkg")
    graph = modweave.GraphBuilder().build(f"import {pkg}\n")
    # The package's import of itself is skipped; its submodule is attached.
    assert edges(graph) == {(ROOT, pkg), (pkg, f"{pkg}.x")}


def test_self_import_and_repeated_import(tree, builder_log):
    tree.write("s", "import {p}s\nimport {p}t\nimport {p}t\n")
    tree.write("t", "")
    s, t = tree.name("s"), tree.name("t")
    graph = modweave.GraphBuilder().build(f"import {s}\n")
    assert edges(graph) == {(ROOT, s), (s, t)}
    assert messages(builder_log)[-1] == "Processed 3 dependency relationships."


def test_modules_without_source_are_not_expanded(builder_log):
    compiled = next(
        (n for n in ("_decimal", "_json", "math", "_struct", "select", "array")
         if (spec := importlib.util.find_spec(n)) and spec.origin and spec.origin.endswith(".so")),
        None,
    )
    names = ["sys"] + ([compiled] if compiled else [])
    graph = modweave.GraphBuilder().build("".join(f"import {n}\n" for n in names))
    assert edges(graph) == {(ROOT, n) for n in names}
    assert graph.get("sys").spec["origin"] == "built-in"
    assert not any(r.levelno >= 30 for r in builder_log)


def test_frozen_module_is_not_expanded():
    frozen = next((n for n in ("abc", "codecs", "io", "stat", "posixpath")
                   if getattr(importlib.util.find_spec(n), "origin", None) == "frozen"), None)
    if frozen is None:
        pytest.skip("this interpreter has no frozen modules")
    graph = modweave.GraphBuilder().build(f"import {frozen}\n")
    assert set(graph.names()) == {ROOT, frozen}
    assert graph.get(frozen).spec["origin"] == "frozen"


class FixedFinder:
    """A meta path finder that answers some names with specs of our own."""

    def __init__(self, specs):
        self.specs = specs

    def find_spec(self, name, path=None, target=None):
        return self.specs.get(name)


@pytest.fixture
def finder(meta_path):
    return lambda specs: meta_path(FixedFinder(specs))


def test_vanished_file_is_skipped_with_a_warning(python, tmp_path):
    result = python(
        f"""
        import importlib.machinery, logging, sys
        import modweave
        logging.basicConfig(level=logging.WARNING, format="%(levelname)s %(name)s %(message)s")
        class Finder:
            def find_spec(self, name, path=None, target=None):
                if name == "gone_module":
                    return importlib.machinery.ModuleSpec(name, None, origin={str(tmp_path / "gone.py")!r})
        sys.meta_path.insert(0, Finder())
        graph = modweave.GraphBuilder().build("import gone_module")
        print(sorted(graph.names()))
        """
    )
    assert result.stdout.strip() == "['<terminal>', 'gone_module']"
    assert (f"WARNING modweave.core.builder Unable to load file for spec 'gone_module' with origin "
            f"'{tmp_path / 'gone.py'}' skipping.") in result.stderr
    assert "System error: No such file or directory (os error 2)\n" in result.stderr


def test_origin_without_extension_warns(finder, builder_log, tmp_path):
    finder({"noext_module": importlib.machinery.ModuleSpec("noext_module", None,
                                                           origin=str(tmp_path / "noext"))})
    graph = modweave.GraphBuilder().build("import noext_module\n")
    assert "noext_module" in graph.keys()
    warnings = [r.getMessage() for r in builder_log if r.levelno == 30]
    assert warnings == [f"Unable to load extension for spec 'noext_module' with origin "
                        f"'{tmp_path / 'noext'}' skipping."]


def test_non_utf8_source_fails_the_build(tree):
    tree.write("bad", "")
    tree.root.joinpath(f"{tree.name('bad')}.py").write_bytes(b"import os\n\xff\xfe\n")
    with pytest.raises(BaseException) as caught:
        modweave.GraphBuilder().build(f"import {tree.name('bad')}\n")
    assert type(caught.value).__name__ == "PanicException"
    assert not isinstance(caught.value, Exception)


def test_spec_registered_under_another_name(finder, tree):
    real = tree.write("real", "import {p}dep\n")
    tree.write("dep", "")
    finder({"alias_name": importlib.machinery.ModuleSpec(tree.name("real"), None, origin=str(real))})
    graph = modweave.GraphBuilder().build("import alias_name\n")
    assert edges(graph) == {(ROOT, tree.name("real")), (tree.name("real"), tree.name("dep"))}


def test_directory_named_like_a_module_is_skipped(finder, tmp_path):
    folder = tmp_path / "folder.py"
    folder.mkdir()
    finder({"folder_module": importlib.machinery.ModuleSpec("folder_module", None, origin=str(folder))})
    graph = modweave.GraphBuilder().build("import folder_module\n")
    assert set(graph.names()) == {ROOT, "folder_module"}


def test_failed_build_leaves_the_builder_usable(tree):
    tree.write("good", "")
    good = tree.name("good")
    builder = modweave.GraphBuilder()
    builder.build(f"import {good}\n")
    with pytest.raises(BaseException):
        builder.build("from . import nothing\n")
    graph = builder.build(f"import {good}\n")
    assert edges(graph) == {(ROOT, good)}


@pytest.mark.parametrize("exception", [KeyboardInterrupt, SystemExit])
def test_interrupt_in_the_lookup_stops_the_build(meta_path, tree, exception):
    tree.write("fine", "")

    class Interrupting:
        def find_spec(self, name, path=None, target=None):
            if name == "interrupt_here":
                raise exception()

    meta_path(Interrupting())
    builder = modweave.GraphBuilder()
    with pytest.raises(exception):
        builder.build("import interrupt_here\n")
    graph = builder.build(f"import {tree.name('fine')}\n")
    assert edges(graph) == {(ROOT, tree.name("fine"))}


class Runaway(BaseException):
    """Stops a build that would otherwise never end: the lookup passes it on to the caller."""


@pytest.mark.parametrize(
    "import_name, answers, expected_edges, warning",
    [
        # The parent of zza.b is looked up as zza, which answers with zza.b again.
        ("zza", {"zza": "zza.b"}, {(ROOT, "zza.b")},
         "Parent 'zza' resolves to 'zza.b', which is already being attached; skipping it."),
        # A longer loop: zzc.x needs zzc, which is zzd.x, which needs zzd, which is zzc.x.
        ("zzb", {"zzb": "zzc.x", "zzc": "zzd.x", "zzd": "zzc.x"},
         {(ROOT, "zzc.x"), (ROOT, "zzd.x")},
         "Parent 'zzd' resolves to 'zzc.x', which is already being attached; skipping it."),
    ],
)
def test_parent_chain_leading_back_ends_with_a_warning(meta_path, builder_log, import_name,
                                                       answers, expected_edges, warning):
    lookups = []

    class Looping:
        def find_spec(self, name, path=None, target=None):
            if name not in answers:
                return None
            lookups.append(name)
            if len(lookups) > 1000:
                raise Runaway
            return importlib.machinery.ModuleSpec(answers[name], None, origin="built-in")

    meta_path(Looping())
    graph = modweave.GraphBuilder().build(f"import {import_name}\n")
    assert edges(graph) == expected_edges
    assert [r.getMessage() for r in builder_log if r.levelno == 30] == [warning]


def test_interrupt_while_reading_search_locations_stops_the_build(finder):
    class SlowLocations:
        def __len__(self):
            return 1

        def __getitem__(self, index):
            # A real Ctrl-C: the handler raises KeyboardInterrupt inside this call.
            signal.raise_signal(signal.SIGINT)
            return "/never"

    package = importlib.machinery.ModuleSpec("slow_locations", None, origin="built-in",
                                             is_package=True)
    package.submodule_search_locations = SlowLocations()
    finder({"slow_locations": package})
    # A process started with SIGINT ignored (a background job of a shell) would never raise, and
    # the locations would go on for ever.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        with pytest.raises(KeyboardInterrupt):
            modweave.GraphBuilder().build("import slow_locations\n")
    finally:
        signal.signal(signal.SIGINT, previous)


def test_interrupt_in_a_logging_handler_stops_the_build(tree):
    import logging

    tree.write("one", "")
    builder = modweave.GraphBuilder()

    class Interrupt(logging.Handler):
        def emit(self, record):
            if record.getMessage().startswith("Processing dependency"):
                raise KeyboardInterrupt

    logger = logging.getLogger("modweave.core.builder")
    handler = Interrupt()
    logger.addHandler(handler)
    try:
        with pytest.raises(KeyboardInterrupt):
            builder.build(f"import {tree.name('one')}\n")
    finally:
        logger.removeHandler(handler)
    assert builder.build("x = 1").size() == 1


def test_nested_build_from_a_logging_handler_is_refused(tree):
    import logging

    tree.write("n", "")
    builder = modweave.GraphBuilder()
    refused = []

    class Nested(logging.Handler):
        def emit(self, record):
            if not refused:
                try:
                    builder.build("x = 1")
                except RuntimeError as error:
                    refused.append(str(error))

    logger = logging.getLogger("modweave.core.builder")
    handler = Nested()
    logger.addHandler(handler)
    try:
        graph = builder.build(f"import {tree.name('n')}\n")
    finally:
        logger.removeHandler(handler)
    assert refused == ["Already borrowed"]
    assert edges(graph) == {(ROOT, tree.name("n"))}


def test_nested_build_from_an_import_hook_is_refused(meta_path):
    refused = []
    builder = modweave.GraphBuilder()

    class Hook:
        def find_spec(self, name, path=None, target=None):
            if name == "hooked_name" and not refused:
                try:
                    builder.build("x = 1")
                except RuntimeError as error:
                    refused.append(str(error))
            return None

    meta_path(Hook())
    graph = builder.build("import hooked_name\n")
    assert refused == ["Already borrowed"]
    assert graph.names() == [ROOT]


def chain(tree, length):
    for i in range(length):
        tree.write(f"c{i}", f"import {{p}}c{i + 1}\n" if i + 1 < length else "")
    return f"import {tree.name('c0')}\n"


def test_long_import_chain_builds(tree):
    graph = modweave.GraphBuilder().build(chain(tree, 10_000))
    assert graph.size() == 10_001
    assert graph.get(tree.name("c9999")).depth == 10_000


def test_long_import_chain_builds_in_a_thread(tree):
    source = chain(tree, 10_000)
    result = {}

    def run():
        try:
            result["size"] = modweave.GraphBuilder().build(source).size()
        except BaseException as error:  # noqa: B036 - reported below
            result["error"] = error

    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    assert result == {"size": 10_001}


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "missing 1 required positional argument: 'source'"),
    ((1,), {}, "argument 'source': 'int' object cannot be converted to 'str'"),
    (("x",), {"package": 1}, "argument 'package': 'int' object cannot be converted to 'str'"),
    (("x", None, None), {}, "takes from 1 to 2 positional arguments but 3 were given"),
    (("x",), {"pkg": "a"}, "got an unexpected keyword argument 'pkg'"),
])
def test_build_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        modweave.GraphBuilder().build(*args, **kwargs)
    assert message in str(caught.value)


def test_build_signature():
    assert modweave.GraphBuilder.build.__text_signature__ == "($self, source, package=None)"


def test_verbose_dump_goes_to_standard_output(python, tmp_path):
    (tmp_path / "dumped_mod.py").write_text("from . import x\n")
    result = python(
        f"""
        import sys
        sys.path.insert(0, {str(tmp_path)!r})
        import modweave
        modweave.GraphBuilder(True).build("import dumped_mod as d")
        """,
        check=False,
    )
    assert result.stdout.startswith("Import: {\n  {\n    name: dumped_mod\n    asname: d\n  }\n}\n")
    assert "ImportFrom: {\n  level: 1\n  module: \n  {\n    name: x\n  }\n}\n" in result.stdout
