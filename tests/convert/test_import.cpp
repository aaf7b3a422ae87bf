// Pictures into the set: sizes, refusals, the replacing commands, new and converted sets.
#include "testsets.h"

#include "import.h"
#include "splitjoin.h"

#include <gtest/gtest.h>

#include <Magick++.h>

#include <algorithm>
#include <array>
#include <cmath>

#include <QFileInfo>

using namespace corvane;
using namespace corvane::testing;

namespace {

struct Session {
    Scratch scratch;
    QuorContext context{};
    QuorLibrary library{context};
    SetOptions options;
    Workspace& ws() { return scratch.workspace; }
    QString file(const QString& name, const Bytes& bytes) {
        const QString p = scratch.path(name);
        writeBytes(p, bytes);
        return p;
    }
    void loadSet(Form form, int edge) {
        const CommandOutcome o =
            loadExtended(file("set.bmp", makeSet(form, edge)), BitmapFilter, ws(), library, options);
        ASSERT_TRUE(o.ok) << o.error.toStdString();
    }
};

}  // namespace

TEST(Import, SizeRule) {
    EXPECT_EQ(importSize(300, 200, 256), 256);
    EXPECT_EQ(importSize(100, 40, 256), 128);
    EXPECT_EQ(importSize(8, 8, 256), 16);
    EXPECT_EQ(importSize(600, 600, 512), 512);
    EXPECT_EQ(importSize(257, 10, 512), 512);
    EXPECT_EQ(importSize(40, 40, 64), 64);
    EXPECT_EQ(sizeExponent(512), 9);
    EXPECT_EQ(sizeExponent(16), 4);
}

TEST(Import, LoadAnyImageStretchesToTheImportSize) {
    Session s;
    const CommandOutcome o =
        loadAnyImage(s.file("photo.bmp", plainBmp(100, 40, 24)), s.ws(), s.library, s.options, 256);
    ASSERT_TRUE(o.ok) << o.error.toStdString();
    EXPECT_EQ(s.ws().state().largest, 128);
    EXPECT_EQ(s.ws().state().templateHeader[80], 7);
    EXPECT_EQ(s.ws().status().loadedAs, "Loaded as - Normal Bitmap");
    EXPECT_EQ(s.ws().status().bitmap, "Bitmap - photo.bmp");
    EXPECT_TRUE(s.ws().state().depth.highColour());  // a 24-bit picture becomes a 5-6-5 set
    int w = 0, h = 0, bits = 0;
    ASSERT_TRUE(s.library.check(s.ws().levelPath(128), w, h, bits));
    EXPECT_EQ(w, 128);
    EXPECT_EQ(h, 128);

    // An 8-bit picture stays 8-bit and keeps its palette levels.
    const CommandOutcome eight =
        loadAnyImage(s.file("grey.bmp", plainBmp(600, 600, 8)), s.ws(), s.library, s.options, 512);
    ASSERT_TRUE(eight.ok);
    EXPECT_TRUE(eight.readPalette);
    EXPECT_EQ(s.ws().state().largest, 512);
    EXPECT_EQ(s.ws().state().templateHeader[80], 9);
}

TEST(Import, UnreadableFilesChangeNothing) {
    Session s;
    s.loadSet(Form::EightRecord, 256);
    const StatusLines before = s.ws().status();
    const Bytes slot0 = readBytes(s.ws().slotPath(HeaderSlot));
    const Bytes level = readBytes(s.ws().levelPath(256));
    const QString junk = s.file("junk.png", Bytes(500, 0x5A));
    const TextureToolRun noTool;
    for (const CommandOutcome& o :
         {loadAnyImage(junk, s.ws(), s.library, s.options, 256), mergeImage(junk, s.ws(), s.library, s.options, noTool),
          importStd(junk, s.ws(), s.library), importCfs(junk, s.ws())}) {
        EXPECT_FALSE(o.ok);
        EXPECT_FALSE(o.error.isEmpty());
    }
    EXPECT_EQ(s.ws().status().bitmap, before.bitmap);
    EXPECT_EQ(s.ws().state().largest, 256);
    EXPECT_EQ(readBytes(s.ws().slotPath(HeaderSlot)), slot0);
    EXPECT_EQ(readBytes(s.ws().levelPath(256)), level);
}

TEST(Import, ImportStdTakesOnlyEightBitPicturesAndKeepsTheRecord) {
    Session s;
    s.loadSet(Form::EightRecord, 256);
    const Bytes slot0 = readBytes(s.ws().slotPath(HeaderSlot));
    const Bytes level = readBytes(s.ws().levelPath(256));

    const CommandOutcome refused = importStd(s.file("rgb.bmp", plainBmp(64, 64, 24)), s.ws(), s.library);
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.error, "This is not a 256 Colour Image\n\nOnly 8 bit Images can be Imported");
    EXPECT_EQ(readBytes(s.ws().slotPath(HeaderSlot)), slot0);
    EXPECT_EQ(readBytes(s.ws().levelPath(256)), level);

    const CommandOutcome taken = importStd(s.file("grey.bmp", plainBmp(64, 64, 8)), s.ws(), s.library);
    ASSERT_TRUE(taken.ok) << taken.error.toStdString();
    const Bytes merged = readBytes(s.ws().slotPath(HeaderSlot));
    ASSERT_EQ(merged.size(), 1098u);
    EXPECT_TRUE(std::equal(merged.begin(), merged.begin() + 54, slot0.begin()));
    EXPECT_TRUE(std::equal(merged.begin() + 1078, merged.end(), slot0.begin() + 1078));
    EXPECT_EQ(merged[54 + 4 * 200], 200);  // the grey palette
    EXPECT_EQ(merged[57 + 4 * 200], 200);  // and its levels
    EXPECT_EQ(QFileInfo(s.ws().levelPath(256)).size(), 1078 + 65536);
}

TEST(Import, ImportCfsTakesTheWholeChainFromItsOwnPixelOffset) {
    Session s;
    s.loadSet(Form::Eight, 256);
    const Bytes donor = makeSet(Form::EightRecord, 256);
    const CommandOutcome o = importCfs(s.file("donor.bmp", donor), s.ws());
    ASSERT_TRUE(o.ok) << o.error.toStdString();
    const Bytes two = readBytes(s.ws().levelPath(2));
    ASSERT_EQ(two.size(), 1078u + 8u);
    const size_t at2 = size_t(layout::levelStart(256, 2, 1, 1098));
    EXPECT_EQ((Bytes(two.begin() + 1078, two.end())),
              (Bytes{donor[at2], donor[at2 + 1], 0, 0, donor[at2 + 2], donor[at2 + 3], 0, 0}));
    const Bytes one = readBytes(s.ws().levelPath(1));
    ASSERT_EQ(one.size(), 1082u);
    EXPECT_EQ(one[1078], donor[1098 + 87380]);
    EXPECT_EQ(layout::read32(one, 10), 1078u);
    EXPECT_EQ(layout::read32(one, 18), 1u);

    // Only an 8-bit 256 set is taken.
    const CommandOutcome small = importCfs(s.file("small.bmp", makeSet(Form::Eight, 128)), s.ws());
    EXPECT_FALSE(small.ok);
    const CommandOutcome deep = importCfs(s.file("deep.bmp", makeSet(Form::Rgb565, 256)), s.ws());
    EXPECT_FALSE(deep.ok);
    EXPECT_EQ(readBytes(s.ws().levelPath(2)), two);
}

TEST(Import, NewSixteenBitSetIsBlackAndComplete) {
    Session s;
    s.loadSet(Form::Eight, 512);
    s.ws().state().textureOrigin = true;
    const CommandOutcome o = newSixteenBitSet(s.ws(), s.library, s.options);
    ASSERT_TRUE(o.ok) << o.error.toStdString();
    EXPECT_EQ(s.ws().state().largest, 256);
    EXPECT_FALSE(s.ws().state().textureOrigin);
    EXPECT_EQ(s.ws().status().depth, "--- 16 bit ---");
    EXPECT_EQ(s.ws().status().bitmap, "New Bitmap");
    const QString out = s.scratch.path("new.bmp");
    ASSERT_TRUE(saveSet(s.ws(), out).ok);
    const Bytes saved = readBytes(out);
    ASSERT_EQ(saved.size(), 174848u);
    EXPECT_EQ(saved[80], 8);
    EXPECT_TRUE(std::all_of(saved.begin() + 86, saved.end(), [](uint8_t b) { return b == 0; }));
}

TEST(Convert, FailuresLeaveTheSetAsItWas) {
    Session s;
    s.loadSet(Form::Eight, 64);
    const Bytes slot0 = readBytes(s.ws().slotPath(HeaderSlot));
    const auto failing = [](const QString&, ToolMode) {
        return CommandOutcome::refused(QStringLiteral("tool failed"));
    };
    const CommandOutcome failed =
        convertCurrentImage(SetDepth::Rgb565, s.ws(), s.library, s.options, failing, "set.bmp");
    EXPECT_FALSE(failed.ok);
    EXPECT_EQ(failed.error, "tool failed");
    EXPECT_FALSE(QFileInfo::exists(s.ws().exchangePath()));

    const auto garbage = [](const QString& file, ToolMode) {
        writeBytes(file, Bytes(100, 7));
        return CommandOutcome{};
    };
    const CommandOutcome bad = convertCurrentImage(SetDepth::Rgb565, s.ws(), s.library, s.options, garbage, "set.bmp");
    EXPECT_FALSE(bad.ok);
    EXPECT_FALSE(QFileInfo::exists(s.ws().exchangePath()));
    EXPECT_FALSE(s.ws().state().depth.highColour());
    EXPECT_EQ(readBytes(s.ws().slotPath(HeaderSlot)), slot0);

    const Bytes converted = makeSet(Form::Rgb565, 64);
    const auto tool = [&](const QString& file, ToolMode mode) {
        EXPECT_EQ(mode, ToolMode::Rgb565);
        writeBytes(file, converted);
        return CommandOutcome{};
    };
    const CommandOutcome ok = convertCurrentImage(SetDepth::Rgb565, s.ws(), s.library, s.options, tool, "set.bmp");
    ASSERT_TRUE(ok.ok) << ok.error.toStdString();
    EXPECT_TRUE(s.ws().state().depth.highColour());
    EXPECT_EQ(s.ws().status().bitmap, "Bitmap - set.bmp");
    EXPECT_FALSE(QFileInfo::exists(s.ws().exchangePath()));
}

namespace {

// A photo-like 24-bit picture: smooth colour waves with a little noise.
Bytes photoLike(int edge) {
    Bytes b = plainBmp(edge, edge, 24);
    uint32_t seed = 12345;
    const int row = (edge * 3 + 3) & ~3;
    for (int y = 0; y < edge; ++y)
        for (int x = 0; x < edge; ++x) {
            seed = seed * 1664525u + 1013904223u;
            const int noise = int(seed >> 28) - 8;
            const size_t at = 54 + size_t(y) * size_t(row) + size_t(x) * 3;
            b[at] = uint8_t(std::clamp(int(110 + 90 * std::sin(x / 17.0) * std::cos(y / 23.0)) + noise, 0, 255));
            b[at + 1] = uint8_t(std::clamp(int(140 + 80 * std::sin((x + y) / 31.0)) + noise, 0, 255));
            b[at + 2] = uint8_t(std::clamp(int(90 + 70 * std::cos(x / 11.0 - y / 29.0)) + noise, 0, 255));
        }
    return b;
}

// Mean red, green, blue of an 8-bit level file, in linear light (what the
// eye averages when the level is seen from afar).
std::array<double, 3> meanColour(const Bytes& level, int edge) {
    const auto linear = [](uint8_t v) {
        const double c = v / 255.0;
        return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    std::array<double, 3> sum{};
    const size_t row = (size_t(edge) + 3) & ~size_t(3);
    for (int y = 0; y < edge; ++y)
        for (int x = 0; x < edge; ++x) {
            const size_t entry = 54 + 4 * size_t(level.at(1078 + size_t(y) * row + size_t(x)));
            for (int c = 0; c < 3; ++c) sum[size_t(c)] += linear(level[entry + 2 - size_t(c)]);
        }
    for (double& s : sum) s /= double(edge) * edge;
    return sum;
}

}  // namespace

TEST(CreateImageSet, SmoothedEightBitLevelsKeepTheirMeanColour) {
    // Every level, down to 1x1, shows the largest one's colour within 2% of
    // its light: a resample in gamma space would darken the small ones by a
    // quarter, and plain nearest-colour snapping drifts by several percent.
    for (const int largest : {512, 256, 128}) {
        Session s;
        const QString photo = s.file("photo.bmp", photoLike(largest));
        const QString reduced = s.scratch.path("photo8.bmp");
        ASSERT_TRUE(s.library.anyTo256(photo, reduced));
        ASSERT_TRUE(loadAnyImage(reduced, s.ws(), s.library, s.options, largest).ok);
        ASSERT_FALSE(s.ws().state().depth.highColour());
        ASSERT_EQ(s.ws().state().largest, largest);
        s.options.smooth8 = true;
        s.options.lightening = 0;
        ASSERT_TRUE(createImageSet(s.ws(), s.library, s.options, {}).ok);
        const auto top = meanColour(readBytes(s.ws().levelPath(largest)), largest);
        for (int edge = largest / 2; edge >= 1; edge /= 2) {
            const auto mean = meanColour(readBytes(s.ws().levelPath(edge)), edge);
            for (int c = 0; c < 3; ++c)
                EXPECT_NEAR(mean[size_t(c)], top[size_t(c)], 0.02 * top[size_t(c)])
                    << "set " << largest << " level " << edge << " channel " << c;
        }
    }
}

TEST(Import, EveryCommonFormatBecomesASet) {
    Session s;
    for (const char* format : {"png", "jpg", "psd", "tga", "pcx", "dds", "gif", "tif"}) {
        Magick::Image picture(Magick::Geometry(40, 24), Magick::Color("#3080c0"));
        picture.magick(format);
        const QString path = s.scratch.path(QString("picture.%1").arg(format));
        picture.write(QFile::encodeName(path).toStdString());
        const CommandOutcome o = loadAnyImage(path, s.ws(), s.library, s.options, 256);
        ASSERT_TRUE(o.ok) << format << ": " << o.error.toStdString();
        EXPECT_EQ(s.ws().state().largest, 64) << format;
        EXPECT_EQ(s.ws().status().bitmap, QString("Bitmap - picture.%1").arg(format));
        ASSERT_TRUE(createImageSet(s.ws(), s.library, s.options, {}).ok);
        const QString out = s.scratch.path("out.bmp");
        ASSERT_TRUE(saveSet(s.ws(), out).ok);
        const int bytesPerPixel = s.ws().state().depth.highColour() ? 2 : 1;
        const int header = s.ws().state().depth.highColour() ? 86 : 1078;
        EXPECT_EQ(QFileInfo(out).size(), layout::fileLength(64, bytesPerPixel, header)) << format;
    }
}
