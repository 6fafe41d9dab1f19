#include "processing/ShaderDirectory.h"

#include "common/Env.h"

#include <filesystem>
#include <mutex>
#include <vector>

namespace corvel {
namespace fs = std::filesystem;

namespace {
constexpr const char* kMarker = "ravu-lite-ar-r3.json";

std::mutex overrideLock;
std::optional<std::string> overrideDirectory; // guarded by overrideLock
} // namespace

void setShaderDirectoryOverride(std::optional<std::string> directory) {
    std::lock_guard guard(overrideLock);
    overrideDirectory = std::move(directory);
}

std::optional<std::string> findShaderDirectoryNear(const std::string& executableDir) {
    const fs::path d(executableDir);
    std::vector<fs::path> candidates = {d / ".." / "share" / "corvel-live-enhancer" / "shaders",
                                        d / "shaders"};
    fs::path up = d;
    for (int k = 1; k <= 6; ++k) {
        up = up / "..";
        candidates.push_back(up / "shaders");
    }
    for (const fs::path& candidate : candidates) {
        std::error_code error;
        if (fs::is_regular_file(candidate / kMarker, error)) {
            const fs::path normal = fs::weakly_canonical(candidate, error);
            return (error ? candidate.lexically_normal() : normal).string();
        }
    }
    return std::nullopt;
}

std::optional<std::string> shaderDirectory() {
    {
        std::lock_guard guard(overrideLock);
        if (overrideDirectory) return overrideDirectory;
    }
    const std::string configured = env("CORVEL_SHADER_DIR", "");
    if (!configured.empty()) return configured;
    std::error_code error;
    const fs::path executable = fs::read_symlink("/proc/self/exe", error);
    if (error) return std::nullopt;
    return findShaderDirectoryNear(executable.parent_path().string());
}

} // namespace corvel
