// Inverse tone mapping: SDR Y'CbCr (BT.709, or BT.601 when asked) in, HDR10
// (BT.2020 primaries, PQ, BT.2020 non-constant-luminance Y'CbCr) out, both
// video range. One work item per chroma sample: it converts the 2 x 2 luma
// samples that share the chroma pair and writes their mean chroma, so no
// intermediate RGB picture exists.

// The six values the tone curve needs, 24 bytes, as ToneParams::kernel()
// packs them on the host.
typedef struct {
    float c;     // exponent of the curve
    float a;     // curve denominator: a * Y^(1.3 c) + b
    float b;
    float s;     // chroma gain
    float scale; // nits per curve unit
    uint bt601;  // 1: BT.601 input coefficients
} ToneConstants;

// A work item takes four neighbouring chroma samples: the sixteen luma
// samples of their 2 x 2 blocks travel together as the lanes of one float16
// (one vector per colour component). PoCL does not vectorise work items
// whose bodies call exp2 and log2, so the kernel does it itself: every power
// below is one vector call for sixteen pixels.
typedef float16 vec;
typedef int16 mask; // lane comparisons: -1 true, 0 false
typedef int16 ivec;
#define as_ivec as_int16
#define as_vec as_float16
#define convert_vec convert_float16

typedef struct {
    vec r;
    vec g;
    vec b;
} rgbv;

// A 3 x 3 matrix, rows given in order, applied as row . column.
#define MUL3(v, a0, a1, a2, b0, b1, b2, c0, c1, c2)                          \
    ((rgbv){(a0) * (v).r + (a1) * (v).g + (a2) * (v).b,                     \
            (b0) * (v).r + (b1) * (v).g + (b2) * (v).b,                     \
            (c0) * (v).r + (c1) * (v).g + (c2) * (v).b})

// Linear BT.709 -> LMS.
inline rgbv m1(rgbv v) {
    return MUL3(v, 0.4120832681655884f, 0.5356993079185486f, 0.046857498586177826f,
                0.2118612825870514f, 0.6804224252700806f, 0.1050436869263649f,
                0.08832483738660812f, 0.2817308008670807f, 0.6292985677719116f);
}
// LMS' -> lightness and two opponent axes.
inline rgbv m2(rgbv v) {
    return MUL3(v, 0.21045425534248352f, 0.7936177849769592f, -0.0040720500983297825f,
                1.9779984951019287f, -2.4285922050476074f, 0.4505937099456787f,
                0.025904040783643723f, 0.7827717661857605f, -0.8086757659912109f);
}
// Back to LMS'.
inline rgbv m3(rgbv v) {
    return MUL3(v, 1.0f, 0.3963377773761749f, 0.21580375730991364f,
                1.0f, -0.10556135326623917f, -0.0638541728258133f,
                1.0f, -0.08948417752981186f, -1.2914855480194092f);
}
// LMS -> the wide working RGB.
inline rgbv m4(rgbv v) {
    return MUL3(v, 2.1401402950286865f, -1.2463560104370117f, 0.10643172264099121f,
                -0.8848324418067932f, 2.163172721862793f, -0.27836158871650696f,
                -0.04857905954122543f, -0.45449090003967285f, 1.5023562908172607f);
}
// The wide working RGB -> linear BT.709.
inline rgbv m5(rgbv v) {
    return MUL3(v, 1.6604909896850586f, -0.5873100161552429f, -0.060430001467466354f,
                -0.124549999833107f, 1.1328990459442139f, -0.008340000174939632f,
                -0.018149999901652336f, -0.10057000070810318f, 1.1187289953231812f);
}
// Linear BT.709 -> linear BT.2020.
inline rgbv to2020(rgbv v) {
    return MUL3(v, 0.6274f, 0.3293f, 0.0433f, 0.0691f, 0.9195f, 0.0114f, 0.0164f, 0.0880f,
                0.8956f);
}

// log2 and exp2 of our own, in plain arithmetic that vectorises: the
// device library's versions cost four fifths of the kernel on the CPU
// device. Both are accurate to a few units in the last place of a float,
// far below what one 10-bit code needs.
//
// log2(x) for x > 0: x = m 2^e with m in [sqrt(1/2), sqrt(2)); with
// t = (m - 1) / (m + 1), ln m = 2 (t + t^3/3 + t^5/5 + t^7/7 + t^9/9), the
// next term below 4e-10 since |t| <= 0.1716.
inline vec log2v(vec x) {
    const ivec bits = as_ivec(x);
    ivec e = ((bits >> 23) & 0xff) - 127;
    vec m = as_vec((bits & 0x007fffff) | 0x3f800000); // in [1, 2)
    const mask big = m > 1.41421356f;
    m = select(m, m * 0.5f, big);
    e = e - big; // big is -1 where true
    const vec t = (m - 1.0f) / (m + 1.0f);
    const vec t2 = t * t;
    const vec series = t * (2.0f + t2 * (2.0f / 3.0f + t2 * (2.0f / 5.0f + t2 * (2.0f / 7.0f + t2 * (2.0f / 9.0f)))));
    return convert_vec(e) + series * 1.44269504f; // ln m / ln 2
}

// exp2(z): z = n + f with n the nearest integer and f in [-1/2, 1/2];
// 2^f = e^(f ln 2) by its Taylor series to the sixth power (next term below
// 1.3e-7), 2^n by building the float's exponent. Results below 2^-126 are
// 0.
inline vec exp2v(vec z) {
    const vec zc = fmin(fmax(z, -126.0f), 127.0f);
    const vec shifted = zc + 0.5f;
    ivec n = convert_int16(shifted);            // truncates toward zero
    n = n + (convert_vec(n) > shifted);          // floor: one less where truncation went up
    const vec f = (zc - convert_vec(n)) * 0.69314718f;
    const vec p = 1.0f + f * (1.0f + f * (0.5f + f * (1.0f / 6.0f + f * (1.0f / 24.0f +
                  f * (1.0f / 120.0f + f * (1.0f / 720.0f))))));
    const vec result = p * as_vec((n + 127) << 23);
    return select(result, (vec)(0.0f), z < -126.0f);
}

// x^y for x >= 0 and y > 0 (0^y = 0).
inline vec powv(vec x, vec y) { return select(exp2v(y * log2v(x)), (vec)(0.0f), x <= 0.0f); }

inline vec clamp01(vec v) { return fmin(fmax(v, 0.0f), 1.0f); }

// From lightness and the chroma vector (chroma times cos and sin of the hue)
// back to the wide working RGB.
inline rgbv wide(vec l, vec a, vec b) {
    rgbv lms = m3((rgbv){l, a, b});
    lms.r = lms.r * lms.r * lms.r;
    lms.g = lms.g * lms.g * lms.g;
    lms.b = lms.b * lms.b * lms.b;
    return m4(lms);
}

inline mask inside(rgbv w) {
    return (w.r >= -0.001f) & (w.r <= 1.001f) & (w.g >= -0.001f) & (w.g <= 1.001f) &
           (w.b >= -0.001f) & (w.b <= 1.001f);
}

// SMPTE ST 2084 encoding of absolute luminance in nits.
inline vec pq(vec nits) {
    const vec m1 = 0.1593017578125f;
    const vec m2 = 78.84375f;
    const float c1 = 0.8359375f;
    const float c2 = 18.8515625f;
    const float c3 = 18.6875f;
    vec l = powv(clamp01(nits / 10000.0f), m1);
    return powv((c1 + c2 * l) / (1.0f + c3 * l), m2);
}

// Four pixels: non-linear BT.709 R'G'B' in 0 ... 1 to PQ-coded BT.2020 R'G'B'.
inline rgbv expand(rgbv rgb, ToneConstants k) {
    const vec gamma = 2.2f;
    rgbv lin = {powv(fmax(rgb.r, 0.0f), gamma), powv(fmax(rgb.g, 0.0f), gamma),
                powv(fmax(rgb.b, 0.0f), gamma)};
    const vec y = 0.2126f * lin.r + 0.7152f * lin.g + 0.0722f * lin.b;
    const vec curve = powv(y, (vec)(k.c)) / (k.a * powv(y, (vec)(1.3f * k.c)) + k.b);
    const vec gain = curve / (y + 1e-5f);
    lin.r *= gain;
    lin.g *= gain;
    lin.b *= gain;

    rgbv lms = m1(lin);
    const vec third = 0.3333f;
    lms.r = powv(fmax(lms.r, 0.0f), third);
    lms.g = powv(fmax(lms.g, 0.0f), third);
    lms.b = powv(fmax(lms.b, 0.0f), third);
    const rgbv lab = m2(lms);
    // The hue enters only through its cosine and sine, which are the
    // opponent axes over their length (hue 0 when both are 0), so no
    // trigonometry is needed.
    const vec length = sqrt(lab.g * lab.g + lab.b * lab.b);
    const mask some = length > 0.0f;
    const vec cosHue = select((vec)(1.0f), lab.g / length, some);
    const vec sinHue = select((vec)(0.0f), lab.b / length, some);
    const vec chroma = clamp01(length * k.s);

    rgbv w = wide(lab.r, chroma * cosHue, chroma * sinHue);
    // Pull chroma back into the gamut by bisection until the interval is at
    // most 0.01 wide; the last trial stands. Chroma is at most 1, so seven
    // halvings always suffice; lanes that are done keep their values.
    mask active = ~inside(w) & (chroma > 0.01f);
    vec lo = 0.0f;
    vec hi = chroma;
    for (int step = 0; step < 7; ++step) {
        active &= (hi - lo > 0.01f);
        if (!any(active)) break;
        const vec mid = (lo + hi) * 0.5f;
        const rgbv trial = wide(lab.r, mid * cosHue, mid * sinHue);
        const mask fits = inside(trial);
        w.r = select(w.r, trial.r, active);
        w.g = select(w.g, trial.g, active);
        w.b = select(w.b, trial.b, active);
        lo = select(lo, mid, active & fits);
        hi = select(hi, mid, active & ~fits);
    }
    rgbv nits = m5((rgbv){clamp01(w.r), clamp01(w.g), clamp01(w.b)});
    nits.r *= k.scale;
    nits.g *= k.scale;
    nits.b *= k.scale;
    const rgbv wide2020 = to2020(nits);
    return (rgbv){pq(fmax(wide2020.r, 0.0f)), pq(fmax(wide2020.g, 0.0f)),
                  pq(fmax(wide2020.b, 0.0f))};
}

inline float3 chromaOffset(float2 pair, uint bt601) {
    const float cb = chromaFraction(pair.x);
    const float cr = chromaFraction(pair.y);
    if (bt601 != 0) return (float3)(1.402f * cr, -0.344136f * cb - 0.714136f * cr, 1.772f * cb);
    return (float3)(1.5748f * cr, -0.187324f * cb - 0.468124f * cr, 1.8556f * cb);
}

// The grid is (chromaWidth + 3) / 4 x chromaHeight: work item (x, y) makes
// chroma samples 4x ... 4x + 3 of row y and their luma blocks. Blocks past
// the end of the row repeat the last one and are not written.
__kernel void itm(__global const ushort* src, uint srcLuma, uint srcChroma, int srcStride,
                  __global ushort* dst, uint dstLuma, uint dstChroma, int dstStride,
                  int chromaWidth, int chromaHeight, ToneConstants k) {
    const int x0 = 4 * get_global_id(0);
    const int y = get_global_id(1);
    if (x0 >= chromaWidth || y >= chromaHeight) return;
    const int last = chromaWidth - 1;
    const int x1 = min(x0 + 1, last);
    const int x2 = min(x0 + 2, last);
    const int x3 = min(x0 + 3, last);

    __global const ushort* chroma = src + srcChroma + y * srcStride;
    const float3 o0 = chromaOffset(unorm2(vload2(x0, chroma)), k.bt601);
    const float3 o1 = chromaOffset(unorm2(vload2(x1, chroma)), k.bt601);
    const float3 o2 = chromaOffset(unorm2(vload2(x2, chroma)), k.bt601);
    const float3 o3 = chromaOffset(unorm2(vload2(x3, chroma)), k.bt601);
    // Lanes 0-7: the top row of blocks 0 to 3, two samples each; lanes 8-15
    // their bottom row.
    const float8 rowR = (float8)(o0.x, o0.x, o1.x, o1.x, o2.x, o2.x, o3.x, o3.x);
    const float8 rowG = (float8)(o0.y, o0.y, o1.y, o1.y, o2.y, o2.y, o3.y, o3.y);
    const float8 rowB = (float8)(o0.z, o0.z, o1.z, o1.z, o2.z, o2.z, o3.z, o3.z);
    const vec offR = (vec)(rowR, rowR);
    const vec offG = (vec)(rowG, rowG);
    const vec offB = (vec)(rowB, rowB);

    __global const ushort* top = src + srcLuma + (2 * y) * srcStride;
    __global const ushort* bottom = top + srcStride;
    const ushort8 topWords = (ushort8)(vload2(x0, top), vload2(x1, top), vload2(x2, top),
                                       vload2(x3, top));
    const ushort8 bottomWords = (ushort8)(vload2(x0, bottom), vload2(x1, bottom),
                                          vload2(x2, bottom), vload2(x3, bottom));
    const vec words = (vec)(convert_float8(topWords), convert_float8(bottomWords));
    const vec yy = (words * (1.0f / 64.0f) - 64.0f) / 876.0f;
    const rgbv e = expand((rgbv){clamp01(yy + offR), clamp01(yy + offG), clamp01(yy + offB)}, k);
    const vec luma = 0.2627f * e.r + 0.6780f * e.g + 0.0593f * e.b;
    const vec cbs = (e.b - luma) / 1.8814f;
    const vec crs = (e.r - luma) / 1.4746f;
    const ushort16 out =
        convert_ushort16(clamp01((luma * 876.0f + 64.0f) * (64.0f / 65535.0f)) * 65535.0f + 0.5f);
    // Per block: the mean of its four lanes (two top, two bottom).
    const float8 cbPairs = cbs.lo + cbs.hi;
    const float8 crPairs = crs.lo + crs.hi;
    const float4 cbMean = (cbPairs.even + cbPairs.odd) * 0.25f;
    const float4 crMean = (crPairs.even + crPairs.odd) * 0.25f;

    __global ushort* dtop = dst + dstLuma + (2 * y) * dstStride;
    __global ushort* dbottom = dtop + dstStride;
    __global ushort* dchroma = dst + dstChroma + y * dstStride;
    vstore2(out.s01, x0, dtop);
    vstore2(out.s89, x0, dbottom);
    vstore2((ushort2)(toWord(chromaValue(cbMean.s0)), toWord(chromaValue(crMean.s0))), x0, dchroma);
    if (x0 + 1 <= last) {
        vstore2(out.s23, x1, dtop);
        vstore2(out.sab, x1, dbottom);
        vstore2((ushort2)(toWord(chromaValue(cbMean.s1)), toWord(chromaValue(crMean.s1))), x1,
                dchroma);
    }
    if (x0 + 2 <= last) {
        vstore2(out.s45, x2, dtop);
        vstore2(out.scd, x2, dbottom);
        vstore2((ushort2)(toWord(chromaValue(cbMean.s2)), toWord(chromaValue(crMean.s2))), x2,
                dchroma);
    }
    if (x0 + 3 <= last) {
        vstore2(out.s67, x3, dtop);
        vstore2(out.sef, x3, dbottom);
        vstore2((ushort2)(toWord(chromaValue(cbMean.s3)), toWord(chromaValue(crMean.s3))), x3,
                dchroma);
    }
}
