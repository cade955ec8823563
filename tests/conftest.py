"""Options, markers and fixtures shared by the test suites."""
import contextlib
import faulthandler
import sys
import threading

import pytest

from linkpair import wait_until

WAIT = 5.0  # upper bound of every wait for something that should happen
TEST_LIMIT = 120.0  # a test still running after this long is taken as hung


def pytest_addoption(parser):
    parser.addoption("--soak-seconds", type=float, default=None,
                     help="how long the soak test runs (default: $MEW_SOAK_SECONDS, else 60)")


def pytest_configure(config):
    config.addinivalue_line("markers", "soak: long-running load test; deselect with -m 'not soak'")


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
