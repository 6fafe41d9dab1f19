"""Figures of the shipped shaders on the held-out pictures, from the JSON
files themselves (numpy re-implementations of the kernels' arithmetic):
luma PSNR and SSIM of bilinear, bicubic (the scaler's Catmull-Rom) and both
shaders. Run: nice -n 10 /usr/bin/python3 training/evaluate.py
"""
import base64
import json
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
import pictures  # noqa: E402
import train_ravu  # noqa: E402

SHADERS = os.path.join(os.path.dirname(__file__), "..", "shaders")


def texture(name, tex):
    with open(os.path.join(SHADERS, name + ".json")) as f:
        d = json.load(f)
    t = [t for t in d["textures"] if t["name"] == tex][0]
    v = np.frombuffer(base64.b64decode(t["data"]), dtype="<f2").astype(np.float64)
    return v.reshape(t["height"], t["width"], 4)


def ravu(small):
    rows = texture("ravu-lite-ar-r3", "RAVU_WEIGHTS")
    thr = list(rows[0, 0])
    return train_ravu.apply(small, rows[1:], thr)


def conv(x, w, b, k):
    """x (C, H, W), w (O, C, k, k), edge padding."""
    p = k // 2
    xp = np.pad(x, ((0, 0), (p, p), (p, p)), mode="edge")
    h, wd = x.shape[1:]
    out = np.zeros((w.shape[0], h, wd))
    for dy in range(k):
        for dx in range(k):
            out += np.einsum("oc,chw->ohw", w[:, :, dy, dx], xp[:, dy:dy + h, dx:dx + wd])
    return out + b[:, None, None]


def fsr(small):
    v = texture("FSRCNNX_x2_8-0-4-1", "FSRCNNX_WEIGHTS").reshape(-1, 4)
    prelu = lambda x, a: np.maximum(x, 0) + a[:, None, None] * np.minimum(x, 0)
    w = np.zeros((8, 1, 5, 5))
    for t in range(25):
        for q in range(2):
            w[4 * q:4 * q + 4, 0, t // 5, t % 5] = v[2 * t + q]
    h = prelu(conv(small[None], w, np.concatenate(v[50:52]), 5), np.concatenate(v[52:54]))
    for l in range(4):
        base = 54 + 148 * l
        w = np.zeros((8, 8, 3, 3))
        for q in range(2):
            for t in range(9):
                for c in range(8):
                    w[4 * q:4 * q + 4, c, t // 3, t % 3] = v[base + (9 * q + t) * 8 + c]
        h = prelu(conv(h, w, np.concatenate(v[base + 144:base + 146]), 3),
                  np.concatenate(v[base + 146:base + 148]))
    w = np.zeros((4, 8, 3, 3))
    for t in range(9):
        for c in range(8):
            w[:, c, t // 3, t % 3] = v[646 + 8 * t + c]
    corr = conv(h, w, v[718], 3)
    out = pictures.bicubic2x_unclamped(small)
    for py in range(2):
        for px in range(2):
            out[py::2, px::2] += corr[py * 2 + px]
    lo, hi = block_range(small)
    return np.clip(out, lo, hi)


def block_range(small):
    """Per 2x output sample, the min and max of the four input samples around
    it (output 2k lies between inputs k-1 and k, 2k+1 between k and k+1)."""
    h, w = small.shape
    p = np.pad(small, 1, mode="edge")
    lo = np.empty((2 * h, 2 * w))
    hi = np.empty((2 * h, 2 * w))
    for py in range(2):
        for px in range(2):
            quad = [p[py + j:py + j + h, px + i:px + i + w] for j in range(2) for i in range(2)]
            lo[py::2, px::2] = np.minimum.reduce(quad)
            hi[py::2, px::2] = np.maximum.reduce(quad)
    return lo, hi


def overshoot(out, small):
    """Share of output samples more than 8 codes outside the range of the
    four input samples around them (ringing and halos show up here)."""
    win = train_ravu.windows(small)[:, :, [14, 15, 20, 21]]
    lo, hi = win.min(axis=2), win.max(axis=2)
    h, w = small.shape
    worst = np.zeros_like(out)
    for py in range(2):
        for px in range(2):
            o = out[1 - py::2, 1 - px::2]
            l = lo[1 - py:1 - py + h, 1 - px:1 - px + w]
            u = hi[1 - py:1 - py + h, 1 - px:1 - px + w]
            worst[1 - py::2, 1 - px::2] = np.maximum(np.maximum(o - u, l - o), 0)
    return float(np.mean(worst / pictures.WORD > 8))


def main():
    _, held = pictures.split()
    names = ["bilinear", "bicubic", "ravu-lite-ar-r3", "FSRCNNX_x2_8-0-4-1"]
    fns = [pictures.bilinear2x, pictures.bicubic2x, ravu, fsr]
    psnr = np.zeros((len(held), 4))
    ssim = np.zeros((len(held), 4))
    over = np.zeros((len(held), 4))
    for i, path in enumerate(held):
        small, large = pictures.pair(path)
        for j, fn in enumerate(fns):
            out = np.clip(fn(small), 0, 1)
            psnr[i, j] = pictures.psnr(out, large)
            ssim[i, j] = pictures.ssim(out, large)
            over[i, j] = overshoot(out, small)
        print(os.path.basename(path), " ".join(f"{p:.2f}/{s:.4f}" for p, s in zip(psnr[i], ssim[i])),
              flush=True)
    for j, n in enumerate(names):
        print(f"| {n} | {psnr[:, j].mean():.2f} | {psnr[:, j].mean() - psnr[:, 1].mean():+.2f} | "
              f"{ssim[:, j].mean():.4f} | {100 * over[:, j].mean():.3f} % |")


if __name__ == "__main__":
    main()
