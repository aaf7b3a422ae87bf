#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into tests/fuzz/corpus/.

Seeds are small valid files of every form the targets read, made byte by byte
here or with ImageMagick's `convert`; the fuzzer mutates them into the broken
ones.  Files named crash-* are past findings and are never touched.
Run from anywhere: python3 tests/fuzz/make_corpus.py
"""
import os
import re
import shutil
import struct
import subprocess
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")
SOURCE = os.path.join(HERE, "..", "..", "src", "imagelib", "formats.cpp")


def pattern_byte(i):
    return ((i * 2654435761) >> 13) & 0xFF


def chain_pixels(edge):
    total = 0
    while edge >= 1:
        total += edge * edge
        edge //= 2
    return total


def headers(width, height, bits, pixel_offset, compression=0, info=40, used=0, image_size=0):
    """File header and information header (40 bytes; longer ones zero-filled)."""
    b = bytearray(b"BM" + struct.pack("<IHHI", 0, 0, 0, pixel_offset))
    b += struct.pack("<IiiHHIIiiII", info, width, height, 1, bits, compression, image_size, 2835, 2835, used, 0)
    b += bytes(max(0, info - 40))
    return b


def finish(b):
    struct.pack_into("<I", b, 2, len(b))
    return bytes(b)


def grey_palette(levels=False):
    p = bytearray()
    for i in range(256):
        p += bytes([i, 255 - i, (i * 7) & 0xFF, (0 if i % 3 == 0 else 255) if levels else 0])
    return p


def extended_set(form, edge, cut=None):
    """An Extended Bitmap: header, then every level from `edge` down to 1, rows packed."""
    bpp = {"8": 1, "8rec": 1, "565": 2, "4444": 2, "4444short": 2, "24": 3, "32": 4}[form]
    header = {"8": 1078, "8rec": 1098, "565": 86, "4444": 86, "4444short": 66, "24": 54, "32": 54}[form]
    compression = 3 if form in ("565", "4444", "4444short") else 0
    b = headers(edge, edge, bpp * 8, header, compression)
    if bpp == 1:
        b += grey_palette(levels=True)
        if form == "8rec":
            b += b"AVTX" + struct.pack("<I", 20) + bytes((i * 20 - 100) & 0xFF for i in range(12))
    elif compression:
        masks = (0x0F00, 0x00F0, 0x000F) if form.startswith("4444") else (0xF800, 0x07E0, 0x001F)
        b += struct.pack("<III", *masks)
        if header == 86:
            b += b"AVTX" + struct.pack("<I", 20) + bytes([0, 0, 0, 0, 0, 0, 8, 0, 0, 0, 0, 0])
    assert len(b) == header, form
    b += bytes(pattern_byte(i + edge) for i in range(chain_pixels(edge) * bpp))
    struct.pack_into("<I", b, 34, chain_pixels(edge) * bpp)
    b = bytearray(finish(b))
    return bytes(b[:cut]) if cut else bytes(b)


def plain_bmp(bits, width, height, padded=True, compression=0, masks=None, info=40, levels=False):
    """An ordinary BMP of one picture, bottom-up unless height is negative."""
    rows = abs(height)
    row = width * bits // 8
    stride = (row + 3) & ~3 if padded else row
    palette = grey_palette(levels) if bits == 8 else b""
    mask_bytes = b""
    if masks and info == 40:
        mask_bytes = struct.pack("<" + "I" * len(masks), *masks)
    offset = 14 + info + len(mask_bytes) + len(palette)
    b = headers(width, height, bits, offset, compression, info, image_size=stride * rows)
    if masks and info >= 52:
        struct.pack_into("<" + "I" * len(masks), b, 54, *masks)
    b += mask_bytes + palette
    for y in range(rows):
        line = bytes(pattern_byte(y * 131 + x) for x in range(row))
        b += line + bytes(stride - row)
    return finish(b)


def formats_extensions():
    """The extensions fuzz_foreign picks from, in its order (the library's table)."""
    text = open(SOURCE).read()
    table = text[text.index("kFormats[]"):text.index("};", text.index("kFormats[]"))]
    out = []
    for patterns in re.findall(r'\{"[^"]*", "[^"]*", "([^"]*)"\}', table):
        out += [p[1:] for p in patterns.split(";") if p.startswith("*") and len(p) > 1]
    return out + [".bin", ""]


def convert(*args):
    subprocess.run(["convert", *args], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def write(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def clear(target):
    folder = os.path.join(CORPUS, target)
    if os.path.isdir(folder):
        for name in os.listdir(folder):
            if not name.startswith("crash-"):
                os.remove(os.path.join(folder, name))


def set_seeds():
    seeds = {
        "ext8-16.bmp": extended_set("8", 16),
        "ext8-record-8.bmp": extended_set("8rec", 8),
        "ext565-8.bmp": extended_set("565", 8),
        "ext4444-8.bmp": extended_set("4444", 8),
        "ext4444-short-4.bmp": extended_set("4444short", 4),
        "ext24-8.bmp": extended_set("24", 8),
        "ext32-8.bmp": extended_set("32", 8),
        "ext8-1.bmp": extended_set("8", 1),
        "ext565-16-cut.bmp": extended_set("565", 16, cut=400),
        "ext8-8-cut.bmp": extended_set("8", 8, cut=1100),
        "plain24-8.bmp": plain_bmp(24, 8, 8),
        "plain24-2-padded.bmp": plain_bmp(24, 2, 2),
    }
    return seeds


def dds(edge, mips, fourcc=None, bits=32, masks=(0xFF0000, 0xFF00, 0xFF, 0xFF000000), cut=None, caps2=0):
    """A DDS file with the legacy header: every mip's blocks or texels made of the byte pattern."""
    flags = 0x1 | 0x2 | 0x4 | 0x1000 | 0x20000
    if fourcc:
        fmt = struct.pack("<II4sI4I", 32, 0x4, fourcc, 0, 0, 0, 0, 0)
        block = 8 if fourcc == b"DXT1" else 16
        sizes = [max(1, (edge >> i) // 4) ** 2 * block for i in range(mips)]
    else:
        alpha = 0x1 if masks[3] else 0
        fmt = struct.pack("<II4sI4I", 32, 0x40 | alpha, b"\0\0\0\0", bits, *masks)
        sizes = [(edge >> i) ** 2 * bits // 8 for i in range(mips)]
    caps = 0x1000 | (0x400008 if mips > 1 else 0)
    header = b"DDS " + struct.pack("<7I", 124, flags, edge, edge, sizes[0], 0, mips) + bytes(44) + fmt
    header += struct.pack("<5I", caps, caps2, 0, 0, 0)
    data = header + bytes(pattern_byte(i) for i in range(sum(sizes)))
    return data if cut is None else data[:cut]


def dds10(edge, mips, dxgi, block=None, bits=32, array=1, cut=None):
    """A DDS file with the DX10 header: blocks of `block` bytes, or texels of `bits`."""
    flags = 0x1 | 0x2 | 0x4 | 0x1000 | 0x20000
    if block:
        sizes = [max(1, ((edge >> i) + 3) // 4) ** 2 * block for i in range(mips)]
    else:
        sizes = [(edge >> i) ** 2 * bits // 8 for i in range(mips)]
    fmt = struct.pack("<II4sI4I", 32, 0x4, b"DX10", 0, 0, 0, 0, 0)
    header = b"DDS " + struct.pack("<7I", 124, flags, edge, edge, sizes[0], 0, mips) + bytes(44) + fmt
    header += struct.pack("<5I", 0x1000 | (0x400008 if mips > 1 else 0), 0, 0, 0, 0)
    header += struct.pack("<5I", dxgi, 3, 0, array, 0)
    data = header + bytes(pattern_byte(i) for i in range(sum(sizes)))
    return data if cut is None else data[:cut]


def dds_seeds():
    return {
        "dxt1-16.dds": dds(16, 5, b"DXT1"),
        "dxt3-8.dds": dds(8, 4, b"DXT3"),
        "dxt5-16.dds": dds(16, 5, b"DXT5"),
        "dxt5-4-one-mip.dds": dds(4, 1, b"DXT5"),
        "rgba32-8.dds": dds(8, 4),
        "bgr24-4.dds": dds(4, 3, bits=24, masks=(0xFF0000, 0xFF00, 0xFF, 0)),
        "dxt1-32-cut.dds": dds(32, 6, b"DXT1", cut=128 + 64 * 8 + 40),
        "rgba32-8-cut.dds": dds(8, 4, cut=128 + 100),
        "dx10.dds": dds(4, 1, b"DX10"),
        "dx10-bc1-16.dds": dds10(16, 5, 71, block=8),
        "dx10-bc7-16.dds": dds10(16, 5, 98, block=16),
        "dx10-bc7-16-cut.dds": dds10(16, 5, 98, block=16, cut=148 + 16 * 16 + 30),
        "dx10-rgba8-8.dds": dds10(8, 4, 28),
        "dx10-bgr565-8.dds": dds10(8, 4, 85, bits=16),
        "dx10-array2-4.dds": dds10(4, 3, 71, block=8, array=2),
        "rgb565-8.dds": dds(8, 4, bits=16, masks=(0xF800, 0x07E0, 0x1F, 0)),
        "cubemap.dds": dds(4, 1, b"DXT1", caps2=0xFE00),
    }


def main():
    for target in ("fuzz_bmp", "fuzz_foreign", "fuzz_xbm", "fuzz_map", "fuzz_xbmtool", "fuzz_dds"):
        clear(target)

    for name, data in dds_seeds().items():
        write("fuzz_dds", name, data)

    # Our BMP codec: every depth and header form it reads, and some it hands on.
    bmp = {
        "plain8-3x2.bmp": plain_bmp(8, 3, 2),
        "plain8-levels-4x4.bmp": plain_bmp(8, 4, 4, levels=True),
        "plain24-3x3.bmp": plain_bmp(24, 3, 3),
        "plain24-topdown-2x2.bmp": plain_bmp(24, 2, -2),
        "plain16-555-4x2.bmp": plain_bmp(16, 4, 2),
        "plain16-565-3x2.bmp": plain_bmp(16, 3, 2, compression=3, masks=(0xF800, 0x07E0, 0x001F)),
        "plain32-3x2.bmp": plain_bmp(32, 3, 2),
        "v4-32-alpha-2x2.bmp": plain_bmp(32, 2, 2, compression=3,
                                         masks=(0xFF0000, 0xFF00, 0xFF, 0xFF000000), info=108),
        "alphabitfields-32-2x2.bmp": plain_bmp(32, 2, 2, compression=6,
                                               masks=(0xFF0000, 0xFF00, 0xFF, 0xFF000000)),
        "ext8-8.bmp": extended_set("8", 8),
        "ext4444-4.bmp": extended_set("4444", 4),
        "ext24-4.bmp": extended_set("24", 4),
        "ext32-4.bmp": extended_set("32", 4),
        "ext565-16-cut.bmp": extended_set("565", 16, cut=300),
    }
    for name, data in bmp.items():
        write("fuzz_bmp", name, data)

    # Sets for the split and join and for the texture tool.
    for name, data in set_seeds().items():
        write("fuzz_xbm", name, data)
        write("fuzz_xbmtool", name, data)
    tool = {
        "rgb555-4.bmp": plain_bmp(16, 4, 4, padded=False) + bytes(pattern_byte(i) for i in range(2 * 5 * 1)),
        "masked16-2.bmp": plain_bmp(16, 2, 2, compression=3, masks=(0x7C00, 0x03E0, 0x001F)),
        "masked32-2.bmp": plain_bmp(32, 2, 2, compression=3, masks=(0xFF, 0xFF00, 0xFF0000)),
        "plain8-levels-4.bmp": plain_bmp(8, 4, 4, levels=True),
    }
    for name, data in tool.items():
        write("fuzz_xbmtool", name, data)

    # Transparency maps: full, short and long.
    write("fuzz_map", "ramp.mpt", bytes(range(256)))
    write("fuzz_map", "short.mpt", bytes([0, 255, 128, 64, 32, 16, 8, 4, 2, 1]))
    write("fuzz_map", "long.mpt", bytes(pattern_byte(i) for i in range(300)))

    # Foreign formats, made by ImageMagick from one small picture; the first
    # byte picks the extension the file is given.
    extensions = formats_extensions()

    def foreign(name, data, ext):
        write("fuzz_foreign", name, bytes([extensions.index(ext)]) + data)

    with tempfile.TemporaryDirectory() as tmp:
        base = os.path.join(tmp, "base.png")
        convert("-size", "8x8", "gradient:red-blue", "-fill", "yellow", "-draw", "point 2,3", base)
        alpha = os.path.join(tmp, "alpha.png")
        convert(base, "-alpha", "set", "-channel", "A", "-fx", "i/8", "+channel", alpha)
        made = [
            ("rgb.png", [base], "PNG24:{}", ".png"),
            ("palette-trns.png", [alpha, "-colors", "16"], "PNG8:{}", ".png"),
            ("grey16.png", [base, "-colorspace", "Gray", "-depth", "16"], "PNG:{}", ".png"),
            ("photo.jpg", [base, "-quality", "50"], "JPEG:{}", ".jpg"),
            ("turned.jpg", [base, "-orient", "RightTop"], "JPEG:{}", ".jpg"),
            ("anim.gif", [base, base, "-colors", "8"], "GIF:{}", ".gif"),
            ("plain.tga", [base, "-compress", "None"], "TGA:{}", ".tga"),
            ("rle.tga", [alpha, "-compress", "RLE"], "TGA:{}", ".tga"),
            ("pal8.pcx", [base, "-colors", "16", "-type", "Palette"], "PCX:{}", ".pcx"),
            ("rgb.pcx", [base], "PCX:{}", ".pcx"),
            ("turned.tif", [alpha, "-orient", "BottomRight", "-compress", "LZW"], "TIFF:{}", ".tif"),
            ("layer.psd", [alpha], "PSD:{}", ".psd"),
            ("dxt1.dds", [base, "-define", "dds:compression=dxt1", "-define", "dds:mipmaps=0"], "DDS:{}", ".dds"),
            ("lossy.webp", [base, "-quality", "30"], "WEBP:{}", ".webp"),
            ("rgb.ppm", [base], "PPM:{}", ".ppm"),
            ("grey.pgm", [base], "PGM:{}", ".pgm"),
            ("bits.pbm", [base], "PBM:{}", ".pbm"),
            ("alpha.pam", [alpha], "PAM:{}", ".pam"),
            ("icon.ico", [alpha], "ICO:{}", ".ico"),
            ("rgb.sgi", [base], "SGI:{}", ".sgi"),
            ("rgb.ras", [base], "SUN:{}", ".ras"),
            ("file.jp2", [base], "JP2:{}", ".jp2"),
            ("stream.j2k", [base], "J2K:{}", ".j2k"),
            ("half.exr", [base], "EXR:{}", ".exr"),
            ("rgbe.hdr", [base], "HDR:{}", ".hdr"),
            ("rle8.bmp", [base, "-colors", "16", "-compress", "RLE"], "BMP3:{}", ".bmp"),
            ("bits4.bmp", [base, "-colors", "16", "-type", "Palette", "-depth", "4"], "BMP3:{}", ".bmp"),
        ]
        for name, args, out, ext in made:
            path = os.path.join(tmp, name)
            if ext == ".png":
                args = args + ["-define", "png:exclude-chunks=date,time"]  # same bytes every time
            try:
                convert(*args, out.format(path))
            except subprocess.CalledProcessError:
                print("skipped (this ImageMagick cannot write it):", name)
                continue
            with open(path, "rb") as f:
                foreign(name, f.read(), ext)
        try:
            path = os.path.join(tmp, "tiny.heic")
            convert(base, "HEIC:" + path)
            with open(path, "rb") as f:
                foreign("tiny.heic", f.read(), ".heic")
        except subprocess.CalledProcessError:
            print("skipped (this ImageMagick cannot write it): tiny.heic")

    # Formats ImageMagick does not write, or that only the name tells apart.
    xcf = b"gimp xcf file\0" + struct.pack(">III", 2, 2, 0) + struct.pack(">II", 0, 0) + struct.pack(">II", 0, 0)
    foreign("empty.xcf", xcf, ".xcf")
    foreign("texture.r8", bytes(pattern_byte(i) for i in range(65536)), ".r8")
    with open(os.path.join(CORPUS, "fuzz_foreign", "plain.tga"), "rb") as f:
        foreign("unnamed-tga.bin", f.read()[1:], ".bin")


if __name__ == "__main__":
    main()
