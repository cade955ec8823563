"""The demonstration: a simulated rack on a virtual serial line, driven by
InstManager and MewMaster calls. Same as "b4k-mew demo"."""
import os
import sys

# The tools live at the top of the checkout, beside this folder.
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from b4k_mew_tools.cli import main  # noqa: E402

sys.exit(main(["demo"]))
