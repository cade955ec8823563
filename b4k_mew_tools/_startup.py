"""A Ctrl-C while the b4k-mew command is still loading: the import it lands
in fails, and the extension module reports that as an ImportError. The
command ends as on any other interruption instead, with one line and
status 130."""

from __future__ import annotations

import os
import sys

INTERRUPTED_STATUS = 130


def _interrupted(error: "BaseException | None") -> bool:
    while error is not None:
        if isinstance(error, KeyboardInterrupt):
            return True
        error = error.__cause__ or error.__context__
    return False


def _running_the_command() -> bool:
    path = sys.argv[0] if sys.argv and sys.argv[0] else ""
    name = os.path.basename(path)
    return name.startswith("b4k-mew") or (name == "__main__.py" and "b4k_mew_tools" in path)


def end_if_interrupted(error: BaseException) -> None:
    """Ends the command quietly when ``error``, raised by an import, comes
    from Ctrl-C; returns otherwise, for the caller to re-raise."""
    if _interrupted(error) and _running_the_command():
        sys.stderr.write("b4k-mew: interrupted\n")
        raise SystemExit(INTERRUPTED_STATUS) from None
