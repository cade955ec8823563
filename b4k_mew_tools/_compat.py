"""What differs between the Python versions the package runs on."""

import sys

if sys.version_info >= (3, 11):
    import tomllib
else:  # the same parser, by its older name (a dependency there)
    import tomli as tomllib

__all__ = ["tomllib"]
