// Prepended to every hook shader's source. Textures are buffers of half
// floats, `c` components a texel (1 or 4), rows packed top to bottom. Each
// kernel argument texture is four arguments: the buffer, its width, height
// and components (HOOK_TEXTURE). A texture whose name matched nothing has
// width and height 0 and reads as 0.

#define HOOK_TEXTURE(n) __global half* n, int n##_w, int n##_h, int n##_c
// Clamp-to-edge read of texel (x, y) as four values (one-component
// textures give (v, 0, 0, 1)); HOOK_READ1 gives the first component alone.
#define HOOK_READ(n, x, y) hookRead(n, n##_w, n##_h, n##_c, (x), (y))
#define HOOK_READ1(n, x, y) hookRead1(n, n##_w, n##_h, n##_c, (x), (y))
#define HOOK_WRITE(n, x, y, v) hookWrite(n, n##_w, n##_c, (x), (y), (v))

inline float4 hookRead(__global const half* t, int w, int h, int c, int x, int y) {
    if (w <= 0 || h <= 0) return (float4)(0.0f);
    x = min(max(x, 0), w - 1);
    y = min(max(y, 0), h - 1);
    if (c == 1) return (float4)(vload_half(y * w + x, t), 0.0f, 0.0f, 1.0f);
    return vload_half4(y * w + x, t);
}

inline float hookRead1(__global const half* t, int w, int h, int c, int x, int y) {
    if (w <= 0 || h <= 0) return 0.0f;
    x = min(max(x, 0), w - 1);
    y = min(max(y, 0), h - 1);
    return vload_half((y * w + x) * (c == 1 ? 1 : 4), t);
}

// Writes texel (x, y); a one-component texture keeps v.x.
inline void hookWrite(__global half* t, int w, int c, int x, int y, float4 v) {
    if (c == 1)
        vstore_half(v.x, y * w + x, t);
    else
        vstore_half4(v, y * w + x, t);
}
