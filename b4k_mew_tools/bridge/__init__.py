"""The MQTT bridge: publishes what the controllers on some lines hold to an
MQTT broker and takes writes back.

Topics (``PREFIX`` is [broker] prefix, ``CLIENT`` its client_id):

  PREFIX/LINE/STATION/POINT        {"value": V, "time": T, "quality": "good"|"bad"[, "unit": U]}
                                    retained, published when the value or its quality changes
  PREFIX/LINE/STATION/POINT/set    written by consumers: 12, 1.5, true, false or {"value": V};
                                    never taken from a retained message
  PREFIX/LINE/STATION/POINT/set/result  the answer to each write: {"ok", "id", "value" read back
                                    | "error", "code", "meaning", "time"} (or the MQTT 5 response topic)
  PREFIX/LINE/STATION/$status      "online", "timeout" or "error CODE MEANING", retained
  PREFIX/LINE/STATION/$status/detail  {"status": S, "detail": the error or null, "time": T}, retained
  PREFIX/$bridge/CLIENT            "online", retained; "offline" (the will, or a clean close)
  PREFIX/$bridge/CLIENT/error      {"topic": ..., "payload": ..., "error": ..., "time": T}, not retained

The payload of a point is stable: consumers may rely on its four keys.
paho-mqtt is imported by Bridge only, so the rest of the package works
without it.

Files: config (the TOML file checked), points (types and /set payloads),
lines (master and poller), writes (queued per station), broker (settings
of the broker, TLS and accounts), connection (paho, 1.6 or 2.x), publishing (JSON topics, answers
to writes), sparkplug (the Sparkplug B schema and an edge node's session),
sparkplug_node (the bridge as a Sparkplug B node), discovery (Home
Assistant), status (a station's $status), service (the Bridge)."""

from .config import Config, ConfigError, LineConfig, check_address, load_config, parse_config  # noqa: F401
from .points import TYPES, Point  # noqa: F401
from .broker import BrokerError  # noqa: F401
from .service import Bridge  # noqa: F401
from .status import station_state, station_status  # noqa: F401
