// Deepened blacks: bends the dark end of luma down by `lift` below the knee
// (half the video range) and scales the block's chroma toward neutral by the
// mean of its four luma ratios, so dark areas do not gain colour. One work
// item per chroma sample.
__kernel void deepen(__global const ushort* src, uint srcLuma, uint srcChroma, int srcStride,
                     __global ushort* dst, uint dstLuma, uint dstChroma, int dstStride,
                     int lumaWidth, int lumaHeight, float lift, float knee) {
    const int x = get_global_id(0);
    const int y = get_global_id(1);
    if (x >= lumaWidth / 2 || y >= lumaHeight / 2) return;

    float ratios = 0.0f;
    for (int j = 0; j < 2; ++j) {
        for (int i = 0; i < 2; ++i) {
            const int at = min(2 * y + j, lumaHeight - 1) * srcStride + min(2 * x + i, lumaWidth - 1);
            const float v = lumaFraction(unorm(src[srcLuma + at]));
            const float t = clamp(1.0f - v / knee, 0.0f, 1.0f);
            const float bent = v - lift * t * t;
            const float r = v > 1e-4f ? clamp(bent / v, 0.0f, 1.0f) : 0.0f;
            ratios += r;
            const int out = min(2 * y + j, lumaHeight - 1) * dstStride + min(2 * x + i, lumaWidth - 1);
            dst[dstLuma + out] = toWord(lumaValue(clamp(v * r, 0.0f, 1.0f)));
        }
    }
    const float2 pair = unorm2(vload2(0, src + srcChroma + y * srcStride + 2 * x));
    const float scale = ratios / 4.0f;
    vstore2((ushort2)(toWord(chromaValue(chromaFraction(pair.x) * scale)),
                      toWord(chromaValue(chromaFraction(pair.y) * scale))),
            0, dst + dstChroma + y * dstStride + 2 * x);
}
