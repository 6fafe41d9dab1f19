#include "compute/ProgramBuilder.h"

#include "common/Env.h"
#include "common/Spawn.h"
#include "common/WriteAll.h"
#include "compute/ComputeContext.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <set>

extern char** environ;

namespace corvel::compute {

namespace {

void putText(std::string& out, std::string_view text) {
    out += std::to_string(text.size());
    out += '\n';
    out += text;
}

// A count as encodeBuildRequest writes it: decimal digits, no sign, no
// leading zero, at most 12 digits; none otherwise (so that one request has
// one encoding).
std::optional<size_t> takeCount(std::string_view text) {
    if (text.empty() || text.size() > 12 || (text.size() > 1 && text[0] == '0')) return std::nullopt;
    size_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<size_t>(c - '0');
    }
    return value;
}

// Reads one text of encodeBuildRequest's form at `at`, moving `at` past it.
std::optional<std::string_view> takeText(std::string_view bytes, size_t& at) {
    const size_t newline = bytes.find('\n', at);
    if (newline == std::string_view::npos) return std::nullopt;
    const std::optional<size_t> size = takeCount(bytes.substr(at, newline - at));
    if (!size || *size > bytes.size() - newline - 1) return std::nullopt;
    at = newline + 1 + *size;
    return bytes.substr(newline + 1, *size);
}

bool isFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

} // namespace

std::string encodeBuildRequest(const BuildRequest& request) {
    std::string out;
    putText(out, request.device);
    putText(out, request.options);
    putText(out, std::to_string(request.sources.size()));
    for (const std::string& source : request.sources) putText(out, source);
    return out;
}

std::optional<BuildRequest> decodeBuildRequest(std::string_view bytes) {
    size_t at = 0;
    BuildRequest request;
    const auto device = takeText(bytes, at);
    const auto options = device ? takeText(bytes, at) : std::nullopt;
    const auto count = options ? takeText(bytes, at) : std::nullopt;
    if (!count) return std::nullopt;
    const std::optional<size_t> sources = takeCount(*count);
    if (!sources || *sources < 1 || *sources > 64) return std::nullopt;
    request.device = *device;
    request.options = *options;
    for (size_t i = 0; i < *sources; ++i) {
        const auto source = takeText(bytes, at);
        if (!source) return std::nullopt;
        request.sources.emplace_back(*source);
    }
    if (at != bytes.size()) return std::nullopt;
    return request;
}

std::string buildKey(const BuildRequest& request, const std::string& device) {
    // FNV-1a, 64 bits: the same text gives the same name in every process.
    uint64_t hash = 1469598103934665603ull;
    auto mix = [&](std::string_view text) {
        for (const char c : std::to_string(text.size()) + ':') hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
        for (const char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    };
    mix(device);
    mix(rawEnv("POCL_CACHE_DIR").value_or(""));
    mix(request.options);
    for (const std::string& source : request.sources) mix(source);
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

namespace {

std::mutex markLock;
std::set<std::string> marked; // guarded by markLock: built apart by this process

std::string markDirectory() {
    if (std::optional<std::string> chosen = rawEnv("CORVEL_ENHANCE_PROGRAM_MARKS")) return *chosen;
    std::string base = env("XDG_CACHE_HOME", "");
    if (base.empty()) {
        const std::string home = env("HOME", "");
        if (home.empty()) return {};
        base = home + "/.cache";
    }
    return base + "/corvel-enhancer/built-programs";
}

} // namespace

bool builtBefore(const std::string& key) {
    {
        std::lock_guard guard(markLock);
        if (marked.count(key)) return true;
    }
    const std::string directory = markDirectory();
    return !directory.empty() && ::access((directory + "/" + key).c_str(), F_OK) == 0;
}

void noteBuilt(const std::string& key) {
    {
        std::lock_guard guard(markLock);
        marked.insert(key);
    }
    const std::string directory = markDirectory();
    if (directory.empty()) return;
    std::error_code ignored;
    std::filesystem::create_directories(directory, ignored);
    const int fd = ::open((directory + "/" + key).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) ::close(fd);
}

std::string programBuilderPath() {
    if (const std::optional<std::string> chosen = rawEnv("CORVEL_ENHANCE_PROGRAM_BUILDER"))
        return *chosen == "none" || !isFile(*chosen) ? std::string() : *chosen;
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) {
        std::string beside(self, static_cast<size_t>(length));
        beside = beside.substr(0, beside.rfind('/') + 1) + "corvel-program-builder";
        if (isFile(beside)) return beside;
    }
#ifdef CORVEL_PROGRAM_BUILDER_PATH
    if (isFile(CORVEL_PROGRAM_BUILDER_PATH)) return CORVEL_PROGRAM_BUILDER_PATH;
#endif
    return {};
}

bool buildApart(const BuildRequest& request) {
    const std::string path = programBuilderPath();
    if (path.empty()) return false;
    int in[2];
    if (pipe2(in, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    // The service ignores SIGPIPE, and an ignored signal survives exec.
    posix_spawnattr_t attributes;
    initChildSignals(attributes, {SIGPIPE});
    char* argv[] = {const_cast<char*>("corvel-program-builder"), nullptr};
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(in[0]);
    if (rc != 0) {
        close(in[1]);
        return false;
    }
    // A child that dies early closes its end: the write fails with EPIPE
    // (SIGPIPE is ignored here) and the wait below reports the death.
    writeAll(in[1], encodeBuildRequest(request));
    close(in[1]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int programBuilderMain() {
    const std::string bytes{std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>()};
    const std::optional<BuildRequest> request = decodeBuildRequest(bytes);
    if (!request) {
        std::fprintf(stderr, "corvel-program-builder: not a build request\n");
        return 2;
    }
    // This process builds in itself: it is the child.
    setenv("CORVEL_ENHANCE_PROGRAM_BUILDER", "none", 1);
    try {
        auto context = ComputeContext::create(request->device);
        std::vector<const char*> sources;
        for (const std::string& source : request->sources) sources.push_back(source.c_str());
        context->program("apart", sources, request->options);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "corvel-program-builder: %s\n", e.what());
        return 1;
    }
}

} // namespace corvel::compute
