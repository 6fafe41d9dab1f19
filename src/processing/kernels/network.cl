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
//
// `convStrip` is the same layer shaped for CPU devices (built with -DSTRIP):
// see below.

#if defined(CIN) && !defined(STRIP)
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

// `convStrip`: the convolution for CPU devices. A CPU runs a work-group as a
// loop over its work items and vectorises that loop only when its body has
// no loops of its own, which a convolution always has; so here each work item
// is a work-group of its own and vectorises by hand: it makes a strip of
// NV x 8 columns and ROWS rows for CB output channels, COB channels at a time
// in NV x COB float8 accumulators (registers), each tap one broadcast weight
// times NV eight-column input vectors. Per work item the input tile (all CIN
// channels, ROWS + K - 1 rows, the strip plus the halo) is widened to floats
// in local memory once and serves all CB channels; the block's weights are
// staged beside it.
//
// -D options beside CIN, COUT, K, ACT, UPSAMPLE (as for `conv`):
//   NV    eight-column vectors per strip row
//   ROWS  rows per strip
//   COB   output channels per accumulator pass
//   CB    output channels per work item (a multiple of COB); the third grid
//         dimension walks the blocks of CB
// Weights: float, arranged at load time as [block][pass][CIN][K][K][COB]
// (channels beyond COUT are zeros), a multiple of 8 floats; biases float,
// one per padded channel.
#if defined(CIN) && defined(STRIP)
#define R ((K - 1) / 2)
#define SX (NV * 8)
#define SW (SX + K - 1)
#define SWP ((SW + 7) & ~7)
#define SH (ROWS + K - 1)
#define WCOUNT (CB * CIN * K * K)

__kernel __attribute__((reqd_work_group_size(1, 1, 1)))
void convStrip(__global const half* in, int inPitch, int inPlane,
               __global half* out, int outPitch, int outPlane,
               int width, int height, // output size = the padded input's size
               __global const float* weights, __global const float* biases, float slope,
               __local float* tile,   // CIN x SH x SWP input samples, zero beyond the tensor
               __local float* w)      // this block's WCOUNT weights (rounded up to 8)
{
    const int x0 = get_group_id(0) * SX;
    const int y0 = get_group_id(1) * ROWS;
    const int block = get_group_id(2);

    __global const float* wsrc = weights + (size_t)block * WCOUNT;
    for (int i = 0; i < WCOUNT; i += 8) vstore8(vload8(0, wsrc + i), 0, w + i);

    for (int c = 0; c < CIN; ++c) {
        for (int ty = 0; ty < SH; ++ty) {
            __local float* row = tile + (c * SH + ty) * SWP;
            const int Y = y0 + ty - R;
            if (Y < 0 || Y >= height) {
                for (int tx = 0; tx < SWP; tx += 8) vstore8((float8)(0.0f), 0, row + tx);
                continue;
            }
            const int X0 = x0 - R;
#if UPSAMPLE
            __global const half* src = in + c * inPlane + (Y >> 1) * inPitch;
            // Each stored sample twice. x0 is a multiple of 8, so every chunk
            // of 8 starts at the parity of R: even, samples 0 0 1 1 2 2 3 3 of
            // eight loaded from X / 2; odd, 0 1 1 2 2 3 3 4.
            if (X0 >= 0 && ((X0 + SWP - 8) >> 1) + 8 <= (width >> 1)) {
                for (int tx = 0; tx < SWP; tx += 8) {
                    const float8 v = vload_half8(0, src + ((X0 + tx) >> 1));
#if R % 2 == 0
                    vstore8(v.s00112233, 0, row + tx);
#else
                    vstore8(v.s01122334, 0, row + tx);
#endif
                }
                continue;
            }
            for (int tx = 0; tx < SWP; ++tx) {
                const int X = X0 + tx;
                row[tx] = (X >= 0 && X < width && tx < SW) ? vload_half(X >> 1, src) : 0.0f;
            }
#else
            __global const half* src = in + c * inPlane + Y * inPitch;
            if (X0 >= 0 && X0 + SWP <= width) {
                for (int tx = 0; tx < SWP; tx += 8) vstore8(vload_half8(0, src + X0 + tx), 0, row + tx);
                continue;
            }
            for (int tx = 0; tx < SWP; ++tx) {
                const int X = X0 + tx;
                row[tx] = (X >= 0 && X < width && tx < SW) ? vload_half(X, src) : 0.0f;
            }
#endif
        }
    }
    // Beyond SW the fast paths above store real samples rather than zeros;
    // no tap reads there (the last tap reads column SX - 1 + K - 1 < SW).

    for (int ob = 0; ob < CB; ob += COB) {
        __local const float* wb = w + ob * CIN * K * K;
        for (int r = 0; r < ROWS; ++r) {
            const int y = y0 + r;
            if (y >= height) break;
            float8 acc[COB][NV];
#pragma unroll
            for (int o = 0; o < COB; ++o) {
                const float b = biases[block * CB + ob + o];
#pragma unroll
                for (int n = 0; n < NV; ++n) acc[o][n] = (float8)(b);
            }
            for (int c = 0; c < CIN; ++c) {
#pragma unroll
                for (int ky = 0; ky < K; ++ky) {
                    __local const float* trow = tile + (c * SH + r + ky) * SWP;
                    __local const float* wrow = wb + (c * K + ky) * K * COB;
#pragma unroll
                    for (int kx = 0; kx < K; ++kx) {
                        float8 v[NV];
#pragma unroll
                        for (int n = 0; n < NV; ++n) v[n] = vload8(0, trow + kx + 8 * n);
#pragma unroll
                        for (int o = 0; o < COB; ++o) {
                            const float8 wv = (float8)(wrow[kx * COB + o]);
#pragma unroll
                            for (int n = 0; n < NV; ++n) acc[o][n] = fma(wv, v[n], acc[o][n]);
                        }
                    }
                }
            }
#pragma unroll
            for (int o = 0; o < COB; ++o) {
                const int co = block * CB + ob + o;
                if (co >= COUT) break;
                __global half* dst = out + co * outPlane + y * outPitch;
#pragma unroll
                for (int n = 0; n < NV; ++n) {
                    float8 a = acc[o][n];
#if ACT == 1
                    a = fmax(a, 0.0f);
#elif ACT == 2
                    a = select(a, a * slope, a < 0.0f);
#endif
                    const int x = x0 + 8 * n;
                    if (x + 8 <= width) {
                        vstore_half8(a, 0, dst + x);
                    } else {
                        float part[8];
                        vstore8(a, 0, part);
                        for (int i = 0; i < 8 && x + i < width; ++i) vstore_half(part[i], x + i, dst);
                    }
                }
            }
        }
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
