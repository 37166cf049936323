#!/usr/bin/python3
# Independent NOT of run-length lines with numpy: each line is expanded to pixels, inverted and
# encoded again. Input lines: "width start end start end ...", output lines: "start end ...".
import sys

import numpy as np

for text in sys.stdin:
    words = [int(w) for w in text.split()]
    if not words:
        continue
    width, runs = words[0], words[1:]
    pixels = np.zeros(width, dtype=bool)
    for start, end in zip(runs[0::2], runs[1::2]):
        pixels[start:end + 1] = True
    inverted = ~pixels
    edges = np.diff(np.concatenate(([0], inverted.astype(np.int8), [0])))
    starts = np.flatnonzero(edges == 1)
    ends = np.flatnonzero(edges == -1) - 1
    print(" ".join(f"{s} {e}" for s, e in zip(starts, ends)))
