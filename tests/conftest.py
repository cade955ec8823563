"""Options, markers and fixtures shared by the test suites."""
import contextlib
import faulthandler
import os
import sys
import threading

import pytest

from linkpair import wait_until

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# MEW_INSTALLED=wheel (or editable): the tests run against the package
# installed into this interpreter, and fail if they would import the
# checkout's build folder instead. Otherwise: build/ and the checkout,
# on PYTHONPATH.
INSTALLED = os.environ.get("MEW_INSTALLED", "")
# The command as users run it: the installed entry point, or the
# checkout's launcher.
B4K_MEW = (os.path.join(os.path.dirname(sys.executable), "b4k-mew") if INSTALLED
           else os.path.join(ROOT, "b4k-mew"))


def child_env(**extra):
    """os.environ for a Python child process that imports the same b4k_mew
    and b4k_mew_tools as this one (and the tests' helpers)."""
    import b4k_mew
    import b4k_mew_tools
    paths = [os.path.dirname(os.path.abspath(b4k_mew.__file__)),
             os.path.dirname(os.path.dirname(os.path.abspath(b4k_mew_tools.__file__))),
             os.path.join(ROOT, "tests")]
    return dict(os.environ, PYTHONPATH=os.pathsep.join(paths), PYTHONUNBUFFERED="1", **extra)

WAIT = 5.0  # upper bound of every wait for something that should happen
TEST_LIMIT = 120.0  # a test still running after this long is taken as hung


def pytest_addoption(parser):
    parser.addoption("--soak-seconds", type=float, default=None,
                     help="how long the soak test runs (default: $MEW_SOAK_SECONDS, else 60)")


def pytest_configure(config):
    config.addinivalue_line("markers", "soak: long-running load test; deselect with -m 'not soak'")
    if INSTALLED:
        import b4k_mew
        import b4k_mew_tools
        # An editable install keeps the tools in the checkout; the module is
        # installed either way.
        module, tools = b4k_mew.__file__, b4k_mew_tools.__file__
        if "site-packages" not in module or (INSTALLED == "wheel" and "site-packages" not in tools):
            raise pytest.UsageError("MEW_INSTALLED=%s, but the tests import %s and %s, not the installed package"
                                    % (INSTALLED, module, tools))


class Output:
    """Everything printed so far. Background threads print at their own
    pace, so a test waits for the line it expects instead of reading once."""

    def __init__(self, capsys, lf_only=False):
        self._capsys = capsys
        self._lf_only = lf_only  # where a printed frame may itself hold a CR
        self.text = ""

    def lines(self):
        self.text += self._capsys.readouterr().out
        return self.text.split("\n")[:-1] if self._lf_only else self.text.splitlines()

    def wait(self, count, timeout=WAIT):
        """The lines once there are at least count of them (or the time is up)."""
        wait_until(lambda: len(self.lines()) >= count, timeout)
        return self.lines()

    def wait_for(self, line, timeout=WAIT):
        assert wait_until(lambda: line in self.lines(), timeout), "not printed: %r in %r" % (line, self.text)

    def clear(self):
        self.lines()
        self.text = ""


@pytest.fixture
def out(capsys):
    return Output(capsys)


@contextlib.contextmanager
def threads_accounted(daemons_too=False):
    """Every test closes what it started: no station thread may outlive it.
    A test that hangs (a stop or close that never returns) ends the run with
    every thread's traceback instead of blocking it."""
    faulthandler.dump_traceback_later(TEST_LIMIT, exit=True, file=sys.__stderr__)
    before = set(threading.enumerate())
    try:
        yield
        left = lambda: [t for t in threading.enumerate() if t not in before and (daemons_too or not t.daemon)]
        assert wait_until(lambda: not left(), WAIT), "threads left running: %r" % left()
    finally:
        faulthandler.cancel_dump_traceback_later()


@pytest.fixture
def no_thread_left():
    with threads_accounted():
        yield
