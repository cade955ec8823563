"""A point of the bridge: where it is, its type, and the value a /set payload asks for."""

import json
import math

TYPES = ("bool", "uint16", "int16", "uint32", "int32", "float32")
RANGES = {
    "uint16": (0, 0xFFFF), "int16": (-0x8000, 0x7FFF),
    "uint32": (0, 0xFFFFFFFF), "int32": (-0x80000000, 0x7FFFFFFF),
}
FLOAT32_MAX = 3.4028234663852886e38


class Point:
    def __init__(self, line, station, name, address, type, period, scale, unit, writable):
        self.line, self.station, self.name, self.address = line, station, name, address
        self.type, self.period, self.scale, self.unit, self.writable = type, period, scale, unit, writable
        self.key = "%s/%d/%s" % (line, station, name)  # the topic without the prefix

    def scaled(self, raw):
        if raw is None or self.scale is None or self.type == "bool":
            return raw
        value = raw * self.scale
        return round(value, 9) if isinstance(value, float) else value

    def raw_of(self, text):
        """The value to write for the payload ``text``; ValueError saying why not."""
        text = text.strip()
        value = text
        if text.startswith("{"):
            try:
                document = json.loads(text)
            except ValueError:
                raise ValueError("not valid JSON") from None
            if not isinstance(document, dict) or "value" not in document:
                raise ValueError('JSON without a "value"')
            value = document["value"]
        if isinstance(value, str):
            lowered = value.strip().lower()
            if lowered in ("true", "false", "on", "off"):
                value = lowered in ("true", "on")
            else:
                try:
                    value = int(lowered, 10)
                except ValueError:
                    try:
                        value = float(lowered)
                    except ValueError:
                        raise ValueError("not a number: %r" % text[:40]) from None
        if self.type == "bool":
            if isinstance(value, bool) or value in (0, 1):
                return bool(value)
            raise ValueError("not true, false, 1 or 0: %r" % text[:40])
        if isinstance(value, bool):
            value = int(value)
        if not isinstance(value, (int, float)):
            raise ValueError("not a number: %r" % text[:40])
        if isinstance(value, float) and not math.isfinite(value):
            raise ValueError("not a finite number: %r" % text[:40])
        if self.scale is not None:
            value = value / self.scale
        if self.type == "float32":
            if abs(value) > FLOAT32_MAX:
                raise ValueError("%s is out of the range of float32" % text[:40])
            return float(value)
        if isinstance(value, float):
            if self.scale is None and not value.is_integer():
                raise ValueError("%s is not an integer" % text[:40])
            value = int(round(value))
        low, high = RANGES[self.type]
        if not low <= value <= high:
            raise ValueError("%s is out of the range of %s (%d..%d)" % (text[:40], self.type, low, high))
        return value
