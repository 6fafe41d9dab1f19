#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace standin {

// Faults the server plays on the requests they apply to. One set is in force
// at a time; POST /control/fault replaces it, POST /control/clear removes it.
struct Faults {
    std::string target = "all"; // "items", "media" or "all"
    int status = 0;              // answer with this status instead (0: off)
    bool ignoreRange = false;    // media: 200 with the whole file
    bool unknownTotal = false;   // media: Content-Range ".../*"
    int delayMs = 0;             // wait before answering
    int64_t cutBytes = -1;       // send only this many body bytes, then close
    int64_t remaining = -1;      // requests left to play it on (-1: no limit)
};

// Request counts since start or the last POST /control/reset.
struct Stats {
    int64_t requests = 0;   // every request but the control ones
    int64_t items = 0;      // GET /v1/items/...
    int64_t media = 0;      // requests for part bytes
    int64_t ranges = 0;     // of those, the ones carrying a Range header
    int64_t mediaBytes = 0; // body bytes sent for part bytes
};

// A small HTTP/1.1 server standing in for Corvel Server over loopback: item
// answers for the titles of one folder and their parts' bytes with real byte
// ranges. One thread per connection, one request per connection.
class StandinServer {
public:
    explicit StandinServer(std::string folder);

    // Binds and listens; returns the bound port, or -1.
    int listen(const std::string& bind, int port);
    // Accepts connections until the process ends.
    void serve();

private:
    struct Request {
        std::string method;
        std::string path; // decoded, without the query
        std::map<std::string, std::string> query;
        std::map<std::string, std::string> headers; // lower-case names
    };

    void handle(int fd);
    void answerItem(int fd, const std::string& id);
    void answerMedia(int fd, const Request& request, const std::string& relative);
    void answerControl(int fd, const Request& request);
    // The faults for one request of `kind` ("items" or "media"), consuming one
    // use of a limited fault; the default set when none applies.
    Faults faultsFor(const std::string& kind);
    std::string itemJSON(const std::string& id, int& status);
    std::string describeFile(const std::string& relative);

    std::string folder_;
    int listener_ = -1;
    std::mutex lock_; // guards faults_, stats_ and probeCache_
    Faults faults_;
    bool faultsOn_ = false;
    Stats stats_;
    std::map<std::string, std::string> probeCache_; // relative path -> ffprobe JSON
    std::vector<std::string> targets_; // raw request targets, oldest first (last 256)
};

} // namespace standin
