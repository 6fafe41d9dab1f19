#include "common/EnhanceError.h"
#include "compute/ComputeQueue.h"
#include "processing/NetworkDescription.h"
#include "processing/NetworkRunner.h"
#include "processing/NetworkReference.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

using namespace corvel;
using reference::describe;

namespace {

const std::string kConv3 =
    R"({"type": "conv", "inputs": 4, "outputs": 8, "kernel": 3, "activation": "leaky", "slope": 0.1})";

std::string messageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const EnhanceError& error) {
        return error.what();
    }
    return "(no error)";
}

// Bytes of `count` half floats.
std::string weightBytes(size_t count) { return std::string(count * 2, '\x01'); }

std::vector<uint16_t> toHalves(const reference::Tensor& t) {
    std::vector<uint16_t> out(t.values.size());
    for (size_t i = 0; i < out.size(); ++i) out[i] = reference::doubleToHalf(t.values[i]);
    return out;
}

reference::Tensor randomTensor(int channels, int rows, int columns, unsigned seed) {
    reference::Tensor t{channels, rows, columns, {}};
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    t.values.resize(static_cast<size_t>(channels) * rows * columns);
    for (double& v : t.values) v = reference::roundHalf(value(random));
    return t;
}

compute::Mem buffer(compute::ComputeContext& context, size_t bytes) {
    cl_int status = CL_SUCCESS;
    compute::Mem mem(clCreateBuffer(context.context(), CL_MEM_READ_WRITE, bytes, nullptr, &status));
    compute::check(status, "clCreateBuffer");
    return mem;
}

// Runs `network` on the device over `input` (tight layout) and reads back
// the output tensor as doubles.
reference::Tensor runOnDevice(const NetworkDescription& network, const reference::Tensor& input,
                              int maxW, int maxH,
                              NetworkRunner::ConvShape shape = NetworkRunner::ConvShape::Auto) {
    auto context = compute::ComputeContext::shared();
    compute::ComputeQueue queue(context);
    NetworkRunner runner(context, network, maxW, maxH, shape);
    const std::vector<uint16_t> in = toHalves(input);
    compute::Mem inMem = buffer(*context, in.size() * 2);
    queue.write(inMem.get(), 0, in.size() * 2, in.data());
    reference::Tensor out{network.outputChannels, runner.outputSize(input.rows),
                          runner.outputSize(input.columns), {}};
    const size_t count = static_cast<size_t>(out.channels) * out.rows * out.columns;
    compute::Mem outMem = buffer(*context, count * 2);
    auto events = runner.run(queue, inMem.get(), {input.columns, input.columns * input.rows},
                             outMem.get(), {out.columns, out.columns * out.rows}, input.columns,
                             input.rows);
    EXPECT_EQ(compute::ComputeQueue::wait(events.second.get()), CL_SUCCESS);
    std::vector<uint16_t> words(count);
    queue.read(outMem.get(), 0, count * 2, words.data());
    out.values.resize(count);
    for (size_t i = 0; i < count; ++i) out.values[i] = reference::halfToDouble(words[i]);
    return out;
}

// Largest difference in half-float steps at the tensor's largest value
// (one step = one rounding of the largest value; roundings of earlier layers
// pass through later ones, so a few steps are fair).
double worstSteps(const reference::Tensor& got, const reference::Tensor& want) {
    EXPECT_EQ(got.values.size(), want.values.size());
    double largest = 0;
    for (double v : want.values) largest = std::max(largest, std::fabs(v));
    const double step = std::max(largest, 1e-3) / 1024.0;
    double worst = 0;
    for (size_t i = 0; i < std::min(got.values.size(), want.values.size()); ++i)
        worst = std::max(worst, std::fabs(got.values[i] - want.values[i]) / step);
    return worst;
}

} // namespace

TEST(HalfFloat, RoundsToNearestEvenAndBack) {
    EXPECT_EQ(reference::doubleToHalf(1.0), 0x3c00);
    EXPECT_EQ(reference::doubleToHalf(-2.0), 0xc000);
    EXPECT_EQ(reference::doubleToHalf(65504.0), 0x7bff);
    EXPECT_EQ(reference::doubleToHalf(1.0 + 1.0 / 2048), 0x3c00); // tie goes to even
    EXPECT_EQ(reference::doubleToHalf(1.0 + 3.0 / 2048), 0x3c02);
    EXPECT_EQ(reference::doubleToHalf(std::ldexp(1.0, -24)), 0x0001);
    for (uint16_t bits : {0x0001, 0x03ff, 0x0400, 0x3555, 0x7bff, 0xbc01})
        EXPECT_EQ(reference::doubleToHalf(reference::halfToDouble(bits)), bits);
}

TEST(NetworkDescription, ReadsLayersShapesAndWeights) {
    const std::string text = describe(
        "n", "n.bin", 4, 6, 10, 2, 24, 40,
        kConv3 + R"(, {"type": "maxpool"}, {"type": "conv", "inputs": 8, "outputs": 8, "kernel": 5,
           "activation": "relu", "upsample": true},
           {"type": "conv", "inputs": 8, "outputs": 8, "kernel": 1, "upsample": true},
           {"type": "depthToSpace", "block": 2})");
    NetworkDescription d = NetworkDescription::parse(text, "n.json");
    ASSERT_EQ(d.layers.size(), 5u);
    EXPECT_EQ(d.license, "Test licence");
    EXPECT_EQ(d.layers[0].activation, NetworkLayer::Activation::Leaky);
    EXPECT_FLOAT_EQ(d.layers[0].slope, 0.1f);
    EXPECT_EQ(d.layers[2].activation, NetworkLayer::Activation::Relu);
    EXPECT_TRUE(d.layers[2].upsample);
    EXPECT_EQ(d.layers[3].activation, NetworkLayer::Activation::None);
    EXPECT_EQ(d.layers[2].weightOffset, 8u * 4 * 9 + 8);
    EXPECT_EQ(d.weightCount(), (8u * 4 * 9 + 8) + (8u * 8 * 25 + 8) + (8u * 8 + 8));
    EXPECT_EQ(d.scaleNum(), 8);
    EXPECT_EQ(d.scaleDen(), 2);
    // 3x3 4 -> 8 on every cell, then after the pooling a 5x5 8 -> 8 upsampled
    // back to every cell, and a 1x1 8 -> 8 upsampled to four cells per cell.
    EXPECT_DOUBLE_EQ(d.multiplyAddsPerCell(), 9.0 * 4 * 8 + 25.0 * 8 * 8 + 4.0 * 8 * 8);

    const std::string bytes("\x00\x3c\x00\xc0", 4);
    NetworkDescription one = NetworkDescription::parse(
        describe("one", "one.bin", 1, 2, 2, 1, 2, 2, R"({"type": "conv", "inputs": 1, "outputs": 1, "kernel": 1})"),
        "one.json");
    one.takeWeights(reinterpret_cast<const uint8_t*>(bytes.data()), 4, "one.bin");
    EXPECT_EQ(one.weights, (std::vector<uint16_t>{0x3c00, 0xc000})); // little-endian
}

TEST(NetworkDescription, BadDescriptionsAndWeightsAreRefusedWithASentence) {
    const std::string prefix = "The network description d.json is not valid: ";
    auto parse = [](const std::string& text) {
        return messageOf([&] { NetworkDescription::parse(text, "d.json"); });
    };
    EXPECT_EQ(parse("{\"network\": "), prefix + "it is not JSON.");
    EXPECT_EQ(parse("[1, 2]"), prefix + "it is not a JSON object.");
    EXPECT_EQ(parse(R"({"license": "l", "weights": "w"})"), prefix + "no text \"network\".");
    EXPECT_EQ(parse(describe("n", "../w.bin", 4, 6, 10, 8, 6, 10, kConv3)),
              prefix + "the weight file must be a plain file name beside the description.");
    EXPECT_EQ(parse(describe("n", "w.bin", 4, 6, 10, 8, 6, 10, "")), prefix + "it has no layers.");
    EXPECT_EQ(parse(describe("n", "w.bin", 3, 6, 10, 8, 6, 10, kConv3)),
              prefix + "layer 1 takes 4 channels but is given 3.");
    EXPECT_EQ(parse(describe("n", "w.bin", 4, 6, 10, 8, 6, 12, kConv3)),
              prefix + "the layers do not end in the output's shape.");
    EXPECT_EQ(parse(describe("n", "w.bin", 4, 6, 10, 8, 6, 10,
                             R"({"type": "conv", "inputs": 4, "outputs": 8, "kernel": 4})")),
              prefix + "layer 1's kernel side is even.");
    EXPECT_EQ(parse(describe("n", "w.bin", 4, 6, 10, 8, 6, 10,
                             R"({"type": "conv", "inputs": 4, "outputs": 99999, "kernel": 3})")),
              prefix + "layer 1's \"outputs\" is 99999, not 1 ... 1024.");
    EXPECT_EQ(parse(describe("n", "w.bin", 4, 5, 10, 4, 2, 5, R"({"type": "maxpool"})")),
              prefix + "layer 1 pools a tensor of odd size.");
    EXPECT_EQ(parse(describe("n", "w.bin", 4, 6, 10, 8, 6, 10, R"({"type": "softmax"})")),
              prefix + "layer 1 has the unknown type \"softmax\".");
    EXPECT_EQ(parse(describe("n", "w.bin", 4, 6, 10, 8, 6, 10,
                             R"({"type": "conv", "inputs": 4, "outputs": 8, "kernel": 3, "activation": "leaky"})")),
              prefix + "layer 1 has no leaky slope.");

    // Weights: exactly the count the layers need, neither fewer nor more.
    NetworkDescription d = NetworkDescription::parse(describe("n", "w.bin", 4, 6, 10, 8, 6, 10, kConv3), "d.json");
    const std::string shortBytes = weightBytes(d.weightCount()).substr(1);
    EXPECT_EQ(messageOf([&] {
                  d.takeWeights(reinterpret_cast<const uint8_t*>(shortBytes.data()), shortBytes.size(), "w.bin");
              }),
              "The network weights w.bin hold 591 bytes; the description needs 592.");
    const std::string longBytes = weightBytes(d.weightCount() + 1);
    EXPECT_EQ(messageOf([&] {
                  d.takeWeights(reinterpret_cast<const uint8_t*>(longBytes.data()), longBytes.size(), "w.bin");
              }),
              "The network weights w.bin hold 594 bytes; the description needs 592.");
}

TEST(NetworkDescription, LoadsFilesAndNamesTheOneThatFails) {
    test::TempDir dir;
    test::writeFile(dir.file("n.json"), describe("n", "n.bin", 4, 6, 10, 8, 6, 10, kConv3));
    EXPECT_EQ(messageOf([&] { NetworkDescription::load(dir.file("n.json")); }),
              "The network file " + dir.file("n.bin") + " cannot be read.");
    test::writeFile(dir.file("n.bin"), weightBytes(100)); // truncated
    EXPECT_EQ(messageOf([&] { NetworkDescription::load(dir.file("n.json")); }),
              "The network weights n.bin hold 200 bytes; the description needs 592.");
    test::writeFile(dir.file("n.bin"), weightBytes(8 * 4 * 9 + 8));
    const NetworkDescription d = NetworkDescription::load(dir.file("n.json"));
    EXPECT_EQ(d.weights.size(), 8u * 4 * 9 + 8);
    EXPECT_EQ(d.weights[0], 0x0101);
    test::writeFile(dir.file("t.json"), describe("n", "n.bin", 4, 6, 10, 8, 6, 10, kConv3).substr(0, 80));
    EXPECT_EQ(messageOf([&] { NetworkDescription::load(dir.file("t.json")); }),
              "The network description t.json is not valid: it is not JSON.");
}

// Every layer kind and option against the double-precision reference: a
// leaky 3x3, a ReLU 5x5 reading its input upsampled, pooling, a 1x1 with no
// activation, a 7x7 and depth to space.
TEST(NetworkRunner, EveryLayerMatchesTheReferenceWithinRounding) {
    const std::string layers =
        R"({"type": "conv", "inputs": 16, "outputs": 24, "kernel": 3, "activation": "leaky", "slope": 0.2},
           {"type": "conv", "inputs": 24, "outputs": 8, "kernel": 5, "activation": "relu", "upsample": true},
           {"type": "maxpool"},
           {"type": "conv", "inputs": 8, "outputs": 8, "kernel": 7, "activation": "leaky", "slope": 0.1},
           {"type": "conv", "inputs": 8, "outputs": 12, "kernel": 1},
           {"type": "depthToSpace", "block": 2})";
    const int rows = 14;
    const int columns = 22;
    NetworkDescription d = NetworkDescription::parse(
        describe("all", "all.bin", 16, rows, columns, 3, 2 * rows, 2 * columns, layers), "all.json");
    reference::randomWeights(d, 7, 0.25);
    const reference::Tensor input = randomTensor(16, rows, columns, 3);
    const reference::Tensor want = reference::runNetwork(d, input);
    // Float sums in another order can land one rounding away; a wrong tap,
    // weight or channel is hundreds of steps away.
    for (auto shape : {NetworkRunner::ConvShape::WorkGroups, NetworkRunner::ConvShape::Strips}) {
        const reference::Tensor got = runOnDevice(d, input, columns, rows, shape);
        EXPECT_LE(worstSteps(got, want), 4.0) << static_cast<int>(shape);
    }
    double spread = 0;
    for (double v : want.values) spread = std::max(spread, std::fabs(v));
    EXPECT_GT(spread, 0.1); // the case is not all zeros
}

// Running over the part of a tensor that matters plus the network's margin
// gives the same values there as running over all of it.
TEST(NetworkRunner, AMarginAroundThePartGivesTheWholeRunsValues) {
    const std::string layers =
        R"({"type": "conv", "inputs": 4, "outputs": 8, "kernel": 3, "activation": "leaky", "slope": 0.1},
           {"type": "conv", "inputs": 8, "outputs": 8, "kernel": 5, "activation": "leaky", "slope": 0.1},
           {"type": "conv", "inputs": 8, "outputs": 4, "kernel": 3})";
    NetworkDescription d = NetworkDescription::parse(describe("m", "m.bin", 4, 30, 40, 4, 30, 40, layers), "m.json");
    reference::randomWeights(d, 11, 0.3);
    const reference::Tensor whole = randomTensor(4, 30, 40, 5);
    const int partW = 17;
    const int partH = 9;
    const int m = d.margin();
    ASSERT_GE(m, 4); // 1 + 2 + 1 cells of reach
    reference::Tensor cut{4, partH + m, partW + m, {}};
    cut.values.resize(static_cast<size_t>(4) * cut.rows * cut.columns);
    for (int c = 0; c < 4; ++c)
        for (int y = 0; y < cut.rows; ++y)
            for (int x = 0; x < cut.columns; ++x) cut.at(c, y, x) = whole.at(c, y, x);
    const reference::Tensor a = runOnDevice(d, whole, 40, 30);
    const reference::Tensor b = runOnDevice(d, cut, 40, 30);
    for (int c = 0; c < 4; ++c)
        for (int y = 0; y < partH; ++y)
            for (int x = 0; x < partW; ++x) ASSERT_EQ(a.at(c, y, x), b.at(c, y, x)) << c << " " << y << " " << x;
    // Without the margin the edge of the part differs.
    reference::Tensor tight{4, partH, partW, {}};
    tight.values.resize(static_cast<size_t>(4) * partH * partW);
    for (int c = 0; c < 4; ++c)
        for (int y = 0; y < partH; ++y)
            for (int x = 0; x < partW; ++x) tight.at(c, y, x) = whole.at(c, y, x);
    const reference::Tensor t = runOnDevice(d, tight, 40, 30);
    bool differs = false;
    for (int y = 0; y < partH; ++y) differs = differs || t.at(0, y, partW - 1) != a.at(0, y, partW - 1);
    EXPECT_TRUE(differs);
}

// The strip shape over the geometry it must cope with: widths that are not
// whole strips and heights that are not whole strip rows, tensors wide
// enough that rows are staged by the vector paths (and their right ends by
// the sample path), kernel sides 1 to 9 (an odd and an even halo with
// upsampling, whose vector path depends on the halo's parity), output
// channels that are not whole passes, a single input channel, and channels
// too many for one block of weights.
TEST(NetworkRunner, StripsCoverEveryGeometryAndChannelCount) {
    struct Case {
        int cin, rows, columns;
        std::string layers;
        int cout, outRows, outColumns;
    };
    // Few layers each: every distinct layer is a program the device builds.
    const std::vector<Case> cases = {
        {1, 19, 53,
         R"({"type": "conv", "inputs": 1, "outputs": 5, "kernel": 9, "activation": "leaky", "slope": 0.3})",
         5, 19, 53},
        {6, 11, 37,
         R"({"type": "conv", "inputs": 6, "outputs": 7, "kernel": 3, "upsample": true},
            {"type": "conv", "inputs": 7, "outputs": 4, "kernel": 5, "activation": "leaky", "slope": 0.1, "upsample": true})",
         4, 44, 148},
        {4, 10, 34,
         R"({"type": "conv", "inputs": 4, "outputs": 8, "kernel": 7, "activation": "relu", "upsample": true},
            {"type": "maxpool"})",
         8, 10, 34},
        {200, 5, 40,
         R"({"type": "conv", "inputs": 200, "outputs": 262, "kernel": 3, "activation": "leaky", "slope": 0.2},
            {"type": "conv", "inputs": 262, "outputs": 6, "kernel": 1})",
         6, 5, 40},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        NetworkDescription d = NetworkDescription::parse(
            describe("g", "g.bin", c.cin, c.rows, c.columns, c.cout, c.outRows, c.outColumns, c.layers),
            "g.json");
        reference::randomWeights(d, 20 + static_cast<unsigned>(i), 0.5 / std::sqrt(static_cast<double>(c.cin)));
        const reference::Tensor input = randomTensor(c.cin, c.rows, c.columns, 30 + static_cast<unsigned>(i));
        const reference::Tensor want = reference::runNetwork(d, input);
        const reference::Tensor got =
            runOnDevice(d, input, c.columns, c.rows, NetworkRunner::ConvShape::Strips);
        EXPECT_LE(worstSteps(got, want), 4.0) << "case " << i;
        double spread = 0;
        for (double v : want.values) spread = std::max(spread, std::fabs(v));
        EXPECT_GT(spread, 0.05) << "case " << i;
    }
}

// A layer whose tile and one pass of four channels' weights do not fit in
// the CPU device's local memory as strips (9x9 over many channels), but do
// as work-groups of one channel: on a CPU device it still runs, correctly,
// as work-groups; forced to strips it is refused with the runner's
// sentence. PoCL reports its L2 cache as local memory (512 KiB on one of
// our machines, 2 MiB on another), so the layer is the first of 256, 512,
// 1024 or 2048 input channels that strips refuse.
TEST(NetworkRunner, ALayerTooLargeForStripsRunsAsWorkGroups) {
    auto context = compute::ComputeContext::shared();
    for (int cin : {256, 512, 1024, 2048}) {
        NetworkDescription d = NetworkDescription::parse(
            describe("big", "big.bin", cin, 12, 20, 4, 12, 20,
                     R"({"type": "conv", "inputs": )" + std::to_string(cin) +
                         R"(, "outputs": 4, "kernel": 9, "activation": "leaky", "slope": 0.1})"),
            "big.json");
        reference::randomWeights(d, 31, 0.48 / std::sqrt(static_cast<double>(cin)));
        const std::string refused =
            messageOf([&] { NetworkRunner(context, d, 20, 12, NetworkRunner::ConvShape::Strips); });
        if (refused == "(no error)") continue;
        EXPECT_EQ(refused, "The network big's layer 1 needs more local memory than the device has.");
        const reference::Tensor input = randomTensor(cin, 12, 20, 32);
        const reference::Tensor want = reference::runNetwork(d, input);
        EXPECT_LE(worstSteps(runOnDevice(d, input, 20, 12), want), 4.0) << cin << " channels";
        return;
    }
    FAIL() << "strips took a 9x9 layer of 2048 channels";
}

TEST(NetworkRunner, RefusesSizesItWasNotMadeFor) {
    NetworkDescription d = NetworkDescription::parse(
        describe("p", "p.bin", 4, 6, 10, 8, 3, 5, kConv3 + R"(, {"type": "maxpool"})"), "p.json");
    reference::randomWeights(d, 1, 0.1);
    auto context = compute::ComputeContext::shared();
    compute::ComputeQueue queue(context);
    NetworkRunner runner(context, d, 10, 6);
    compute::Mem in = buffer(*context, 4 * 6 * 10 * 2);
    compute::Mem out = buffer(*context, 8 * 3 * 5 * 2);
    EXPECT_EQ(messageOf([&] { runner.run(queue, in.get(), {12, 72}, out.get(), {6, 24}, 12, 6); }),
              "The network p takes up to 10x6 cells, not 12x6.");
    EXPECT_EQ(messageOf([&] { runner.run(queue, in.get(), {9, 54}, out.get(), {5, 15}, 9, 6); }),
              "The network p takes sizes divisible by 2.");
    NetworkDescription empty = d;
    empty.weights.clear();
    EXPECT_EQ(messageOf([&] { NetworkRunner(context, empty, 10, 6); }), "The network p has no weights.");
}
