#pragma once

#include "source/Child.h"
#include "source/PictureSource.h"
#include "source/StreamInfo.h"

#include <memory>
#include <string>
#include <vector>

namespace corvel {

// The picture source of TV titles: ffmpeg decodes the part, scales it to
// the title's size (which already includes the sample aspect ratio), turns it
// into P010 at the source's constant rate and writes bare frames to a pipe;
// each frame lands in a pooled Picture carrying the probe's colour.
class FFmpegPictures : public PictureSource {
public:
    explicit FFmpegPictures(StreamInfo info);
    ~FFmpegPictures() override;
    FFmpegPictures(const FFmpegPictures&) = delete;
    FFmpegPictures& operator=(const FFmpegPictures&) = delete;

    void seek(double to) override;
    std::optional<DecodedFrame> read() override;
    SourceColor sourceColor() override { return info_.sourceColor; }
    int sourceBits() override { return info_.sourceBits; }
    bool padsItsTail() const override { return true; }

    // The running ffmpeg's process id, or -1 (for tests that end it early).
    int childPid() const { return child_ ? child_->pid() : -1; }
    // Frames read straight into a picture / through the scratch buffer.
    int64_t directReads() const { return direct_; }
    int64_t copiedReads() const { return copied_; }
    // Sends every frame through the scratch buffer even when the picture's
    // rows could take it straight (for measuring what the direct read saves).
    void setReadThroughScratch(bool always) { alwaysScratch_ = always; }

private:
    void open(int part, double local);

    StreamInfo info_;
    size_t frameBytes_;                 // width x height x 3: P010 luma + interleaved chroma
    std::vector<uint8_t> scratch_;      // one frame, used when the picture's rows are padded
    std::unique_ptr<PicturePool> pool_; // made on first use
    std::unique_ptr<Child> child_;      // none before the first seek and after the end
    int part_ = 0;
    double localStart_ = 0; // seconds into the part where ffmpeg started
    int64_t framesRead_ = 0; // since ffmpeg started
    int64_t direct_ = 0;
    int64_t copied_ = 0;
    bool alwaysScratch_ = false;
};

// ffmpeg's arguments for the pictures of `input` from `local` seconds on.
std::vector<std::string> pictureArguments(const StreamInfo& info, const std::string& input, double local);

// The part that holds title time `t`: the first i with t < offsets[i + 1],
// else the last.
int partAt(const std::vector<double>& offsets, double t);

} // namespace corvel
