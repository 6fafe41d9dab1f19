// Debanding. The picture is turned into R'G'B' (half floats, 4 a pixel: R, G,
// B, 1) at its own size; a network (NetworkRunner) makes a map of banded
// areas at the network's size nw x nh from a packed, resampled copy; the
// filter smooths where the map says (mode 2) or with the fixed filter
// (mode 1) and writes the 10-bit 4:2:0 result.
//
// Video range: Y = (code - 64) / 876, Cb, Cr = (code - 512) / 896, with kr, kb
// the luma coefficients of the picture's matrix.

inline float4 loadRgb(__global const half* rgb, int w, int x, int y) {
    return vload_half4(y * w + x, rgb);
}

// Bilinear R'G'B' at pixel position (px, py) in pixel units (centres at
// integers), clamped at the edges.
inline float4 sampleRgb(__global const half* rgb, int w, int h, float px, float py) {
    const float fx = floor(px);
    const float fy = floor(py);
    const float ax = px - fx;
    const float ay = py - fy;
    const int x0 = min(max((int)fx, 0), w - 1);
    const int x1 = min(max((int)fx + 1, 0), w - 1);
    const int y0 = min(max((int)fy, 0), h - 1);
    const int y1 = min(max((int)fy + 1, 0), h - 1);
    const float4 top = mix(loadRgb(rgb, w, x0, y0), loadRgb(rgb, w, x1, y0), ax);
    const float4 bottom = mix(loadRgb(rgb, w, x0, y1), loadRgb(rgb, w, x1, y1), ax);
    return mix(top, bottom, ay);
}

// One work item per picture pixel.
__kernel void to_rgb(__global const ushort* src, uint lumaOffset, uint chromaOffset, int stride,
                     __global half* rgb, int w, int h, float kr, float kb) {
    const int x = get_global_id(0);
    const int y = get_global_id(1);
    if (x >= w || y >= h) return;
    const float Y = lumaFraction(unorm(src[lumaOffset + y * stride + x]));
    const float2 uv = (float2)(((float)x + 0.5f) / (float)w, ((float)y + 0.5f) / (float)h);
    const float2 c = samplePair(src + chromaOffset, stride, w / 2, h / 2, uv);
    const float cb = chromaFraction(c.x);
    const float cr = chromaFraction(c.y);
    const float r = Y + 2.0f * (1.0f - kr) * cr;
    const float b = Y + 2.0f * (1.0f - kb) * cb;
    const float g = (Y - kr * r - kb * b) / (1.0f - kr - kb);
    vstore_half4((float4)(clamp(r, 0.0f, 1.0f), clamp(g, 0.0f, 1.0f), clamp(b, 0.0f, 1.0f), 1.0f),
                 y * w + x, rgb);
}

// Space to depth of the picture resampled (nearest, floor) to nw x nh: packed
// position (gx, gy) of the nw/2 x nh/2 grid takes network pixels
// (2gx + dx, 2gy + dy); their R, G, B, 0 go to channels (dy*2 + dx)*4 + 0..3.
// The tensor is planar half floats, one plane of (nw/2) x (nh/2) a channel.
__kernel void pack(__global const half* rgb, int pw, int ph, int nw, int nh,
                   __global half* tensor) {
    const int gx = get_global_id(0);
    const int gy = get_global_id(1);
    const int tw = nw / 2;
    const int th = nh / 2;
    if (gx >= tw || gy >= th) return;
    const int plane = tw * th;
    for (int dy = 0; dy < 2; ++dy) {
        for (int dx = 0; dx < 2; ++dx) {
            const int nx = 2 * gx + dx;
            const int ny = 2 * gy + dy;
            const int sx = min(nx * pw / nw, pw - 1);
            const int sy = min(ny * ph / nh, ph - 1);
            const float4 v = loadRgb(rgb, pw, sx, sy);
            const int c = (dy * 2 + dx) * 4;
            const int at = gy * tw + gx;
            vstore_half(v.x, (c + 0) * plane + at, tensor);
            vstore_half(v.y, (c + 1) * plane + at, tensor);
            vstore_half(v.z, (c + 2) * plane + at, tensor);
            vstore_half(0.0f, (c + 3) * plane + at, tensor);
        }
    }
}

// The map value of each network pixel: the highest class i in 1..7 whose
// output channel is above 0, else 0 (channel 0 is never chosen).
__kernel void decode(__global const half* tensor, int nw, int nh, __global half* map) {
    const int x = get_global_id(0);
    const int y = get_global_id(1);
    if (x >= nw || y >= nh) return;
    const int plane = nw * nh;
    float cls = 0.0f;
    for (int i = 1; i < 8; ++i)
        if (vload_half(i * plane + y * nw + x, tensor) > 0.0f) cls = (float)i;
    vstore_half(cls, y * nw + x, map);
}

__constant float2 kDirections[8] = {(float2)(1.0f, 0.0f),         (float2)(-1.0f, 0.0f),
                                    (float2)(0.0f, 1.0f),         (float2)(0.0f, -1.0f),
                                    (float2)(0.7071f, 0.7071f),   (float2)(-0.7071f, 0.7071f),
                                    (float2)(0.7071f, -0.7071f),  (float2)(-0.7071f, -0.7071f)};

// Smoothing driven by the map's class j at this pixel: samples on 3 rings of
// radius 2^(j-1) x (w / nw) pixels in 8 directions, weighted by colour
// distance (sigma 12/255); the result is given up when it moves the colour by
// more than 0.1 and applied with strength min(j / 4, 1).
inline float3 mapFilter(__global const half* rgb, __global const half* map, int w, int h, int nw,
                        int nh, int x, int y, float3 o) {
    const int mx = min(x * nw / w, nw - 1);
    const int my = min(y * nh / h, nh - 1);
    const float j = vload_half(my * nw + mx, map);
    if (j < 0.5f) return o;
    const float radius = exp2(j - 1.0f) * (float)w / (float)nw;
    const float inv = 1.0f / ((12.0f / 255.0f) * (12.0f / 255.0f));
    float3 sum = o;
    float total = 1.0f;
    for (int r = 1; r <= 3; ++r) {
        for (int d = 0; d < 8; ++d) {
            const float2 off = kDirections[d] * (radius * (float)r);
            const float3 n = sampleRgb(rgb, w, h, (float)x + off.x, (float)y + off.y).xyz;
            const float3 diff = n - o;
            const float wt = exp(-0.5f * dot(diff, diff) * inv);
            sum += wt * n;
            total += wt;
        }
    }
    const float3 f = sum / total;
    if (length(f - o) > 0.1f) return o;
    return o + (f - o) * fmin(j / 4.0f, 1.0f);
}

// The fixed filter: the mean of 8 directional samples at radii 2, 4, 8, 12
// in turn, taken while it stays within 1.5/255 of the value so far in every
// channel.
inline float3 fixedFilter(__global const half* rgb, int w, int h, int x, int y, float3 o) {
    const float radii[4] = {2.0f, 4.0f, 8.0f, 12.0f};
    float3 v = o;
    for (int i = 0; i < 4; ++i) {
        float3 a = (float3)(0.0f);
        for (int d = 0; d < 8; ++d) {
            const float2 off = kDirections[d] * radii[i];
            a += sampleRgb(rgb, w, h, (float)x + off.x, (float)y + off.y).xyz;
        }
        a *= 0.125f;
        const float3 diff = fabs(a - v);
        if (diff.x >= 1.5f / 255.0f || diff.y >= 1.5f / 255.0f || diff.z >= 1.5f / 255.0f) break;
        v = a;
    }
    return v;
}

// One work item per 2x2 block: four luma words and one Cb, Cr pair. Pixels
// beyond the edge repeat the last row or column.
//
// What is written is the input's own Y'CbCr plus the change the filter made
// to the colour (Y' of v less Y' of o; the block's mean change of Cb, Cr),
// not Y'CbCr recomputed from v: the R'G'B' round trip clamps colours outside
// the gamut (common where 4:2:0 chroma meets an edge) and rounds them to half
// floats, which would alter pixels the filter keeps. A kept pixel (v == o)
// comes back with its own codes.
__kernel void filter(__global const half* rgb, __global const half* map, int w, int h, int nw,
                     int nh, float kr, float kb, int mode,
                     __global const ushort* src, uint srcLuma, uint srcChroma, int srcStride,
                     __global ushort* dst, uint lumaOffset, uint chromaOffset, int stride) {
    const int bx = get_global_id(0);
    const int by = get_global_id(1);
    if (bx >= (w + 1) / 2 || by >= (h + 1) / 2) return;
    const float kg = 1.0f - kr - kb;
    float dcb = 0.0f;
    float dcr = 0.0f;
    for (int dy = 0; dy < 2; ++dy) {
        for (int dx = 0; dx < 2; ++dx) {
            const int x = min(2 * bx + dx, w - 1);
            const int y = min(2 * by + dy, h - 1);
            const float3 o = loadRgb(rgb, w, x, y).xyz;
            const float3 v = mode == 2 ? mapFilter(rgb, map, w, h, nw, nh, x, y, o)
                                       : fixedFilter(rgb, w, h, x, y, o);
            const float3 d = v - o;
            const float dY = kr * d.x + kg * d.y + kb * d.z;
            dcb += (d.z - dY) / (2.0f * (1.0f - kb));
            dcr += (d.x - dY) / (2.0f * (1.0f - kr));
            if (2 * bx + dx < w && 2 * by + dy < h) {
                const float Y = lumaFraction(unorm(src[srcLuma + y * srcStride + x]));
                dst[lumaOffset + y * stride + x] = toWord(lumaValue(Y + dY));
            }
        }
    }
    if (bx < w / 2 && by < h / 2) {
        const float2 c = unorm2(vload2(0, src + srcChroma + by * srcStride + 2 * bx));
        vstore2((ushort2)(toWord(chromaValue(chromaFraction(c.x) + dcb * 0.25f)),
                          toWord(chromaValue(chromaFraction(c.y) + dcr * 0.25f))),
                0, dst + chromaOffset + by * stride + 2 * bx);
    }
}
