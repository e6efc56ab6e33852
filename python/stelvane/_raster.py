"""A small RGB canvas written as PNG with the standard library, for the demo's overlay.

Only what the demo draws: circles, crosses, ellipses, lines and short labels in a
5x7 pixel font, so that ``python -m stelvane.demo`` needs nothing beyond NumPy.
"""

from __future__ import annotations

import math
import struct
import zlib

import numpy as np

# 5x7 glyphs, one string of 7 rows of 5 bits per character.
_FONT = {
    "0": "01110 10001 10011 10101 11001 10001 01110",
    "1": "00100 01100 00100 00100 00100 00100 01110",
    "2": "01110 10001 00001 00010 00100 01000 11111",
    "3": "11111 00010 00100 00010 00001 10001 01110",
    "4": "00010 00110 01010 10010 11111 00010 00010",
    "5": "11111 10000 11110 00001 00001 10001 01110",
    "6": "00110 01000 10000 11110 10001 10001 01110",
    "7": "11111 00001 00010 00100 01000 01000 01000",
    "8": "01110 10001 10001 01110 10001 10001 01110",
    "9": "01110 10001 10001 01111 00001 00010 01100",
    "H": "10001 10001 10001 11111 10001 10001 10001",
    "R": "11110 10001 10001 11110 10100 10010 10001",
    "N": "10001 11001 10101 10011 10001 10001 10001",
    "M": "10001 11011 10101 10101 10001 10001 10001",
    " ": "00000 00000 00000 00000 00000 00000 00000",
    "-": "00000 00000 00000 11111 00000 00000 00000",
    ".": "00000 00000 00000 00000 00000 01100 01100",
}


class Canvas:
    """An RGB image built from a 16-bit grey frame, stretched for display."""

    def __init__(self, gray: np.ndarray) -> None:
        g = gray.astype(np.float64)
        lo, hi = np.percentile(g, 1.0), np.percentile(g, 99.9)
        scaled = np.clip((g - lo) / max(hi - lo, 1.0), 0.0, 1.0) ** 0.5 * 255.0
        self.rgb = np.repeat(scaled.astype(np.uint8)[:, :, None], 3, axis=2)

    def _plot(self, x: float, y: float, color: tuple[int, int, int]) -> None:
        xi, yi = int(round(x)), int(round(y))
        if 0 <= yi < self.rgb.shape[0] and 0 <= xi < self.rgb.shape[1]:
            self.rgb[yi, xi] = color

    def circle(self, x: float, y: float, r: float, color: tuple[int, int, int]) -> None:
        steps = max(16, int(2 * math.pi * r))
        for k in range(steps):
            a = 2 * math.pi * k / steps
            self._plot(x + r * math.cos(a), y + r * math.sin(a), color)

    def ellipse(self, x: float, y: float, a: float, b: float, angle_rad: float, color: tuple[int, int, int]) -> None:
        """Semi-axes a, b; angle of the a axis from the +x (image right) direction."""
        steps = max(32, int(2 * math.pi * max(a, b)))
        ca, sa = math.cos(angle_rad), math.sin(angle_rad)
        for k in range(steps):
            t = 2 * math.pi * k / steps
            u, v = a * math.cos(t), b * math.sin(t)
            self._plot(x + u * ca - v * sa, y + u * sa + v * ca, color)

    def line(self, x0: float, y0: float, x1: float, y1: float, color: tuple[int, int, int]) -> None:
        n = int(max(abs(x1 - x0), abs(y1 - y0))) + 1
        for k in range(n + 1):
            t = k / n
            self._plot(x0 + (x1 - x0) * t, y0 + (y1 - y0) * t, color)

    def text(self, x: float, y: float, label: str, color: tuple[int, int, int]) -> None:
        for i, ch in enumerate(label.upper()):
            rows = _FONT.get(ch, _FONT[" "]).split()
            for r, bits in enumerate(rows):
                for c, bit in enumerate(bits):
                    if bit == "1":
                        self._plot(x + i * 6 + c, y + r, color)

    def save_png(self, path: str) -> None:
        h, w, _ = self.rgb.shape
        raw = b"".join(b"\x00" + self.rgb[row].tobytes() for row in range(h))

        def chunk(kind: bytes, data: bytes) -> bytes:
            return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

        png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
        png += chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b"")
        with open(path, "wb") as f:
            f.write(png)
