#!/usr/bin/python3
# Independent pixel operators between two images with numpy. Input: records of nine int64
# (op, type, w1, h1, w2, h2, channels, x, y) followed by the first and the second image's raw
# lines; output: the first image with the overlap combined, record after record.
# op: 0 add, 1 sub, 2 multiply, 3 multiply with normalization, 4 and, 5 overwrite.
# type: 0 1-bit, 1 u8, 2 s8, 3 u16, 4 s16, 5 u32, 6 s32, 7 float, 8 double.
import sys

import numpy as np

TYPES = [None, np.uint8, np.int8, np.uint16, np.int16, np.uint32, np.int32, np.float32, np.float64]
FMAX = float(np.finfo(np.float32).max)
DMAX = float(np.finfo(np.float64).max)


def combine(op, kind, d, p):
    if op == 5:
        return p
    if op == 4:
        return d & p
    if op == 3:
        return ((d.astype(np.uint64) * p.astype(np.uint64)) // np.uint64(4294967295)).astype(np.uint32)
    if kind in (7, 8):
        a, b = d.astype(np.float64), p.astype(np.float64)
        with np.errstate(all="ignore"):
            r = [a + b, a - b, a * b][op]
        if kind == 7:
            return np.where(np.isnan(r), r, np.clip(r, -FMAX, FMAX)).astype(np.float32)
        return np.where(np.isnan(r), -DMAX, np.clip(r, -DMAX, DMAX))
    # Python integers: exact for every product of 32-bit samples.
    a, b = d.astype(object), p.astype(object)
    r = [a + b, a - b, a * b][op]
    info = np.iinfo(TYPES[kind])
    return np.clip(r, info.min, info.max).astype(TYPES[kind])


def main():
    data = sys.stdin.buffer.read()
    pos = 0
    out = sys.stdout.buffer
    while pos < len(data):
        op, kind, w1, h1, w2, h2, c, x, y = np.frombuffer(data, np.int64, 9, pos)
        pos += 72
        if kind == 0:
            l1, l2 = (w1 * c + 7) // 8, (w2 * c + 7) // 8
            first = np.frombuffer(data, np.uint8, l1 * h1, pos).reshape(h1, l1)
            pos += l1 * h1
            second = np.frombuffer(data, np.uint8, l2 * h2, pos).reshape(h2, l2)
            pos += l2 * h2
            a = np.unpackbits(first, axis=1)  # padding bits included: they pass unchanged
            b = np.unpackbits(second, axis=1)[:, : w2 * c]
        else:
            t = np.dtype(TYPES[kind])
            n1, n2 = w1 * c * h1, w2 * c * h2
            a = np.frombuffer(data, t, n1, pos).reshape(h1, w1 * c).copy()
            pos += n1 * t.itemsize
            b = np.frombuffer(data, t, n2, pos).reshape(h2, w2 * c)
            pos += n2 * t.itemsize
        x0, y0 = max(x, 0), max(y, 0)
        x1, y1 = min(w1, x + w2), min(h1, y + h2)
        if x1 > x0 and y1 > y0:
            d = a[y0:y1, x0 * c : x1 * c]
            p = b[y0 - y : y1 - y, (x0 - x) * c : (x1 - x) * c]
            a[y0:y1, x0 * c : x1 * c] = combine(op, kind, d, p)
        out.write((np.packbits(a, axis=1) if kind == 0 else a).tobytes())


main()
