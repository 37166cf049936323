#!/usr/bin/env python3
"""Weighted-area reduction by 4 of an 8-bit gray 2048 x 2500 image: vek_scale_pp_bench's
VEK_ScalePPFastBy chain (read memory, scale, write memory) against Pillow's Image.reduce(4),
both measured in one run on this machine. Prints both times and Pillow's time / ours.

usage: bench/scale_peers.py [path to vek_scale_pp_bench]   (default build/bench/vek_scale_pp_bench)
"""
import json
import os
import subprocess
import sys
import timeit

import numpy as np
from PIL import Image


def vek_ms(binary):
    out = subprocess.run([binary, "--benchmark_filter=BM_VekReduce4", "--benchmark_format=json",
                          "--benchmark_min_time=0.5", "--benchmark_repetitions=5"],
                         check=True, capture_output=True, text=True).stdout
    runs = [b for b in json.loads(out)["benchmarks"] if b.get("run_type", "iteration") == "iteration"]
    if not runs or any(b.get("error_occurred") for b in runs):
        sys.exit("vek benchmark failed: " + str(runs[0].get("error_message") if runs else "no run"))
    # The best of five, as for Pillow: the machine is shared.
    scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[runs[0]["time_unit"]]
    return min(b["real_time"] for b in runs) * scale


def pillow_ms():
    rng = np.random.default_rng(11)
    image = Image.fromarray(rng.integers(0, 256, size=(2500, 2048), dtype=np.uint8))
    assert image.reduce(4).size == (512, 625)
    timer = timeit.Timer(lambda: image.reduce(4))
    count, _ = timer.autorange()
    best = min(timer.repeat(repeat=5, number=count)) / count
    return best * 1e3


def main():
    binary = sys.argv[1] if len(sys.argv) > 1 else os.path.join("build", "bench", "vek_scale_pp_bench")
    vek = vek_ms(binary)
    pil = pillow_ms()
    print(f"vek VEK_ScalePPFastBy 2048x2500 -> 512x625 8-bit: {vek:.3f} ms")
    print(f"Pillow Image.reduce(4) same image:               {pil:.3f} ms")
    print(f"ratio (Pillow / vek): {pil / vek:.2f}x  (target >= 0.9x)")


if __name__ == "__main__":
    main()
