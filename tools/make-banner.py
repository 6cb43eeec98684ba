#!/usr/bin/python3
"""Draws the installer banner and writes resources/banner.bmp.

The resource compiler drops the 14-byte file header; what stays is the DIB the hook hands
out: a 40-byte BITMAPINFOHEADER (340 x 159, 24 bits, BI_RGB, image size 0, 2834 pixels per
metre), 159 bottom-up rows of 1020 bytes and two trailing zero bytes: 162,222 bytes.

Needs Pillow (Debian: python3-pil) and the DejaVu fonts (fonts-dejavu-core).
Usage: tools/make-banner.py [OUTPUT]
"""
import math
import struct
import sys
from pathlib import Path

from PIL import Image, ImageDraw, ImageFilter, ImageFont

WIDTH, HEIGHT = 340, 159
SCALE = 4  # drawn large, then reduced, for smooth edges
FONTS = Path("/usr/share/fonts/truetype/dejavu")

DUSK_TOP = (18, 44, 58)
DUSK_LOW = (46, 96, 96)
HORIZON = (222, 170, 98)
WATER = (24, 58, 66)
REED = (12, 30, 30)
INK = (250, 244, 228)
ACCENT = (232, 180, 92)


def lerp(a, b, t):
    return tuple(round(x + (y - x) * t) for x, y in zip(a, b))


def sky(draw, w, h, horizon):
    for y in range(horizon):
        t = y / horizon
        colour = lerp(DUSK_TOP, DUSK_LOW, t) if t < 0.7 else lerp(DUSK_LOW, HORIZON, (t - 0.7) / 0.3)
        draw.line([(0, y), (w, y)], fill=colour)
    for y in range(horizon, h):
        t = (y - horizon) / (h - horizon)
        draw.line([(0, y), (w, y)], fill=lerp(lerp(HORIZON, WATER, 0.55), WATER, t))
    # glints of the low sun on the water
    for i in range(9):
        y = horizon + 6 * SCALE + i * 5 * SCALE
        half = (48 - i * 5) * SCALE
        cx = int(w * 0.84)
        draw.line([(cx - half, y), (cx + half, y)], fill=lerp(HORIZON, WATER, 0.2 + i * 0.08), width=SCALE)


def sun(draw, w, horizon):
    cx, r = int(w * 0.84), 22 * SCALE
    draw.pieslice([cx - r, horizon - r, cx + r, horizon + r], 180, 360, fill=(246, 200, 120))


def reeds(draw, w, h, horizon):
    # a bank of reeds and cattails along the left and the bottom edge
    for i in range(46):
        x = int((i * 37 % 101) / 101 * w * 0.30) + (i % 5) * SCALE * 3
        top = horizon - int((18 + (i * 53 % 41)) * SCALE)
        lean = ((i * 29 % 13) - 6) * SCALE
        draw.line([(x, h), (x + lean, top)], fill=REED, width=2 * SCALE)
        if i % 3 == 0:
            cx, cy = x + lean, top + 6 * SCALE
            draw.rounded_rectangle([cx - 3 * SCALE, cy - 9 * SCALE, cx + 3 * SCALE, cy + 9 * SCALE],
                                   radius=3 * SCALE, fill=(58, 36, 24))
    draw.rectangle([0, h - 10 * SCALE, w, h], fill=REED)


def quill(draw, x, y, length):
    # a feather leaning right: a shaft and two vanes of curved barbs
    angle = math.radians(-58)
    dx, dy = math.cos(angle), math.sin(angle)
    tip = (x, y)
    end = (x + dx * length, y + dy * length)
    for k in range(18, 100):
        t = k / 100
        px, py = x + dx * length * t, y + dy * length * t
        spread = math.sin(math.pi * (t - 0.15) / 0.85) * length * 0.16
        for side in (-1, 1):
            nx, ny = -dy * side, dx * side
            bx = px + nx * spread + dx * spread * 0.35
            by = py + ny * spread + dy * spread * 0.35
            draw.line([(px, py), (bx, by)], fill=lerp(INK, ACCENT, 0.25 + 0.5 * t), width=SCALE)
    draw.line([tip, end], fill=ACCENT, width=2 * SCALE)
    draw.polygon([tip, (x + 5 * SCALE, y - 2 * SCALE), (x + 2 * SCALE, y - 6 * SCALE)], fill=INK)


def title(image, w, horizon):
    layer = Image.new("RGBA", image.size, (0, 0, 0, 0))
    draw = ImageDraw.Draw(layer)
    name = ImageFont.truetype(str(FONTS / "DejaVuSerif-Bold.ttf"), 29 * SCALE)
    small = ImageFont.truetype(str(FONTS / "DejaVuSans.ttf"), 9 * SCALE)
    text = "Quillmarsh2"
    x, y = 122 * SCALE, 44 * SCALE
    shadow = Image.new("RGBA", image.size, (0, 0, 0, 0))
    ImageDraw.Draw(shadow).text((x + 2 * SCALE, y + 3 * SCALE), text, font=name, fill=(0, 0, 0, 150))
    image.alpha_composite(shadow.filter(ImageFilter.GaussianBlur(3 * SCALE)))
    draw.text((x, y), text, font=name, fill=INK)
    bbox = draw.textbbox((x, y), text, font=name)
    draw.line([(x, bbox[3] + 7 * SCALE), (bbox[2], bbox[3] + 7 * SCALE)], fill=ACCENT, width=SCALE)
    draw.text((x + 2 * SCALE, bbox[3] + 13 * SCALE), "SETUP  \u00b7  VANTOREL SOFTWARE", font=small,
              fill=(226, 222, 206))
    image.alpha_composite(layer)


def render():
    w, h = WIDTH * SCALE, HEIGHT * SCALE
    horizon = int(h * 0.70)
    image = Image.new("RGBA", (w, h))
    draw = ImageDraw.Draw(image)
    sky(draw, w, h, horizon)
    sun(draw, w, horizon)
    reeds(draw, w, h, horizon)
    quill(draw, 62 * SCALE, 122 * SCALE, 112 * SCALE)
    title(image, w, horizon)
    return image.convert("RGB").resize((WIDTH, HEIGHT), Image.LANCZOS)


def dib_file(image):
    row = WIDTH * 3  # 1020, a multiple of 4: no padding
    pixels = bytearray()
    for y in range(HEIGHT - 1, -1, -1):  # bottom-up
        for x in range(WIDTH):
            r, g, b = image.getpixel((x, y))
            pixels += bytes((b, g, r))
    assert len(pixels) == row * HEIGHT
    info = struct.pack("<IiiHHIIiiII", 40, WIDTH, HEIGHT, 1, 24, 0, 0, 2834, 2834, 0, 0)
    body = info + bytes(pixels) + b"\0\0"
    header = struct.pack("<2sIHHI", b"BM", 14 + len(body), 0, 0, 14 + 40)
    return header + body


if __name__ == "__main__":
    out = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).parent.parent / "resources" / "banner.bmp")
    data = dib_file(render())
    out.write_bytes(data)
    print(f"{out}: {len(data)} bytes ({len(data) - 14} in the resource)")
