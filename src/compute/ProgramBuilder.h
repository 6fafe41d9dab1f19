#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvel::compute {

// Building a program from source on the CPU device (PoCL) runs the OpenCL C
// compiler inside the building process, and the compiler keeps its state
// (about 110 MB of heap) for as long as any context of the process lives;
// a build that finds the program in the runtime's kernel cache needs none
// of it. So a program that may not be cached yet is first built by a
// short-lived child process (`corvel-program-builder`), which fills the
// cache and exits with that memory; the service's own build then finds it
// there. The outcome is the same either way: the child only warms the
// cache, and the service's build reports any failure as before.

// What the child is asked to build: the device (an index over every
// platform's devices, as ComputeContext::create takes it), the build
// options and the sources in order.
struct BuildRequest {
    std::string device;
    std::string options;
    std::vector<std::string> sources;
};

// The request as the child reads it on its standard input: each text as
// its byte count in decimal, a newline, then its bytes; first the device,
// the options and the number of sources, then the sources.
std::string encodeBuildRequest(const BuildRequest& request);
// None unless `bytes` is exactly one encoded request.
std::optional<BuildRequest> decodeBuildRequest(std::string_view bytes);

// A name for what a request builds on a device: a hash (16 hex digits) of
// `device` (the device's name and driver version), the kernel cache's
// place (POCL_CACHE_DIR) and the request's options and sources.
std::string buildKey(const BuildRequest& request, const std::string& device);

// Whether a child has built `key` into the kernel cache before, in this
// process or an earlier one (a mark file under
// $XDG_CACHE_HOME/corvel-enhancer/built-programs, ~/.cache when unset, or
// under CORVEL_ENHANCE_PROGRAM_MARKS when set; empty: no marks), and
// the note that one has. A mark that outlives the kernel cache (a cache
// cleared by hand) only costs what building in-process always cost.
bool builtBefore(const std::string& key);
void noteBuilt(const std::string& key);

// The builder program's path: CORVEL_ENHANCE_PROGRAM_BUILDER when set
// ("none" or empty: no builder), else corvel-program-builder beside this
// process's executable, else the one of this build tree; empty when none
// of them exists.
std::string programBuilderPath();

// Has the child build the request; true when it did (and the kernel cache
// now holds the program). False, with nothing else changed, when there is
// no builder, it could not be started, or its build failed: the caller
// builds in-process as it would have anyway.
bool buildApart(const BuildRequest& request);

// The child's side: reads a request from standard input, builds it on the
// device it names and exits 0 when the build succeeded, 1 when it failed,
// 2 on a malformed request.
int programBuilderMain();

} // namespace corvel::compute
