#!/usr/bin/env python3
"""Draws the window skin, the progress bitmap and the application icon.

Outputs (next to this script): skin.bmp, progress.bmp (24-bit uncompressed BMP at
2835 pixels per metre), ftpupg.ico (32x32 and 16x16, 16 colours each) and ftpupg.png
(32x32 for the desktop icon theme). Needs python3 and ImageMagick's `convert` (text only).

The skin is a face for fixed control positions, so the places below must stay in the
plain face colour: the controls paint their backgrounds in (113,105,165).
Pure red (255,0,0) is the window's colour key; the face's outline never fades into it.
"""

import os
import struct
import subprocess
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))

KEY = (255, 0, 0)
FACE = (112, 104, 165)
OUTLINE = (34, 30, 64)
GROOVE_DARK = (90, 83, 138)
GROOVE_LIGHT = (138, 130, 192)

SKIN_W, SKIN_H = 434, 292
CORNER_R = 13
TITLE_BOTTOM = 46  # first row of the groove under the title band

# Where the progress bitmap is drawn on the skin, and its size.
PROG_X, PROG_Y, PROG_W, PROG_H = 224, 160, 185, 120

# Bar layout of the progress picture (bitmap coordinates).
BAR_COUNT, BAR_PITCH, BAR_WIDTH = 20, 9, 6
BAR_LEFT = (PROG_W - ((BAR_COUNT - 1) * BAR_PITCH + BAR_WIDTH)) // 2
BAR_BASE = 95          # last row of every bar
BAR_MIN, BAR_MAX = 12, 84
BASELINE_Y = 98


# --------------------------------------------------------------------------- canvas

class Canvas:
    def __init__(self, w, h, colour):
        self.w, self.h = w, h
        self.px = [list(colour) for _ in range(w * h)]

    def get(self, x, y):
        return tuple(self.px[y * self.w + x])

    def set(self, x, y, c):
        if 0 <= x < self.w and 0 <= y < self.h:
            self.px[y * self.w + x] = [int(round(v)) for v in c]

    def blend(self, x, y, c, a):
        if a <= 0 or not (0 <= x < self.w and 0 <= y < self.h):
            return
        a = min(a, 1.0)
        p = self.px[y * self.w + x]
        self.px[y * self.w + x] = [int(round(p[i] + (c[i] - p[i]) * a)) for i in range(3)]

    def rect(self, x0, y0, x1, y1, c):
        for y in range(y0, y1):
            for x in range(x0, x1):
                self.set(x, y, c)


def mix(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


def smooth_round_rect_cover(x, y, x0, y0, x1, y1, r, ss=4):
    """Coverage (0..1) of pixel (x, y) by a rounded rectangle [x0,x1) x [y0,y1)."""
    hits = 0
    for sy in range(ss):
        for sx in range(ss):
            px = x + (sx + 0.5) / ss
            py = y + (sy + 0.5) / ss
            if inside_round_rect(px, py, x0, y0, x1, y1, r):
                hits += 1
    return hits / (ss * ss)


def inside_round_rect(px, py, x0, y0, x1, y1, r):
    if px < x0 or px >= x1 or py < y0 or py >= y1:
        return False
    cx = min(max(px, x0 + r), x1 - r)
    cy = min(max(py, y0 + r), y1 - r)
    return (px - cx) ** 2 + (py - cy) ** 2 <= r * r


def text_mask(text, font, size, kerning=0.0):
    """Anti-aliased coverage of a text line as (w, h, rows of 0..1)."""
    out = subprocess.run(
        ["convert", "-background", "black", "-fill", "white", "-font", font,
         "-pointsize", str(size), "-kerning", str(kerning), "label:" + text,
         "-depth", "8", "pgm:-"], check=True, capture_output=True).stdout
    fields, pos = [], 0
    while len(fields) < 4:
        while out[pos:pos + 1].isspace():
            pos += 1
        start = pos
        while not out[pos:pos + 1].isspace():
            pos += 1
        fields.append(out[start:pos])
    pos += 1
    w, h, maxval = int(fields[1]), int(fields[2]), int(fields[3])
    data = out[pos:pos + w * h]
    return w, h, [[data[y * w + x] / maxval for x in range(w)] for y in range(h)]


def draw_text(canvas, text, font, size, x, y, colour, kerning=0.0, centre=False):
    w, h, m = text_mask(text, font, size, kerning)
    if centre:
        x -= w // 2
    for ty in range(h):
        for tx in range(w):
            canvas.blend(x + tx, y + ty, colour, m[ty][tx])
    return w, h


# --------------------------------------------------------------------------- files

def write_bmp(path, canvas):
    row = (canvas.w * 3 + 3) & ~3
    pixels = bytearray()
    for y in range(canvas.h - 1, -1, -1):
        start = len(pixels)
        for x in range(canvas.w):
            r, g, b = canvas.get(x, y)
            pixels += bytes((b, g, r))
        pixels += bytes(row - (len(pixels) - start))
    header = struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, canvas.w, canvas.h, 1, 24, 0, len(pixels),
                       2835, 2835, 0, 0)
    with open(path, "wb") as f:
        f.write(header + info + pixels)


def write_ico(path, images):
    """images: list of (size, palette[16], index rows, transparent mask rows)."""
    blobs = []
    for size, palette, idx, clear in images:
        xor_row = ((size * 4 + 31) // 32) * 4
        and_row = ((size + 31) // 32) * 4
        xor = bytearray()
        andm = bytearray()
        for y in range(size - 1, -1, -1):
            line = bytearray(xor_row)
            for x in range(size):
                v = idx[y][x] & 15
                line[x // 2] |= v << 4 if x % 2 == 0 else v
            xor += line
            mline = bytearray(and_row)
            for x in range(size):
                if clear[y][x]:
                    mline[x // 8] |= 0x80 >> (x % 8)
            andm += mline
        info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, len(xor) + len(andm),
                           0, 0, 16, 0)
        pal = b"".join(bytes((b, g, r, 0)) for (r, g, b) in palette)
        blobs.append((size, info + pal + bytes(xor) + bytes(andm)))
    out = struct.pack("<HHH", 0, 1, len(blobs))
    offset = 6 + 16 * len(blobs)
    for size, blob in blobs:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 16, 0, 1, 4, len(blob), offset)
        offset += len(blob)
    for _, blob in blobs:
        out += blob
    with open(path, "wb") as f:
        f.write(out)


def write_png(path, w, h, rgba_rows):
    raw = b"".join(b"\x00" + bytes(v for px in row for v in px) for row in rgba_rows)

    def chunk(tag, data):
        return (struct.pack(">I", len(data)) + tag + data
                + struct.pack(">I", zlib.crc32(tag + data) & 0xFFFFFFFF))

    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(raw, 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


# --------------------------------------------------------------------------- progress

def bar_height(i):
    t = i / (BAR_COUNT - 1)
    return BAR_MIN + (BAR_MAX - BAR_MIN) * (t ** 1.15)


def bar_colour(x):
    # Across the bar: teal to spring green.
    t = x / (PROG_W - 1)
    return mix((58, 186, 236), (118, 236, 170), t)


def draw_bars(canvas, ox, oy, style):
    """style 'lit' for the progress picture, 'ghost' for the empty track on the skin."""
    for i in range(BAR_COUNT):
        x0 = ox + BAR_LEFT + i * BAR_PITCH
        top = oy + BAR_BASE + 1 - bar_height(i)
        x1 = x0 + BAR_WIDTH
        y1 = oy + BAR_BASE + 1
        for y in range(int(top) - 1, y1):
            for x in range(x0, x1):
                cov = smooth_round_rect_cover(x, y, x0, top, x1, y1, 2.0)
                if cov <= 0:
                    continue
                if style == "lit":
                    base = bar_colour(x - ox)
                    # brighter towards the top, a soft highlight on the left edge
                    v = (y - top) / max(1.0, y1 - top)
                    c = mix(mix(base, (255, 255, 255), 0.35), mix(base, (30, 60, 120), 0.25), v)
                    if x == x0:
                        c = mix(c, (255, 255, 255), 0.30)
                    elif x == x1 - 1:
                        c = mix(c, (20, 30, 80), 0.20)
                else:
                    c = (100, 92, 152) if (x in (x0, x1 - 1) or y <= top + 1) else (104, 96, 156)
                canvas.blend(x, y, c, cov)
    # the floor the bars stand on
    for x in range(ox + BAR_LEFT - 2, ox + BAR_LEFT + (BAR_COUNT - 1) * BAR_PITCH + BAR_WIDTH + 2):
        if style == "lit":
            c = mix(bar_colour(min(max(x - ox, 0), PROG_W - 1)), FACE, 0.35)
            canvas.set(x, oy + BASELINE_Y, c)
            canvas.set(x, oy + BASELINE_Y + 1, mix(c, FACE, 0.6))
        else:
            canvas.set(x, oy + BASELINE_Y, GROOVE_DARK)
            canvas.set(x, oy + BASELINE_Y + 1, GROOVE_LIGHT)


def make_progress():
    c = Canvas(PROG_W, PROG_H, FACE)
    draw_bars(c, 0, 0, "lit")
    return c


# --------------------------------------------------------------------------- skin

def fade_at_ends(i, n, length=24):
    t = min(1.0, (i + 1) / length, (n - i) / length)
    return t * t * (3 - 2 * t)


def groove_h(c, x0, x1, y):
    for x in range(x0, x1):
        a = fade_at_ends(x - x0, x1 - x0)
        c.blend(x, y, GROOVE_DARK, a)
        c.blend(x, y + 1, GROOVE_LIGHT, a)


def groove_v(c, x, y0, y1):
    for y in range(y0, y1):
        a = fade_at_ends(y - y0, y1 - y0)
        c.blend(x, y, GROOVE_DARK, a)
        c.blend(x + 1, y, GROOVE_LIGHT, a)


def make_skin():
    c = Canvas(SKIN_W, SKIN_H, KEY)
    inside = [[inside_round_rect(x + 0.5, y + 0.5, 0, 0, SKIN_W, SKIN_H, CORNER_R)
               for x in range(SKIN_W)] for y in range(SKIN_H)]

    def depth(x, y):
        """0 on the outline, 1 just inside it, 2 further in (4-neighbour distance)."""
        for d in (0, 1):
            for dx, dy in ((-1 - d, 0), (1 + d, 0), (0, -1 - d), (0, 1 + d)):
                nx, ny = x + dx, y + dy
                if not (0 <= nx < SKIN_W and 0 <= ny < SKIN_H) or not inside[ny][nx]:
                    return d
        return 2

    title_top = (78, 70, 142)
    title_bottom = (48, 42, 98)
    for y in range(SKIN_H):
        for x in range(SKIN_W):
            if not inside[y][x]:
                continue
            if y < TITLE_BOTTOM:
                t = y / (TITLE_BOTTOM - 1)
                col = mix(title_top, title_bottom, t * t * (3 - 2 * t))
                # a soft vignette towards the ends of the band
                edge = min(x, SKIN_W - 1 - x) / 70.0
                if edge < 1:
                    col = mix(col, (40, 34, 84), 0.22 * (1 - edge) ** 2)
            elif y <= TITLE_BOTTOM + 4:
                # the band casts a faint shadow onto the face
                col = mix(FACE, (40, 34, 84), (0.0, 0.0, 0.10, 0.05, 0.02)[y - TITLE_BOTTOM])
            else:
                col = FACE
            c.set(x, y, col)

    # Groove between title band and face, lit by an accent in the progress colours
    # that fades out towards both ends.
    for x in range(SKIN_W):
        if inside[TITLE_BOTTOM][x]:
            fade = min(1.0, min(x, SKIN_W - 1 - x) / 120.0)
            fade = fade * fade * (3 - 2 * fade)
            accent = mix((58, 186, 236), (118, 236, 170), x / (SKIN_W - 1))
            c.set(x, TITLE_BOTTOM - 1, mix(c.get(x, TITLE_BOTTOM - 1), accent, 0.85 * fade))
            c.set(x, TITLE_BOTTOM, (30, 26, 62))
            c.set(x, TITLE_BOTTOM + 1, mix(FACE, (170, 162, 220), 0.6))

    # Bevel: outline, then light top-left and dark bottom-right just inside it.
    for y in range(SKIN_H):
        for x in range(SKIN_W):
            if not inside[y][x]:
                continue
            d = depth(x, y)
            if d == 0:
                c.set(x, y, OUTLINE)
            elif d == 1:
                # light along the top and left of the rim, shadow along the bottom and right
                on_top = y < 4
                on_left = x < 4 and y < SKIN_H - 4
                upper_left = x < SKIN_W / 2 and y < SKIN_H / 2  # the top-left corner arc
                if on_top or on_left or upper_left:
                    c.set(x, y, mix(c.get(x, y), (255, 255, 255), 0.30))
                else:
                    c.set(x, y, mix(c.get(x, y), (0, 0, 0), 0.28))

    # Dividers: under the notes pane (left part) and between controls and progress.
    groove_h(c, 10, 212, 164)
    groove_v(c, 211, 166, 280)

    # Empty progress track; the progress picture covers it from the left.
    draw_bars(c, PROG_X, PROG_Y, "ghost")

    # Brand mark in the free column right of the notes pane.
    draw_brand(c, 394, 64)
    return c


def draw_brand(c, cx, top):
    mark = (150, 142, 204)
    dim = (128, 120, 186)
    # rounded square frame with three rising bars: the product's progress motif
    x0, y0, size = cx - 17, top, 34
    for y in range(y0 - 1, y0 + size + 1):
        for x in range(x0 - 1, x0 + size + 1):
            outer = smooth_round_rect_cover(x, y, x0, y0, x0 + size, y0 + size, 8)
            inner = smooth_round_rect_cover(x, y, x0 + 2, y0 + 2, x0 + size - 2, y0 + size - 2, 6)
            c.blend(x, y, dim, outer - inner)
    for i, h in enumerate((9, 15, 21)):
        bx = x0 + 7 + i * 7
        for y in range(y0 + 27 - h - 1, y0 + 28):
            for x in range(bx - 1, bx + 6):
                cov = smooth_round_rect_cover(x, y, bx, y0 + 27 - h, bx + 5, y0 + 27, 1.5)
                c.blend(x, y, mark, cov)
    draw_text(c, "Morvane", "Liberation-Sans-Bold", 10, cx, top + size + 6, mark,
              kerning=1.2, centre=True)


# --------------------------------------------------------------------------- icon

ICON_PALETTE = [
    (0, 0, 0),          # 0 unused (transparent pixels)
    (34, 30, 64),       # 1 outline
    (62, 54, 116),      # 2 body dark
    (84, 76, 146),      # 3 body
    (112, 104, 165),    # 4 body light
    (150, 142, 204),    # 5 rim highlight
    (58, 186, 236),     # 6 bar teal
    (88, 212, 204),     # 7 bar aqua
    (118, 236, 170),    # 8 bar green
    (196, 244, 250),    # 9 bar top highlight
    (255, 255, 255),    # 10 white
    (30, 90, 130),      # 11 bar shade
    (46, 120, 110),     # 12 bar shade green
    (180, 174, 226),    # 13 pale lavender
    (70, 62, 130),      # 14 mid dark
    (24, 20, 44),       # 15 deep shadow
]


def make_icon(size):
    idx = [[0] * size for _ in range(size)]
    clear = [[True] * size for _ in range(size)]
    r = 6 if size == 32 else 3
    inside = [[inside_round_rect(x + 0.5, y + 0.5, 0, 0, size, size, r) for x in range(size)]
              for y in range(size)]
    for y in range(size):
        for x in range(size):
            if not inside[y][x]:
                continue
            clear[y][x] = False
            edge = any(not (0 <= x + dx < size and 0 <= y + dy < size and inside[y + dy][x + dx])
                       for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)))
            if edge:
                idx[y][x] = 1
            elif y < size * 0.45:
                idx[y][x] = 3
            else:
                idx[y][x] = 2
    # rim highlight along the top, just inside the outline
    for x in range(size):
        body = [y for y in range(size) if idx[y][x] in (2, 3)]
        if body and (body[0] == 1 or (size == 32 and body[0] == 2 and 2 < x < size - 3)):
            idx[body[0]][x] = 5
    if size == 32:
        bars = [(6, 10, 6), (13, 16, 7), (20, 22, 8)]  # x, height, colour
        width, base = 5, 26
    else:
        bars = [(3, 5, 6), (7, 8, 7), (11, 11, 8)]
        width, base = 3, 13
    for bx, h, col in bars:
        shade = 11 if col == 6 else 12
        for y in range(base - h, base):
            for x in range(bx, bx + width):
                v = col
                if y == base - h:
                    v = 9
                elif x == bx + width - 1 and size == 32:
                    v = shade
                idx[y][x] = v
    # the floor line
    fl = base
    for x in range(3 if size == 32 else 2, size - (3 if size == 32 else 2)):
        if not clear[fl][x] and idx[fl][x] != 1:
            idx[fl][x] = 13
    # an up arrow in the free top-left corner of the large image: "upgrade"
    if size == 32:
        arrow = ["...a...", "..aaa..", ".aaaaa.", "aaaaaaa", "..aaa..", "..aaa..", "..aaa.."]
        for ay, line in enumerate(arrow):
            for ax, ch in enumerate(line):
                if ch == "a":
                    idx[4 + ay][4 + ax] = 10
    return idx, clear


# --------------------------------------------------------------------------- checks

def read_bmp(path):
    data = open(path, "rb").read()
    magic, size, _, _, offset = struct.unpack_from("<2sIHHI", data, 0)
    (hsize, w, h, planes, bpp, compression, image_size, xppm, yppm, used,
     important) = struct.unpack_from("<IiiHHIIiiII", data, 14)
    assert magic == b"BM" and size == len(data) and offset == 54, path
    assert hsize == 40 and planes == 1 and bpp == 24 and compression == 0, path
    assert xppm == 2835 and yppm == 2835 and used == 0 and h > 0, path
    row = (w * 3 + 3) & ~3
    assert image_size == row * h and offset + image_size == len(data), path
    pixels = {}
    for y in range(h):
        base = offset + (h - 1 - y) * row
        for x in range(w):
            b, g, r = data[base + 3 * x:base + 3 * x + 3]
            pixels[x, y] = (r, g, b)
    return w, h, pixels


def near_red(c):
    r, g, b = c
    return c != KEY and r > 150 and r - max(g, b) > 80


def check():
    w, h, skin = read_bmp(os.path.join(HERE, "skin.bmp"))
    assert (w, h) == (SKIN_W, SKIN_H)
    for corner in ((0, 0), (w - 1, 0), (0, h - 1), (w - 1, h - 1)):
        assert skin[corner] == KEY, corner
    assert not any(near_red(c) for c in skin.values()), "reddish pixel in the skin"
    # The face never fades into the key: every neighbour of a key pixel is far from red.
    for (x, y), c in skin.items():
        if c == KEY:
            for n in ((x + 1, y), (x - 1, y), (x, y + 1), (x, y - 1)):
                if n in skin and skin[n] != KEY:
                    assert skin[n][0] < 100, n
    plain = [(8, 56, 345, 105),                     # notes pane
             (12, 200, 57, 13), (17, 228, 52, 13),  # edit labels
             (3, 170, 66, 13),                      # version-list label
             (224, 264, 34, 17), (328, 272, 90, 13)]  # percentage, version text
    for (x0, y0, cw, ch) in plain:
        for y in range(y0, y0 + ch):
            for x in range(x0, min(x0 + cw, SKIN_W - 4)):
                assert skin[x, y] == FACE, ("not plain face", x, y, skin[x, y])

    w, h, prog = read_bmp(os.path.join(HERE, "progress.bmp"))
    assert (w, h) == (PROG_W, PROG_H)
    assert KEY not in prog.values() and not any(near_red(c) for c in prog.values())
    for y in range(100, PROG_H):   # under the percentage and version labels
        for x in range(PROG_W):
            assert prog[x, y] == FACE, ("progress label strip", x, y)

    data = open(os.path.join(HERE, "ftpupg.ico"), "rb").read()
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    assert (reserved, kind, count) == (0, 1, 2)
    sizes = []
    for i in range(count):
        bw, bh, colours, res, planes, bits, length, offset = struct.unpack_from(
            "<BBBBHHII", data, 6 + 16 * i)
        assert colours == 16 and res == 0 and planes == 1 and bits == 4, i
        assert offset + length <= len(data)
        hsize, iw, ih, iplanes, ibits = struct.unpack_from("<IiiHH", data, offset)
        assert (hsize, iw, ih, iplanes, ibits) == (40, bw, 2 * bh, 1, 4), i
        sizes.append(bw)
    assert sizes == [32, 16]

    png = open(os.path.join(HERE, "ftpupg.png"), "rb").read()
    assert png.startswith(b"\x89PNG") and struct.unpack_from(">II", png, 16) == (32, 32)


# --------------------------------------------------------------------------- main

def main():
    if sys.argv[1:] == ["--check"]:
        check()
        print("artwork ok")
        return 0
    skin = make_skin()
    write_bmp(os.path.join(HERE, "skin.bmp"), skin)
    write_bmp(os.path.join(HERE, "progress.bmp"), make_progress())

    icons = []
    for size in (32, 16):
        idx, clear = make_icon(size)
        icons.append((size, ICON_PALETTE, idx, clear))
    write_ico(os.path.join(HERE, "ftpupg.ico"), icons)

    idx, clear = icons[0][2], icons[0][3]
    rows = [[(0, 0, 0, 0) if clear[y][x] else ICON_PALETTE[idx[y][x]] + (255,)
             for x in range(32)] for y in range(32)]
    write_png(os.path.join(HERE, "ftpupg.png"), 32, 32, rows)
    check()
    return 0


if __name__ == "__main__":
    sys.exit(main())
