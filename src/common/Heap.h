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

} // namespace corvel
