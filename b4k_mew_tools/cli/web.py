"""--web: the live view in a browser, for simulate and watch."""

from .addresses import Address, check_run, parse_integer
from .errors import CliError, _usage_error
from .line import _bad_host, _port_number, _split_host_port

DEFAULT_WEB_HOST = "127.0.0.1"
WEB_HELP = ("serve a live view in the browser on [HOST:]PORT; HOST defaults to 127.0.0.1 (the loopback), "
            "port 0 takes a free one")
WEB_NAME_HELP = ("a host name the web view answers to on a network address, besides IP addresses "
                 "(others are refused, against DNS rebinding); repeat for more")


def add_web_names(parser):
    """--web-name, for the commands that take --web."""
    parser.add_argument("--web-name", action="append", default=[], metavar="NAME", help=WEB_NAME_HELP)


def web_names(args):
    """The checked --web-name values; a usage error without --web."""
    if args.web_name and args.web is None:
        raise _usage_error("--web-name goes with --web")
    for name in args.web_name:
        if not name or _bad_host(name) or ":" in name:
            raise _usage_error("--web-name %r: a host name like plant-pc or plant-pc.example" % name)
    return tuple(name.lower() for name in args.web_name)


def parse_web(text):
    """(host, port) from "http://HOST:PORT", "HOST:PORT", ":PORT" or "PORT"."""
    rest = text.strip()
    if rest.lower().startswith("http://"):
        rest = rest[len("http://"):].rstrip("/")
    elif "://" in rest:
        raise _usage_error("invalid web address %r: only http:// (expected HOST:PORT)" % text)
    try:
        host, port = _split_host_port(rest) if (":" in rest or rest.startswith("[")) else ("", rest)
        if _bad_host(host):
            raise ValueError("bad host name")
        return host or DEFAULT_WEB_HOST, _port_number(port, 0)
    except ValueError as error:
        raise _usage_error("invalid web address %r: %s (expected HOST:PORT)" % (text, error)) from None


def serve(view, address, names=()):
    """A LiveServer of ``view`` on ``address`` (host, port), answering to
    ``names`` too; one line and status 2 when the address cannot be had."""
    from ..web import LiveServer  # only commands given --web load the server

    host, port = address
    try:
        return LiveServer(view, host, port, names=names)
    except OSError as error:
        reason = error.strerror or str(error)
        raise CliError("cannot serve the web view on %s:%d: %s" % (host, port, reason), 2) from None


def shown_area(address):
    """The simulator page's name of the area of a register or timer
    ``address`` (DT for D100), None for an area it does not show."""
    from ..web.simulator_view import REGISTER_AREAS

    return address.memory_area if address.memory_area in REGISTER_AREAS else None


def parse_shown(text):
    """One --web-show ADDRESS[:COUNT]: ("contacts", letter, first word,
    words) for a word of contacts (WX0:4), ("registers", area, first, count)
    for registers and timer values (DT100:8, SV0:4)."""
    name, sep, count_text = text.partition(":")
    count = parse_integer(count_text) if sep else 1
    address = Address(name)
    if address.form == "contact":
        raise _usage_error("--web-show %r: show whole words of contacts (WX0:2), not a contact" % text)
    if not 1 <= count <= 1000:
        raise _usage_error("--web-show %r: the count is 1 to 1000" % text)
    check_run(address, "word" if address.form == "word" else "uint16", count, split=True)
    if address.form == "word":
        return "contacts", address.memory_area, address.number, count
    area = shown_area(address)
    if area is None:
        raise _usage_error("--web-show %r: the simulator shows registers DT, LD, FL, S and timer values SV, EV"
                           % text)
    return "registers", area, address.number, count
