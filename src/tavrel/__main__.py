"""``python -m tavrel``: the ``tavrel`` command (``python -m tavrel run
...``)."""

import sys

from tavrel.fleet._cli import main

sys.exit(main())
