#!/usr/bin/env python3
"""Draws the stub's icon, a taped cardboard box, and writes it as a .ico file.

Usage: make_icon.py OUT.ico

The file holds 16, 32 and 48 pixel images at 4, 8 and 32 bits per pixel plus a 256 pixel
PNG image. Output is a pure function of this script, so rebuilding never changes the stub.
"""
import struct
import sys
import zlib
from collections import Counter

SIZES = (48, 32, 16)
DEPTHS = (32, 8, 4)
LARGE = 256

TAPE_FROM, TAPE_TO = 0.40, 0.60  # across the lid, as a share of its width
TAPE_DOWN = 0.38  # how far the tape reaches down the left side

OUTLINE = (78, 48, 22)
# Each surface fades from its first colour at its highest point to its second at its lowest.
SHADES = {
    "top": ((246, 206, 142), (228, 176, 106)),
    "left": ((212, 148, 80), (178, 114, 54)),
    "right": ((170, 106, 50), (136, 80, 34)),
    "tape_top": ((252, 240, 206), (238, 220, 174)),
    "tape_left": ((232, 212, 166), (204, 182, 134)),
}


def _face(origin, u_end, v_end):
    """A parallelogram spanned from origin towards u_end and v_end, kept in solved form."""
    ux, uy = u_end[0] - origin[0], u_end[1] - origin[1]
    vx, vy = v_end[0] - origin[0], v_end[1] - origin[1]
    det = ux * vy - uy * vx
    ys = (origin[1], u_end[1], v_end[1], u_end[1] + v_end[1] - origin[1])
    return origin, (vy / det, -vx / det, -uy / det, ux / det), (min(ys), max(ys))


def _segment_distance(x, y, p, q):
    px, py = p
    qx, qy = q
    ex, ey = qx - px, qy - py
    t = ((x - px) * ex + (y - py) * ey) / (ex * ex + ey * ey)
    t = min(1.0, max(0.0, t))
    return ((x - px - t * ex) ** 2 + (y - py - t * ey) ** 2) ** 0.5


class Box:
    """The box seen from above its front corner, laid out in pixels for one image size."""

    def __init__(self, size):
        # Vertical edges sit on pixel centres and the slopes are two across to one down, so
        # the small images get crisp one-pixel lines instead of smeared pairs.
        cx = size // 2 + 0.5
        half = round(0.43 * size)
        side = round(0.44 * size)
        top = (size - half - side) // 2 + 0.5
        top_v, centre = (cx, top), (cx, top + half)
        left, right = (cx - half, top + half / 2), (cx + half, top + half / 2)
        bottom_left, bottom = (left[0], left[1] + side), (cx, centre[1] + side)
        bottom_right = (right[0], right[1] + side)
        self.faces = {
            "top": _face(top_v, right, left),
            "left": _face(left, centre, bottom_left),
            "right": _face(centre, right, bottom),
        }
        self.silhouette = ((top_v, right), (right, bottom_right), (bottom_right, bottom),
                           (bottom, bottom_left), (bottom_left, left), (left, top_v))
        self.creases = ((left, centre), (centre, right), (centre, bottom))
        # Lines keep at least a pixel's width so the box stays legible at 16 pixels.
        self.edge = max(0.5, 0.016 * size)
        self.crease = max(0.5, 0.011 * size)

    def sample(self, x, y, steps):
        """Colour at pixel coordinates (x, y), or None where the icon is transparent."""
        if any(_segment_distance(x, y, p, q) <= self.edge for p, q in self.silhouette):
            return OUTLINE
        if any(_segment_distance(x, y, p, q) <= self.crease for p, q in self.creases):
            return OUTLINE
        for name, face in self.faces.items():
            (ox, oy), (a, b, c, d), (low, high) = face
            u = a * (x - ox) + b * (y - oy)
            v = c * (x - ox) + d * (y - oy)
            if 0.0 <= u <= 1.0 and 0.0 <= v <= 1.0:
                surface = name
                if name == "top" and TAPE_FROM <= v <= TAPE_TO:
                    surface = "tape_top"
                elif name == "left" and TAPE_FROM <= u <= TAPE_TO and v <= TAPE_DOWN:
                    surface = "tape_left"
                return _shade(surface, (y - low) / (high - low), steps)
        return None

    def pixel_samples(self, col, row, n, steps):
        return [self.sample(col + (sx + 0.5) / n, row + (sy + 0.5) / n, steps)
                for sy in range(n) for sx in range(n)]


def _shade(surface, t, steps):
    light, dark = SHADES[surface]
    t = min(1.0, max(0.0, t))
    if steps:
        # Palette images get a few flat bands so their colours fit the palette.
        t = min(steps - 1, int(t * steps)) / max(1, steps - 1)
    return tuple(int(l + (d - l) * t + 0.5) for l, d in zip(light, dark))


def render(size, supersample, steps=0):
    """Rows of (r, g, b, alpha) with straight alpha, antialiased by supersampling."""
    box = Box(size)
    count = supersample * supersample
    # Once every line is two pixels wide or more, a pixel whose four corners agree holds no
    # edge, so its corner colour stands for all of it; this keeps the large image quick.
    lattice = None
    if 2 * min(box.edge, box.crease) >= 2:
        lattice = [[box.sample(col, row, steps) for col in range(size + 1)]
                   for row in range(size + 1)]
    rows = []
    for row in range(size):
        line = []
        for col in range(size):
            if lattice and (lattice[row][col] == lattice[row][col + 1]
                            == lattice[row + 1][col] == lattice[row + 1][col + 1]):
                c = lattice[row][col]
                line.append((0, 0, 0, 0) if c is None else c + (255,))
                continue
            hits = [c for c in box.pixel_samples(col, row, supersample, steps) if c is not None]
            if not hits:
                line.append((0, 0, 0, 0))
                continue
            rgb = tuple((sum(c[i] for c in hits) + len(hits) // 2) // len(hits) for i in range(3))
            line.append(rgb + ((len(hits) * 255 + count // 2) // count,))
        rows.append(line)
    return rows


def render_indexed(size, supersample, steps):
    """Rows of palette-ready colours or None: no blending, so every colour is a drawn one."""
    box = Box(size)
    rows = []
    for row in range(size):
        line = []
        for col in range(size):
            hits = Counter(c for c in box.pixel_samples(col, row, supersample, steps)
                           if c is not None)
            if sum(hits.values()) * 2 < supersample * supersample:
                line.append(None)
                continue
            # On a tie the outline wins, so lines do not break up into dots along an edge.
            line.append(max(hits, key=lambda c: (hits[c], c == OUTLINE, c)))
        rows.append(line)
    return rows


def _pack_bits(values, bpp):
    """One DIB row: values packed most significant first, padded to four bytes."""
    out = bytearray()
    per_byte = 8 // bpp
    for i in range(0, len(values), per_byte):
        byte = 0
        for j in range(per_byte):
            value = values[i + j] if i + j < len(values) else 0
            byte |= value << (8 - bpp * (j + 1))
        out.append(byte)
    out.extend(b"\0" * (-len(out) % 4))
    return bytes(out)


def _dib(size, bpp, palette, pixel_rows, transparent_rows):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bpp, 0, 0, 0, 0, 0, 0)
    body = bytearray()
    for colour in palette:
        body += bytes((colour[2], colour[1], colour[0], 0))
    for row in reversed(pixel_rows):
        body += row
    for row in reversed(transparent_rows):
        body += _pack_bits([1 if t else 0 for t in row], 1)
    return header + bytes(body)


def dib_true_colour(size):
    rows = render(size, 4)
    pixels = [b"".join(bytes((b, g, r, a)) for r, g, b, a in row) for row in rows]
    return _dib(size, 32, (), pixels, [[a == 0 for *_, a in row] for row in rows])


def dib_indexed(size, bpp):
    rows = render_indexed(size, 5, 2 if bpp == 4 else 12)
    colours = sorted({c for row in rows for c in row if c is not None} - {(0, 0, 0)})
    # Black first: transparent pixels point at it, so the XOR image leaves the screen as it is.
    palette = [(0, 0, 0)] + colours
    if len(palette) > 1 << bpp:
        raise SystemExit(f"{size}px at {bpp} bpp needs {len(palette)} colours")
    palette += [(0, 0, 0)] * ((1 << bpp) - len(palette))
    index = {c: i for i, c in reversed(list(enumerate(palette)))}
    pixels = [_pack_bits([index[c] if c is not None else 0 for c in row], bpp) for row in rows]
    return _dib(size, bpp, palette, pixels, [[c is None for c in row] for row in rows])


def _chunk(kind, data):
    return (struct.pack(">I", len(data)) + kind + data
            + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))


def png(size):
    # Banded shading leaves runs of equal pixels that deflate well as they are, smaller than
    # after any PNG row filter.
    rows = render(size, 3, steps=16)
    raw = b"".join(b"\0" + b"".join(bytes(p) for p in row) for row in rows)
    return (b"\x89PNG\r\n\x1a\n"
            + _chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + _chunk(b"IDAT", zlib.compress(raw, 9))
            + _chunk(b"IEND", b""))


def build_icon():
    images = [(LARGE, 32, png(LARGE))]
    for bpp in DEPTHS:
        for size in SIZES:
            images.append((size, bpp, dib_true_colour(size) if bpp == 32 else dib_indexed(size, bpp)))
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, bpp, data in images:
        dim = size % 256  # 256 is written as 0
        colours = 1 << bpp if bpp < 8 else 0
        directory += struct.pack("<BBBBHHII", dim, dim, colours, 0, 1, bpp, len(data), offset)
        offset += len(data)
    return directory + b"".join(data for *_, data in images)


def main(argv):
    if len(argv) != 2:
        raise SystemExit("usage: make_icon.py OUT.ico")
    with open(argv[1], "wb") as out:
        out.write(build_icon())


if __name__ == "__main__":
    main(sys.argv)
