"""The `modweave` command: see, query and export the import graph of Python code.

Built on the public API of the native `modweave` module only.
"""

from modweave_cli.cli import main

__all__ = ["main"]
