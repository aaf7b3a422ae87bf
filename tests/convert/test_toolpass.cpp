// The texture tool's pass of Create Image Set, with the real bundled tool,
// on every header a set can have: what comes back is read like any loaded
// file, and the set it gives is whole and the same picture.
#include "setpixels.h"
#include "testsets.h"

#include "import.h"
#include "splitjoin.h"

#include <gtest/gtest.h>

using namespace corvane;
using namespace corvane::testing;

namespace {

struct Variant {
    const char* name;
    Form form;
    int header;  // the pixel offset the file is given
};

// A set of `form` whose header is `header` bytes long: the bytes past the
// form's own header are zero.
Bytes withHeader(Form form, int edge, int header) {
    Bytes set = makeSet(form, edge);
    const int own = headerLength(form);
    if (header > own) set.insert(set.begin() + own, size_t(header - own), 0);
    if (header < own) set.erase(set.begin() + header, set.begin() + own);
    layout::write32(set, layout::kPixelOffsetAt, uint32_t(header));
    layout::write32(set, layout::kFileSizeAt, uint32_t(set.size()));
    return set;
}

struct PassRun {
    Scratch scratch;
    QuorContext context{};
    QuorLibrary library{context};
    SetOptions options;
    CommandOutcome outcome;

    // Load Extended, Create Image Set, Save, and the saved file's bytes.
    Bytes make(const Bytes& set, bool tool) {
        const QString in = scratch.path("in.bmp");
        writeBytes(in, set);
        options.useImageTool = tool;
        Workspace& ws = scratch.workspace;
        outcome = loadExtended(in, BitmapFilter, ws, library, options);
        if (!outcome.ok) return {};
#ifdef XBMTOOL
        const QString toolPath = QStringLiteral(XBMTOOL);
#else
        const QString toolPath;
#endif
        outcome = createImageSet(ws, library, options, textureTool(ws, ToolSettings{toolPath, false}));
        if (!outcome.ok) return {};
        const QString out = scratch.path("out.bmp");
        outcome = saveSet(ws, out);
        return outcome.ok ? readBytes(out) : Bytes{};
    }
};

// The largest difference one code step makes in a channel's byte.
int stepOf(int bits, bool is4444, int channel) {
    if (bits == 8) return 0;
    if (bits != 16) return 1;
    const int fieldBits = is4444 ? 4 : channel == 1 ? 6 : 5;
    return (255 + (1 << fieldBits) - 2) / ((1 << fieldBits) - 1);
}

}  // namespace

TEST(TexturePass, EveryHeaderOfEveryDepthComesBackWholeAndAlike) {
#ifndef XBMTOOL
    GTEST_SKIP() << "the bundled texture tool is not built";
#else
    const Variant variants[] = {
        {"8-bit", Form::Eight, 1078},    {"8-bit with record", Form::EightRecord, 1098},
        {"5-6-5", Form::Rgb565, 86},     {"5-6-5 short", Form::Rgb565, 66},
        {"4-4-4-4", Form::Argb4444, 86}, {"4-4-4-4 short", Form::Argb4444Short, 66},
        {"24-bit", Form::Rgb24, 54},     {"32-bit", Form::Argb32, 54},
        {"32-bit 66", Form::Argb32, 66}, {"32-bit 122", Form::Argb32, 122},
    };
    for (const Variant& v : variants) {
        const Bytes source = withHeader(v.form, 32, v.header);
        PassRun plain, passed;
        const Bytes without = plain.make(source, false);
        ASSERT_TRUE(plain.outcome.ok) << v.name << ": " << plain.outcome.error.toStdString();
        const Bytes with = passed.make(source, true);
        ASSERT_TRUE(passed.outcome.ok) << v.name << ": " << passed.outcome.error.toStdString();

        // Whole: the size its own header promises.
        const int bits = with.at(28);
        const int64_t expected = layout::fileLength(32, bits / 8, layout::read32(with, layout::kPixelOffsetAt));
        ASSERT_EQ(int64_t(with.size()), expected) << v.name;
        ASSERT_EQ(layout::read32(with, layout::kFileSizeAt), with.size()) << v.name;
        ASSERT_EQ(bits, int(without.at(28))) << v.name << " changed depth";

        // Alike: every texel within the depth's step of the run without the tool.
        const auto a = readSet(without), b = readSet(with);
        ASSERT_EQ(a.size(), b.size());
        const bool is4444 = bits == 16 && with[55] == 0x0F;
        for (size_t l = 0; l < a.size(); ++l)
            for (size_t i = 0; i < a[l].picture.texels.size(); ++i) {
                const Rgba &x = a[l].picture.texels[i], &y = b[l].picture.texels[i];
                ASSERT_LE(std::abs(x.r - y.r), stepOf(bits, is4444, 0)) << v.name << " level " << a[l].picture.edge;
                ASSERT_LE(std::abs(x.g - y.g), stepOf(bits, is4444, 1)) << v.name << " level " << a[l].picture.edge;
                ASSERT_LE(std::abs(x.b - y.b), stepOf(bits, is4444, 2)) << v.name << " level " << a[l].picture.edge;
                ASSERT_LE(std::abs(x.a - y.a), std::max(stepOf(bits, is4444, 3), 1))
                    << v.name << " level " << a[l].picture.edge;
            }
    }
#endif
}

TEST(TexturePass, AToolThatLeavesNoWholeSetChangesNothing) {
    PassRun run;
    const Bytes source = makeSet(Form::Rgb565, 32);
    writeBytes(run.scratch.path("in.bmp"), source);
    Workspace& ws = run.scratch.workspace;
    ASSERT_TRUE(loadExtended(run.scratch.path("in.bmp"), BitmapFilter, ws, run.library, run.options).ok);
    const Bytes before = readBytes(ws.levelPath(16));
    run.options.useImageTool = true;
    // A tool that cuts its output short, and one that fails outright.
    const TextureToolRun cutter = [](const QString& file, ToolMode) {
        QFile f(file);
        f.open(QIODevice::ReadWrite);
        f.resize(f.size() / 2);
        return CommandOutcome{};
    };
    const TextureToolRun failing = [](const QString&, ToolMode) {
        return CommandOutcome::refused(QStringLiteral("it fell over"));
    };
    for (const TextureToolRun& tool : {cutter, failing}) {
        const CommandOutcome o = createImageSet(ws, run.library, run.options, tool);
        EXPECT_FALSE(o.ok);
        EXPECT_EQ(readBytes(ws.levelPath(16)), before);
        EXPECT_FALSE(QFileInfo::exists(ws.exchangePath()));
    }
}

TEST(Save, ASetWithoutItsSmallerLevelsIsNeverWritten) {
    // Cut right after the header, or inside the largest level: the file
    // either refuses to load or loads without its smaller levels, and then
    // cannot be saved until Create Image Set has made them.
    for (Form form : {Form::Eight, Form::Rgb565}) {
        const Bytes whole = makeSet(form, 64);
        for (size_t cut : {size_t(headerLength(form)), size_t(headerLength(form)) + 100, whole.size() - 3}) {
            PassRun run;
            const QString in = run.scratch.path("in.bmp");
            writeBytes(in, Bytes(whole.begin(), whole.begin() + std::ptrdiff_t(cut)));
            const QString out = run.scratch.path("out.bmp");
            writeBytes(out, {1, 2, 3});
            Workspace& ws = run.scratch.workspace;
            const CommandOutcome loaded = loadExtended(in, BitmapFilter, ws, run.library, run.options);
            if (cut == size_t(headerLength(form))) {
                EXPECT_FALSE(loaded.ok) << "a header alone holds no image";
            }
            if (loaded.ok) {
                const CommandOutcome saved = saveSet(ws, out);
                EXPECT_FALSE(saved.ok) << cut;
                EXPECT_TRUE(saved.error.contains("Create Image Set")) << saved.error.toStdString();
            }
            EXPECT_EQ(readBytes(out), (Bytes{1, 2, 3})) << cut;
            if (loaded.ok) {
                ASSERT_TRUE(createImageSet(ws, run.library, run.options, {}).ok);
                ASSERT_TRUE(saveSet(ws, out).ok);
                EXPECT_EQ(readBytes(out).size(), whole.size());
            }
        }
    }
}
