"""A small HTTP server for a live view: one page, its script and style from
the package, the view's state pushed to every browser as server-sent events
(with, for a view that keeps a log of frames or samples, only the entries a
page has not had yet), and the changes a user makes posted back as JSON.
Another site's pages get nothing: not the state, not a change, not a frame.

It is the standard library's threading HTTP server: one thread per browser
connection, one thread that builds the state a few times a second, and
nothing shared with the line but the view's own reads of the station or the
poller, which are short copies. A browser that hangs or leaves costs its own
connection thread only.
"""

import collections
import hmac
import itertools
import http.cookies
import http.server
import ipaddress
import json
import logging
import secrets
import socket
import threading
import time
import urllib.parse
from importlib import resources

_log = logging.getLogger("b4k_mew.web")

#: How often the state is built and, when it changed, sent.
DEFAULT_INTERVAL = 0.2
#: A browser that takes this long to accept a write is dropped.
SEND_TIMEOUT = 5.0
#: Comment lines keep idle event streams from being closed by proxies.
KEEPALIVE = 15.0
#: Bodies of posted changes are small; a larger one is refused unread.
MAX_BODY = 4096

_LOOPBACK_NAMES = {"127.0.0.1", "localhost", "[::1]"}
#: Sent with every answer: no page of another site may frame these (a
#: click in a hidden frame would switch a contact), nor guess a type.
_SAFETY_HEADERS = (("Content-Security-Policy", "frame-ancestors 'none'"), ("X-Frame-Options", "DENY"),
                   ("X-Content-Type-Options", "nosniff"), ("Referrer-Policy", "no-referrer"))
#: The pages' own paths besides their files, by the methods they take.
_GET_PATHS = ("/", "/events", "/state")

_CONTENT_TYPES = {".html": "text/html; charset=utf-8", ".css": "text/css; charset=utf-8",
                  ".js": "text/javascript; charset=utf-8", ".svg": "image/svg+xml"}


class EntryLog:
    """The latest ``kept`` entries of a log (frames, samples), numbered from
    1, for each page's stream to take from where it is; ``mark`` is the
    number of the last."""

    def __init__(self, kept):
        self._lock = threading.Lock()
        self._entries = collections.deque(maxlen=kept)
        self.mark = 0

    def add(self, entry):
        with self._lock:
            self.mark += 1
            self._entries.append(entry)

    def since(self, seen):
        """(the entries after number ``seen`` that are still kept, the last
        number, whether some after ``seen`` are no longer kept)."""
        with self._lock:
            first = self.mark - len(self._entries) + 1
            return (list(itertools.islice(self._entries, max(0, seen + 1 - first), None)), self.mark,
                    seen + 1 < first)


class Refused(ValueError):
    """A change from the page that is not made: its message is shown there."""


def _static_files():
    """The page's files by name, read once from the package."""
    files = {}
    for entry in resources.files(__package__).joinpath("static").iterdir():
        suffix = "." + entry.name.rpartition(".")[2]
        if entry.is_file() and suffix in _CONTENT_TYPES:
            files[entry.name] = (entry.read_bytes(), _CONTENT_TYPES[suffix])
    return files


class _Broadcast:
    """The latest state as sent, numbered, for any number of browser threads
    to wait on; the lock is held only to swap or copy the text."""

    def __init__(self):
        self._changed = threading.Condition()
        self._version = 0
        self._text = "{}"
        self._closed = False

    def publish(self, text):
        with self._changed:
            self._version += 1
            self._text = text
            self._changed.notify_all()

    def latest(self):
        with self._changed:
            return self._version, self._text

    def wait(self, seen, timeout):
        """(version, text) once a state newer than ``seen`` is published, the
        same version on a time-out, None once closed."""
        with self._changed:
            self._changed.wait_for(lambda: self._closed or self._version != seen, timeout)
            return None if self._closed else (self._version, self._text)

    def close(self):
        with self._changed:
            self._closed = True
            self._changed.notify_all()


def _compact(value):
    return json.dumps(value, separators=(",", ":"))


def _parse_change(body):
    """The JSON object a page posts; Refused with the reason otherwise."""
    try:
        request = json.loads(body or b"{}")
    except json.JSONDecodeError as error:
        raise Refused("not JSON: %s" % error) from None
    except UnicodeDecodeError:
        raise Refused("not JSON: the text is not UTF-8") from None
    except RecursionError:
        raise Refused("a change is a flat JSON object, not one nested this deep") from None
    if not isinstance(request, dict):
        raise Refused("a change is a JSON object")
    return request


class _Handler(http.server.BaseHTTPRequestHandler):
    server_version = "b4k-mew-web"
    protocol_version = "HTTP/1.1"
    timeout = SEND_TIMEOUT

    def log_message(self, format, *args):  # noqa: A002 (the base class's name)
        _log.debug("%s %s", self.address_string(), format % args)

    @property
    def live(self):
        return self.server.live  # type: ignore[attr-defined]  # set on the server by LiveServer

    def _reply(self, status, body, content_type, extra=()):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def _json(self, status, value, extra=()):
        self._reply(status, json.dumps(value).encode(), "application/json", extra)

    def end_headers(self):
        for name, value in _SAFETY_HEADERS:
            self.send_header(name, value)
        super().end_headers()

    def _host_name(self):
        host = (self.headers.get("Host") or "").lower()
        return host.rpartition(":")[0] if ":" in host.rpartition("]")[2] else host

    def _foreign(self):
        """Refuses, with 403, a request that another site's page makes the
        browser send: a name in Host the server was not started for (a DNS
        rebinding), or a post from a page of another origin; and, on a
        network bind with a token, a request without it."""
        host = (self.headers.get("Host") or "").lower()
        if not self.live.accepts_host(self._host_name()):
            reason = ("this view answers to the loopback's names only" if self.live.loopback_only else
                      "this view answers to its address and the names it was started with only")
        elif self.command == "POST" and self.headers.get("Origin", "http://" + host).lower() != "http://" + host:
            reason = "changes come from the view's own page only"
        elif not self._has_token():
            reason = "this view needs the token printed when it started (open the address with ?token=...)"
        else:
            return False
        self.close_connection = True
        self._json(403, {"error": reason})
        return True

    def _has_token(self):
        token = self.live.token
        if not token:
            return True
        query = urllib.parse.parse_qs(urllib.parse.urlsplit(self.path).query).get("token", [""])[0]
        cookies = http.cookies.SimpleCookie()
        try:
            cookies.load(self.headers.get("Cookie") or "")
        except http.cookies.CookieError:
            pass
        cookie = cookies.get(self.live.cookie_name)
        return hmac.compare_digest(query.encode(), token.encode()) or \
            (cookie is not None and hmac.compare_digest(cookie.value.encode(), token.encode()))

    def _token_cookie(self):
        """The header that lets the page's own requests carry the token."""
        if not self.live.token:
            return ()
        return (("Set-Cookie", "%s=%s; Path=/; HttpOnly; SameSite=Strict" % (self.live.cookie_name, self.live.token)),)

    def _path(self):
        return urllib.parse.urlsplit(self.path).path

    def _not_allowed(self, allowed):
        self._json(405, {"error": "%s is not taken here (only %s)" % (self.command, ", ".join(allowed))},
                   (("Allow", ", ".join(allowed)),))

    def _other_method(self):
        if self._foreign():
            return
        # A body this does not read would be taken for the next request.
        self.close_connection = True
        path = self._path()
        if path.startswith("/api/") and path[len("/api/"):] in self.live.actions:
            return self._not_allowed(("POST",))
        if path in _GET_PATHS or path[1:] in self.live.files:
            return self._not_allowed(("GET", "HEAD"))
        self._json(404, {"error": "no such page: %s" % path})

    # Methods with a meaning elsewhere that these views do not take: 405.
    do_PUT = do_DELETE = do_PATCH = do_OPTIONS = do_TRACE = do_CONNECT = _other_method

    def do_GET(self):
        if self._foreign():
            return
        path = self._path()
        if path.startswith("/api/"):
            return self._other_method()
        if path == "/":
            path = "/" + self.live.view.page
        if path == "/events":
            return self._events()
        if path == "/state":
            return self._reply(200, self.live.broadcast.latest()[1].encode(), "application/json")
        found = self.live.files.get(path[1:])
        if found is None:
            return self._json(404, {"error": "no such page: %s" % path})
        self._reply(200, *found, extra=self._token_cookie())

    do_HEAD = do_GET

    def do_POST(self):
        if self._foreign():
            return
        path = self._path()
        action = path[len("/api/"):] if path.startswith("/api/") else None
        if action not in self.live.actions:
            return self._other_method()
        # A page of another site can post plain text without asking; JSON
        # it must ask for first, and is not given leave.
        if self.headers.get_content_type() != "application/json":
            self.close_connection = True
            return self._json(415, {"error": "a change is posted as application/json"})
        try:
            length = int(self.headers.get("Content-Length", "0"))
        except ValueError:
            length = -1
        if not 0 <= length <= MAX_BODY:
            self.close_connection = True
            return self._json(413, {"error": "a change is a small JSON object"})
        try:
            request = _parse_change(self.rfile.read(length))
            message = self.live.view.act(action, request)
        except Refused as error:
            return self._json(400, {"error": str(error)})
        except Exception as error:  # the view's fault: the server goes on
            _log.exception("web view action %s failed", path)
            return self._json(500, {"error": "%s: %s" % (type(error).__name__, error)})
        self.live.refresh()
        self._json(200, {"ok": True, "message": message or ""})

    def _events(self):
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Cache-Control", "no-store")
        self.send_header("Connection", "close")
        for name, value in self._token_cookie():
            self.send_header(name, value)
        self.end_headers()
        self.close_connection = True
        # The state whenever it changed; then, for a view with a log (frames,
        # trend samples), only the entries this page has not had yet.
        seen, sent, logged = None, None, 0
        log_since = getattr(self.live.view, "log_since", None)
        try:
            while True:
                latest = self.live.broadcast.wait(seen, KEEPALIVE) if seen is not None \
                    else self.live.broadcast.latest()
                if latest is None:
                    return
                if latest[0] == seen:
                    self.wfile.write(b": keep-alive\n\n")
                else:
                    seen, text = latest
                    if text != sent:
                        self.wfile.write(b"data: " + text.encode() + b"\n\n")
                        sent = text
                    if log_since is not None:
                        entries, logged = log_since(logged)
                        if entries:
                            self.wfile.write(b"event: log\ndata: " + _compact(entries).encode() + b"\n\n")
                self.wfile.flush()
        except (OSError, ValueError):
            # The browser left, or stopped reading: its thread ends here.
            return


class _HTTPServer(http.server.ThreadingHTTPServer):
    daemon_threads = True
    # A restarted view takes its port back at once.
    allow_reuse_address = True
    # The system's usual backlog, not socketserver's 5: a burst of pages
    # waits in the queue instead of retrying SYNs for seconds.
    request_queue_size = socket.SOMAXCONN

    def __init__(self, *args, **kwargs):
        # Connections open now, closed with the server: a browser's kept-alive
        # connection must not go on reaching a view that was closed.
        self._open = set()
        self._open_lock = threading.Lock()
        super().__init__(*args, **kwargs)

    def process_request(self, request, client_address):
        with self._open_lock:
            self._open.add(request)
        super().process_request(request, client_address)

    def shutdown_request(self, request):
        with self._open_lock:
            self._open.discard(request)
        super().shutdown_request(request)

    def close_connections(self):
        with self._open_lock:
            open_now = list(self._open)
        for request in open_now:
            try:
                request.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def handle_error(self, request, client_address):
        _log.debug("web view connection from %s failed", client_address, exc_info=True)


class LiveServer:
    """Serves ``view`` on ``host``:``port`` (port 0 takes a free one) until
    closed. ``view`` has ``page`` (the page's file name), ``snapshot()`` (its
    state as a JSON-able value, built on the server's own thread) and, when
    the page makes changes, ``actions`` (their names) and ``act(name,
    request)`` (makes one; raises ``Refused`` with a message for the page).
    OSError when the address cannot be had.

    A loopback server answers to the loopback's names only. A server on a
    network address answers to IP addresses (its own when bound to one) and
    to the host ``names`` given, never to another name a browser was led to
    by DNS; and it asks for ``token`` (one is made when None; "" asks for
    none), which its ``url`` carries and the page keeps as a cookie."""

    def __init__(self, view, host="127.0.0.1", port=0, interval=DEFAULT_INTERVAL, names=(), token=None):
        self.view = view
        self.actions = frozenset(getattr(view, "actions", ()))
        self.files = _static_files()
        self.broadcast = _Broadcast()
        self._interval = interval
        self._stop = threading.Event()
        self._wake = threading.Event()
        self._log_mark = None
        self.run = secrets.token_hex(4)
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        server_class = type("_Server", (_HTTPServer,), {"address_family": family})
        self._httpd = server_class((host, port), _Handler)
        self._httpd.live = self
        bound = ipaddress.ip_address(self.host)
        self.loopback_only = bound.is_loopback
        self._bound = None if bound.is_unspecified else bound
        self.names = frozenset(name.lower() for name in names)
        if self.loopback_only:
            token = token or ""
        self.token = secrets.token_urlsafe(16) if token is None else token
        # A cookie is the host's, whatever the port: one per server.
        self.cookie_name = "b4k_mew_token_%d" % self.port
        self._build()
        self._threads = [threading.Thread(target=self._httpd.serve_forever, args=(0.2,),
                                          name="b4k-mew-web", daemon=True),
                         threading.Thread(target=self._run, name="b4k-mew-web-state", daemon=True)]
        for thread in self._threads:
            thread.start()

    @property
    def host(self):
        return self._httpd.server_address[0]

    @property
    def port(self):
        return self._httpd.server_address[1]

    @property
    def url(self):
        host = self.host
        return "http://%s:%d/%s" % ("[%s]" % host if ":" in host else host, self.port,
                                   "?token=" + self.token if self.token else "")

    def accepts_host(self, name):
        """Whether a request naming ``name`` in Host is for this server."""
        if name in self.names:
            return True
        if self.loopback_only:
            return name in _LOOPBACK_NAMES
        try:
            address = ipaddress.ip_address(name[1:-1] if name.startswith("[") else name)
        except ValueError:
            # A name of no address: the loopback's own, when any address is served.
            return self._bound is None and name == "localhost"
        return self._bound is None or address == self._bound

    def refresh(self):
        """Builds and sends the state now rather than at the next tick."""
        self._wake.set()

    def _build(self):
        state = self.view.snapshot()
        # A page tells a restarted server by this, and starts its logs afresh.
        state["run"] = self.run
        text = _compact(state)
        log_mark = getattr(self.view, "log_mark", None)
        if text != self.broadcast.latest()[1] or log_mark != self._log_mark:
            # New entries of the log alone wake the streams too.
            self._log_mark = log_mark
            self.broadcast.publish(text)

    def _run(self):
        while not self._stop.is_set():
            self._wake.wait(self._interval)
            self._wake.clear()
            if self._stop.is_set():
                break
            try:
                self._build()
            except Exception:  # a view that fails once is tried again
                _log.exception("web view state failed")
                time.sleep(1.0)

    def close(self):
        """Stops serving; open pages see their stream end. Idempotent."""
        if self._stop.is_set():
            return
        self._stop.set()
        self._wake.set()
        self.broadcast.close()
        self._httpd.shutdown()
        self._httpd.server_close()
        self._httpd.close_connections()
        for thread in self._threads:
            thread.join()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
