#include "common/EnhanceError.h"
#include "processing/Picture.h"

#include <gtest/gtest.h>
#include <set>

using namespace corvel;

TEST(Picture, PlanesDoNotOverlapAndRowsAreAligned) {
    auto p = makePicture(322, 182);
    EXPECT_EQ(p->stride % 32, 0u);
    EXPECT_GE(p->stride, 322u);
    fillPicture(*p, 64, 512, 513);
    // The last luma row stays intact after writing the chroma plane.
    EXPECT_EQ(p->row(0, 181)[321], 64 << 6);
    EXPECT_EQ(p->row(1, 0)[0], 512 << 6);
    EXPECT_EQ(p->row(1, 90)[321], 513 << 6);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p->plane(0)) % 64, 0u);
}

TEST(Picture, OddOrEmptySizesAreRefused) {
    EXPECT_THROW(makePicture(321, 180), EnhanceError);
    EXPECT_THROW(makePicture(0, 180), EnhanceError);
    EXPECT_THROW(makePicture(320, -2), EnhanceError);
    EXPECT_THROW(makePicture(1 << 20, 1 << 20), EnhanceError);
    PicturePool pool(31, 32);
    EXPECT_THROW(pool.take(), EnhanceError);
}

TEST(PicturePool, ReusesReturnedPicturesAndKeepsAtMostMinKept) {
    PicturePool pool(64, 32, 2);
    std::set<Picture*> seen;
    {
        std::vector<PictureRef> held;
        for (int i = 0; i < 4; ++i) held.push_back(pool.take());
        for (auto& p : held) seen.insert(p.get());
        EXPECT_EQ(seen.size(), 4u);
        held[0]->color.primaries = "ITU_R_2020";
    }
    EXPECT_EQ(pool.freeCount(), 2u);
    auto again = pool.take();
    EXPECT_TRUE(seen.count(again.get()));
    EXPECT_TRUE(again->color.primaries.empty()); // attachments do not leak between uses
}

TEST(PicturePool, PicturesMayOutliveThePool) {
    PictureRef kept;
    {
        PicturePool pool(32, 32);
        kept = pool.take();
    }
    fillPicture(*kept, 100, 512, 512);
    EXPECT_EQ(kept->row(0, 31)[31], 100 << 6);
}
