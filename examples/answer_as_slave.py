"""Answer as slave station 1 with registers of your own. The station stays
a master as well: it could query other stations on the same line.

    python3 answer_as_slave.py PORT [SECONDS]

PORT is any port the stations take (/dev/ttyUSB0, /dev/pts/3,
tcp://host:port, ...). Then, from the other end of the line:
"b4k-mew read --port B DT0 --count 3".
"""
import sys
import threading
import time
from typing import Any, List

import b4k_mew


class Responder(b4k_mew.MewFullDuplex):
    """Serves data registers DT0..DT99. Contacts keep the default handlers
    (reads give 0, writes are acknowledged and dropped)."""

    def __init__(self, channel: str) -> None:
        # Set up the data first: the station answers as soon as it exists,
        # and the handlers run on its own worker thread, hence the lock.
        self.lock = threading.Lock()
        self.registers = [0] * 100
        self.registers[0:3] = [11, 22, 33]
        super().__init__(channel, slave_station=1)

    # Register names arrive as the frame writes them: "D00010" is DT10.
    def on_get_multi_uint16(self, name: str, count: int) -> List[int]:
        start = int(name[1:])
        with self.lock:
            return self.registers[start:start + count]

    def on_set_multi_uint16(self, name: str, values: List[int]) -> Any:
        start = int(name[1:])
        with self.lock:
            self.registers[start:start + len(values)] = values
        print("DT%d <- %s" % (start, values), flush=True)


if len(sys.argv) not in (2, 3):
    sys.exit("usage: python3 answer_as_slave.py PORT [SECONDS]")
port = sys.argv[1]
seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 60.0
try:
    responder = Responder(port)
except (OSError, ValueError) as error:  # no such port, refused address, unknown name
    print("cannot open %s: %s" % (port, error), file=sys.stderr)
    sys.exit(2)
print("answering as station 1 on %s for %g s" % (port, seconds), flush=True)
try:
    time.sleep(seconds)
except KeyboardInterrupt:
    pass
finally:
    responder.close()  # its threads would keep the program alive
print("DT0..DT2 at the end: %s" % responder.registers[0:3])
