"""``python -m vesk_arrays``: the ``vesk`` command."""

import sys

from .cli import main

sys.exit(main())
