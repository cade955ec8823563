"""A line at run time: its master, its poller and how a point is written."""

import b4k_mew


class Line:
    def __init__(self, config, on_change):
        self.config = config
        self.by_poll_name = {p.key: p for p in config.points}
        port = config.port
        if port.lower().startswith(("tcp://", "socket://")):
            self.master = b4k_mew.MewMaster(port, query_timeout=config.query_timeout)
        else:
            self.master = b4k_mew.MewMaster(b4k_mew.MewSerial(port=port, **config.serial),
                                            query_timeout=config.query_timeout)
        try:
            if config.frame_limit is not None:
                self.master.frame_limit = config.frame_limit
            self.master.decimal_stations = config.decimal_stations
            self.poller = b4k_mew.Poller(self.master, on_change=on_change)
            for point in config.points:
                self.poller.add(point.station, point.address, point.type, point.period, point.key)
        except BaseException:
            self.master.close()
            raise

    def read(self, point):
        """The value of ``point`` read from its controller now, as published."""
        station, address, master = point.station, point.address, self.master
        if point.type == "bool":
            raw = master.get_coil(station, address)
        elif address.startswith("W"):
            raw = master.get_coil_uint16(station, address)
            if point.type == "int16" and raw >= 0x8000:
                raw -= 0x10000
        else:
            raw = getattr(master, "get_" + point.type)(station, address)
        return point.scaled(raw)

    def write(self, point, raw):
        station, address, master = point.station, point.address, self.master
        if point.type == "bool":
            master.set_coil(station, address, raw)
        elif address.startswith("W"):
            master.set_coil_uint16(station, address, raw & 0xFFFF)
        else:
            getattr(master, "set_" + point.type)(station, address, raw)

    def close(self):
        self.poller.close()
        self.master.close()
