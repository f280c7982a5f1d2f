#!/usr/bin/env python3
"""Writes the program's icons in ui/icons from its drawing and its two small pictures.

The drawing below (a crescent moon behind a down arrow, on a 32-unit square) becomes the scalable
icon, moonfetch.svg, and the pictures of 48 to 256 pixels; 16 and 32 are drawn by hand, pixel by
pixel, since at those sizes a scaled drawing blurs. The Windows icon, moonfetch.ico, takes 16, 32
and 48 as 32-bit DIB entries with their AND masks, which every version of Windows and Wine reads,
and 256 as a PNG entry, as Windows keeps its large icons. Only 8-bit RGBA, non-interlaced PNGs
(the pictures' form) are read.
Usage: scripts/make-icon.py ui/icons
"""
import math
import os
import struct
import sys
import zlib

# Each shape: its outline's colour and width, its fill; painted in this order.
MOON = {"outer": (15.0, 16.5, 14.0), "inner": (21.5, 10.0, 10.0), "fill": "#ffd040", "line": "#96690a", "width": 1.0}
ARROW = {"points": [(17.5, 3.5), (25.5, 3.5), (25.5, 15.3), (30.5, 15.3), (21.5, 28.8), (12.5, 15.3), (17.5, 15.3)],
         "fill": "#3282f0", "line": "#0a286e", "width": 1.2}
DRAWN_SIZES = (48, 64, 128, 256)
ICO_SIZES = (16, 32, 48, 256)


def read_png(path):
    data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", path
    at, idat = 8, b""
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            assert (depth, colour, interlace) == (8, 6, 0), f"{path}: not 8-bit RGBA"
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    raw, stride, rows, previous = zlib.decompress(idat), width * 4, [], bytearray(width * 4)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for x in range(stride):
            left = line[x - 4] if x >= 4 else 0
            up, corner = previous[x], previous[x - 4] if x >= 4 else 0
            if kind == 1:
                line[x] = (line[x] + left) & 0xFF
            elif kind == 2:
                line[x] = (line[x] + up) & 0xFF
            elif kind == 3:
                line[x] = (line[x] + (left + up) // 2) & 0xFF
            elif kind == 4:
                p = left + up - corner
                best = min((abs(p - left), 0, left), (abs(p - up), 1, up), (abs(p - corner), 2, corner))[2]
                line[x] = (line[x] + best) & 0xFF
        rows.append(bytes(line))
        previous = line
    return width, height, rows


def dib(width, height, rows):
    header = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes(v for x in range(width) for v in (row[4 * x + 2], row[4 * x + 1], row[4 * x], row[4 * x + 3]))
                      for row in reversed(rows))
    mask_stride = ((width + 31) // 32) * 4
    mask = b""
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x in range(width):
            if row[4 * x + 3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(bits)
    return header + pixels + mask


def png(width, height, rows):
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    pixels = zlib.compress(b"".join(b"\0" + row for row in rows), 9)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", pixels) + chunk(b"IEND", b"")


def circle_points(a, b):
    """Where two circles (x, y, r) cross."""
    (ax, ay, ar), (bx, by, br) = a, b
    d = math.hypot(bx - ax, by - ay)
    along = (ar * ar - br * br + d * d) / (2 * d)
    across = math.sqrt(ar * ar - along * along)
    mx, my = ax + along * (bx - ax) / d, ay + along * (by - ay) / d
    return [(mx + across * (by - ay) / d, my - across * (bx - ax) / d),
            (mx - across * (by - ay) / d, my + across * (bx - ax) / d)]


def moon_distance(x, y):
    """Signed distance to the crescent's edge: negative inside. Each arc's nearest point is its
    foot on the circle when that lies on the arc, else one of the horns."""
    outer, inner = MOON["outer"], MOON["inner"]
    horns = circle_points(outer, inner)
    to_horn = min(math.hypot(x - hx, y - hy) for hx, hy in horns)
    best = to_horn
    for (cx, cy, r), other, keep_inside in ((outer, inner, False), (inner, outer, True)):
        length = math.hypot(x - cx, y - cy) or 1e-9
        fx, fy = cx + r * (x - cx) / length, cy + r * (y - cy) / length
        inside_other = math.hypot(fx - other[0], fy - other[1]) < other[2]
        if inside_other == keep_inside:
            best = min(best, abs(length - r))
    inside = math.hypot(x - outer[0], y - outer[1]) < outer[2] and math.hypot(x - inner[0], y - inner[1]) > inner[2]
    return -best if inside else best


def arrow_distance(x, y):
    """Signed distance to the arrow's edge: negative inside."""
    points, best, inside = ARROW["points"], float("inf"), False
    for (ax, ay), (bx, by) in zip(points, points[1:] + points[:1]):
        dx, dy = bx - ax, by - ay
        t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
        best = min(best, math.hypot(x - ax - t * dx, y - ay - t * dy))
        if (ay > y) != (by > y) and x < ax + (y - ay) * dx / dy:
            inside = not inside
    return -best if inside else best


def colour(text):
    return tuple(int(text[i:i + 2], 16) for i in (1, 3, 5))


def sample(x, y):
    """The drawing's colour at a point, or None where it is transparent."""
    found = None
    for shape, distance in ((MOON, moon_distance), (ARROW, arrow_distance)):
        d = distance(x, y)
        if abs(d) <= shape["width"] / 2:
            found = colour(shape["line"])
        elif d < 0:
            found = colour(shape["fill"])
    return found


def render(size, grid=4):
    """The drawing at size pixels, each pixel the mean of grid x grid samples."""
    unit, rows = 32.0 / size, []
    for py in range(size):
        row = bytearray()
        for px in range(size):
            totals, covered = [0, 0, 0], 0
            for sy in range(grid):
                for sx in range(grid):
                    found = sample((px + (sx + 0.5) / grid) * unit, (py + (sy + 0.5) / grid) * unit)
                    if found:
                        covered += 1
                        totals = [t + c for t, c in zip(totals, found)]
            row += bytes([round(t / covered) for t in totals] if covered else [0, 0, 0])
            row.append(round(255 * covered / grid ** 2))
        rows.append(bytes(row))
    return size, size, rows


def svg():
    (ox, oy, orad), (ix, iy, irad) = MOON["outer"], MOON["inner"]
    (ax, ay), (bx, by) = circle_points(MOON["outer"], MOON["inner"])
    moon = (f"M {ax:.3f} {ay:.3f} A {orad} {orad} 0 1 0 {bx:.3f} {by:.3f} "
            f"A {irad} {irad} 0 0 1 {ax:.3f} {ay:.3f} Z")
    arrow = "M " + " L ".join(f"{x} {y}" for x, y in ARROW["points"]) + " Z"
    paths = "".join(f'  <path d="{d}" fill="{s["fill"]}" stroke="{s["line"]}" stroke-width="{s["width"]}" '
                    f'stroke-linejoin="round"/>\n' for d, s in ((moon, MOON), (arrow, ARROW)))
    return ('<svg xmlns="http://www.w3.org/2000/svg" width="256" height="256" viewBox="0 0 32 32">\n'
            + paths + "</svg>\n")


def ico(pictures):
    images = [png(*p) if p[0] == 256 else dib(*p) for p in pictures]
    directory, offset = struct.pack("<HHH", 0, 1, len(images)), 6 + 16 * len(images)
    for (width, height, _), image in zip(pictures, images):
        directory += struct.pack("<BBBBHHII", width % 256, height % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    return directory + b"".join(images)


def main():
    folder = sys.argv[1]
    pictures = {size: read_png(os.path.join(folder, f"moonfetch-{size}.png")) for size in (16, 32)}
    for size in DRAWN_SIZES:
        pictures[size] = render(size)
        open(os.path.join(folder, f"moonfetch-{size}.png"), "wb").write(png(*pictures[size]))
    open(os.path.join(folder, "moonfetch.svg"), "w").write(svg())
    open(os.path.join(folder, "moonfetch.ico"), "wb").write(ico([pictures[size] for size in ICO_SIZES]))


main()
