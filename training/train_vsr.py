#!/usr/bin/python3
"""Trains and exports the 2x upscaling networks shipped in shaders/vsr/.

Each network predicts a residual over a fixed bicubic 2x enlargement (a = -0.75,
the taps the `finish` kernel uses). The input is packed 2 x 2 picture pixels
per cell (16 channels: per sub-pixel R, G, B, 0 in -1 ... 1); the output is 48
channels per cell (3 colours x 4 x 4 output sub-positions), colour-major, so
that the service's kernels add it back by depth-to-space with block 4.

Variants:
  neural-low, neural-medium:   trained on a mix of clean inputs and inputs that
                               went through real H.264 and HEVC encoding at
                               mild rates (ffmpeg).
  neural-hb, neural-hb-medium: the same networks fine-tuned on clean (high bit
                               rate) inputs.
  neural-*-student:            distilled from their teacher at under half its
                               multiply-adds per cell.

Pictures: every 7th picture (index 6, 13, ...) of the sorted training folder is
held back and used only for the figures this script prints.

Usage: nice -n 10 /usr/bin/python3 training/train_vsr.py --data DIR --out shaders/vsr
       [--cache DIR] [--only NAME[,NAME]] [--done-phases N] [--eval-only] [--shader] [--curve STEPS]
       [--share NAME=OTHER]
"""
import argparse
import glob
import json
import math
import os
import subprocess
import sys
import time

import numpy as np
import torch
import torch.nn as nn
import torch.nn.functional as F
from PIL import Image

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pictures  # noqa: E402

torch.set_num_threads(1)

LICENSE = "Corvel Live Enhancer network weights: trained by the Corvel Live Enhancer project, same licence as the program"

# Layers per architecture as (inputs, outputs, kernel), all at cell resolution
# (half the input's resolution), leaky ReLU (slope 0.1) after every one but the
# last. The last layer is 1x1: the 48 residual values of a cell are a linear
# read-out of that cell's features, which leaves the multiply-adds to the 3x3
# layers that see neighbours.
ARCH = {
    "low": [(16, 32, 3), (32, 32, 3), (32, 32, 3), (32, 32, 3), (32, 48, 1)],
    "medium": [(16, 40, 3), (40, 40, 3), (40, 40, 3), (40, 40, 3), (40, 40, 3), (40, 40, 3), (40, 48, 1)],
    "student": [(16, 24, 3), (24, 24, 3), (24, 24, 3), (24, 48, 1)],
}

# name -> (architecture, input, teacher, phases, starting weights).
# Each phase is (steps, peak rate[, loss]): a fresh Adam, warm-up, cosine decay
# to 1 % of the peak; a later phase restarts at a lower peak from the earlier
# phase's weights rounded to float16 (as they ship), which settles the
# network further for less than a longer first phase would cost. The loss is
# L1 on the residual unless the phase names "l2": L1 trains faster from
# scratch (large errors do not swamp the gradient), while the mean squared
# error is what PSNR measures, so a short last phase on it moves the network
# from the residual's median towards its mean.
# A phase may also name "luma" (the error weighted towards luma, what the
# figures and the viewer's eye measure) and "coded=S"
# (that share of coded patches instead of CODED_SHARE). ("widen", C) is a
# phase without steps: every hidden layer gets C features, starting from the
# same function (see widen()); neural-medium, trained at 40 features until
# it gained little per step, goes on at 64.
# Input "mix": clean pictures and mildly coded ones (the tiers for compressed
# sources must still gain on clean ones); "clean": clean only. A network with
# starting weights continues from that network's shipped weights (the clean
# tiers are the mixed ones fine-tuned on clean input, which costs a fraction
# of training them from scratch).
NETWORKS = {
    "neural-low": ("low", "mix", None,
                   [(4500, 2e-3), (2000, 5e-4), (1200, 2.5e-4), (3000, 1e-3), (1000, 2.5e-4, "l2")], None),
    "neural-hb": ("low", "clean", None, [(1200, 1e-3)], "neural-low"),
    # On neural-medium the squared-error phase moved clean gain to coded
    # inputs; the L1 phase after it won the clean gain back and more.
    "neural-medium": ("medium", "mix", None,
                      [(3000, 2e-3), (2000, 5e-4), (7000, 1e-3), (1000, 2.5e-4, "l2"), (2500, 5e-4),
                       ("widen", 64), (3000, 5e-4, "luma", "coded=0.25"), (2000, 3e-4, "luma", "coded=0.2"),
                       (2000, 3e-4, "luma", "coded=0.2"), (2000, 3e-4, "luma", "coded=0.2"),
                       (2000, 3e-4, "luma", "coded=0.2")], None),
    "neural-hb-medium": ("medium", "clean", None, [(600, 1e-3)], "neural-medium"),
    "neural-low-student": ("student", "mix", "neural-low", [(6000, 2e-3), (1000, 2.5e-4, "l2")], None),
    "neural-hb-student": ("student", "clean", "neural-hb", [(1500, 1e-3), (1000, 2.5e-4, "l2")],
                          "neural-low-student"),
}

SLOPE = 0.1
PATCH = 96  # output (high-resolution) patch side in pixels: 24 x 24 cells
BATCH = 16
CODED_SHARE = 0.4  # share of "mix" patches taken from a coded copy
MILD_CRF = 4  # coded copies whose CRF is at most the lowest + 4 count as mildly coded
WARMUP = 100
REPORT = 250  # steps per progress line
MODEL_SIZES = [(1920, 1088), (2560, 1440), (3072, 1728)]


def shipped_shape(name):
    """NAME's layers as (inputs, outputs, kernel) after its phases (a
    widening phase changes its hidden layers' sizes; a network that starts
    from another has that one's shape)."""
    arch, _, _, phases, start_from = NETWORKS[name]
    shape = shipped_shape(start_from) if start_from else ARCH[arch]
    for plan in phases:
        if plan[0] == "widen":
            shape = widened_shape(shape, plan[1])
    return shape


def widened_shape(shape, channels):
    """`shape` with at least `channels` features in every hidden layer (the
    network's input and output stay as they are)."""
    return [(a if i == 0 else max(a, channels), b if i + 1 == len(shape) else max(b, channels), k)
            for i, (a, b, k) in enumerate(shape)]


def macs_per_cell(shape):
    return sum(k * k * a * b for a, b, k in shape)


def widen(net, channels, rng_seed=99):
    """The same function with `channels` features in every hidden layer: the
    trained weights are kept, each new feature reads its inputs through small
    random weights and feeds the next layer through zero weights, so the
    wider network starts from exactly the narrower one's output and only
    gains room to learn."""
    g = torch.Generator().manual_seed(rng_seed)
    wide = Net(widened_shape(layer_shape(net), channels))
    with torch.no_grad():
        for conv, new in zip(net.convs, wide.convs):
            b, a = conv.weight.shape[:2]
            new.weight.zero_()
            new.bias.zero_()
            if new.out_channels > b:
                fan_in = new.in_channels * new.kernel_size[0] ** 2
                new.weight[b:] = torch.randn(new.weight[b:].shape, generator=g) * (0.1 / math.sqrt(fan_in))
                new.weight[b:, a:] = 0  # read nothing from the previous layer's new features either
            new.weight[:b, :a] = conv.weight
            new.bias[:b] = conv.bias
    return wide


def layer_shape(net):
    return [(c.in_channels, c.out_channels, c.kernel_size[0]) for c in net.convs]


def phase_options(plan):
    """A phase's options after (steps, peak): "l2" (squared error), "luma"
    (error weighted towards luma), "coded=S" (share of coded patches)."""
    opts = {"loss": "l1", "coded": CODED_SHARE}
    for o in plan[2:]:
        if o in ("l2", "luma"):
            opts["loss"] = o
        elif o.startswith("coded="):
            opts["coded"] = float(o[6:])
        else:
            raise ValueError(f"unknown phase option {o}")
    return opts


# Weights of the residual's error in the loss "luma": luma (BT.709) and the
# two colour differences. The service encodes 4:2:0, so colour detail at the
# output's full resolution is mostly thrown away by the encoder; luma is
# where the network's capacity pays.
LUMA_W = (1.0, 0.25, 0.25)


def residual_loss(kind, out, target):
    if kind == "l1":
        return F.l1_loss(out, target)
    if kind == "l2":
        return F.mse_loss(out, target)
    # "luma": L1 of the error's BT.709 luma and colour differences (Adam's
    # steps do not depend on the loss's overall scale).
    e = out - target
    y = 0.2126 * e[:, 0] + 0.7152 * e[:, 1] + 0.0722 * e[:, 2]
    cb = (e[:, 2] - y) / 1.8556
    cr = (e[:, 0] - y) / 1.5748
    return (LUMA_W[0] * y.abs().mean() + LUMA_W[1] * cb.abs().mean() + LUMA_W[2] * cr.abs().mean()) * 3 / sum(LUMA_W)


class Net(nn.Module):
    def __init__(self, arch):
        super().__init__()
        layers = ARCH[arch] if isinstance(arch, str) else arch
        self.convs = nn.ModuleList(nn.Conv2d(a, b, k, padding=k // 2) for a, b, k in layers)
        # Start from the plain bicubic picture: the last layer's output is small.
        with torch.no_grad():
            self.convs[-1].weight.mul_(0.1)
            self.convs[-1].bias.zero_()

    def forward(self, x):
        for i, conv in enumerate(self.convs):
            x = conv(x)
            if i + 1 < len(self.convs):
                x = F.leaky_relu(x, SLOPE)
        return x


def pack(lr):
    """(N, 3, h, w) in -1 ... 1 -> (N, 16, h/2, w/2): channel (dy*2+dx)*4 + colour."""
    n, c, h, w = lr.shape
    x = lr.reshape(n, 3, h // 2, 2, w // 2, 2).permute(0, 3, 5, 1, 2, 4)  # n dy dx c gh gw
    x = torch.cat([x, torch.zeros(n, 2, 2, 1, h // 2, w // 2)], dim=3)
    return x.reshape(n, 16, h // 2, w // 2)


_WE = [-0.03515625, 0.26171875, 0.87890625, -0.10546875]
_WO = [-0.10546875, 0.87890625, 0.26171875, -0.03515625]


def bicubic2x(lr):
    """The finish kernel's bicubic 2x: fixed taps, positions clamped to the picture."""
    n, c, h, w = lr.shape
    k = torch.tensor([_WE + [0.0], [0.0] + _WO])  # even, odd outputs over 5 padded taps
    p = F.pad(lr.reshape(n * c, 1, h, w), (2, 2, 2, 2), mode="replicate")
    # Rows (x direction).
    kx = k.view(2, 1, 1, 5)
    r = F.conv2d(p, kx)  # (nc, 2, h+4, w)
    r = r.permute(0, 2, 3, 1).reshape(n * c, 1, h + 4, 2 * w)
    ky = k.view(2, 1, 5, 1)
    o = F.conv2d(r, ky)  # (nc, 2, h, 2w)
    o = o.permute(0, 2, 1, 3).reshape(n, c, 2 * h, 2 * w)
    return o


def residual(net, lr):
    return F.pixel_shuffle(net(pack(lr)), 4)


def upscale(net, lr):
    return bicubic2x(lr) + residual(net, lr)


def crf_step(index):
    return index % 9


def degrade(lr_png, out_png, index):
    """Real low-rate encoding: H.264 or HEVC by turns, 4:2:0, then decoded back."""
    if os.path.exists(out_png):
        return
    mp4 = out_png + ".mp4"
    if index % 2 == 0:
        codec = ["-c:v", "libx264", "-crf", str(20 + crf_step(index)), "-preset", "medium"]
    else:
        codec = ["-c:v", "libx265", "-crf", str(22 + crf_step(index)), "-preset", "fast",
                 "-x265-params", "log-level=error"]
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", lr_png, "-pix_fmt", "yuv420p"] + codec + [mp4],
                   check=True)
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", mp4, "-frames:v", "1", out_png], check=True)
    os.remove(mp4)


def prepare(data, cache):
    os.makedirs(cache, exist_ok=True)
    files = sorted(glob.glob(os.path.join(data, "*.png")))
    train, held = [], []
    for i, f in enumerate(files):
        img = Image.open(f).convert("RGB")
        w, h = img.size
        w, h = w - w % 4, h - h % 4
        img = img.crop((0, 0, w, h))
        base = os.path.join(cache, os.path.basename(f)[:-4])
        lr_png = base + "-lr.png"
        if not os.path.exists(lr_png):
            img.resize((w // 2, h // 2), Image.BICUBIC).save(lr_png)
        deg_png = base + "-lr-coded.png"
        degrade(lr_png, deg_png, i)
        item = {
            "name": os.path.basename(f),
            "hr": np.asarray(img, dtype=np.float32) / 255.0,
            "lr": pictures.rgb(lr_png),
            "coded": pictures.rgb(deg_png),
            "mild": crf_step(i) <= MILD_CRF,
        }
        (held if i % 7 == 6 else train).append(item)
    return train, held


def to_t(a):
    return torch.from_numpy(np.ascontiguousarray(a)).permute(2, 0, 1).unsqueeze(0) * 2 - 1


class Sources:
    """The training pictures prepared once as tensors: each input (-1 ... 1)
    beside the residual it should produce over the bicubic base, for clean
    and for the mildly coded copies; with a teacher, the teacher's residual of
    the whole picture too (computed once, without patch edges)."""

    def __init__(self, train, mode, teacher):
        self.items = []  # (input, target residual, teacher residual or None)
        kinds = ["lr"] if mode == "clean" else ["lr", "coded"]
        self.clean, self.coded = [], []
        for it in train:
            hr = to_t(it["hr"])
            for kind in kinds:
                if kind == "coded" and not it["mild"]:
                    continue
                lr = to_t(it[kind])
                with torch.no_grad():
                    target = hr - bicubic2x(lr)
                    taught = residual(teacher, lr) if teacher is not None else None
                (self.clean if kind == "lr" else self.coded).append(len(self.items))
                self.items.append((lr[0], target[0], None if taught is None else taught[0]))

    def batch(self, rng, coded_share=CODED_SHARE):
        lrs, tgs, tts = [], [], []
        s = PATCH // 2
        for _ in range(BATCH):
            pool = self.coded if self.coded and rng.random() < coded_share else self.clean
            lr, tg, tt = self.items[pool[rng.integers(len(pool))]]
            h, w = lr.shape[1:]
            y = int(rng.integers(0, h - s + 1)) // 2 * 2
            x = int(rng.integers(0, w - s + 1)) // 2 * 2
            parts = [lr[:, y:y + s, x:x + s], tg[:, 2 * y:2 * y + PATCH, 2 * x:2 * x + PATCH]]
            if tt is not None:
                parts.append(tt[:, 2 * y:2 * y + PATCH, 2 * x:2 * x + PATCH])
            flips = rng.integers(2, size=3)
            if flips[0]:
                parts = [p.flip(2) for p in parts]
            if flips[1]:
                parts = [p.flip(1) for p in parts]
            if flips[2]:
                parts = [p.transpose(1, 2) for p in parts]
            lrs.append(parts[0])
            tgs.append(parts[1])
            if tt is not None:
                tts.append(parts[2])
        return (torch.stack(lrs), torch.stack(tgs), torch.stack(tts) if tts else None)


def rate(step, steps, peak):
    """Linear warm-up, then cosine decay to 1 % of the peak."""
    if step < WARMUP:
        return peak * (step + 1) / WARMUP
    t = (step - WARMUP) / max(1, steps - WARMUP)
    return peak * (0.01 + 0.99 * 0.5 * (1 + math.cos(math.pi * t)))


def as_shipped(net):
    """The weights rounded to float16, as the export writes them."""
    with torch.no_grad():
        for p in net.parameters():
            p.copy_(p.half().float())


def held_gain(net, held):
    """Mean luma PSNR gain over the bicubic base on the clean held-back pictures."""
    gains = []
    for it in held:
        lr = to_t(it["lr"])
        hr = luma(torch.from_numpy(it["hr"]).permute(2, 0, 1))[4:-4, 4:-4]
        with torch.no_grad():
            a, b = bicubic2x(lr), upscale(net, lr)
        gains.append(psnr(luma((b[0].clamp(-1, 1) + 1) / 2)[4:-4, 4:-4], hr) -
                     psnr(luma((a[0].clamp(-1, 1) + 1) / 2)[4:-4, 4:-4], hr))
    return sum(gains) / len(gains)


def train_net(name, train, nets, out, done_phases=0, held=None, curve=0):
    """Trains NAME through its phases; with `done_phases`, NAME's shipped
    weights stand for the result of its first phases and training goes on
    from there (the same result as a run from the start: every phase seeds
    its own random numbers and starts from float16 weights). With `curve`,
    prints the clean held-back gain every `curve` steps against the CPU time
    spent training (a learning curve; it does not change the weights)."""
    arch, mode, teacher, phases, start_from = NETWORKS[name]
    torch.manual_seed(1234)
    net = Net(arch)
    # The loaded network brings its own layer sizes (a widening phase may
    # have changed them from ARCH's).
    if done_phases:
        net = load_exported(name, out)
    elif start_from:
        if start_from not in nets:
            nets[start_from] = load_exported(start_from, out)
        net = Net(layer_shape(nets[start_from]))
        net.load_state_dict(nets[start_from].state_dict())
    t = None
    if teacher:
        if teacher not in nets:
            nets[teacher] = load_exported(teacher, out)
        t = nets[teacher]
    t0 = time.time()
    src = Sources(train, mode, t)
    print(f"{name}: {len(src.items)} training inputs prepared in {time.time() - t0:.0f} s", flush=True)
    for phase, phase_plan in enumerate(phases):
        if phase < done_phases:
            continue
        if phase_plan[0] == "widen":
            as_shipped(net)
            net = widen(net, phase_plan[1])
            print(f"{name}: phase {phase + 1}, widened to {phase_plan[1]} features", flush=True)
            continue
        steps, peak = phase_plan[:2]
        opts = phase_options(phase_plan)
        if phase:
            as_shipped(net)
        rng = np.random.default_rng(4321 + phase)
        opt = torch.optim.Adam(net.parameters(), lr=peak)
        start = time.time()
        cpu = time.process_time()  # minus the curve's own evaluations
        running = 0.0
        for step in range(steps):
            for g in opt.param_groups:
                g["lr"] = rate(step, steps, peak)
            lr, target, taught = src.batch(rng, opts["coded"])
            out_res = residual(net, lr)
            loss = residual_loss(opts["loss"], out_res, target)
            if taught is not None:
                loss = 0.5 * loss + 0.5 * residual_loss(opts["loss"], out_res, taught)
            opt.zero_grad()
            loss.backward()
            opt.step()
            running += loss.item()
            if step % REPORT == REPORT - 1:
                print(f"{name} phase {phase + 1} step {step + 1} mean loss {running / REPORT:.5f} "
                      f"{time.time() - start:.0f}s", flush=True)
                running = 0.0
            if curve and step % curve == curve - 1:
                spent = time.process_time() - cpu
                gain = held_gain(net, held)
                cpu = time.process_time() - spent
                print(f"{name} phase {phase + 1} step {step + 1} CPU {spent / 60:.1f} min "
                      f"held-back clean gain {gain:+.3f} dB", flush=True)
        print(f"{name}: phase {phase + 1}, {steps} steps in {time.time() - start:.0f} s", flush=True)
    return net


def luma(rgb):
    """rgb (3, H, W) in 0 ... 1 -> BT.709 luma."""
    return 0.2126 * rgb[0] + 0.7152 * rgb[1] + 0.0722 * rgb[2]


def psnr(a, b):
    mse = float(((a - b) ** 2).mean())
    return 10 * math.log10(1.0 / max(mse, 1e-12))


def ssim(a, b):
    g = torch.exp(-((torch.arange(11) - 5.0) ** 2) / (2 * 1.5 ** 2))
    g = (g / g.sum()).view(1, 1, 11, 1)

    def blur(x):
        return F.conv2d(F.conv2d(x, g), g.view(1, 1, 1, 11))

    a = a.view(1, 1, *a.shape)
    b = b.view(1, 1, *b.shape)
    c1, c2 = 0.01 ** 2, 0.03 ** 2
    ma, mb = blur(a), blur(b)
    va = blur(a * a) - ma * ma
    vb = blur(b * b) - mb * mb
    cov = blur(a * b) - ma * mb
    s = ((2 * ma * mb + c1) * (2 * cov + c2)) / ((ma * ma + mb * mb + c1) * (va + vb + c2))
    return float(s.mean())


def fsrcnnx_rows(held):
    """The FSRCNNX-style shader (shaders/FSRCNNX_x2_8-0-4-1.json, luma only,
    its own Catmull-Rom base) on the same inputs: the input's BT.709 luma as
    10-bit codes in, the result's luma against the original's."""
    import evaluate as shaders  # noqa: E402  (numpy re-implementation of the shader)
    rows = []
    for kind in ("lr", "coded"):
        ps, ss = [], []
        for it in held:
            y = it[kind].astype(np.float64) @ np.array([0.2126, 0.7152, 0.0722])
            small = np.round(64.0 + 876.0 * y) * pictures.WORD
            out = (np.clip(shaders.fsr(small), 0, 1) / pictures.WORD - 64.0) / 876.0
            hr = torch.from_numpy(it["hr"]).permute(2, 0, 1)
            ya = torch.from_numpy(out.astype(np.float32))[4:-4, 4:-4]
            yb = luma(hr)[4:-4, 4:-4]
            ps.append(psnr(ya, yb))
            ss.append(ssim(ya, yb))
        rows.append((kind, "FSRCNNX_x2_8-0-4-1 shader (luma)", sum(ps) / len(ps), sum(ss) / len(ss)))
    return rows


def evaluate(held, nets, shader_rows=None):
    """Luma PSNR / SSIM at 2x on the held-back pictures, 4-pixel border left out."""
    rows = []
    methods = [("bicubic", None)] + [(n, nets[n]) for n in NETWORKS if n in nets]
    for kind in ("lr", "coded"):
        for mname, net in methods:
            ps, ss = [], []
            for it in held:
                lr = to_t(it[kind])
                with torch.no_grad():
                    out = bicubic2x(lr) if net is None else upscale(net, lr)
                out = ((out[0].clamp(-1, 1) + 1) / 2)
                hr = torch.from_numpy(it["hr"]).permute(2, 0, 1)
                ya, yb = luma(out)[4:-4, 4:-4], luma(hr)[4:-4, 4:-4]
                ps.append(psnr(ya, yb))
                ss.append(ssim(ya, yb))
            rows.append((kind, mname, sum(ps) / len(ps), sum(ss) / len(ss)))
    if shader_rows:
        rows += shader_rows(held)
    print("| input | method | luma PSNR dB | SSIM |")
    print("|---|---|---|---|")
    for kind, m, p, s in rows:
        print(f"| {'clean' if kind == 'lr' else 'coded'} | {m} | {p:.2f} | {s:.4f} |")
    return rows


def export(name, net, out, weights_of=None):
    """Writes NAME.bin and the three descriptions; with `weights_of`, only
    descriptions of NAME that use that network's architecture and weights."""
    source = weights_of or name
    shape = shipped_shape(source) if net is None else layer_shape(net)
    layers = []
    blob = bytearray()
    for i, (a, b, k) in enumerate(shape):
        last = i + 1 == len(shape)
        layers.append({"type": "conv", "inputs": a, "outputs": b, "kernel": k,
                       "activation": "none" if last else "leaky", "slope": SLOPE})
        if net is not None:
            conv = net.convs[i]
            blob += conv.weight.detach().numpy().astype("<f2").tobytes()
            blob += conv.bias.detach().numpy().astype("<f2").tobytes()
    weights = source + ".bin"
    if weights_of is None:
        with open(os.path.join(out, weights), "wb") as f:
            f.write(blob)
    for mw, mh in MODEL_SIZES:
        desc = {"network": name, "license": LICENSE, "weights": weights,
                "input": {"name": "x", "shape": [1, 16, mh // 2, mw // 2]},
                "output": {"name": "residual", "shape": [1, 48, mh // 2, mw // 2]},
                "layers": layers}
        with open(os.path.join(out, f"{name}-{mw}x{mh}.json"), "w") as f:
            json.dump(desc, f, indent=1)
            f.write("\n")


def load_exported(name, out):
    """The network as shipped: layers from its description, float16 weights."""
    with open(os.path.join(out, f"{name}-1920x1088.json")) as f:
        desc = json.load(f)
    source = desc["weights"][:-4]
    net = Net([(l["inputs"], l["outputs"], l["kernel"]) for l in desc["layers"]])
    raw = np.fromfile(os.path.join(out, source + ".bin"), dtype="<f2").astype(np.float32)
    pos = 0
    for conv in net.convs:
        for p in (conv.weight, conv.bias):
            n = p.numel()
            p.data = torch.from_numpy(raw[pos:pos + n].copy()).view(p.shape)
            pos += n
    return net


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--data", default="/work/shared/data/sr-train")
    ap.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "..", "shaders", "vsr"))
    ap.add_argument("--cache", default="/tmp/corvel-vsr-cache")
    ap.add_argument("--only", default="")
    ap.add_argument("--done-phases", type=int, default=0,
                    help="the first network of --only goes on from its shipped weights after this many phases")
    ap.add_argument("--eval-only", action="store_true")
    ap.add_argument("--curve", type=int, default=0, metavar="STEPS",
                    help="print the clean held-back gain every STEPS training steps")
    ap.add_argument("--shader", action="store_true", help="add the FSRCNNX-style shader's row to the table")
    ap.add_argument("--share", default="", help="NAME=OTHER[,...]: NAME ships OTHER's weights")
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)
    for pair in [p for p in args.share.split(",") if p]:
        name, other = pair.split("=")
        export(name, None, args.out, weights_of=other)
        print(f"{name}: descriptions naming {other}.bin", flush=True)
    if args.share:
        return
    t0 = time.time()
    train, held = prepare(args.data, args.cache)
    print(f"{len(train)} training, {len(held)} held-back pictures ({time.time() - t0:.0f} s)", flush=True)
    for n, (arch, *_) in NETWORKS.items():
        print(f"{n}: {arch}, {macs_per_cell(shipped_shape(n))} multiply-adds per cell", flush=True)
    only = [s for s in args.only.split(",") if s]
    nets = {}
    for name in NETWORKS:
        if args.eval_only or (only and name not in only):
            continue
        nets[name] = train_net(name, train, nets, args.out, args.done_phases if only and name == only[0] else 0,
                               held, args.curve)
        export(name, nets[name], args.out)
        nets[name] = load_exported(name, args.out)  # figures from the shipped float16 weights
    # The other networks as shipped now (read only here: another run may be
    # rewriting them while this one trains).
    for name in NETWORKS:
        if name not in nets and os.path.exists(os.path.join(args.out, name + "-1920x1088.json")):
            nets[name] = load_exported(name, args.out)
    nets = {name: nets[name] for name in NETWORKS if name in nets}
    evaluate(held, nets, fsrcnnx_rows if args.shader else None)
    print(f"total {time.time() - t0:.0f} s")


if __name__ == "__main__":
    main()
