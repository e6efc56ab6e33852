"""Prints the Julian Date and Greenwich sidereal time of now: ``python -m stelvane.demo``."""

import datetime

import stelvane


def main() -> None:
    now = datetime.datetime.now(datetime.timezone.utc)
    jd = stelvane.julian_date(now.year, now.month, now.day, now.hour, now.minute,
                              now.second + now.microsecond / 1e6)
    print(f"UTC now           {now.isoformat(timespec='seconds')}")
    print(f"Julian Date       {jd:.6f}")
    print(f"Greenwich sidereal time {stelvane.gmst_deg(jd):.4f} deg")
    ra, dec = stelvane.sun_apparent_jd(jd)
    print(f"Sun (of date)     RA {ra * 180 / 3.141592653589793:.3f} deg, Dec {dec * 180 / 3.141592653589793:.3f} deg")


if __name__ == "__main__":
    main()
