// Resizes one plane: mode 1 is Catmull-Rom bicubic over 4 x 4 samples, any
// other mode one bilinear sample; both clamp to the edge and clamp the result
// to 0 ... 1. The 4 x 4 (or 2 x 2) weights are products of one weight per
// axis, so the work is done in two passes, rows then columns, through a
// float buffer: 8 reads per output sample instead of 16, with the same sum.
//
// Each pass has a general kernel and a phased one for sizes in a small
// ratio. When destination / source = PHASES / STEP in lowest terms, the
// source position of destination sample kP + j is kQ + p(j) (P = PHASES,
// Q = STEP), so destination samples repeat the same P fractions and weights,
// period after period. A phased work item makes the P samples of one period
// from source samples at kQ + constant offsets, which the CPU device loads
// as vectors; the general kernels compute a position and gather four samples
// per output sample, several times slower there. Doubling (1080p -> 4K) is
// P = 2, Q = 1.
//
// Banded: the row pass makes `rowCount` source rows from `firstRow` on into
// `temp` (temp row 0 is source row firstRow), and the column pass makes
// `outCount` destination rows (or periods) from `firstOut` on, reading the
// temp rows it needs; the caller sizes a band's source rows to cover every
// tap of its destination rows (clamped to the plane). Positions, taps,
// clamps and weights are those of the absolute rows, so a picture made in
// bands is bit for bit the picture made in one band.
//
// One program serves both plane kinds: the source is given twice, each
// time after a few lines that set COMPONENTS (1 for a luma plane, 2 for a
// Cb, Cr plane) and KIND(name), which names that copy's functions and
// kernels (resampleRowsLuma, resampleRowsChroma, ...); the parts that do
// not depend on the kind are read once. A CPU device keeps the compiled
// form of every built program for as long as its kernels live, so one
// program for both kinds keeps one copy of what they share. Built per
// ratio: PHASES_X and STEP_X for the row pass, PHASES_Y and STEP_Y for the
// column pass when their ratio is small (both default to 1).

#ifndef RESAMPLE_SHARED
#define RESAMPLE_SHARED

#ifndef PHASES_X
#define PHASES_X 1
#define STEP_X 1
#endif
#ifndef PHASES_Y
#define PHASES_Y 1
#define STEP_Y 1
#endif

// The first of the taps around position p (sourcePosition(), the sample
// centre in source samples). p is never below -0.5, so truncating p + 1
// gives floor(p) + 1 without a call to floor.
inline int firstTap(float p) { return (int)(p + 1.0f) - 1; }

// The first tap and fraction of phase j of a ratio phases / step: the
// source position of destination sample j when the destination has `phases`
// samples for every `step` source samples.
inline float phasePosition(int j, int phases, int step) {
    return ((float)j + 0.5f) * (float)step / (float)phases - 0.5f;
}

// The temp row of source row r, clamped to the plane (last = its last row),
// in a band whose temp row 0 is source row firstRow.
inline __global const float* tempRow(__global const float* temp, int r, int last, int firstRow,
                                     size_t pitch) {
    return temp + (size_t)(min(max(r, 0), last) - firstRow) * pitch;
}

#endif // RESAMPLE_SHARED

#if COMPONENTS == 1
#define sample_t float
inline sample_t KIND(readSample)(__global const ushort* plane, int stride, int width, int height,
                                 int x, int y) {
    return readLuma(plane, stride, width, height, x, y);
}
inline sample_t KIND(loadWord)(__global const ushort* row, int x) { return unorm(row[x]); }
inline sample_t KIND(loadTemp)(__global const float* row, int x) { return row[x]; }
inline void KIND(storeTemp)(sample_t value, __global float* row, int x) { row[x] = value; }
inline void KIND(storeSample)(sample_t value, __global ushort* row, int x) {
    row[x] = toWord(value);
}
#else
#define sample_t float2
inline sample_t KIND(readSample)(__global const ushort* plane, int stride, int width, int height,
                                 int x, int y) {
    return readPair(plane, stride, width, height, x, y);
}
inline sample_t KIND(loadWord)(__global const ushort* row, int x) { return unorm2(vload2(x, row)); }
inline sample_t KIND(loadTemp)(__global const float* row, int x) { return vload2(x, row); }
inline void KIND(storeTemp)(sample_t value, __global float* row, int x) { vstore2(value, x, row); }
inline void KIND(storeSample)(sample_t value, __global ushort* row, int x) {
    vstore2(toWord2(value), x, row);
}
#endif

inline sample_t KIND(cubic)(sample_t a, sample_t b, sample_t c, sample_t d, float4 w) {
    return a * w.x + b * w.y + c * w.z + d * w.w;
}


// Pass 1, general: one work item per (destination column x, band row).
// `temp` holds rowCount rows of dstWidth samples, tightly packed.
__kernel void KIND(resampleRows)(__global const ushort* src, uint srcOffset, int srcStride,
                                 int srcWidth, int srcHeight, int firstRow, int rowCount,
                                 __global float* temp, int dstWidth, uint mode) {
    const int x = get_global_id(0);
    const int row = get_global_id(1);
    const int y = firstRow + row;
    if (x >= dstWidth || row >= rowCount || y >= srcHeight) return;
    __global const ushort* plane = src + srcOffset;
    const float p = sourcePosition(x, srcWidth, dstWidth);
    const int b = firstTap(p);
    const float f = p - (float)b;
    sample_t value;
    if (mode == 1) {
        value = KIND(cubic)(KIND(readSample)(plane, srcStride, srcWidth, srcHeight, b - 1, y),
                            KIND(readSample)(plane, srcStride, srcWidth, srcHeight, b, y),
                            KIND(readSample)(plane, srcStride, srcWidth, srcHeight, b + 1, y),
                            KIND(readSample)(plane, srcStride, srcWidth, srcHeight, b + 2, y),
                            catmullRom(f));
    } else {
        value = mix(KIND(readSample)(plane, srcStride, srcWidth, srcHeight, b, y),
                    KIND(readSample)(plane, srcStride, srcWidth, srcHeight, b + 1, y), f);
    }
    KIND(storeTemp)(value, temp + (size_t)row * dstWidth * COMPONENTS, x);
}

// Pass 1, phased: one work item per (period k, band row), writing
// destination columns k PHASES_X ... k PHASES_X + PHASES_X - 1.
__kernel void KIND(resampleRowsPhased)(__global const ushort* src, uint srcOffset, int srcStride,
                                       int srcWidth, int srcHeight, int firstRow, int rowCount,
                                       __global float* temp, int dstWidth, uint mode) {
    const int k = get_global_id(0);
    const int band = get_global_id(1);
    const int y = firstRow + band;
    if (k * PHASES_X >= dstWidth || band >= rowCount || y >= srcHeight) return;
    __global const ushort* row = src + srcOffset + (size_t)y * srcStride;
    __global float* out = temp + (size_t)band * dstWidth * COMPONENTS;
    const int last = srcWidth - 1;
    const int origin = k * STEP_X;
    #pragma unroll
    for (int j = 0; j < PHASES_X; ++j) {
        const float p = phasePosition(j, PHASES_X, STEP_X);
        const int b = origin + firstTap(p);
        const float f = p - (float)firstTap(p);
        const sample_t s1 = KIND(loadWord)(row, min(max(b, 0), last));
        const sample_t s2 = KIND(loadWord)(row, min(max(b + 1, 0), last));
        sample_t value;
        if (mode == 1) {
            const sample_t s0 = KIND(loadWord)(row, min(max(b - 1, 0), last));
            const sample_t s3 = KIND(loadWord)(row, min(max(b + 2, 0), last));
            value = KIND(cubic)(s0, s1, s2, s3, catmullRom(f));
        } else {
            value = mix(s1, s2, f);
        }
        KIND(storeTemp)(value, out, k * PHASES_X + j);
    }
}

// Pass 2, general: one work item per destination sample (x, firstOut + band
// row), reading the columns of `temp` (source rows from firstRow on).
__kernel void KIND(resampleColumns)(__global const float* temp, int srcHeight, int firstRow,
                                    __global ushort* dst, uint dstOffset, int dstStride,
                                    int dstWidth, int dstHeight, int firstOut, int outCount,
                                    uint mode) {
    const int x = get_global_id(0);
    const int y = firstOut + (int)get_global_id(1);
    if (x >= dstWidth || (int)get_global_id(1) >= outCount || y >= dstHeight) return;
    const float p = sourcePosition(y, srcHeight, dstHeight);
    const int b = firstTap(p);
    const float f = p - (float)b;
    const size_t pitch = (size_t)dstWidth * COMPONENTS;
    const int last = srcHeight - 1;
    sample_t value;
    if (mode == 1) {
        value = KIND(cubic)(KIND(loadTemp)(tempRow(temp, b - 1, last, firstRow, pitch), x),
                            KIND(loadTemp)(tempRow(temp, b, last, firstRow, pitch), x),
                            KIND(loadTemp)(tempRow(temp, b + 1, last, firstRow, pitch), x),
                            KIND(loadTemp)(tempRow(temp, b + 2, last, firstRow, pitch), x),
                            catmullRom(f));
    } else {
        value = mix(KIND(loadTemp)(tempRow(temp, b, last, firstRow, pitch), x),
                    KIND(loadTemp)(tempRow(temp, b + 1, last, firstRow, pitch), x), f);
    }
    KIND(storeSample)(value, dst + dstOffset + (size_t)y * dstStride, x);
}

// Pass 2, phased: one work item per (x, period k = firstOut + band row),
// writing destination rows k PHASES_Y ... k PHASES_Y + PHASES_Y - 1.
__kernel void KIND(resampleColumnsPhased)(__global const float* temp, int srcHeight, int firstRow,
                                          __global ushort* dst, uint dstOffset, int dstStride,
                                          int dstWidth, int dstHeight, int firstOut, int outCount,
                                          uint mode) {
    const int x = get_global_id(0);
    const int k = firstOut + (int)get_global_id(1);
    if (x >= dstWidth || (int)get_global_id(1) >= outCount || k * PHASES_Y >= dstHeight) return;
    const size_t pitch = (size_t)dstWidth * COMPONENTS;
    const int last = srcHeight - 1;
    const int origin = k * STEP_Y;
    #pragma unroll
    for (int j = 0; j < PHASES_Y; ++j) {
        const float p = phasePosition(j, PHASES_Y, STEP_Y);
        const int b = origin + firstTap(p);
        const float f = p - (float)firstTap(p);
        const sample_t s1 = KIND(loadTemp)(tempRow(temp, b, last, firstRow, pitch), x);
        const sample_t s2 = KIND(loadTemp)(tempRow(temp, b + 1, last, firstRow, pitch), x);
        sample_t value;
        if (mode == 1) {
            const sample_t s0 = KIND(loadTemp)(tempRow(temp, b - 1, last, firstRow, pitch), x);
            const sample_t s3 = KIND(loadTemp)(tempRow(temp, b + 2, last, firstRow, pitch), x);
            value = KIND(cubic)(s0, s1, s2, s3, catmullRom(f));
        } else {
            value = mix(s1, s2, f);
        }
        KIND(storeSample)(value, dst + dstOffset + (size_t)(k * PHASES_Y + j) * dstStride, x);
    }
}

#undef sample_t
