"""The ``b4k-mew`` command: read, write, watch and scan the stations on a
serial line or behind an Ethernet unit, ask a controller for its status,
simulate a rack of devices, share a serial line with TCP masters, or run a
demonstration that needs no hardware.

    b4k-mew read  --port /dev/ttyUSB0 DT100 --count 4
    b4k-mew read  --port /dev/ttyUSB0 DT300 --type float32
    b4k-mew write --port /dev/ttyUSB0 --station 2 R0010 on
    b4k-mew write --port /dev/ttyUSB0 Y0000=on R0010=off
    b4k-mew status --port /dev/ttyUSB0 --decimal-stations --station EE
    b4k-mew scan  --port /dev/ttyUSB0
    b4k-mew watch --port /dev/ttyUSB0 DT100 WX0 --interval 0.5
    b4k-mew simulate --port /dev/ttyUSB1 --device 1:xy --device 2:plc
    b4k-mew read  --port tcp://192.168.1.5:9094 DT100
    b4k-mew simulate --listen tcp://127.0.0.1:9094 --device 1:plc
    b4k-mew gateway --serial /dev/ttyUSB0 --listen tcp://0.0.0.0:9094
    b4k-mew demo

Exit status: 0 on success, 1 when the line fails (a time-out, an error
response, a lost connection), 2 for bad arguments or a port or address that
cannot be opened, 130 when interrupted.
"""

try:
    from .errors import ERROR_LINE_LIMIT
    from .main import build_parser, main
except BaseException as _error:
    from .._startup import end_if_interrupted

    end_if_interrupted(_error)
    raise

__all__ = ["ERROR_LINE_LIMIT", "build_parser", "main"]
