#!/usr/bin/python3
"""Expected pixels for the colour-matrix, tetrahedral-table and channel tests, from numpy and Pillow.

Usage: colour_oracle.py MODE key=value ... | batch jobs=FILE; inputs and outputs are raw files named by
in=/out= keys.
"""
import sys

import numpy as np

args = dict(a.split("=", 1) for a in sys.argv[2:])
mode = sys.argv[1]
DTYPES = {8: np.uint8, 16: np.uint16, 32: np.uint32, 64: np.uint64}
YCC = [[1.0, 0.0, 1.402], [1.0, -0.3441, -0.7141], [1.0, 1.772, 0.0]]


def all_triples():
    i = np.arange(1 << 24, dtype=np.int64)
    return np.stack([i >> 16, (i >> 8) & 255, i & 255], axis=1)


def q12(d):
    return int(np.trunc(d * 4096.0))


def ycbcr_q12():
    """Every 8-bit YCbCr triple to RGB in Q12, with input offsets (0, -128, -128), in int64."""
    s = all_triples()
    m = np.array([[q12(d) for d in row] for row in YCC], dtype=np.int64)
    a = [0, q12(-128.0), q12(-128.0)]
    c = np.array([sum((int(m[i, j]) * a[j]) >> 12 for j in range(3)) for i in range(3)], dtype=np.int64)
    acc = s @ m.T + c
    return np.clip((acc + 2048) >> 12, 0, 255).astype(np.uint8)


def ycbcr_pillow():
    from PIL import Image
    s = all_triples().astype(np.uint8).reshape(4096, 4096, 3)
    return np.asarray(Image.fromarray(s, "YCbCr").convert("RGB")).reshape(-1, 3)


def double_closed_form(s, matrix, a, b, top):
    """acc = sum_j s_j M_ij + C_i, summed in column order from 0, C_i likewise with b_i last."""
    rows, cols = len(matrix), len(matrix[0])
    out = np.empty((s.shape[0], rows), dtype=np.float64)
    for i in range(rows):
        c = 0.0
        for j in range(cols):
            c = c + matrix[i][j] * a[j]
        c = c + b[i]
        acc = np.zeros(s.shape[0])
        for j in range(cols):
            acc = acc + s[:, j].astype(np.float64) * matrix[i][j]
        out[:, i] = acc + c
    r = np.where(out < 0, 0.0, np.where(out <= top, np.trunc(out + 0.5), top))
    return r


def matrix_double():
    bits = int(args["bits"])
    top = (1 << bits) - 1
    dt = DTYPES[bits]
    s = np.fromfile(args["in"], dtype=dt).reshape(-1, 3)
    b = [0.0, 0.0, 0.0]
    a = [0.0, -(1 << (bits - 1)), -(1 << (bits - 1))]
    return double_closed_form(s, YCC, a, b, top).astype(dt)


def tetrahedral():
    n, m, grid = int(args["n"]), int(args["m"]), int(args["grid"])
    bits, table_bits = int(args["bits"]), int(args["table_bits"])
    slowest_first = args["order"] == "1"
    top = (1 << bits) - 1
    table = np.fromfile(args["table"], dtype=DTYPES[table_bits]).astype(np.int64)
    if table_bits == 8 and bits == 16:
        table = table * 257
    elif table_bits == 16 and bits == 8:
        table = table // 257
    s = np.fromfile(args["in"], dtype=DTYPES[bits]).reshape(-1, n).astype(np.int64)
    integer = bits == 8
    one, half = (16384, 8192) if integer else (1.0, 0.5)
    scale = (grid - 1) / top
    x = np.arange(top + 1, dtype=np.float64) * scale
    index = np.floor(x).astype(np.int64)
    frac = x - index
    if integer:
        frac = np.trunc(frac * 16384.0 + 0.5).astype(np.int64)
    index[top] = grid - 2
    frac[top] = one
    strides = [0] * n
    stride = m
    for k in range(n):
        strides[n - 1 - k if slowest_first else k] = stride
        stride *= grid
    strides = np.array(strides, dtype=np.int64)
    f = frac[s]
    base = (index[s] * strides).sum(axis=1)
    if args.get("ties") == "high":  # falling, ties take the higher dimension first
        order = n - 1 - np.argsort(-f[:, ::-1], axis=1, kind="stable")
    else:  # falling, ties keep the lower dimension first
        order = np.argsort(-f, axis=1, kind="stable")
    fs = np.take_along_axis(f, order, axis=1)
    corners = [base]
    for k in range(n):
        corners.append(corners[-1] + strides[order[:, k]])
    weights = [one - fs[:, 0]] + [fs[:, k - 1] - fs[:, k] for k in range(1, n)] + [fs[:, n - 1]]
    out = np.empty((s.shape[0], m), dtype=DTYPES[bits])
    for c in range(m):
        acc = np.full(s.shape[0], half, dtype=np.int64 if integer else np.float64)
        for k in range(n + 1):
            acc = acc + table[corners[k] + c] * weights[k]
        if integer:
            out[:, c] = np.minimum(acc >> 14, top)
        else:
            out[:, c] = np.trunc(np.minimum(acc, float(top)))
    return out


def pillow_lut():
    """An 8-bit RGB image through Pillow's Color3DLUT of the given 33-point table (red fastest)."""
    from PIL import Image, ImageFilter
    grid = int(args["grid"])
    table = np.fromfile(args["table"], dtype=np.uint8).astype(np.float64) / 255.0
    s = np.fromfile(args["in"], dtype=np.uint8).reshape(1, -1, 3)
    lut = ImageFilter.Color3DLUT(grid, table.tolist(), channels=3)
    return np.asarray(Image.fromarray(s, "RGB").filter(lut)).reshape(-1)


def lines(name, width, height, bits, channels):
    line = (bits * channels * width + 7) // 8
    return np.fromfile(args[name], dtype=np.uint8).reshape(height, line)


def as_pixels(raw, width, bits, channels):
    """(height, line bytes) to (height, width, channels) of samples, bits unpacked one a byte."""
    h = raw.shape[0]
    if bits == 1:
        return np.unpackbits(raw, axis=1)[:, : width * channels].reshape(h, width, channels)
    return raw.view(DTYPES[bits]).reshape(h, width, channels)


def from_pixels(p, bits):
    h = p.shape[0]
    if bits == 1:
        return np.packbits(p.reshape(h, -1), axis=1)
    return p.reshape(h, -1).view(np.uint8)


def select():
    w, h, bits, ch = (int(args[k]) for k in ("width", "height", "bits", "channels"))
    first, count = int(args["first"]), int(args["count"])
    p = as_pixels(lines("in", w, h, bits, ch), w, bits, ch)
    return np.ascontiguousarray(from_pixels(np.ascontiguousarray(p[:, :, first : first + count]), bits))


def merge():
    w, h, bits = (int(args[k]) for k in ("width", "height", "bits"))
    channels = [int(c) for c in args["channels"].split(",")]
    planes = [as_pixels(lines("in%d" % i, w, h, bits, c), w, bits, c) for i, c in enumerate(channels)]
    return np.ascontiguousarray(from_pixels(np.concatenate(planes, axis=2), bits))


def rgb_pillow():
    """Every 8-bit RGB triple through Pillow: convert("YCbCr"), convert("L"), or ImageCms sRGB to LAB
    with a and b moved from two's complement to +128."""
    from PIL import Image, ImageCms
    target = args["target"]
    image = Image.fromarray(all_triples().astype(np.uint8).reshape(4096, 4096, 3), "RGB")
    if target == "LAB":
        srgb, lab = ImageCms.createProfile("sRGB"), ImageCms.createProfile("LAB")
        out = np.asarray(ImageCms.applyTransform(image, ImageCms.buildTransform(srgb, lab, "RGB", "LAB"))).copy()
        out[:, :, 1:] = (out[:, :, 1:].astype(np.int64) + 128) % 256
        return out.reshape(-1)
    return np.asarray(image.convert(target)).reshape(-1)


MODES = {"rgb_pillow": rgb_pillow, "ycbcr_q12": ycbcr_q12, "ycbcr_pillow": ycbcr_pillow, "matrix_double": matrix_double,
         "tetrahedral": tetrahedral, "pillow_lut": pillow_lut, "select": select, "merge": merge}
# batch: one job a line of jobs=, "MODE key=value ...", each with its own out=.
jobs = [line.split() for line in open(args["jobs"])] if mode == "batch" else [[mode] + sys.argv[2:]]
for job in jobs:
    if job:
        args = dict(a.split("=", 1) for a in job[1:])
        np.ascontiguousarray(MODES[job[0]]()).tofile(args["out"])
