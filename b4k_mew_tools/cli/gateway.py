"""gateway: TCP masters sharing one serial line."""

import contextlib

import b4k_mew

from .errors import CliError
from .line import _ended_normally, _print, describe_port, open_channel, parse_listen, run_until_stopped, tcp_url
from .options import _Formatter, _seconds, _SECONDS_RANGE, _serial_parent

DEFAULT_LISTEN = "127.0.0.1:9094"


def cmd_gateway(args):
    # The address first: a mistyped one costs nothing on the line.
    host, port = parse_listen(args.listen)
    with contextlib.ExitStack() as stack:
        channel = open_channel(args)
        try:
            line = b4k_mew.MewMasterBase(channel, query_timeout=args.timeout)
        except BaseException:
            channel.close()
            raise
        # Closed last: the gateway's worker may be in the middle of a query.
        stack.callback(line.close)
        try:
            gateway = b4k_mew.Gateway(line, host, port)
        except OSError as error:
            # "cannot listen on HOST:PORT: reason".
            raise CliError(str(error), 2) from None
        # Its worker is no daemon thread: without this the process would
        # not end.
        stack.callback(gateway.close)
        # Closed first as well: a query that waits for a silent device ends
        # now, not at its time-out, and the gateway's close with it.
        stack.callback(line.close)
        # Only now does anything read the line: a gateway that cannot have
        # its address (another one holds it, say) takes no answer meant for
        # whoever else is on the line.
        line.start()
        try:
            _print("gateway: TCP masters on %s share %s, %g s time-out per command"
                   % (tcp_url(host, gateway.port), describe_port(args), args.timeout))
            _print("running until Ctrl-C")
            run_until_stopped()
        except KeyboardInterrupt:
            interrupted = not _ended_normally()
    _print("stopped")
    if interrupted:
        raise KeyboardInterrupt
    return 0


GATEWAY_EPILOG = """\
examples:
  b4k-mew gateway --serial /dev/ttyUSB0 --listen tcp://0.0.0.0:9094
  b4k-mew gateway --serial /dev/ttyUSB0 --baudrate 19200 --parity O --listen 9094
  b4k-mew gateway --serial /dev/ttyUSB0 --timeout 0.3          (loopback, port 9094)

Then, from this machine or another:
  b4k-mew read --port tcp://GATEWAY-HOST:9094 --station 2 DT100

Masters connect over TCP, each on its own connection, and their commands go
on the serial line one at a time, in the order they came; each answer goes
back to the master that asked, a long answer frame by frame as it asks for
the next. What is not a well-formed command never reaches the line. A
command that the line does not answer within --timeout gets no answer: the
master's own time-out reports it, and the gateway notes it on stderr.

--listen takes tcp://HOST:PORT, HOST:PORT, :PORT or PORT (default %s);
without a host it listens on the loopback only, so 0.0.0.0 must be asked
for to serve the network. Port 0 takes a free port, which the first line
shows. Runs until Ctrl-C (exit 130) or kill (exit 0); an address that
cannot be had (in use, not of this machine) or a serial port that cannot be
opened exits with 2.
""" % DEFAULT_LISTEN


def add_commands(commands, serial_parent, master_parent):
    """Adds gateway."""
    line_parent = _serial_parent(name="--serial", port_help=(
        "serial port of the line to share, e.g. /dev/ttyUSB0 or COM3"))
    gateway = commands.add_parser(
        "gateway", parents=[line_parent], formatter_class=_Formatter, epilog=GATEWAY_EPILOG,
        help="let TCP masters share a serial line",
        description="Share a serial line with masters that connect over TCP.")
    gateway.add_argument("--listen", default=DEFAULT_LISTEN, metavar="tcp://HOST:PORT",
                         help="where masters connect; HOST defaults to 127.0.0.1 (default %s)" % DEFAULT_LISTEN)
    gateway.add_argument("--timeout", type=_seconds, default=1.0,
                         help="seconds to wait for the line's answer to each command, %s (default 1.0)"
                         % _SECONDS_RANGE)
    gateway.set_defaults(handler=cmd_gateway)
