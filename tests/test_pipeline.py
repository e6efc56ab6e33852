"""The catalog builder `python -m stelvane.pipeline`: files it writes, read back byte by byte."""

import itertools
import math
import os
import struct
import subprocess
import sys

import numpy as np
import pytest

import stelvane
from stelvane import pipeline

DEG = math.pi / 180.0

# dec_deg, ra_hours, vmag, HR: a tie at V 1.50 (HR order decides), one star past the limit.
STARS = [
    (10.0, 1.0, 2.25, 7),
    (-20.5, 23.5, 1.50, 9),
    (45.0, 12.0, 1.50, 3),
    (89.5, 2.5, 4.00, 12),
    (0.0, 6.0, -1.46, 2491),
    (-60.0, 18.25, 7.10, 100),
]


def bsc_line(dec, ra, vmag, hr, name="  1Alp Tst", hd=1234, sao=5678):
    return f'{dec:8.4f} {ra:7.4f} {vmag:5.2f} "{name}" {hr:4d} {hd:6d} {sao:6d}\n'


def write_bsc(path, stars=STARS, header=True):
    text = "# test catalogue\n#    Dec      RA   Mag         Name  BSN     HD    SAO\n\n" if header else ""
    path.write_text(text + "".join(bsc_line(*s) for s in stars))
    return path


def read_catalog(path):
    data = path.read_bytes()
    magic, version, count, epoch = struct.unpack_from("<4sIId", data)
    assert (magic, version, len(data)) == (b"SCAT", 2, 20 + 60 * count)
    stars = [struct.unpack_from("<If5d3f", data, 20 + 60 * k) for k in range(count)]
    return epoch, stars


def read_pairs(path):
    data = path.read_bytes()
    magic, version, count = struct.unpack_from("<4sII", data)
    assert (magic, version, len(data)) == (b"SPRS", 1, 12 + 8 * count)
    return [struct.unpack_from("<fHH", data, 12 + 8 * k) for k in range(count)]


def run(tmp_path, *args, bsc=None):
    argv = ["--catalog-out", str(tmp_path / "out.scat"), "--pairs-out", str(tmp_path / "out.sprs"), "--quiet"]
    if bsc is not None:
        argv += ["--bsc", str(bsc)]
    return pipeline.main(argv + [str(a) for a in args])


def unit(ra_rad, dec_rad):
    return (math.cos(dec_rad) * math.cos(ra_rad), math.cos(dec_rad) * math.sin(ra_rad), math.sin(dec_rad))


def test_catalog_order_fields_and_every_pair(tmp_path, capsys):
    bsc = write_bsc(tmp_path / "bsc.txt")
    assert run(tmp_path, "--mag-limit", 5.0, "--max-sep-deg", 180, bsc=bsc) == 0
    out = capsys.readouterr().out.splitlines()
    assert out[0].split()[:2] == ["stars", "5"] and out[1].split()[:2] == ["pairs", "10"]
    epoch, stars = read_catalog(tmp_path / "out.scat")
    assert epoch == 2000.0
    # Brightest first; the two V 1.50 stars in HR order; HR 100 (V 7.10) dropped.
    assert [s[0] for s in stars] == [2491, 3, 9, 7, 12]
    by_hr = {s[3]: s for s in STARS}
    for hr, vmag, ra, dec, x, y, z, pm_ra, pm_dec, plx in stars:
        want_dec, want_ra_h, want_v, _ = by_hr[hr]
        assert vmag == np.float32(want_v)
        assert ra == pytest.approx(want_ra_h * 15 * DEG, abs=1e-15)
        assert dec == pytest.approx(want_dec * DEG, abs=1e-15)
        assert (x, y, z) == pytest.approx(unit(ra, dec), abs=1e-15)
        assert (pm_ra, pm_dec, plx) == (0.0, 0.0, 0.0)
    loaded = stelvane.Catalog(str(tmp_path / "out.scat"), str(tmp_path / "out.sprs"))
    assert loaded.n_stars == 5
    assert loaded.star(9) == pytest.approx((352.5, -20.5, 1.5), abs=1e-12)
    pairs = read_pairs(tmp_path / "out.sprs")
    assert sorted((i, j) for _, i, j in pairs) == list(itertools.combinations(range(5), 2))
    cosines = [c for c, _, _ in pairs]
    assert cosines == sorted(cosines)
    for c, i, j in pairs:
        (_, _, ra1, d1, *_), (_, _, ra2, d2, *_) = stars[i], stars[j]
        # Spherical law of cosines, independent of the builder's unit vectors.
        want = math.sin(d1) * math.sin(d2) + math.cos(d1) * math.cos(d2) * math.cos(ra1 - ra2)
        assert c == pytest.approx(want, abs=1e-7)


@pytest.mark.parametrize("max_sep, want", [
    (14.5, []),
    (15.5, [(0, 1), (1, 2)]),
    (44.5, [(0, 1), (1, 2), (0, 2)]),
    (50.0, [(0, 1), (1, 2), (0, 2), (2, 3)]),
    (180.0, [(0, 1), (1, 2), (0, 2), (2, 3), (1, 3), (0, 3)]),
])
def test_max_separation_keeps_closer_pairs_widest_first(tmp_path, capsys, max_sep, want):
    # On the equator at RA 0h, 1h, 2h and 5h.
    stars = [(0.0, 0.0, 1.0, 1), (0.0, 1.0, 2.0, 2), (0.0, 2.0, 3.0, 3), (0.0, 5.0, 4.0, 4)]
    bsc = write_bsc(tmp_path / "bsc.txt", stars)
    assert run(tmp_path, "--max-sep-deg", max_sep, bsc=bsc) == 0
    got = [(i, j) for _, i, j in read_pairs(tmp_path / "out.sprs")]
    # Widest separation first (smallest cosine); equal cosines keep index order.
    assert sorted(got) == sorted(want)
    seps = {(0, 1): 15, (1, 2): 15, (0, 2): 30, (2, 3): 45, (1, 3): 60, (0, 3): 75}
    assert [seps[p] for p in got] == sorted((seps[p] for p in got), reverse=True)


@pytest.mark.parametrize("chunk", [1, 3, 512])
def test_pairs_match_brute_force_and_stop_at_the_index_limit(monkeypatch, chunk):
    rng = np.random.default_rng(7)
    ra = rng.uniform(0, 2 * math.pi, 40)
    dec = np.arcsin(rng.uniform(-1, 1, 40))
    units = np.stack([np.cos(dec) * np.cos(ra), np.cos(dec) * np.sin(ra), np.sin(dec)], axis=1)
    monkeypatch.setattr(pipeline, "PAIR_CHUNK_ROWS", chunk)
    monkeypatch.setattr(pipeline, "MAX_PAIRED_STARS", 30)  # only stars 0..29 may be paired
    pairs = pipeline.generate_pairs(units, 50.0)
    want = sorted(
        (np.float32(max(-1.0, min(1.0, float(units[i] @ units[j])))), i, j)
        for i, j in itertools.combinations(range(30), 2)
        if math.acos(max(-1.0, min(1.0, float(units[i] @ units[j])))) <= 50.0 * DEG + 1e-12
    )
    got = [(c, int(i), int(j)) for c, i, j in pairs.tolist()]
    assert got == [(float(c), i, j) for c, i, j in want]
    assert pairs.dtype.itemsize == 8


def hip_line(hip, ra_rad, dec_rad, plx, pm_ra, pm_dec, hpmag):
    errors = "   1.29   0.66   1.33   1.25   0.75  90  0.91  0    0.0    0"
    tail = " 0.0020 0.017 0  0.482 0.025  0.550   1.19  -0.71   1.00  -0.02"
    return (f"{hip:6d}   5 0 1 {ra_rad:13.10f} {dec_rad:13.10f} {plx:7.2f} {pm_ra:8.2f} {pm_dec:8.2f}"
            f"{errors} {hpmag:7.4f}{tail}\n")


def test_hipparcos_counterparts_give_positions_motions_and_parallax(tmp_path):
    stars = [(10.0, 1.0, 2.0, 7), (10.0, 1.0 + 5 / 3600, 3.0, 8), (-30.0, 5.0, 4.0, 9), (50.0, 20.0, 5.0, 10)]
    bsc = write_bsc(tmp_path / "bsc.txt", stars)
    ra7, ra8 = 15 * DEG, (15 + 75 / 3600) * DEG       # BSC 7 and 8 are 74 arcsec apart
    lines = [
        # HR 7's counterpart 3 arcsec away, moving 1000 mas/yr in RA: at J2000 it is 3 + 8.75 arcsec off.
        hip_line(1, ra7 + 3 / 3600 * DEG / math.cos(10 * DEG), 10 * DEG, 12.5, 1000.0, -20.0, 2.1),
        # HR 8 (74" east): its counterpart 2 arcsec away, negative parallax.
        hip_line(2, ra8 + 2 / 3600 * DEG, 10 * DEG, -0.5, 3.0, 4.0, 3.2),
        # HR 9: only a star 25 arcsec away (outside the match radius).
        hip_line(3, 75 * DEG, -30 * DEG + 25 / 3600 * DEG, 5.0, 1.0, 1.0, 4.0),
        # HR 10: a star at its place but 4.5 magnitudes fainter.
        hip_line(4, 300 * DEG, 50 * DEG, 5.0, 1.0, 1.0, 9.5),
    ]
    hip = tmp_path / "hip2.dat"
    hip.write_text("".join(lines))
    assert run(tmp_path, "--hipparcos", hip, "--max-sep-deg", 180, bsc=bsc) == 0
    epoch, got = read_catalog(tmp_path / "out.scat")
    assert epoch == 1991.25
    by_hr = {s[0]: s for s in got}
    hr, vmag, ra, dec, *_, pm_ra, pm_dec, plx = by_hr[7]
    assert vmag == np.float32(2.0)  # V stays the BSC's
    assert ra == pytest.approx(float(lines[0].split()[4]), abs=1e-15)
    assert (pm_ra, pm_dec, plx) == (1000.0, -20.0, 12.5)
    assert by_hr[8][2] == pytest.approx(float(lines[1].split()[4]), abs=1e-15)
    assert by_hr[8][7:] == (3.0, 4.0, 0.0)
    for hr, (dec_deg, ra_h) in ((9, (-30.0, 5.0)), (10, (50.0, 20.0))):
        assert by_hr[hr][2:4] == pytest.approx((ra_h * 15 * DEG, dec_deg * DEG), abs=1e-15)
        assert by_hr[hr][7:] == (0.0, 0.0, 0.0)
    for s in got:
        assert s[4:7] == pytest.approx(unit(s[2], s[3]), abs=1e-15)


def test_close_double_keeps_both_components(tmp_path):
    # A is 1" from Hip 1 and 4" from Hip 2; B is 3" from Hip 1 and 5" from Hip 2 -> A-1, B-2.
    bsc = write_bsc(tmp_path / "bsc.txt", [(0.0, 0.0, 1.0, 1), (0.0, 2 / 3600 / 15, 1.2, 2)])
    hip = tmp_path / "hip2.dat"
    hip.write_text(hip_line(1, -1 / 3600 * DEG, 0.0, 1.0, 0.0, 0.0, 1.0)
                   + hip_line(2, 4 / 3600 * DEG, 3 / 3600 * DEG, 2.0, 0.0, 0.0, 1.3))
    assert run(tmp_path, "--hipparcos", hip, bsc=bsc) == 0
    _, got = read_catalog(tmp_path / "out.scat")
    assert [(s[0], s[9]) for s in got] == [(1, 1.0), (2, 2.0)]


BAD_INPUTS = [
    ("missing BSC", None, [], "cannot read BSC file"),
    ("malformed", 'garbage line\n', [], ":1: malformed line"),
    ("unquoted name", ' 10.0000  1.0000  2.00 Alp 7 1 2\n', [], ":1: malformed line"),
    ("declination", bsc_line(91.0, 1.0, 2.0, 7), [], ":1: declination 91.0000 outside [-90, 90] degrees"),
    ("right ascension", bsc_line(1.0, 24.0, 2.0, 7), [], ":1: right ascension 24.0000 outside [0, 24) hours"),
    ("HR 0", bsc_line(1.0, 2.0, 2.0, 0), [], ":1: HR number 0 outside 1..4294967295"),
    ("duplicate HR", bsc_line(1.0, 2.0, 2.0, 7) + bsc_line(3.0, 4.0, 3.0, 7), [], ":2: HR 7 already given on line 1"),
    ("nothing bright enough", bsc_line(1.0, 2.0, 7.0, 7), [], "no star in"),
    ("separation zero", None, ["--max-sep-deg", "0"], "--max-sep-deg must be in (0, 180] degrees (got 0.0)"),
    ("separation past 180", None, ["--max-sep-deg", "180.5"], "--max-sep-deg must be in (0, 180] degrees (got 180.5)"),
    ("separation NaN", None, ["--max-sep-deg", "nan"], "--max-sep-deg must be in (0, 180] degrees (got nan)"),
    ("magnitude NaN", None, ["--mag-limit", "nan"], "--mag-limit must be a finite magnitude (got nan)"),
    ("max stars zero", None, ["--max-stars", "0"], "--max-stars must be at least 1 (got 0)"),
    ("not a number", None, ["--mag-limit", "bright"], "argument --mag-limit: invalid float value: 'bright'"),
    ("hipparcos missing", None, ["--hipparcos", "/nonexistent/hip2.dat"], "cannot read Hipparcos file"),
    ("hipparcos malformed", None, ["--hipparcos", "HIPFILE"], ":1: malformed Hipparcos line"),
]


@pytest.mark.parametrize("content, extra, message", [c[1:] for c in BAD_INPUTS], ids=[c[0] for c in BAD_INPUTS])
def test_bad_input_one_line_error_and_outputs_untouched(tmp_path, content, extra, message):
    bsc = tmp_path / "bsc.txt"
    if content is not None:
        bsc.write_text(content)
    elif not message.startswith("cannot read BSC"):
        write_bsc(bsc)
    (tmp_path / "hip.dat").write_text("1 2 3\n")
    extra = [str(tmp_path / "hip.dat") if a == "HIPFILE" else a for a in extra]
    outputs = [tmp_path / "out.scat", tmp_path / "out.sprs"]
    for f in outputs:
        f.write_bytes(b"previous build")
    before = sorted(os.listdir(tmp_path))
    proc = subprocess.run(
        [sys.executable, "-m", "stelvane.pipeline", "--bsc", str(bsc), "--catalog-out", str(outputs[0]),
         "--pairs-out", str(outputs[1]), *extra],
        capture_output=True, text=True, cwd=tmp_path,
    )
    assert proc.returncode != 0
    assert proc.stdout == ""
    lines = proc.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("stelvane.pipeline: error: ")
    assert message in lines[0]
    assert sorted(os.listdir(tmp_path)) == before  # no temporary file left behind
    assert all(f.read_bytes() == b"previous build" for f in outputs)


@pytest.mark.parametrize("outputs, message", [
    (("same", "same"), "--catalog-out and --pairs-out name the same file"),
    (("missing/out.scat", "out.sprs"), "--catalog-out: directory"),
    (("out.scat", "."), "--pairs-out: . is a directory"),
])
def test_impossible_outputs_refused(tmp_path, capsys, outputs, message):
    bsc = write_bsc(tmp_path / "bsc.txt")
    argv = ["--bsc", str(bsc), "--catalog-out", outputs[0], "--pairs-out", outputs[1]]
    cwd = os.getcwd()
    os.chdir(tmp_path)
    try:
        assert pipeline.main(argv) == 1
    finally:
        os.chdir(cwd)
    err = capsys.readouterr().err
    assert message in err and err.count("\n") == 1
    assert sorted(os.listdir(tmp_path)) == ["bsc.txt"]


def test_failed_check_removes_temporaries(tmp_path):
    def reject(catalog_path, pairs_path):
        assert os.path.exists(catalog_path) and os.path.exists(pairs_path)
        raise pipeline.BuildError("refused")

    with pytest.raises(pipeline.BuildError):
        pipeline.write_outputs(str(tmp_path / "a.scat"), str(tmp_path / "a.sprs"), b"x", b"y", reject)
    assert os.listdir(tmp_path) == []
