"""ModuleSpec conversion and module-spec lookup, against real host objects."""

import importlib.util

import pytest


class Spec:
    """A spec-like object with exactly the attributes given."""

    def __init__(self, **attributes):
        self.__dict__.update(attributes)


GOOD = dict(name="pkg.mod", origin="/p/pkg/mod.py", parent="pkg", submodule_search_locations=None)


def spec(**changes):
    return Spec(**{**GOOD, **changes})


class Locations:
    """A sequence that is not a list."""

    def __init__(self, *items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]


@pytest.mark.parametrize(
    "obj, expected",
    [
        (spec(), ("pkg.mod", "/p/pkg/mod.py", "pkg", None)),
        (spec(origin=None), ("pkg.mod", None, "pkg", None)),
        (spec(parent=""), ("pkg.mod", "/p/pkg/mod.py", "", None)),
        (spec(submodule_search_locations=[]), ("pkg.mod", "/p/pkg/mod.py", "pkg", [])),
        (spec(submodule_search_locations=("/a", "/b")), ("pkg.mod", "/p/pkg/mod.py", "pkg", ["/a", "/b"])),
        (spec(submodule_search_locations=Locations("/x", "/y")), ("pkg.mod", "/p/pkg/mod.py", "pkg", ["/x", "/y"])),
    ],
)
def test_extract_reads_the_four_fields(frame, obj, expected):
    assert frame.extract_spec(obj) == expected


def test_extract_real_specs(frame):
    package = importlib.util.find_spec("email")
    name, origin, parent, locations = frame.extract_spec(package)
    assert (name, origin, parent) == ("email", package.origin, "email")
    assert locations == list(package.submodule_search_locations)
    assert frame.extract_spec(importlib.util.find_spec("sys")) == ("sys", "built-in", "", None)


@pytest.mark.parametrize(
    "changes, field, cause",
    [
        (dict(name=3), "name", "'int' object cannot be converted to 'str'"),
        (dict(origin=b"/p"), "origin", "'bytes' object cannot be converted to 'str'"),
        (dict(parent=None), "parent", "'NoneType' object cannot be converted to 'str'"),
        (dict(submodule_search_locations="/p"), "submodule_search_locations", "'str' is not accepted"),
        (dict(submodule_search_locations=7), "submodule_search_locations", "'int' object cannot be converted to 'Sequence'"),
        (dict(submodule_search_locations=["/p", 1]), "submodule_search_locations", "'int' object cannot be converted to 'str'"),
    ],
)
def test_extract_wraps_conversion_errors_with_their_cause(frame, changes, field, cause):
    with pytest.raises(TypeError) as caught:
        frame.extract_spec(spec(**changes))
    assert str(caught.value) == f"failed to extract field ModuleSpec.{field}"
    assert isinstance(caught.value.__cause__, TypeError)
    assert cause in str(caught.value.__cause__)


def test_extract_passes_attribute_errors_unchanged(frame):
    with pytest.raises(AttributeError, match="parent"):
        frame.extract_spec(Spec(name="m", origin=None))


def test_extract_reads_fields_in_order_and_stops_at_the_first_failure(frame):
    read = []

    class Recording:
        def __getattr__(self, attribute):
            read.append(attribute)
            if attribute == "origin":
                return 5
            return "text"

    with pytest.raises(TypeError, match="ModuleSpec.origin"):
        frame.extract_spec(Recording())
    assert read == ["name", "origin"]


def test_str_locations_are_rejected_before_any_item_is_read(frame):
    class Text(str):
        def __iter__(self):
            raise AssertionError("items must not be read")

    with pytest.raises(TypeError, match="submodule_search_locations"):
        frame.extract_spec(spec(submodule_search_locations=Text("/p")))


class HostileLocations:
    """Search locations whose length or iteration misbehaves as the test says."""

    def __init__(self, length=1, iteration_raises=None):
        self.length = length
        self.iteration_raises = iteration_raises

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, index):
        if self.iteration_raises is not None:
            raise self.iteration_raises
        if index > 0:
            raise IndexError(index)
        return "/only"


@pytest.mark.parametrize(
    "locations, outcome",
    [
        (HostileLocations(iteration_raises=KeyboardInterrupt()), KeyboardInterrupt),
        (HostileLocations(length=SystemExit(3)), SystemExit),
        # Only an ordinary failure of the length is ignored, and a length is never trusted.
        (HostileLocations(length=RuntimeError("no length")), ["/only"]),
        (HostileLocations(length=2**62), ["/only"]),
        (HostileLocations(length=2**40), ["/only"]),
    ],
)
def test_extract_passes_interrupts_on_and_ignores_the_reported_length(frame, meta_path, locations,
                                                                     outcome):
    meta_path(FixedSpecFinder("hostile_locations", spec(submodule_search_locations=locations)))
    if isinstance(outcome, list):
        assert frame.extract_spec(spec(submodule_search_locations=locations))[3] == outcome
        assert frame.find_spec("hostile_locations") is not None
        return
    with pytest.raises(outcome):
        frame.extract_spec(spec(submodule_search_locations=locations))
    with pytest.raises(outcome):
        frame.find_spec("hostile_locations")


def test_find_spec_of_real_modules(frame):
    assert frame.find_spec("json") == {"name": "json", "origin": importlib.util.find_spec("json").origin}
    assert frame.find_spec("sys") == {"name": "sys", "origin": "built-in"}
    assert list(frame.find_spec("os")) == ["name", "origin"]


@pytest.mark.parametrize("name", ["no_such_module_xyz", "no_such_package_xyz.sub", "json.no_such_sub"])
def test_find_spec_of_missing_modules_is_absent(frame, name):
    assert frame.find_spec(name) is None


def test_find_spec_discards_exceptions_of_the_lookup(frame):
    # A name under a plain module: the host raises ModuleNotFoundError ("not a package").
    assert frame.find_spec("json.decoder.deeper") is None
    # A relative name: the host raises ValueError without a package.
    assert frame.find_spec(".relative") is None


class FixedSpecFinder:
    def __init__(self, name, found):
        self.name = name
        self.found = found

    def find_spec(self, name, path=None, target=None):
        return self.found if name == self.name else None


class RaisingFinder:
    def __init__(self, exception):
        self.exception = exception

    def find_spec(self, name, path=None, target=None):
        if name.startswith("raising_target"):
            raise self.exception
        return None


@pytest.fixture
def finder(meta_path):
    return lambda exception: meta_path(RaisingFinder(exception))


def test_find_spec_discards_a_raising_finder(frame, finder):
    finder(RuntimeError("finder broke"))
    assert frame.find_spec("raising_target") is None


@pytest.mark.parametrize("exception", [KeyboardInterrupt, SystemExit])
def test_find_spec_lets_interrupts_through(frame, finder, exception):
    finder(exception())
    with pytest.raises(exception):
        frame.find_spec("raising_target")


def test_find_spec_absent_for_a_spec_that_does_not_convert(frame, meta_path):
    class BadSpecFinder:
        def find_spec(self, name, path=None, target=None):
            if name == "bad_spec_target":
                return Spec(name="bad_spec_target", origin=None, parent=None,
                            submodule_search_locations=None)
            return None

    meta_path(BadSpecFinder())
    assert frame.find_spec("bad_spec_target") is None


LOG_PRELUDE = """
import logging, sys
import _modweave_frame as frame
records = []
class Collect(logging.Handler):
    def emit(self, record):
        records.append(record)
logger = logging.getLogger("modweave.importlib.util")
logger.setLevel(logging.DEBUG)
logger.addHandler(Collect())
"""


def test_find_spec_logs_the_loaded_spec(python, tmp_path):
    (tmp_path / 'we"ird\\name.py').write_text("")
    (tmp_path / "plain.py").write_text("")
    result = python(
        LOG_PRELUDE
        + f"""
sys.path.insert(0, {str(tmp_path)!r})
frame.find_spec("plain")
frame.find_spec("sys")
frame.find_spec("no_such_module_xyz")
for record in records:
    print(record.levelno, record.name, record.getMessage())
"""
    )
    assert result.stdout.splitlines() == [
        f'10 modweave.importlib.util Loaded spec: plain Some("{tmp_path}/plain.py")',
        '10 modweave.importlib.util Loaded spec: sys Some("built-in")',
    ]


def test_loaded_spec_escapes_the_origin(python):
    result = python(
        LOG_PRELUDE
        + r"""
import importlib.machinery
class Finder:
    def find_spec(self, name, path=None, target=None):
        origins = {"q": 'a"b\\c', "n": None, "c": "line\nbreak\ttab\r\x00\x7f"}
        if name in origins:
            return importlib.machinery.ModuleSpec(name, None, origin=origins[name])
sys.meta_path.insert(0, Finder())
for name in "qnc":
    frame.find_spec(name)
for record in records:
    print(record.getMessage())
"""
    )
    assert result.stdout.splitlines() == [
        r'Loaded spec: q Some("a\"b\\c")',
        "Loaded spec: n None",
        r'Loaded spec: c Some("line\nbreak\ttab\r\0\u{7f}")',
    ]
