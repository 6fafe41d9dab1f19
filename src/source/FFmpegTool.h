#pragma once

#include <optional>
#include <string>
#include <vector>

namespace corvel {

// The path of the executable `name` ("ffmpeg" or "ffprobe"), or none. The
// folders, in order: the folder of $CORVEL_FFMPEG when it is set and not
// empty; "ffmpeg" beside this program, then this program's folder; the fixed
// system folders (/usr/local/bin, /usr/bin); each entry of $PATH. The first
// regular, executable file of that name wins. Reads the environment afresh.
std::optional<std::string> ffmpegTool(const std::string& name);

// Replaces the fixed system folders of the search (tests use it to stand
// for a machine without the tools). Not thread-safe: set it before use.
void setFixedToolFolders(std::vector<std::string> folders);

// The input given to ffmpeg or ffprobe for a part: its local path when the
// server gave a readable one, else its URL.
struct TitlePart;
std::string toolInput(const TitlePart& part);

} // namespace corvel
