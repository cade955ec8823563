"""Find the remote I/O devices on a line and drive their points.

    python3 scan_rack.py PORT

PORT is any port the stations take (/dev/ttyUSB0, /dev/pts/3,
tcp://host:port, ...).

Try it without hardware: "b4k-mew simulate --port A --device 1:xy
--device 2:xy --device 3:axis" on one end of a pair of ports.
"""
import sys

import b4k_mew

if len(sys.argv) != 2:
    sys.exit("usage: python3 scan_rack.py PORT")
port = sys.argv[1]
# The manager is a master and a slave at once: slave_station is the number
# it answers to itself, so pick one that none of the devices uses. A short
# query_timeout makes the scan's last, unanswered, station quick.
try:
    manager = b4k_mew.InstManager(port, query_timeout=0.3, slave_station=99)
except (OSError, ValueError) as error:  # no such port, refused address, unknown name
    print("cannot open %s: %s" % (port, error), file=sys.stderr)
    sys.exit(2)
try:
    # Asks stations 1, 2, 3, ... for their type until one does not answer.
    manager.initialize_inst_list()
    print("devices: %d (xy %d, axis %d, ad %d)"
          % (manager.inst_count, manager.xy_count, manager.axis_count, manager.ad_count))
    for axis in manager.axis:
        print("axis at station %d, firmware 0x%04X" % (axis.station, axis.firmware_version))

    # The points of all XY devices form one flat list, 16 per device in
    # station order: y[16] is output 0 of the second XY device.
    for index in range(manager.xy_count):
        print("xy #%d: inputs 0x%04X outputs 0x%04X" % (index, manager.wx[index], manager.wy[index]))
    if manager.xy_count:
        print("x[0] = %s" % manager.x[0])
        # Writes go to the device only when the value changes.
        manager.y[0] = True
        manager.wy[manager.xy_count - 1] = 0x00F0
        print("outputs now: %s" % ", ".join("0x%04X" % manager.wy[i] for i in range(manager.xy_count)))
except OSError as error:
    print("failed: %s" % error)
    sys.exit(1)
finally:
    manager.close()
