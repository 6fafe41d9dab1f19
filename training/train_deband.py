"""Trains the debanding map network and writes
shaders/deband/truehdr-debander.json and truehdr-debander.bin.

The network (its shape is fixed by the loader): the picture resampled to the
map size, R'G'B' in 0..1, packed 2x2 space-to-depth into 16 channels (the 4th
of each pixel zero) at half the map size; conv 7x7 16->32 leaky ReLU (0.1);
2x2 max pooling; conv 5x5 32->64 leaky; nearest 2x up, conv 3x3 64->32 leaky;
nearest 2x up, conv 3x3 32->8. Zero padding everywhere. The map value is the
highest channel i in 1..7 whose output is above 0, else 0, so channel i is
trained as "class >= i" (ordinal targets, binary cross-entropy on the
pre-activation; channel 0 is trained towards "no").

Classes: 0 keep the pixel; j >= 1 smooth it with the edge-keeping filter at a
radius of 2^(j-1) map pixels. Targets are found, not guessed: every patch is
filtered at every class with the service's own arithmetic (`smooth` below).

The shipped file (default): `--bench` below on 1200 patches for 2500 steps,
then a second phase of 1500 steps with strong-noise fields in 3 of every 8
patches (`--tune-steps 1500 --noise-share 0.375`) and the patches' edges in
the loss (`--margin 0`), both phases with 24 of the first layer's 32 filters
reading local differences amplified 32 times (`--hp-gain 32`, see Net),
then a third phase of 4000 steps on the same patches and noise fields that
minimises the decoded map's expected luma error itself, with class 1
trained again and given (`--expect-steps 4000 --expect-lr 5e-4 --class1`,
see train_expected and footprint_errors).
The file before it: `--expect-steps 0`; the one before that: `--hp-gain 0
--patches 600 --margin 8 --expect-steps 0`.

The earlier files (`--no-bench --steps 1500 --tune-steps 0 --noise-share 0`):
smooth synthetic fields (gradients, blobs,
low-frequency noise; some with a sub-code grain, fine texture or a hard
edge), blurred and enlarged crops of the training photographs and the
photographs reduced by 1.5 (and with `--kinds 4` grain fields), each
quantised in BT.709 video-range Y'CbCr to 8-bit codes or to steps of 2 or 4
codes, labelled with the class nearest the unquantised original over 9x9
pixels, class 0 unless smoothing wins by more than 5 %. 192x192 patches (a
96x96 map, a 1080p picture's scale; classes up to 6, radius 32 map pixels;
class 7 would reach past the patch).

`--bench` (see bench_set and oracle_labels): patches of the
benchmark's kinds (blurred photographs enlarged at the scale of a whole
photograph at 1920x1080, skies, mosaics of photographs reduced by 2, with
`--kinds 4` grain fields), each map pixel's target the class (0, 2 .. 6) of
least luma error against the original summed over its 2x2 footprint and the
5x5 map pixels around it (a smooth map).
`--tune-steps N` adds a second phase, started from the first
phase's map as its file holds it (or from a written file, `--init DIR`):
`--noise-share` of every batch are flat or smoothly shaded fields under
4-14 codes of one-pixel noise (noise_patch; targets: keep), the rest the
same patches as before.
The patches and targets are kept under /tmp/corvel-deband-patches (made
once); training mirrors and turns them (8 ways).
Every 7th photograph (index % 7 == 6) is held back for the printed figures.

Run: nice -n 10 /usr/bin/python3 training/train_deband.py [--steps N]
(seeds fixed, one thread; prints its time and the held-out figures).
"""
import argparse
import json
import math
import os
import sys
import tempfile
import time

import numpy as np
import torch
import torch.nn.functional as F

sys.path.insert(0, os.path.dirname(__file__))
import pictures  # noqa: E402

from PIL import Image  # noqa: E402

OUT = os.path.join(os.path.dirname(__file__), "..", "shaders", "deband")
KR, KB = 0.2126, 0.0722
PATCH = 192          # picture pixels; the map is half of it
SCALE = 2.0          # picture pixels per map pixel
CLASSES = 7          # labels 0..6 (radius up to 32 map pixels); 7 never labelled
CACHE = "/tmp/corvel-deband-patches"
DIRS = [(1, 0), (-1, 0), (0, 1), (0, -1), (0.7071, 0.7071), (-0.7071, 0.7071),
        (0.7071, -0.7071), (-0.7071, -0.7071)]
SIGMA = 12.0 / 255.0
NOISE = False       # --noise: with --bench --kinds 4, strong grey noise fields instead of grain fields
BENCH = False       # --bench: patches and targets as the benchmark's pictures (see bench_set)
SOFT = False        # --soft: blurred photograph crops box-blurred 9x9 before enlarging
TEXTURE = 0.7        # share of smooth fields given a patch of fine texture
HP_FILTERS = 24      # --hp-gain: first-layer filters blind to flat input (of 32)


# --- colour and quantisation ------------------------------------------------

def to_ycc(rgb):
    r, g, b = rgb[0], rgb[1], rgb[2]
    y = KR * r + (1 - KR - KB) * g + KB * b
    return torch.stack([y, (b - y) / (2 * (1 - KB)), (r - y) / (2 * (1 - KR))])


def to_rgb(ycc):
    y, cb, cr = ycc[0], ycc[1], ycc[2]
    r = y + 2 * (1 - KR) * cr
    b = y + 2 * (1 - KB) * cb
    g = (y - KR * r - KB * b) / (1 - KR - KB)
    return torch.stack([r, g, b]).clamp(0, 1)


def quantise(rgb, step):
    """8-bit video-range codes, rounded to multiples of `step` codes."""
    ycc = to_ycc(rgb.clamp(0, 1))
    y = torch.round((ycc[0] * 219 + 16) / step) * step
    c = torch.round((ycc[1:] * 224 + 128) / step) * step
    y = y.clamp(16, 235)
    c = c.clamp(16, 240)
    return to_rgb(torch.cat([((y - 16) / 219)[None], (c - 128) / 224]))


# --- the service's map-driven smoothing, for labels and figures -------------

def sample(img, ox, oy, stride=1):
    """Bilinear samples at every `stride`-th pixel centre plus (ox, oy) pixels,
    clamped at the edges."""
    _, h, w = img.shape
    ys = torch.arange(0, h, stride, dtype=torch.float32) + oy
    xs = torch.arange(0, w, stride, dtype=torch.float32) + ox
    gy = (ys + 0.5) / h * 2 - 1
    gx = (xs + 0.5) / w * 2 - 1
    grid = torch.stack(torch.meshgrid(gy, gx, indexing="ij")[::-1], dim=-1)[None]
    return F.grid_sample(img[None], grid, mode="bilinear", padding_mode="border",
                         align_corners=False)[0]


def smooth(img, j, stride=1):
    """The filter of class j applied to every `stride`-th pixel (in both
    directions) of a (3, H, W) picture."""
    o = img[:, ::stride, ::stride]
    if j < 1:
        return o
    radius = 2.0 ** (j - 1) * SCALE
    num = o.clone()
    den = torch.ones_like(o[:1])
    for r in (1, 2, 3):
        for dx, dy in DIRS:
            n = sample(img, dx * radius * r, dy * radius * r, stride)
            wgt = torch.exp(-0.5 * ((n - o) ** 2).sum(0, keepdim=True) / SIGMA ** 2)
            num += wgt * n
            den += wgt
    f = num / den
    far = (f - o).norm(dim=0, keepdim=True) > 0.1
    v = o + (f - o) * min(j / 4.0, 1.0)
    return torch.where(far, o, v)


def apply_map(img, classes):
    """Smoothing driven by a map at half the picture's size."""
    up = classes.repeat_interleave(2, 0).repeat_interleave(2, 1)[: img.shape[1], : img.shape[2]]
    out = img.clone()
    for j in range(1, 8):
        m = up == j
        if m.any():
            out = torch.where(m[None], smooth(img, j), out)
    return out


def labels(banded, original):
    """The class of each map pixel (picture pixel (2x, 2y)): the one whose
    result is nearest the original over the 9x9 picture pixels around it
    (sampled every second pixel), 0 unless smoothing wins by 5 %."""
    errs = []
    target = original[:, ::2, ::2]
    for j in range(CLASSES):
        e = ((smooth(banded, j, 2) - target) ** 2).sum(0, keepdim=True)
        errs.append(F.avg_pool2d(e[None], 5, stride=1, padding=2, count_include_pad=False)[0, 0])
    errs = torch.stack(errs)
    best = errs.argmin(0)
    gain = errs[0] - errs.gather(0, best[None])[0]
    return torch.where(gain > 0.05 * errs[0] + 1e-7, best, torch.zeros_like(best))


def luma_errors(banded, original):
    """For every class j in 0 .. CLASSES-1, the squared luma error in 10-bit
    codes of each map pixel's first picture pixel ((2x, 2y): one of the
    2x2 it stands for) when that pixel is filtered with class j:
    (CLASSES, H/2, W/2). The filter's luma at a pixel depends only on the
    class at that pixel, so these are what any map would cost."""
    wts = torch.tensor([KR, 1 - KR - KB, KB]).view(3, 1, 1) * 876.0
    target = (original[:, ::2, ::2] * wts).sum(0)
    return torch.stack([((smooth(banded, j, 2) * wts).sum(0) - target) ** 2 for j in range(CLASSES)])


# --- patches ------------------------------------------------------------------

def smooth_field(rng, size):
    yy, xx = np.mgrid[0:size, 0:size].astype(np.float64) / size
    out = np.zeros((3, size, size))
    base = rng.uniform(0.05, 0.9, 3)
    for c in range(3):
        out[c] = base[c]
    kind = rng.integers(0, 3)
    amp = rng.uniform(0.02, 0.25)
    col = rng.uniform(0.3, 1.0, 3)
    if kind == 0:
        a = rng.uniform(0, 2 * math.pi)
        t = np.cos(a) * xx + np.sin(a) * yy
    elif kind == 1:
        cx, cy = rng.uniform(-0.5, 1.5, 2)
        t = np.sqrt((xx - cx) ** 2 + (yy - cy) ** 2)
    else:
        g = rng.uniform(0, 1, (4, 4))
        t = np.asarray(Image.fromarray(g.astype(np.float32), mode="F").resize(
            (size, size), Image.BICUBIC), dtype=np.float64)
    for c in range(3):
        out[c] += amp * col[c] * (t - t.mean())
    if rng.uniform() < 0.5:  # gentle grain, well under one 8-bit code (a sky's)
        out += rng.normal(0, rng.uniform(0.2, 0.6) / 255.0, (1, size, size))
    if rng.uniform() < TEXTURE:  # fine texture in a disc: must be kept
        cx, cy, rad = rng.uniform(0.2, 0.8), rng.uniform(0.2, 0.8), rng.uniform(0.15, 0.6)
        m = ((xx - cx) ** 2 + (yy - cy) ** 2) < rad ** 2
        out += m[None] * rng.normal(0, rng.uniform(0.005, 0.05), (1, size, size))
    if rng.uniform() < 0.3:  # a hard edge
        a = rng.uniform(0, 2 * math.pi)
        m = (np.cos(a) * (xx - 0.5) + np.sin(a) * (yy - 0.5)) > 0
        out += m[None] * rng.uniform(-0.3, 0.3, (3, 1, 1))
    return torch.tensor(np.clip(out, 0, 1), dtype=torch.float32)


def grain_field(rng, size):
    """A smooth field under grain over the whole patch (film grain, sensor
    noise: 1 to 8 8-bit codes, white or in 2x2 clumps, grey or per colour,
    Gaussian or uniform): texture to keep, however flat the field beneath."""
    base = smooth_field(rng, size).numpy()
    sigma = rng.uniform(1.0, 8.0) / 255.0
    chans = 1 if rng.uniform() < 0.7 else 3
    if rng.uniform() < 0.5:
        g = rng.normal(0, 1, (chans, size, size))
    else:
        g = rng.uniform(-math.sqrt(3), math.sqrt(3), (chans, size, size))
    if rng.uniform() < 0.4:  # clumps: a 2x2 box keeps the spread at sigma
        g = (g + np.roll(g, 1, 1) + np.roll(g, 1, 2) + np.roll(np.roll(g, 1, 1), 1, 2)) / 2
    return torch.tensor(np.clip(base + sigma * g, 0, 1), dtype=torch.float32)


def photo_patch(rng, arr, blurred):
    h, w, _ = arr.shape
    if blurred:
        # A small crop enlarged with a soft filter: smooth, with a photo's colours.
        f = rng.integers(3, 7)
        s = PATCH // f + 2
        if s > min(h, w):
            s = min(h, w)
        y, x = rng.integers(0, h - s + 1), rng.integers(0, w - s + 1)
        crop = arr[y:y + s, x:x + s]
        if SOFT:  # box-blurred 9x9 first, as the benchmark's banded photographs
            t = torch.tensor(arr.transpose(2, 0, 1))[None]
            crop = F.avg_pool2d(t, 9, 1, 4, count_include_pad=False)[0, :, y:y + s, x:x + s].numpy()
            crop = np.ascontiguousarray(crop.transpose(1, 2, 0))
        chans = [np.asarray(Image.fromarray(crop[..., c], mode="F").resize(
            (PATCH, PATCH), Image.BICUBIC), dtype=np.float32) for c in range(3)]
        t = torch.tensor(np.stack(chans)).clamp(0, 1)
        return torch.nn.functional.avg_pool2d(t[None], 5, 1, 2, count_include_pad=False)[0]
    # Texture: the photograph reduced by 1.5 with an area filter, so that the
    # original carries values between 8-bit codes (a stored 8-bit picture is
    # already rounded: every smoothing of its noise would count as a loss).
    small = downscale(arr, min(1.5, min(h, w) / (PATCH + 1)))
    h, w, _ = small.shape
    y, x = rng.integers(0, h - PATCH + 1), rng.integers(0, w - PATCH + 1)
    return torch.tensor(small[y:y + PATCH, x:x + PATCH].transpose(2, 0, 1).copy())


def downscale(arr, factor):
    """Area (box) reduction of an (H, W, 3) float picture by `factor`."""
    h, w, _ = arr.shape
    size = (int(w / factor), int(h / factor))
    return np.stack([np.asarray(Image.fromarray(arr[..., c], mode="F").resize(size, Image.BOX),
                                dtype=np.float32) for c in range(3)], axis=-1)


def make_set(rng, photos, count, kinds, costs=False):
    xs, ys = [], []
    for i in range(count):
        kind = i % kinds
        if kind == 0:
            orig = smooth_field(rng, PATCH)
        elif kind == 3:
            orig = grain_field(rng, PATCH)
        else:
            orig = photo_patch(rng, photos[rng.integers(len(photos))], kind == 1)
        step = [1, 1, 2, 4][rng.integers(4)]
        banded = quantise(orig, step)
        xs.append(banded)
        ys.append(luma_errors(banded, orig) if costs else labels(banded, orig))
    return torch.stack(xs), torch.stack(ys)


# --- patches of the benchmark's kind, targets from the least-error maps ------

def box_blur(arr, radius):
    """(H, W, 3) float picture box-blurred over (2 radius + 1)^2 pixels."""
    t = torch.tensor(arr.transpose(2, 0, 1))[None]
    k = 2 * radius + 1
    return F.avg_pool2d(t, k, 1, radius, count_include_pad=False)[0].numpy().transpose(1, 2, 0)


def enlarged_photo(rng, blurred):
    """A crop of a 9x9-blurred photograph enlarged (bilinear) at the scale a
    whole photograph has when stretched to 1920x1080: smooth, with a
    photograph's colours and the 8-bit steps tens of pixels apart."""
    h, w, _ = blurred.shape
    cw = max(2, int(round(PATCH * w / 1920.0)))
    ch = max(2, int(round(PATCH * h / 1080.0)))
    y, x = rng.integers(0, h - ch + 1), rng.integers(0, w - cw + 1)
    crop = np.ascontiguousarray(blurred[y:y + ch, x:x + cw])
    chans = [np.asarray(Image.fromarray(crop[..., c], mode="F").resize(
        (PATCH, PATCH), Image.BILINEAR), dtype=np.float32) for c in range(3)]
    return torch.tensor(np.stack(chans)).clamp(0, 1)


def sky(rng):
    """A slow ramp with a glow (a sky), seen through a 192-pixel window of a
    1920x1080 picture; half carry a grain of 0.1 to 0.4 8-bit codes RMS."""
    ox, oy = rng.uniform(0, 1920 - PATCH), rng.uniform(0, 1080 - PATCH)
    yy, xx = np.mgrid[0:PATCH, 0:PATCH].astype(np.float64)
    xx, yy = xx + ox, yy + oy
    sx, sy = rng.uniform(-0.3, 0.3), rng.uniform(-0.3, 0.3)
    t = rng.uniform(0.1, 0.6) + sx * xx / 1920 + sy * yy / 1080
    gx, gy = rng.uniform(0, 1920), rng.uniform(0, 1080)
    g = rng.uniform(-0.1, 0.1) * np.exp(-((xx - gx) ** 2 + (yy - gy) ** 2) / rng.uniform(5e4, 5e5))
    off = rng.uniform(-0.1, 0.25, 3)
    tint = rng.uniform(0.3, 1.0, 3)
    out = np.stack([t + off[c] + tint[c] * g for c in range(3)])
    if rng.uniform() < 0.5:
        out = out + rng.normal(0, rng.uniform(0.1, 0.4) / 255.0, (1, PATCH, PATCH))
    return torch.tensor(np.clip(out, 0, 1), dtype=torch.float32)


def reduced_photos(rng, reduced):
    """2x2 tiles of 96x96 crops of photographs reduced by 2 (as the
    benchmark's textured mosaic: texture with values between 8-bit codes)."""
    half = PATCH // 2
    out = torch.zeros(3, PATCH, PATCH)
    for ty in range(2):
        for tx in range(2):
            small = reduced[rng.integers(len(reduced))]
            h, w, _ = small.shape
            y, x = rng.integers(0, h - half + 1), rng.integers(0, w - half + 1)
            out[:, ty * half:(ty + 1) * half, tx * half:(tx + 1) * half] = torch.tensor(
                small[y:y + half, x:x + half].transpose(2, 0, 1).copy())
    return out


def oracle_labels(banded, original, margin=0.01):
    """Per map pixel the class of least luma error summed over its whole 2x2
    footprint and the 5x5 map pixels around it (a smooth map: the least
    error of single map pixels is not learnable), from the classes the
    shipped file may give (0, 2 .. CLASSES-1); class 0 unless smoothing wins
    by `margin` of its error."""
    wts = torch.tensor([KR, 1 - KR - KB, KB]).view(3, 1, 1) * 876.0
    target = (original * wts).sum(0)
    allowed = [0] + list(range(2, CLASSES))
    errs = []
    for j in allowed:
        e = ((smooth(banded, j) * wts).sum(0) - target) ** 2
        e = F.avg_pool2d(e[None, None], 2)[0]          # per map pixel's footprint
        errs.append(F.avg_pool2d(e[None], 5, 1, 2, count_include_pad=False)[0, 0])
    errs = torch.stack(errs)
    best = errs.argmin(0)
    gain = errs[0] - errs.gather(0, best[None])[0]
    best = torch.where(gain > margin * errs[0] + 1e-9, best, torch.zeros_like(best))
    return torch.tensor(allowed)[best]


def noise_field(rng):
    """`--noise`: a flat or slowly shaded field under grey noise of 2 to 12
    8-bit codes RMS, uniform or Gaussian, one value a pixel: texture to keep
    (the least-error targets say class 0 there)."""
    yy, xx = np.mgrid[0:PATCH, 0:PATCH].astype(np.float64) / PATCH
    base = rng.uniform(0.1, 0.8) + rng.uniform(-0.05, 0.05) * xx + rng.uniform(-0.05, 0.05) * yy
    sigma = rng.uniform(2.0, 12.0) / 255.0
    if rng.uniform() < 0.5:
        g = rng.normal(0, 1, (PATCH, PATCH))
    else:
        g = rng.uniform(-math.sqrt(3), math.sqrt(3), (PATCH, PATCH))
    out = (base + sigma * g)[None] + rng.uniform(-0.05, 0.05, (3, 1, 1))
    return torch.tensor(np.clip(out, 0, 1), dtype=torch.float32)


NOISE_MIN = 4.0     # --noise-min: the weakest noise of noise_patch, 8-bit codes RMS


def noise_patch(rng):
    """A field the map must keep: flat, gently sloped or smoothly shaded,
    under one-pixel noise of NOISE_MIN (4) to 14 8-bit codes RMS (uniform or Gaussian;
    grey, i.e. luma only, or independent per colour). Its least-error
    targets are class 0 almost everywhere."""
    yy, xx = np.mgrid[0:PATCH, 0:PATCH].astype(np.float64) / PATCH
    shape = rng.integers(3)
    if shape == 2:
        base = smooth_field(rng, PATCH).numpy()
    else:
        base = (rng.uniform(0.1, 0.85) + rng.uniform(-0.05, 0.05, (3, 1, 1))) * np.ones((3, PATCH, PATCH))
        if shape == 1:
            base = base + rng.uniform(-0.08, 0.08) * xx + rng.uniform(-0.08, 0.08) * yy
    sigma = rng.uniform(NOISE_MIN, 14.0) / 255.0
    chans = 1 if rng.uniform() < 0.6 else 3
    if rng.uniform() < 0.5:
        g = rng.normal(0, 1, (chans, PATCH, PATCH))
    else:
        g = rng.uniform(-math.sqrt(3), math.sqrt(3), (chans, PATCH, PATCH))
    return torch.tensor(np.clip(base + sigma * g, 0, 1), dtype=torch.float32)


def noise_pairs(rng, count):
    """noise_patch fields as (8-bit, original) pairs."""
    for _ in range(count):
        orig = noise_patch(rng)
        yield quantise(orig, 1), orig


def noise_set(rng, count):
    """`--noise-share`: noise_patch fields at 8-bit codes with their targets."""
    xs, ys = [], []
    for banded, orig in noise_pairs(rng, count):
        xs.append(banded)
        ys.append(oracle_labels(banded, orig))
    return torch.stack(xs), torch.stack(ys)


def bench_pairs(rng, photos, count, kinds):
    """The patches of bench_set as (banded, original) pairs, in its order
    (the same rng gives the same pairs: the expected-error phase replays it
    to measure what every class costs on the cached patches)."""
    blurred = [box_blur(a, 4) for a in photos]
    reduced = [downscale(a, 2.0) for a in photos]
    for i in range(count):
        kind = i % kinds
        if kind == 3:
            orig, step = (noise_field(rng) if NOISE else grain_field(rng, PATCH)), 1
        elif kind == 0:
            orig, step = enlarged_photo(rng, blurred[rng.integers(len(blurred))]), int(rng.integers(1, 3))
        elif kind == 1:
            orig, step = sky(rng), 2 if rng.uniform() < 0.25 else 1
        else:
            orig, step = reduced_photos(rng, reduced), 1
        yield quantise(orig, step), orig


def bench_set(rng, photos, count, kinds):
    """`--bench` (a trial): patches in equal parts of enlarged blurred
    photographs (8-bit steps 1 or 2 codes), skies (steps of 1 code, a quarter
    2), mosaics of photographs reduced by 2 (texture, 8-bit) and, with
    `--kinds 4`, smooth fields under 1 to 8 codes of grain (texture the map
    must keep: without them the map smoothed a +-10-code noise away, -18 dB),
    with oracle_labels as targets. Training photographs only."""
    xs, ys = [], []
    for banded, orig in bench_pairs(rng, photos, count, kinds):
        xs.append(banded)
        ys.append(oracle_labels(banded, orig))
    return torch.stack(xs), torch.stack(ys)


def footprint_errors(banded, original):
    """(CLASSES, H/2, W/2): per map pixel the squared luma error in 10-bit
    codes summed over the 2x2 picture pixels it stands for, were the map to
    give it class j (0 .. CLASSES-1)."""
    wts = torch.tensor([KR, 1 - KR - KB, KB]).view(3, 1, 1) * 876.0
    target = (original * wts).sum(0)
    rows = []
    for j in range(CLASSES):
        e = ((smooth(banded, j) * wts).sum(0) - target) ** 2
        rows.append(F.avg_pool2d(e[None, None], 2)[0, 0] * 4)
    return torch.stack(rows)


# --- the network ----------------------------------------------------------------

def pack(rgb):
    """(N, 3, H, W) picture at twice the map size -> (N, 16, H/4, W/4)."""
    m = rgb[:, :, ::2, ::2]  # nearest resample to the map size
    m = torch.cat([m, torch.zeros_like(m[:, :1])], 1)  # R, G, B, 0
    n, c, h, w = m.shape
    m = m.reshape(n, 4, h // 2, 2, w // 2, 2).permute(0, 3, 5, 1, 2, 4)  # n, dy, dx, c, y, x
    return m.reshape(n, 16, h // 2, w // 2)


class Net(torch.nn.Module):
    """`gain` scales the input while training (an 8-bit step is 1/255 of the
    input's range: scaled up, the first layer's random start sees it); the
    export folds it into the first layer's weights (zero padding keeps that
    exact), so the file's network reads the picture as the service packs it.

    `hp` > 0 (`--hp-gain`): the first `hp_count` filters of the first layer
    are held free of any response to a flat picture (per colour, their
    weights over the 4 packed positions and the 7x7 taps sum to zero) and
    read the input `hp` times amplified: they see only local differences,
    where one 8-bit code is hp/255 rather than 1/255 and a noise field's
    differences are several times a band's step. The remaining filters
    (brightness, colour) read it at `gain`. Both fold into the exported
    weights; the file's format and shape are unchanged."""

    def __init__(self, gain=1.0, hp=0.0, hp_count=HP_FILTERS):
        super().__init__()
        self.gain = gain
        self.hp = hp
        self.hp_count = hp_count if hp else 0
        self.c0 = torch.nn.Conv2d(16, 32, 7, padding=3)
        self.c1 = torch.nn.Conv2d(32, 64, 5, padding=2)
        self.c2 = torch.nn.Conv2d(64, 32, 3, padding=1)
        self.c3 = torch.nn.Conv2d(32, 8, 3, padding=1)

    def first_weight(self):
        """The first layer's weights as the file holds them."""
        w = self.c0.weight
        if not self.hp_count:
            return w * self.gain
        n = self.hp_count
        v = w[:n].view(n, 4, 4, 7, 7)  # out, packed position, colour, row, column
        v = (v - v.mean((1, 3, 4), keepdim=True)) * self.hp
        return torch.cat([v.reshape(n, 16, 7, 7), w[n:] * self.gain])

    def forward(self, x):
        h = F.leaky_relu(F.conv2d(x, self.first_weight(), self.c0.bias, padding=3), 0.1)
        h = F.max_pool2d(h, 2)
        h = F.leaky_relu(self.c1(h), 0.1)
        h = F.leaky_relu(self.c2(F.interpolate(h, scale_factor=2, mode="nearest")), 0.1)
        return self.c3(F.interpolate(h, scale_factor=2, mode="nearest"))


def with_high_pass(net, hp, hp_count=HP_FILTERS):
    """A written network (gain 1) as one whose first `hp_count` filters are
    trained through the `hp` parametrisation; the same function up to the
    half-float rounding of their zero sums."""
    out = Net(1.0, hp, hp_count)
    out.load_state_dict(net.state_dict())
    with torch.no_grad():
        out.c0.weight[:hp_count] /= hp
    return out


def decode(logits):
    above = logits[:, 1:] > 0
    idx = torch.arange(1, 8).view(1, 7, 1, 1)
    return (above * idx).amax(1)


def ordinal(y):
    idx = torch.arange(0, 8).view(1, 8, 1, 1)
    t = (y[:, None] >= idx).float()
    t[:, 0] = 0
    return t


def export(net, count_note, out):
    os.makedirs(out, exist_ok=True)
    blobs, layers, offset = [], [], 0
    for conv in (net.c0, net.c1, net.c2, net.c3):
        w = (net.first_weight() if conv is net.c0 else conv.weight).detach().numpy().astype("<f2")
        b = conv.bias.detach().numpy().astype("<f2")
        layers.append({"cout": int(w.shape[0]), "cin": int(w.shape[1]), "k": int(w.shape[2]),
                       "weight": offset, "bias": offset + w.nbytes})
        blobs += [w.tobytes(), b.tobytes()]
        offset += w.nbytes + b.nbytes
    with open(os.path.join(out, "truehdr-debander.bin"), "wb") as f:
        for blob in blobs:
            f.write(blob)
    desc = {
        "description": "Banding map for 8-bit pictures: class 0 keeps a pixel, class j smooths it "
                       "at a radius of 2^(j-1) map pixels. Trained by training/train_deband.py "
                       "from synthetic banding. " + count_note,
        "license": "Corvel Live Enhancer's own weights, under the project's licence",
        "layers": layers,
    }
    with open(os.path.join(out, "truehdr-debander.json"), "w") as f:
        json.dump(desc, f, indent=1)
        f.write("\n")


def psnr(a, b, mask):
    mse = (((a - b) ** 2).mean(0))[mask].mean().item()
    return 10 * math.log10(1.0 / max(mse, 1e-12))


def prepared_set(args, photos, count=None):
    """The labelled patches, made once and kept under CACHE (they take most of
    a run's time and depend only on the seed, the count and the patch size)."""
    name = os.path.join(CACHE, f"set{'4' if args.kinds == 4 else ''}{'s' if SOFT else ''}{'b' if BENCH else ''}{'n' if NOISE else ''}"
                               f"-{PATCH}-{CLASSES}-{count or args.patches}-15.pt")
    make = bench_set if BENCH else make_set
    return cached_patches(name, lambda: make(np.random.default_rng(15), photos, count or args.patches, args.kinds))


def cached_patches(name, make):
    """Patches and their classes from the cache file `name`, or made by
    `make()` and kept there."""
    if os.path.exists(name):
        xs, ys = torch.load(name)
        return xs.float(), ys.long()
    xs, ys = make()
    os.makedirs(CACHE, exist_ok=True)
    torch.save((xs.half(), ys.to(torch.uint8)), name)
    # Train on what the cache holds (half floats, as the service's pictures
    # reach the network), so a first run and a cached one give the same file.
    return xs.half().float(), ys.long()


def prepared_noise(count):
    """The noise_set patches, made once and kept under CACHE."""
    low = "" if NOISE_MIN == 4.0 else f"{NOISE_MIN:g}"
    name = os.path.join(CACHE, f"noise{low}-{PATCH}-{CLASSES}-{count}-15.pt")
    return cached_patches(name, lambda: noise_set(np.random.default_rng(16), count))


def dihedral(x, y, k):
    """One of the 8 mirrorings/rotations of pictures (N, 3, H, W) and their
    maps (N, H/2, W/2); applied before packing, as pack's order follows them."""
    if k & 1:
        x, y = x.flip(-1), y.flip(-1)
    if k & 2:
        x, y = x.flip(-2), y.flip(-2)
    if k & 4:
        x, y = x.transpose(-1, -2), y.transpose(-1, -2)
    return x, y


def draw_batch(gen, xs, ys, noise, batch, noisy, step):
    """`batch` patches with their targets: `noisy` of them from the noise
    fields `noise` (patches, targets), the rest from xs / ys, all mirrored or
    turned the step's way (dihedral); also the indices drawn from xs."""
    pick = torch.randint(0, len(xs), (batch - noisy,), generator=gen)
    xb, y = xs[pick], ys[pick]
    if noisy:
        nxs, nys = noise
        npick = torch.randint(0, len(nxs), (noisy,), generator=gen)
        xb, y = torch.cat([xb, nxs[npick]]), torch.cat([y, nys[npick]])
    xb, y = dihedral(xb, y, step % 8)
    return xb, y, pick


def load_net(directory):
    """The network of a written truehdr-debander.json / .bin pair."""
    with open(os.path.join(directory, "truehdr-debander.json")) as f:
        desc = json.load(f)
    with open(os.path.join(directory, "truehdr-debander.bin"), "rb") as f:
        raw = f.read()
    net = Net()
    with torch.no_grad():
        for conv, layer in zip((net.c0, net.c1, net.c2, net.c3), desc["layers"]):
            n = layer["cout"] * layer["cin"] * layer["k"] ** 2
            w = np.frombuffer(raw, dtype="<f2", count=n, offset=layer["weight"]).astype(np.float32)
            b = np.frombuffer(raw, dtype="<f2", count=layer["cout"], offset=layer["bias"]).astype(np.float32)
            conv.weight.copy_(torch.tensor(w).view_as(conv.weight))
            conv.bias.copy_(torch.tensor(b))
    return net


def take_step(opt, sched, loss, recent, step, steps, start):
    """One optimiser step on loss, with a progress line every 100 steps (the
    mean loss of the last 100 and the wall time since start)."""
    opt.zero_grad()
    loss.backward()
    opt.step()
    sched.step()
    recent.append(loss.item())
    if step % 100 == 0 or step == steps - 1:
        print(f"step {step} loss {np.mean(recent[-100:]):.4f} (mean of the last 100) "
              f"({time.time() - start:.0f} s)", flush=True)


def train_net(args, train, start, init=None):
    """Trains from scratch (the first phase), or, given `init` (a network as
    a written file holds it), the second phase: the same patches with the
    noise fields in a share of every batch (and the loss weights of
    `--photo-weight` / `--pos-weight`), at its own steps and rate."""
    torch.manual_seed(15)
    tune = init is not None
    steps, lr = (args.tune_steps, args.tune_lr) if tune else (args.steps, args.lr)
    photos = [pictures.rgb(p) for p in train]
    xs, ys = prepared_set(args, photos)
    print(f"{'second' if tune else 'first'} phase, {steps} steps: {len(xs)} patches labelled in "
          f"{time.time() - start:.0f} s; class shares",
          [round((ys == j).float().mean().item(), 3) for j in range(CLASSES)], flush=True)
    # Strong fine noise is texture to keep, yet nothing else in the set looks
    # like it: without such fields the map smoothed a +-10-code noise away.
    # They take a fixed part of every batch, the other patches the rest.
    # They join the second phase (started from a map that already knows the
    # bands) or, without one (`--tune-steps 0`), the first.
    late = tune or not args.tune_steps
    noisy = round(args.noise_share * args.batch) if late else 0
    if noisy:
        nxs, nys = prepared_noise(args.noise_patches)
        print(f"{len(nxs)} noise fields, {noisy} of each batch of {args.batch}; class 0 share "
              f"{(nys == 0).float().mean().item():.3f}", flush=True)
    photo_weight = args.photo_weight if late else 1.0
    pos_weight = args.pos_weight if late else 1.0
    texture_weight = args.texture_weight if late else 1.0
    if tune:
        net = with_high_pass(init, args.hp_gain) if args.hp_gain else init
    else:
        net = Net(args.gain, args.hp_gain)
    opt = torch.optim.Adam(net.parameters(), lr=lr)
    sched = torch.optim.lr_scheduler.OneCycleLR(opt, max_lr=lr, total_steps=steps, pct_start=0.05)
    # Map pixels at the patch edge left out of the loss (`--margin`). A
    # patch's edge is a picture's edge to the network (zero padding) and to
    # the targets (the filter's samples clamp there), so what they teach is
    # what the service meets at a picture's border; left out, the border is
    # never taught and a map whose first layer reads local differences
    # (`--hp-gain`) takes the padding's step for banding.
    margin = args.margin if late else args.first_margin
    mask = torch.zeros(1, 8, PATCH // 2, PATCH // 2)
    mask[..., margin:PATCH // 2 - margin, margin:PATCH // 2 - margin] = 1
    weight = torch.tensor([0.2] + [1.0] * 7).view(1, 8, 1, 1)
    if tune:
        # A written file's channel 1 is held off (bias -1000, see main): left
        # in the loss its error would swamp every other channel's.
        weight[0, 1] = 0.0
    gen = torch.Generator().manual_seed(15)
    recent = []
    for step in range(steps):
        xb, y, pick = draw_batch(gen, xs, ys, (nxs, nys) if noisy else None, args.batch, noisy, step)
        x = pack(xb)
        t = ordinal(y)
        per = weight * mask
        if photo_weight != 1.0 or texture_weight != 1.0:
            # make_set and bench_set put kind i % kinds at index i; kind 0 of
            # the bench's set is the enlarged photographs, kind 2 the reduced
            # photographs (texture).
            kinds = torch.cat([pick % args.kinds, torch.full((noisy,), -1)])
            per = per * torch.where(kinds == 0, photo_weight, 1.0).view(-1, 1, 1, 1)
            per = per * torch.where(kinds == 2, texture_weight, 1.0).view(-1, 1, 1, 1)
        if pos_weight != 1.0:
            # Missing a smoothing the targets ask for weighs more than
            # smoothing where they keep (a threshold moved by training).
            per = per * torch.where(t > 0, pos_weight, 1.0)
        loss = (F.binary_cross_entropy_with_logits(net(x), t, reduction="none") * per
                ).sum() / (mask.sum() * args.batch)
        take_step(opt, sched, loss, recent, step, steps, start)
    return net


def cached_errors(name, pairs, xs):
    """footprint_errors of every (banded, original) pair of `pairs` (the
    cached patches `xs`, replayed from their seed), made once and kept under
    CACHE in half floats."""
    if os.path.exists(name):
        return torch.load(name).float()
    # A file of the same kind for fewer patches holds this set's first ones
    # (the same seed makes the same patches in the same order).
    stem, count = name.rsplit("-", 2)[0], len(xs)
    smaller = [(n, f) for f in os.listdir(CACHE) if f.startswith(os.path.basename(stem) + "-")
               for n in [int(f.rsplit("-", 2)[1])] if n < count]
    es = list(torch.load(os.path.join(CACHE, max(smaller)[1])).float()) if smaller else []
    for i, (banded, orig) in enumerate(pairs):
        # The replay must give the cached patch, or the errors belong to another.
        if not torch.equal(banded.half(), xs[i].half()):
            raise SystemExit(f"{name}: patch {i} does not replay; remove the patch caches and run again")
        if i >= len(es):
            es.append(footprint_errors(banded, orig))
    es = torch.stack(es).clamp(max=60000.0).half()
    torch.save(es, name)
    return es.float()


def expected_error(logits, costs, temp, class1=False):
    """Per map pixel the luma error the decoded map is expected to cost when
    each channel i in 1 .. CLASSES-1 is above 0 with the odds
    sigmoid(output / temp) (decode takes the highest such channel; channel 1
    is held off unless `class1`, channel 7 never taught): the sum over
    classes j of P(class j) * costs[j], costs (N, CLASSES, h, w)."""
    p = torch.sigmoid(logits[:, 1:CLASSES] / temp)
    if not class1:
        p = p * torch.tensor([0.0] + [1.0] * (CLASSES - 2)).view(1, -1, 1, 1)
    # none[:, k]: the odds that no channel from k + 1 up is above 0.
    none = torch.flip(torch.cumprod(torch.flip(1 - p, [1]), 1), [1])
    higher = torch.cat([none[:, 1:], torch.ones_like(none[:, :1])], 1)
    odds = torch.cat([none[:, :1], p * higher], 1)
    return (odds * costs).sum(1)


def train_expected(args, train, start, init):
    """The third phase (`--expect-steps`): from the second phase's map as its
    file holds it, the expected luma error of the decoded map itself is
    minimised (expected_error on each patch's measured per-class errors),
    noise fields in the same share of each batch. The least-error targets of
    the first two phases are an area's best class, found with a 5 % margin
    and learnt as decisions of equal weight; here every map pixel weighs what
    its choice costs in the picture: a sky pixel whose neighbours' bands
    are 4 codes apart teaches more than one whose classes hardly differ,
    and a pixel of texture teaches as much as smoothing would take from it.
    (Started from a fresh network this loss drove every channel to "no": a
    map that cannot yet tell texture from bands loses least by keeping.)"""
    torch.manual_seed(15)
    photos = [pictures.rgb(p) for p in train]
    count = args.expect_patches or args.patches
    xs, _ = prepared_set(args, photos, count)
    es = cached_errors(os.path.join(CACHE, f"erra-{PATCH}-{CLASSES}-{count}-15.pt"),
                       bench_pairs(np.random.default_rng(15), photos, count, args.kinds), xs)
    noisy = round(args.noise_share * args.batch)
    if noisy:
        nxs, _ = prepared_noise(args.noise_patches)
        low = "" if NOISE_MIN == 4.0 else f"{NOISE_MIN:g}"
        nes = cached_errors(os.path.join(CACHE, f"errn{low}-{PATCH}-{CLASSES}-{args.noise_patches}-15.pt"),
                            noise_pairs(np.random.default_rng(16), args.noise_patches), nxs)
    # Errors in units of the patches' mean error unfiltered, so that the
    # rate means the same whatever the set.
    unit = es[:, 0].mean().item()
    print(f"third phase, {args.expect_steps} steps: errors of {len(xs)} patches in {time.time() - start:.0f} s; "
          f"mean error unfiltered {unit:.3f}, least per pixel {es.min(1).values.mean().item():.3f} "
          f"codes^2 per map pixel", flush=True)
    net = with_high_pass(init, args.hp_gain) if args.hp_gain else init
    if args.class1:
        # The file holds channel 1 off (bias -1000); its weights are the
        # first phase's, where no target was class 1, so "class >= 1" learnt
        # what "class >= 2" did: start it at channel 2's threshold, and let
        # the expected error decide where the light smoothing pays (the
        # least-error maps give class 1 to a third of a banded photograph's
        # pixels).
        with torch.no_grad():
            net.c3.bias[1] = net.c3.bias[2]
    opt = torch.optim.Adam(net.parameters(), lr=args.expect_lr)
    sched = torch.optim.lr_scheduler.OneCycleLR(opt, max_lr=args.expect_lr, total_steps=args.expect_steps,
                                                pct_start=0.05)
    gen = torch.Generator().manual_seed(17)
    recent = []
    for step in range(args.expect_steps):
        xb, c, pick = draw_batch(gen, xs, es, (nxs, nes) if noisy else None, args.batch, noisy, step)
        logits = net(pack(xb))
        per = expected_error(logits, c / unit, args.temp, args.class1)
        if args.expect_photo_weight != 1.0:
            # bench_pairs puts kind i % kinds at index i: kind 0 is the
            # enlarged photographs, whose 1-code steps cost far less per
            # pixel than a sky's bands and so teach little at weight 1.
            kinds = torch.cat([pick % args.kinds, torch.full((noisy,), -1)])
            per = per * torch.where(kinds == 0, args.expect_photo_weight, 1.0).view(-1, 1, 1)
        # Channel 7 is never decoded usefully in a patch (it reaches past
        # one): held below 0.
        loss = per.mean() + 0.01 * F.softplus(logits[:, 7]).mean()
        take_step(opt, sched, loss, recent, step, args.expect_steps, start)
    return net


def as_written(net):
    """The network as export writes it and load_net reads it back (half
    floats, class 1 held off), so a second phase starts from what a file
    holds: a run in one go and one started from the first phase's file
    (`--init`) give the same bytes."""
    hold_off_class1(net)
    with tempfile.TemporaryDirectory() as d:
        export(net, "", d)
        return load_net(d)


def hold_off_class1(net):
    # Class 1 (radius 1 map pixel, a quarter of the way to the smoothed value)
    # gains little where it is right and costs much where it is wrong: on
    # strong fine grain the maps trained on class targets gave it to most
    # pixels, smoothing a quarter of the grain away (-9 dB on such texture).
    # Such a map never gives it: channel 1 can no longer be above 0, so its
    # pixels become class 0 unless a wider class is above 0. The third phase
    # (`--class1`) trains it back on what it costs, noise fields included.
    with torch.no_grad():
        net.c3.bias[1] = -1000.0


def prepared_costs(args, photos):
    """The patches and their per-class luma errors, made once and kept under
    CACHE (they take most of a run's time and depend only on the seed, the
    count and the patch size)."""
    name = os.path.join(CACHE, f"errs{'4' if args.kinds == 4 else ''}{'s' if SOFT else ''}-{PATCH}-{CLASSES}-{args.patches}-15.pt")
    if os.path.exists(name):
        xs, es = torch.load(name)
        return xs.float(), es.float()
    rng = np.random.default_rng(15)
    xs, es = make_set(rng, photos, args.patches, args.kinds, costs=True)
    os.makedirs(CACHE, exist_ok=True)
    es = es.clamp(max=60000.0)
    torch.save((xs.half(), es.half()), name)
    # Train on what the cache holds (half floats, as the service's pictures
    # reach the network), so a first run and a cached one give the same file.
    return xs.half().float(), es.half().float()


def ordinal_targets(es, harm, pool):
    """Per channel j in 1 .. CLASSES-1 the decision "class >= j" that costs
    least and what the other decision would cost more (its regret), from
    the per-class errors es (N, CLASSES, h, w). The cost of a class is its
    error plus `harm` times what it adds over keeping the pixel; costs are
    averaged over `pool` x `pool` map pixels (each map pixel's error is one
    picture pixel of the four it stands for: pooling steadies it)."""
    cost = es + harm * (es - es[:, :1]).clamp(min=0)
    if pool > 1:
        cost = F.avg_pool2d(cost, pool, 1, pool // 2, count_include_pad=False)
    below = torch.cummin(cost, 1).values[:, :-1]                              # min over k < j
    at_or_above = torch.flip(torch.cummin(torch.flip(cost, [1]), 1).values, [1])[:, 1:]  # min over k >= j
    delta = at_or_above - below
    return (delta < 0).float(), delta.abs()


def train_costs(args, train, start):
    """A trial (`--costs`), not how the shipped file was made: targets from
    every class's measured luma error instead of the 9x9 labels."""
    torch.manual_seed(15)
    photos = [pictures.rgb(p) for p in train]
    xs, es = prepared_costs(args, photos)
    best = es.argmin(1)
    print(f"{len(xs)} patches with their errors in {time.time() - start:.0f} s; least-error class shares",
          [round((best == j).float().mean().item(), 3) for j in range(CLASSES)], flush=True)
    # Each channel is a "class >= j" decision trained towards the decision of
    # least luma error, weighted by what the wrong one would cost: a pixel
    # where the choice hardly matters teaches little, a texture pixel that a
    # wide class would smear teaches much. (The expected error under the
    # channels' odds, minimised directly, drove every channel to "no" before
    # the network could tell texture from bands: saturated sigmoids.)
    targets, regret = ordinal_targets(es, args.harm, args.pool)
    # Each channel's regrets in units of their mean, capped: the wide
    # classes' large regrets would otherwise drown the narrow ones' decisions.
    regret = (regret / regret.mean((0, 2, 3), keepdim=True)).clamp(max=args.cap)
    if args.uniform:
        regret = torch.ones_like(regret)
    print(f"per-channel 'on' shares {[round(v, 3) for v in targets.mean((0, 2, 3)).tolist()]}; "
          f"mean regret {regret.mean().item():.3f}", flush=True)
    net = Net(args.gain)
    opt = torch.optim.Adam(net.parameters(), lr=args.lr)
    sched = torch.optim.lr_scheduler.OneCycleLR(opt, max_lr=args.lr, total_steps=args.steps, pct_start=0.05)
    margin = 8  # map pixels at the patch edge whose context was cut off
    mask = torch.zeros(1, 1, PATCH // 2, PATCH // 2)
    mask[..., margin:-margin, margin:-margin] = 1
    gen = torch.Generator().manual_seed(15)
    recent = []
    for step in range(args.steps):
        pick = torch.randint(0, len(xs), (args.batch,), generator=gen)
        xb, tr = dihedral(xs[pick], torch.cat([targets[pick], regret[pick]], 1), step % 8)
        t, r = tr[:, :CLASSES - 1], tr[:, CLASSES - 1:]
        logits = net(pack(xb))
        fit = F.binary_cross_entropy_with_logits(logits[:, 1:CLASSES], t, weight=r, reduction="none")
        # Channels decode never reads as a class here (0) or that no patch
        # can teach (7, wider than a patch) are held below 0.
        unused = F.softplus(logits[:, 0:1]) + F.softplus(logits[:, 7:8])
        loss = ((fit.sum(1, keepdim=True) + 0.01 * unused) * mask).sum() / (mask.sum() * args.batch)
        take_step(opt, sched, loss, recent, step, args.steps, start)
    return net


def oracle(held):
    """The ceiling of the map filter: held-out patches debanded with the labels
    themselves (computed from the original), PSNR over the whole patch."""
    rng = np.random.default_rng(7)
    for kind, name in ((1, "banded"), (2, "textured")):
        gains = []
        for i, path in enumerate(held[:10]):
            orig = photo_patch(rng, pictures.rgb(path), kind == 1)
            banded = quantise(orig, 1 + (i % 2) if kind == 1 else 1)
            whole = torch.ones(PATCH, PATCH, dtype=torch.bool)
            out = apply_map(banded, labels(banded, orig))
            errs = luma_errors(banded, orig)
            least = apply_map(banded, errs.argmin(0))
            pooled = apply_map(banded, F.avg_pool2d(errs[None], 5, 1, 2, count_include_pad=False)[0].argmin(0))
            gains.append(tuple(psnr(x, orig, whole) - psnr(banded, orig, whole) for x in (out, least, pooled)))
        for k, what in enumerate(("labels as the map", "least-error map (one pixel of four)",
                                  "least error over 5x5 map pixels")):
            g = [x[k] for x in gains]
            print(f"{what}, held out {name}: mean {np.mean(g):+.2f} dB "
                  f"(min {min(g):+.2f}, max {max(g):+.2f})", flush=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--steps", type=int, default=2500)
    ap.add_argument("--patches", type=int, default=1200)
    ap.add_argument("--kinds", type=int, default=3, choices=(3, 4))
    ap.add_argument("--batch", type=int, default=8)
    ap.add_argument("--costs", action="store_true",
                    help="trial: train from every class's measured error (see train_costs), not the labels")
    ap.add_argument("--lr", type=float, default=2e-3, help="peak rate")
    ap.add_argument("--harm", type=float, default=1.0,
                    help="with --costs: extra weight of error a class adds over keeping the pixel")
    ap.add_argument("--pool", type=int, default=3, help="with --costs: map pixels the costs are averaged over (side)")
    ap.add_argument("--cap", type=float, default=3.0,
                    help="with --costs: largest regret weight, in its channel's mean regret")
    ap.add_argument("--uniform", action="store_true", help="with --costs: every decision weighs the same")
    ap.add_argument("--gain", type=float, default=1.0,
                    help="input scale while training (folded into the export)")
    ap.add_argument("--hp-gain", type=float, default=32.0,
                    help=f"first layer: {HP_FILTERS} filters blind to flat input, reading it this much amplified "
                         "(see Net; folded into the export)")
    ap.add_argument("--keep-class1", action="store_true",
                    help="with --costs: let the exported file give class 1")
    ap.add_argument("--soft", action="store_true",
                    help="trial: blurred photograph patches box-blurred 9x9 before enlarging (smoother bands)")
    ap.add_argument("--bench", action=argparse.BooleanOptionalAction, default=True,
                    help="patches of the benchmark's kind, targets from least-error maps (see bench_set); "
                         "--no-bench: the synthetic fields and photograph crops of the first shipped file")
    ap.add_argument("--noise", action="store_true",
                    help="trial, with --bench --kinds 4: flat fields under strong grey noise (see noise_field)")
    ap.add_argument("--noise-share", type=float, default=0.375,
                    help="share of each batch taken from strong-noise fields (see noise_patch)")
    ap.add_argument("--noise-patches", type=int, default=200, help="noise fields made for --noise-share")
    ap.add_argument("--noise-min", type=float, default=4.0, help="weakest noise of the noise fields (8-bit codes RMS)")
    ap.add_argument("--photo-weight", type=float, default=1.0,
                    help="loss weight of the patches of kind 0 (with --bench: enlarged photographs)")
    ap.add_argument("--texture-weight", type=float, default=1.0,
                    help="loss weight of the patches of kind 2 (with --bench: reduced photographs, texture)")
    ap.add_argument("--margin", type=int, default=0,
                    help="map pixels at each patch edge left out of the loss in the phase with the noise fields")
    ap.add_argument("--first-margin", type=int, default=8,
                    help="the same in the first phase (when there are two)")
    ap.add_argument("--pos-weight", type=float, default=1.0,
                    help="loss weight of the outputs whose target is 'smooth' (class >= i)")
    ap.add_argument("--init", metavar="DIR",
                    help="skip the first phase: start the second from the network written in DIR")
    ap.add_argument("--tune-steps", type=int, default=1500,
                    help="steps of the second phase (noise fields in each batch; 0: none)")
    ap.add_argument("--tune-lr", type=float, default=1e-3, help="peak rate of the second phase")
    ap.add_argument("--class1", action=argparse.BooleanOptionalAction, default=True,
                    help="the third phase trains class 1 and the exported file may give it")
    ap.add_argument("--expect-steps", type=int, default=4000,
                    help="steps of a third phase minimising the map's expected luma error (see train_expected)")
    ap.add_argument("--expect-patches", type=int, default=0,
                    help="patches of the third phase (0: --patches; the first ones are the same patches)")
    ap.add_argument("--expect-lr", type=float, default=5e-4, help="peak rate of the third phase")
    ap.add_argument("--expect-photo-weight", type=float, default=1.0,
                    help="third phase: weight of the enlarged photographs' expected error")
    ap.add_argument("--temp", type=float, default=1.0,
                    help="third phase: outputs are divided by this before their odds are taken")
    ap.add_argument("--shift", type=float, default=0.0,
                    help="added to the outputs of classes 2-7 before export (decision threshold)")
    ap.add_argument("--out", default=OUT)
    ap.add_argument("--oracle", action="store_true",
                    help="print what the labels themselves gain on held-out patches, then stop")
    ap.add_argument("--finish", metavar="DIR",
                    help="skip training: take the network written in DIR, then prune and export")
    args = ap.parse_args()
    global SOFT, BENCH, NOISE, NOISE_MIN
    NOISE = args.noise
    NOISE_MIN = args.noise_min
    SOFT = args.soft
    BENCH = args.bench
    torch.set_num_threads(1)
    start = time.time()
    train, held = pictures.split()
    if args.oracle:
        oracle(held)
        return
    class1 = args.keep_class1  # may the exported file give class 1?
    if args.finish:
        net = load_net(args.finish)
    elif args.costs:
        net = train_costs(args, train, start)
    else:
        net = load_net(args.init) if args.init else train_net(args, train, start)
        if args.tune_steps:
            net = train_net(args, train, start, as_written(net) if not args.init else net)
        if args.expect_steps:
            net = train_expected(args, train, start,
                                 as_written(net) if args.tune_steps or not args.init else net)
            class1 = class1 or args.class1
    if not class1:
        hold_off_class1(net)
    # A decision threshold other than even odds: `--shift` is added to the
    # outputs of the smoothing classes 2 .. 7 (> 0 smooths more readily).
    if args.shift:
        with torch.no_grad():
            net.c3.bias[2:] += args.shift

    # Held-out figures: banded photographs (blurred and enlarged, steps 1 and 2)
    # and reduced photographs (texture), with the map applied as the service does.
    net.eval()
    hrng = np.random.default_rng(7)
    hphotos = [pictures.rgb(p) for p in held]
    rows = []
    with torch.no_grad():
        for kind, name in ((1, "banded"), (2, "textured")):
            before, after, base = [], [], []
            for i, arr in enumerate(hphotos):
                if not BENCH:
                    orig = photo_patch(hrng, arr, kind == 1)
                elif kind == 1:
                    orig = enlarged_photo(hrng, box_blur(arr, 4))
                else:
                    orig = reduced_photos(hrng, [downscale(arr, 2.0)])
                banded = quantise(orig, 1 + (i % 2) if kind == 1 else 1)
                cls = decode(net(pack(banded[None].half().float())))[0]
                out = apply_map(banded, cls)
                m = torch.ones(PATCH, PATCH, dtype=torch.bool)
                if kind == 1:
                    m = (banded - orig).abs().amax(0) > 0  # where quantisation moved values
                before.append(psnr(banded, orig, m))
                after.append(psnr(out, orig, m))
                base.append((cls > 0).float().mean().item())
            rows.append((name, np.mean(before), np.mean(after), np.mean(base)))
    note = []
    for name, b, a, share in rows:
        line = f"{name}: PSNR {b:.2f} -> {a:.2f} dB ({a - b:+.2f}), map non-zero {share * 100:.1f} %"
        print("held out " + line)
        note.append(line)
    export(net, "Held-out figures: " + "; ".join(note) + ".", args.out)
    print(f"wrote {args.out} in {time.time() - start:.0f} s")


if __name__ == "__main__":
    main()
