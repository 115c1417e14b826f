#!/usr/bin/env python3
"""Builds a Windows .ico from the text drawing in resources/icon.txt.

Usage: make_icon.py DRAWING ICO

Each image is stored as a classic BMP: a BITMAPINFOHEADER of twice the image's
height, the colour table, the colour pixels bottom row first, then the 1-bit
transparency mask. The output depends on the drawing alone, byte for byte.
"""
import struct
import sys


class DrawingError(Exception):
    pass


def parse(lines):
    palettes, images = {}, []
    current = None  # the palette or image being read
    for number, raw in enumerate(lines, 1):
        line = raw.rstrip("\n")
        if not line.strip() or line.lstrip().startswith("#"):
            current = None if current and current[0] == "palette" else current
            continue
        words = line.split()
        if words[0] == "palette" and len(words) == 2:
            table = []
            palettes[int(words[1])] = table
            current = ("palette", table)
        elif words[0] == "image" and len(words) == 4:
            width, height, colours = (int(w) for w in words[1:])
            if colours not in palettes:
                raise DrawingError(f"line {number}: image uses palette {colours}, which is not defined above it")
            current = ("image", {"width": width, "height": height, "palette": palettes[colours], "rows": []})
            images.append(current[1])
        elif current and current[0] == "palette" and len(words) == 2 and len(words[0]) == 1:
            current[1].append((words[0], bytes.fromhex(words[1])))
        elif current and current[0] == "image":
            current[1]["rows"].append((number, line))
        else:
            raise DrawingError(f"line {number}: not a palette entry, an image header or a row: {line!r}")
    for image in images:
        if len(image["rows"]) != image["height"]:
            raise DrawingError(f"a {image['width']}x{image['height']} image has {len(image['rows'])} rows")
    return images


def row_bytes(bits_per_pixel, width):
    return ((width * bits_per_pixel + 31) // 32) * 4


def pack_row(indices, bits_per_pixel):
    value, count, out = 0, 0, bytearray()
    for index in indices:
        value = (value << bits_per_pixel) | index
        count += bits_per_pixel
        if count == 8:
            out.append(value)
            value, count = 0, 0
    if count:
        out.append(value << (8 - count))
    return out + bytes(row_bytes(bits_per_pixel, len(indices)) - len(out))


def bitmap(image):
    palette = image["palette"]
    index_of = {char: i for i, (char, _) in enumerate(palette)}
    bits = {2: 1, 16: 4}.get(len(palette))
    if bits is None:
        raise DrawingError(f"a palette of {len(palette)} colours; icons here use 2 or 16")
    width, height = image["width"], image["height"]
    colour_rows, mask_rows = [], []
    for number, row in image["rows"]:
        if len(row) != width:
            raise DrawingError(f"line {number}: {len(row)} pixels, the image is {width} wide")
        try:
            colour_rows.append(pack_row([0 if c == "." else index_of[c] for c in row], bits))
        except KeyError as missing:
            raise DrawingError(f"line {number}: {missing} is not in the image's palette") from None
        mask_rows.append(pack_row([1 if c == "." else 0 for c in row], 1))
    header = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, bits, 0,
                         (len(colour_rows[0]) + len(mask_rows[0])) * height, 0, 0, len(palette), 0)
    colours = b"".join(bytes((rgb[2], rgb[1], rgb[0], 0)) for _, rgb in palette)
    return header + colours + b"".join(reversed(colour_rows)) + b"".join(reversed(mask_rows)), bits


def icon(images):
    entries, blobs = [], []
    offset = 6 + 16 * len(images)
    for image in images:
        blob, bits = bitmap(image)
        colour_count = len(image["palette"]) if len(image["palette"]) < 256 else 0
        entries.append(struct.pack("<BBBBHHII", image["width"] % 256, image["height"] % 256, colour_count, 0, 1,
                                   bits, len(blob), offset))
        blobs.append(blob)
        offset += len(blob)
    return struct.pack("<HHH", 0, 1, len(images)) + b"".join(entries) + b"".join(blobs)


def main(argv):
    if len(argv) != 3:
        sys.stderr.write("usage: make_icon.py DRAWING ICO\n")
        return 2
    try:
        with open(argv[1], encoding="ascii") as drawing:
            data = icon(parse(drawing))
    except DrawingError as error:
        sys.stderr.write(f"{argv[1]}: {error}\n")
        return 1
    with open(argv[2], "wb") as out:
        out.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
