"""The fault suite runs in two sizes: a short one inside the normal test run,
and the full one (FENWIX_FAULTS=full, which scripts/faults sets) with the
iteration counts that make a rare fault show."""

import os
import resource

import pytest


def pytest_report_header(config):
    return f"fault suite: {'full' if os.environ.get('FENWIX_FAULTS') == 'full' else 'short'} size"


@pytest.fixture(scope="session", autouse=True)
def many_descriptors():
    """Tests that open hundreds of sockets at once need more than the usual
    1024 descriptors; the hard limit allows it."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    want = hard if hard == resource.RLIM_INFINITY else min(hard, 65536)
    if soft < want:
        resource.setrlimit(resource.RLIMIT_NOFILE, (want, hard))
    yield
    resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
