// An FSRCNN-style 2x luma network of this project (training/train_fsrcnnx.py
// trains it and writes the weights into FSRCNNX_x2_8-0-4-1.json).
//
// Feature textures (FSR_A, FSR_B) are twice the picture's width: texel
// (2x + q, y) holds channels 4q ... 4q + 3 of sample (x, y). Edges repeat the
// outermost sample, as the training padded.
//
// FSRCNNX_WEIGHTS is one run of half4 values:
//   0    feature taps: (tap t of the 5x5, quad q) at 2t + q; bias 50 + q;
//        PReLU slopes 52 + q
//   54   + 148 l: mapping layer l: (quad q, tap t of the 3x3, input c) at
//        (9q + t) * 8 + c; bias 144 + q; slopes 146 + q
//   646  output layer: (tap t, input c) at 8t + c, the four phases as
//        components; bias 718

#define MAP_BASE(l) (54 + 148 * (l))
#define OUT_BASE 646

inline float4 prelu(float4 v, float4 slope) { return fmax(v, 0.0f) + slope * fmin(v, 0.0f); }

__kernel void fsrFeature(HOOK_TEXTURE(dst), HOOK_TEXTURE(src), HOOK_TEXTURE(wt)) {
    int x = get_global_id(0);
    int y = get_global_id(1);
    if (x >= dst_w || y >= dst_h) return;
    int px = x >> 1;
    int q = x & 1;
    float4 acc = vload_half4(50 + q, wt);
#pragma unroll
    for (int t = 0; t < 25; ++t)
        acc += HOOK_READ1(src, px + t % 5 - 2, y + t / 5 - 2) * vload_half4(2 * t + q, wt);
    HOOK_WRITE(dst, x, y, prelu(acc, vload_half4(52 + q, wt)));
}

// One 3x3 layer over 8 channels for the quad q of sample (px, y).
inline float4 conv8(__global const half* src, int w, int h, __global const half* wt, int base,
                    int px, int y) {
    float4 acc = (float4)(0.0f);
#pragma unroll
    for (int t = 0; t < 9; ++t) {
        int sx = min(max(px + t % 3 - 1, 0), w - 1);
        int sy = min(max(y + t / 3 - 1, 0), h - 1);
        float4 lo = vload_half4(sy * 2 * w + 2 * sx, src);
        float4 hi = vload_half4(sy * 2 * w + 2 * sx + 1, src);
        int i = base + 8 * t;
        acc += lo.x * vload_half4(i, wt) + lo.y * vload_half4(i + 1, wt) +
               lo.z * vload_half4(i + 2, wt) + lo.w * vload_half4(i + 3, wt) +
               hi.x * vload_half4(i + 4, wt) + hi.y * vload_half4(i + 5, wt) +
               hi.z * vload_half4(i + 6, wt) + hi.w * vload_half4(i + 7, wt);
    }
    return acc;
}

#define MAPPING(NAME, L)                                                                  \
    __kernel void NAME(HOOK_TEXTURE(dst), HOOK_TEXTURE(src), HOOK_TEXTURE(wt)) {          \
        int x = get_global_id(0);                                                         \
        int y = get_global_id(1);                                                         \
        if (x >= dst_w || y >= dst_h) return;                                             \
        int q = x & 1;                                                                    \
        float4 acc = vload_half4(MAP_BASE(L) + 144 + q, wt) +                             \
                     conv8(src, src_w >> 1, src_h, wt, MAP_BASE(L) + 72 * q, x >> 1, y);  \
        HOOK_WRITE(dst, x, y, prelu(acc, vload_half4(MAP_BASE(L) + 146 + q, wt)));        \
    }

MAPPING(fsrMap0, 0)
MAPPING(fsrMap1, 1)
MAPPING(fsrMap2, 2)
MAPPING(fsrMap3, 3)

// Catmull-Rom taps of a 2x enlargement: output 2k lies a quarter sample
// before input k (taps at k-2 ... k+1), output 2k+1 a quarter after (k-1 ...
// k+2).
__constant float kEven[4] = {-0.0234375f, 0.2265625f, 0.8671875f, -0.0703125f};
__constant float kOdd[4] = {-0.0703125f, 0.8671875f, 0.2265625f, -0.0234375f};

// The output sample (x, y) of the 2x picture: the Catmull-Rom enlargement
// plus the network's correction for its phase.
__kernel void fsrOutput(HOOK_TEXTURE(dst), HOOK_TEXTURE(src), HOOK_TEXTURE(feat),
                        HOOK_TEXTURE(wt)) {
    int x = get_global_id(0);
    int y = get_global_id(1);
    if (x >= dst_w || y >= dst_h) return;
    int px = x >> 1;
    int py = y >> 1;
    int phx = x & 1;
    int phy = y & 1;
    float4 c4 = vload_half4(OUT_BASE + 72, wt) + conv8(feat, feat_w >> 1, feat_h, wt, OUT_BASE, px, py);
    int phase = phy * 2 + phx;
    float correction = phase == 0 ? c4.x : phase == 1 ? c4.y : phase == 2 ? c4.z : c4.w;
    int x0 = px - 2 + phx;
    int y0 = py - 2 + phy;
    float base = 0.0f;
#pragma unroll
    for (int j = 0; j < 4; ++j) {
        float row = 0.0f;
#pragma unroll
        for (int i = 0; i < 4; ++i)
            row += HOOK_READ1(src, x0 + i, y0 + j) * (phx ? kOdd[i] : kEven[i]);
        base += row * (phy ? kOdd[j] : kEven[j]);
    }
    // Anti-ringing: the result stays within the four input samples around
    // it (output 2k lies between inputs k-1 and k, 2k+1 between k and k+1).
    // Without it the correction overshoots steps by several codes more than
    // Catmull-Rom does, which shows as halos beside text and sharp edges.
    int ax = px - 1 + phx;
    int ay = py - 1 + phy;
    float a = HOOK_READ1(src, ax, ay), b = HOOK_READ1(src, ax + 1, ay);
    float c = HOOK_READ1(src, ax, ay + 1), d = HOOK_READ1(src, ax + 1, ay + 1);
    float lo = fmin(fmin(a, b), fmin(c, d));
    float hi = fmax(fmax(a, b), fmax(c, d));
    HOOK_WRITE(dst, x, y, (float4)(clamp(base + correction, lo, hi), 0.0f, 0.0f, 1.0f));
}
