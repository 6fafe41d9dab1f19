// A RAISR-style 2x luma upscaler of this project (training/train_ravu.py
// fits the filters and writes them into ravu-lite-ar-r3.json).
//
// Corner (u, v), u = 0 ... width, sits between input samples u-1 and u (at
// input position u - 0.5). Its 6x6 window (samples u-3 ... u+2) gives the
// four output samples around it, a quarter input sample away on each axis:
// phase px + 2 py is output (2u - 1 + px, 2v - 1 + py).
//
// RAVU_WEIGHTS, 36 texels a row: row 0 texel 0 = (strength low, strength
// high, coherence low, coherence high); row 1 + bucket, texel dy * 6 + dx =
// the four phases' weights of window tap (dx, dy). bucket = (angle * 3 +
// strength) * 3 + coherence, 24 angles.

__kernel void ravuCorners(HOOK_TEXTURE(dst), HOOK_TEXTURE(src), HOOK_TEXTURE(wt)) {
    int u = get_global_id(0);
    int v = get_global_id(1);
    if (u >= dst_w || v >= dst_h) return;
    float p[36];
#pragma unroll
    for (int t = 0; t < 36; ++t) p[t] = HOOK_READ1(src, u - 3 + t % 6, v - 3 + t / 6);

    // Structure tensor of the central 4x4 gradients, weights 0.5 1 1 0.5
    // per axis.
    const float aw[4] = {0.5f, 1.0f, 1.0f, 0.5f};
    float a = 0.0f, b = 0.0f, c = 0.0f;
#pragma unroll
    for (int j = 1; j < 5; ++j) {
#pragma unroll
        for (int i = 1; i < 5; ++i) {
            float gx = 0.5f * (p[j * 6 + i + 1] - p[j * 6 + i - 1]);
            float gy = 0.5f * (p[(j + 1) * 6 + i] - p[(j - 1) * 6 + i]);
            float w = aw[i - 1] * aw[j - 1];
            a += w * gx * gx;
            b += w * gx * gy;
            c += w * gy * gy;
        }
    }
    float halfTrace = 0.5f * (a + c);
    float root = sqrt(0.25f * (a - c) * (a - c) + b * b);
    float s1 = sqrt(halfTrace + root);
    float s2 = sqrt(fmax(halfTrace - root, 0.0f));
    float coherence = (s1 - s2) / (s1 + s2 + 1e-9f);
    float theta = 0.5f * atan2(2.0f * b, a - c);
    if (theta < 0.0f) theta += M_PI_F;
    int angle = min((int)(theta * (24.0f / M_PI_F)), 23);
    float4 limits = vload_half4(0, wt);
    int strength = (s1 >= limits.x) + (s1 >= limits.y);
    int coh = (coherence >= limits.z) + (coherence >= limits.w);
    int row = 1 + (angle * 3 + strength) * 3 + coh;

    float4 acc = (float4)(0.0f);
#pragma unroll
    for (int t = 0; t < 36; ++t) acc += p[t] * vload_half4(row * 36 + t, wt);
    // Anti-ringing: no output beyond the four samples around the corner.
    float lo = fmin(fmin(p[14], p[15]), fmin(p[20], p[21]));
    float hi = fmax(fmax(p[14], p[15]), fmax(p[20], p[21]));
    HOOK_WRITE(dst, u, v, fmin(fmax(acc, lo), hi));
}

// Output (x, y) from its corner's phase.
__kernel void ravuPlace(HOOK_TEXTURE(dst), HOOK_TEXTURE(cells)) {
    int x = get_global_id(0);
    int y = get_global_id(1);
    if (x >= dst_w || y >= dst_h) return;
    float4 cell = HOOK_READ(cells, (x + 1) >> 1, (y + 1) >> 1);
    int phase = ((y + 1) & 1) * 2 + ((x + 1) & 1);
    float value = phase == 0 ? cell.x : phase == 1 ? cell.y : phase == 2 ? cell.z : cell.w;
    HOOK_WRITE(dst, x, y, (float4)(value, 0.0f, 0.0f, 1.0f));
}
