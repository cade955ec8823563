"""The demonstration: a simulated rack on a virtual serial line, driven by
InstManager and MewMaster calls. Same as "b4k-mew demo"."""
import sys

from b4k_mew_tools.cli import main

sys.exit(main(["demo"]))
