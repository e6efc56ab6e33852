"""Writes the fuzzers' seed corpora (small, deterministic) into fuzz/corpus/.

catalog/: a two-byte little-endian split followed by a catalog image and a pair image,
cut down from the bundled all-sky catalog (the brightest stars and the pairs among them).
image/: parameter headers followed by small star fields, as fuzz_image.cpp reads them.
Run from the repository root: python3 fuzz/make_seeds.py
"""

import math
import pathlib
import random
import struct

ROOT = pathlib.Path(__file__).resolve().parent
DATA = ROOT.parent / "python" / "stelvane" / "data"


def catalog_seed(n_stars: int) -> bytes:
    scat = (DATA / "allsky.scat").read_bytes()
    sprs = (DATA / "allsky.sprs").read_bytes()
    epoch = scat[12:20]
    records = scat[20 : 20 + 60 * n_stars]
    cat = b"SCAT" + struct.pack("<II", 2, n_stars) + epoch + records
    (count,) = struct.unpack_from("<I", sprs, 8)
    pairs = []
    for k in range(count):
        c, i, j = struct.unpack_from("<fHH", sprs, 12 + 8 * k)
        if i < n_stars and j < n_stars:
            pairs.append(struct.pack("<fHH", c, i, j))
    prs = b"SPRS" + struct.pack("<II", 1, len(pairs)) + b"".join(pairs)
    return struct.pack("<H", len(cat)) + cat + prs


def image_seed(width: int, height: int, stars: int, seed: int) -> bytes:
    # Header bytes as fuzz_image.cpp consumes them from the front: see that file.
    rng = random.Random(seed)
    plane = [1000 + rng.randrange(64) for _ in range(width * height)]
    for _ in range(stars):
        x0, y0 = rng.uniform(3, width - 4), rng.uniform(3, height - 4)
        for y in range(height):
            for x in range(width):
                r2 = (x - x0) ** 2 + (y - y0) ** 2
                plane[y * width + x] = min(65535, plane[y * width + x] + int(30000 * math.exp(-r2 / 2.0)))
    return struct.pack("<BB", width, height) + bytes(range(40)) + struct.pack(f"<{width * height}H", *plane)


def main() -> None:
    (ROOT / "corpus" / "catalog").mkdir(parents=True, exist_ok=True)
    (ROOT / "corpus" / "image").mkdir(parents=True, exist_ok=True)
    for n in (0, 3, 12):
        (ROOT / "corpus" / "catalog" / f"stars{n}").write_bytes(catalog_seed(n))
    for k, (w, h, s) in enumerate([(16, 16, 2), (24, 20, 4), (40, 8, 1)]):
        (ROOT / "corpus" / "image" / f"field{k}").write_bytes(image_seed(w, h, s, k))


if __name__ == "__main__":
    main()
