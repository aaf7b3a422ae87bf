// Files are told apart by their bytes: each sample carries a misleading name.
#include "filekind.h"
#include "testsets.h"

#include <gtest/gtest.h>

namespace corvane {
namespace {

using testing::Bytes;

TEST(FileKind, ToldByTheBytesNotTheName) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const auto at = [&](const char* name) { return dir.filePath(QString::fromLatin1(name)); };

    ASSERT_TRUE(testing::writeBytes(at("set8.dds"), testing::makeSet(testing::Form::Eight, 64)));
    ASSERT_TRUE(testing::writeBytes(at("set32.r8"), testing::makeSet(testing::Form::Argb32, 16)));
    ASSERT_TRUE(testing::writeBytes(at("set565.png"), testing::makeSet(testing::Form::Rgb565, 8)));

    // A raw texture whose first texels happen to read "BM".
    Bytes raw(65536);
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = testing::patternByte(i);
    raw[0] = 'B';
    raw[1] = 'M';
    ASSERT_TRUE(testing::writeBytes(at("texture.bmp"), raw));

    Bytes dds(128, 0);
    std::copy_n("DDS ", 4, dds.begin());
    dds[4] = 124;
    ASSERT_TRUE(testing::writeBytes(at("surface.bmp"), dds));

    // A BMP that is no set (not square) is a picture to import.
    ASSERT_TRUE(testing::writeBytes(at("wide.r8"), testing::plainBmp(24, 10, 24)));

    Bytes noise(300);
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = testing::patternByte(i + 7);
    ASSERT_TRUE(testing::writeBytes(at("noise.bmp"), noise));
    ASSERT_TRUE(testing::writeBytes(at("empty.bmp"), {}));

    EXPECT_EQ(classify(at("set8.dds")), FileKind::ExtendedBitmap);
    EXPECT_EQ(classify(at("set32.r8")), FileKind::ExtendedBitmap);
    EXPECT_EQ(classify(at("set565.png")), FileKind::ExtendedBitmap);
    EXPECT_EQ(classify(at("texture.bmp")), FileKind::RawTexture);
    EXPECT_EQ(classify(at("surface.bmp")), FileKind::Dds);
    EXPECT_EQ(classify(at("wide.r8")), FileKind::Picture);
    EXPECT_EQ(classify(at("noise.bmp")), FileKind::Unreadable);
    EXPECT_EQ(classify(at("empty.bmp")), FileKind::Unreadable);
    EXPECT_EQ(classify(at("missing.bmp")), FileKind::Unreadable);
    EXPECT_EQ(classify(dir.path()), FileKind::Unreadable);
}

}  // namespace
}  // namespace corvane
