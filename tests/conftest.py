import math

import pytest

ARCMIN = math.pi / (180 * 60)


@pytest.fixture(scope="session")
def testing():
    """The extension's private intake probes."""
    from stelvane import _lib

    return _lib._testing
