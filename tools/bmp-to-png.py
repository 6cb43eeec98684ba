#!/usr/bin/python3
"""Converts an uncompressed 24-bit .bmp (such as resources/banner.bmp) to a PNG.

Python's standard library only. The PNG has no time or text chunks, so the same bitmap
always gives the same bytes: the README's picture can be checked against the resource.

Usage: tools/bmp-to-png.py BMP PNG     (PNG "-" writes to standard output)
"""
import struct
import sys
import zlib


def read_bmp(data):
    """Returns (width, height, rows of RGB bytes, top row first)."""
    if data[:2] != b"BM":
        raise ValueError("not a .bmp file")
    offset = struct.unpack_from("<I", data, 10)[0]
    size, width, height, planes, bits, compression = struct.unpack_from("<IiiHHI", data, 14)
    if size < 40 or planes != 1 or bits != 24 or compression != 0 or width <= 0 or height == 0:
        raise ValueError("only uncompressed 24-bit bitmaps are supported")
    stride = (width * 3 + 3) & ~3
    if offset + stride * abs(height) > len(data):
        raise ValueError("the file ends inside the pixels")
    rows = []
    for y in range(abs(height)):
        start = offset + stride * y
        bgr = data[start:start + width * 3]
        rgb = bytearray(len(bgr))
        rgb[0::3], rgb[1::3], rgb[2::3] = bgr[2::3], bgr[1::3], bgr[0::3]
        rows.append(bytes(rgb))
    if height > 0:  # a positive height stores the rows bottom-up
        rows.reverse()
    return width, abs(height), rows


def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def png(width, height, rows):
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)  # 8-bit RGB
    pixels = zlib.compress(b"".join(b"\0" + row for row in rows), 9)  # filter 0 on each row
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", pixels) + chunk(b"IEND", b"")


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    with open(argv[1], "rb") as source:
        result = png(*read_bmp(source.read()))
    if argv[2] == "-":
        sys.stdout.buffer.write(result)
    else:
        with open(argv[2], "wb") as target:
            target.write(result)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
