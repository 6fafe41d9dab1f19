// The media server's item answer on arbitrary bytes: every input must end in
// a laid-out title within the limits or an EnhanceError, never in a crash, an
// overflow or a huge allocation. TV titles run with a fixed probe (the widest
// pixel shape a probe reports) so that no child process starts.
#include "common/EnhanceError.h"
#include "source/StreamInfo.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void check(const corvel::StreamInfo& info) {
    // What the rest of the service relies on; a break is a finding.
    if (info.width < 2 || info.height < 2 || info.width > corvel::kMaxPictureSide ||
        info.height > corvel::kMaxPictureSide || info.segments < 0 || info.segments > corvel::kMaxSegments ||
        info.gop < 1 || info.frames < 0 || info.parts.empty() || info.partOffsets.size() != info.parts.size())
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool once = [] {
        corvel::setTitleProber([](const std::string&) {
            corvel::ProbedTitle probe;
            probe.sar = 4.0;
            probe.bits = 10;
            return probe;
        });
        return true;
    }();
    (void)once;
    const std::string body(reinterpret_cast<const char*>(data), size);
    for (bool tv : {false, true}) {
        for (double segSec : {0.5, 4.0}) {
            try {
                check(corvel::streamInfoFromItem("http://127.0.0.1:47800", body, segSec, tv));
            } catch (const corvel::EnhanceError&) {
            }
        }
    }
    return 0;
}
