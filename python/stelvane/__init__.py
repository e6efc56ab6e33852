"""stelvane: celestial navigation from a night-sky photograph.

From one image, the camera's lens model, the local vertical in the camera frame
and the UTC instant, stelvane finds and identifies the stars and solves latitude
and longitude by least squares, with covariance and a 2-sigma error ellipse.
"""

from . import _lib
from ._lib import *  # noqa: F401,F403  (the error classes, then the registered names in their order)

__all__ = _lib.__all__

# The error budget of a fix, built on the fix's sights in Python; outside the extension's list above.
from .budget import ErrorBudget, error_budget  # noqa: E402

ErrorBudget.__module__ = error_budget.__module__ = "stelvane"
__version__ = "0.1.0"
