"""Sparkplug B: the payload schema, its metric values, and the session of an
edge node (topics, seq and bdSeq numbering, births, data, deaths, commands).

The schema is built here as a descriptor from the published field numbers
and handed to the protobuf runtime, rather than compiled by protoc: code
that protoc generates is bound to the runtime it was generated for (a
module generated for one major version is refused or warned about by
another), whereas a descriptor built at import works alike with Debian's
python3-protobuf (4.21) and the package index's current releases, and
needs no build step. Only what an edge node sends and reads is declared
(Payload, Metric, its metadata and property sets); data sets and templates,
which it never sends, arrive in a command as unknown fields and are ignored.

Nothing here knows MQTT: the bridge publishes the bytes these functions
build on the topics they name.
"""

import struct
import time
import warnings

from google.protobuf import descriptor_pb2, descriptor_pool, message_factory

# Debian's protobuf warns of a payload that ends inside a group instead of
# failing; command() refuses such a payload itself, by the bytes consumed.
warnings.filterwarnings("ignore", message="Unexpected end-group tag", category=RuntimeWarning)

NAMESPACE = "spBv1.0"
REBIRTH = "Node Control/Rebirth"
BDSEQ = "bdSeq"
SEQ_MODULO = 256


class DataType:
    """The Sparkplug B data type numbers."""
    Unknown, Int8, Int16, Int32, Int64 = 0, 1, 2, 3, 4
    UInt8, UInt16, UInt32, UInt64 = 5, 6, 7, 8
    Float, Double, Boolean, String, DateTime, Text = 9, 10, 11, 12, 13, 14
    UUID, DataSet, Bytes, File, Template = 15, 16, 17, 18, 19
    PropertySet, PropertySetList = 20, 21


# Each type's field of a Metric's (or PropertyValue's) value, and the width
# of the signed ones, which the schema carries in unsigned fields as two's
# complement.
_INT_TYPES = {DataType.Int8: 8, DataType.Int16: 16, DataType.Int32: 32, DataType.UInt8: 0,
              DataType.UInt16: 0, DataType.UInt32: 0}
_LONG_TYPES = {DataType.Int64: 64, DataType.UInt64: 0, DataType.DateTime: 0}
_FIELD = dict([(t, "int_value") for t in _INT_TYPES] + [(t, "long_value") for t in _LONG_TYPES] + [
    (DataType.Float, "float_value"), (DataType.Double, "double_value"), (DataType.Boolean, "boolean_value"),
    (DataType.String, "string_value"), (DataType.Text, "string_value"), (DataType.UUID, "string_value"),
    (DataType.Bytes, "bytes_value"), (DataType.File, "bytes_value")])
_RANGES = {DataType.Int8: (-0x80, 0x7F), DataType.Int16: (-0x8000, 0x7FFF),
           DataType.Int32: (-0x80000000, 0x7FFFFFFF), DataType.Int64: (-(1 << 63), (1 << 63) - 1),
           DataType.UInt8: (0, 0xFF), DataType.UInt16: (0, 0xFFFF), DataType.UInt32: (0, 0xFFFFFFFF),
           DataType.UInt64: (0, (1 << 64) - 1), DataType.DateTime: (0, (1 << 64) - 1)}

# --- The schema -------------------------------------------------------------------------

_F = descriptor_pb2.FieldDescriptorProto
_PACKAGE = "b4k_mew.sparkplug_b"


def _message(parent, name, fields, oneof=None):
    """Adds message ``name`` to ``parent`` (a file or a message); ``fields``
    are (name, number, type, label, type_name); those named in ``oneof``
    (name, field names) belong to it."""
    message = (parent.message_type if isinstance(parent, descriptor_pb2.FileDescriptorProto)
               else parent.nested_type).add(name=name)
    if oneof:
        message.oneof_decl.add(name=oneof[0])
    for field_name, number, kind, label, type_name in fields:
        field = message.field.add(name=field_name, number=number, type=kind, label=label)
        if type_name:
            field.type_name = "." + _PACKAGE + "." + type_name
        if oneof and field_name in oneof[1]:
            field.oneof_index = 0
    return message


def _schema():
    opt, rep = _F.LABEL_OPTIONAL, _F.LABEL_REPEATED
    U32, U64, FLT, DBL, BOOL, STR, BYT, MSG = (_F.TYPE_UINT32, _F.TYPE_UINT64, _F.TYPE_FLOAT, _F.TYPE_DOUBLE,
                                               _F.TYPE_BOOL, _F.TYPE_STRING, _F.TYPE_BYTES, _F.TYPE_MESSAGE)
    file = descriptor_pb2.FileDescriptorProto(name="b4k_mew_sparkplug_b.proto", package=_PACKAGE,
                                              syntax="proto2")
    payload = _message(file, "Payload", [
        ("timestamp", 1, U64, opt, None), ("metrics", 2, MSG, rep, "Payload.Metric"),
        ("seq", 3, U64, opt, None), ("uuid", 4, STR, opt, None), ("body", 5, BYT, opt, None)])
    payload.extension_range.add(start=6, end=536870912)
    values = ["int_value", "long_value", "float_value", "double_value", "boolean_value", "string_value"]
    _message(payload, "PropertyValue", [
        ("type", 1, U32, opt, None), ("is_null", 2, BOOL, opt, None),
        ("int_value", 3, U32, opt, None), ("long_value", 4, U64, opt, None), ("float_value", 5, FLT, opt, None),
        ("double_value", 6, DBL, opt, None), ("boolean_value", 7, BOOL, opt, None),
        ("string_value", 8, STR, opt, None), ("propertyset_value", 9, MSG, opt, "Payload.PropertySet"),
        ("propertysets_value", 10, MSG, opt, "Payload.PropertySetList")],
        oneof=("value", values + ["propertyset_value", "propertysets_value"]))
    _message(payload, "PropertySet", [
        ("keys", 1, STR, rep, None), ("values", 2, MSG, rep, "Payload.PropertyValue")])
    _message(payload, "PropertySetList", [("propertyset", 1, MSG, rep, "Payload.PropertySet")])
    _message(payload, "MetaData", [
        ("is_multi_part", 1, BOOL, opt, None), ("content_type", 2, STR, opt, None), ("size", 3, U64, opt, None),
        ("seq", 4, U64, opt, None), ("file_name", 5, STR, opt, None), ("file_type", 6, STR, opt, None),
        ("md5", 7, STR, opt, None), ("description", 8, STR, opt, None)])
    _message(payload, "Metric", [
        ("name", 1, STR, opt, None), ("alias", 2, U64, opt, None), ("timestamp", 3, U64, opt, None),
        ("datatype", 4, U32, opt, None), ("is_historical", 5, BOOL, opt, None),
        ("is_transient", 6, BOOL, opt, None), ("is_null", 7, BOOL, opt, None),
        ("metadata", 8, MSG, opt, "Payload.MetaData"), ("properties", 9, MSG, opt, "Payload.PropertySet"),
        ("int_value", 10, U32, opt, None), ("long_value", 11, U64, opt, None), ("float_value", 12, FLT, opt, None),
        ("double_value", 13, DBL, opt, None), ("boolean_value", 14, BOOL, opt, None),
        ("string_value", 15, STR, opt, None), ("bytes_value", 16, BYT, opt, None)],
        oneof=("value", values + ["bytes_value"]))
    return file


def _classes():
    pool = descriptor_pool.DescriptorPool()
    pool.Add(_schema())
    get = getattr(message_factory, "GetMessageClass", None)  # protobuf >= 4.22; GetPrototype before
    factory = None if get is not None else message_factory.MessageFactory(pool)
    classes = []
    for name in ("Payload", "Payload.Metric"):
        descriptor = pool.FindMessageTypeByName(_PACKAGE + "." + name)
        classes.append(get(descriptor) if get is not None else factory.GetPrototype(descriptor))
    return classes


Payload, Metric = _classes()


# --- Values -----------------------------------------------------------------------------

def set_value(target, datatype, value):
    """Stores ``value`` in ``target`` (a Metric or a PropertyValue) as
    ``datatype``; None marks it null. ValueError when it does not fit."""
    if value is None:
        target.is_null = True
        return
    field = _FIELD.get(datatype)
    if field is None:
        raise ValueError("data type %d is not supported" % datatype)
    if field in ("int_value", "long_value"):
        if isinstance(value, bool) or not isinstance(value, int):
            raise ValueError("%r is not an integer" % (value,))
        low, high = _RANGES[datatype]
        if not low <= value <= high:
            raise ValueError("%d is out of the range of data type %d" % (value, datatype))
        value &= (1 << (32 if field == "int_value" else 64)) - 1
    elif field == "boolean_value":
        if not isinstance(value, bool):
            raise ValueError("%r is not a boolean" % (value,))
    elif field in ("float_value", "double_value"):
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise ValueError("%r is not a number" % (value,))
        value = float(value)
    setattr(target, field, value)


def get_value(source, datatype):
    """The value ``source`` (a Metric or a PropertyValue) holds as
    ``datatype``: None when null or when it holds none; ValueError when it
    holds a value of another kind than ``datatype`` asks."""
    if source.is_null:
        return None
    which = source.WhichOneof("value")
    if which is None:
        return None
    field = _FIELD.get(datatype)
    if which != field:
        raise ValueError("a %s where data type %d needs a %s" % (which, datatype, field or "supported type"))
    value = getattr(source, which)
    bits = _INT_TYPES.get(datatype) or _LONG_TYPES.get(datatype)
    if bits:  # two's complement back to a signed number
        value &= (1 << 32 if which == "int_value" else 1 << 64) - 1
        if value >= 1 << (bits - 1):
            value -= 1 << (32 if which == "int_value" else 64)
        low, high = _RANGES[datatype]
        if not low <= value <= high:
            raise ValueError("%d is out of the range of data type %d" % (value, datatype))
    elif datatype in _RANGES:
        low, high = _RANGES[datatype]
        if not low <= value <= high:
            raise ValueError("%d is out of the range of data type %d" % (value, datatype))
    return value


def float32(value):
    """``value`` as the float32 field holds it, so that a change test agrees
    with what was sent."""
    return struct.unpack("<f", struct.pack("<f", value))[0]


def now_ms():
    return int(time.time() * 1000)


# --- The session of an edge node ---------------------------------------------------------

class MetricDef:
    """A metric of a device: its name, alias and data type, and optional
    properties (a dict of name -> str, int or float)."""

    def __init__(self, name, alias, datatype, properties=None):
        self.name, self.alias, self.datatype, self.properties = name, alias, datatype, properties or {}


_PROPERTY_TYPES = ((bool, DataType.Boolean), (int, DataType.Int64), (float, DataType.Double),
                   (str, DataType.String))


def _add_properties(metric, properties):
    for key, value in properties.items():
        metric.properties.keys.append(key)
        entry = metric.properties.values.add()
        kind = next(t for k, t in _PROPERTY_TYPES if isinstance(value, k))
        entry.type = kind
        set_value(entry, kind, value)


class EdgeNode:
    """The Sparkplug session of one edge node: its topics, the seq of every
    message it sends but its death, and bdSeq, which a new MQTT session
    steps and which its NBIRTH and its NDEATH (the will) share.

    Not thread-safe: the caller serialises the messages of one node, since
    their seq must reach the broker in the order they were numbered."""

    def __init__(self, group, node, bdseq=0):
        self.group, self.node = group, node
        self.bdseq = bdseq % SEQ_MODULO
        self._seq = 0
        self.devices = {}  # device id -> {metric name: MetricDef}
        self._by_alias = {}  # alias -> (device id, MetricDef)

    def topic(self, kind, device=None):
        base = "%s/%s/%s/%s" % (NAMESPACE, self.group, kind, self.node)
        return base if device is None else base + "/" + device

    def add_device(self, device, metrics):
        """Declares ``device`` and its MetricDefs; aliases are unique on the node."""
        self.devices[device] = {m.name: m for m in metrics}
        for metric in metrics:
            if metric.alias in self._by_alias:
                raise ValueError("alias %d is used twice" % metric.alias)
            self._by_alias[metric.alias] = (device, metric)

    def _payload(self, timestamp):
        payload = Payload()
        payload.timestamp = timestamp if timestamp is not None else now_ms()
        payload.seq = self._seq
        self._seq = (self._seq + 1) % SEQ_MODULO
        return payload

    def death(self):
        """The NDEATH payload for the will of the session about to start: its
        bdSeq and no seq."""
        payload = Payload()
        payload.timestamp = now_ms()
        metric = payload.metrics.add(name=BDSEQ, datatype=DataType.Int64)
        set_value(metric, DataType.Int64, self.bdseq)
        return payload.SerializeToString()

    def next_session(self):
        """Steps bdSeq for a new MQTT session; the caller sets the will again."""
        self.bdseq = (self.bdseq + 1) % SEQ_MODULO

    def node_birth(self, timestamp=None):
        """The NBIRTH payload: seq starts again at 0."""
        self._seq = 0
        payload = self._payload(timestamp)
        metric = payload.metrics.add(name=BDSEQ, datatype=DataType.Int64, timestamp=payload.timestamp)
        set_value(metric, DataType.Int64, self.bdseq)
        metric = payload.metrics.add(name=REBIRTH, datatype=DataType.Boolean, timestamp=payload.timestamp)
        metric.boolean_value = False
        return payload.SerializeToString()

    def device_birth(self, device, values, timestamp=None):
        """The DBIRTH payload of ``device``: every metric by name and alias
        with its type and its value (``values``: name -> (value, ms) or None
        when not known; a missing or None value is sent null)."""
        payload = self._payload(timestamp)
        for name, definition in self.devices[device].items():
            value, when = (values.get(name) or (None, payload.timestamp))
            metric = payload.metrics.add(name=name, alias=definition.alias, datatype=definition.datatype,
                                         timestamp=when)
            set_value(metric, definition.datatype, value)
            if definition.properties:
                _add_properties(metric, definition.properties)
        return payload.SerializeToString()

    def device_data(self, device, changes, timestamp=None):
        """The DDATA payload of ``device``'s ``changes`` (name, value, ms):
        by alias only, as the births declared them."""
        payload = self._payload(timestamp)
        metrics = self.devices[device]
        for name, value, when in changes:
            definition = metrics[name]
            metric = payload.metrics.add(alias=definition.alias, timestamp=when)
            set_value(metric, definition.datatype, value)
        return payload.SerializeToString()

    def device_death(self, device, timestamp=None):
        return self._payload(timestamp).SerializeToString()

    def command(self, data, device=None):
        """The writes a DCMD (``device``) or NCMD (None) payload asks for:
        a list of (MetricDef or the metric's name, value or ValueError).
        ValueError when the payload cannot be decoded."""
        payload = Payload()
        try:
            consumed = payload.MergeFromString(data)
        except Exception as error:  # DecodeError; its class moved between releases
            raise ValueError("not a Sparkplug B payload: %s" % error) from None
        if consumed is not None and consumed != len(data):
            raise ValueError("not a Sparkplug B payload: %d bytes left over" % (len(data) - consumed))
        known = self.devices.get(device, {}) if device is not None else {}
        writes = []
        for metric in payload.metrics:
            definition = None
            if metric.HasField("name"):
                definition = known.get(metric.name)
            elif metric.HasField("alias"):
                owner, definition = self._by_alias.get(metric.alias, (None, None))
                if owner != device:
                    definition = None
            if definition is None:
                name = metric.name if metric.HasField("name") else "alias %d" % metric.alias
                if device is None and name == REBIRTH:
                    writes.append((REBIRTH, _typed(metric, DataType.Boolean)))
                else:
                    writes.append((name, ValueError("unknown metric")))
                continue
            writes.append((definition, _typed(metric, definition.datatype)))
        return writes


def _typed(metric, datatype):
    """The value of a metric in a command, or the ValueError saying why not."""
    if metric.HasField("datatype") and metric.datatype != datatype:
        return ValueError("data type %d where the metric has %d" % (metric.datatype, datatype))
    try:
        value = get_value(metric, datatype)
    except ValueError as error:
        return error
    return ValueError("no value") if value is None else value


def decode(data):
    """A Payload from bytes (for tests and tools)."""
    payload = Payload()
    payload.ParseFromString(data)
    return payload
