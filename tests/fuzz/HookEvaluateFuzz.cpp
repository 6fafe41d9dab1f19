// Feeds arbitrary expressions to the size and condition evaluator, with a
// few known sizes. It never fails: every input gives a number.
#include "processing/HookShader.h"

#include <string>

using namespace corvel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string expression(reinterpret_cast<const char*>(data), size);
    const HookSizes sizes = {{"HOOKED", {1920, 1080}}, {"LUMA", {1920, 1080}},
                             {"OUTPUT", {3840, 2160}}, {"w", {1, 2}}, {"", {3, 4}}};
    volatile double value = HookShader::evaluate(expression, sizes);
    (void)value;
    return 0;
}
