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

// Rows of the colour matrices, applied as row . column.
// M1: linear BT.709 -> LMS.
__constant float3 M1[3] = {
    (float3)(0.4120832681655884f, 0.5356993079185486f, 0.046857498586177826f),
    (float3)(0.2118612825870514f, 0.6804224252700806f, 0.1050436869263649f),
    (float3)(0.08832483738660812f, 0.2817308008670807f, 0.6292985677719116f)};
// M2: LMS' -> lightness and two opponent axes.
__constant float3 M2[3] = {
    (float3)(0.21045425534248352f, 0.7936177849769592f, -0.0040720500983297825f),
    (float3)(1.9779984951019287f, -2.4285922050476074f, 0.4505937099456787f),
    (float3)(0.025904040783643723f, 0.7827717661857605f, -0.8086757659912109f)};
// M3: back to LMS'.
__constant float3 M3[3] = {
    (float3)(1.0f, 0.3963377773761749f, 0.21580375730991364f),
    (float3)(1.0f, -0.10556135326623917f, -0.0638541728258133f),
    (float3)(1.0f, -0.08948417752981186f, -1.2914855480194092f)};
// M4: LMS -> the wide working RGB.
__constant float3 M4[3] = {
    (float3)(2.1401402950286865f, -1.2463560104370117f, 0.10643172264099121f),
    (float3)(-0.8848324418067932f, 2.163172721862793f, -0.27836158871650696f),
    (float3)(-0.04857905954122543f, -0.45449090003967285f, 1.5023562908172607f)};
// M5: wide working RGB -> linear BT.709.
__constant float3 M5[3] = {
    (float3)(1.6604909896850586f, -0.5873100161552429f, -0.060430001467466354f),
    (float3)(-0.124549999833107f, 1.1328990459442139f, -0.008340000174939632f),
    (float3)(-0.018149999901652336f, -0.10057000070810318f, 1.1187289953231812f)};
// Linear BT.709 -> linear BT.2020.
__constant float3 TO2020[3] = {
    (float3)(0.6274f, 0.3293f, 0.0433f),
    (float3)(0.0691f, 0.9195f, 0.0114f),
    (float3)(0.0164f, 0.0880f, 0.8956f)};

inline float3 mul3(__constant float3* m, float3 v) {
    return (float3)(dot(m[0], v), dot(m[1], v), dot(m[2], v));
}

// From lightness, chroma and hue back to the wide working RGB.
inline float3 wide(float l, float chroma, float hue) {
    float3 lms = mul3(M3, (float3)(l, chroma * cos(hue), chroma * sin(hue)));
    return mul3(M4, lms * lms * lms);
}

inline bool inside(float3 w) {
    return all(w >= (float3)(-0.001f)) && all(w <= (float3)(1.001f));
}

// SMPTE ST 2084 encoding of absolute luminance in nits.
inline float3 pq(float3 nits) {
    const float m1 = 0.1593017578125f;
    const float m2 = 78.84375f;
    const float c1 = 0.8359375f;
    const float c2 = 18.8515625f;
    const float c3 = 18.6875f;
    float3 l = pow(clamp(nits / 10000.0f, 0.0f, 1.0f), m1);
    return pow((c1 + c2 * l) / (1.0f + c3 * l), m2);
}

// One pixel: non-linear BT.709 R'G'B' in 0 ... 1 to PQ-coded BT.2020 R'G'B'.
inline float3 expand(float3 rgb, ToneConstants k) {
    float3 lin = pow(max(rgb, 0.0f), 2.2f);
    float y = dot(lin, (float3)(0.2126f, 0.7152f, 0.0722f));
    float curve = pow(y, k.c) / (k.a * pow(y, 1.3f * k.c) + k.b);
    lin = lin * curve / (y + 1e-5f);

    float3 lms = mul3(M1, lin);
    float3 lab = mul3(M2, pow(max(lms, 0.0f), 0.3333f));
    float hue = atan2(lab.z, lab.y);
    float chroma = clamp(sqrt(lab.y * lab.y + lab.z * lab.z) * k.s, 0.0f, 1.0f);

    float3 w = wide(lab.x, chroma, hue);
    if (!inside(w) && chroma > 0.01f) {
        // Pull chroma back into the gamut; the last trial stands.
        float lo = 0.0f;
        float hi = chroma;
        while (hi - lo > 0.01f) {
            float mid = (lo + hi) * 0.5f;
            w = wide(lab.x, mid, hue);
            if (inside(w))
                lo = mid;
            else
                hi = mid;
        }
    }
    float3 nits = mul3(M5, clamp(w, 0.0f, 1.0f)) * k.scale;
    return pq(max(mul3(TO2020, nits), 0.0f));
}

__kernel void itm(__global const ushort* src, uint srcLuma, uint srcChroma, int srcStride,
                  __global ushort* dst, uint dstLuma, uint dstChroma, int dstStride,
                  int chromaWidth, int chromaHeight, ToneConstants k) {
    const int x = get_global_id(0);
    const int y = get_global_id(1);
    if (x >= chromaWidth || y >= chromaHeight) return;

    const float2 pair = unorm2(vload2(0, src + srcChroma + y * srcStride + 2 * x));
    const float cb = chromaFraction(pair.x);
    const float cr = chromaFraction(pair.y);
    float3 offset;
    if (k.bt601 != 0)
        offset = (float3)(1.402f * cr, -0.344136f * cb - 0.714136f * cr, 1.772f * cb);
    else
        offset = (float3)(1.5748f * cr, -0.187324f * cb - 0.468124f * cr, 1.8556f * cb);

    float cbSum = 0.0f;
    float crSum = 0.0f;
    for (int j = 0; j < 2; ++j) {
        for (int i = 0; i < 2; ++i) {
            const int at = (2 * y + j) * srcStride + 2 * x + i;
            const float yy = lumaFraction(unorm(src[srcLuma + at]));
            const float3 e = expand(clamp(yy + offset, 0.0f, 1.0f), k);
            const float luma = 0.2627f * e.x + 0.6780f * e.y + 0.0593f * e.z;
            cbSum += (e.z - luma) / 1.8814f;
            crSum += (e.x - luma) / 1.4746f;
            dst[dstLuma + (2 * y + j) * dstStride + 2 * x + i] = toWord(lumaValue(luma));
        }
    }
    vstore2((ushort2)(toWord(chromaValue(cbSum * 0.25f)), toWord(chromaValue(crSum * 0.25f))), 0,
            dst + dstChroma + y * dstStride + 2 * x);
}
