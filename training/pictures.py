"""Training and held-out pictures as the service sees them.

A picture becomes 10-bit video-range luma (BT.709 weights on the stored,
gamma-encoded RGB), normalised as the scaler's textures hold it:
code * 64 / 65535. The small picture is the 2x2 area (box) average of the
large one before rounding, rounded to 10-bit codes as well.

Every 7th picture in name order (index % 7 == 6) is held back for figures
and never trained on.
"""
import glob
import os

import numpy as np
from PIL import Image

DATA = os.environ.get("CORVEL_SR_TRAIN", "/work/shared/data/sr-train")
WORD = 64.0 / 65535.0  # normalised value of one 10-bit code step


def files():
    return sorted(glob.glob(os.path.join(DATA, "*.png")))


def split():
    names = files()
    train = [n for i, n in enumerate(names) if i % 7 != 6]
    held = [n for i, n in enumerate(names) if i % 7 == 6]
    return train, held


def rgb(path):
    """The stored picture as float32 R'G'B' in 0 ... 1, rows x columns x 3."""
    return np.asarray(Image.open(path).convert("RGB"), dtype=np.float32) / 255.0


def luma_codes(path):
    rgb = np.asarray(Image.open(path).convert("RGB"), dtype=np.float64) / 255.0
    y = rgb @ np.array([0.2126, 0.7152, 0.0722])
    h, w = y.shape
    return y[: h - h % 2, : w - w % 2]


def pair(path):
    """(small, large) normalised luma; large is even-sized, small half of it."""
    y = luma_codes(path)
    large = np.round(64.0 + 876.0 * y)
    box = 0.25 * (y[0::2, 0::2] + y[1::2, 0::2] + y[0::2, 1::2] + y[1::2, 1::2])
    small = np.round(64.0 + 876.0 * box)
    return small * WORD, large * WORD


# Catmull-Rom taps of a 2x enlargement (sample centres as the resample
# kernel places them): output 2k sits 0.25 before input k, 2k+1 0.25 after.
CR_EVEN = np.array([-0.0234375, 0.2265625, 0.8671875, -0.0703125, 0.0])  # offsets -2..2
CR_ODD = np.array([0.0, -0.0703125, 0.8671875, 0.2265625, -0.0234375])


def bicubic2x(small):
    """The shader scaler's Catmull-Rom 2x enlargement (clamp to edge)."""
    return np.clip(bicubic2x_unclamped(small), 0.0, 1.0)


def bicubic2x_unclamped(small):
    def axis(a, ax):
        pad = [(0, 0), (0, 0)]
        pad[ax] = (2, 2)
        p = np.pad(a, pad, mode="edge")
        n = a.shape[ax]
        out_shape = list(a.shape)
        out_shape[ax] = 2 * n
        out = np.empty(out_shape)
        for phase, taps in ((0, CR_EVEN), (1, CR_ODD)):
            acc = np.zeros(a.shape)
            for t in range(5):
                sl = [slice(None), slice(None)]
                sl[ax] = slice(t, t + n)
                acc += taps[t] * p[tuple(sl)]
            osl = [slice(None), slice(None)]
            osl[ax] = slice(phase, None, 2)
            out[tuple(osl)] = acc
        return out
    return axis(axis(small, 1), 0)


def bilinear2x(small):
    """Bilinear 2x at the same sample centres (weights 3/4, 1/4)."""
    def axis(a, ax):
        pad = [(0, 0), (0, 0)]
        pad[ax] = (1, 1)
        p = np.pad(a, pad, mode="edge")
        n = a.shape[ax]
        sl = lambda s: tuple(slice(s, s + n) if i == ax else slice(None) for i in range(2))
        even = 0.25 * p[sl(0)] + 0.75 * p[sl(1)]
        odd = 0.75 * p[sl(1)] + 0.25 * p[sl(2)]
        out_shape = list(a.shape)
        out_shape[ax] = 2 * n
        out = np.empty(out_shape)
        out[tuple(slice(0, None, 2) if i == ax else slice(None) for i in range(2))] = even
        out[tuple(slice(1, None, 2) if i == ax else slice(None) for i in range(2))] = odd
        return out
    return axis(axis(small, 1), 0)


def psnr(a, b, border=4):
    """Luma PSNR in dB over video-range codes (peak = 876 codes)."""
    a = a[border:-border, border:-border] / WORD
    b = b[border:-border, border:-border] / WORD
    mse = np.mean((a - b) ** 2)
    return 10.0 * np.log10(876.0 ** 2 / max(mse, 1e-12))


def ssim(a, b, border=4):
    """SSIM with an 8x8 uniform window (stride 4), on video-range fractions."""
    a = (a[border:-border, border:-border] / WORD - 64.0) / 876.0
    b = (b[border:-border, border:-border] / WORD - 64.0) / 876.0
    c1, c2 = 0.01 ** 2, 0.03 ** 2
    from numpy.lib.stride_tricks import sliding_window_view as windows
    def mean(x):
        return windows(x, (8, 8))[::4, ::4].mean(axis=(2, 3))
    ma, mb = mean(a), mean(b)
    va = mean(a * a) - ma * ma
    vb = mean(b * b) - mb * mb
    cov = mean(a * b) - ma * mb
    vals = ((2 * ma * mb + c1) * (2 * cov + c2)) / ((ma * ma + mb * mb + c1) * (va + vb + c2))
    return float(np.mean(vals))


def half_base64(values):
    """Little-endian half floats as standard Base64."""
    import base64
    return base64.b64encode(np.asarray(values, dtype="<f2").tobytes()).decode("ascii")
