// The tiled 2x scaler's kernels: cut a tile out of a 10-bit picture into an
// 8-bit 4:2:0 buffer, and put the core of a 2x result back.
//
// 8-bit buffers (the 2x engine's frames) hold luma rows of `pitch` bytes,
// then chroma rows (Cb, Cr interleaved, half the rows) of the same pitch,
// starting `chroma` bytes in. Tile coordinates are input luma pixels, all
// even, so chroma positions are exactly half of them.

// The tile's three corners, 24 bytes as the host writes them.
typedef struct {
    int2 origin;  // top-left of the tile in the input picture
    int2 coreMin; // first pixel the tile owns
    int2 coreMax; // end (exclusive) of what it owns
} Tile;

// A 16-bit word (10-bit code in the upper ten bits) to an 8-bit code, the
// way a decoder that outputs 8 bits quantises: the nearest 10-bit code,
// then the nearest quarter of it, halves up. Code 1023 rounds to 256 and is
// stored as 255.
inline uchar to8(ushort word) {
    uint code10 = min(((uint)word + 32u) >> 6, 1023u);
    return (uchar)min((code10 + 2u) >> 2, 255u);
}
// An 8-bit code back to a word: code x 4 in the top ten bits.
inline ushort to10(uchar code8) { return (ushort)((uint)code8 << 8); }

// One thread per tile luma sample p: 8-bit of the input at p + origin.
__kernel void cropLuma(__global const ushort* picture, uint lumaOffset, int stride, Tile tile,
                       __global uchar* frame, int pitch, int width, int height) {
    int x = get_global_id(0);
    int y = get_global_id(1);
    if (x >= width || y >= height) return;
    ushort word = picture[lumaOffset + (y + tile.origin.y) * stride + x + tile.origin.x];
    frame[y * pitch + x] = to8(word);
}

// One thread per tile chroma pair p: both components at p + origin / 2.
// `width`, `height` count pairs and chroma rows.
__kernel void cropChroma(__global const ushort* picture, uint chromaOffset, int stride, Tile tile,
                         __global uchar* frame, int chroma, int pitch, int width, int height) {
    int x = get_global_id(0);
    int y = get_global_id(1);
    if (x >= width || y >= height) return;
    __global const ushort* pair =
        picture + chromaOffset + (y + tile.origin.y / 2) * stride + 2 * (x + tile.origin.x / 2);
    __global uchar* to = frame + chroma + y * pitch + 2 * x;
    to[0] = to8(pair[0]);
    to[1] = to8(pair[1]);
}

// One thread per output luma sample of the core: q = p + 2 coreMin, read at
// q - 2 origin in the 2x frame. Threads past the core leave.
__kernel void placeLuma(__global const uchar* frame, int pitch, Tile tile, __global ushort* picture,
                        uint lumaOffset, int stride) {
    int2 q = (int2)(get_global_id(0), get_global_id(1)) + 2 * tile.coreMin;
    if (q.x >= 2 * tile.coreMax.x || q.y >= 2 * tile.coreMax.y) return;
    int2 at = q - 2 * tile.origin;
    picture[lumaOffset + q.y * stride + q.x] = to10(frame[at.y * pitch + at.x]);
}

// One thread per output chroma pair of the core: q = p + coreMin (output
// chroma units are input luma units), read at q - origin.
__kernel void placeChroma(__global const uchar* frame, int chroma, int pitch, Tile tile,
                          __global ushort* picture, uint chromaOffset, int stride) {
    int2 q = (int2)(get_global_id(0), get_global_id(1)) + tile.coreMin;
    if (q.x >= tile.coreMax.x || q.y >= tile.coreMax.y) return;
    int2 at = q - tile.origin;
    __global const uchar* pair = frame + chroma + at.y * pitch + 2 * at.x;
    __global ushort* to = picture + chromaOffset + q.y * stride + 2 * q.x;
    to[0] = to10(pair[0]);
    to[1] = to10(pair[1]);
}
