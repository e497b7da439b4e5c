#!/bin/sh
# Regenerates res/tovix.ico from the drawings next to this script.
#
#   res/icon/make-icon.sh            (needs ImageMagick's convert and python3)
#
# The icon holds five uncompressed (BMP, not PNG) images, in this order:
#   32x32 at 8 bpp (256-colour palette, transparency in the AND mask),
#   64x64, 48x48, 32x32 and 16x16 at 32 bpp (with alpha).
# tovix.svg is drawn on a 64 unit grid and is used for every size but 16x16,
# which has its own drawing (tovix-16.svg) so that it stays crisp.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here/../tovix.ico}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Renders drawing $1 (whose view box is $2 units wide) at $3x$3 pixels.
render() {
    density=$((96 * $3 / $2))
    convert -background none -density "$density" "$1" -alpha on -depth 8 "$work/$3.png"
    convert "$work/$3.png" -depth 8 "rgba:$work/$3.rgba"
}

render "$here/tovix.svg" 64 64
render "$here/tovix.svg" 64 48
render "$here/tovix.svg" 64 32
render "$here/tovix-16.svg" 16 16

# The 8 bpp image: the 32x32 rendering reduced to at most 255 colours (index 0
# is kept for black, which the masked-out pixels use).
convert "$work/32.png" -alpha off +dither -colors 255 -depth 8 "rgb:$work/32-8.rgb"

python3 - "$work" "$out" <<'PY'
import struct
import sys

work, out = sys.argv[1], sys.argv[2]
OPAQUE = 128  # pixels at least this opaque are drawn; the rest are masked out


def read(name):
    with open(f"{work}/{name}", "rb") as f:
        return f.read()


def and_mask(alpha, size):
    """The 1 bpp AND mask (1 = transparent), bottom-up, rows padded to 32 bits."""
    stride = (size + 31) // 32 * 4
    rows = []
    for y in reversed(range(size)):
        row = bytearray(stride)
        for x in range(size):
            if alpha[y * size + x] < OPAQUE:
                row[x // 8] |= 0x80 >> (x % 8)
        rows.append(bytes(row))
    return b"".join(rows)


def header(size, bpp, image_bytes):
    # BITMAPINFOHEADER; an icon's height counts both the colour and mask rows.
    return struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bpp, 0, image_bytes, 0, 0, 0, 0)


def image32(size):
    rgba = read(f"{size}.rgba")
    assert len(rgba) == size * size * 4
    alpha = rgba[3::4]
    pixels = bytearray()
    for y in reversed(range(size)):
        for x in range(size):
            r, g, b, a = rgba[(y * size + x) * 4 : (y * size + x + 1) * 4]
            pixels += bytes((b, g, r, a)) if a else bytes(4)
    mask = and_mask(alpha, size)
    return header(size, 32, len(pixels) + len(mask)) + pixels + mask


def image8(size):
    alpha = read(f"{size}.rgba")[3::4]
    rgb = read(f"{size}-8.rgb")
    assert len(rgb) == size * size * 3
    colours = [rgb[i * 3 : i * 3 + 3] for i in range(size * size)]
    palette = [b"\0\0\0"] + sorted(set(c for c, a in zip(colours, alpha) if a >= OPAQUE) - {b"\0\0\0"})
    assert len(palette) <= 256, len(palette)
    index = {c: i for i, c in enumerate(palette)}
    table = b"".join(bytes((c[2], c[1], c[0], 0)) for c in palette).ljust(256 * 4, b"\0")
    pixels = bytearray()
    for y in reversed(range(size)):
        for x in range(size):
            i = y * size + x
            pixels.append(index[colours[i]] if alpha[i] >= OPAQUE else 0)
    mask = and_mask(alpha, size)
    return header(size, 8, len(pixels) + len(mask)) + table + pixels + mask


images = [(32, 8, image8(32))] + [(s, 32, image32(s)) for s in (64, 48, 32, 16)]

ico = struct.pack("<HHH", 0, 1, len(images))
offset = 6 + 16 * len(images)
for size, bpp, data in images:
    # ICONDIRENTRY: a 256-colour image records 0 colours, as Windows expects.
    ico += struct.pack("<BBBBHHII", size, size, 0, 0, 1, bpp, len(data), offset)
    offset += len(data)
ico += b"".join(data for _, _, data in images)
with open(out, "wb") as f:
    f.write(ico)
print(f"{out}: {len(images)} images, {len(ico)} bytes")
PY
