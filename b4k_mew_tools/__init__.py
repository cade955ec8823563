"""Tools around the b4k_mew extension module: a device simulator, a virtual
serial line for trying things without hardware, and the b4k-mew command."""

try:
    from b4k_mew import __version__

    from .simulator import KINDS, Device, Simulator
    from .virtual_line import VirtualLine
except BaseException as _error:
    from ._startup import end_if_interrupted

    end_if_interrupted(_error)
    raise

__all__ = ["KINDS", "Device", "Simulator", "VirtualLine", "__version__"]
