"""Options and markers shared by the test suites."""


def pytest_addoption(parser):
    parser.addoption("--soak-seconds", type=float, default=None,
                     help="how long the soak test runs (default: $MEW_SOAK_SECONDS, else 60)")


def pytest_configure(config):
    config.addinivalue_line("markers", "soak: long-running load test; deselect with -m 'not soak'")
