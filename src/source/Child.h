#pragma once

#include <cstddef>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace corvel {

class JoinableThread;

// One running tool process (ffmpeg, ffprobe). Standard input is /dev/null,
// standard output is a pipe read by the owner's thread, standard error is
// drained by a thread of its own that keeps the last line. Destroying a
// Child ends the process (SIGTERM, SIGKILL after a grace period), reaps it
// and joins the reader: a long-lived service keeps no zombies.
class Child {
public:
    // Starts `tool` (a path) with `arguments` (argv[1...]). Throws
    // EnhanceError "Could not start NAME: REASON".
    Child(const std::string& tool, const std::vector<std::string>& arguments);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Reads standard output until `count` bytes arrived or the stream ended;
    // how many arrived. Owner's thread only.
    size_t read(void* into, size_t count);
    // Exactly `count` bytes, or none when the stream ends first.
    std::optional<std::vector<uint8_t>> read(size_t count);
    // The last non-empty line written to standard error ("" until one).
    std::string lastError() const;
    // The same once the tool has closed its standard error (it has ended),
    // waiting at most `waitMs`: after the end of its output a tool may still
    // be writing the reason.
    std::string finalError(int waitMs = 2000) const;
    // Asks the process to end (SIGTERM) without waiting: a reader blocked on
    // its output then sees the end of the stream. Any thread may call it.
    void terminate();
    pid_t pid() const { return pid_; }
    // The standard-output pipe's descriptor (for single reads).
    int outputDescriptor() const { return output_; }

private:
    void readErrors();

    pid_t pid_ = -1;
    int output_ = -1; // read end of the standard-output pipe
    int errors_ = -1; // read end of the standard-error pipe, owned by the reader thread
    mutable std::mutex lock_;
    std::string lastError_; // guarded by lock_; written by the reader thread
    bool errorsEnded_ = false; // guarded by lock_; the reader saw the end of standard error
    mutable std::condition_variable errorsDone_;
    std::unique_ptr<JoinableThread> reader_;
};

// Whatever one read of at most 65536 bytes returns; none at the end of the
// stream.
std::optional<std::vector<uint8_t>> readSome(Child& child);

// The lines of a chunk of standard error, split at line feed, vertical tab,
// form feed, carriage return, U+0085, U+2028 and U+2029, empty lines dropped;
// none when the chunk is not valid UTF-8.
std::optional<std::vector<std::string>> errorLines(const std::string& chunk);

} // namespace corvel
