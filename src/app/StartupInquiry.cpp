#include "app/StartupInquiry.h"

#include "common/Log.h"
#include "common/WriteAll.h"
#include "compute/ComputeContext.h"

#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <cstring>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace corvel {

namespace {

// A double as the shortest text that reads back to the same value; "-" for none.
std::string number(const std::optional<double>& value) {
    if (!value) return "-";
    char text[64];
    const auto end = std::to_chars(text, text + sizeof text, *value).ptr;
    return std::string(text, end);
}

bool readNumber(const std::string& text, std::optional<double>& value) {
    if (text == "-") {
        value.reset();
        return true;
    }
    double x = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), x);
    if (error != std::errc() || end != text.data() + text.size()) return false;
    value = x;
    return true;
}

} // namespace

std::optional<std::string> runApart(const std::function<std::string()>& work) {
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) return std::nullopt;
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(pipeEnds[0]);
        ::close(pipeEnds[1]);
        return std::nullopt;
    }
    if (child == 0) {
        ::close(pipeEnds[0]);
        int status = 0;
        try {
            if (!writeAll(pipeEnds[1], work())) _exit(3);
        } catch (...) {
            status = 1;
        }
        _exit(status);
    }
    ::close(pipeEnds[1]);
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(pipeEnds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    ::close(pipeEnds[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return std::nullopt;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    return text;
}

// One field a line, in a fixed order: device, upscaler, neuralMs, studentMs,
// mediumMs, neuralBudgetMs, neuralFallback. Method names hold no line breaks.
std::string encodeAnswers(const StartupAnswers& answers) {
    const ServiceOptions& o = answers.picked;
    return std::string(answers.device ? "1" : "0") + "\n" + o.upscaler + "\n" + number(o.neuralMs) + "\n" +
           number(o.studentMs) + "\n" + number(o.mediumMs) + "\n" + number(o.neuralBudgetMs) + "\n" +
           o.neuralFallback + "\n";
}

std::optional<StartupAnswers> decodeAnswers(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    if (lines.size() != 7 || text.back() != '\n' || (lines[0] != "0" && lines[0] != "1")) return std::nullopt;
    StartupAnswers answers;
    answers.device = lines[0] == "1";
    ServiceOptions& o = answers.picked;
    o.upscaler = lines[1];
    std::optional<double> budget;
    if (!readNumber(lines[2], o.neuralMs) || !readNumber(lines[3], o.studentMs) ||
        !readNumber(lines[4], o.mediumMs) || !readNumber(lines[5], budget) || !budget)
        return std::nullopt;
    o.neuralBudgetMs = *budget;
    o.neuralFallback = lines[6];
    return answers;
}

bool askComputeApart(ServiceOptions& options, bool pick,
                     const std::function<void(ServiceOptions&)>& startupPick) {
    // What the child does is exactly what this process would do: the same
    // calls, in the same order, so the same lines reach the log.
    const auto ask = [&](ServiceOptions& o) {
        if (pick) startupPick(o);
        return compute::ComputeContext::available();
    };
    const auto text = runApart([&] {
        ServiceOptions o = options;
        StartupAnswers answers;
        answers.device = ask(o);
        answers.picked = o;
        return encodeAnswers(answers);
    });
    const auto answers = text ? decodeAnswers(*text) : std::nullopt;
    if (!answers) {
        logf("main: the compute checks could not run in a child process; they run here");
        return ask(options);
    }
    const ServiceOptions& o = answers->picked;
    options.upscaler = o.upscaler;
    options.neuralMs = o.neuralMs;
    options.studentMs = o.studentMs;
    options.mediumMs = o.mediumMs;
    options.neuralBudgetMs = o.neuralBudgetMs;
    options.neuralFallback = o.neuralFallback;
    compute::ComputeContext::noteAvailability(answers->device);
    return answers->device;
}

} // namespace corvel
