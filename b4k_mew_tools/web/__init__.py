"""Live views in the browser: the simulator's stations and a poller's points.

    from b4k_mew_tools.web import LiveServer, SimulatorView
    server = LiveServer(SimulatorView(simulator), "127.0.0.1", 8080)
    ...
    server.close()

The page, its style and its script come from this package; nothing is
fetched from elsewhere. The server binds to the address given (the loopback
by default), pushes the view's state to every open page as server-sent
events, and takes the changes a page makes as small JSON posts.
"""

from .server import LiveServer, Refused
from .simulator_view import SimulatorView
from .watch_view import WatchView

__all__ = ["LiveServer", "Refused", "SimulatorView", "WatchView"]
