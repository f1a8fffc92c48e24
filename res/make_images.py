#!/usr/bin/env python3
"""Draws Velmo's bitmaps and icons and writes them as PNG files next to this
script (bitmaps/ and icons/), the files that velmo.qrc lists.

Only the standard library is used, so the images can be made again on any
machine: ./res/make_images.py. The output is deterministic; commit the PNGs
together with any change to this script.

Images (the numbers are the resource ids the window uses):
  bitmaps/129.png  Up button, raised face       24 x 22, 16 colours
  bitmaps/134.png  Up button, pressed           24 x 22, 16 colours
  bitmaps/135.png  Up button, greyed            24 x 22, 16 colours
  bitmaps/131.png  Down button, raised face     24 x 22, 16 colours
  bitmaps/132.png  Down button, pressed         24 x 22, 16 colours
  bitmaps/133.png  Down button, greyed          24 x 22, 16 colours
  bitmaps/144.png  About box picture            32 x 32, at most 256 colours
  icons/128-32.png program icon                 32 x 32, 16 colours + transparency
  icons/128-16.png program icon                 16 x 16, 16 colours + transparency

and the desktop's icons of the installed program, in the hicolor theme's
folders (the same clock drawn as vector shapes, anti-aliased):
  icons/hicolor/scalable/apps/org.velmo.velmo.svg
  icons/hicolor/NxN/apps/org.velmo.velmo.png   for N in 16 24 32 48 64 128 256
"""

import math
import os
import struct
import sys
import zlib

# The sixteen colours of the classic 4-bit palette; 16-colour images use
# only these.
BLACK = (0, 0, 0)
MAROON = (128, 0, 0)
GREEN = (0, 128, 0)
OLIVE = (128, 128, 0)
NAVY = (0, 0, 128)
PURPLE = (128, 0, 128)
TEAL = (0, 128, 128)
SILVER = (192, 192, 192)
GREY = (128, 128, 128)
RED = (255, 0, 0)
LIME = (0, 255, 0)
YELLOW = (255, 255, 0)
BLUE = (0, 0, 255)
FUCHSIA = (255, 0, 255)
AQUA = (0, 255, 255)
WHITE = (255, 255, 255)
PALETTE16 = {BLACK, MAROON, GREEN, OLIVE, NAVY, PURPLE, TEAL, SILVER, GREY,
             RED, LIME, YELLOW, BLUE, FUCHSIA, AQUA, WHITE}

CLEAR = None  # a transparent pixel (icons only)


class Canvas:
    def __init__(self, width, height, fill):
        self.width = width
        self.height = height
        self.px = [[fill] * width for _ in range(height)]

    def set(self, x, y, colour):
        if 0 <= x < self.width and 0 <= y < self.height:
            self.px[y][x] = colour

    def get(self, x, y):
        return self.px[y][x]

    def rect(self, x0, y0, x1, y1, colour):
        """Fills the inclusive rectangle (x0, y0)-(x1, y1)."""
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                self.set(x, y, colour)

    def line(self, x0, y0, x1, y1, colour):
        steps = max(abs(x1 - x0), abs(y1 - y0), 1)
        for i in range(steps + 1):
            t = i / steps
            self.set(round(x0 + (x1 - x0) * t), round(y0 + (y1 - y0) * t), colour)

    def colours(self):
        return {c for row in self.px for c in row if c is not CLEAR}


def png_bytes(canvas, alpha):
    """Encodes a canvas as an 8-bit RGB (or RGBA) PNG."""
    raw = bytearray()
    for row in canvas.px:
        raw.append(0)  # filter type None for every scanline
        for c in row:
            if alpha:
                raw.extend((0, 0, 0, 0) if c is CLEAR else (*c, 255))
            else:
                raw.extend(c)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    colour_type = 6 if alpha else 2
    header = struct.pack(">IIBBBBB", canvas.width, canvas.height, 8, colour_type, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


# ---------------------------------------------------------------- buttons

BUTTON_W, BUTTON_H = 24, 22


def up_arrow_mask():
    """Pixels of the up arrow: a triangle on a short stem, centred on the face."""
    cells = set()
    cx = 11
    for row in range(5):            # triangle rows 6..10, half-width 0..4
        for x in range(cx - row, cx + row + 1):
            cells.add((x, 6 + row))
    for y in range(11, 15):         # stem rows 11..14, three pixels wide
        for x in range(cx - 1, cx + 2):
            cells.add((x, y))
    return cells


def down_arrow_mask():
    # The face's inner area spans rows 1..19 (row 20 is the shadow), so the
    # mirror axis is row 10; the arrow mirrors onto rows 6..14 as well.
    return {(x, 20 - y) for (x, y) in up_arrow_mask()}


def button_face(state):
    c = Canvas(BUTTON_W, BUTTON_H, SILVER)
    w, h = BUTTON_W - 1, BUTTON_H - 1
    if state == "pressed":
        c.rect(0, 0, w, 0, BLACK)
        c.rect(0, 0, 0, h, BLACK)
        c.rect(1, 1, w - 1, 1, GREY)
        c.rect(1, 1, 1, h - 1, GREY)
        c.rect(0, h, w, h, WHITE)
        c.rect(w, 0, w, h, WHITE)
    else:
        c.rect(0, 0, w, 0, WHITE)
        c.rect(0, 0, 0, h, WHITE)
        c.rect(0, h, w, h, BLACK)
        c.rect(w, 0, w, h, BLACK)
        c.rect(1, h - 1, w - 1, h - 1, GREY)
        c.rect(w - 1, 1, w - 1, h - 1, GREY)
    return c


def button(mask, state):
    c = button_face(state)
    if state == "normal":
        for x, y in mask:
            c.set(x, y, BLACK)
    elif state == "pressed":
        # The face sinks: the arrow moves one pixel down and to the right.
        for x, y in mask:
            c.set(x + 1, y + 1, BLACK)
    else:
        # Greyed: an embossed arrow, a white copy under a grey one.
        for x, y in mask:
            c.set(x + 1, y + 1, WHITE)
        for x, y in mask:
            c.set(x, y, GREY)
    return c


# ------------------------------------------------------------------ icons

def clock_icon(size):
    """A clock face with a music note: the program icon."""
    c = Canvas(size, size, CLEAR)
    centre = (size - 1) / 2
    radius = size / 2 - 0.5
    rim = 2.0 if size >= 32 else 1.0
    for y in range(size):
        for x in range(size):
            d = math.hypot(x - centre, y - centre)
            if d <= radius:
                c.set(x, y, NAVY if d > radius - rim else WHITE)
    # Hour marks at 12, 3, 6 and 9.
    inner = radius - rim
    for angle in (0, 90, 180, 270):
        a = math.radians(angle)
        for r in ([inner - 0.5, inner - 2.5] if size >= 32 else [inner - 0.5]):
            c.set(round(centre + r * math.sin(a)), round(centre - r * math.cos(a)), BLACK)
    # Hands at ten past ten.
    cx = cy = round(centre)
    for angle, length in ((300, inner * 0.55), (60, inner * 0.8)):
        a = math.radians(angle)
        c.line(cx, cy, round(centre + length * math.sin(a)), round(centre - length * math.cos(a)), BLACK)
    c.set(cx, cy, RED)
    if size >= 32:
        # A red eighth note in the lower half of the face.
        for y in range(19, 26):
            c.set(18, y, RED)
        c.rect(18, 19, 21, 19, RED)
        c.rect(21, 19, 21, 21, RED)
        c.rect(15, 25, 17, 26, RED)
        c.rect(16, 24, 17, 24, RED)
    return c


def about_picture():
    """The About box picture: the clock on a blue gradient tile (256 colours at most)."""
    size = 32
    c = Canvas(size, size, BLACK)
    for y in range(size):
        for x in range(size):
            # Diagonal gradient in 16 steps keeps the colour count small.
            step = (x + y) * 15 // (2 * (size - 1))
            c.set(x, y, (16 + step * 4, 48 + step * 8, 128 + step * 8))
    face = clock_icon(size)
    for y in range(size):
        for x in range(size):
            p = face.get(x, y)
            if p is not CLEAR:
                c.set(x, y, p)
    return c


# ------------------------------------------------------- the desktop icon

APP_ID = "org.velmo.velmo"
THEME_SIZES = (16, 24, 32, 48, 64, 128, 256)
VIEW = 256  # the vector icon's coordinates run from 0 to 256


def _hand(angle, length):
    a = math.radians(angle)
    return (128 + length * math.sin(a), 128 - length * math.cos(a))


# The clock of the program icon as shapes, painted in order:
# ("disc", colour, cx, cy, r), ("stroke", colour, x0, y0, x1, y1, width) with
# round caps, ("ellipse", colour, cx, cy, rx, ry, degrees).
def vector_clock():
    shapes = [("disc", NAVY, 128, 128, 120), ("disc", WHITE, 128, 128, 104)]
    for angle in range(0, 360, 30):
        a = math.radians(angle)
        outer, inner = 94, (78 if angle % 90 == 0 else 86)
        shapes.append(("stroke", BLACK, 128 + inner * math.sin(a), 128 - inner * math.cos(a),
                       128 + outer * math.sin(a), 128 - outer * math.cos(a), 10 if angle % 90 == 0 else 6))
    shapes.append(("stroke", BLACK, 128, 128, *_hand(300, 50), 14))  # hour hand at ten past ten
    shapes.append(("stroke", BLACK, 128, 128, *_hand(60, 76), 9))    # minute hand
    shapes.append(("disc", RED, 128, 128, 10))
    # A red eighth note in the lower half of the face.
    shapes.append(("ellipse", RED, 150, 176, 15, 11, -20))
    shapes.append(("stroke", RED, 162, 126, 162, 174, 7))
    shapes.append(("stroke", RED, 162, 126, 180, 146, 7))
    return shapes


def svg_text(shapes):
    def colour(c):
        return "#%02x%02x%02x" % c

    def num(v):
        return ("%.2f" % v).rstrip("0").rstrip(".")

    out = ['<?xml version="1.0" encoding="UTF-8"?>',
           f'<svg xmlns="http://www.w3.org/2000/svg" width="{VIEW}" height="{VIEW}" '
           f'viewBox="0 0 {VIEW} {VIEW}">',
           "  <title>Velmo</title>"]
    for s in shapes:
        if s[0] == "disc":
            _, c, cx, cy, r = s
            out.append(f'  <circle cx="{num(cx)}" cy="{num(cy)}" r="{num(r)}" fill="{colour(c)}"/>')
        elif s[0] == "stroke":
            _, c, x0, y0, x1, y1, w = s
            out.append(f'  <line x1="{num(x0)}" y1="{num(y0)}" x2="{num(x1)}" y2="{num(y1)}" '
                       f'stroke="{colour(c)}" stroke-width="{num(w)}" stroke-linecap="round"/>')
        else:
            _, c, cx, cy, rx, ry, deg = s
            out.append(f'  <ellipse cx="{num(cx)}" cy="{num(cy)}" rx="{num(rx)}" ry="{num(ry)}" '
                       f'transform="rotate({num(deg)} {num(cx)} {num(cy)})" fill="{colour(c)}"/>')
    out.append("</svg>")
    return "\n".join(out) + "\n"


def _inside(shape, x, y):
    if shape[0] == "disc":
        _, _, cx, cy, r = shape
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    if shape[0] == "stroke":
        _, _, x0, y0, x1, y1, w = shape
        dx, dy = x1 - x0, y1 - y0
        t = 0.0 if dx == dy == 0 else max(0.0, min(1.0, ((x - x0) * dx + (y - y0) * dy) / (dx * dx + dy * dy)))
        return (x - x0 - t * dx) ** 2 + (y - y0 - t * dy) ** 2 <= (w / 2) ** 2
    _, _, cx, cy, rx, ry, deg = shape
    a = math.radians(-deg)
    u = (x - cx) * math.cos(a) - (y - cy) * math.sin(a)
    v = (x - cx) * math.sin(a) + (y - cy) * math.cos(a)
    return (u / rx) ** 2 + (v / ry) ** 2 <= 1.0


def render_rgba(shapes, size, samples=4):
    """The shapes at size x size pixels, each pixel the average of
    samples x samples points: straight (not premultiplied) RGBA rows."""
    scale = VIEW / size
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = a = 0
            for sy in range(samples):
                for sx in range(samples):
                    x = (px + (sx + 0.5) / samples) * scale
                    y = (py + (sy + 0.5) / samples) * scale
                    hit = None
                    for shape in reversed(shapes):
                        if _inside(shape, x, y):
                            hit = shape[1]
                            break
                    if hit is not None:
                        r, g, b, a = r + hit[0], g + hit[1], b + hit[2], a + 1
            if a == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append((round(r / a), round(g / a), round(b / a), round(255 * a / samples ** 2)))
        rows.append(row)
    return rows


def rgba_png_bytes(rows):
    raw = bytearray()
    for row in rows:
        raw.append(0)
        for p in row:
            raw.extend(p)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", len(rows[0]), len(rows), 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def write_theme_icons(top):
    shapes = vector_clock()
    base = os.path.join(top, "icons", "hicolor")
    path = os.path.join(base, "scalable", "apps", APP_ID + ".svg")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write(svg_text(shapes))
    print(f"icons/hicolor/scalable/apps/{APP_ID}.svg")
    for size in THEME_SIZES:
        folder = os.path.join(base, f"{size}x{size}", "apps")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, APP_ID + ".png"), "wb") as f:
            f.write(rgba_png_bytes(render_rgba(shapes, size, 4 if size <= 64 else 2)))
        print(f"icons/hicolor/{size}x{size}/apps/{APP_ID}.png: {size} x {size}")


def main():
    top = os.path.dirname(os.path.abspath(__file__))
    up, down = up_arrow_mask(), down_arrow_mask()
    images = {
        "bitmaps/129.png": (button(up, "normal"), False, 16),
        "bitmaps/134.png": (button(up, "pressed"), False, 16),
        "bitmaps/135.png": (button(up, "greyed"), False, 16),
        "bitmaps/131.png": (button(down, "normal"), False, 16),
        "bitmaps/132.png": (button(down, "pressed"), False, 16),
        "bitmaps/133.png": (button(down, "greyed"), False, 16),
        "bitmaps/144.png": (about_picture(), False, 256),
        "icons/128-32.png": (clock_icon(32), True, 16),
        "icons/128-16.png": (clock_icon(16), True, 16),
    }
    for name, (canvas, alpha, max_colours) in images.items():
        used = canvas.colours()
        if len(used) > max_colours or (max_colours == 16 and not used <= PALETTE16):
            sys.exit(f"{name}: {len(used)} colours, more than the image may hold")
        path = os.path.join(top, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(png_bytes(canvas, alpha))
        print(f"{name}: {canvas.width} x {canvas.height}, {len(used)} colours")
    write_theme_icons(top)


if __name__ == "__main__":
    main()
