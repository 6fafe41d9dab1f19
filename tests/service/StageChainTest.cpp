// The run's stage chain with the build's real stages on the compute device
// (PoCL here): which stages a title gets, which ones are kept between
// preparations, the order a picture passes them in, and the figures.
#include "service/StageChain.h"

#include "common/EnhanceError.h"
#include "processing/Deband.h"
#include "processing/DeepenBlacks.h"
#include "processing/InverseToneMap.h"
#include "processing/ShaderScaler.h"

#include <gtest/gtest.h>
#include <vector>

using namespace corvel;

namespace {

// The build's factory, counting what it makes.
struct Counted {
    int upscalers = 0, lifts = 0, blacks = 0;
    bool blacksFail = false;

    StageFactory factory() {
        StageFactory real = defaultStageFactory();
        StageFactory f = real;
        f.upscaler = [this, real](const ScaleMethod& m, int iw, int ih, int ow, int oh) {
            ++upscalers;
            return real.upscaler(m, iw, ih, ow, oh);
        };
        f.lift = [this, real](int w, int h, const ToneParams& p) {
            ++lifts;
            return real.lift(w, h, p);
        };
        f.blacks = [this, real]() -> std::unique_ptr<BlacksStage> {
            ++blacks;
            if (blacksFail) throw EnhanceError("No Metal device.");
            return real.blacks();
        };
        return f;
    }
};

StreamInfo title(int w, int h, int ow, int oh, const std::string& upscaler, bool hdr, bool blacks) {
    StreamInfo info;
    info.width = w;
    info.height = h;
    info.outWidth = ow;
    info.outHeight = oh;
    info.upscaler = upscaler;
    info.hdr = hdr;
    info.blacks = blacks;
    return info;
}

// Dark, raised blacks (so deepening has something to do) with detail.
PictureRef scene(int w, int h, int seed) {
    PictureRef p = makePicture(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            p->row(0, y)[x] = static_cast<uint16_t>((110 + (x * 7 + y * 3 + seed) % 200) << 6);
    for (int y = 0; y < h / 2; ++y)
        for (int x = 0; x < w; ++x)
            p->row(1, y)[x] = static_cast<uint16_t>((480 + (x + seed) % 64) << 6);
    return p;
}

// Whether two pictures hold the same samples.
bool same(const Picture& a, const Picture& b) {
    if (a.width != b.width || a.height != b.height) return false;
    for (int y = 0; y < a.height; ++y)
        for (int x = 0; x < a.width; ++x)
            if (a.row(0, y)[x] != b.row(0, y)[x]) return false;
    for (int y = 0; y < a.height / 2; ++y)
        for (int x = 0; x < a.width; ++x)
            if (a.row(1, y)[x] != b.row(1, y)[x]) return false;
    return true;
}

} // namespace

TEST(ServiceStageChain, PreparationKeepsWhatMatchesAndRebuildsWhatChanged) {
    Counted made;
    StageChain chain(made.factory());
    EXPECT_TRUE(chain.empty());

    const StreamInfo base = title(32, 18, 64, 36, "bicubic", true, false);
    chain.prepare(base, ToneParams{});
    ASSERT_NE(chain.upscaler(), nullptr);
    ASSERT_NE(chain.lift(), nullptr);
    EXPECT_EQ(chain.upscaler()->outWidth(), 64);
    EXPECT_EQ(chain.lift()->width, 64);
    const PictureScaler* up = chain.upscaler();
    const LiftStage* lift = chain.lift();

    // The same title again, another tone: both kept.
    ToneParams brighter;
    brighter.contrast += 50;
    chain.prepare(base, brighter);
    EXPECT_EQ(chain.upscaler(), up);
    EXPECT_EQ(chain.lift(), lift);
    EXPECT_EQ(made.upscalers, 1);
    EXPECT_EQ(made.lifts, 1);

    // Another method: only the upscaler is new. Another output size: both.
    chain.prepare(title(32, 18, 64, 36, "bilinear", true, false), brighter);
    EXPECT_EQ(made.upscalers, 2);
    EXPECT_EQ(made.lifts, 1);
    EXPECT_EQ(chain.upscaler()->method().kind, ScaleMethod::Kind::Bilinear);
    chain.prepare(title(32, 18, 96, 54, "bilinear", true, false), brighter);
    EXPECT_EQ(made.upscalers, 3);
    EXPECT_EQ(made.lifts, 2);
    EXPECT_EQ(chain.lift()->height, 54);

    // A title without them drops both; with them again they are made anew.
    chain.prepare(title(32, 18, 32, 18, "", false, false), brighter);
    EXPECT_EQ(chain.upscaler(), nullptr);
    EXPECT_EQ(chain.lift(), nullptr);
    EXPECT_TRUE(chain.empty());
    chain.prepare(base, brighter);
    EXPECT_EQ(made.upscalers, 4);
    EXPECT_EQ(made.lifts, 3);

    // A stage that cannot be made fails the preparation with its sentence;
    // the upscaler it replaced is gone, not left in at the wrong size.
    // (A hook shader this build cannot run; the sentence is the scaler's own.)
    std::string want;
    try {
        ShaderScaler direct(ScaleMethod::parse("NoSuchShader"), 32, 18, 64, 36);
    } catch (const EnhanceError& error) {
        want = error.description();
    }
    ASSERT_FALSE(want.empty());
    try {
        chain.prepare(title(32, 18, 64, 36, "NoSuchShader", true, false), brighter);
        FAIL() << "a shader this build cannot run was made";
    } catch (const EnhanceError& error) {
        EXPECT_EQ(error.description(), want);
    }
    EXPECT_EQ(chain.upscaler(), nullptr);

    // The idle release drops every stage, and with them the pictures their
    // pools kept for the next picture.
    chain.prepare(base, brighter);
    chain.startRun(title(32, 18, 64, 36, "bicubic", true, true));
    ASSERT_NE(chain.blacks(), nullptr);
    const int64_t before = Picture::liveBytes();
    {
        PictureRef out = chain.apply(scene(32, 18, 1), 0.0);
        ASSERT_EQ(out->width, 64);
    }
    EXPECT_GT(Picture::liveBytes(), before); // pooled for the next picture
    chain.release();
    EXPECT_EQ(chain.upscaler(), nullptr);
    EXPECT_EQ(chain.lift(), nullptr);
    EXPECT_EQ(chain.blacks(), nullptr);
    EXPECT_TRUE(chain.empty());
    EXPECT_EQ(Picture::liveBytes(), before);
}

TEST(ServiceStageChain, DeepenedBlacksAreMadePerRunOrSkippedSilently) {
    Counted made;
    StageChain chain(made.factory());
    const StreamInfo dark = title(32, 18, 32, 18, "", false, true);
    chain.startRun(dark);
    ASSERT_NE(chain.blacks(), nullptr);
    auto first = chain.blacks();
    chain.apply(scene(32, 18, 0), 0.0);
    EXPECT_GE(first->floor(), 0.0); // measured

    // The next run keeps the object and starts its measure afresh.
    chain.startRun(dark);
    EXPECT_EQ(chain.blacks(), first);
    EXPECT_EQ(made.blacks, 1);
    EXPECT_LT(chain.blacks()->floor(), 0.0);

    // A title without deepened blacks drops the stage.
    chain.startRun(title(32, 18, 32, 18, "", false, false));
    EXPECT_EQ(chain.blacks(), nullptr);

    // A stage that cannot be made: the run goes on without it.
    made.blacksFail = true;
    EXPECT_NO_THROW(chain.startRun(dark));
    EXPECT_EQ(chain.blacks(), nullptr);
    EXPECT_EQ(made.blacks, 2);
    const PictureRef in = scene(32, 18, 0);
    EXPECT_EQ(chain.apply(in, 0.0), in); // an empty chain hands the picture back
}

// Blacks, then the upscaler, then the lift, each on the previous output: the
// chain's picture equals the same stages applied one after another by hand.
TEST(ServiceStageChain, PicturesPassBlacksThenUpscalerThenLift) {
    Counted made;
    StageChain chain(made.factory());
    const StreamInfo info = title(32, 18, 64, 36, "bicubic", true, true);
    ToneParams tone;
    tone.contrast = 120;
    chain.prepare(info, ToneParams{});
    chain.setTone(tone); // the run's look replaces the preparation's
    chain.startRun(info);

    DeepenBlacks blacks;
    ShaderScaler scaler(ScaleMethod::parse("bicubic"), 32, 18, 64, 36);
    InverseToneMap lift(64, 36, tone);
    for (int i = 0; i < 3; ++i) {
        const PictureRef in = scene(32, 18, i);
        const double t = i * 0.04;
        const PictureRef got = chain.apply(in, t);
        blacks.measure(*in, t);
        const PictureRef want = lift.apply(scaler.scale(blacks.apply(in)));
        ASSERT_EQ(got->width, 64);
        ASSERT_EQ(got->height, 36);
        EXPECT_TRUE(same(*got, *want)) << "picture " << i;
        EXPECT_TRUE(same(*in, *scene(32, 18, i))) << "the input was written to";
    }
    EXPECT_GT(chain.blacks()->lift(), 0.0); // the blacks stage did work

    // A stage's error passes through unchanged: a picture of the wrong size.
    EXPECT_THROW(chain.apply(scene(16, 10, 0), 1.0), EnhanceError);

    // The figures name the stages there are, and only those.
    const StageChain::Figures figures = chain.takeFigures();
    ASSERT_TRUE(figures.upMs.has_value());
    ASSERT_TRUE(figures.hdrMs.has_value());
    EXPECT_GE(*figures.upMs, 0.0);
    const std::string text = figures.logText();
    EXPECT_EQ(text.rfind("; upscaler ", 0), 0u) << text;
    EXPECT_NE(text.find(" ms a picture; HDR lift "), std::string::npos) << text;
    chain.prepare(title(32, 18, 32, 18, "", false, false), tone);
    const StageChain::Figures none = chain.takeFigures();
    EXPECT_FALSE(none.upMs.has_value());
    EXPECT_FALSE(none.hdrMs.has_value());
    EXPECT_EQ(none.logText(), "");
}

TEST(ServiceStageChain, DebandingComesFirstOnlyWhenAskedAndIsReleased) {
    StageChain chain(defaultStageFactory());
    const StreamInfo info = title(32, 18, 64, 36, "bicubic", true, false);
    chain.prepare(info, ToneParams{}, false);
    EXPECT_EQ(chain.deband(), nullptr);
    // Fixed filter: the chain's factory is the build's, pointed at no weights.
    StageFactory factory = defaultStageFactory();
    factory.deband = [](int w, int h) { return makeDebandStage(w, h, std::nullopt); };
    StageChain debanding(factory);
    debanding.prepare(info, ToneParams{}, true);
    ASSERT_NE(debanding.deband(), nullptr);
    EXPECT_EQ(debanding.deband()->width, 32);
    EXPECT_EQ(debanding.deband()->way(), "the fixed filter");
    const DebandStage* kept = debanding.deband();
    debanding.prepare(info, ToneParams{}, true);
    EXPECT_EQ(debanding.deband(), kept); // same size: kept

    Deband deband(32, 18, std::nullopt);
    ShaderScaler scaler(ScaleMethod::parse("bicubic"), 32, 18, 64, 36);
    InverseToneMap lift(64, 36, ToneParams{});
    const PictureRef in = scene(32, 18, 1);
    const PictureRef got = debanding.apply(in, 0.0);
    const PictureRef want = lift.apply(scaler.scale(deband.apply(in)));
    EXPECT_TRUE(same(*got, *want));
    const StageChain::Figures figures = debanding.takeFigures();
    ASSERT_TRUE(figures.debandMs.has_value());
    EXPECT_NE(figures.logText().find(" ms a picture; deband "), std::string::npos) << figures.logText();

    debanding.release();
    EXPECT_EQ(debanding.deband(), nullptr);
    debanding.prepare(info, ToneParams{}, false);
    EXPECT_EQ(debanding.deband(), nullptr);
}
