#!/usr/bin/python3
"""Runs vek_dlut_bench and Pillow's Color3DLUT (size 33, the same table and pixels) at 2048 x 2048
and prints both times and the ratio Pillow / vek (above 1: vek is faster).

Usage: vek_dlut_compare.py [path to vek_dlut_bench]   (default: build/bench/vek_dlut_bench)
"""
import json
import subprocess
import sys
import time

import numpy as np
from PIL import Image, ImageFilter

SIDE, GRID = 2048, 33


def table():
    b, g, r = np.meshgrid(np.arange(GRID), np.arange(GRID), np.arange(GRID), indexing="ij")
    t = np.stack([(r * 5 + g * 3 + b) * 255 // (32 * 9), 255 - g * 255 // 32, (r * g + b * 32) * 255 // (32 * 64)],
                 axis=-1)
    return t.reshape(-1).astype(np.float64) / 255.0


def pixels():
    i = np.arange(SIDE * SIDE * 3, dtype=np.uint64)
    return ((i * 2654435761) % (1 << 32) >> 24).astype(np.uint8).reshape(SIDE, SIDE, 3)


def pillow_ms(repeats=10):
    image = Image.fromarray(pixels(), "RGB")
    lut = ImageFilter.Color3DLUT(GRID, table().tolist(), channels=3)
    image.filter(lut)
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        image.filter(lut)
        best = min(best, time.perf_counter() - start)
    return best * 1000.0


def vek_ms(binary):
    out = subprocess.run([binary, "--benchmark_format=json", "--benchmark_repetitions=5"], check=True,
                         capture_output=True, text=True).stdout
    runs = [b for b in json.loads(out)["benchmarks"] if b.get("run_type") == "iteration"]
    return min(b["real_time"] for b in runs)  # reported in milliseconds


binary = sys.argv[1] if len(sys.argv) > 1 else "build/bench/vek_dlut_bench"
v, p = vek_ms(binary), pillow_ms()
print(f"vek tetrahedral 8-bit 3->3, 33 points: {v:.2f} ms")
print(f"Pillow Color3DLUT, size 33:            {p:.2f} ms")
print(f"ratio Pillow / vek: {p / v:.2f} (target >= 2.0)")
