// The network runner's layers. Tensors are planar half floats: channel c,
// row y, column x at c * plane + y * pitch + x (elements). Activations are
// stored as half floats and every sum is taken in floats.
//
// `conv` is built per layer with -D options:
//   CIN, COUT  input and output channels
//   K          kernel side (odd); zero padding of (K - 1) / 2 on every side
//   COB        output channels per work item (divides COUT); the third grid
//              dimension walks the COUT / COB blocks
//   ACT        0 none, 1 ReLU, 2 leaky ReLU with `slope`
//   UPSAMPLE   1: the stored input is half the output size and is read
//              nearest-neighbour at (x / 2, y / 2), so a 2x upsampling layer
//              never needs a tensor of its own
//   TW, TH     the work-group (and output tile) shape
// Weights: from `weightBase` on, COUT x CIN x K x K half floats, then COUT
// biases.

#ifdef CIN
#define R ((K - 1) / 2)
#define SW (TW + K - 1)
#define SH (TH + K - 1)

__kernel __attribute__((reqd_work_group_size(TW, TH, 1)))
void conv(__global const half* in, int inPitch, int inPlane,
          __global half* out, int outPitch, int outPlane,
          int width, int height, // output size = the padded input's size
          __global const half* weights, int weightBase, float slope,
          __local float* tile,   // CIN x SH x SW input samples around the tile
          __local float* w)      // COB x CIN x K x K weights of this block
{
    const int lx = get_local_id(0);
    const int ly = get_local_id(1);
    const int lid = ly * TW + lx;
    const int x0 = get_group_id(0) * TW;
    const int y0 = get_group_id(1) * TH;
    const int cob = get_group_id(2) * COB;

    for (int i = lid; i < COB * CIN * K * K; i += TW * TH)
        w[i] = vload_half(weightBase + cob * CIN * K * K + i, weights);
    for (int i = lid; i < CIN * SH * SW; i += TW * TH) {
        const int c = i / (SH * SW);
        const int r = i - c * (SH * SW);
        const int ty = r / SW;
        const int tx = r - ty * SW;
        int X = x0 + tx - R;
        int Y = y0 + ty - R;
        float v = 0.0f;
        if (X >= 0 && Y >= 0 && X < width && Y < height) {
#if UPSAMPLE
            X >>= 1;
            Y >>= 1;
#endif
            v = vload_half(c * inPlane + Y * inPitch + X, in);
        }
        tile[i] = v;
    }
    barrier(CLK_LOCAL_MEM_FENCE);

    float acc[COB];
#pragma unroll
    for (int o = 0; o < COB; ++o) acc[o] = vload_half(weightBase + COUT * CIN * K * K + cob + o, weights);
    for (int c = 0; c < CIN; ++c) {
#pragma unroll
        for (int ky = 0; ky < K; ++ky) {
#pragma unroll
            for (int kx = 0; kx < K; ++kx) {
                const float v = tile[(c * SH + ly + ky) * SW + lx + kx];
#pragma unroll
                for (int o = 0; o < COB; ++o) acc[o] += w[((o * CIN + c) * K + ky) * K + kx] * v;
            }
        }
    }
    const int x = x0 + lx;
    const int y = y0 + ly;
    if (x >= width || y >= height) return;
#pragma unroll
    for (int o = 0; o < COB; ++o) {
        float a = acc[o];
#if ACT == 1
        a = fmax(a, 0.0f);
#elif ACT == 2
        a = a < 0.0f ? a * slope : a;
#endif
        vstore_half(a, (cob + o) * outPlane + y * outPitch + x, out);
    }
}
#endif

// 2 x 2 max pooling: output (x, y) of channel c is the largest of input
// (2x .. 2x + 1, 2y .. 2y + 1). Grid: width x height x channels (output).
__kernel void maxPool(__global const half* in, int inPitch, int inPlane,
                      __global half* out, int outPitch, int outPlane, int width, int height)
{
    const int x = get_global_id(0);
    const int y = get_global_id(1);
    const int c = get_global_id(2);
    if (x >= width || y >= height) return;
    __global const half* p = in + c * inPlane + 2 * y * inPitch + 2 * x;
    const float m = fmax(fmax(vload_half(0, p), vload_half(1, p)),
                         fmax(vload_half(inPitch, p), vload_half(inPitch + 1, p)));
    vstore_half(m, c * outPlane + y * outPitch + x, out);
}

// Depth to space with block b: output channel c at (X, Y) is input channel
// c * b * b + (Y mod b) * b + X mod b at (X / b, Y / b). Grid: output width x
// height x channels.
__kernel void depthToSpace(__global const half* in, int inPitch, int inPlane,
                           __global half* out, int outPitch, int outPlane, int width,
                           int height, int block)
{
    const int X = get_global_id(0);
    const int Y = get_global_id(1);
    const int c = get_global_id(2);
    if (X >= width || Y >= height) return;
    const int k = c * block * block + (Y % block) * block + X % block;
    const float v = vload_half(k * inPlane + (Y / block) * inPitch + X / block, in);
    vstore_half(v, c * outPlane + Y * outPitch + X, out);
}
