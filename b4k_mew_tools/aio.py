"""asyncio access to a line: ``AsyncMewMaster``, a ``b4k_mew.MewMaster`` whose
operations are coroutines (also known as ``b4k_mew.AsyncMewMaster``).

    async with AsyncMewMaster("/dev/ttyUSB0", query_timeout=0.5) as master:
        value = await master.get_uint16(1, "DT100")
        await master.set_coil(1, "Y10", True)

Every operation of ``MewMaster`` is here under the same name, with the same
arguments, results and exceptions. The calls go to one worker thread of the
master, in C++, which sends them one at a time in the order they were made
and never holds the interpreter lock while it waits for the line; a result
wakes the event loop through a descriptor the loop watches. Arguments are
converted, and whatever the master refuses before sending (TypeError,
ValueError, struct.error, AssertionError) is raised before anything is
queued.

Cancelling an await, or ``asyncio.wait_for`` running out, frees the master
for the next call: a call still queued is never sent; the one on the line
goes on to its answer or its time-out, and that answer is dropped, never
taken by another call. ``close()`` fails the queued calls with OSError; a
call after it raises OSError. A master that is dropped closes itself.
"""

import inspect

import b4k_mew

__all__ = ["AsyncMewMaster"]

_P = inspect.Parameter

# Every operation with its parameters, as MewMaster names them.
_OPERATIONS = {
    "get_coil": ("station", "name"),
    "get_coil_uint16": ("station", "name"),
    "get_multi_coil_uint16": ("station", "name", "count"),
    "get_uint16": ("station", "name"),
    "get_multi_uint16": ("station", "name", "count"),
    "get_int16": ("station", "name"),
    "get_uint32": ("station", "name"),
    "get_int32": ("station", "name"),
    "get_multi_uint32": ("station", "name", "count"),
    "get_multi_int32": ("station", "name", "count"),
    "set_coil": ("station", "name", "value"),
    "set_coil_uint16": ("station", "name", "value"),
    "set_multi_coil_uint16": ("station", "name", "values"),
    "set_uint16": ("station", "name", "value"),
    "set_multi_uint16": ("station", "name", "values"),
    "set_uint32": ("station", "name", "value"),
    "set_int16": ("station", "name", "value"),
    "set_int32": ("station", "name", "value"),
    "set_multi_int16": ("station", "name", "values"),
    "set_multi_uint32": ("station", "name", "values"),
    "set_multi_int32": ("station", "name", "values"),
    "get_float32": ("station", "name"),
    "get_multi_float32": ("station", "name", "count"),
    "set_float32": ("station", "name", "value"),
    "set_multi_float32": ("station", "name", "values"),
    "get_coils": ("station", "names"),
    "set_coils": ("station", "contacts"),
    "get_status": ("station",),
    "get_preset_values": ("station", "start", "count"),
    "set_preset_values": ("station", "start", "values"),
    "get_elapsed_values": ("station", "start", "count"),
    "set_elapsed_values": ("station", "start", "values"),
    "query": ("command",),
}


def _description(name):
    """The blocking operation's description, without pybind11's signature line."""
    doc = getattr(b4k_mew.MewMaster, name).__doc__ or ""
    lines = doc.strip().splitlines()
    if lines and lines[0].startswith(name + "("):
        lines = lines[1:]
    return "\n".join(lines).strip()


def _operation(name, parameters):
    submit = getattr(b4k_mew._AsyncCore, name)

    async def operation(self, *args, **kwargs):
        future, ticket = submit(self._core, *args, **kwargs)
        try:
            return await future
        except BaseException:
            # Cancelled (or the task went away): a call still queued is
            # taken out; one on the line finishes and its answer is dropped.
            self._core.cancel(ticket)
            raise

    operation.__name__ = name
    operation.__qualname__ = "AsyncMewMaster." + name
    operation.__signature__ = inspect.Signature(  # type: ignore[attr-defined]
        [_P("self", _P.POSITIONAL_OR_KEYWORD)] + [_P(p, _P.POSITIONAL_OR_KEYWORD) for p in parameters])
    operation.__doc__ = _description(name) + "\n\nA coroutine: awaits the answer without blocking the loop."
    return operation


class AsyncMewMaster:
    """The master station for asyncio programs: the operations of
    ``b4k_mew.MewMaster`` as coroutines.

    Constructed like ``MewMaster``: a port name ("/dev/ttyUSB0",
    "tcp://host:port") or a channel object, with ``query_timeout``,
    ``frame_limit``, ``max_read_words``, ``decimal_stations`` and the serial
    settings as keywords. The port opens here. Use ``async with`` (or
    ``with``), or call ``close()``."""

    def __init__(self, *args, **kwargs):
        master = b4k_mew.MewMaster(*args, **kwargs)
        try:
            self._core = b4k_mew._AsyncCore(master)
        except BaseException:
            master.close()
            raise

    def close(self):
        """Fails the calls still queued with OSError, ends the one on the
        line (OSError too), closes the port and stops the worker. Nothing
        when closed already."""
        self._core.close()

    @property
    def closed(self):
        return self._core.closed

    @property
    def pending(self):
        """Calls waiting behind the one on the line."""
        return self._core.pending

    @property
    def master(self):
        """The ``MewMaster`` the calls run on, for settings and the
        blocking operations (which wait for the line like any other call)."""
        return self._core.master

    # The line settings of the master underneath.
    frame_limit = property(lambda self: self._core.master.frame_limit,
                           lambda self, value: setattr(self._core.master, "frame_limit", value),
                           doc=b4k_mew.MewMaster.frame_limit.__doc__)
    max_read_words = property(lambda self: self._core.master.max_read_words,
                              lambda self, value: setattr(self._core.master, "max_read_words", value),
                              doc=b4k_mew.MewMaster.max_read_words.__doc__)
    decimal_stations = property(lambda self: self._core.master.decimal_stations,
                                lambda self, value: setattr(self._core.master, "decimal_stations", value),
                                doc=b4k_mew.MewMaster.decimal_stations.__doc__)
    query_timeout = property(lambda self: self._core.master._query_timeout,
                             lambda self, value: setattr(self._core.master, "_query_timeout", value),
                             doc="Seconds a call waits for its answer (None: without limit).")

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc):
        self.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        state = "closed" if self.closed else "%d pending" % self.pending
        return "<AsyncMewMaster on %r, %s>" % (self._core.master._channel, state)


for _name, _parameters in _OPERATIONS.items():
    setattr(AsyncMewMaster, _name, _operation(_name, _parameters))
del _name, _parameters
