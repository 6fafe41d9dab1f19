#include "StandinServer.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace standin {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

bool sendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool sendAll(int fd, const std::string& text) { return sendAll(fd, text.data(), text.size()); }

const char* reason(int status) {
    switch (status) {
    case 200: return "OK";
    case 206: return "Partial Content";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 416: return "Range Not Satisfiable";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

std::string head(int status, const std::string& type, uint64_t length, const std::string& extra = {}) {
    return "HTTP/1.1 " + std::to_string(status) + " " + reason(status) + "\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(length) + "\r\n" + extra + "Connection: close\r\n\r\n";
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string percentDecode(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string percentEncodePath(const std::string& text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// A relative path that stays inside the folder: no "..", no absolute path.
bool safeRelative(const std::string& relative) {
    if (relative.empty() || relative[0] == '/') return false;
    for (const auto& piece : fs::path(relative))
        if (piece == "..") return false;
    return true;
}

// Runs a program and returns its standard output (empty when it cannot run).
std::string capture(const std::vector<std::string>& argv) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0].c_str(), &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    std::string out;
    if (rc == 0) {
        char buffer[65536];
        for (;;) {
            ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            out.append(buffer, static_cast<size_t>(n));
        }
        int status = 0;
        waitpid(pid, &status, 0);
    }
    close(pipeFds[0]);
    return out;
}

bool isMediaFile(const fs::path& path) {
    auto ext = path.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    return ext == ".mp4" || ext == ".m4v" || ext == ".mov" || ext == ".mkv" || ext == ".webm" ||
           ext == ".ts";
}

double numberOf(const json& value) {
    if (value.is_number()) return value.get<double>();
    if (value.is_string()) {
        try {
            return std::stod(value.get<std::string>());
        } catch (...) {
        }
    }
    return 0;
}

} // namespace

StandinServer::StandinServer(std::string folder) : folder_(std::move(folder)) {}

int StandinServer::listen(const std::string& bind, int port) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) return -1;
    int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, bind.c_str(), &address.sin_addr) != 1) return -1;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
    if (::listen(listener_, 128) != 0) return -1;
    socklen_t length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

void StandinServer::serve() {
    for (;;) {
        int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE) continue;
            return;
        }
        std::thread([this, fd] {
            handle(fd);
            ::shutdown(fd, SHUT_WR);
            ::close(fd);
        }).detach();
    }
}

Faults StandinServer::faultsFor(const std::string& kind) {
    std::lock_guard guard(lock_);
    if (!faultsOn_ || (faults_.target != "all" && faults_.target != kind)) return {};
    Faults now = faults_;
    if (faults_.remaining > 0 && --faults_.remaining == 0) faultsOn_ = false;
    return now;
}

void StandinServer::handle(int fd) {
    // Read the head (at most 64 KiB); bodies of control requests are ignored.
    std::string raw;
    char buffer[4096];
    while (raw.find("\r\n\r\n") == std::string::npos && raw.size() < 65536) {
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        raw.append(buffer, static_cast<size_t>(n));
    }
    Request request;
    size_t lineEnd = raw.find("\r\n");
    std::string line = raw.substr(0, lineEnd);
    size_t s1 = line.find(' '), s2 = line.rfind(' ');
    if (s1 == std::string::npos || s2 == s1) {
        sendAll(fd, head(400, "text/plain", 0));
        return;
    }
    request.method = line.substr(0, s1);
    std::string target = line.substr(s1 + 1, s2 - s1 - 1);
    size_t q = target.find('?');
    request.path = percentDecode(target.substr(0, q));
    if (q != std::string::npos) {
        std::string query = target.substr(q + 1);
        size_t at = 0;
        while (at <= query.size()) {
            size_t amp = query.find('&', at);
            std::string pair = query.substr(at, amp == std::string::npos ? std::string::npos : amp - at);
            size_t eq = pair.find('=');
            if (!pair.empty())
                request.query[percentDecode(pair.substr(0, eq))] =
                    eq == std::string::npos ? "" : percentDecode(pair.substr(eq + 1));
            if (amp == std::string::npos) break;
            at = amp + 1;
        }
    }
    size_t at = lineEnd + 2;
    while (at < raw.size()) {
        size_t end = raw.find("\r\n", at);
        if (end == std::string::npos || end == at) break;
        std::string header = raw.substr(at, end - at);
        size_t colon = header.find(':');
        if (colon != std::string::npos) {
            std::string name = header.substr(0, colon);
            std::transform(name.begin(), name.end(), name.begin(),
                           [](unsigned char c) { return std::tolower(c); });
            std::string value = header.substr(colon + 1);
            value.erase(0, value.find_first_not_of(" \t"));
            request.headers[name] = value;
        }
        at = end + 2;
    }

    if (request.path.rfind("/control/", 0) == 0) {
        answerControl(fd, request);
        return;
    }
    if (request.method != "GET" && request.method != "HEAD") {
        sendAll(fd, head(405, "text/plain", 0));
        return;
    }
    {
        std::lock_guard guard(lock_);
        ++stats_.requests;
        // As it arrived, before any decoding: tests check how clients spell
        // their addresses.
        targets_.push_back(target);
        if (targets_.size() > 256) targets_.erase(targets_.begin());
    }
    const std::string itemPrefix = "/v1/items/";
    const std::string mediaPrefix = "/media/";
    if (request.path.rfind(itemPrefix, 0) == 0) {
        {
            std::lock_guard guard(lock_);
            ++stats_.items;
        }
        answerItem(fd, request.path.substr(itemPrefix.size()));
    } else if (request.path.rfind(mediaPrefix, 0) == 0) {
        answerMedia(fd, request, request.path.substr(mediaPrefix.size()));
    } else {
        std::string body = "not found\n";
        sendAll(fd, head(404, "text/plain", body.size()) + body);
    }
}

void StandinServer::answerControl(int fd, const Request& request) {
    std::string body;
    if (request.path == "/control/stats") {
        std::lock_guard guard(lock_);
        body = json{{"requests", stats_.requests},
                    {"items", stats_.items},
                    {"media", stats_.media},
                    {"ranges", stats_.ranges},
                    {"media_bytes", stats_.mediaBytes}}
                   .dump() +
               "\n";
    } else if (request.path == "/control/targets") {
        std::lock_guard guard(lock_);
        body = json(targets_).dump() + "\n";
    } else if (request.path == "/control/reset" && request.method == "POST") {
        std::lock_guard guard(lock_);
        stats_ = {};
        targets_.clear();
        body = "ok\n";
    } else if (request.path == "/control/clear" && request.method == "POST") {
        std::lock_guard guard(lock_);
        faultsOn_ = false;
        faults_ = {};
        body = "ok\n";
    } else if (request.path == "/control/fault" && request.method == "POST") {
        Faults f;
        auto number = [&](const char* name, int64_t fallback) -> int64_t {
            auto it = request.query.find(name);
            if (it == request.query.end()) return fallback;
            try {
                return std::stoll(it->second);
            } catch (...) {
                return fallback;
            }
        };
        auto it = request.query.find("target");
        if (it != request.query.end()) f.target = it->second;
        if (f.target != "all" && f.target != "items" && f.target != "media") {
            body = "target must be all, items or media\n";
            sendAll(fd, head(400, "text/plain", body.size()) + body);
            return;
        }
        f.status = static_cast<int>(number("status", 0));
        f.ignoreRange = number("ignore_range", 0) != 0;
        f.unknownTotal = number("unknown_total", 0) != 0;
        f.delayMs = static_cast<int>(number("delay_ms", 0));
        f.cutBytes = number("cut", -1);
        f.remaining = number("count", -1);
        std::lock_guard guard(lock_);
        faults_ = f;
        faultsOn_ = f.remaining != 0;
        body = "ok\n";
    } else {
        body = "unknown control request\n";
        sendAll(fd, head(404, "text/plain", body.size()) + body);
        return;
    }
    const bool isJson = request.path == "/control/stats" || request.path == "/control/targets";
    sendAll(fd, head(200, isJson ? "application/json" : "text/plain",
                     body.size()) +
                     body);
}

// Sends `status` with a body, playing the delay and cut faults.
static void answer(int fd, const Faults& faults, int status, const std::string& type,
                   const std::string& body, bool headOnly) {
    if (faults.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(faults.delayMs));
    if (faults.status != 0) {
        std::string text = "fault\n";
        sendAll(fd, head(faults.status, "text/plain", text.size()) + text);
        return;
    }
    std::string out = head(status, type, body.size());
    if (!headOnly) {
        size_t keep = faults.cutBytes >= 0 ? std::min(body.size(), static_cast<size_t>(faults.cutBytes))
                                           : body.size();
        out += body.substr(0, keep);
    }
    sendAll(fd, out);
}

void StandinServer::answerItem(int fd, const std::string& id) {
    Faults faults = faultsFor("items");
    int status = 200;
    std::string body = itemJSON(id, status);
    answer(fd, faults, status, status == 200 ? "application/json" : "text/plain", body, false);
}

std::string StandinServer::describeFile(const std::string& relative) {
    {
        std::lock_guard guard(lock_);
        auto it = probeCache_.find(relative);
        if (it != probeCache_.end()) return it->second;
    }
    std::string out = capture({"ffprobe", "-v", "error", "-of", "json", "-show_entries",
                               "format=duration,size,bit_rate:stream=codec_type,codec_name,width,"
                               "height,avg_frame_rate,r_frame_rate,bit_rate",
                               folder_ + "/" + relative});
    std::lock_guard guard(lock_);
    probeCache_[relative] = out;
    return out;
}

// The item answer: a sidecar NAME.json verbatim; a folder NAME/ whose media
// files (sorted by name) are the parts; or a media file NAME.ext as one part.
std::string StandinServer::itemJSON(const std::string& id, int& status) {
    status = 404;
    if (id.empty() || !safeRelative(id)) return "no such title\n";
    std::error_code ec;
    fs::path sidecar = fs::path(folder_) / (id + ".json");
    if (fs::is_regular_file(sidecar, ec)) {
        std::FILE* file = std::fopen(sidecar.c_str(), "rb");
        if (!file) return "no such title\n";
        std::string text;
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
        std::fclose(file);
        status = 200;
        return text;
    }
    std::vector<std::string> parts; // relative paths
    fs::path folder = fs::path(folder_) / id;
    if (fs::is_directory(folder, ec)) {
        for (const auto& entry : fs::directory_iterator(folder, ec))
            if (entry.is_regular_file() && isMediaFile(entry.path()))
                parts.push_back(id + "/" + entry.path().filename().string());
        std::sort(parts.begin(), parts.end());
    } else {
        std::vector<std::string> matches;
        for (const auto& entry : fs::directory_iterator(folder_, ec))
            if (entry.is_regular_file() && isMediaFile(entry.path()) && entry.path().stem() == id)
                matches.push_back(entry.path().filename().string());
        std::sort(matches.begin(), matches.end());
        if (!matches.empty()) parts.push_back(matches.front());
    }
    if (parts.empty()) return "no such title\n";

    json item;
    json video = json::object();
    json partList = json::array();
    double totalBytes = 0;
    for (size_t i = 0; i < parts.size(); ++i) {
        json probe = json::parse(describeFile(parts[i]), nullptr, false);
        json format = probe.is_object() && probe.contains("format") ? probe["format"] : json::object();
        if (i == 0 && probe.is_object() && probe.contains("streams") && probe["streams"].is_array()) {
            for (const auto& stream : probe["streams"]) {
                if (stream.value("codec_type", "") != "video") continue;
                video["codec"] = stream.value("codec_name", "");
                video["width"] = stream.value("width", 0);
                video["height"] = stream.value("height", 0);
                std::string rate = stream.value("avg_frame_rate", "0/0");
                if (rate == "0/0") rate = stream.value("r_frame_rate", "0/0");
                size_t slash = rate.find('/');
                double num = numberOf(json(rate.substr(0, slash)));
                double den = slash == std::string::npos ? 1 : numberOf(json(rate.substr(slash + 1)));
                video["fps_num"] = num;
                video["fps_den"] = den;
                if (den > 0) video["fps"] = num / den;
                double bitRate = stream.contains("bit_rate") ? numberOf(stream["bit_rate"]) : 0;
                if (bitRate > 0) video["bit_rate_bps"] = bitRate;
                break;
            }
        }
        double size = format.contains("size") ? numberOf(format["size"]) : 0;
        totalBytes += size;
        fs::path local = fs::absolute(fs::path(folder_) / parts[i], ec);
        partList.push_back({{"id", id + "-" + std::to_string(i + 1)},
                            {"playable", {{"mode", "direct"}}},
                            {"media_path", "/media/" + percentEncodePath(parts[i])},
                            {"file_name", fs::path(parts[i]).filename().string()},
                            {"local_path", local.string()},
                            {"duration_sec", format.contains("duration") ? numberOf(format["duration"]) : 0.0}});
    }
    item["video"] = video;
    item["stereo"] = json::object();
    item["parts"] = partList;
    item["total_bytes"] = totalBytes;
    status = 200;
    return item.dump() + "\n";
}

void StandinServer::answerMedia(int fd, const Request& request, const std::string& relative) {
    Faults faults = faultsFor("media");
    bool hasRange = request.headers.count("range") > 0;
    {
        std::lock_guard guard(lock_);
        ++stats_.media;
        if (hasRange) ++stats_.ranges;
    }
    bool headOnly = request.method == "HEAD";
    std::string path = folder_ + "/" + relative;
    int file = safeRelative(relative) ? ::open(path.c_str(), O_RDONLY | O_CLOEXEC) : -1;
    struct stat info{};
    if (file < 0 || fstat(file, &info) != 0 || !S_ISREG(info.st_mode)) {
        if (file >= 0) ::close(file);
        answer(fd, faults, 404, "text/plain", "no such file\n", headOnly);
        return;
    }
    if (faults.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(faults.delayMs));
    if (faults.status != 0) {
        ::close(file);
        std::string text = "fault\n";
        sendAll(fd, head(faults.status, "text/plain", text.size()) + text);
        return;
    }
    uint64_t total = static_cast<uint64_t>(info.st_size);
    uint64_t from = 0, to = total; // to: one past the last byte
    int status = 200;
    std::string extra;
    if (hasRange && !faults.ignoreRange) {
        // bytes=a-b, bytes=a- or bytes=-n (one range only).
        const std::string& value = request.headers.at("range");
        bool ok = value.rfind("bytes=", 0) == 0 && value.find(',') == std::string::npos;
        std::string rangeText = ok ? value.substr(6) : "";
        size_t dash = rangeText.find('-');
        ok = ok && dash != std::string::npos;
        try {
            if (ok && dash == 0) {
                uint64_t n = std::stoull(rangeText.substr(1));
                from = n >= total ? 0 : total - n;
            } else if (ok) {
                from = static_cast<uint64_t>(std::stoull(rangeText.substr(0, dash)));
                if (dash + 1 < rangeText.size()) to = std::min<uint64_t>(total, std::stoull(rangeText.substr(dash + 1)) + 1);
            }
        } catch (...) {
            ok = false;
        }
        if (!ok || from >= total || to <= from) {
            ::close(file);
            sendAll(fd, head(416, "text/plain", 0, "Content-Range: bytes */" + std::to_string(total) + "\r\n"));
            return;
        }
        status = 206;
        extra = "Content-Range: bytes " + std::to_string(from) + "-" + std::to_string(to - 1) + "/" +
                (faults.unknownTotal ? std::string("*") : std::to_string(total)) + "\r\n";
    }
    uint64_t length = to - from;
    std::string out = head(status, "video/mp4", length, extra);
    bool sent = sendAll(fd, out);
    uint64_t send = headOnly ? 0 : length;
    if (faults.cutBytes >= 0) send = std::min(send, static_cast<uint64_t>(faults.cutBytes));
    uint64_t done = 0;
    std::vector<char> buffer(1 << 20);
    while (sent && done < send) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), send - done));
        ssize_t n = ::pread(file, buffer.data(), want, static_cast<off_t>(from + done));
        if (n <= 0) break;
        sent = sendAll(fd, buffer.data(), static_cast<size_t>(n));
        if (sent) done += static_cast<uint64_t>(n);
    }
    ::close(file);
    std::lock_guard guard(lock_);
    stats_.mediaBytes += static_cast<int64_t>(done);
}

} // namespace standin
