#!/usr/bin/python3
"""PyTorch CPU inference of the shipped networks on the grid the service runs
for a 1920x1080 picture (960 x 545 cells: the picture's 540 rows of cells
plus the network's reach), float32 (PyTorch has no fast half-float
convolution on the CPU). Prints ms per picture for the network alone.

Usage: torch_speed.py SHADER_DIR/vsr [pictures [threads]]
"""
import os
import sys
import time

import torch

sys.path.insert(0, os.path.dirname(__file__))
import train_vsr  # noqa: E402

vsr = sys.argv[1]
pictures = int(sys.argv[2]) if len(sys.argv) > 2 else 3
threads = int(sys.argv[3]) if len(sys.argv) > 3 else os.cpu_count()
torch.set_num_threads(threads)
torch.manual_seed(1)
for name in train_vsr.NETWORKS:
    if not os.path.exists(os.path.join(vsr, name + "-1920x1088.json")):
        continue
    net = train_vsr.load_exported(name, vsr).eval()
    x = torch.rand(1, 16, 545, 960) * 2 - 1
    with torch.no_grad():
        net(x)
        start = time.time()
        for _ in range(pictures):
            net(x)
    ms = (time.time() - start) * 1000 / pictures
    print(f"{name:20s} PyTorch {torch.__version__} CPU, {threads} threads: network {ms:.1f} ms per picture", flush=True)
