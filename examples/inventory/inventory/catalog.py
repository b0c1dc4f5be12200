import dataclasses
from decimal import Decimal

from . import units


@dataclasses.dataclass(frozen=True)
class Item:
    sku: str
    name: str
    price: Decimal
    quantity: int
    unit: str = units.PIECE


def index(items):
    return {item.sku: item for item in items}
