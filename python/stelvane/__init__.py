"""stelvane: celestial navigation from a night-sky photograph.

From one image, the camera's lens model, the local vertical in the camera frame
and the UTC instant, stelvane finds and identifies the stars and solves latitude
and longitude by least squares, with covariance and a 2-sigma error ellipse.
"""

from . import _lib
from ._lib import *  # noqa: F401,F403  (the error classes, then the registered names in their order)

__all__ = _lib.__all__
__version__ = "0.1.0"

# Names of pure-Python modules, outside the extension's list above. They need NumPy, which
# `import stelvane` itself does not load, so each is imported on first use.
_LAZY = {"error_budget": "budget", "ErrorBudget": "budget"}


def __getattr__(name: str) -> object:
    if name in _LAZY:
        import importlib

        value = getattr(importlib.import_module(f".{_LAZY[name]}", __name__), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted({*globals(), *_LAZY})
