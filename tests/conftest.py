import importlib
import os
import subprocess
import sys
import textwrap

import pytest


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


def run_python(code, *, check=True):
    """Runs `code` in a fresh interpreter (the one running the tests) and returns the result.

    Process-wide state (the once-only initialisation, the logger cache, output written to file
    descriptors 1 and 2) can only be observed from a process of its own.
    """
    env = dict(os.environ)
    directory = os.environ.get("MODWEAVE_FRAME_MODULE_DIR")
    if directory:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [directory, env.get("PYTHONPATH")]))
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
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
