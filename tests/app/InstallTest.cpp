// Installs the program into a fresh prefix and runs it from there: the
// installed program must find its shaders and networks on its own.
#include "support/Loopback.h"
#include "support/TempDir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <stb/stb_image_write.h>

#include <vector>

using namespace corvel::test;
using namespace std::chrono_literals;

namespace {

class Installed : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        prefix = new TempDir();
        Process install;
        spawn(install, {CMAKE_COMMAND, "--install", BUILD_DIR, "--prefix", prefix->path()}, {},
              prefix->file("install.out"), prefix->file("install.err"));
        installed = install.wait(120s);
    }
    static void TearDownTestSuite() {
        delete prefix;
        prefix = nullptr;
    }
    // Runs the installed program's --probe with the upscaler `method`, no
    // shader directory configured and the working directory outside the
    // source tree.
    int probe(const std::string& method) {
        Process p;
        spawn(p, {prefix->file("bin/CorvelLiveEnhancer"), "--probe"},
              {{"CORVEL_SHADER_DIR", ""}, {"CORVEL_ENHANCE_UPSCALER", method},
               {"CORVEL_ENHANCE_LOG", dir.file("enhancer.log")}},
              dir.file("stdout"), dir.file("stderr"));
        EXPECT_GT(p.pid, 0);
        return p.wait(120s);
    }
    std::string out() const { return readFile(dir.file("stdout")); }

    static TempDir* prefix;
    static int installed;
    TempDir dir;
};

TempDir* Installed::prefix = nullptr;
int Installed::installed = -1;

} // namespace

TEST_F(Installed, LayoutHasTheProgramAndTheShaderDirectory) {
    ASSERT_EQ(installed, 0) << readFile(prefix->file("install.err"));
    namespace fs = std::filesystem;
    const fs::path shaders = fs::path(prefix->path()) / "share/corvel-live-enhancer/shaders";
    EXPECT_TRUE(fs::is_regular_file(fs::path(prefix->path()) / "bin/CorvelLiveEnhancer"));
    // Every file of the repository's shader directory is installed, networks
    // included.
    const fs::path source = fs::path(SOURCE_DIR) / "shaders";
    int files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(source)) {
        if (!entry.is_regular_file()) continue;
        ++files;
        const fs::path relative = fs::relative(entry.path(), source);
        EXPECT_TRUE(fs::is_regular_file(shaders / relative)) << relative;
        EXPECT_EQ(fs::file_size(shaders / relative), entry.file_size()) << relative;
    }
    EXPECT_GT(files, 4);
}

TEST_F(Installed, ProbeFindsTheHookShadersAndNetworks) {
    ASSERT_EQ(installed, 0) << readFile(prefix->file("install.err"));
    EXPECT_EQ(probe("ravu-lite"), 0) << out();
    EXPECT_NE(out().find(" SHADER upscale available (ravu-lite-ar-r3) "), std::string::npos) << out();
    EXPECT_EQ(probe("neural"), 0) << out();
    EXPECT_NE(out().find(" SHADER upscale available (neural-low, Neural Engine) "), std::string::npos) << out();
}

// The installed --bench runs a hook shader and the tiled 2x engine (the AI
// upscaler's network), both read from the installed shader directory.
TEST_F(Installed, BenchRunsTheShadersAndTheTiledEngine) {
    ASSERT_EQ(installed, 0) << readFile(prefix->file("install.err"));
    const int w = 96, h = 64;
    std::vector<unsigned char> rgb(size_t(w) * h * 3);
    for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<unsigned char>((i * 7919) % 251);
    ASSERT_TRUE(stbi_write_png(dir.file("pic.png").c_str(), w, h, 3, rgb.data(), w * 3));
    Process p;
    spawn(p,
          {prefix->file("bin/CorvelLiveEnhancer"), "--bench", "ravu-lite,vt-ll2", "64x48", "128x96",
           dir.file("pic.png"), "1"},
          {{"CORVEL_SHADER_DIR", ""}, {"CORVEL_ENHANCE_LOG", dir.file("enhancer.log")}}, dir.file("stdout"),
          dir.file("stderr"));
    ASSERT_EQ(p.wait(120s), 0) << out();
    EXPECT_EQ(out().find("failed"), std::string::npos) << out();
    EXPECT_NE(out().find("\nravu-lite-ar-r3 | "), std::string::npos) << out();
    EXPECT_NE(out().find("\nVT low-latency 2x, 1x1 tiles of 64x48, overlap 16 | "), std::string::npos) << out();
}
