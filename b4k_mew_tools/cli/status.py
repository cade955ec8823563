"""status: what a controller says of itself."""

import b4k_mew

from .addresses import _garbled_answers_fail_the_line
from .line import _print, opened
from .options import _Formatter, master_settings


@_garbled_answers_fail_the_line
def read_status(master, station):
    return master.get_status(station)


def status_lines(status):
    """One "name: value" line per field. The codes are shown as the frame
    carries them, in hexadecimal, since their meanings differ from one
    controller family to the next; the mode and the capacity are the same
    everywhere."""
    return [
        "cpu type: 0x%02X" % status.cpu_type,
        "version: 0x%02X" % status.version,
        "capacity: %dK" % status.capacity,
        "mode: %s (flags 0x%02X)" % ("RUN" if status.run else "PROG", status.mode),
        "link: 0x%02X" % status.link,
        "error flags: 0x%02X" % status.error_flags,
        "self-diagnosis: %d" % status.self_diagnosis,
    ]


def cmd_status(args):
    settings = master_settings(args)
    with opened(b4k_mew.MewMaster, args, **settings) as master:
        status = read_status(master, args.station)
    for line in status_lines(status):
        _print(line)
    return 0


STATUS_EPILOG = """\
examples:
  b4k-mew status --port /dev/ttyUSB0
  b4k-mew status --port /dev/ttyUSB0 --decimal-stations --station EE

Prints the controller's status, one field a line:
  cpu type: 0x20
  version: 0x25
  capacity: 32K
  mode: RUN (flags 0x01)
  link: 0x00
  error flags: 0x00
  self-diagnosis: 0
The mode is RUN when bit 0 of its flags is set, PROG otherwise. A station
that is not a controller answers with an error response (exit status 1).
"""


def add_commands(commands, serial_parent, master_parent):
    """Adds status."""
    status = commands.add_parser(
        "status", parents=[serial_parent, master_parent], formatter_class=_Formatter, epilog=STATUS_EPILOG,
        help="read a controller's type, mode and error flags", description="Read a controller's status.")
    status.set_defaults(handler=cmd_status)
