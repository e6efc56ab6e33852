"""``python -m stelvane``: the same as the ``stelvane`` command."""

import sys

from stelvane.cli import main

if __name__ == "__main__":
    sys.exit(main())
