#pragma once

#include <cstddef>

namespace corvel::compute {

// Hands the resident pages of the compute runtime's compiler code (the
// libLLVM and libclang libraries a CPU device builds its programs with) back
// to the page cache: they stay mapped and are read back from the cache, or
// the file, the next time a program is built. On the CPU device that code is
// about 50 MB resident once the platform is open, and no kernel runs it.
// Only executable mappings that are unchanged copies of their file (no page
// of their own: nothing written there) are touched, so nothing the process
// made is lost. Returns the resident bytes handed back.
size_t handBackCompilerCode();

} // namespace corvel::compute
