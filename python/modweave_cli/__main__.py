import sys

from modweave_cli.cli import main

sys.exit(main())
