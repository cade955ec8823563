"""``python3 -m b4k_mew_tools``: the b4k-mew command."""

import sys

from .cli import main

sys.exit(main())
