#!/usr/bin/env python3
"""Draws the program icons: a rounded tile with the program's initial.

Usage: make_icons.py setup|update OUTPUT.ico

Writes one .ico with four 32-bit images: 256x256 stored as PNG, and 48, 32
and 24 stored as bitmaps. Standard library only; the output is the same bytes
on every run, so the committed icons can be regenerated and compared.
"""
import math
import struct
import sys
import zlib

# Per program: tile colours (top, bottom) and the letter drawn on it.
STYLES = {
    "setup": ((0x3A, 0x7B, 0xE8), (0x1A, 0x3C, 0x8C), "S"),
    "update": ((0x35, 0xB0, 0x68), (0x17, 0x66, 0x38), "U"),
}
SIZES = (256, 48, 32, 24)


def arc(cx, cy, r, start, end, steps=24):
    """Points of an arc in unit coordinates (y down), angles in degrees."""
    pts = []
    for i in range(steps + 1):
        a = math.radians(start + (end - start) * i / steps)
        pts.append((cx + r * math.cos(a), cy - r * math.sin(a)))
    return pts


def letter_strokes(letter):
    if letter == "S":
        return [arc(0.5, 0.375, 0.125, 25, 270) + arc(0.5, 0.625, 0.125, 90, -155)]
    if letter == "U":
        return [[(0.36, 0.26)] + arc(0.5, 0.58, 0.14, 180, 360) + [(0.64, 0.26)]]
    raise ValueError(letter)


def segment_distance(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    length2 = dx * dx + dy * dy
    t = 0.0 if length2 == 0 else max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / length2))
    ex, ey = px - (ax + t * dx), py - (ay + t * dy)
    return math.sqrt(ex * ex + ey * ey)


def stroke_distance(strokes, px, py):
    best = 10.0
    for pts in strokes:
        for (ax, ay), (bx, by) in zip(pts, pts[1:]):
            best = min(best, segment_distance(px, py, ax, ay, bx, by))
    return best


def rounded_box_distance(px, py, margin, radius):
    """Signed distance to a rounded square filling the unit square less a margin."""
    half = 0.5 - margin
    qx = abs(px - 0.5) - (half - radius)
    qy = abs(py - 0.5) - (half - radius)
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - radius


def coverage(distance, pixel):
    """Anti-aliased coverage of a shape at a signed distance, in pixel units."""
    return max(0.0, min(1.0, 0.5 - distance / pixel))


def over(dst, src, alpha):
    return tuple(s * alpha + d * (1.0 - alpha) for s, d in zip(src, dst))


def render(size, style):
    top, bottom, letter = style
    strokes = letter_strokes(letter)
    half_width = 0.055
    pixel = 1.0 / size
    shadow = 0.018
    rows = []
    for y in range(size):
        row = []
        py = (y + 0.5) * pixel
        tile = over(bottom, top, 1.0 - py)
        for x in range(size):
            px = (x + 0.5) * pixel
            tile_alpha = coverage(rounded_box_distance(px, py, 0.04, 0.17), pixel)
            if tile_alpha <= 0.0:
                row.append((0, 0, 0, 0))
                continue
            colour = tile
            if 0.15 < px < 0.85 and 0.15 < py < 0.9:
                d = stroke_distance(strokes, px - shadow, py - shadow) - half_width
                colour = over(colour, (0, 0, 0), 0.35 * coverage(d, pixel * 1.5))
                d = stroke_distance(strokes, px, py) - half_width
                colour = over(colour, (255, 255, 255), coverage(d, pixel))
            row.append(tuple(int(round(c)) for c in colour) + (int(round(255 * tile_alpha)),))
        rows.append(row)
    return rows


def png_bytes(rows):
    size = len(rows)
    raw = b"".join(b"\0" + bytes(c for px in row for c in px) for row in rows)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def dib_bytes(rows):
    size = len(rows)
    mask_stride = ((size + 31) // 32) * 4
    pixels = bytearray()
    mask = bytearray()
    for row in reversed(rows):  # bottom-up
        for r, g, b, a in row:
            pixels += bytes((b, g, r, a))
        bits = bytearray(mask_stride)
        for x, px in enumerate(row):
            if px[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0,
                         len(pixels) + len(mask), 0, 0, 0, 0)
    return header + bytes(pixels) + bytes(mask)


def icon_bytes(style):
    images = []
    for size in SIZES:
        rows = render(size, style)
        images.append((size, png_bytes(rows) if size == 256 else dib_bytes(rows)))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        dim = 0 if size == 256 else size
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, data in images)


def main(argv):
    if len(argv) != 3 or argv[1] not in STYLES:
        sys.stderr.write("usage: make_icons.py setup|update OUTPUT.ico\n")
        return 2
    with open(argv[2], "wb") as f:
        f.write(icon_bytes(STYLES[argv[1]]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
