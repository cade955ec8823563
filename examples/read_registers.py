"""Read a few registers and contacts from a station with MewMaster.

    python3 read_registers.py PORT [STATION]

PORT is any port the stations take: /dev/ttyUSB0, COM3, /dev/pts/3,
/dev/serial/by-id/..., tcp://192.168.1.5:9094, rfc2217://host:port, ...
Try it without hardware: "b4k-mew simulate --listen 9094 --device
1:plc:DT100=4660", then "python3 read_registers.py tcp://127.0.0.1:9094".
"""
import sys

import b4k_mew

if len(sys.argv) not in (2, 3):
    sys.exit("usage: python3 read_registers.py PORT [STATION]")
port = sys.argv[1]
station = int(sys.argv[2]) if len(sys.argv) > 2 else 1

try:
    # The master opens the port and starts its receiver thread at once;
    # query_timeout is how long each read waits for the device's answer.
    master = b4k_mew.MewMaster(port, query_timeout=1.0)
except (OSError, ValueError) as error:  # no such port, refused address, unknown name
    print("cannot open %s: %s" % (port, error), file=sys.stderr)
    sys.exit(2)
try:
    # Four data registers in one command, as unsigned 16-bit words.
    values = master.get_multi_uint16(station, "DT100", 4)
    for offset, value in enumerate(values):
        print("DT%d = %d" % (100 + offset, value))
    # The same registers seen as signed, and as one 32-bit value (low word
    # at the lower address).
    print("DT101 as int16 = %d" % master.get_int16(station, "DT101"))
    print("DT102 as uint32 = %d" % master.get_uint32(station, "DT102"))
    # One internal relay, and the word of 16 relays it belongs to.
    print("R0010 = %s" % master.get_coil(station, "R0010"))
    print("WR1 = 0x%04X" % master.get_coil_uint16(station, "WR1"))
except OSError as error:
    # A silent station raises after query_timeout; a device that refuses
    # the command raises at once with its error code.
    print("failed: %s" % error)
    sys.exit(1)
finally:
    # The station's threads keep the program alive until it is closed.
    master.close()
