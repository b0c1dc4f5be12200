import textwrap
from collections import Counter

from .. import units
from ..catalog import Item  # noqa: F401 - documents what `render` expects


def render(items_by_sku):
    per_unit = Counter(item.unit for item in items_by_sku.values())
    total = sum(item.price * item.quantity for item in items_by_sku.values())
    lines = [f"{len(items_by_sku)} items, value {total}"]
    lines += [f"  {count} counted in {unit or units.PIECE}" for unit, count in sorted(per_unit.items())]
    return textwrap.dedent("\n".join(lines))
