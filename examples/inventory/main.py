"""Command-line entry of the inventory example: loads stock, prints a report."""

import argparse
import logging
import sys

from inventory import catalog
from inventory.storage.files import load_items
from inventory.reports import summary as report_summary


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("path", nargs="?", default="stock.json")
    options = parser.parse_args(argv)
    logging.basicConfig(level=logging.INFO)
    items = load_items(options.path)
    print(report_summary.render(catalog.index(items)), file=sys.stdout)


if __name__ == "__main__":
    main()
