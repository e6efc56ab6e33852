from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex

__all__ = [
    "julian_date",
    "gmst_deg",
    "precess_vector",
    "great_circle_nm",
    "covariance_ellipse",
    "sun_apparent_jd",
    "StelvaneError",
]
__version__: str

class StelvaneError(Exception): ...

def julian_date(
    year: SupportsIndex, month: SupportsIndex, day: SupportsIndex, hour: SupportsIndex, minute: SupportsIndex,
    second: SupportsFloat,
) -> float: ...
def gmst_deg(jd_ut: SupportsFloat) -> float: ...
def precess_vector(jd_tt: SupportsFloat, v: Sequence[SupportsFloat]) -> list[float]: ...
def great_circle_nm(
    lat1_deg: SupportsFloat, lon1_deg: SupportsFloat, lat2_deg: SupportsFloat, lon2_deg: SupportsFloat
) -> float: ...
def covariance_ellipse(azimuths_deg: Sequence[SupportsFloat], sigma_arcmin: SupportsFloat) -> tuple[float, float, float]: ...
def sun_apparent_jd(jd: SupportsFloat) -> tuple[float, float]: ...
