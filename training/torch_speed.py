#!/usr/bin/python3
"""PyTorch CPU inference of the shipped networks, timed the way
`neural_bench --runner` times ours: the network alone over the grid the
service runs for a 1920x1080 picture (960 x 544 cells), random input, float32
(PyTorch has no fast half-float convolution on the CPU). The network is built
from the very description and weight file the runner loads (conv with bias
and activation, nearest 2x upsampling before a conv that asks for it, 2x2
max pooling, depth to space), so both sides run the same layers.

PyTorch is given its better memory format: each network is timed in the
default NCHW layout and in channels-last (which oneDNN runs faster here),
and both are printed. Prints wall and process CPU milliseconds per picture,
best of the timed pictures after one warm-up.

The name "truehdr-debander" times the debanding network (shaders/deband)
over the cells of a 1920x1080 picture's map (480 x 272 in, 960 x 544 out).

Usage: torch_speed.py SHADER_DIR/vsr [pictures [threads [network ...]]]
"""
import json
import os
import sys
import time

import numpy as np
import torch

vsr = sys.argv[1]
pictures = int(sys.argv[2]) if len(sys.argv) > 2 else 3
threads = int(sys.argv[3]) if len(sys.argv) > 3 else os.cpu_count()
names = sys.argv[4:] or ["neural-low", "neural-low-student", "neural-medium", "neural-hb",
                         "neural-hb-student", "neural-hb-medium"]
torch.set_num_threads(threads)
torch.manual_seed(1)


class Upsample2(torch.nn.Module):
    def forward(self, x):
        return torch.nn.functional.interpolate(x, scale_factor=2, mode="nearest")


def build(path):
    with open(path) as f:
        d = json.load(f)
    blob = np.fromfile(os.path.join(os.path.dirname(path), d["weights"]), dtype="<f2").astype(np.float32)
    mods = []
    at = 0
    for layer in d["layers"]:
        kind = layer["type"]
        if kind == "conv":
            cin, cout, k = layer["inputs"], layer["outputs"], layer["kernel"]
            if layer.get("upsample"):
                mods.append(Upsample2())
            conv = torch.nn.Conv2d(cin, cout, k, padding=k // 2)
            n = cout * cin * k * k
            conv.weight.data = torch.from_numpy(blob[at:at + n].reshape(cout, cin, k, k).copy())
            conv.bias.data = torch.from_numpy(blob[at + n:at + n + cout].copy())
            at += n + cout
            mods.append(conv)
            act = layer.get("activation", "none")
            if act == "relu":
                mods.append(torch.nn.ReLU())
            elif act == "leaky":
                mods.append(torch.nn.LeakyReLU(layer["slope"]))
        elif kind == "maxpool":
            mods.append(torch.nn.MaxPool2d(2))
        elif kind == "depthToSpace":
            mods.append(torch.nn.PixelShuffle(layer["block"]))
        else:
            raise ValueError(kind)
    assert at == blob.size, "weights left over"
    return torch.nn.Sequential(*mods).eval(), d["input"]["shape"][1]


def build_debander(directory):
    """The debanding network from its own description (shaders/deband): conv
    16->32 7x7, pool, 32->64 5x5, then 64->32 3x3 and 32->8 3x3 each read
    upsampled; leaky ReLU 0.1 after the first three, ReLU after the last."""
    with open(os.path.join(directory, "truehdr-debander.json")) as f:
        d = json.load(f)
    blob = np.fromfile(os.path.join(directory, "truehdr-debander.bin"), dtype="<f2").astype(np.float32)
    mods = []
    for i, layer in enumerate(d["layers"]):
        cin, cout, k = layer["cin"], layer["cout"], layer["k"]
        if i >= 2:
            mods.append(Upsample2())
        conv = torch.nn.Conv2d(cin, cout, k, padding=k // 2)
        w, b = layer["weight"] // 2, layer["bias"] // 2
        conv.weight.data = torch.from_numpy(blob[w:w + cout * cin * k * k].reshape(cout, cin, k, k).copy())
        conv.bias.data = torch.from_numpy(blob[b:b + cout].copy())
        mods.append(conv)
        mods.append(torch.nn.ReLU() if i == 3 else torch.nn.LeakyReLU(0.1))
        if i == 0:
            mods.append(torch.nn.MaxPool2d(2))
    return torch.nn.Sequential(*mods).eval()


def timed(net, x):
    wall, cpu = 1e30, 1e30
    with torch.no_grad():
        net(x)
        for _ in range(pictures):
            c, t = time.process_time(), time.time()
            net(x)
            wall = min(wall, (time.time() - t) * 1000)
            cpu = min(cpu, (time.process_time() - c) * 1000)
    return wall, cpu


for name in names:
    if name == "truehdr-debander":
        # A 1920x1080 picture's map is 960x544; the network starts at half that.
        net, channels, rows, columns = build_debander(os.path.join(vsr, "..", "deband")), 16, 272, 480
    else:
        path = os.path.join(vsr, name + "-1920x1088.json")
        if not os.path.exists(path):
            continue
        (net, channels), rows, columns = build(path), 544, 960
    x = torch.rand(1, channels, rows, columns) * 2 - 1
    for label, n, v in (("NCHW", net, x),
                        ("channels-last", net.to(memory_format=torch.channels_last),
                         x.contiguous(memory_format=torch.channels_last))):
        wall, cpu = timed(n, v)
        print(f"{name:20s} PyTorch {torch.__version__} CPU ({label}), {threads} threads, {columns}x{rows} cells: "
              f"network {wall:.1f} ms wall, {cpu:.1f} ms CPU per picture (best of {pictures})", flush=True)
