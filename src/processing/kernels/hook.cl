// The hook shader path's own kernels: the luma plane into a hook texture,
// and the hook result onto the output luma plane.

// Luma words -> one half float a texel (the normalised word).
__kernel void hookImport(__global const ushort* pic, uint offset, int stride, int width,
                         int height, __global half* texture) {
    int x = get_global_id(0);
    int y = get_global_id(1);
    if (x >= width || y >= height) return;
    vstore_half(unorm(pic[offset + y * stride + x]), y * width + x, texture);
}

inline float texel1(__global const half* t, int w, int h, int c, int x, int y) {
    x = min(max(x, 0), w - 1);
    y = min(max(y, 0), h - 1);
    return vload_half((y * w + x) * c, t);
}

// The first component of the hook result onto the output luma plane:
// copied when the sizes match, else Catmull-Rom from 16 point reads (the
// resample kernel's arithmetic), clamped to 0 ... 1.
__kernel void hookToLuma(__global const half* t, int w, int h, int c, __global ushort* pic,
                         uint offset, int stride, int dstW, int dstH) {
    int x = get_global_id(0);
    int y = get_global_id(1);
    if (x >= dstW || y >= dstH) return;
    float value;
    if (w == dstW && h == dstH) {
        value = vload_half((y * w + x) * c, t);
    } else {
        float px = sourcePosition(x, w, dstW);
        float py = sourcePosition(y, h, dstH);
        float bx = floor(px);
        float by = floor(py);
        float fx = px - bx;
        float fy = py - by;
        float wx[4] = {((-0.5f * fx + 1.0f) * fx - 0.5f) * fx, (1.5f * fx - 2.5f) * fx * fx + 1.0f,
                       ((-1.5f * fx + 2.0f) * fx + 0.5f) * fx, (0.5f * fx - 0.5f) * fx * fx};
        float wy[4] = {((-0.5f * fy + 1.0f) * fy - 0.5f) * fy, (1.5f * fy - 2.5f) * fy * fy + 1.0f,
                       ((-1.5f * fy + 2.0f) * fy + 0.5f) * fy, (0.5f * fy - 0.5f) * fy * fy};
        int ix = (int)bx;
        int iy = (int)by;
        value = 0.0f;
#pragma unroll
        for (int j = 0; j < 4; ++j) {
            float row = 0.0f;
#pragma unroll
            for (int i = 0; i < 4; ++i) row += texel1(t, w, h, c, ix + i - 1, iy + j - 1) * wx[i];
            value += row * wy[j];
        }
    }
    pic[offset + y * stride + x] = toWord(value);
}
