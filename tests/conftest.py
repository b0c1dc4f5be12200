import importlib
import logging
import os
import subprocess
import sys
import textwrap

import pytest

# The bridge fixes each logger's level the first time one of its records is made, for the life of
# the process; open the module's loggers to Debug before anything logs, so that tests can attach
# handlers later. Tests of the quieter defaults run in fresh interpreters.
for _name in ("modweave.core.builder", "modweave.core.types", "modweave.importlib.util"):
    logging.getLogger(_name).setLevel(logging.DEBUG)


@pytest.fixture(scope="session")
def frame():
    """The call frame's test-only extension (built by `make test` next to the module)."""
    directory = os.environ.get("MODWEAVE_FRAME_MODULE_DIR")
    if not directory:
        pytest.skip("MODWEAVE_FRAME_MODULE_DIR is not set; run the suite through `make test`")
    sys.path.insert(0, directory)
    try:
        return importlib.import_module("_modweave_frame")
    finally:
        sys.path.remove(directory)


def run_python(code, *, check=True, flags=()):
    """Runs `code` in a fresh interpreter (the one running the tests) and returns the result.

    Process-wide state (the once-only initialisation, the logger cache, output written to file
    descriptors 1 and 2) can only be observed from a process of its own.
    """
    env = dict(os.environ)
    directory = os.environ.get("MODWEAVE_FRAME_MODULE_DIR")
    if directory:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [directory, env.get("PYTHONPATH")]))
    result = subprocess.run(
        [sys.executable, *flags, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=env,
        timeout=120,
    )
    if check and result.returncode != 0:
        raise AssertionError(
            f"subprocess failed ({result.returncode})\nstdout:\n{result.stdout}\nstderr:\n{result.stderr}"
        )
    return result


@pytest.fixture
def python():
    return run_python


@pytest.fixture
def tree(tmp_path):
    from builder_support import Tree

    created = Tree(tmp_path / "site")
    yield created
    created.close()


@pytest.fixture
def builder_log():
    """Records of the module's loggers during the test."""
    records = []

    class Collect(logging.Handler):
        def emit(self, record):
            records.append(record)

    handler = Collect(level=0)
    loggers = [logging.getLogger(n) for n in
               ("modweave.core.builder", "modweave.core.types", "modweave.importlib.util")]
    for logger in loggers:
        logger.addHandler(handler)
    yield records
    for logger in loggers:
        logger.removeHandler(handler)


@pytest.fixture
def meta_path():
    """Puts finders first on sys.meta_path for the duration of the test."""
    installed = []

    def install(finder):
        sys.meta_path.insert(0, finder)
        installed.append(finder)
        return finder

    yield install
    for finder in installed:
        sys.meta_path.remove(finder)
