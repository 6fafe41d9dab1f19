// Shared by every picture kernel; prepended to each program's source.
//
// Pictures are buffers of 16-bit words: a plane starts `offset` words into
// its buffer and has `stride` words a row. Plane 0 holds one luma word per
// sample, plane 1 interleaved Cb, Cr words at half width and height. A word
// holds the 10-bit code in its upper ten bits, so as a normalised value it is
// word / 65535 and the code is value * 65535 / 64.

// A word as a normalised value, and back to the nearest word (clamped).
// Rounding by adding a half and truncating: the saturating, rounding
// conversions (convert_ushort_sat_rte) are library calls on the CPU device
// and cost several times the rest of a simple kernel.
inline float unorm(ushort word) { return (float)word * (1.0f / 65535.0f); }
inline float2 unorm2(ushort2 words) { return convert_float2(words) * (1.0f / 65535.0f); }
inline ushort toWord(float value) {
    return (ushort)(fmin(fmax(value, 0.0f), 1.0f) * 65535.0f + 0.5f);
}
inline ushort2 toWord2(float2 value) {
    return convert_ushort2(fmin(fmax(value, (float2)(0.0f)), (float2)(1.0f)) * 65535.0f + 0.5f);
}

// Normalised luma and chroma as video-range fractions: luma 0 at code 64 and
// 1 at code 940; chroma 0 at code 512, +-0.5 at codes 960 and 64.
inline float lumaFraction(float value) { return (value * (65535.0f / 64.0f) - 64.0f) / 876.0f; }
inline float chromaFraction(float value) { return (value * (65535.0f / 64.0f) - 512.0f) / 896.0f; }
// And back to normalised values (not clamped).
inline float lumaValue(float fraction) { return (fraction * 876.0f + 64.0f) * (64.0f / 65535.0f); }
inline float chromaValue(float fraction) { return (fraction * 896.0f + 512.0f) * (64.0f / 65535.0f); }

// Clamp-to-edge reads: x, y outside the plane read the nearest edge sample.
// `width` counts samples (luma) or Cb, Cr pairs (chroma).
// (min and max rather than clamp: PoCL inlines them, its integer clamp is a
// call.)
inline float readLuma(__global const ushort* plane, int stride, int width, int height, int x, int y) {
    x = min(max(x, 0), width - 1);
    y = min(max(y, 0), height - 1);
    return unorm(plane[y * stride + x]);
}
inline float2 readPair(__global const ushort* plane, int stride, int width, int height, int x, int y) {
    x = min(max(x, 0), width - 1);
    y = min(max(y, 0), height - 1);
    return unorm2(vload2(0, plane + y * stride + 2 * x));
}

// Where a destination sample's centre falls in the source, in source
// samples, with sample centres at integer positions: the normalised centre
// (i + 0.5) / destination size times the source size, minus half a sample.
inline float sourcePosition(int i, int sourceSize, int destinationSize) {
    return ((float)i + 0.5f) / (float)destinationSize * (float)sourceSize - 0.5f;
}

// A bilinear sample at normalised (u, v) with clamp to edge, as a texture
// unit takes it: the two nearest samples on each axis, weighted by distance.
inline float sampleLuma(__global const ushort* plane, int stride, int width, int height, float2 uv) {
    float px = uv.x * (float)width - 0.5f;
    float py = uv.y * (float)height - 0.5f;
    float fx = floor(px);
    float fy = floor(py);
    int x0 = (int)fx;
    int y0 = (int)fy;
    float ax = px - fx;
    float ay = py - fy;
    float top = mix(readLuma(plane, stride, width, height, x0, y0),
                    readLuma(plane, stride, width, height, x0 + 1, y0), ax);
    float bottom = mix(readLuma(plane, stride, width, height, x0, y0 + 1),
                       readLuma(plane, stride, width, height, x0 + 1, y0 + 1), ax);
    return mix(top, bottom, ay);
}
inline float2 samplePair(__global const ushort* plane, int stride, int width, int height, float2 uv) {
    float px = uv.x * (float)width - 0.5f;
    float py = uv.y * (float)height - 0.5f;
    float fx = floor(px);
    float fy = floor(py);
    int x0 = (int)fx;
    int y0 = (int)fy;
    float ax = px - fx;
    float ay = py - fy;
    float2 top = mix(readPair(plane, stride, width, height, x0, y0),
                     readPair(plane, stride, width, height, x0 + 1, y0), ax);
    float2 bottom = mix(readPair(plane, stride, width, height, x0, y0 + 1),
                        readPair(plane, stride, width, height, x0 + 1, y0 + 1), ax);
    return mix(top, bottom, ay);
}

// Catmull-Rom weights for the four taps around a sample at fraction f past
// the second tap.
inline float4 catmullRom(float f) {
    float f2 = f * f;
    float f3 = f2 * f;
    return (float4)(-0.5f * f3 + f2 - 0.5f * f,
                    1.5f * f3 - 2.5f * f2 + 1.0f,
                    -1.5f * f3 + 2.0f * f2 + 0.5f * f,
                    0.5f * f3 - 0.5f * f2);
}
