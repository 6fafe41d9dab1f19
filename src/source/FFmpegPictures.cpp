#include "source/FFmpegPictures.h"

#include "common/EnhanceError.h"
#include "common/Fmt.h"
#include "common/Log.h"
#include "source/FFmpegTool.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace corvel {

namespace {

std::string fixed6(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.6f", value);
    return text;
}

} // namespace

int partAt(const std::vector<double>& offsets, double t) {
    const int count = static_cast<int>(offsets.size());
    for (int i = 0; i + 1 < count; ++i)
        if (t < offsets[static_cast<size_t>(i) + 1]) return i;
    return std::max(count - 1, 0);
}

std::vector<std::string> pictureArguments(const StreamInfo& info, const std::string& input, double local) {
    std::vector<std::string> a{"-hide_banner", "-nostdin", "-loglevel", "error", "-hwaccel", "auto"};
    if (local > 0) a.insert(a.end(), {"-ss", fixed6(local)});
    a.insert(a.end(), {"-i", input, "-map", "0:v:0", "-an", "-sn", "-dn", "-map_chapters", "-1"});
    a.insert(a.end(), {"-vf", "scale=" + std::to_string(info.width) + ":" + std::to_string(info.height) +
                                  ":flags=lanczos,format=p010le"});
    a.insert(a.end(), {"-fps_mode", "cfr", "-r",
                       std::to_string(info.sourceFpsNum) + "/" + std::to_string(info.sourceFpsDen), "-f",
                       "rawvideo", "pipe:1"});
    return a;
}

FFmpegPictures::FFmpegPictures(StreamInfo info)
    : info_(std::move(info)),
      frameBytes_(static_cast<size_t>(info_.width) * static_cast<size_t>(info_.height) * 3) {
    if (info_.width < 2 || info_.height < 2 || (info_.width & 1) || (info_.height & 1) || info_.parts.empty() ||
        info_.partOffsets.size() != info_.parts.size() || info_.sourceFpsNum == 0 || info_.sourceFpsDen == 0)
        throw EnhanceError("No picture buffer for ffmpeg's frames.");
}

FFmpegPictures::~FFmpegPictures() = default;

void FFmpegPictures::seek(double to) {
    const int part = partAt(info_.partOffsets, to);
    open(part, std::max(0.0, to - info_.partOffsets[static_cast<size_t>(part)]));
}

void FFmpegPictures::open(int part, double local) {
    auto tool = ffmpegTool("ffmpeg");
    if (!tool) throw EnhanceError("This Mac has no ffmpeg, which a TV stream needs.");
    child_.reset();
    part_ = part;
    localStart_ = local;
    framesRead_ = 0;
    child_ = std::make_unique<Child>(
        *tool, pictureArguments(info_, toolInput(info_.parts[static_cast<size_t>(part)]), local));
}

std::optional<DecodedFrame> FFmpegPictures::read() {
    if (!pool_) {
        try {
            pool_ = std::make_unique<PicturePool>(info_.width, info_.height);
        } catch (const std::exception&) {
            throw EnhanceError("No picture buffer for ffmpeg's frames.");
        }
    }
    PictureRef picture;
    try {
        picture = pool_->take();
    } catch (const std::exception&) {
        throw EnhanceError("No picture buffer for ffmpeg's frames.");
    }
    // P010 from ffmpeg is luma rows of width words, then width/2 Cb Cr pairs
    // per row at half height: the picture's own layout when its rows carry no
    // padding, so the pipe fills the picture at once; otherwise the frame
    // goes through `scratch` and is copied row by row.
    const auto rowBytes = static_cast<size_t>(info_.width) * 2;
    const bool direct = picture->stride == static_cast<size_t>(info_.width) && !alwaysScratch_;
    for (;;) {
        if (!child_) return std::nullopt;
        uint8_t* target;
        if (direct) {
            target = reinterpret_cast<uint8_t*>(picture->plane(0));
        } else {
            if (scratch_.empty()) scratch_.resize(frameBytes_);
            target = scratch_.data();
        }
        if (child_->read(target, frameBytes_) == frameBytes_) break;
        // The stream ended.
        const std::string error = framesRead_ == 0 ? child_->finalError() : std::string();
        if (framesRead_ == 0 && !error.empty()) {
            child_.reset();
            throw EnhanceError("ffmpeg could not read this title: " + error);
        }
        if (framesRead_ > 0) {
            // The part ends here either way, but a stream cut in the middle
            // (the server went away, a truncated file) would otherwise end
            // the title early without a word: say where and ffmpeg's reason.
            const double reached = localStart_ + static_cast<double>(framesRead_) * info_.sourceFpsDen /
                                                     std::max<uint32_t>(info_.sourceFpsNum, 1);
            const double length = info_.parts[static_cast<size_t>(part_)].durationSec;
            if (length > 0 && reached < length - 1.0) {
                const std::string reason = child_->finalError();
                logf("TV pictures: part " + std::to_string(part_ + 1) + " ended at " + fmt(2, reached) +
                     " s of its " + fmt(2, length) + " s; ffmpeg's last error: " +
                     (reason.empty() ? std::string("none") : reason));
            }
        }
        if (part_ + 1 >= static_cast<int>(info_.parts.size())) {
            child_.reset();
            return std::nullopt;
        }
        open(part_ + 1, 0);
    }
    if (direct) {
        ++direct_;
    } else {
        ++copied_;
        const uint8_t* from = scratch_.data();
        for (int plane = 0; plane < 2; ++plane) {
            for (int y = 0; y < picture->planeHeight(plane); ++y, from += rowBytes)
                std::memcpy(picture->row(plane, y), from, rowBytes);
        }
    }
    picture->color = PictureColor{};
    picture->color.primaries = info_.sourceColor.primaries.value_or("");
    picture->color.transfer = info_.sourceColor.transfer.value_or("");
    picture->color.matrix = info_.sourceColor.matrix.value_or("");

    DecodedFrame frame;
    frame.buffer = std::move(picture);
    frame.pts = info_.partOffsets[static_cast<size_t>(part_)] + localStart_ +
                static_cast<double>(framesRead_) * info_.sourceFpsDen / info_.sourceFpsNum;
    ++framesRead_;
    return frame;
}

} // namespace corvel
