import json
import pathlib
from decimal import Decimal

from ..catalog import Item
from .formats import (
    # the formats a stock file may come in
    JSON,
    CSV,
)


def load_items(path):
    path = pathlib.Path(path)
    if path.suffix == CSV:
        from .formats import read_csv

        return read_csv(path)
    data = json.loads(path.read_text(encoding="utf-8")) if path.suffix == JSON else []
    return [Item(d["sku"], d["name"], Decimal(d["price"]), d["quantity"]) for d in data]
