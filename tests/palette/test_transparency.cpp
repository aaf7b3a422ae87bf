// Presets, maps, the transparency view and the palette update.
#include "../imageset/testsets.h"

#include "setcommands.h"
#include "transparency.h"

#include <gtest/gtest.h>

using namespace corvane;
using namespace corvane::testing;

TEST(Presets, GradientIsFormedInExtendedPrecision) {
    LevelTable levels;
    levels.fill(77);
    gradientTo(levels, 9);
    const int expected[] = {0, 28, 56, 84, 113, 141, 169, 198, 226};
    for (int i = 0; i < 9; ++i) EXPECT_EQ(levels[size_t(i)], expected[i]) << i;
    EXPECT_EQ(levels[9], 77);

    levels.fill(77);
    gradientTo(levels, 255);
    for (int i = 0; i < 255; ++i) EXPECT_EQ(levels[size_t(i)], i);
    EXPECT_EQ(levels[255], 77);

    levels.fill(77);
    gradientTo(levels, 0);
    EXPECT_EQ(levels[0], 77);

    colour0Transparent(levels);
    EXPECT_EQ(levels[0], 0);
    EXPECT_EQ(levels[1], 255);
    allTo(levels, 400);
    EXPECT_EQ(levels[3], 255);
}

TEST(Maps, RoundTripShortAndLongMaps) {
    Scratch s;
    LevelTable levels;
    for (size_t i = 0; i < 256; ++i) levels[i] = int32_t(255 - i);
    const QString path = s.path("fleet.mpt");
    ASSERT_TRUE(saveMap(path, levels).ok);
    EXPECT_EQ(QFileInfo(path).size(), 256);
    LevelTable back;
    back.fill(1);
    const MapResult loaded = loadMap(path, back);
    EXPECT_TRUE(loaded.outcome.ok);
    EXPECT_TRUE(loaded.shortNote.isEmpty());
    EXPECT_EQ(back, levels);

    Bytes longer(300, 9);
    writeBytes(s.path("long.mpt"), longer);
    EXPECT_TRUE(loadMap(s.path("long.mpt"), back).outcome.ok);
    EXPECT_EQ(back[255], 9);

    writeBytes(s.path("short.mpt"), Bytes(10, 3));
    back.fill(200);
    const MapResult shortMap = loadMap(s.path("short.mpt"), back);
    EXPECT_TRUE(shortMap.outcome.ok);
    EXPECT_EQ(shortMap.bytesRead, 10);
    EXPECT_TRUE(shortMap.shortNote.contains("short"));
    EXPECT_EQ(back[9], 3);
    EXPECT_EQ(back[10], 200);

    back.fill(5);
    const MapResult missing = loadMap(s.path("missing.mpt"), back);
    EXPECT_FALSE(missing.outcome.ok);
    EXPECT_FALSE(missing.outcome.error.isEmpty());
    EXPECT_EQ(back[0], 5);
}

TEST(View, GreyPaletteWithTheCurrentColourRed) {
    Scratch s;
    QuorContext context{};
    QuorLibrary library(context);
    const Bytes set = makeSet(Form::Eight, 2);
    writeBytes(s.path("set.bmp"), set);
    ASSERT_TRUE(loadExtended(s.path("set.bmp"), BitmapFilter, s.workspace, library, SetOptions{}).ok);

    LevelTable levels;
    colour0Transparent(levels);
    ASSERT_TRUE(buildTransparencyView(s.workspace, levels, 0).ok);
    const Bytes view = readBytes(s.workspace.slotPath(ScratchSlot));
    const Bytes source = readBytes(s.workspace.levelPath(2));
    ASSERT_EQ(view.size(), source.size());
    EXPECT_EQ((Bytes{view[54], view[55], view[56]}), (Bytes{0, 0, 255}));
    EXPECT_EQ((Bytes{view[58], view[59], view[60]}), (Bytes{255, 255, 255}));
    EXPECT_EQ(view[57], source[57]);  // fourth bytes stay
    EXPECT_TRUE(std::equal(view.begin() + 1078, view.end(), source.begin() + 1078));

    s.workspace.state().largest = 1;
    EXPECT_EQ(transparencyViewSourceSlot(1), -1);
    EXPECT_FALSE(buildTransparencyView(s.workspace, levels).ok);
    EXPECT_EQ(transparencyViewSourceSlot(0), 1);
}

TEST(PaletteUpdate, TakesOnlyFullEightBitPalettesAndKeepsTheRecord) {
    Scratch s;
    Bytes header = makeSet(Form::EightRecord, 1);
    header.resize(1098);
    writeBytes(s.workspace.slotPath(HeaderSlot), header);
    s.workspace.state().recordCount = 1;

    // Before any edit the header slot keeps its own palette.
    EXPECT_TRUE(updatePaletteFromEditedSlot(s.workspace).ok);
    EXPECT_EQ(readBytes(s.workspace.slotPath(HeaderSlot)), header);

    Bytes edited = makeSet(Form::Eight, 4);
    for (size_t i = 54; i < 1078; ++i) edited[i] = 0x42;
    writeBytes(s.workspace.levelPath(4), edited);
    s.workspace.state().editedSlot = slotOfLevel(4);
    ASSERT_TRUE(updatePaletteFromEditedSlot(s.workspace).ok);
    const Bytes updated = readBytes(s.workspace.slotPath(HeaderSlot));
    ASSERT_EQ(updated.size(), 1098u);
    EXPECT_EQ(updated[54], 0x42);
    EXPECT_EQ(updated[1077], 0x42);
    EXPECT_TRUE(std::equal(updated.begin() + 1078, updated.end(), header.begin() + 1078));

    // A 24-bit edit has no palette to give.
    Bytes rgb = makeSet(Form::Rgb24, 4);
    writeBytes(s.workspace.levelPath(4), rgb);
    const CommandOutcome refused = updatePaletteFromEditedSlot(s.workspace);
    EXPECT_FALSE(refused.ok);
    EXPECT_FALSE(refused.error.isEmpty());
    EXPECT_EQ(readBytes(s.workspace.slotPath(HeaderSlot)), updated);
}
