import csv
from decimal import Decimal

JSON = ".json"
CSV = ".csv"


def read_csv(path):
    from ..catalog import Item

    with open(path, newline="", encoding="utf-8") as handle:
        return [Item(r["sku"], r["name"], Decimal(r["price"]), int(r["quantity"]))
                for r in csv.DictReader(handle)]
