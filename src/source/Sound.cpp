#include "source/Sound.h"

#include "common/EnhanceError.h"
#include "common/Fmt.h"
#include "common/Log.h"
#include "common/Thread.h"
#include "source/FFmpegPictures.h"
#include "source/FFmpegTool.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <span>

namespace corvel {

namespace {

std::string printed(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

uint32_t u32(std::span<const uint8_t> b, size_t at) {
    return (uint32_t{b[at]} << 24) | (uint32_t{b[at + 1]} << 16) | (uint32_t{b[at + 2]} << 8) | b[at + 3];
}
uint64_t u64(std::span<const uint8_t> b, size_t at) { return (uint64_t{u32(b, at)} << 32) | u32(b, at + 4); }

// The body of the first child box of `type` inside `body`; none when absent
// or when the walk meets a malformed box.
std::optional<std::span<const uint8_t>> child(std::span<const uint8_t> body, const char* type) {
    size_t at = 0;
    while (body.size() - at >= 8) {
        uint64_t size = u32(body, at);
        size_t header = 8;
        if (size == 1) {
            if (body.size() - at < 16) return std::nullopt;
            size = u64(body, at + 8);
            header = 16;
        } else if (size == 0) {
            size = body.size() - at;
        }
        if (size < header || size > body.size() - at) return std::nullopt;
        if (std::equal(type, type + 4, body.begin() + static_cast<ptrdiff_t>(at + 4)))
            return body.subspan(at + header, static_cast<size_t>(size) - header);
        at += static_cast<size_t>(size);
    }
    return std::nullopt;
}

std::optional<std::span<const uint8_t>> path(std::span<const uint8_t> body, std::initializer_list<const char*> types) {
    std::optional<std::span<const uint8_t>> at = body;
    for (const char* type : types) {
        at = child(*at, type);
        if (!at) return std::nullopt;
    }
    return at;
}

// Ticks of one time scale in 48 kHz ticks, rounded half away from zero.
int64_t toTicks(double scale, int64_t value) { return static_cast<int64_t>(std::llround(scale * static_cast<double>(value))); }

} // namespace

std::vector<std::string> soundArguments(const SoundPlan& plan, const std::string& input, double from,
                                        std::optional<double> seconds) {
    std::vector<std::string> a{"-hide_banner", "-nostdin", "-loglevel", "error"};
    if (from > 0) a.insert(a.end(), {"-ss", printed("%.6f", from)});
    if (seconds) a.insert(a.end(), {"-t", printed("%.3f", *seconds)});
    a.insert(a.end(), {"-copyts", "-start_at_zero", "-i", input, "-map", "0:a:" + std::to_string(plan.ordinal), "-vn",
                       "-sn", "-dn", "-map_chapters", "-1", "-map_metadata", "-1"});
    switch (plan.treatment()) {
    case SoundPlan::Treatment::copy:
        a.insert(a.end(), {"-c:a", "copy"});
        // AAC from MPEG-TS comes with ADTS headers, which the MP4 writer
        // refuses; the filter strips them and passes other AAC unchanged.
        if (plan.codec == "aac") a.insert(a.end(), {"-bsf:a", "aac_adtstoasc"});
        break;
    case SoundPlan::Treatment::eac3:
        a.insert(a.end(), {"-c:a", "eac3", "-b:a", "640k", "-ac", "6", "-ar", "48000"});
        break;
    case SoundPlan::Treatment::aac:
        a.insert(a.end(), {"-c:a", "aac", "-b:a", "192k", "-ac", "2", "-ar", "48000"});
        break;
    }
    a.insert(a.end(), {"-avoid_negative_ts", "disabled", "-f", "mp4", "-movflags",
                       "delay_moov+default_base_moof+frag_discont", "-frag_duration", "500000", "pipe:1"});
    return a;
}

void readBoxes(const ByteReader& read, const std::function<bool(const std::string&, Bytes&&)>& handler) {
    for (;;) {
        uint8_t head[16];
        if (read(head, 8) != 8) return;
        uint64_t size = u32(head, 0);
        std::string type(reinterpret_cast<const char*>(head + 4), 4);
        for (char c : type)
            if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) type = "????";
        size_t header = 8;
        if (size == 1) {
            if (read(head + 8, 8) != 8) return;
            size = u64(head, 8);
            header = 16;
            if (size < 16) return;
        } else if (size < 8) {
            return; // 0 (to the end of the stream) included: ffmpeg's fragments never use it
        }
        const uint64_t bodySize = size - header;
        if (bodySize >= (uint64_t{1} << 31)) return;
        Bytes body(static_cast<size_t>(bodySize));
        if (read(body.data(), body.size()) != body.size()) return;
        if (!handler(type, std::move(body))) return;
    }
}

void readBoxes(Child& child, const std::function<bool(const std::string&, Bytes&&)>& handler) {
    readBoxes([&](uint8_t* into, size_t count) { return child.read(into, count); }, handler);
}

void SoundFragments::parseMoov(const Bytes& moov) {
    const std::span<const uint8_t> body(moov);
    if (auto trex = path(body, {"mvex", "trex"}); trex && trex->size() >= 20) {
        defaultDuration = u32(*trex, 12);
        defaultSize = u32(*trex, 16);
    }
    auto trak = child(body, "trak");
    if (!trak) return;
    if (auto mdhd = path(*trak, {"mdia", "mdhd"}); mdhd && !mdhd->empty()) {
        const size_t at = (*mdhd)[0] == 1 ? 20 : 12;
        // A time scale of 0 would make every tick infinite: keep 48 kHz.
        if (mdhd->size() >= at + 4 && u32(*mdhd, at) != 0) timescale = u32(*mdhd, at);
    }
    if (auto stsd = path(*trak, {"mdia", "minf", "stbl", "stsd"}); stsd && stsd->size() >= 16) {
        const uint32_t size = u32(*stsd, 8);
        if (size >= 8 && size <= stsd->size() - 8) entry = Bytes(stsd->begin() + 8, stsd->begin() + 8 + size);
    }
}

void SoundFragments::parseMoof(const Bytes& moof) {
    // ffmpeg's fragments hold about half a second; headers announcing more
    // samples than this before an mdat are malformed, and believing them
    // would fill memory with samples that carry no bytes of their own.
    constexpr uint32_t kMostSamples = 1 << 16;
    auto traf = child(std::span<const uint8_t>(moof), "traf");
    if (!traf) return;
    auto tfhd = child(*traf, "tfhd"), tfdt = child(*traf, "tfdt");
    if (!tfhd || !tfdt || tfhd->size() < 8 || tfdt->size() < 8) return;

    const uint32_t flags = u32(*tfhd, 0) & 0xFFFFFF;
    size_t at = 8;
    uint32_t duration = defaultDuration, size = defaultSize;
    auto field = [&](std::span<const uint8_t> box, size_t& pos, uint32_t* out) {
        if (box.size() < pos + 4) return false;
        if (out) *out = u32(box, pos);
        pos += 4;
        return true;
    };
    if (flags & 0x1) at += 8;
    if (flags & 0x2) at += 4;
    if ((flags & 0x8) && !field(*tfhd, at, &duration)) return;
    if ((flags & 0x10) && !field(*tfhd, at, &size)) return;

    int64_t tick;
    if ((*tfdt)[0] == 1) {
        if (tfdt->size() < 12) return;
        const uint64_t t = u64(*tfdt, 4);
        tick = t > static_cast<uint64_t>(std::numeric_limits<int64_t>::max() / 2) ? 0 : static_cast<int64_t>(t);
    } else {
        tick = u32(*tfdt, 4);
    }

    // Every trun of the traf, in order.
    std::span<const uint8_t> rest = *traf;
    while (auto trun = child(rest, "trun")) {
        const size_t consumed = static_cast<size_t>(trun->data() + trun->size() - rest.data());
        rest = rest.subspan(consumed);
        if (trun->size() < 8) continue;
        const uint32_t tflags = u32(*trun, 0) & 0xFFFFFF;
        const uint32_t count = u32(*trun, 4);
        if (count > kMostSamples - std::min<size_t>(pending.size(), kMostSamples)) return;
        size_t pos = 8;
        if ((tflags & 0x1) && !field(*trun, pos, nullptr)) return;
        if ((tflags & 0x4) && !field(*trun, pos, nullptr)) return;
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t d = duration, s = size;
            if ((tflags & 0x100) && !field(*trun, pos, &d)) return;
            if ((tflags & 0x200) && !field(*trun, pos, &s)) return;
            if ((tflags & 0x400) && !field(*trun, pos, nullptr)) return;
            if ((tflags & 0x800) && !field(*trun, pos, nullptr)) return;
            pending.emplace_back(tick, d, s);
            tick += d;
        }
    }
}

void SoundFragments::take(const std::string& type, const Bytes& body, const std::function<void(Samples&&)>& samples) {
    if (type == "moov") {
        parseMoov(body);
    } else if (type == "moof") {
        parseMoof(body);
    } else if (type == "mdat") {
        Samples out;
        size_t at = 0;
        for (const auto& [tick, duration, size] : pending) {
            if (size > body.size() - at) break;
            out.emplace_back(tick, duration, Bytes(body.begin() + static_cast<ptrdiff_t>(at),
                                                   body.begin() + static_cast<ptrdiff_t>(at + size)));
            at += size;
        }
        pending.clear();
        samples(std::move(out));
    }
}

Bytes soundSampleEntry(const SoundPlan& plan, const std::string& input) {
    auto tool = ffmpegTool("ffmpeg");
    if (!tool) throw EnhanceError("This Mac has no ffmpeg, which a TV stream needs.");
    Child child(*tool, soundArguments(plan, input, 0, 1.0));
    SoundFragments fragments;
    readBoxes(child, [&](const std::string& type, Bytes&& body) {
        fragments.take(type, body, [](SoundFragments::Samples&&) {});
        return !fragments.entry;
    });
    if (!fragments.entry) {
        throw EnhanceError("ffmpeg gave no sound description: " + child.finalError());
    }
    return *fragments.entry;
}

SoundReader::SoundReader(StreamInfo info, SoundPlan plan, double from)
    : info_(std::move(info)), plan_(std::move(plan)) {
    takenTick_ = static_cast<int64_t>(from * 48000);
    thread_ = std::make_unique<JoinableThread>("sound", 256 * 1024, [this, from] { loop(from); });
}

SoundReader::~SoundReader() {
    stop();
    thread_.reset();
}

void SoundReader::stop() {
    std::lock_guard<std::mutex> guard(lock_);
    stopped_ = true;
    if (child_) child_->terminate();
    cond_.notify_all();
}

int64_t SoundReader::reachedTick() const {
    std::lock_guard<std::mutex> guard(lock_);
    return reachedTick_;
}

bool SoundReader::finished() const {
    std::lock_guard<std::mutex> guard(lock_);
    return finished_;
}

void SoundReader::loop(double from) {
    auto finish = [this] {
        std::lock_guard<std::mutex> guard(lock_);
        finished_ = true;
        child_.reset();
        cond_.notify_all();
    };
    auto tool = ffmpegTool("ffmpeg");
    if (!tool || info_.parts.empty() || info_.partOffsets.size() != info_.parts.size()) return finish();
    const int first = partAt(info_.partOffsets, from);
    double local = std::max(0.0, from - info_.partOffsets[static_cast<size_t>(first)]);
    for (size_t part = static_cast<size_t>(first); part < info_.parts.size(); ++part, local = 0) {
        const auto partTick = static_cast<int64_t>(info_.partOffsets[part] * 48000);
        std::shared_ptr<Child> child;
        try {
            child = std::make_shared<Child>(*tool, soundArguments(plan_, toolInput(info_.parts[part]), local, std::nullopt));
        } catch (const EnhanceError& error) {
            logf("sound: " + error.description());
            return finish();
        }
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (stopped_) break;
            child_ = child;
        }
        SoundFragments fragments;
        readBoxes(*child, [&](const std::string& type, Bytes&& body) {
            fragments.take(type, body, [&](SoundFragments::Samples&& batch) {
                handle(std::move(batch), partTick, fragments.timescale);
            });
            std::lock_guard<std::mutex> guard(lock_);
            return !stopped_;
        });
        std::lock_guard<std::mutex> guard(lock_);
        child_.reset();
        if (stopped_) break;
    }
    finish();
}

void SoundReader::handle(SoundFragments::Samples&& batch, int64_t partTick, uint32_t timescale) {
    const double scale = 48000.0 / timescale;
    std::unique_lock<std::mutex> lock(lock_);
    for (auto& [tick, duration, data] : batch) {
        SoundSample sample;
        sample.tick = toTicks(scale, tick) + partTick;
        sample.duration = static_cast<uint32_t>(toTicks(scale, duration));
        sample.data = std::move(data);
        reachedTick_ = sample.tick + sample.duration;
        samples_.push_back(std::move(sample));
    }
    cond_.notify_all();
    cond_.wait(lock, [&] { return stopped_ || takenTick_ + kAheadTicks >= reachedTick_; });
}

std::vector<SoundSample> SoundReader::take(int64_t from, int64_t to, int waitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    std::unique_lock<std::mutex> lock(lock_);
    if (!finished_) {
        while (!finished_ && !stopped_ && reachedTick_ < to) {
            if (cond_.wait_until(lock, deadline) == std::cv_status::timeout) break;
        }
        if (!finished_ && reachedTick_ < to) {
            logf("sound: the reader had reached " + fmt(2, static_cast<double>(reachedTick_) / 48000) +
                 " s when the segment to " + fmt(2, static_cast<double>(to) / 48000) + " s closed");
        }
    }
    size_t n = 0;
    while (n < samples_.size() && samples_[n].tick < to) ++n;
    std::vector<SoundSample> out;
    for (size_t i = 0; i < n; ++i)
        if (samples_[i].tick >= from) out.push_back(std::move(samples_[i]));
    samples_.erase(samples_.begin(), samples_.begin() + static_cast<ptrdiff_t>(n));
    takenTick_ = to;
    cond_.notify_all();
    return out;
}

} // namespace corvel
