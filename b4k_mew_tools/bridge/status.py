"""The $status of a station from the errors of its points: one of the
documented texts ("online", "timeout", "error CODE MEANING"), the kind of
fault behind it, and the error itself as the detail."""

import re

import b4k_mew

_CODE = re.compile(r"code\(hex\):\s*([0-9A-Fa-f]{2})")
# The transport's texts while a TCP line is down; they change with every
# attempt ("next attempt in 0.8 s"), the fault does not.
_LINE_DOWN = ("cannot connect to", "not connected to", "connection to")


def station_state(errors):
    """(status, kind, detail) of a station whose points' last errors are
    ``errors`` (None for a good read). kind is None, "device" (the
    controller refused), "line" (the line is down) or "silent" (no valid
    answer); a state changes only when status or kind does."""
    errors = [e for e in errors if e]
    if not errors:
        return "online", None, None
    for error in errors:
        if not _CODE.search(error):
            return "timeout", "line" if any(t in error for t in _LINE_DOWN) else "silent", error
    code = _CODE.search(errors[0]).group(1).upper()
    return "error %s %s" % (code, b4k_mew.device_error_meaning(code)), "device", errors[0]


def station_status(errors):
    """The $status text of a station from its points' last errors."""
    return station_state(errors)[0]
