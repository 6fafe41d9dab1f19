// The AI upscaler's picture kernels around its network.
//
// The network works on cells of f x f picture pixels (f = 2 or 4). Its input
// `x` and output `residual` are planar half-float tensors over a gw x gh cell
// grid: element (channel k, cell (gx, gy)) at k * gw * gh + gy * gw + gx.
// `base` holds the picture as R'G'B' in -1 ... 1 and `up` the network's 2x
// result in 0 ... 1, both four half floats a pixel (alpha 1).

typedef struct {
    uint inW, inH;   // input picture, pixels
    uint gw, gh;     // cell grid of the tensors
    uint outW, outH; // output picture, pixels
    uint f;          // pixels per cell side
    float kr, kb;    // luma coefficients of red and blue
} Params;

// Video-range Y'CbCr (normalised words) to R'G'B', each clamped to 0 ... 1.
inline float3 toRGB(float y, float2 c, float kr, float kb) {
    const float Y = lumaFraction(y);
    const float cb = chromaFraction(c.x);
    const float cr = chromaFraction(c.y);
    const float R = Y + 2.0f * (1.0f - kr) * cr;
    const float B = Y + 2.0f * (1.0f - kb) * cb;
    const float G = (Y - kr * R - kb * B) / (1.0f - kr - kb);
    return clamp((float3)(R, G, B), 0.0f, 1.0f);
}

// One work item per cell of the grid.
__kernel void pack(__global const ushort* pic, uint lumaOffset, uint chromaOffset, int stride,
                   __global half* base, __global half* x, Params p)
{
    const int gx = get_global_id(0);
    const int gy = get_global_id(1);
    if (gx >= (int)p.gw || gy >= (int)p.gh) return;
    const int f = (int)p.f;
    const int per = f == 2 ? 4 : 3;
    const int cells = (int)(p.gw * p.gh);
    const int cell = gy * (int)p.gw + gx;
    const int inW = (int)p.inW;
    const int inH = (int)p.inH;
    for (int dy = 0; dy < f; ++dy) {
        for (int dx = 0; dx < f; ++dx) {
            const int X = f * gx + dx;
            const int Y = f * gy + dy;
            // Beyond the picture its last column and row repeat.
            const int sx = min(X, inW - 1);
            const int sy = min(Y, inH - 1);
            const float luma = readLuma(pic + lumaOffset, stride, inW, inH, sx, sy);
            const float2 uv = (float2)(((float)sx + 0.5f) / (float)inW, ((float)sy + 0.5f) / (float)inH);
            const float2 chroma = samplePair(pic + chromaOffset, stride, inW / 2, inH / 2, uv);
            const float3 b = (toRGB(luma, chroma, p.kr, p.kb) - 0.5f) * 2.0f;
            const int c0 = (dy * f + dx) * per;
            vstore_half(b.x, (c0 + 0) * cells + cell, x);
            vstore_half(b.y, (c0 + 1) * cells + cell, x);
            vstore_half(b.z, (c0 + 2) * cells + cell, x);
            if (per == 4) vstore_half(0.0f, (c0 + 3) * cells + cell, x);
            if (X < inW && Y < inH) vstore_half4((float4)(b, 1.0f), Y * inW + X, base);
        }
    }
}

// Bicubic (a = -0.75) taps of 2x with half-pixel centres: even outputs use
// source i - 2 ... i + 1, odd ones i - 1 ... i + 2, with i = X / 2.
__constant float kEven[4] = {-0.03515625f, 0.26171875f, 0.87890625f, -0.10546875f};
__constant float kOdd[4] = {-0.10546875f, 0.87890625f, 0.26171875f, -0.03515625f};

// The residual of colour k (0 ... 2) at 2x pixel (X, Y): depth to space with
// block 2f over the grid of cells. f is 2 or 4, so the block is a power of
// two and shifts and masks stand for the divisions (a division per pixel
// costs more than the rest of the work on a CPU device).
inline float3 residualAt(__global const half* residual, int X, int Y, Params p) {
    const int r2 = 2 * (int)p.f;
    const int shift = 31 - clz(r2);
    const int cells = (int)(p.gw * p.gh);
    const int cell = (Y >> shift) * (int)p.gw + (X >> shift);
    const int sub = ((Y & (r2 - 1)) << shift) + (X & (r2 - 1));
    return (float3)(vload_half((0 * r2 * r2 + sub) * cells + cell, residual),
                    vload_half((1 * r2 * r2 + sub) * cells + cell, residual),
                    vload_half((2 * r2 * r2 + sub) * cells + cell, residual));
}

// One work item per input pixel (i, j): the 2 x 2 pixels of the 2x picture
// it becomes. Their bicubic taps share source columns i - 2 ... i + 2 and
// rows j - 2 ... j + 2 (clamped to the picture), so each source pixel is
// read once: rows are summed across first (even and odd column taps), then
// down, as the taps of one output pixel would be.
__kernel void finish(__global const half* base, __global half* up, __global const half* residual,
                     Params p)
{
    const int i = get_global_id(0);
    const int j = get_global_id(1);
    const int inW = (int)p.inW;
    const int inH = (int)p.inH;
    if (i >= inW || j >= inH) return;
    float3 even[5];
    float3 odd[5];
#pragma unroll
    for (int r = 0; r < 5; ++r) {
        const int yy = min(max(j - 2 + r, 0), inH - 1);
        float3 s[5];
#pragma unroll
        for (int t = 0; t < 5; ++t) s[t] = vload_half4(yy * inW + min(max(i - 2 + t, 0), inW - 1), base).xyz;
        float3 e = (float3)(0.0f);
        float3 o = (float3)(0.0f);
#pragma unroll
        for (int t = 0; t < 4; ++t) {
            e += kEven[t] * s[t];
            o += kOdd[t] * s[t + 1];
        }
        even[r] = e;
        odd[r] = o;
    }
    float3 acc[4] = {(float3)(0.0f), (float3)(0.0f), (float3)(0.0f), (float3)(0.0f)};
#pragma unroll
    for (int r = 0; r < 4; ++r) {
        acc[0] += kEven[r] * even[r];    // (2i, 2j)
        acc[1] += kEven[r] * odd[r];     // (2i + 1, 2j)
        acc[2] += kOdd[r] * even[r + 1]; // (2i, 2j + 1)
        acc[3] += kOdd[r] * odd[r + 1];  // (2i + 1, 2j + 1)
    }
#pragma unroll
    for (int q = 0; q < 4; ++q) {
        const int X = 2 * i + (q & 1);
        const int Y = 2 * j + (q >> 1);
        const float3 v = clamp((acc[q] + residualAt(residual, X, Y, p)) * 0.5f + 0.5f, 0.0f, 1.0f);
        vstore_half4((float4)(v, 1.0f), Y * 2 * inW + X, up);
    }
}

// Catmull-Rom weight (a = -0.5) at distance t.
inline float cr(float t) {
    t = fabs(t);
    if (t < 1.0f) return (1.5f * t - 2.5f) * t * t + 1.0f;
    if (t < 2.0f) return ((-0.5f * t + 2.5f) * t - 4.0f) * t + 2.0f;
    return 0.0f;
}

// The colour of output pixel (X, Y): `up` itself at exactly 2x, otherwise a
// normalised 4 x 4 Catmull-Rom sample of it.
inline float3 outputColour(__global const half* up, int X, int Y, Params p) {
    const int upW = 2 * (int)p.inW;
    const int upH = 2 * (int)p.inH;
    if ((int)p.outW == upW && (int)p.outH == upH) return vload_half4(Y * upW + X, up).xyz;
    const float u = ((float)X + 0.5f) * (float)upW / (float)p.outW - 0.5f;
    const float v = ((float)Y + 0.5f) * (float)upH / (float)p.outH - 0.5f;
    const float fu = floor(u);
    const float fv = floor(v);
    const int bu = (int)fu;
    const int bv = (int)fv;
    const float tu = u - fu;
    const float tv = v - fv;
    float3 sum = (float3)(0.0f);
    float weights = 0.0f;
    for (int m = -1; m <= 2; ++m) {
        const float wy = cr((float)m - tv);
        const int yy = min(max(bv + m, 0), upH - 1);
        for (int n = -1; n <= 2; ++n) {
            const float w = cr((float)n - tu) * wy;
            const int xx = min(max(bu + n, 0), upW - 1);
            sum += w * vload_half4(yy * upW + xx, up).xyz;
            weights += w;
        }
    }
    return clamp(sum / weights, 0.0f, 1.0f);
}

// Luma word of an R'G'B' colour and the chroma pair of the mean of four,
// each the nearest 10-bit code (halves away from zero) times 64.
inline ushort lumaWord(float3 c, float kr, float kb) {
    const float luma = kr * c.x + (1.0f - kr - kb) * c.y + kb * c.z;
    return (ushort)(round(luma * 876.0f + 64.0f) * 64.0f);
}
inline ushort2 chromaWords(float3 sum, float kr, float kb) {
    const float3 m = sum * 0.25f;
    const float Y = kr * m.x + (1.0f - kr - kb) * m.y + kb * m.z;
    const float cbv = (m.z - Y) / (2.0f * (1.0f - kb));
    const float crv = (m.x - Y) / (2.0f * (1.0f - kr));
    return (ushort2)((ushort)(round(cbv * 896.0f + 512.0f) * 64.0f),
                     (ushort)(round(crv * 896.0f + 512.0f) * 64.0f));
}

// One work item per output chroma sample: four luma words and one Cb, Cr
// pair.
__kernel void encode(__global const half* up, __global ushort* pic, uint lumaOffset,
                     uint chromaOffset, int stride, Params p)
{
    const int gx = get_global_id(0);
    const int gy = get_global_id(1);
    if (2 * gx >= (int)p.outW || 2 * gy >= (int)p.outH) return;
    const float kr = p.kr;
    const float kb = p.kb;
    const int upW = 2 * (int)p.inW;
    if ((int)p.outW == upW && (int)p.outH == 2 * (int)p.inH) {
        // Exactly 2x (even sizes): the four pixels are `up`'s own, no
        // resampling and no edge; kept apart from the loops below so that
        // the device can run neighbouring work items side by side.
        const int X = 2 * gx;
        const int Y = 2 * gy;
        const float3 c00 = vload_half4(Y * upW + X, up).xyz;
        const float3 c10 = vload_half4(Y * upW + X + 1, up).xyz;
        const float3 c01 = vload_half4((Y + 1) * upW + X, up).xyz;
        const float3 c11 = vload_half4((Y + 1) * upW + X + 1, up).xyz;
        __global ushort* luma = pic + lumaOffset + Y * stride + X;
        vstore2((ushort2)(lumaWord(c00, kr, kb), lumaWord(c10, kr, kb)), 0, luma);
        vstore2((ushort2)(lumaWord(c01, kr, kb), lumaWord(c11, kr, kb)), 0, luma + stride);
        vstore2(chromaWords(c00 + c10 + c01 + c11, kr, kb), 0, pic + chromaOffset + gy * stride + 2 * gx);
        return;
    }
    float3 sum = (float3)(0.0f);
    for (int j = 0; j < 2; ++j) {
        for (int i = 0; i < 2; ++i) {
            const int X = 2 * gx + i;
            const int Y = 2 * gy + j;
            const float3 c = outputColour(up, min(X, (int)p.outW - 1), min(Y, (int)p.outH - 1), p);
            sum += c;
            if (X < (int)p.outW && Y < (int)p.outH) pic[lumaOffset + Y * stride + X] = lumaWord(c, kr, kb);
        }
    }
    vstore2(chromaWords(sum, kr, kb), 0, pic + chromaOffset + gy * stride + 2 * gx);
}
