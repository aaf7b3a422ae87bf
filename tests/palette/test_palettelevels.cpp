// Palette levels read from and written to the header slot.
#include "../imageset/testsets.h"

#include "palettelevels.h"
#include "setcommands.h"

#include <gtest/gtest.h>

using namespace corvane;
using namespace corvane::testing;

TEST(PaletteLevels, AllZeroLevelsReadAsOpaqueAndAreSavedSo) {
    Scratch s;
    Bytes header = makeSet(Form::Eight, 1);
    header.resize(1078);
    for (size_t i = 0; i < 256; ++i) header[57 + 4 * i] = 0;
    writeBytes(s.workspace.slotPath(HeaderSlot), header);

    PaletteLevels palette;
    palette.levels.fill(7);
    getpalette(s.workspace, palette);
    for (int level : palette.levels) EXPECT_EQ(level, 255);
    EXPECT_EQ(palette.colours[1], 7u | uint32_t(254) << 8 | uint32_t(1) << 16);  // red low, blue high

    palette.paletteChanged = true;
    ASSERT_TRUE(savepalette(s.workspace, palette));
    EXPECT_FALSE(palette.paletteChanged);
    const Bytes saved = readBytes(s.workspace.slotPath(HeaderSlot));
    ASSERT_EQ(saved.size(), 1078u);
    for (size_t i = 0; i < 256; ++i) EXPECT_EQ(saved[57 + 4 * i], 255);
    for (size_t i = 0; i < 54; ++i) EXPECT_EQ(saved[i], header[i]);
}

TEST(PaletteLevels, StoredLevelsIncludingZerosAndTheRecordSurvive) {
    Scratch s;
    Bytes header = makeSet(Form::EightRecord, 1);
    header.resize(1098);
    writeBytes(s.workspace.slotPath(HeaderSlot), header);
    s.workspace.state().recordCount = 1;

    PaletteLevels palette;
    getpalette(s.workspace, palette);
    EXPECT_EQ(palette.levels[0], 0);
    EXPECT_EQ(palette.levels[1], 255);
    palette.levels[1] = 300;  // only the low byte is kept
    palette.paletteChanged = true;
    ASSERT_TRUE(savepalette(s.workspace, palette));
    const Bytes saved = readBytes(s.workspace.slotPath(HeaderSlot));
    ASSERT_EQ(saved.size(), 1098u);
    EXPECT_EQ(saved[57 + 4], 300 & 0xFF);
    EXPECT_TRUE(std::equal(saved.begin() + 1078, saved.end(), header.begin() + 1078));
}

TEST(PaletteLevels, MissingHeaderSlotKeepsColoursAndChangedFlag) {
    Scratch s;
    PaletteLevels palette;
    palette.colours[3] = 0x123456;
    palette.levels.fill(9);
    getpalette(s.workspace, palette);
    EXPECT_EQ(palette.colours[3], 0x123456u);
    EXPECT_EQ(palette.levels[3], 255);
    palette.paletteChanged = true;
    EXPECT_FALSE(savepalette(s.workspace, palette));
    EXPECT_TRUE(palette.paletteChanged);
    EXPECT_FALSE(QFileInfo::exists(s.workspace.slotPath(HeaderSlot)));
}
