"""demo: the library at work on a virtual line, no hardware needed."""

import contextlib

import b4k_mew

from ..simulator import Simulator
from ..virtual_line import VirtualLine
from .line import _print
from .options import _Formatter
from .scan import DEFAULT_SLAVE_STATION, format_table, run_scan, scan_rows, scan_summary, ScanningManager

def cmd_demo(args):
    rack = [(1, "xy"), (2, "xy"), (3, "axis"), (4, "ad"), (5, "plc")]
    query_timeout = 0.2
    say = _print
    with contextlib.ExitStack() as stack:
        line = stack.enter_context(VirtualLine())
        say("b4k-mew demo: a simulated rack on a virtual serial line")
        say("  devices on %s, master on %s" % (line.port_a, line.port_b))
        say("")

        simulator = stack.enter_context(Simulator(b4k_mew.MewSerial(port=line.port_a)))
        for station, kind in rack:
            simulator.add_device(station, kind, firmware=0x0102)
        simulator.devices[1].set_inputs(0x00A5)
        plc = simulator.devices[5]
        plc.write_registers("D", 0, [100, 200, 300])
        simulator.start()
        say("== the simulated rack")
        for station, kind in rack:
            say("  station %d: %s" % (station, kind))
        say("  station 1 inputs 0x00A5; station 5 registers DT0..DT2 = 100 200 300")
        say("  (station 5 has no type register, so a scan reports it as unknown)")
        say("")

        say("== scan with InstManager.initialize_inst_list()")
        manager = ScanningManager(
            b4k_mew.MewSerial(port=line.port_b),
            query_timeout=query_timeout,
            slave_station=DEFAULT_SLAVE_STATION,
            progress=lambda station: say("  scanning station %d ..." % station),
        )
        stack.callback(manager.close)
        run_scan(manager)
        for text in format_table(("station", "kind", "firmware", "inputs", "outputs"), scan_rows(manager)):
            say("  " + text)
        say("  " + scan_summary(manager, query_timeout))
        say("")

        say("== registers of station 5 with MewMaster calls")
        master = manager  # the manager is a full MewMaster as well
        say("  get_multi_uint16(5, 'DT0', 3)     = %s" % master.get_multi_uint16(5, "DT0", 3))
        master.set_uint16(5, "DT100", 4660)
        say("  set_uint16(5, 'DT100', 4660)      -> get_uint16 = %d" % master.get_uint16(5, "DT100"))
        master.set_int16(5, "DT101", -1234)
        say("  set_int16(5, 'DT101', -1234)      -> get_int16 = %d" % master.get_int16(5, "DT101"))
        master.set_uint32(5, "DT102", 305419896)
        say("  set_uint32(5, 'DT102', 305419896) -> get_uint32 = %d" % master.get_uint32(5, "DT102"))
        master.set_int32(5, "DT104", -2)
        say("  set_int32(5, 'DT104', -2)         -> get_int32 = %d" % master.get_int32(5, "DT104"))
        words = master.get_multi_uint16(5, "DT100", 6)
        say("  the same six registers as words: %s" % " ".join("0x%04X" % w for w in words))
        master.set_coil(5, "R0010", True)
        say("  set_coil(5, 'R0010', True)        -> get_coil = %s" % master.get_coil(5, "R0010"))
        say("  get_coil_uint16(5, 'WR1')         = 0x%04X (R0010 is bit 0 of word WR1)"
            % master.get_coil_uint16(5, "WR1"))
        master.set_coil_uint16(5, "WR2", 0x8001)
        say("  set_coil_uint16(5, 'WR2', 0x8001) -> get_coil(5, 'R002F') = %s" % master.get_coil(5, "R002F"))
        say("  the simulator holds DT100 = %d and WR1 = 0x%04X"
            % (plc.read_registers("DT", 100, 1)[0], plc.read_words("R", 1, 1)[0]))
        say("")

        say("== outputs through the flat lists")
        out1, out2 = simulator.devices[1], simulator.devices[2]
        manager.y[3] = True
        say("  mgr.y[3] = True      -> station 1 outputs 0x%04X" % out1.outputs)
        manager.y[17] = True
        say("  mgr.y[17] = True     -> station 2 outputs 0x%04X (point 1 of the second XY device)" % out2.outputs)
        manager.wy[1] = 0x00F0
        say("  mgr.wy[1] = 0x00F0   -> station 2 outputs 0x%04X" % out2.outputs)
        writes = out1.writes
        manager.y[3] = True
        sent = out1.writes - writes
        say("  mgr.y[3] = True again: %d frame%s sent (the copy already shows it on)"
            % (sent, "" if sent == 1 else "s"))
        say("  mgr.y[3] = %s, mgr.wy[0] = 0x%04X, mgr.wy[1] = 0x%04X" % (manager.y[3], manager.wy[0], manager.wy[1]))
        say("")

        say("== inputs: the device changes, the manager is told")
        xy = manager._xy_list[0]
        out1.set_inputs(0x005A)
        say("  simulator: station 1 inputs 0x00A5 -> 0x005A")
        say("  mgr.wx[0] = 0x%04X (the copy, until it is updated)" % manager.wx[0])
        word = manager.get_coil_uint16(1, "WX0")
        new, old = xy.on_update_wx(word)
        say("  get_coil_uint16(1, 'WX0') = 0x%04X; on_update_wx -> new 0x%04X, old 0x%04X" % (word, new, old))
        say("  mgr.wx[0] = 0x%04X; mgr.x[0..7] = %s"
            % (manager.wx[0], " ".join(str(int(manager.x[i])) for i in range(8))))
        say("")
    say("demo finished")
    return 0


DEMO_EPILOG = """\
example:
  b4k-mew demo

Makes a virtual serial line, simulates a rack on one end (two XY modules, an
axis, an analogue module and a PLC station) and drives it from the other end
with InstManager and MewMaster calls, printing what happens. Needs no
hardware and finishes in a few seconds.
"""


def add_commands(commands, serial_parent, master_parent):
    """Adds demo."""
    demo = commands.add_parser(
        "demo", formatter_class=_Formatter, epilog=DEMO_EPILOG,
        help="a demonstration on a virtual line, no hardware needed",
        description="Run a demonstration against simulated devices.")
    demo.set_defaults(handler=cmd_demo)
