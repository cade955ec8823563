"""The MQTT bridge (see config for the topics)."""

from .config import (Bridge, Config, ConfigError, LineConfig, Point, load_config, parse_config,  # noqa: F401
                     station_status)
