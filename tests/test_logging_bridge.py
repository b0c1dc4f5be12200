"""The logging bridge, end to end: records of the logging interface reaching Python `logging`.

Each test runs in a fresh interpreter, because the bridge's logger cache lives for the process.
The records are made through the frame's test extension, which installs its own bridge.
"""

import textwrap

import pytest

PRELUDE = """
import logging, sys
import _modweave_frame as frame

ERROR, WARN, INFO, DEBUG, TRACE = 1, 2, 3, 4, 5
TARGET = "modweave::core::types"

class Collect(logging.Handler):
    def __init__(self):
        super().__init__(level=0)
        self.records = []
    def emit(self, record):
        self.records.append(record)

def collect(name="modweave.core.types", level=logging.DEBUG):
    logger = logging.getLogger(name)
    logger.setLevel(level)
    handler = Collect()
    logger.addHandler(handler)
    return logger, handler
"""


@pytest.fixture
def run(python, frame):
    def run(body):
        return python(PRELUDE + textwrap.dedent(body))

    return run


def test_record_reaches_the_logger_named_after_the_target(run):
    result = run(
        """
        _, handler = collect()
        frame.log(DEBUG, TARGET, "Adding node to graph: a.b")
        (record,) = handler.records
        print(record.name, record.levelno, record.getMessage(), record.pathname, record.lineno,
              record.args, record.exc_info)
        """
    )
    assert result.stdout.split() == [
        "modweave.core.types", "10", "Adding", "node", "to", "graph:", "a.b",
        "frame_module.cpp", "42", "()", "None",
    ]


@pytest.mark.parametrize("level, number", [(1, 40), (2, 30), (3, 20), (4, 10)])
def test_levels_map_to_python_numbers(run, level, number):
    result = run(
        f"""
        _, handler = collect()
        frame.log({level}, TARGET, "message")
        print([r.levelno for r in handler.records])
        """
    )
    assert result.stdout.strip() == f"[{number}]"


def test_trace_records_never_reach_python(run):
    result = run(
        """
        _, handler = collect(level=1)
        frame.log(TRACE, TARGET, "too verbose")
        frame.log(DEBUG, TARGET, "passes")
        print([r.getMessage() for r in handler.records])
        """
    )
    assert result.stdout.strip() == "['passes']"


def test_first_record_fixes_the_cached_level_of_its_target(run):
    # Unconfigured logging (WARNING): the first record caches Warn for the target; making the
    # logger more verbose afterwards does not bring the less severe records back.
    result = run(
        """
        frame.log(DEBUG, TARGET, "dropped by WARNING")
        logger, handler = collect()
        frame.log(DEBUG, TARGET, "dropped by the cache")
        frame.log(INFO, TARGET, "also dropped")
        frame.log(WARN, TARGET, "kept")
        print([r.getMessage() for r in handler.records])
        """
    )
    assert result.stdout.strip() == "['kept']"


def test_cached_records_are_still_checked_against_the_current_level(run):
    result = run(
        """
        logger, handler = collect()
        frame.log(DEBUG, TARGET, "first")
        logger.setLevel(logging.ERROR)
        frame.log(WARN, TARGET, "now filtered by Python")
        frame.log(ERROR, TARGET, "passes")
        print([r.getMessage() for r in handler.records])
        """
    )
    assert result.stdout.strip() == "['first', 'passes']"


def test_each_target_has_its_own_cache_entry(run):
    result = run(
        """
        frame.log(DEBUG, "modweave::core::builder", "fixes Warn for the builder only")
        _, handler = collect("modweave.importlib.util")
        frame.log(DEBUG, "modweave::importlib::util", "Loaded spec: m None")
        print([(r.name, r.getMessage()) for r in handler.records])
        """
    )
    assert result.stdout.strip() == "[('modweave.importlib.util', 'Loaded spec: m None')]"


def test_logger_is_fetched_once_per_target(run):
    result = run(
        """
        collect()
        calls = []
        original = logging.getLogger
        def counting(name=None):
            calls.append(name)
            return original(name)
        logging.getLogger = counting
        for i in range(5):
            frame.log(DEBUG, TARGET, f"record {i}")
        print(calls)
        """
    )
    assert result.stdout.strip() == "['modweave.core.types']"


def test_raising_handler_is_printed_and_the_caller_goes_on(run):
    result = run(
        """
        class Broken(logging.Handler):
            def emit(self, record):
                raise ValueError("handler broke")
        logger = logging.getLogger("modweave.core.types")
        logger.setLevel(logging.DEBUG)
        logger.addHandler(Broken())
        logger.propagate = False
        print(frame.log(DEBUG, TARGET, "lost"))
        print(frame.convert("still works"))
        """
    )
    assert result.stdout.splitlines() == ["None", "('still works', None, False)"]
    assert "ValueError: handler broke" in result.stderr
    assert "Traceback" in result.stderr


def test_failing_get_logger_stores_nothing_and_is_retried(run):
    result = run(
        """
        _, handler = collect()
        original = logging.getLogger
        attempts = []
        def flaky(name=None):
            attempts.append(name)
            if len(attempts) == 1:
                raise RuntimeError("not yet")
            return original(name)
        logging.getLogger = flaky
        frame.log(DEBUG, TARGET, "lost")
        frame.log(DEBUG, TARGET, "delivered")
        print(len(attempts), [r.getMessage() for r in handler.records])
        """
    )
    assert result.stdout.strip() == "2 ['delivered']"
    assert "RuntimeError: not yet" in result.stderr


def test_interrupt_in_a_handler_reaches_the_caller(run):
    result = run(
        """
        class Interrupting(logging.Handler):
            def emit(self, record):
                raise KeyboardInterrupt
        logger = logging.getLogger("modweave.core.types")
        logger.setLevel(logging.DEBUG)
        logger.addHandler(Interrupting())
        try:
            frame.log(DEBUG, TARGET, "interrupted")
        except KeyboardInterrupt:
            print("interrupted")
        print(frame.convert("next call is clean"))
        """
    )
    assert result.stdout.splitlines() == ["interrupted", "('next call is clean', None, False)"]


def test_pending_exception_of_the_caller_is_not_disturbed(run):
    # Records made while the caller unwinds a Python error must not clear it.
    result = run(
        """
        _, handler = collect()
        counter = frame.Counter()
        def callback():
            frame.log(DEBUG, TARGET, "inside")
            raise LookupError("kept")
        try:
            counter.shared(callback)
        except LookupError as error:
            print("LookupError", error)
        print(len(handler.records))
        """
    )
    assert result.stdout.splitlines() == ["LookupError kept", "1"]


BUILD_PRELUDE = """
import logging, sys
import modweave
records = []
class Collect(logging.Handler):
    def emit(self, record):
        records.append(record)
"""


def test_unconfigured_logging_fixes_warn_for_each_target(python):
    result = python(
        BUILD_PRELUDE
        + """
builder = modweave.GraphBuilder()
builder.build("import json")
logger = logging.getLogger("modweave.core.builder")
logger.setLevel(logging.DEBUG)
logger.addHandler(Collect())
builder.build("import json")
print(len(records))
"""
    )
    # The builder's first records met WARNING; its Debug and Info records stay dropped for good.
    assert result.stdout.strip() == "0"
    assert result.stderr == ""


def test_builder_records_carry_name_level_message_and_source_location(python):
    result = python(
        BUILD_PRELUDE
        + """
logger = logging.getLogger("modweave.core.builder")
logger.setLevel(logging.DEBUG)
logger.addHandler(Collect())
modweave.GraphBuilder().build("import sys")
for record in records:
    print(record.name, record.levelno, record.pathname.rsplit("/", 1)[-1], record.lineno > 0,
          record.getMessage(), sep="|")
"""
    )
    lines = [line.split("|") for line in result.stdout.splitlines()]
    assert all(name == "modweave.core.builder" for name, *_ in lines)
    assert [level for _, level, *_ in lines] == ["10"] * (len(lines) - 1) + ["20"]
    assert all(path.endswith(".cpp") and located == "True" for _, _, path, located, _ in lines)
    assert [message for *_, message in lines] == [
        ">" * 36, "Expanding '<terminal>'", ">" * 36,
        "Processing dependency: <terminal> -> sys",
        "<" * 36, "Done '<terminal>'", "<" * 36,
        "Processed 1 dependency relationships.",
    ]


def test_raising_handler_does_not_stop_the_build(python):
    result = python(
        BUILD_PRELUDE
        + """
class Broken(logging.Handler):
    def emit(self, record):
        raise ValueError("handler broke")
logger = logging.getLogger("modweave.core.types")
logger.setLevel(logging.DEBUG)
logger.addHandler(Broken())
graph = modweave.GraphBuilder().build("import sys")
print(sorted(graph.names()))
"""
    )
    assert result.stdout.strip() == "['<terminal>', 'sys']"
    assert result.stderr.count("ValueError: handler broke") >= 2
