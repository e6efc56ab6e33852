"""``python -m stelvane``: the same as the ``stelvane`` command."""

import sys

from stelvane.cli import main

sys.exit(main())
