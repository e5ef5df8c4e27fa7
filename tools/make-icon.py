#!/usr/bin/env python3
"""Draws Quillet's application icon, a quill over a clipboard, and writes it as a Windows
.ico: one group of three 32-bit images (alpha channel plus AND mask), 16x16, 48x48 and
32x32 in that order. Standard library only.

    python3 tools/make-icon.py resources/Quillet.ico
"""
import math
import struct
import sys

SIZES = (16, 48, 32)
SUPERSAMPLE = 4


def rounded_rect(x0, y0, x1, y1, radius):
    def inside(x, y):
        if not (x0 <= x <= x1 and y0 <= y <= y1):
            return False
        cx = min(max(x, x0 + radius), x1 - radius)
        cy = min(max(y, y0 + radius), y1 - radius)
        return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2
    return inside


def segment(ax, ay, bx, by, half_width):
    dx, dy = bx - ax, by - ay
    length2 = dx * dx + dy * dy

    def inside(x, y):
        t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / length2))
        px, py = ax + t * dx - x, ay + t * dy - y
        return px * px + py * py <= half_width * half_width
    return inside


def feather(ax, ay, bx, by, max_width, vane_start):
    """A quill from its nib (a) to its top (b): bare shaft, then a vane that swells and
    tapers, a little wider on the left of the shaft."""
    dx, dy = bx - ax, by - ay
    length = math.hypot(dx, dy)
    ux, uy = dx / length, dy / length

    def inside(x, y):
        t = ((x - ax) * ux + (y - ay) * uy) / length
        side = (x - ax) * uy - (y - ay) * ux  # > 0 left of the shaft
        if not (vane_start <= t <= 1.0):
            return False
        s = (t - vane_start) / (1.0 - vane_start)
        width = max_width * math.sin(math.pi * s) ** 0.7 * (1.0 if side > 0 else 0.7)
        return abs(side) <= width
    return inside


def layers(size):
    """Shapes back to front, each with its RGB colour; details that would only blur at
    16x16 are left out there."""
    shapes = [
        (rounded_rect(0.10, 0.08, 0.80, 0.97, 0.09), (0x5C, 0x3A, 0x1E)),  # board edge
        (rounded_rect(0.13, 0.11, 0.77, 0.94, 0.07), (0xA8, 0x6E, 0x3A)),  # board
        (rounded_rect(0.20, 0.19, 0.70, 0.88, 0.02), (0xFC, 0xFC, 0xF6)),  # paper
    ]
    if size >= 32:
        for y in (0.38, 0.50, 0.62, 0.74):
            shapes.append((segment(0.27, y, 0.55, y, 0.022), (0x8C, 0x96, 0xA0)))  # text
    shapes += [
        (rounded_rect(0.30, 0.03, 0.60, 0.21, 0.05), (0x4A, 0x50, 0x58)),  # clip edge
        (rounded_rect(0.33, 0.06, 0.57, 0.18, 0.03), (0xC4, 0xCC, 0xD4)),  # clip
        (feather(0.42, 0.90, 0.97, 0.10, 0.15, 0.22), (0x1F, 0x5F, 0xC8)),  # vane
        (segment(0.42, 0.90, 0.90, 0.20, 0.025 if size >= 32 else 0.04),
         (0x10, 0x20, 0x40)),  # shaft
        (segment(0.39, 0.94, 0.45, 0.86, 0.03 if size >= 32 else 0.05),
         (0x10, 0x10, 0x10)),  # nib
    ]
    return shapes


def render(size):
    """Rows top to bottom of (r, g, b, a), straight (not premultiplied) alpha."""
    shapes = layers(size)
    step = 1.0 / (size * SUPERSAMPLE)
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = a = 0.0  # premultiplied sum over the samples
            for sy in range(SUPERSAMPLE):
                for sx in range(SUPERSAMPLE):
                    x = (px * SUPERSAMPLE + sx + 0.5) * step
                    y = (py * SUPERSAMPLE + sy + 0.5) * step
                    colour = None
                    for inside, rgb in shapes:
                        if inside(x, y):
                            colour = rgb
                    if colour:
                        r, g, b, a = r + colour[0], g + colour[1], b + colour[2], a + 1
            samples = SUPERSAMPLE * SUPERSAMPLE
            if a == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append((round(r / a), round(g / a), round(b / a), round(255 * a / samples)))
        rows.append(row)
    return rows


def bitmap(size):
    """One icon image: BITMAPINFOHEADER (double height: colour plus mask), BGRA rows bottom
    up, then the 1-bit AND mask (set where fully transparent), rows padded to 32 bits."""
    rows = render(size)
    mask_stride = ((size + 31) // 32) * 4
    pixels = bytearray()
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (r, g, b, a) in enumerate(row):
            pixels += bytes((b, g, r, a))
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         len(pixels) + len(mask), 0, 0, 0, 0)
    return header + bytes(pixels) + bytes(mask)


def icon_file(sizes):
    images = [bitmap(size) for size in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    return out + b"".join(images)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make-icon.py OUTPUT.ico")
    with open(sys.argv[1], "wb") as f:
        f.write(icon_file(SIZES))


if __name__ == "__main__":
    main()
