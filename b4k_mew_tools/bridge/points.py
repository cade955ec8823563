"""A point of the bridge: where it is, its type, and the value a /set payload asks for."""

import json
import math
import re

TYPES = ("bool", "uint16", "int16", "uint32", "int32", "float32")
RANGES = {
    "uint16": (0, 0xFFFF), "int16": (-0x8000, 0x7FFF),
    "uint32": (0, 0xFFFFFFFF), "int32": (-0x80000000, 0x7FFFFFFF),
}
FLOAT32_MAX = 3.4028234663852886e38
MAX_PAYLOAD = 4096  # characters; a write is a number or a small JSON object
# JSON's number grammar with ASCII digits only: Python's int() and float()
# also take "1_0", "٣" or "²", which no consumer means as a number.
_JSON_NUMBER = re.compile(r"-?(?:0|[1-9][0-9]*)(?:\.[0-9]+)?(?:[eE][-+]?[0-9]+)?")
_JSON_SPACE = " \t\r\n"


def _number(text):
    if text.lower().lstrip("+-") in ("nan", "inf", "infinity"):
        _no_constant(text)
    if not _JSON_NUMBER.fullmatch(text):
        raise ValueError("not a number: %r" % text[:40])
    if text.lstrip("-").isdigit():
        if len(text) > 40:
            raise ValueError("%s... is out of range" % text[:20])
        return int(text)
    return float(text)


def _no_constant(name):
    raise ValueError("not a finite number: %s" % name)


def payload_value(text):
    """The JSON value a /set payload carries: a bare number, true or false,
    or {"value": V}; ValueError saying why not."""
    text = text.strip(_JSON_SPACE)
    if len(text) > MAX_PAYLOAD:
        raise ValueError("payload longer than %d characters" % MAX_PAYLOAD)
    if text in ("true", "false"):
        return text == "true"
    if text.startswith("{"):
        try:
            document = json.loads(text, parse_int=_number, parse_float=_number, parse_constant=_no_constant)
        except RecursionError:
            raise ValueError("not valid JSON") from None
        except ValueError as error:
            raise ValueError(str(error) if str(error).startswith(("not a", "%")) else "not valid JSON") from None
        if not isinstance(document, dict) or "value" not in document:
            raise ValueError('JSON without a "value"')
        return document["value"]
    return _number(text)


class Point:
    def __init__(self, line, station, name, address, type, period, scale, unit, writable, qos=None):
        self.line, self.station, self.name, self.address = line, station, name, address
        self.type, self.period, self.scale, self.unit, self.writable = type, period, scale, unit, writable
        self.qos = qos  # None: [publish] qos
        self.key = "%s/%d/%s" % (line, station, name)  # the topic without the prefix

    def scaled(self, raw):
        if raw is None or self.scale is None or self.type == "bool":
            return raw
        value = raw * self.scale
        return round(value, 9) if isinstance(value, float) else value

    def raw_of(self, text):
        """The value to write for the payload ``text``; ValueError saying why not.
        A contact takes true, false, 1 or 0; a number point a JSON number only."""
        value = payload_value(text)
        shown = text.strip()[:40]
        if self.type == "bool":
            if isinstance(value, bool) or (type(value) is int and value in (0, 1)):
                return bool(value)
            raise ValueError("not true, false, 1 or 0: %r" % shown)
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise ValueError("not a number: %r" % shown)
        if isinstance(value, float) and not math.isfinite(value):
            raise ValueError("not a finite number: %r" % shown)
        if self.scale is not None:
            value = value / self.scale
        if self.type == "float32":
            if abs(value) > FLOAT32_MAX:
                raise ValueError("%s is out of the range of float32" % shown)
            return float(value)
        if isinstance(value, float):
            nearest = round(value)
            # A scale leaves a rounding error of the last bits; more than that is a fraction.
            if abs(value - nearest) > 1e-6 * max(1.0, abs(value)):
                raise ValueError("%s is not an integer%s" % (shown, "" if self.scale is None
                                                             else " once divided by the scale %r" % self.scale))
            value = int(nearest)
        low, high = RANGES[self.type]
        if not low <= value <= high:
            raise ValueError("%s is out of the range of %s (%d..%d)" % (shown, self.type, low, high))
        return value
