#include "processing/ScaleMethod.h"
#include "processing/ShaderDirectory.h"
#include "support/TempDir.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

using namespace corvel;

TEST(ScaleMethod, KnownWordsInAnyCase) {
    EXPECT_EQ(ScaleMethod::parse("Bicubic").kind, ScaleMethod::Kind::Bicubic);
    EXPECT_EQ(ScaleMethod::parse("CATMULL-ROM").kind, ScaleMethod::Kind::Bicubic);
    EXPECT_EQ(ScaleMethod::parse("stretch").kind, ScaleMethod::Kind::Bilinear);
    EXPECT_EQ(ScaleMethod::parse("FSRCNNX8"), (ScaleMethod{ScaleMethod::Kind::Hook, "FSRCNNX_x2_8-0-4-1"}));
    EXPECT_EQ(ScaleMethod::parse("ravu"), (ScaleMethod{ScaleMethod::Kind::Hook, "ravu-lite-ar-r3"}));
    EXPECT_EQ(ScaleMethod::parse("Neural-HB"), (ScaleMethod{ScaleMethod::Kind::Neural, "neural-hb"}));
}

TEST(ScaleMethod, UnknownWordsNameAHookShaderWithTheirCaseKept) {
    EXPECT_EQ(ScaleMethod::parse("MyShader"), (ScaleMethod{ScaleMethod::Kind::Hook, "MyShader"}));
    EXPECT_EQ(ScaleMethod::parse("auto").description(), "auto");
}

TEST(ScaleMethod, Descriptions) {
    EXPECT_EQ(ScaleMethod::parse("bicubic").description(), "bicubic (Catmull-Rom)");
    EXPECT_EQ(ScaleMethod::parse("bilinear").description(), "bilinear");
    EXPECT_EQ(ScaleMethod::parse("fsrcnnx").description(), "FSRCNNX_x2_8-0-4-1");
    EXPECT_EQ(ScaleMethod::parse("neural-low").description(), "neural-low, Neural Engine");
}

TEST(ShaderDirectory, SearchesBesideAndAboveTheExecutable) {
    test::TempDir root;
    namespace fs = std::filesystem;
    fs::create_directories(root.file("a/b/c/bin"));
    EXPECT_FALSE(findShaderDirectoryNear(root.file("a/b/c/bin")).has_value());

    fs::create_directories(root.file("a/shaders"));
    test::writeFile(root.file("a/shaders/ravu-lite-ar-r3.json"), "{}");
    EXPECT_EQ(findShaderDirectoryNear(root.file("a/b/c/bin")), root.file("a/shaders"));

    // The installed location wins over the folders above.
    fs::create_directories(root.file("a/b/c/share/corvel-live-enhancer/shaders"));
    test::writeFile(root.file("a/b/c/share/corvel-live-enhancer/shaders/ravu-lite-ar-r3.json"), "{}");
    EXPECT_EQ(findShaderDirectoryNear(root.file("a/b/c/bin")),
              root.file("a/b/c/share/corvel-live-enhancer/shaders"));
}

TEST(ShaderDirectory, OverrideThenEnvironment) {
    setenv("CORVEL_SHADER_DIR", "/from/env", 1);
    EXPECT_EQ(shaderDirectory(), "/from/env");
    setShaderDirectoryOverride("/override");
    EXPECT_EQ(shaderDirectory(), "/override");
    setShaderDirectoryOverride(std::nullopt);
    unsetenv("CORVEL_SHADER_DIR");
}
