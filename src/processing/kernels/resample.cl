// Resizes one plane: mode 1 is Catmull-Rom bicubic over 4 x 4 samples, any
// other mode one bilinear sample; both clamp to the edge and clamp the result
// to 0 ... 1. The 4 x 4 (or 2 x 2) weights are products of one weight per
// axis, so the work is done in two passes, rows then columns, through a
// float buffer: 8 reads per output sample instead of 16, with the same sum.
//
// Each pass has a general kernel and one for an exact doubling. Doubling,
// the common case, puts every output sample a quarter of a source sample
// before or after a source sample (fractions 0.75 and 0.25), so one work
// item makes both outputs of a source sample from five neighbours read at
// consecutive addresses; on the CPU device that is several times faster than
// the general kernel's per-sample gathers.
//
// Built twice: COMPONENTS 1 for a luma plane, 2 for a Cb, Cr plane.

#if COMPONENTS == 1
typedef float sample_t;
inline sample_t readSample(__global const ushort* plane, int stride, int width, int height, int x, int y) {
    return readLuma(plane, stride, width, height, x, y);
}
inline sample_t loadWord(__global const ushort* row, int x) { return unorm(row[x]); }
inline sample_t loadTemp(__global const float* row, int x) { return row[x]; }
inline void storeTemp(sample_t value, __global float* row, int x) { row[x] = value; }
inline void storeSample(sample_t value, __global ushort* row, int x) { row[x] = toWord(value); }
#else
typedef float2 sample_t;
inline sample_t readSample(__global const ushort* plane, int stride, int width, int height, int x, int y) {
    return readPair(plane, stride, width, height, x, y);
}
inline sample_t loadWord(__global const ushort* row, int x) { return unorm2(vload2(x, row)); }
inline sample_t loadTemp(__global const float* row, int x) { return vload2(x, row); }
inline void storeTemp(sample_t value, __global float* row, int x) { vstore2(value, x, row); }
inline void storeSample(sample_t value, __global ushort* row, int x) { vstore2(toWord2(value), x, row); }
#endif

// The first of the taps around position p (sourcePosition(), the sample
// centre in source samples). p is never below -0.5, so truncating p + 1
// gives floor(p) + 1 without a call to floor.
inline int firstTap(float p) { return (int)(p + 1.0f) - 1; }

inline sample_t cubic(sample_t a, sample_t b, sample_t c, sample_t d, float4 w) {
    return a * w.x + b * w.y + c * w.z + d * w.w;
}

// Pass 1, general: one work item per (destination column x, source row y).
// `temp` holds srcHeight rows of dstWidth samples, tightly packed.
__kernel void resampleRows(__global const ushort* src, uint srcOffset, int srcStride,
                           int srcWidth, int srcHeight,
                           __global float* temp, int dstWidth, uint mode) {
    const int x = get_global_id(0);
    const int y = get_global_id(1);
    if (x >= dstWidth || y >= srcHeight) return;
    __global const ushort* plane = src + srcOffset;
    const float p = sourcePosition(x, srcWidth, dstWidth);
    const int b = firstTap(p);
    const float f = p - (float)b;
    sample_t value;
    if (mode == 1) {
        value = cubic(readSample(plane, srcStride, srcWidth, srcHeight, b - 1, y),
                      readSample(plane, srcStride, srcWidth, srcHeight, b, y),
                      readSample(plane, srcStride, srcWidth, srcHeight, b + 1, y),
                      readSample(plane, srcStride, srcWidth, srcHeight, b + 2, y), catmullRom(f));
    } else {
        value = mix(readSample(plane, srcStride, srcWidth, srcHeight, b, y),
                    readSample(plane, srcStride, srcWidth, srcHeight, b + 1, y), f);
    }
    storeTemp(value, temp + (size_t)y * dstWidth * COMPONENTS, x);
}

// Pass 1, doubling (dstWidth = 2 srcWidth): one work item per source sample
// (i, y), writing destination columns 2i and 2i + 1.
__kernel void resampleRows2x(__global const ushort* src, uint srcOffset, int srcStride,
                             int srcWidth, int srcHeight,
                             __global float* temp, int dstWidth, uint mode) {
    const int i = get_global_id(0);
    const int y = get_global_id(1);
    if (i >= srcWidth || y >= srcHeight) return;
    __global const ushort* row = src + srcOffset + (size_t)y * srcStride;
    const int last = srcWidth - 1;
    const sample_t b = loadWord(row, max(i - 1, 0));
    const sample_t c = loadWord(row, i);
    const sample_t d = loadWord(row, min(i + 1, last));
    sample_t even;
    sample_t odd;
    if (mode == 1) {
        const sample_t a = loadWord(row, max(i - 2, 0));
        const sample_t e = loadWord(row, min(i + 2, last));
        even = cubic(a, b, c, d, catmullRom(0.75f));
        odd = cubic(b, c, d, e, catmullRom(0.25f));
    } else {
        even = mix(b, c, 0.75f);
        odd = mix(c, d, 0.25f);
    }
    __global float* out = temp + (size_t)y * dstWidth * COMPONENTS;
    storeTemp(even, out, 2 * i);
    storeTemp(odd, out, 2 * i + 1);
}

// Pass 2, general: one work item per destination sample (x, y), reading the
// columns of `temp` (srcHeight rows).
__kernel void resampleColumns(__global const float* temp, int srcHeight,
                              __global ushort* dst, uint dstOffset, int dstStride,
                              int dstWidth, int dstHeight, uint mode) {
    const int x = get_global_id(0);
    const int y = get_global_id(1);
    if (x >= dstWidth || y >= dstHeight) return;
    const float p = sourcePosition(y, srcHeight, dstHeight);
    const int b = firstTap(p);
    const float f = p - (float)b;
    const size_t pitch = (size_t)dstWidth * COMPONENTS;
    const int last = srcHeight - 1;
    sample_t value;
    if (mode == 1) {
        value = cubic(loadTemp(temp + min(max(b - 1, 0), last) * pitch, x),
                      loadTemp(temp + min(max(b, 0), last) * pitch, x),
                      loadTemp(temp + min(max(b + 1, 0), last) * pitch, x),
                      loadTemp(temp + min(max(b + 2, 0), last) * pitch, x), catmullRom(f));
    } else {
        value = mix(loadTemp(temp + min(max(b, 0), last) * pitch, x),
                    loadTemp(temp + min(max(b + 1, 0), last) * pitch, x), f);
    }
    storeSample(value, dst + dstOffset + (size_t)y * dstStride, x);
}

// Pass 2, doubling (dstHeight = 2 srcHeight): one work item per (x, source
// row j), writing destination rows 2j and 2j + 1.
__kernel void resampleColumns2x(__global const float* temp, int srcHeight,
                                __global ushort* dst, uint dstOffset, int dstStride,
                                int dstWidth, int dstHeight, uint mode) {
    const int x = get_global_id(0);
    const int j = get_global_id(1);
    if (x >= dstWidth || j >= srcHeight) return;
    const size_t pitch = (size_t)dstWidth * COMPONENTS;
    const int last = srcHeight - 1;
    const sample_t b = loadTemp(temp + max(j - 1, 0) * pitch, x);
    const sample_t c = loadTemp(temp + j * pitch, x);
    const sample_t d = loadTemp(temp + min(j + 1, last) * pitch, x);
    sample_t even;
    sample_t odd;
    if (mode == 1) {
        const sample_t a = loadTemp(temp + max(j - 2, 0) * pitch, x);
        const sample_t e = loadTemp(temp + min(j + 2, last) * pitch, x);
        even = cubic(a, b, c, d, catmullRom(0.75f));
        odd = cubic(b, c, d, e, catmullRom(0.25f));
    } else {
        even = mix(b, c, 0.75f);
        odd = mix(c, d, 0.25f);
    }
    __global ushort* out = dst + dstOffset + (size_t)(2 * j) * dstStride;
    storeSample(even, out, x);
    storeSample(odd, out + dstStride, x);
}
