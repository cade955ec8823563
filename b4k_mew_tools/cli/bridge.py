"""bridge: the points of some lines on an MQTT broker, and writes back."""

import logging
import sys

from .errors import CliError
from .line import _ended_normally, _print, run_until_stopped

BRIDGE_EPILOG = """\
examples:
  b4k-mew bridge examples/bridge.toml
  mosquitto_sub -v -t 'plant/#'                       (what it publishes)
  mosquitto_pub -t plant/line1/1/setpoint/set -m 42   (a write)

CONFIG is a TOML file: [broker] host, port, prefix, client_id, keepalive,
protocol ("3.1.1" or "5"), clean_session, username, password or
password_file or password_env; [broker.tls] ca_file, cert_file, key_file,
check_server_name; [publish] mode ("json" or "sparkplug"), qos, on_change,
every, grouped, [publish.sparkplug] group, node, [publish.discovery] prefix;
[[line]] name, port (serial, tcp://host:port or tcp://[v6]:port), baudrate,
bytesize, parity, stopbits, frame_limit, decimal_stations, query_timeout,
write_timeout; [[line.point]] station, name, address, type, period, scale,
unit, writable, qos. examples/bridge.toml documents every key.

Topics: PREFIX/LINE/STATION/POINT (retained JSON {"value", "time",
"quality", "unit"}), PREFIX/LINE/STATION/POINT/set (writes, never taken
from a retained message), PREFIX/LINE/STATION/$status and $status/detail,
PREFIX/$bridge/CLIENT_ID ("online"/"offline") and
PREFIX/$bridge/CLIENT_ID/error (refused writes). Each write is answered on
PREFIX/LINE/STATION/POINT/set/result (or its MQTT 5 response topic).

Runs until Ctrl-C (exit 130) or kill (exit 0). Exit status 2: a bad
config (one line naming the point and key) or paho-mqtt missing; 1: a line
or the broker cannot be reached at the start, or the bridge failed inside
(one line saying why; a supervisor may restart it); 3: the broker refuses
the bridge (account, certificate, or a topic its ACL denies). Once running,
the bridge logs such refusals and keeps trying.
"""


def cmd_bridge(args):
    try:
        import paho.mqtt.client  # noqa: F401
    except ImportError:
        raise CliError("the MQTT bridge needs paho-mqtt: install python3-paho-mqtt", 2) from None
    from ..bridge import Bridge, BrokerError, ConfigError, load_config
    try:
        config = load_config(args.config)
    except ConfigError as error:
        raise CliError("config %s: %s" % (args.config, error), 2) from None
    except OSError as error:
        raise CliError("cannot read config %s: %s" % (args.config, error.strerror or error), 2) from None
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(message)s"))
    log = logging.getLogger("b4k_mew.bridge")
    log.addHandler(handler)
    if log.level == logging.NOTSET:
        log.setLevel(logging.INFO)
    bridge = Bridge(config)
    try:
        try:
            bridge.start()
        except ValueError as error:  # an address the library refuses
            raise CliError("config %s: %s" % (args.config, error), 2) from None
        except BrokerError as error:
            raise CliError(str(error), error.status) from None
        _print("bridge: %d line(s), %d point(s) on %s%s under %s"
               % (len(config.lines), sum(len(l.points) for l in config.lines), config.broker.address,
                  " (TLS)" if config.broker.tls is not None else "",
                  "spBv1.0/%s/%s" % (config.publish.group, config.publish.node)
                  if config.publish.mode == "sparkplug" else config.prefix + "/"))
        _print("running until Ctrl-C")
        interrupted = False
        try:
            run_until_stopped(until=bridge.failed)
        except KeyboardInterrupt:
            interrupted = not _ended_normally()
    finally:
        bridge.close()
        log.removeHandler(handler)
    if bridge.failed.is_set():
        raise CliError("bridge stopped: %s" % bridge.failure, 1)
    _print("stopped")
    if interrupted:
        raise KeyboardInterrupt
    return 0


def add_commands(commands, serial_parent, master_parent):
    """Adds bridge."""
    from .options import _Formatter
    bridge = commands.add_parser(
        "bridge", formatter_class=_Formatter, epilog=BRIDGE_EPILOG,
        help="publish the controllers' points to an MQTT broker and take writes back",
        description="Publish the points of some lines to an MQTT broker and take writes back.")
    bridge.add_argument("config", metavar="CONFIG", help="the TOML file of the broker, lines and points")
    bridge.set_defaults(handler=cmd_bridge)
