"""Trains the RAISR-style 2x luma upscaler "ravu-lite-ar-r3" and writes its
description (shaders/ravu-lite-ar-r3.json); the kernels are
shaders/ravu-lite-ar-r3.cl, written by hand for the layout made here.

Design. Each corner between four input samples (at input position
(u - 0.5, v - 0.5), u = 0..width, v = 0..height) gives the four output
samples around it, at +-0.25 input samples on each axis. The 6x6 input
samples around the corner (radius 3) feed one linear filter per output
phase. The filter comes from a bucket picked per corner from the structure
tensor of the central 4x4 gradients (weights 0.5, 1, 1, 0.5 per axis):
24 angles x 3 strengths x 3 coherences. Filters are least-squares fits over
the training pictures (and their 8 flips and transposes), each bucket pulled
towards the fit over all buckets (ridge) so that rare buckets stay sane.
At run time the result is clamped to the 2x2 input samples nearest the
corner (anti-ringing).

Texture RAVU_WEIGHTS: 36 texels a row. Row 0 texel 0 holds the thresholds
(strength low, strength high, coherence low, coherence high); rows 1..216
are the buckets, texel t = dy * 6 + dx the tap at window offset (dx, dy),
its four halves the phases (px + 2 * py).

Run: nice -n 10 /usr/bin/python3 training/train_ravu.py  (about 2 minutes on
one core; deterministic, no random numbers).
"""
import json
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
import pictures  # noqa: E402

ANGLES, STRENGTHS, COHERENCES = 24, 3, 3
BUCKETS = ANGLES * STRENGTHS * COHERENCES
TAPS = 36
RIDGE = 2e-4  # per-bucket pull towards the all-bucket fit, times the sample count scale
OUT = os.path.join(os.path.dirname(__file__), "..", "shaders")


def windows(small):
    """(h+1, w+1, 36) windows of every corner, clamp to edge."""
    h, w = small.shape
    p = np.pad(small, 3, mode="edge")
    out = np.empty((h + 1, w + 1, TAPS))
    for dy in range(6):
        for dx in range(6):
            out[:, :, dy * 6 + dx] = p[dy:dy + h + 1, dx:dx + w + 1]
    return out


def tensor_features(win):
    """Strength, coherence and angle index of every corner (float32 as the kernel)."""
    win = win.astype(np.float32)
    axis_w = np.array([0.5, 1.0, 1.0, 0.5], dtype=np.float32)
    a = np.zeros(win.shape[:2], np.float32)
    b = np.zeros_like(a)
    c = np.zeros_like(a)
    for j in range(1, 5):
        for i in range(1, 5):
            gx = 0.5 * (win[:, :, j * 6 + i + 1] - win[:, :, j * 6 + i - 1])
            gy = 0.5 * (win[:, :, (j + 1) * 6 + i] - win[:, :, (j - 1) * 6 + i])
            wt = axis_w[i - 1] * axis_w[j - 1]
            a += wt * gx * gx
            b += wt * gx * gy
            c += wt * gy * gy
    half_tr = 0.5 * (a + c)
    root = np.sqrt(0.25 * (a - c) ** 2 + b * b)
    l1 = half_tr + root
    l2 = np.maximum(half_tr - root, 0)
    s1, s2 = np.sqrt(l1), np.sqrt(l2)
    coherence = (s1 - s2) / (s1 + s2 + np.float32(1e-9))
    theta = 0.5 * np.arctan2(2 * b, a - c)
    theta = np.where(theta < 0, theta + np.float32(np.pi), theta)
    angle = np.minimum((theta * np.float32(ANGLES / np.pi)).astype(np.int64), ANGLES - 1)
    return s1, coherence, angle


def buckets(win, thresholds):
    s, coh, angle = tensor_features(win)
    si = (s >= thresholds[0]).astype(np.int64) + (s >= thresholds[1])
    ci = (coh >= thresholds[2]).astype(np.int64) + (coh >= thresholds[3])
    return (angle * STRENGTHS + si) * COHERENCES + ci


def targets(large, h, w):
    """(h-1, w-1, 4) output samples of the inner corners u, v = 1..w-1, 1..h-1."""
    t = np.empty((h - 1, w - 1, 4))
    for py in range(2):
        for px in range(2):
            t[:, :, py * 2 + px] = large[1 + py:2 * h - 1 + py:2, 1 + px:2 * w - 1 + px:2]
    return t


def variants(small, large):
    for k in range(4):
        s, l = np.rot90(small, k), np.rot90(large, k)
        yield s, l
        yield s.T, l.T


def thresholds_from(pairs):
    s_all, c_all = [], []
    for small, _ in pairs[::4]:
        s, c, _ = tensor_features(windows(small))
        s_all.append(s.ravel())
        c_all.append(c.ravel())
    s_all = np.concatenate(s_all)
    c_all = np.concatenate(c_all)
    return [float(np.quantile(s_all, 1 / 3)), float(np.quantile(s_all, 2 / 3)),
            float(np.quantile(c_all, 1 / 3)), float(np.quantile(c_all, 2 / 3))]


def apply(small, filters, thresholds):
    """The shipped upscaler in numpy (float64 filters as stored in half)."""
    h, w = small.shape
    win = windows(small)
    bk = buckets(win, thresholds)
    f = filters[bk]  # (h+1, w+1, 36, 4)
    cells = np.einsum("yxt,yxtp->yxp", win, f)
    near = win[:, :, [14, 15, 20, 21]]
    cells = np.clip(cells, near.min(axis=2, keepdims=True), near.max(axis=2, keepdims=True))
    out = np.empty((2 * h, 2 * w))
    for py in range(2):
        for px in range(2):
            # output 2u - 1 + px comes from corner u: phase 0 fills the odd
            # outputs from corners 1..w, phase 1 the even ones from 0..w-1
            out[1 - py::2, 1 - px::2] = cells[1 - py:1 - py + h, 1 - px:1 - px + w, py * 2 + px]
    return out


def main():
    started = time.time()
    train, held = pictures.split()
    pairs = [pictures.pair(p) for p in train]
    # As the kernel reads them: half floats.
    thr = [float(np.float16(t)) for t in thresholds_from(pairs)]
    xtx = np.zeros((BUCKETS, TAPS, TAPS))
    xty = np.zeros((BUCKETS, TAPS, 4))
    count = np.zeros(BUCKETS)
    for small, large in pairs:
        for s, l in variants(small, large):
            h, w = s.shape
            win = windows(s)[1:h, 1:w].reshape(-1, TAPS)
            tgt = targets(l, h, w).reshape(-1, 4)
            bk = buckets(windows(s), thr)[1:h, 1:w].ravel()
            order = np.argsort(bk, kind="stable")
            bk, win, tgt = bk[order], win[order], tgt[order]
            edges = np.searchsorted(bk, np.arange(BUCKETS + 1))
            for k in range(BUCKETS):
                a, e = edges[k], edges[k + 1]
                if e > a:
                    xtx[k] += win[a:e].T @ win[a:e]
                    xty[k] += win[a:e].T @ tgt[a:e]
                    count[k] += e - a
    total_xtx = xtx.sum(axis=0)
    total_xty = xty.sum(axis=0)
    scale = np.trace(total_xtx) / count.sum() / TAPS
    base = np.linalg.solve(total_xtx + RIDGE * scale * count.sum() * 1e-3 * np.eye(TAPS), total_xty)
    filters = np.empty((BUCKETS, TAPS, 4))
    for k in range(BUCKETS):
        lam = RIDGE * scale * max(count[k], 1.0) + 1e-2 * scale
        filters[k] = np.linalg.solve(xtx[k] + lam * np.eye(TAPS), xty[k] + lam * base)
    filters = filters.astype(np.float16).astype(np.float64)
    seconds = time.time() - started

    rows = np.zeros((1 + BUCKETS, TAPS, 4))
    rows[0, 0] = thr
    rows[1:] = filters
    description = {
        "license": "Corvel Live Enhancer's own work (trained by training/train_ravu.py); "
                   "under the repository's licence",
        "passes": [
            {"hook": "LUMA", "kernel": "ravuCorners", "binds": ["HOOKED", "RAVU_WEIGHTS"],
             "save": "RAVU_CORNERS", "width": "HOOKED.w 1 +", "height": "HOOKED.h 1 +",
             "components": 4, "when": "OUTPUT.w HOOKED.w 1.2 * >"},
            {"kernel": "ravuPlace", "binds": ["RAVU_CORNERS"],
             "width": "HOOKED.w 2 *", "height": "HOOKED.h 2 *", "components": 1,
             "when": "OUTPUT.w HOOKED.w 1.2 * >"},
        ],
        "textures": [{"name": "RAVU_WEIGHTS", "width": TAPS, "height": 1 + BUCKETS,
                      "data": pictures.half_base64(rows.ravel())}],
    }
    with open(os.path.join(OUT, "ravu-lite-ar-r3.json"), "w") as f:
        json.dump(description, f, indent=1)
        f.write("\n")

    print(f"trained in {seconds:.0f} s; thresholds {thr}; empty buckets {int((count == 0).sum())}")
    report(held, lambda s: apply(s, filters, thr))


def report(held, upscale):
    rows = []
    for path in held:
        small, large = pictures.pair(path)
        rows.append([pictures.psnr(pictures.bilinear2x(small), large),
                     pictures.psnr(pictures.bicubic2x(small), large),
                     pictures.psnr(upscale(small), large)])
    m = np.mean(rows, axis=0)
    print(f"held-out luma PSNR dB: bilinear {m[0]:.2f} bicubic {m[1]:.2f} ours {m[2]:.2f} "
          f"(+{m[2] - m[1]:.2f} over bicubic)")


if __name__ == "__main__":
    main()
