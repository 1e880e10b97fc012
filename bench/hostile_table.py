#!/usr/bin/python3
"""Runs mirelo-erase on hostile inputs and prints one Markdown table row per run.

    bench/hostile_table.py path/to/mirelo-erase [--only NAME...] [--timeout S]
                           [--keep DIR] [--big] [--list]

The inputs are built in code into a temporary folder (or DIR with --keep, which is then
kept with the outputs and each run's stderr): decompression bombs (PNG, TIFF and WebP
whose compressed data is tiny), files with broken pixels or headers, a FIFO, an
over-long output name, and runs under an address-space limit. Every input gets a mask
PNG of the size the tool decodes to (the longer side capped at 3072), black but for a
white square in the middle.

Each run goes through `nice -n 10` and is killed after --timeout seconds (120 by
default; the FIFO runs after at most 20), which the table shows as "timeout". Peak RSS
is the child's ru_maxrss from os.wait4. --only takes case names or shell patterns
(--list prints them); cases marked big (hundreds of MB on disk or memory) run only with
--big or when --only names them exactly (a pattern does not). To add a case, write a
function that builds its input and returns its runs, and decorate it with @case.

Uses the system Python (python3-pil); no other packages.
"""

import argparse
import fnmatch
import hashlib
import io
import json
import math
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zlib
from dataclasses import dataclass, field
from typing import Callable, List, Optional, Tuple

from PIL import Image

MAX_SIDE = 3072
FIFO_TIMEOUT = 20.0

# ---------------------------------------------------------------------------------------
# Registry


@dataclass
class Run:
    """One invocation of the tool; one table row."""

    label: str
    desc: str
    input: str
    size: Tuple[int, int]  # the input's own upright size, from which the mask size follows
    args: List[str] = field(default_factory=list)
    env: dict = field(default_factory=dict)
    as_limit_kb: Optional[int] = None
    timeout: Optional[float] = None
    output: Optional[str] = None  # default: <label>.out.png in the work folder
    group: Optional[str] = None  # runs of one group have their outputs compared
    # Started just before the tool; returns a function that stops it again.
    setup: Optional[Callable[[], Callable[[], None]]] = None


@dataclass
class Case:
    name: str
    desc: str
    build: Callable[["Context"], List[Run]]
    big: bool


CASES: List[Case] = []


def case(name, desc, big=False):
    def register(fn):
        CASES.append(Case(name, desc, fn, big))
        return fn

    return register


class Context:
    """The work folder and inputs shared between cases."""

    def __init__(self, folder):
        self.dir = folder
        self._masks = {}
        self._shared = {}

    def path(self, name):
        return os.path.join(self.dir, name)

    def shared(self, key, make):
        if key not in self._shared:
            self._shared[key] = make()
        return self._shared[key]

    def mask_for(self, size):
        w, h = decoded_size(*size)
        if (w, h) not in self._masks:
            path = self.path(f"mask-{w}x{h}.png")
            mask = Image.new("L", (w, h), 0)
            side = max(2, min(w, h) // 8)
            x0, y0 = (w - side) // 2, (h - side) // 2
            mask.paste(255, (x0, y0, x0 + side, y0 + side))
            mask.save(path, compress_level=1)
            self._masks[(w, h)] = path
        return self._masks[(w, h)]


def decoded_size(w, h):
    """The size the tool decodes to: the longer side capped at MAX_SIDE, rounded as qRound."""
    longer = max(w, h)
    if longer <= MAX_SIDE:
        return w, h
    return (
        max(1, int(math.floor(w * MAX_SIDE / longer + 0.5))),
        max(1, int(math.floor(h * MAX_SIDE / longer + 0.5))),
    )


# ---------------------------------------------------------------------------------------
# Container writers


def deflate_repeated(segments, f=None):
    """A zlib stream of the concatenation of unit * count for each (unit, count).

    Each distinct block of about 1 MiB is compressed once, ended with a full flush (which
    makes the next block independent of it) and written as many times as it repeats, so a
    gigabyte of repeated rows costs milliseconds. Writes to f if given, else returns bytes.
    """
    out = f if f is not None else io.BytesIO()
    out.write(b"\x78\xda")
    adler = 1
    for unit, count in segments:
        if count <= 0 or not unit:
            continue
        per_block = max(1, (1 << 20) // len(unit))
        done = 0
        cache = {}
        while done < count:
            n = min(per_block, count - done)
            if n not in cache:
                block = unit * n
                comp = zlib.compressobj(9, zlib.DEFLATED, -15, 9)
                cache[n] = (block, comp.compress(block) + comp.flush(zlib.Z_FULL_FLUSH))
            block, packed = cache[n]
            out.write(packed)
            adler = zlib.adler32(block, adler)
            done += n
    out.write(b"\x03\x00")  # a final, empty fixed-Huffman block
    out.write(struct.pack(">I", adler & 0xFFFFFFFF))
    return None if f is not None else out.getvalue()


def png_chunk(kind, data=b""):
    return (
        struct.pack(">I", len(data))
        + kind
        + data
        + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    )


PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def png_ihdr(w, h, depth, colour, interlace=0):
    return png_chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, depth, colour, 0, 0, interlace))


def write_png(path, w, h, depth, colour, idat, interlace=0, before_idat=b""):
    """A PNG with the given zlib stream as its image data (split into 1 MiB IDAT chunks)."""
    with open(path, "wb") as f:
        f.write(PNG_SIGNATURE + png_ihdr(w, h, depth, colour, interlace) + before_idat)
        for i in range(0, len(idat), 1 << 20):
            f.write(png_chunk(b"IDAT", idat[i : i + (1 << 20)]))
        f.write(png_chunk(b"IEND"))


def write_solid_png(path, w, h, depth, colour, pixel):
    row = b"\x00" + pixel * w
    write_png(path, w, h, depth, colour, deflate_repeated([(row, h)]))


ADAM7 = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2),
         (0, 1, 1, 2)]


def write_solid_png_adam7(path, w, h, depth, colour, pixel):
    segments = []
    for x0, y0, dx, dy in ADAM7:
        pw, ph = (w - x0 + dx - 1) // dx, (h - y0 + dy - 1) // dy
        if pw > 0 and ph > 0:
            segments.append((b"\x00" + pixel * pw, ph))
    write_png(path, w, h, depth, colour, deflate_repeated(segments), interlace=1)


def png_of(image):
    buf = io.BytesIO()
    image.save(buf, "PNG")
    return buf.getvalue()


def insert_after_ihdr(png, chunks):
    return png[:33] + chunks + png[33:]


TIFF_SHORT, TIFF_LONG = 3, 4


def write_solid_tiff(path, w, h, pixel, bits, sample_format, photometric, extra=()):
    """A little-endian TIFF of one solid colour in zlib strips (Compression 8, no predictor).

    pixel holds the bytes of one pixel; bits is the list of BitsPerSample per channel.
    """
    spp = len(bits)
    row_bytes = len(pixel) * w
    rows_per_strip = max(1, min(h, (1 << 20) // row_bytes))
    strips = (h + rows_per_strip - 1) // rows_per_strip
    packed = {}

    def strip(rows):
        if rows not in packed:
            packed[rows] = zlib.compress(pixel * (w * rows), 9)
        return packed[rows]

    offsets, counts = [], []
    with open(path, "wb") as f:
        f.write(b"II*\x00\x00\x00\x00\x00")
        for i in range(strips):
            data = strip(min(rows_per_strip, h - i * rows_per_strip))
            offsets.append(f.tell())
            counts.append(len(data))
            f.write(data)
            if f.tell() % 2:
                f.write(b"\x00")
        entries = [
            (256, TIFF_LONG, [w]),
            (257, TIFF_LONG, [h]),
            (258, TIFF_SHORT, list(bits)),
            (259, TIFF_SHORT, [8]),
            (262, TIFF_SHORT, [photometric]),
            (273, TIFF_LONG, offsets),
            (277, TIFF_SHORT, [spp]),
            (278, TIFF_LONG, [rows_per_strip]),
            (279, TIFF_LONG, counts),
            (284, TIFF_SHORT, [1]),
            (317, TIFF_SHORT, [1]),
            (339, TIFF_SHORT, [sample_format] * spp),
        ] + list(extra)
        entries.sort()
        ifd = f.tell()
        data_at = ifd + 2 + 12 * len(entries) + 4
        table, blob = b"", b""
        for tag, kind, values in entries:
            code = "H" if kind == TIFF_SHORT else "I"
            raw = struct.pack("<%d%s" % (len(values), code), *values)
            if len(raw) <= 4:
                value = raw.ljust(4, b"\x00")
            else:
                value = struct.pack("<I", data_at + len(blob))
                blob += raw + (b"\x00" if len(raw) % 2 else b"")
            table += struct.pack("<HHI", tag, kind, len(values)) + value
        f.write(struct.pack("<H", len(entries)) + table + b"\x00\x00\x00\x00" + blob)
        f.seek(4)
        f.write(struct.pack("<I", ifd))


class BitWriter:
    """Bits least significant first, as VP8L reads them."""

    def __init__(self):
        self.value, self.count = 0, 0

    def put(self, value, bits):
        self.value |= (value & ((1 << bits) - 1)) << self.count
        self.count += bits

    def bytes(self):
        return self.value.to_bytes((self.count + 7) // 8, "little")


def vp8l_solid(w, h, argb):
    """A lossless WebP bitstream of one colour: five one-symbol prefix codes, so every
    pixel takes zero bits and the image data is a handful of bytes whatever its size."""
    assert 1 <= w <= 16384 and 1 <= h <= 16384
    a, r, g, b = (argb >> 24) & 255, (argb >> 16) & 255, (argb >> 8) & 255, argb & 255
    bw = BitWriter()
    bw.put(0x2F, 8)
    bw.put(w - 1, 14)
    bw.put(h - 1, 14)
    bw.put(1 if a != 255 else 0, 1)  # alpha_is_used
    bw.put(0, 3)  # version
    bw.put(0, 1)  # no transform
    bw.put(0, 1)  # no colour cache
    bw.put(0, 1)  # no meta prefix codes
    for symbol in (g, r, b, a, 0):  # green/length, red, blue, alpha, distance
        bw.put(1, 1)  # simple code
        bw.put(0, 1)  # one symbol
        if symbol < 2:
            bw.put(0, 1)
            bw.put(symbol, 1)
        else:
            bw.put(1, 1)
            bw.put(symbol, 8)
    return bw.bytes()


def riff_chunk(kind, data):
    return kind + struct.pack("<I", len(data)) + data + (b"\x00" if len(data) % 2 else b"")


def webp(chunks):
    body = b"WEBP" + b"".join(chunks)
    return b"RIFF" + struct.pack("<I", len(body)) + body


def u24(v):
    return struct.pack("<I", v)[:3]


def animated_webp(canvas_w, canvas_h, frame_w, frame_h, argb):
    """VP8X with the animation flag and no alpha flag, ANIM, one VP8L frame at 0,0."""
    vp8x = riff_chunk(b"VP8X", bytes([0x02, 0, 0, 0]) + u24(canvas_w - 1) + u24(canvas_h - 1))
    anim = riff_chunk(b"ANIM", struct.pack("<IH", 0xFFFFFFFF, 0))
    frame = u24(0) + u24(0) + u24(frame_w - 1) + u24(frame_h - 1) + u24(100) + b"\x00"
    anmf = riff_chunk(b"ANMF", frame + riff_chunk(b"VP8L", vp8l_solid(frame_w, frame_h, argb)))
    return webp([vp8x, anim, anmf])


def s15f16(v):
    return struct.pack(">i", int(round(v * 65536)))


def icc_rgb_profile(trc):
    """A minimal ICC v2 RGB display profile (sRGB colourants) whose three TRC tags share
    the given tag data."""

    def xyz(x, y, z):
        return b"XYZ \x00\x00\x00\x00" + s15f16(x) + s15f16(y) + s15f16(z)

    text = b"hostile test profile\x00"
    desc = (
        b"desc\x00\x00\x00\x00"
        + struct.pack(">I", len(text))
        + text
        + struct.pack(">II", 0, 0)
        + struct.pack(">HB", 0, 0)
        + b"\x00" * 67
    )
    tags = [
        (b"desc", desc),
        (b"wtpt", xyz(0.9642, 1.0, 0.8249)),
        (b"rXYZ", xyz(0.4361, 0.2225, 0.0139)),
        (b"gXYZ", xyz(0.3851, 0.7169, 0.0971)),
        (b"bXYZ", xyz(0.1431, 0.0606, 0.7141)),
        (b"rTRC", trc),
        (b"gTRC", trc),
        (b"bTRC", trc),
        (b"cprt", b"text\x00\x00\x00\x00No copyright\x00"),
    ]
    offset = 128 + 4 + 12 * len(tags)
    table, data, placed = b"", b"", {}
    for sig, body in tags:
        if body not in placed:
            while (offset + len(data)) % 4:
                data += b"\x00"
            placed[body] = offset + len(data)
            data += body
        table += sig + struct.pack(">II", placed[body], len(body))
    body = struct.pack(">I", len(tags)) + table + data
    body += b"\x00" * (-len(body) % 4)
    size = 128 + len(body)
    header = (
        struct.pack(">I", size)
        + b"\x00\x00\x00\x00"
        + struct.pack(">I", 0x02100000)
        + b"mntrRGB XYZ "
        + struct.pack(">6H", 2024, 1, 1, 0, 0, 0)
        + b"acsp"
        + b"\x00" * 4  # platform
        + b"\x00" * 4  # flags
        + b"\x00" * 8  # manufacturer, model
        + b"\x00" * 8  # attributes
        + b"\x00" * 4  # rendering intent
        + s15f16(0.9642)
        + s15f16(1.0)
        + s15f16(0.8249)
        + b"\x00" * 4  # creator
        + b"\x00" * 16  # profile id
        + b"\x00" * 28
    )
    assert len(header) == 128
    return header + body


def curv_gamma(u8fixed8):
    return b"curv\x00\x00\x00\x00" + struct.pack(">IH", 1, u8fixed8) + b"\x00\x00"


def para_gamma(g):
    return b"para\x00\x00\x00\x00" + struct.pack(">HH", 0, 0) + s15f16(g)


def iccp_chunk(profile):
    return png_chunk(b"iCCP", b"hostile\x00\x00" + zlib.compress(profile, 9))


def tga(w, h, pixels, image_id=b""):
    header = struct.pack("<BBBHHBHHHHBB", len(image_id), 0, 2, 0, 0, 0, 0, 0, w, h, 24, 0x20)
    return header + image_id + pixels


# ---------------------------------------------------------------------------------------
# Pictures


def gradient(w, h, mode="RGB", noise=True):
    """A picture cheap to make at any size: gradients and a tiled noise texture."""
    ramp = Image.linear_gradient("L")
    down = ramp.resize((w, h), Image.BILINEAR)
    if noise:
        tile = Image.effect_noise((512, 512), 48)
        grain = Image.new("L", (w, h))
        for y in range(0, h, 512):
            for x in range(0, w, 512):
                grain.paste(tile, (x, y))
    else:
        grain = Image.new("L", (w, h), 128)
    if mode == "L":
        return Image.blend(down, grain, 0.35)
    across = ramp.rotate(90).resize((w, h), Image.BILINEAR)
    return Image.merge("RGB", (across, down, grain))


def small_png(ctx):
    def make():
        path = ctx.path("small-64x64.png")
        gradient(64, 64, noise=False).save(path)
        return path

    return ctx.shared("small-png", make)


def small_jpeg_bytes():
    buf = io.BytesIO()
    gradient(64, 64).save(buf, "JPEG", quality=90)
    return buf.getvalue()


def photo_3000x2000(ctx):
    def make():
        path = ctx.path("photo-3000x2000.jpg")
        gradient(3000, 2000).save(path, quality=90)
        return path

    return ctx.shared("photo-3000", make)


def one(ctx, name, desc, path, size, **kw):
    return [Run(name, desc, path, size, **kw)]


# ---------------------------------------------------------------------------------------
# Cases: big images that must still open


@case("png-rgb-12000x8000", "8-bit RGB PNG 12000x8000, solid colour (96 MP)")
def png_rgb_12000(ctx):
    path = ctx.path("rgb-12000x8000.png")
    write_solid_png(path, 12000, 8000, 8, 2, bytes([90, 140, 200]))
    return one(ctx, "png-rgb-12000x8000", "8-bit RGB PNG 12000x8000, solid", path, (12000, 8000))


@case("png-rgb16-6000x4000", "16-bit RGB PNG 6000x4000, gradient (must open)")
def png_rgb16_6000(ctx):
    w, h = 6000, 4000
    path = ctx.path("rgb16-6000x4000.png")
    first = b"\x00" + b"".join(
        struct.pack(">HHH", x * 65535 // (w - 1), 30000, 65535 - x * 65535 // (w - 1))
        for x in range(w)
    )
    up = b"\x02" + b"\x00" * (w * 6)  # filter Up: every later row repeats the first
    write_png(path, w, h, 16, 2, deflate_repeated([(first, 1), (up, h - 1)]))
    return one(ctx, "png-rgb16-6000x4000", "16-bit RGB PNG 6000x4000 (must open)", path, (w, h))


@case("jpeg-50mp", "8-bit baseline JPEG 8160x6120 (must open, also --full-size)")
def jpeg_50mp(ctx):
    w, h = 8160, 6120
    path = ctx.path("rgb-8160x6120.jpg")
    gradient(w, h).save(path, quality=90)
    return [
        Run("jpeg-50mp", "baseline JPEG 8160x6120 (must open)", path, (w, h)),
        Run("jpeg-50mp --full-size", "same, --full-size", path, (w, h), ["--full-size"]),
    ]


@case("jpeg-rgb-84mp", "RGB baseline JPEG 10640x7950 (84.6 MP)")
def jpeg_84mp(ctx):
    w, h = 10640, 7950
    path = ctx.path("rgb-10640x7950.jpg")
    gradient(w, h).save(path, quality=90)
    return one(ctx, "jpeg-rgb-84mp", "RGB JPEG 10640x7950 (84.6 MP)", path, (w, h))


@case("jpeg-grey-134mp", "grey JPEG 13400x10000 (134 MP), plain and --full-size", big=True)
def jpeg_grey_134mp(ctx):
    w, h = 13400, 10000
    path = ctx.path("grey-13400x10000.jpg")
    gradient(w, h, "L").save(path, quality=90)
    return [
        Run("jpeg-grey-134mp", "grey JPEG 13400x10000 (134 MP)", path, (w, h)),
        Run("jpeg-grey-134mp --full-size", "same, --full-size", path, (w, h), ["--full-size"]),
    ]


# ---------------------------------------------------------------------------------------
# Cases: JPEG marker floods


def jpeg_with_markers(ctx, name, marker, count):
    data = small_jpeg_bytes()
    path = ctx.path(name + ".jpg")
    with open(path, "wb") as f:
        f.write(data[:2] + marker * count + data[2:])
    return path


@case("jpeg-app1-40k", "64x64 JPEG with 40,000 empty APP1 markers after SOI")
def jpeg_app1_40k(ctx):
    path = jpeg_with_markers(ctx, "app1-40k", b"\xff\xe1\x00\x02", 40000)
    return one(ctx, "jpeg-app1-40k", "64x64 JPEG, 40,000 empty APP1", path, (64, 64))


@case("jpeg-app1-120k", "64x64 JPEG with 120,000 empty APP1 markers after SOI")
def jpeg_app1_120k(ctx):
    path = jpeg_with_markers(ctx, "app1-120k", b"\xff\xe1\x00\x02", 120000)
    return one(ctx, "jpeg-app1-120k", "64x64 JPEG, 120,000 empty APP1", path, (64, 64))


@case("jpeg-com-200k", "64x64 JPEG with 200,000 one-byte COM markers after SOI")
def jpeg_com_200k(ctx):
    path = jpeg_with_markers(ctx, "com-200k", b"\xff\xfe\x00\x03x", 200000)
    return one(ctx, "jpeg-com-200k", "64x64 JPEG, 200,000 1-byte COM", path, (64, 64))


# ---------------------------------------------------------------------------------------
# Cases: WebP


@case("webp-anim-8x8", "animated WebP, canvas 8x8, one 1x1 frame, no alpha flag; x3 heaps")
def webp_anim_8x8(ctx):
    path = ctx.path("anim-8x8.webp")
    with open(path, "wb") as f:
        f.write(animated_webp(8, 8, 1, 1, 0xFF3366CC))
    runs = []
    for value in ("0", "85", "170"):
        runs.append(
            Run(
                f"webp-anim-8x8 PERTURB={value}",
                f"anim WebP 8x8 canvas, 1x1 frame, MALLOC_PERTURB_={value}",
                path,
                (8, 8),
                env={"MALLOC_PERTURB_": value},
                group="webp-anim-8x8",
            )
        )
    return runs


@case("webp-lossless-12200", "lossless WebP 12200x12200, one colour (hand-made VP8L)")
def webp_lossless_12200(ctx):
    path = ctx.path("lossless-12200.webp")
    with open(path, "wb") as f:
        f.write(webp([riff_chunk(b"VP8L", vp8l_solid(12200, 12200, 0xFF5A8CC8))]))
    return one(ctx, "webp-lossless-12200", "lossless WebP 12200x12200, solid", path, (12200, 12200))


@case("webp-anim-canvas-12000", "animated WebP, canvas 12000x12000, one 1x1 frame")
def webp_anim_12000(ctx):
    path = ctx.path("anim-12000.webp")
    with open(path, "wb") as f:
        f.write(animated_webp(12000, 12000, 1, 1, 0xFF3366CC))
    return one(
        ctx, "webp-anim-canvas-12000", "anim WebP canvas 12000x12000, 1x1 frame", path,
        (12000, 12000),
    )


# ---------------------------------------------------------------------------------------
# Cases: 16-bit and float bombs


@case("tiff-half-rgba-8600", "half-float RGBA TIFF 8600x8600, zip, solid")
def tiff_half(ctx):
    path = ctx.path("half-rgba-8600.tif")
    pixel = struct.pack("<4e", 0.35, 0.55, 0.78, 1.0)
    write_solid_tiff(path, 8600, 8600, pixel, [16] * 4, 3, 2, [(338, TIFF_SHORT, [2])])
    return one(ctx, "tiff-half-rgba-8600", "half-float RGBA TIFF 8600x8600", path, (8600, 8600))


@case("tiff-float-rgba-6100", "float32 RGBA TIFF 6100x6100, zip, solid")
def tiff_float(ctx):
    path = ctx.path("float-rgba-6100.tif")
    pixel = struct.pack("<4f", 0.35, 0.55, 0.78, 1.0)
    write_solid_tiff(path, 6100, 6100, pixel, [32] * 4, 3, 2, [(338, TIFF_SHORT, [2])])
    return one(ctx, "tiff-float-rgba-6100", "float32 RGBA TIFF 6100x6100", path, (6100, 6100))


@case("tiff-grey16-12200", "16-bit grey TIFF 12200x12200, zip, solid")
def tiff_grey16(ctx):
    path = ctx.path("grey16-12200.tif")
    write_solid_tiff(path, 12200, 12200, struct.pack("<H", 40000), [16], 1, 1)
    return one(ctx, "tiff-grey16-12200", "16-bit grey TIFF 12200x12200", path, (12200, 12200))


@case("tiff-cmyk-12200", "8-bit CMYK TIFF 12200x12200, zip, solid")
def tiff_cmyk(ctx):
    path = ctx.path("cmyk-12200.tif")
    write_solid_tiff(
        path, 12200, 12200, bytes([30, 60, 0, 10]), [8] * 4, 1, 5, [(332, TIFF_SHORT, [1])]
    )
    return one(ctx, "tiff-cmyk-12200", "CMYK TIFF 12200x12200", path, (12200, 12200))


@case("png-grey16-12200", "16-bit grey PNG 12200x12200, solid")
def png_grey16(ctx):
    path = ctx.path("grey16-12200.png")
    write_solid_png(path, 12200, 12200, 16, 0, struct.pack(">H", 40000))
    return one(ctx, "png-grey16-12200", "16-bit grey PNG 12200x12200", path, (12200, 12200))


@case("png-rgba16-8600", "16-bit RGBA PNG 8600x8600, solid")
def png_rgba16(ctx):
    path = ctx.path("rgba16-8600.png")
    write_solid_png(path, 8600, 8600, 16, 6, struct.pack(">4H", 20000, 40000, 60000, 50000))
    return one(ctx, "png-rgba16-8600", "16-bit RGBA PNG 8600x8600", path, (8600, 8600))


@case("png-ga16-8600", "16-bit grey+alpha PNG 8600x8600, solid")
def png_ga16(ctx):
    path = ctx.path("ga16-8600.png")
    write_solid_png(path, 8600, 8600, 16, 4, struct.pack(">2H", 40000, 50000))
    return one(ctx, "png-ga16-8600", "16-bit grey+alpha PNG 8600x8600", path, (8600, 8600))


@case("png-adam7-rgba-12200", "Adam7-interlaced 8-bit RGBA PNG 12200x12200, solid")
def png_adam7(ctx):
    path = ctx.path("adam7-rgba-12200.png")
    write_solid_png_adam7(path, 12200, 12200, 8, 6, bytes([90, 140, 200, 180]))
    return one(ctx, "png-adam7-rgba-12200", "Adam7 RGBA PNG 12200x12200", path, (12200, 12200))


# ---------------------------------------------------------------------------------------
# Cases: metadata bombs


@case("png-exif-300mb", "PNG 300x200 with a 300 MiB eXIf chunk (streamed to disk)", big=True)
def png_exif(ctx):
    w, h = 300, 200
    path = ctx.path("exif-300mb.png")
    size = 300 << 20
    head = b"MM\x00\x2a\x00\x00\x00\x08\x00\x00\x00\x00\x00\x00"  # TIFF header, empty IFD
    zeros = b"\x00" * (1 << 20)
    with open(path, "wb") as f:
        f.write(PNG_SIGNATURE + png_ihdr(w, h, 8, 2))
        f.write(struct.pack(">I", size) + b"eXIf" + head)
        crc = zlib.crc32(b"eXIf" + head)
        left = size - len(head)
        while left:
            part = zeros[: min(left, len(zeros))]
            f.write(part)
            crc = zlib.crc32(part, crc)
            left -= len(part)
        f.write(struct.pack(">I", crc & 0xFFFFFFFF))
        f.write(png_chunk(b"IDAT", deflate_repeated([(b"\x00" + bytes([90, 140, 200]) * w, h)])))
        f.write(png_chunk(b"IEND"))
    return one(ctx, "png-exif-300mb", "PNG 300x200, 300 MiB eXIf", path, (w, h))


# ---------------------------------------------------------------------------------------
# Cases: a FIFO as input


def fifo_writer(path, data, every_open):
    """Starts a thread that writes data into the FIFO once (like `<(cat file)`), or anew
    each time the reader opens it; returns the function that stops it."""
    stop = threading.Event()

    def serve():
        while not stop.is_set():
            try:
                fd = os.open(path, os.O_WRONLY | os.O_NONBLOCK)
            except OSError:  # no reader yet
                time.sleep(0.01)
                continue
            try:
                os.set_blocking(fd, True)
                view = memoryview(data)
                while view:
                    view = view[os.write(fd, view) :]
            except OSError:
                pass
            finally:
                os.close(fd)
            if not every_open:
                return
            time.sleep(0.05)  # let the reader see the end before it could reopen

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()

    def halt():
        stop.set()
        thread.join(1.0)

    return halt


def fifo_runs(ctx, name, desc, every_open):
    path = ctx.path(name + ".png")
    if os.path.exists(path):
        os.unlink(path)
    os.mkfifo(path)
    with open(small_png(ctx), "rb") as f:
        data = f.read()
    return one(
        ctx,
        name,
        desc,
        path,
        (64, 64),
        timeout=FIFO_TIMEOUT,
        setup=lambda: fifo_writer(path, data, every_open),
    )


@case("fifo-png", "FIFO input; a writer puts a 64x64 PNG into it once")
def fifo_once(ctx):
    return fifo_runs(ctx, "fifo-png", "FIFO, 64x64 PNG written once", False)


@case("fifo-png-each-open", "FIFO input; the writer serves the PNG on every open")
def fifo_every(ctx):
    return fifo_runs(ctx, "fifo-png-each-open", "FIFO, PNG served on every open", True)


# ---------------------------------------------------------------------------------------
# Cases: wrong pixels


def tga_pixels(w, h):
    return bytes(
        (x * 4 + y * 2 + c * 60) & 255 for y in range(h) for x in range(w) for c in range(3)
    )


@case("tga-truncated", "uncompressed 24-bit TGA 64x64 cut in half")
def tga_truncated(ctx):
    data = tga(64, 64, tga_pixels(64, 64))
    path = ctx.path("truncated.tga")
    with open(path, "wb") as f:
        f.write(data[: len(data) // 2])
    return one(ctx, "tga-truncated", "24-bit TGA 64x64, cut in half", path, (64, 64))


@case("tga-id-255", "valid 24-bit TGA 64x64 with a 255-byte image ID")
def tga_id(ctx):
    path = ctx.path("id-255.tga")
    with open(path, "wb") as f:
        f.write(tga(64, 64, tga_pixels(64, 64), bytes(range(1, 256))))
    return one(ctx, "tga-id-255", "TGA 64x64 with 255-byte image ID", path, (64, 64))


@case("pgm-maxval-100", "binary PGM 64x64, maxval 100, samples up to 255")
def pgm_maxval(ctx):
    path = ctx.path("maxval-100.pgm")
    with open(path, "wb") as f:
        samples = bytes((x * 4 + y) & 255 for y in range(64) for x in range(64))
        f.write(b"P5\n64 64\n100\n" + samples)
    return one(ctx, "pgm-maxval-100", "PGM maxval 100, samples to 255", path, (64, 64))


@case("xpm-short-rows", "XPM 64x64 whose rows hold 10 pixels")
def xpm_short(ctx):
    path = ctx.path("short-rows.xpm")
    rows = "".join('"%s",\n' % ("." * 5 + " " * 5) for _ in range(64))
    with open(path, "w") as f:
        f.write(
            '/* XPM */\nstatic char *short_rows[] = {\n"64 64 2 1",\n'
            '"  c #102030",\n". c #F0E0D0",\n' + rows + "};\n"
        )
    return one(ctx, "xpm-short-rows", "XPM 64x64, rows of 10 pixels", path, (64, 64))


@case("png-palette-index-200", "8-bit palette PNG 64x64, 4-entry PLTE, indices up to 200")
def png_palette(ctx):
    path = ctx.path("palette-200.png")
    rows = b"".join(b"\x00" + bytes((x * 4 + y) % 201 for x in range(64)) for y in range(64))
    plte = png_chunk(b"PLTE", bytes([255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 0]))
    write_png(path, 64, 64, 8, 3, zlib.compress(rows, 9), before_idat=plte)
    desc = "palette PNG, 4 colours, indices to 200"
    return one(ctx, "png-palette-index-200", desc, path, (64, 64))


def iccp_png(ctx, name, trc):
    path = ctx.path(name + ".png")
    with open(path, "wb") as f:
        f.write(insert_after_ihdr(png_of(gradient(128, 128)), iccp_chunk(icc_rgb_profile(trc))))
    return path


@case("png-iccp-gamma-0", "PNG 128x128 with an ICC v2 profile whose TRCs are curv gamma 0")
def png_iccp_zero(ctx):
    path = iccp_png(ctx, "iccp-gamma-0", curv_gamma(0))
    return one(ctx, "png-iccp-gamma-0", "PNG, iCCP with curv gamma 0", path, (128, 128))


@case("png-iccp-gamma-neg", "PNG 128x128 with an ICC v2 profile whose TRCs are para gamma -2.2")
def png_iccp_negative(ctx):
    path = iccp_png(ctx, "iccp-gamma-neg", para_gamma(-2.2))
    return one(ctx, "png-iccp-gamma-neg", "PNG, iCCP with para gamma -2.2", path, (128, 128))


# ---------------------------------------------------------------------------------------
# Cases: small mismatches


@case("icns", "ICNS with one 128x128 PNG icon (ic07)")
def icns(ctx):
    icon = png_of(gradient(128, 128, noise=False))
    element = b"ic07" + struct.pack(">I", 8 + len(icon)) + icon
    path = ctx.path("icon.icns")
    with open(path, "wb") as f:
        f.write(b"icns" + struct.pack(">I", 8 + len(element)) + element)
    return one(ctx, "icns", "ICNS, one 128x128 PNG icon", path, (128, 128))


@case("mng", "MNG 64x64: MHDR, one PNG frame, MEND")
def mng(ctx):
    png = png_of(gradient(64, 64, noise=False))
    chunks = png[8:]  # IHDR ... IEND of the frame
    mhdr = png_chunk(b"MHDR", struct.pack(">7I", 64, 64, 1, 1, 1, 1, 1))
    path = ctx.path("one-frame.mng")
    with open(path, "wb") as f:
        f.write(b"\x8aMNG\r\n\x1a\n" + mhdr + chunks + png_chunk(b"MEND"))
    return one(ctx, "mng", "MNG 64x64, one frame", path, (64, 64))


@case("output-name-300", "64x64 PNG in, output file name of 300 'a's + .png")
def output_name(ctx):
    return one(
        ctx,
        "output-name-300",
        "output name 300 x 'a' + .png",
        small_png(ctx),
        (64, 64),
        output=ctx.path("a" * 300 + ".png"),
    )


# ---------------------------------------------------------------------------------------
# Cases: address-space limits


@case("ulimit-1500m-threads64", "3000x2000 JPEG erase, --threads 64, RLIMIT_AS 1,500,000 KB")
def ulimit_1500(ctx):
    path = photo_3000x2000(ctx)
    return one(
        ctx,
        "ulimit-1500m-threads64",
        "3000x2000 JPEG, --threads 64, AS 1,500,000 KB",
        path,
        (3000, 2000),
        args=["--threads", "64"],
        as_limit_kb=1500000,
    )


@case("ulimit-300m-threads8", "3000x2000 JPEG erase, --threads 8, RLIMIT_AS 300,000 KB")
def ulimit_300(ctx):
    path = photo_3000x2000(ctx)
    return one(
        ctx,
        "ulimit-300m-threads8",
        "3000x2000 JPEG, --threads 8, AS 300,000 KB",
        path,
        (3000, 2000),
        args=["--threads", "8"],
        as_limit_kb=300000,
    )


@case("ulimit-90m", "3000x2000 JPEG erase, RLIMIT_AS 92,160 KB (90 MiB)")
def ulimit_90(ctx):
    path = photo_3000x2000(ctx)
    return one(
        ctx, "ulimit-90m", "3000x2000 JPEG, AS 92,160 KB", path, (3000, 2000), as_limit_kb=92160
    )


# ---------------------------------------------------------------------------------------
# Running


@dataclass
class Result:
    run: Run
    exit: str
    stderr: str
    lines: int
    wall: float
    rss_mb: float
    output: str
    digest: Optional[str]
    size_text: str


def wait_for_tool(tool):
    """The lead engineer rebuilds the tool now and then; wait for it to come back."""
    waited = 0
    while not os.access(tool, os.X_OK):
        if waited == 0:
            print(f"waiting for {tool} to be rebuilt ...", file=sys.stderr)
        time.sleep(5)
        waited += 5
        if waited > 900:
            sys.exit(f"{tool} did not come back within 15 minutes")


def png_size(path):
    try:
        with open(path, "rb") as f:
            head = f.read(24)
    except OSError:
        return None
    if len(head) < 24 or head[:8] != PNG_SIGNATURE or head[12:16] != b"IHDR":
        return "not a PNG"
    return "%dx%d" % struct.unpack(">II", head[16:24])


def describe_status(status):
    if os.WIFSIGNALED(status):
        sig = os.WTERMSIG(status)
        try:
            return f"{signal.Signals(sig).name} ({-sig})"
        except ValueError:
            return str(-sig)
    return str(os.WEXITSTATUS(status))


# The tool is started by a small Python process of its own. ru_maxrss counts the memory
# of the process that forked the child (the kernel carries the old image's high-water
# mark across exec), so forking from this script, which holds the pictures it built,
# would inflate every figure; a bare interpreter holds about 10 MB, less than the tool.
LAUNCHER = r"""
import json, os, resource, signal, sys, time
job = json.loads(sys.argv[1])
err = os.open(job["stderr"], os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
null = os.open(os.devnull, os.O_RDWR)
start = time.monotonic()
pid = os.fork()
if pid == 0:
    try:
        os.setsid()
        os.dup2(null, 0)
        os.dup2(null, 1)
        os.dup2(err, 2)
        if job["as_limit"]:
            resource.setrlimit(resource.RLIMIT_AS, (job["as_limit"], job["as_limit"]))
        os.execvpe(job["cmd"][0], job["cmd"], job["env"])
    finally:
        os._exit(127)
def stop(*_):
    os.killpg(pid, signal.SIGKILL)
    os.wait4(pid, 0)
    sys.exit(1)
for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
    signal.signal(s, stop)
timed_out = False
while True:
    done, status, usage = os.wait4(pid, os.WNOHANG)
    if done:
        break
    if time.monotonic() - start >= job["timeout"]:
        timed_out = True
        os.killpg(pid, signal.SIGKILL)
        done, status, usage = os.wait4(pid, 0)
        break
    time.sleep(0.01)
wall = time.monotonic() - start
print(json.dumps({"status": status, "timed_out": timed_out, "wall": wall,
                  "maxrss_kb": usage.ru_maxrss}))
"""


def run_once(tool, ctx, run, timeout):
    output = run.output or ctx.path(safe_name(run.label) + ".out.png")
    if os.path.lexists(output):
        os.unlink(output)
    mask = ctx.mask_for(run.size)
    size_text = file_size(run.input)
    errpath = ctx.path(safe_name(run.label) + ".stderr")
    env = dict(os.environ)
    env.update(run.env)
    job = {
        "cmd": ["nice", "-n", "10", tool, run.input, mask, "-o", output] + run.args,
        "env": env,
        "as_limit": run.as_limit_kb * 1024 if run.as_limit_kb else 0,
        "timeout": timeout,
        "stderr": errpath,
    }
    launcher = subprocess.Popen(
        [sys.executable, "-S", "-c", LAUNCHER, json.dumps(job)],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
    )
    halt = run.setup() if run.setup else None
    try:
        report, _ = launcher.communicate()
    finally:
        if halt:
            halt()
    if launcher.returncode != 0:
        raise RuntimeError(f"the launcher failed for {run.label}")
    report = json.loads(report)
    status = report["status"]

    lines, shown_bytes, last = 0, b"", b"\n"
    with open(errpath, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            lines += chunk.count(b"\n")
            if len(shown_bytes) < (1 << 16):
                shown_bytes += chunk[: (1 << 16) - len(shown_bytes)]
            last = chunk[-1:]
    if last != b"\n":
        lines += 1
    shown = [
        tidy(line, ctx.dir)
        for line in shown_bytes.decode("utf-8", "replace").splitlines()
        if line.strip()
    ]
    digest = None
    out = png_size(output)
    if out is not None:
        with open(output, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
    return Result(
        run,
        "timeout" if report["timed_out"] else describe_status(status),
        " / ".join(shown),
        lines,
        report["wall"],
        report["maxrss_kb"] / 1024.0,
        out or "none",
        digest,
        size_text,
    )


def run_with_retry(tool, ctx, run, timeout):
    """Runs the tool; a run that could not start because the tool was being rebuilt (exit
    126 or 127 from nice) is tried again once it is back."""
    for _ in range(5):
        wait_for_tool(tool)
        result = run_once(tool, ctx, run, timeout)
        if result.exit in ("126", "127") and "nice:" in result.stderr:
            time.sleep(5)
            continue
        return result
    return result


def tidy(line, folder):
    """A stderr line made short: the work folder's path dropped, long runs of one
    character written as "a×300"."""
    line = line.strip().replace(folder + "/", "")
    return re.sub(r"(.)\1{19,}", lambda m: f"{m.group(1)}×{len(m.group(0))}", line)


def safe_name(label):
    return "".join(c if c.isalnum() or c in "-_." else "_" for c in label)


def file_size(path):
    try:
        st = os.stat(path)
    except OSError:
        return "?"
    if not os.path.isfile(path):
        return "fifo" if os.path.exists(path) and not os.path.isdir(path) else "?"
    n = st.st_size
    for unit in ("B", "KB", "MB", "GB"):
        if n < 1024 or unit == "GB":
            return f"{n} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024.0


def cell(text):
    return str(text).replace("|", "\\|").replace("\n", " ")


def shorten(text, limit=100):
    return text if len(text) <= limit else text[: limit - 1] + "…"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("tool", nargs="?", help="path to mirelo-erase")
    parser.add_argument("--only", nargs="+", metavar="NAME", help="case names or shell patterns")
    parser.add_argument("--timeout", type=float, default=120.0, help="seconds per run (120)")
    parser.add_argument("--keep", metavar="DIR", help="build into DIR and keep everything")
    parser.add_argument("--big", action="store_true", help="also run the cases marked big")
    parser.add_argument("--list", action="store_true", help="list the cases and exit")
    args = parser.parse_args()

    if args.list:
        for c in CASES:
            print(f"{c.name:26} {c.desc}{'  [big]' if c.big else ''}")
        return 0
    if not args.tool:
        parser.error("the path to mirelo-erase is required")
    tool = os.path.abspath(args.tool)

    def selected(c):
        if args.only:
            return any(fnmatch.fnmatchcase(c.name, p) for p in args.only)
        return True

    chosen = [c for c in CASES if selected(c)]
    if args.only and not chosen:
        parser.error("no case matches --only; see --list")

    if args.keep:
        os.makedirs(args.keep, exist_ok=True)
        folder, cleanup = os.path.abspath(args.keep), None
    else:
        folder = tempfile.mkdtemp(prefix="hostile-")
        cleanup = folder
    ctx = Context(folder)
    rows = []  # Result or (case, reason)
    try:
        for c in chosen:
            if c.big and not args.big and c.name not in (args.only or []):
                rows.append((c, "skipped (needs --big)"))
                continue
            print(f"[{c.name}] building ...", file=sys.stderr, flush=True)
            t0 = time.monotonic()
            try:
                runs = c.build(ctx)
            except Exception as e:  # a case that cannot be built is a row, not a stop
                rows.append((c, f"build failed: {type(e).__name__}: {e}"))
                continue
            print(f"[{c.name}] built in {time.monotonic() - t0:.1f} s", file=sys.stderr, flush=True)
            for run in runs:
                timeout = min(args.timeout, run.timeout) if run.timeout else args.timeout
                result = run_with_retry(tool, ctx, run, timeout)
                print(
                    f"[{run.label}] exit {result.exit}, {result.wall:.1f} s, "
                    f"{result.rss_mb:.0f} MB",
                    file=sys.stderr,
                    flush=True,
                )
                rows.append(result)
    finally:
        if cleanup:
            shutil.rmtree(cleanup, ignore_errors=True)

    notes = []
    groups = {}
    for r in rows:
        if isinstance(r, Result) and r.run.group:
            groups.setdefault(r.run.group, []).append(r)
    for name, members in groups.items():
        digests = {m.digest for m in members}
        if len(members) < 2:
            continue
        if None in digests:
            verdict = "unknown (a run wrote no output)"
        else:
            verdict = "yes" if len(digests) > 1 else "no"
        members[-1].output += f"; heap-dependent output: {verdict}"
        notes.append(f"heap-dependent output ({name}, MALLOC_PERTURB_ 0/85/170): {verdict}")

    print("| input | description | size | exit | stderr | lines | wall s | peak RSS MB | output |")
    print("|---|---|---|---|---|---|---|---|---|")
    for r in rows:
        if isinstance(r, Result):
            print(
                "| "
                + " | ".join(
                    cell(v)
                    for v in (
                        r.run.label,
                        r.run.desc,
                        r.size_text,
                        r.exit,
                        shorten(r.stderr) or "-",
                        r.lines,
                        f"{r.wall:.2f}",
                        f"{r.rss_mb:.0f}",
                        r.output,
                    )
                )
                + " |"
            )
        else:
            c, reason = r
            print(f"| {cell(c.name)} | {cell(c.desc)} | - | - | {cell(reason)} | - | - | - | - |")
    for note in notes:
        print(f"\n{note}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
