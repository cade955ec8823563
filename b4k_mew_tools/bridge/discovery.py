"""Home Assistant's MQTT discovery: one retained config message per point,
so that the points appear as sensors, binary sensors, numbers and switches
(the writable ones), with their units, and unavailable when the bridge or
their station is."""

import json
import re

RANGES = {"uint16": (0, 0xFFFF), "int16": (-0x8000, 0x7FFF), "uint32": (0, 0xFFFFFFFF),
          "int32": (-0x80000000, 0x7FFFFFFF), "float32": (-3.4e38, 3.4e38)}


def _object_id(text):
    return re.sub(r"[^A-Za-z0-9_-]", "_", text)


def component(point):
    if point.type == "bool":
        return "switch" if point.writable else "binary_sensor"
    return "number" if point.writable else "sensor"


def messages(point_list, prefix, client_id, availability_topic, discovery_prefix="homeassistant"):
    """(topic, payload) of the config of every point in ``point_list``,
    published retained; an empty payload on the same topic removes one."""
    found = []
    for point in point_list:
        kind = component(point)
        node = _object_id(client_id)
        object_id = _object_id("%s_%d_%s" % (point.line, point.station, point.name))
        state = "%s/%s" % (prefix, point.key)
        station_status = "%s/%s/%d/$status" % (prefix, point.line, point.station)
        config = {
            "name": "%s %d %s" % (point.line, point.station, point.name),
            "unique_id": "%s_%s" % (node, object_id),
            "object_id": object_id,
            "state_topic": state,
            "availability": [{"topic": availability_topic, "payload_available": "online",
                              "payload_not_available": "offline"},
                             {"topic": station_status, "value_template":
                              "{{ 'online' if value == 'online' else 'offline' }}"}],
            "availability_mode": "all",
            "device": {"identifiers": ["%s_%s_%d" % (node, _object_id(point.line), point.station)],
                       "name": "%s station %d" % (point.line, point.station)},
        }
        if point.type == "bool":
            config["value_template"] = "{{ 'ON' if value_json.value else 'OFF' }}"
            if kind == "switch":
                config.update(state_on="ON", state_off="OFF", payload_on="true", payload_off="false")
        else:
            config["value_template"] = "{{ value_json.value }}"
            if point.unit:
                config["unit_of_measurement"] = point.unit
            if kind == "sensor":
                config["state_class"] = "measurement"
        if point.writable:
            config["command_topic"] = state + "/set"
        if kind == "number":
            low, high = RANGES[point.type]
            scale = point.scale or 1
            low, high = sorted((round(low * scale, 9), round(high * scale, 9)))
            integral = point.type != "float32" and float(scale).is_integer()
            step = 1 if integral else abs(scale) if point.scale and point.type != "float32" else 0.001
            config.update(min=low, max=high, mode="box", step=step)
            if integral:
                config["command_template"] = "{{ value | int }}"
        found.append(("%s/%s/%s/%s/config" % (discovery_prefix, kind, node, object_id),
                      json.dumps(config, separators=(",", ":"))))
    return found
