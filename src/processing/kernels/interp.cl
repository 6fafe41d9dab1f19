// The in-between picture at `phase` (0 = picture A, 1 = picture B) from the
// optical flow between A and B, both ways.
//
// Flows are dense float2 fields at a reduced size (flowW x flowH, rows of
// flowW), in reduced samples: forward[p] moves a point of A at p to B,
// backward[p] a point of B to A. `toFlow` turns a full-size luma position
// into a flow position (centres at integers on both), `fromFlow` a flow
// vector into full-size luma samples.
//
// For an output sample at p the flow at p stands for the flow of the point
// that passes p at the phase (smooth motion): A is sampled at
// p - phase * forward(p), B at p - (1 - phase) * backward(p).
//
// Occlusion: a sample taken from A whose forward flow does not come back
// through the backward flow (forward/backward consistency) is a point that B
// does not show; the B candidate of that output sample is then unreliable,
// and A is trusted alone; the other way round likewise. Where neither flow
// is consistent the flows are not trusted at all, and the sample is the
// plain blend of A and B at p. At phase 0 the result is A exactly (every
// weight of B is 0 and A is read at p), at phase 1 B exactly.
//
// One work item per chroma sample: its 2x2 luma samples and its Cb, Cr pair,
// all moved by the plan made at the block's centre.

inline float2 readFlow(__global const float2* flow, int w, int h, int x, int y) {
    x = min(max(x, 0), w - 1);
    y = min(max(y, 0), h - 1);
    return flow[y * w + x];
}

// The flow at full-size luma position `p`, in full-size luma samples.
inline float2 flowAt(__global const float2* flow, int w, int h, float2 toFlow, float2 fromFlow,
                     float2 p) {
    const float2 q = (p + 0.5f) * toFlow - 0.5f;
    const float2 f = floor(q);
    const int x0 = (int)f.x;
    const int y0 = (int)f.y;
    const float2 a = q - f;
    const float2 top = mix(readFlow(flow, w, h, x0, y0), readFlow(flow, w, h, x0 + 1, y0), a.x);
    const float2 bottom =
        mix(readFlow(flow, w, h, x0, y0 + 1), readFlow(flow, w, h, x0 + 1, y0 + 1), a.x);
    return mix(top, bottom, a.y) * fromFlow;
}

// Bilinear samples at positions in samples (centres at integers), clamp to
// edge. At integer positions they return the sample itself, exactly.
inline float lumaAt(__global const ushort* plane, int stride, int w, int h, float2 p) {
    const float2 f = floor(p);
    const int x0 = (int)f.x;
    const int y0 = (int)f.y;
    const float2 a = p - f;
    const float top = mix(readLuma(plane, stride, w, h, x0, y0),
                          readLuma(plane, stride, w, h, x0 + 1, y0), a.x);
    const float bottom = mix(readLuma(plane, stride, w, h, x0, y0 + 1),
                             readLuma(plane, stride, w, h, x0 + 1, y0 + 1), a.x);
    return mix(top, bottom, a.y);
}
inline float2 pairAt(__global const ushort* plane, int stride, int w, int h, float2 p) {
    const float2 f = floor(p);
    const int x0 = (int)f.x;
    const int y0 = (int)f.y;
    const float2 a = p - f;
    const float2 top = mix(readPair(plane, stride, w, h, x0, y0),
                           readPair(plane, stride, w, h, x0 + 1, y0), a.x);
    const float2 bottom = mix(readPair(plane, stride, w, h, x0, y0 + 1),
                              readPair(plane, stride, w, h, x0 + 1, y0 + 1), a.x);
    return mix(top, bottom, a.y);
}

// How far a flow vector may miss its way back, in full-size samples, before
// it counts as half unreliable: one sample plus a tenth of the motion, since
// large motions carry larger errors that still warp well.
inline float consistency(float2 there, float2 back) {
    const float2 sum = there + back;
    // native_sqrt: the library's sqrt is a call on the CPU device.
    const float miss = native_sqrt(sum.x * sum.x + sum.y * sum.y);
    const float allowed = 1.0f + 0.1f * native_sqrt(there.x * there.x + there.y * there.y);
    const float r = miss / allowed;
    return 1.0f / (1.0f + r * r);
}

// Where A and B are read for the output luma position p, and their weights:
// .xy of `places` is A's position, .zw B's; weights .x for the warped A,
// .y for the warped B, .z for the plain blend (the three add up to 1).
inline void plan(__global const float2* forward, __global const float2* backward, int fw, int fh,
                 float2 toFlow, float2 fromFlow, float phase, float2 p, float4* places,
                 float3* weights) {
    const float2 fab = flowAt(forward, fw, fh, toFlow, fromFlow, p);
    const float2 fba = flowAt(backward, fw, fh, toFlow, fromFlow, p);
    const float2 inA = p - phase * fab;
    const float2 inB = p - (1.0f - phase) * fba;

    const float2 fa = flowAt(forward, fw, fh, toFlow, fromFlow, inA);
    const float cA = consistency(fa, flowAt(backward, fw, fh, toFlow, fromFlow, inA + fa));
    const float2 fb = flowAt(backward, fw, fh, toFlow, fromFlow, inB);
    const float cB = consistency(fb, flowAt(forward, fw, fh, toFlow, fromFlow, inB + fb));

    // A point of B that A does not show (cB low) speaks against A's
    // candidate, and the other way round.
    const float wA = (1.0f - phase) * fmax(cB, 0.02f);
    const float wB = phase * fmax(cA, 0.02f);
    const float trust = fmax(cA, cB);
    const float share = trust / (wA + wB);
    *places = (float4)(inA, inB);
    *weights = (float3)(wA * share, wB * share, 1.0f - trust);
}

__kernel void interp(__global const ushort* a, uint aLuma, uint aChroma, int aStride,
                     __global const ushort* b, uint bLuma, uint bChroma, int bStride,
                     __global ushort* dst, uint dstLuma, uint dstChroma, int dstStride,
                     int width, int height, __global const float2* forward,
                     __global const float2* backward, int flowW, int flowH, float2 toFlow,
                     float2 fromFlow, float phase) {
    const int x = get_global_id(0);
    const int y = get_global_id(1);
    const int cw = width / 2;
    const int ch = height / 2;
    if (x >= cw || y >= ch) return;

    // One plan for the block, made at its centre (luma 2x + 0.5, 2y + 0.5),
    // which is where the chroma sample sits: the flow is smooth at this
    // scale (and usually computed at half size or less), and planning once
    // instead of five times is most of the kernel's time.
    float4 places;
    float3 w;
    plan(forward, backward, flowW, flowH, toFlow, fromFlow, phase,
         (float2)(2.0f * (float)x + 0.5f, 2.0f * (float)y + 0.5f), &places, &w);

    __global const ushort* aY = a + aLuma;
    __global const ushort* bY = b + bLuma;
    for (int j = 0; j < 2; ++j) {
        for (int i = 0; i < 2; ++i) {
            const int px = 2 * x + i;
            const int py = 2 * y + j;
            // The luma sample is half a sample from the centre on each axis.
            const float4 at = places + (float4)((float)i - 0.5f, (float)j - 0.5f,
                                                (float)i - 0.5f, (float)j - 0.5f);
            float v = w.x * lumaAt(aY, aStride, width, height, at.xy) +
                      w.y * lumaAt(bY, bStride, width, height, at.zw);
            if (w.z > 0.0f)
                v += w.z * ((1.0f - phase) * unorm(aY[py * aStride + px]) +
                            phase * unorm(bY[py * bStride + px]));
            dst[dstLuma + py * dstStride + px] = toWord(v);
        }
    }

    // Half a luma sample is half a chroma sample.
    places = (places - 0.5f) * 0.5f;
    __global const ushort* aC = a + aChroma;
    __global const ushort* bC = b + bChroma;
    float2 c = w.x * pairAt(aC, aStride, cw, ch, places.xy) +
               w.y * pairAt(bC, bStride, cw, ch, places.zw);
    if (w.z > 0.0f)
        c += w.z * ((1.0f - phase) * unorm2(vload2(0, aC + y * aStride + 2 * x)) +
                    phase * unorm2(vload2(0, bC + y * bStride + 2 * x)));
    vstore2(toWord2(c), 0, dst + dstChroma + y * dstStride + 2 * x);
}
