"""scan: the remote I/O devices on a line."""

import sys

import b4k_mew

from .addresses import parse_integer
from .errors import line_failure, MAX_STATION, one_line, option
from .line import _print, _stop_requested, opened
from .options import _Formatter, _seconds, _SECONDS_RANGE, add_line_format_options, line_format

KIND_NAMES = {
    b4k_mew.INST_TYPE_UNKNOWN: "unknown",
    b4k_mew.INST_TYPE_XY: "xy",
    b4k_mew.INST_TYPE_Axis: "axis",
    b4k_mew.INST_TYPE_AD: "ad",
}

# A manager must have a slave station number of its own; one that no device
# on an ordinary line uses keeps it from answering in a device's place.
DEFAULT_SLAVE_STATION = 255


class ScanningManager(b4k_mew.InstManager):
    """An instrument manager that reports each station as its scan reaches
    it. The scan reads every station's type through the manager's own
    ``get_uint16``, so overriding it sees the scan's progress."""

    def __init__(self, *args, progress=None, **kwargs):
        super().__init__(*args, **kwargs)
        self.progress = progress
        self.last_error = None
        self.interrupted = False

    def get_uint16(self, station, name):
        try:
            if name == "S0" and self.progress is not None:
                self.progress(station)
            return super().get_uint16(station, name)
        except KeyboardInterrupt:
            # The scan ends quietly at any error; remember that this one was
            # the user's, to stop there.
            self.interrupted = True
            raise
        except Exception as error:
            self.last_error = (station, error)
            raise


def run_scan(manager):
    manager.initialize_inst_list()
    # Even an interruption that met no override of ours stops the scan: the
    # list it made is not the rack.
    if manager.interrupted or _stop_requested.is_set():
        raise KeyboardInterrupt


def scan_rows(manager):
    """One row per instrument: station, kind, firmware, inputs, outputs."""
    rows = []
    for inst in manager._all_list:
        kind = KIND_NAMES.get(inst.inst_type, str(inst.inst_type))
        if inst.inst_type == b4k_mew.INST_TYPE_XY:
            inputs, outputs = "0x%04X" % inst.get_wx(), "0x%04X" % inst.get_wy()
        else:
            inputs = outputs = "-"
        rows.append((str(inst.station), kind, "0x%04X" % inst.firmware_version, inputs, outputs))
    return rows


def format_table(header, rows):
    widths = [max(len(str(cell)) for cell in column) for column in zip(header, *rows)]
    lines = []
    for row in [header] + rows:
        cells = [str(cell).rjust(w) if i == 0 else str(cell).ljust(w) for i, (cell, w) in enumerate(zip(row, widths))]
        lines.append("  ".join(cells).rstrip())
    return lines


def scan_summary(manager, query_timeout):
    counts = [("xy", manager.xy_count), ("axis", manager.axis_count), ("ad", manager.ad_count)]
    unknown = manager.inst_count - sum(n for _, n in counts)
    counts.append(("unknown", unknown))
    found = "%d device%s" % (manager.inst_count, "" if manager.inst_count == 1 else "s")
    detail = ", ".join("%d %s" % (n, kind) for kind, n in counts)
    line = "%s: %s" % (found, detail)
    if manager.last_error is not None:
        station, error = manager.last_error
        line += "; stopped at station %d: %s" % (station, one_line(line_failure(error, query_timeout)))
    return line


def print_scan(manager, query_timeout):
    rows = scan_rows(manager)
    if rows:
        for line in format_table(("station", "kind", "firmware", "inputs", "outputs"), rows):
            _print(line)
    _print(scan_summary(manager, query_timeout))


def _progress_printer(stream):
    # On a terminal the progress line is rewritten in place; in a log or a
    # pipe each station gets a line of its own.
    if stream.isatty():
        def show(station):
            stream.write("\rscanning station %d ..." % station)
            stream.flush()

        def done():
            stream.write("\r\033[K")
            stream.flush()
    else:
        def show(station):
            _print("scanning station %d ..." % station, stream=stream)

        def done():
            pass
    return show, done


def cmd_scan(args):
    show, done = _progress_printer(sys.stderr) if not args.quiet else (None, lambda: None)
    with opened(
        ScanningManager, args, query_timeout=args.timeout, slave_station=args.slave_station, progress=show,
        **line_format(args)
    ) as manager:
        try:
            run_scan(manager)
        finally:
            done()
        print_scan(manager, args.timeout)
    return 0


SCAN_EPILOG = """\
examples:
  b4k-mew scan --port /dev/ttyUSB0
  b4k-mew scan --port /dev/ttyUSB0 --timeout 0.3 > rack.txt

Asks stations 1, 2, 3, ... for their type ("S0") until one does not answer,
and prints one row per device: station, kind (xy, axis, ad, unknown),
firmware word, and for XY devices the input and output words. The scan
ends at the first station that does not answer, which costs one --timeout.
Progress lines go to stderr.
"""


def add_commands(commands, serial_parent, master_parent):
    """Adds scan."""
    scan = commands.add_parser(
        "scan", parents=[serial_parent], formatter_class=_Formatter, epilog=SCAN_EPILOG,
        help="find the remote I/O devices on the line", description="Scan stations 1, 2, 3, ... for devices.")
    scan.add_argument("--timeout", type=_seconds, default=1.0,
                      help="seconds to wait for each answer, %s (default 1.0)" % _SECONDS_RANGE)
    scan.add_argument("--slave-station", type=option(parse_integer, 1, MAX_STATION), default=DEFAULT_SLAVE_STATION,
                      help="the scanner's own station number, which it answers to, 1 to %d (default %d)"
                      % (MAX_STATION, DEFAULT_SLAVE_STATION))
    scan.add_argument("--quiet", "-q", action="store_true", help="no progress lines")
    add_line_format_options(scan.add_argument_group("line format"))
    scan.set_defaults(handler=cmd_scan)
