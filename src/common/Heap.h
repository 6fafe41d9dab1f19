#pragma once

namespace corvel {

// The most heap arenas the allocator keeps. glibc gives each thread that
// allocates an arena of its own, up to eight per core; the pipeline's,
// the encoder's and decoder's worker and the connection threads each leave
// pages behind in theirs that a trim cannot hand back while a few live
// allocations sit on them. Two arenas kept a released service about 8 MB
// closer to a fresh one (bench/service_memory); contention on two is no
// concern at the service's few busy threads (x265 works in its own pools).
inline constexpr int kHeapArenas = 2;

// Bounds the allocator's arenas to kHeapArenas. Called once at start-up,
// before any other thread runs; returns whether the allocator took it.
bool boundHeapArenas();

// Blocks of at least this many bytes get mappings of their own, handed back
// to the system the moment they are freed. glibc starts at this size too,
// but raises it to the largest block freed so far (up to 32 MiB): once the
// first encoder closed, its frame buffers (megabytes each) came from the
// arenas, and an encoder opened and closed per segment left the arenas as
// large as the most that was ever live plus what fragmentation strands
// (720p: 391 MB peak against 286 MB with the size fixed,
// bench/memory_vs_ffmpeg.sh). Pictures are pooled and x265 allocates its
// frames once per encoder, so the extra system calls are a few per picture
// of a segment.
inline constexpr int kMappedBlockBytes = 128 * 1024;

// Fixes the allocator's mapping size at kMappedBlockBytes (which also stops
// it from moving). Called once at start-up; returns whether the allocator
// took it.
bool mapLargeBlocks();

} // namespace corvel
