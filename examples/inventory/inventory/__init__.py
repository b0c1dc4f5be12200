"""A small stock-keeping package used as modweave's example project."""

from .catalog import Item, index

__all__ = ["Item", "index"]
