"""The $status of a station, from the errors of its points."""

import re

import b4k_mew


def station_status(errors):
    """The $status text of a station from its points' last errors."""
    errors = [e for e in errors if e]
    if not errors:
        return "online"
    for error in errors:
        if "timeout" in error.lower():
            return "timeout"
    match = re.search(r"code\(hex\):\s*([0-9A-Fa-f]{2})", errors[0])
    if match:
        code = match.group(1).upper()
        return "error %s %s" % (code, b4k_mew.device_error_meaning(code))
    return "error " + errors[0].split(": ", 1)[-1]
