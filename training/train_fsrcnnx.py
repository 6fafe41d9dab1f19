"""Trains the FSRCNN-style 2x luma upscaler "FSRCNNX_x2_8-0-4-1" and writes
its description (shaders/FSRCNNX_x2_8-0-4-1.json); the kernels are
shaders/FSRCNNX_x2_8-0-4-1.cl, written by hand for the layout made here.

Network (all at the input size, clamp-to-edge padding as the kernels read):
feature extraction 5x5, 1 -> 8 channels, PReLU; four mapping layers 3x3,
8 -> 8, PReLU; a 3x3 layer 8 -> 4 whose channels are the four output phases
(depth to space: channel px + 2 * py gives output (2x + px, 2y + py)). The
network predicts the difference to the scaler's own Catmull-Rom enlargement
(residual): --full trains the same network on the whole picture instead,
for comparison.

Texture FSRCNNX_WEIGHTS: 64 texels a row, read as one run of half4 values
(the layout is listed in `pack`).

Run: nice -n 10 /usr/bin/python3 training/train_fsrcnnx.py [--steps N] [--full]
(fixed seeds; one thread; the time is printed).
"""
import argparse
import json
import os
import sys
import time

import numpy as np
import torch
import torch.nn.functional as F

sys.path.insert(0, os.path.dirname(__file__))
import pictures  # noqa: E402

OUT = os.path.join(os.path.dirname(__file__), "..", "shaders")
C = 8


class Net(torch.nn.Module):
    def __init__(self, residual):
        super().__init__()
        self.residual = residual
        self.feature = torch.nn.Conv2d(1, C, 5)
        self.maps = torch.nn.ModuleList([torch.nn.Conv2d(C, C, 3) for _ in range(4)])
        self.out = torch.nn.Conv2d(C, 4, 3)
        self.alphas = torch.nn.ParameterList(
            [torch.nn.Parameter(torch.full((C,), 0.1)) for _ in range(5)])
        even = torch.tensor(pictures.CR_EVEN, dtype=torch.float32)
        odd = torch.tensor(pictures.CR_ODD, dtype=torch.float32)
        k = torch.stack([torch.outer(a, b) for a in (even, odd) for b in (even, odd)])
        self.register_buffer("cubic", k.unsqueeze(1))  # (4 phases py*2+px, 1, 5, 5)
        if residual:
            # Start from the plain enlargement: the correction begins at zero.
            torch.nn.init.zeros_(self.out.weight)
            torch.nn.init.zeros_(self.out.bias)

    def forward(self, x):
        h = F.prelu(self.feature(F.pad(x, (2, 2, 2, 2), mode="replicate")), self.alphas[0])
        for i, m in enumerate(self.maps):
            h = F.prelu(m(F.pad(h, (1, 1, 1, 1), mode="replicate")), self.alphas[i + 1])
        y = self.out(F.pad(h, (1, 1, 1, 1), mode="replicate"))
        if self.residual:
            y = y + F.conv2d(F.pad(x, (2, 2, 2, 2), mode="replicate"), self.cubic)
        return F.pixel_shuffle(y, 2)


def pack(net):
    """The weights as half4 values in the order the kernels read them."""
    v = []
    w = net.feature.weight.detach().numpy()  # (8, 1, 5, 5)
    for t in range(25):
        for q in range(2):
            v.append(w[4 * q:4 * q + 4, 0, t // 5, t % 5])
    b = net.feature.bias.detach().numpy()
    a = net.alphas[0].detach().numpy()
    v += [b[0:4], b[4:8], a[0:4], a[4:8]]
    for i, m in enumerate(net.maps):
        w = m.weight.detach().numpy()  # (8 out, 8 in, 3, 3)
        for q in range(2):
            for t in range(9):
                for c in range(C):
                    v.append(w[4 * q:4 * q + 4, c, t // 3, t % 3])
        b = m.bias.detach().numpy()
        a = net.alphas[i + 1].detach().numpy()
        v += [b[0:4], b[4:8], a[0:4], a[4:8]]
    w = net.out.weight.detach().numpy()  # (4, 8, 3, 3)
    for t in range(9):
        for c in range(C):
            v.append(w[:, c, t // 3, t % 3])
    v.append(net.out.bias.detach().numpy())
    flat = np.concatenate(v).astype(np.float32)
    width = 64
    rows = -(-len(flat) // (4 * width))
    padded = np.zeros(rows * width * 4, np.float32)
    padded[:len(flat)] = flat
    return padded, width, rows


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--steps", type=int, default=4500)
    ap.add_argument("--full", action="store_true")
    ap.add_argument("--no-write", action="store_true")
    args = ap.parse_args()
    torch.set_num_threads(1)
    torch.manual_seed(13)
    rng = np.random.default_rng(13)
    started = time.time()
    train, held = pictures.split()
    pairs = [pictures.pair(p) for p in train]
    net = Net(residual=not args.full)
    opt = torch.optim.Adam(net.parameters(), lr=2e-3)
    sched = torch.optim.lr_scheduler.OneCycleLR(opt, max_lr=2e-3, total_steps=args.steps,
                                                pct_start=0.05)
    patch, batch = 32, 16
    for step in range(args.steps):
        xs, ys = [], []
        for _ in range(batch):
            small, large = pairs[rng.integers(len(pairs))]
            y0 = rng.integers(small.shape[0] - patch + 1)
            x0 = rng.integers(small.shape[1] - patch + 1)
            s = small[y0:y0 + patch, x0:x0 + patch]
            l = large[2 * y0:2 * y0 + 2 * patch, 2 * x0:2 * x0 + 2 * patch]
            k = rng.integers(8)
            s, l = np.rot90(s, k % 4), np.rot90(l, k % 4)
            if k >= 4:
                s, l = s.T, l.T
            xs.append(s.copy())
            ys.append(l.copy())
        x = torch.tensor(np.stack(xs)[:, None], dtype=torch.float32)
        y = torch.tensor(np.stack(ys)[:, None], dtype=torch.float32)
        loss = F.l1_loss(net(x)[:, :, 4:-4, 4:-4], y[:, :, 4:-4, 4:-4])
        opt.zero_grad()
        loss.backward()
        opt.step()
        sched.step()
        if step % 500 == 0:
            print(f"step {step} loss {loss.item() / pictures.WORD:.3f} codes "
                  f"({time.time() - started:.0f} s)", flush=True)
    seconds = time.time() - started

    # Figures with the weights rounded to half floats, as shipped.
    with torch.no_grad():
        for p in net.parameters():
            p.copy_(p.half().float())
    print(f"trained {args.steps} steps in {seconds:.0f} s")

    def upscale(small):
        with torch.no_grad():
            x = torch.tensor(small[None, None], dtype=torch.float32)
            return np.clip(net(x)[0, 0].numpy().astype(np.float64), 0, 1)
    rows = []
    for path in held:
        small, large = pictures.pair(path)
        rows.append([pictures.psnr(pictures.bilinear2x(small), large),
                     pictures.psnr(pictures.bicubic2x(small), large),
                     pictures.psnr(upscale(small), large)])
    m = np.mean(rows, axis=0)
    print(f"held-out luma PSNR dB: bilinear {m[0]:.2f} bicubic {m[1]:.2f} ours {m[2]:.2f} "
          f"(+{m[2] - m[1]:.2f} over bicubic){' full prediction' if args.full else ''}")
    if args.no_write or args.full:
        return
    flat, width, rows_ = pack(net)
    description = {
        "license": "Corvel Live Enhancer's own work (trained by training/train_fsrcnnx.py); "
                   "under the repository's licence",
        "passes": [
            {"hook": "LUMA", "kernel": "fsrFeature", "binds": ["HOOKED", "FSRCNNX_WEIGHTS"],
             "save": "FSR_A", "width": "HOOKED.w 2 *", "height": "HOOKED.h", "components": 4,
             "when": "OUTPUT.w HOOKED.w 1.2 * >"},
        ] + [
            {"kernel": f"fsrMap{i}", "binds": ["FSR_A" if i % 2 == 0 else "FSR_B",
                                               "FSRCNNX_WEIGHTS"],
             "save": "FSR_B" if i % 2 == 0 else "FSR_A", "width": "HOOKED.w 2 *",
             "height": "HOOKED.h", "components": 4, "when": "OUTPUT.w HOOKED.w 1.2 * >"}
            for i in range(4)
        ] + [
            {"kernel": "fsrOutput", "binds": ["HOOKED", "FSR_A", "FSRCNNX_WEIGHTS"],
             "width": "HOOKED.w 2 *", "height": "HOOKED.h 2 *", "components": 1,
             "when": "OUTPUT.w HOOKED.w 1.2 * >"},
        ],
        "textures": [{"name": "FSRCNNX_WEIGHTS", "width": width, "height": rows_,
                      "data": pictures.half_base64(flat)}],
    }
    with open(os.path.join(OUT, "FSRCNNX_x2_8-0-4-1.json"), "w") as f:
        json.dump(description, f, indent=1)
        f.write("\n")


if __name__ == "__main__":
    main()
