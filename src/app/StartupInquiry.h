#pragma once

#include "service/ServiceOptions.h"

#include <functional>
#include <optional>
#include <string>

namespace corvel {

// Runs `work` in a child process (fork) and returns the text it returned.
// None when no child could be made, `work` threw, or the child ended any
// other way than by returning (a crash of a driver, say). The child shares
// the log file and writes its own lines there; it ends with _exit, so no
// exit handler or buffered output of this process runs twice. Call it before
// the process has threads that hold locks the child's work needs.
std::optional<std::string> runApart(const std::function<std::string()>& work);

// The answers of start-up's questions to the compute runtime, as the child
// hands them over: whether a device exists (the summary line's frame
// interpolation support) and the options the upscaler pick fills.
struct StartupAnswers {
    bool device = false;
    ServiceOptions picked; // only the pick's fields are carried
};
std::string encodeAnswers(const StartupAnswers& answers);
// None when `text` is not what encodeAnswers makes.
std::optional<StartupAnswers> decodeAnswers(const std::string& text);

// Start-up's questions to the compute runtime: the "auto" upscaler pick when
// `pick` (it fills the options and logs its line) and whether a device
// exists. Asked in a child, so that this process maps the runtime (its
// compiler libraries are about 60 MB resident on the CPU device) only when a
// title first needs a stage; the answers, the options filled and the log
// lines are those of asking here, which is what happens when the child fails.
// The device's presence is noted with the compute context; returns it.
bool askComputeApart(ServiceOptions& options, bool pick,
                     const std::function<void(ServiceOptions&)>& startupPick);

} // namespace corvel
