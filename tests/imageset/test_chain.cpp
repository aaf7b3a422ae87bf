// The chain builder's calls for every largest level and smoothing setting.
#include "testsets.h"

#include "setcommands.h"

#include <gtest/gtest.h>

using namespace corvane;
using namespace corvane::testing;

namespace {

std::string slotName(int level) { return slotFileName(slotOfLevel(level)); }

// What the builder must call for a largest level, written out from the rules
// the painters rely on: every level resampled from the largest, then (8-bit,
// smoothing on) from L/4 down each level re-made from the one above (64 and
// below), softened, lightened (64 and below), sharpened, remapped.
std::vector<std::string> expectedCalls(int largest, bool smooth, int lightening) {
    std::vector<std::string> calls;
    const std::string top = slotName(largest);
    for (int s = largest / 2; s >= 1; s /= 2)
        calls.push_back("resize " + top + " " + slotName(s) + " " + std::to_string(s));
    if (!smooth) return calls;
    for (int d = largest / 4; d >= 1; d /= 2) {
        const std::string slot = slotName(d);
        if (d <= 64) calls.push_back("resize " + slotName(d * 2) + " " + slot + " " + std::to_string(d));
        calls.push_back("filter " + slot + " " + slot + " 101");
        if (d <= 64) calls.push_back("adjust " + slot + " " + slot + " " + std::to_string(lightening));
        calls.push_back("filter " + slot + " " + slot + " 5");
        calls.push_back("remap " + slot + " " + slot + " " + top);
    }
    return calls;
}

}  // namespace

TEST(ChainBuilder, CallsForEveryLargestLevel) {
    for (int largest = 512; largest >= 1; largest /= 2) {
        for (bool smooth : {false, true}) {
            for (bool highColour : {false, true}) {
                Scratch s;
                RecordingLibrary library;
                s.workspace.state().largest = largest;
                s.workspace.state().highColour = highColour;
                SetOptions options;
                options.smooth8 = smooth;
                options.lightening = -7;
                buildChain(s.workspace, library, options);
                EXPECT_EQ(library.calls, expectedCalls(largest, smooth && !highColour, -7))
                    << largest << " smooth " << smooth << " high " << highColour;
            }
        }
    }
}

TEST(ChainBuilder, SpotChecksAgainstTheLevelTable) {
    Scratch s;
    RecordingLibrary library;
    s.workspace.state().largest = 512;
    SetOptions options;
    options.lightening = 0;
    buildChain(s.workspace, library, options);
    // 256 only resampled; 128 softened, sharpened and remapped but not lightened;
    // 64 re-made from 128 and lightened with the value 0 all the same.
    const auto& c = library.calls;
    EXPECT_EQ(c[0], "resize Bmp512.bmp Bmp256.bmp 256");
    EXPECT_EQ(c[9], "filter Bmp128.bmp Bmp128.bmp 101");
    EXPECT_EQ(c[10], "filter Bmp128.bmp Bmp128.bmp 5");
    EXPECT_EQ(c[11], "remap Bmp128.bmp Bmp128.bmp Bmp512.bmp");
    EXPECT_EQ(c[12], "resize Bmp128.bmp Bmp064.bmp 64");
    EXPECT_EQ(c[14], "adjust Bmp064.bmp Bmp064.bmp 0");

    // Before any load the builder works as for 512.
    RecordingLibrary fresh;
    Scratch empty;
    buildChain(empty.workspace, fresh, SetOptions{});
    EXPECT_EQ(fresh.calls.front(), "resize Bmp512.bmp Bmp256.bmp 256");
}

TEST(CreateImageSet, TextureToolPassUsesTheModeOfTheSetAndReloadsIt) {
    struct Case { bool high, is32, is4444; int mode; };
    for (const Case& c : {Case{false, false, false, 8}, Case{true, false, false, 2}, Case{true, true, false, 7},
                          Case{true, false, true, 5}}) {
        Scratch s;
        SetState& st = s.workspace.state();
        st.highColour = c.high;
        st.is32 = c.is32;
        st.is4444 = c.is4444;
        EXPECT_EQ(textureToolMode(s.workspace), c.mode);
    }

    Scratch s;
    const Bytes set = makeSet(Form::Eight, 16);
    writeBytes(s.path("in.bmp"), set);
    RecordingLibrary library;
    SetOptions options;
    options.useImageTool = true;
    options.smooth8 = false;
    s.workspace.state().largest = 16;
    ASSERT_TRUE(loadStep(s.path("in.bmp"), s.workspace, library, options).ok);
    int ranMode = 0;
    const CommandOutcome outcome = createImageSet(s.workspace, library, options, [&](const QString& file, int mode) {
        ranMode = mode;
        EXPECT_EQ(readBytes(file), set);  // the tool sees the set as it would be saved
        return QString();
    });
    EXPECT_TRUE(outcome.ok);
    EXPECT_EQ(ranMode, 8);
    EXPECT_FALSE(QFileInfo::exists(s.workspace.exchangePath()));
    EXPECT_EQ(library.calls.size(), 4u);  // the chain 8, 4, 2, 1 rebuilt afterwards
}
