#include "source/FFmpegTool.h"

#include "common/Env.h"
#include "source/StreamInfo.h"

#include <filesystem>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace corvel {

namespace {

std::vector<std::string>& fixedFolders() {
    static std::vector<std::string> folders{"/usr/local/bin", "/usr/bin"};
    return folders;
}

bool executableFile(const std::string& path) {
    struct stat info{};
    return stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::string parentOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

void setFixedToolFolders(std::vector<std::string> folders) { fixedFolders() = std::move(folders); }

std::optional<std::string> ffmpegTool(const std::string& name) {
    std::vector<std::string> folders;
    const std::string configured = env("CORVEL_FFMPEG", "");
    if (!configured.empty()) folders.push_back(parentOf(configured));
    // This program's folder from the kernel rather than argv[0], which may be
    // relative to a directory the service has since left.
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        const std::string own = self.parent_path().string();
        folders.push_back(own + "/ffmpeg");
        folders.push_back(own);
    }
    folders.insert(folders.end(), fixedFolders().begin(), fixedFolders().end());
    std::stringstream path(env("PATH", ""));
    for (std::string entry; std::getline(path, entry, ':');)
        if (!entry.empty()) folders.push_back(entry);
    for (const auto& folder : folders) {
        const std::string candidate = (folder == "/" ? "" : folder) + "/" + name;
        if (executableFile(candidate)) return candidate;
    }
    return std::nullopt;
}

std::string toolInput(const TitlePart& part) { return part.localPath ? *part.localPath : part.url; }

} // namespace corvel
