#!/usr/bin/python3
"""Trains and exports the 2x upscaling networks shipped in shaders/vsr/.

Each network predicts a residual over a fixed bicubic 2x enlargement (a = -0.75,
the taps the `finish` kernel uses). The input is packed 2 x 2 picture pixels
per cell (16 channels: per sub-pixel R, G, B, 0 in -1 ... 1); the output is 48
channels per cell (3 colours x 4 x 4 output sub-positions), colour-major, so
that the service's kernels add it back by depth-to-space with block 4.

Variants:
  neural-hb, neural-hb-medium: trained on clean (high bit rate) inputs.
  neural-low, neural-medium:   trained on inputs that went through real H.264
                               and HEVC encoding at low rates (ffmpeg).
  neural-*-student:            distilled from their teacher at under half its
                               multiply-adds per cell.

Pictures: every 7th picture (index 6, 13, ...) of the sorted training folder is
held back and used only for the figures this script prints.

Usage: nice -n 10 /usr/bin/python3 training/train_vsr.py --data DIR --out shaders/vsr
       [--cache DIR] [--only NAME[,NAME]] [--eval-only] [--share NAME=OTHER]
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

torch.set_num_threads(1)

LICENSE = "Corvel Live Enhancer network weights: trained by the Corvel Live Enhancer project, same licence as the program"

# Layer widths per architecture: convolutions 3x3 at cell resolution, leaky
# ReLU (slope 0.1) after every one but the last.
ARCH = {
    "low": [16, 32, 32, 32, 48],
    "medium": [16, 48, 48, 48, 48, 48],
    "student": [16, 20, 24, 48],
}

# name -> (architecture, degraded input?, teacher, training steps)
NETWORKS = {
    "neural-hb": ("low", False, None, 1500),
    "neural-low": ("low", True, None, 1500),
    "neural-hb-medium": ("medium", False, None, 1000),
    "neural-medium": ("medium", True, None, 800),
    "neural-hb-student": ("student", False, "neural-hb", 1000),
    "neural-low-student": ("student", True, "neural-low", 800),
}

SLOPE = 0.1
PATCH = 64  # output (high-resolution) patch side in pixels
BATCH = 16
MODEL_SIZES = [(1920, 1088), (2560, 1440), (3072, 1728)]


def macs_per_cell(arch):
    w = ARCH[arch]
    return sum(9 * a * b for a, b in zip(w[:-1], w[1:]))


class Net(nn.Module):
    def __init__(self, arch):
        super().__init__()
        w = ARCH[arch]
        self.convs = nn.ModuleList(nn.Conv2d(a, b, 3, padding=1) for a, b in zip(w[:-1], w[1:]))
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
    x = lr.view(n, 3, h // 2, 2, w // 2, 2).permute(0, 3, 5, 1, 2, 4)  # n dy dx c gh gw
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


def upscale(net, lr):
    return bicubic2x(lr) + F.pixel_shuffle(net(pack(lr)), 4)


def load_rgb(path):
    return np.asarray(Image.open(path).convert("RGB"), dtype=np.float32) / 255.0


def degrade(lr_png, out_png, index):
    """Real low-rate encoding: H.264 or HEVC by turns, 4:2:0, then decoded back."""
    if os.path.exists(out_png):
        return
    mp4 = out_png + ".mp4"
    if index % 2 == 0:
        codec = ["-c:v", "libx264", "-crf", str(20 + index % 9), "-preset", "medium"]
    else:
        codec = ["-c:v", "libx265", "-crf", str(22 + index % 9), "-preset", "fast",
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
            "lr": load_rgb(lr_png),
            "coded": load_rgb(deg_png),
        }
        (held if i % 7 == 6 else train).append(item)
    return train, held


def to_t(a):
    return torch.from_numpy(np.ascontiguousarray(a)).permute(2, 0, 1).unsqueeze(0) * 2 - 1


def batch(train, degraded, rng):
    hrs, lrs = [], []
    for _ in range(BATCH):
        it = train[rng.integers(len(train))]
        lr = it["coded"] if degraded else it["lr"]
        h, w = lr.shape[:2]
        s = PATCH // 2
        y = rng.integers(0, h - s + 1) // 2 * 2
        x = rng.integers(0, w - s + 1) // 2 * 2
        l = lr[y:y + s, x:x + s]
        hh = it["hr"][2 * y:2 * y + PATCH, 2 * x:2 * x + PATCH]
        if rng.integers(2):
            l, hh = l[:, ::-1], hh[:, ::-1]
        if rng.integers(2):
            l, hh = l[::-1], hh[::-1]
        if rng.integers(2):
            l, hh = l.transpose(1, 0, 2), hh.transpose(1, 0, 2)
        lrs.append(np.ascontiguousarray(l))
        hrs.append(np.ascontiguousarray(hh))
    lr = torch.from_numpy(np.stack(lrs)).permute(0, 3, 1, 2) * 2 - 1
    hr = torch.from_numpy(np.stack(hrs)).permute(0, 3, 1, 2) * 2 - 1
    return lr, hr


def train_net(name, train, nets):
    arch, degraded, teacher, steps = NETWORKS[name]
    torch.manual_seed(1234)
    rng = np.random.default_rng(4321)
    net = Net(arch)
    opt = torch.optim.Adam(net.parameters(), lr=2e-3)
    sched = torch.optim.lr_scheduler.CosineAnnealingLR(opt, steps, eta_min=2e-5)
    t = nets.get(teacher) if teacher else None
    start = time.time()
    running = 0.0
    for step in range(steps):
        lr, hr = batch(train, degraded, rng)
        out = upscale(net, lr)
        loss = F.l1_loss(out, hr)
        if t is not None:
            with torch.no_grad():
                target = upscale(t, lr)
            loss = 0.5 * loss + 0.5 * F.l1_loss(out, target)
        opt.zero_grad()
        loss.backward()
        opt.step()
        sched.step()
        running += loss.item()
        if step % 100 == 99:
            print(f"{name} step {step + 1} mean loss {running / 100:.5f} {time.time() - start:.0f}s", flush=True)
            running = 0.0
    print(f"{name}: {steps} steps in {time.time() - start:.0f} s", flush=True)
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


def evaluate(held, nets):
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
    print("| input | method | luma PSNR dB | SSIM |")
    print("|---|---|---|---|")
    for kind, m, p, s in rows:
        print(f"| {'clean' if kind == 'lr' else 'coded'} | {m} | {p:.2f} | {s:.4f} |")
    return rows


def export(name, net, out, weights_of=None):
    """Writes NAME.bin and the three descriptions; with `weights_of`, only
    descriptions of NAME that use that network's architecture and weights."""
    source = weights_of or name
    arch = NETWORKS[source][0]
    w = ARCH[arch]
    layers = []
    blob = bytearray()
    for i in range(len(w) - 1):
        last = i + 2 == len(w)
        layers.append({"type": "conv", "inputs": w[i], "outputs": w[i + 1], "kernel": 3,
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
    with open(os.path.join(out, f"{name}-1920x1088.json")) as f:
        source = json.load(f)["weights"][:-4]
    arch = NETWORKS[source][0]
    net = Net(arch)
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
    ap.add_argument("--eval-only", action="store_true")
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
    for n, (arch, _, teacher, _) in NETWORKS.items():
        print(f"{n}: {arch}, {macs_per_cell(arch)} multiply-adds per cell", flush=True)
    only = [s for s in args.only.split(",") if s]
    nets = {}
    for name in NETWORKS:
        if args.eval_only or (only and name not in only):
            if os.path.exists(os.path.join(args.out, name + "-1920x1088.json")):
                nets[name] = load_exported(name, args.out)
            continue
        teacher = NETWORKS[name][2]
        if teacher and teacher not in nets:
            nets[teacher] = load_exported(teacher, args.out)
        nets[name] = train_net(name, train, nets)
        export(name, nets[name], args.out)
        nets[name] = load_exported(name, args.out)  # figures from the shipped float16 weights
    evaluate(held, nets)
    print(f"total {time.time() - t0:.0f} s")


if __name__ == "__main__":
    main()
