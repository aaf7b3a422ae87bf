// Loading and saving Extended Bitmaps: exact bytes in, exact bytes out.
#include "testsets.h"

#include "files.h"
#include "setcommands.h"
#include "splitjoin.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>

using namespace corvane;
using namespace corvane::testing;

namespace {

struct Loaded {
    Scratch scratch;
    QuorContext context{};
    QuorLibrary library{context};
    SetOptions options;
    CommandOutcome outcome;

    Loaded& load(const Bytes& file, int filter = BitmapFilter, const QString& name = "in.bmp") {
        const QString in = scratch.path(name);
        writeBytes(in, file);
        outcome = loadExtended(in, filter, scratch.workspace, library, options);
        return *this;
    }
    Bytes save() {
        const QString out = scratch.path("out.bmp");
        EXPECT_TRUE(saveSet(scratch.workspace, out).ok);
        return readBytes(out);
    }
    const StatusLines& status() const { return scratch.workspace.status(); }
    const SetState& state() const { return scratch.workspace.state(); }
    int64_t slotSize(int slot) const { return QFileInfo(scratch.workspace.slotPath(slot)).size(); }
};

}  // namespace

TEST(Layout, LevelStartsOfBothCommonForms) {
    const int levels[] = {256, 128, 64, 32, 16, 8, 4, 2, 1};
    const int64_t eight[] = {1098, 66634, 83018, 87114, 88138, 88394, 88458, 88474, 88478};
    const int64_t sixteen[] = {86, 131158, 163926, 172118, 174166, 174678, 174806, 174838, 174846};
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(layout::levelStart(256, levels[i], 1, 1098), eight[i]) << levels[i];
        EXPECT_EQ(layout::levelStart(256, levels[i], 2, 86), sixteen[i]) << levels[i];
    }
    EXPECT_EQ(layout::fileLength(256, 1, 1098), 88479);
    EXPECT_EQ(layout::fileLength(256, 2, 86), 174848);
    // The template describes exactly such a 16-bit set.
    const auto t = layout::defaultTemplateHeader();
    const Bytes header(t.begin(), t.end());
    EXPECT_EQ(layout::read32(header, 2), 174848u);
    EXPECT_EQ(layout::read32(header, 34), 174762u);
    EXPECT_EQ(layout::read32(header, 62), 0x001Fu);
    EXPECT_EQ(std::string(header.begin() + 66, header.begin() + 70), "AVTX");
}

TEST(Split, EightBitWithRecordKeepsHeaderAndPadsTheSmallLevels) {
    Loaded s;
    s.load(makeSet(Form::EightRecord, 256));
    ASSERT_TRUE(s.outcome.ok) << s.outcome.error.toStdString();
    EXPECT_EQ(s.slotSize(HeaderSlot), 1098);
    EXPECT_FALSE(QFileInfo::exists(s.scratch.workspace.slotPath(1)));  // no 512 level
    const Bytes level256 = readBytes(s.scratch.workspace.levelPath(256));
    EXPECT_EQ(layout::read32(level256, 10), 1078u);
    EXPECT_EQ(level256.size(), 1078u + 65536u);
    EXPECT_EQ(s.slotSize(slotOfLevel(2)), 1078 + 8);
    EXPECT_EQ(s.slotSize(slotOfLevel(1)), 1078 + 4);  // one row, padded as every BMP row is
    const Bytes two = readBytes(s.scratch.workspace.levelPath(2));
    EXPECT_EQ(two[1078 + 2], 0);
    EXPECT_EQ(two[1078 + 3], 0);
    EXPECT_EQ(s.status().depth, "AVTX");
    EXPECT_EQ(s.status().depthHint, "= -100 -80 -60 -40 -20 0 20 40 60 80 100 120 ");
    EXPECT_EQ(s.status().maximum, "Maximum Size - 256");
    EXPECT_TRUE(s.outcome.readPalette);
    EXPECT_TRUE(replaceCommandsAvailable(s.scratch.workspace));
}

TEST(Split, DepthAndStatusLineOfEachForm) {
    struct Case {
        Form form;
        bool convert;
        const char* depth;
        SetDepth taken;
    };
    const Case cases[] = {
        {Form::Eight, true, " ", SetDepth::Palette8},
        {Form::Rgb565, false, "AVTX 16 bit 565", SetDepth::Rgb565},
        {Form::Argb4444Short, false, "  16 bit 444", SetDepth::Argb4444},
        {Form::Rgb24, true, "  16 bit 565", SetDepth::Rgb565},
        {Form::Argb32, true, " 32 bit ", SetDepth::Argb32},
    };
    for (const Case& c : cases) {
        Loaded s;
        s.options.convertTo24 = c.convert;
        const Bytes file = makeSet(c.form, 16);
        s.load(file);
        ASSERT_TRUE(s.outcome.ok) << s.outcome.error.toStdString();
        // What the depth says of a set agrees with the file it was read from.
        const SetDepth depth = s.state().depth;
        EXPECT_TRUE(depth == c.taken) << int(c.form);
        if (c.form != Form::Rgb24) {
            EXPECT_EQ(depth.bits(), file[28]) << int(c.form);
            EXPECT_EQ(int64_t(file.size()), layout::read32(file, 10) + layout::chainPixels(16) * depth.bytesPerTexel())
                << int(c.form);
            for (size_t i = 0; i < 3 && depth.sixteenBit(); ++i)
                EXPECT_EQ(depth.masks()[i], layout::read32(file, 54 + 4 * i)) << int(c.form);
        }
        EXPECT_EQ(s.slotSize(AlphaSlot), depth.keepsAlpha() ? layout::chainPixels(16) : 0) << int(c.form);
        EXPECT_EQ(s.status().depth.toStdString(), c.depth);
        EXPECT_EQ(paletteCommandsAvailable(s.scratch.workspace), c.form == Form::Eight);
        EXPECT_FALSE(replaceCommandsAvailable(s.scratch.workspace));
    }
}

TEST(Split, AlphaSlotHoldsOneByteForEveryPixelOfTheChain) {
    Loaded s;
    s.load(makeSet(Form::Argb4444Short, 128));
    ASSERT_TRUE(s.outcome.ok);
    EXPECT_EQ(s.state().headerSize, 66);
    EXPECT_TRUE(s.state().depth == SetDepth::Argb4444);
    const Bytes alpha = readBytes(s.scratch.workspace.slotPath(AlphaSlot));
    ASSERT_EQ(alpha.size(), 21845u);
    // Read from the file's own pixel offset: the first pixel's high byte.
    const Bytes file = makeSet(Form::Argb4444Short, 128);
    EXPECT_EQ(alpha[0], file[67] & 0xF0);
    for (uint8_t a : alpha) EXPECT_EQ(a & 0x0F, 0);
}

TEST(Split, TwentyFourBitFileTakesTheTemplateHeader) {
    Loaded s;
    s.load(makeSet(Form::Rgb24, 64));
    ASSERT_TRUE(s.outcome.ok);
    const Bytes slot0 = readBytes(s.scratch.workspace.slotPath(HeaderSlot));
    ASSERT_EQ(slot0.size(), 86u);
    EXPECT_EQ(layout::read32(slot0, 18), 64u);
    EXPECT_EQ(layout::read32(slot0, 22), 64u);
    EXPECT_EQ(layout::read16(slot0, 28), 16u);
    const Bytes saved = s.save();
    EXPECT_EQ(saved.size(), size_t(86 + 2 * layout::chainPixels(64)));
}

// Load then save gives back the same file, for every form and size.
TEST(RoundTrip, EveryFormAndSizeComesBackByteForByte) {
    struct Case {
        Form form;
        bool convert;
    };
    const Case cases[] = {{Form::Eight, true},  {Form::EightRecord, true}, {Form::Rgb565, false},
                          {Form::Rgb565, true}, {Form::Argb4444, true},    {Form::Argb4444Short, true},
                          {Form::Argb32, true}};
    for (const Case& c : cases) {
        for (int edge = 512; edge >= 1; edge /= 2) {
            Loaded s;
            s.options.convertTo24 = c.convert;
            const Bytes original = makeSet(c.form, edge);
            s.load(original);
            ASSERT_TRUE(s.outcome.ok) << s.outcome.error.toStdString();
            EXPECT_TRUE(s.outcome.information.isEmpty()) << s.outcome.information.join("|").toStdString();
            // The same bytes joined in memory; the save after it still writes its file.
            Bytes inMemory;
            ASSERT_TRUE(setBytes(s.scratch.workspace, inMemory).ok);
            EXPECT_TRUE(inMemory == original) << "in memory, form " << int(c.form) << " edge " << edge;
            const Bytes saved = s.save();
            ASSERT_EQ(saved.size(), original.size()) << "form " << int(c.form) << " edge " << edge;
            EXPECT_TRUE(saved == original) << "form " << int(c.form) << " convert " << c.convert << " edge " << edge;
        }
    }
}

TEST(RoundTrip, SaveSizesOfEightBitSets) {
    for (auto [form, edge, size] : {std::tuple{Form::Eight, 256, 88459}, std::tuple{Form::EightRecord, 256, 88479},
                                    std::tuple{Form::Eight, 512, 350603}}) {
        Loaded s;
        s.load(makeSet(form, edge));
        const Bytes saved = s.save();
        EXPECT_EQ(saved.size(), size_t(size));
        EXPECT_EQ(layout::read32(saved, 2), uint32_t(size));
    }
}

TEST(Join, ConvertedLevelsPackBackIntoSixteenBits) {
    // One white 1x1 level as the image library writes it: 24-bit, padded row.
    Bytes white(54, 0);
    white[0] = 'B';
    white[1] = 'M';
    layout::write32(white, 10, 54);
    layout::write32(white, 14, 40);
    layout::write32(white, 18, 1);
    layout::write32(white, 22, 1);
    layout::write16(white, 28, 24);
    white.insert(white.end(), {0xFF, 0xFF, 0xFF, 0x00});

    for (auto [form, alpha, expected] :
         {std::tuple{Form::Rgb565, -1, 0xFFFF}, std::tuple{Form::Argb4444, 0xF0, 0xFFFF},
          std::tuple{Form::Argb4444, 0x00, 0x0FFF}, std::tuple{Form::Argb4444, -1, 0xFFFF}}) {
        Scratch s;
        Workspace& ws = s.workspace;
        const Bytes set = makeSet(form, 1);
        ws.state().depth = form == Form::Argb4444 ? SetDepth::Argb4444 : SetDepth::Rgb565;
        ws.state().largest = 1;
        writeBytes(ws.slotPath(HeaderSlot), Bytes(set.begin(), set.begin() + 86));
        writeBytes(ws.levelPath(1), white);
        if (alpha >= 0) writeBytes(ws.slotPath(AlphaSlot), {uint8_t(alpha)});
        const QString out = s.path("out.bmp");
        ASSERT_TRUE(writeSet(ws, out).ok);
        const Bytes saved = readBytes(out);
        ASSERT_EQ(saved.size(), 88u);
        EXPECT_EQ(layout::read16(saved, 86), expected) << "alpha " << alpha;
    }
}

// Files that are not sets are refused before anything changes.
TEST(Refusal, WorkspaceAndStateStayAsTheyWere) {
    Loaded s;
    s.load(makeSet(Form::EightRecord, 64));
    ASSERT_TRUE(s.outcome.ok);
    const Bytes slot0 = readBytes(s.scratch.workspace.slotPath(HeaderSlot));
    const Bytes level = readBytes(s.scratch.workspace.levelPath(64));
    const StatusLines status = s.status();

    std::vector<Bytes> bad;
    Bytes oblong = makeSet(Form::Eight, 64);
    layout::write32(oblong, 22, 32);
    bad.push_back(oblong);
    Bytes odd = makeSet(Form::Eight, 64);
    layout::write32(odd, 18, 300);
    layout::write32(odd, 22, 300);
    bad.push_back(odd);
    Bytes huge = makeSet(Form::Rgb565, 64);
    layout::write32(huge, 18, 1024);
    layout::write32(huge, 22, 1024);
    bad.push_back(huge);
    Bytes bits = makeSet(Form::Eight, 64);
    bits[28] = 7;
    bad.push_back(bits);
    Bytes negative = makeSet(Form::Rgb24, 64);
    layout::write32(negative, 22, uint32_t(-64));
    bad.push_back(negative);
    bad.push_back(Bytes(10, 'B'));
    bad.push_back({});
    // 16-bit pixels kept as 5-5-5 (no masks), or with masks of another form:
    // shown and saved as 5-6-5 every colour would change.
    Bytes plain555 = makeSet(Form::Rgb565, 64);
    plain555.erase(plain555.begin() + 54, plain555.begin() + 86);
    layout::write32(plain555, layout::kPixelOffsetAt, 54);
    layout::write32(plain555, layout::kCompressionAt, 0);
    bad.push_back(plain555);
    Bytes masked555 = makeSet(Form::Rgb565, 64);
    layout::write32(masked555, 54, 0x7C00);
    layout::write32(masked555, 58, 0x03E0);
    bad.push_back(masked555);

    for (size_t i = 0; i < bad.size(); ++i) {
        s.load(bad[i], BitmapFilter, QString("bad%1.bmp").arg(i));
        EXPECT_FALSE(s.outcome.ok) << i;
        EXPECT_TRUE(s.outcome.error.contains("Load Any Image") || bad[i].size() < 80) << i;
        if (i + 2 >= bad.size()) {
            EXPECT_TRUE(s.outcome.error.contains("5-5-5") || s.outcome.error.contains("masks")) << i;
        }
        EXPECT_EQ(readBytes(s.scratch.workspace.slotPath(HeaderSlot)), slot0) << i;
        EXPECT_EQ(readBytes(s.scratch.workspace.levelPath(64)), level) << i;
        EXPECT_EQ(s.state().largest, 64);
        EXPECT_EQ(s.state().recordCount, 1);
        EXPECT_EQ(s.status().bitmap, status.bitmap);
    }
}

TEST(Truncation, ShortFilesLoadWhatIsThereAndSaySo) {
    const Bytes whole = makeSet(Form::Rgb565, 64);
    for (size_t cut : {size_t(86 + 100), size_t(86 + 8192 + 1), size_t(86 + 8192 + 2048 + 10), whole.size() - 1}) {
        Loaded s;
        s.options.convertTo24 = false;
        s.load(Bytes(whole.begin(), whole.begin() + std::ptrdiff_t(cut)));
        ASSERT_TRUE(s.outcome.ok) << cut;
        ASSERT_EQ(s.outcome.information.size(), 1) << cut;
        EXPECT_TRUE(s.outcome.information[0].contains("1x1")) << cut;
        // Cut inside the largest level, the note does not promise that
        // Create Image Set mends it: that level is where the others come from.
        const bool largestCut = cut < size_t(86 + 8192);
        EXPECT_EQ(s.outcome.information[0].contains("ends inside its 64x64 level"), largestCut) << cut;
        EXPECT_EQ(s.outcome.information[0].contains("rebuild them"), !largestCut) << cut;
    }
    // Cut inside the header or right after it: refused, there is no image.
    for (size_t cut : {80, 86}) {
        Loaded s;
        s.load(Bytes(whole.begin(), whole.begin() + std::ptrdiff_t(cut)));
        EXPECT_FALSE(s.outcome.ok) << cut;
    }
    // A plain picture (largest level only) is no fault.
    Loaded plain;
    const Bytes eight = makeSet(Form::Eight, 64);
    plain.load(Bytes(eight.begin(), eight.begin() + 1078 + 64 * 64));
    EXPECT_TRUE(plain.outcome.ok);
    EXPECT_TRUE(plain.outcome.information.isEmpty());
}

TEST(Save, UnwritableTargetIsReportedAndLeftIntact) {
    Loaded s;
    s.load(makeSet(Form::Eight, 16));
    const QString target = s.scratch.path("kept.bmp");
    const Bytes previous = {1, 2, 3};
    writeBytes(target, previous);
    QFile::setPermissions(target, QFileDevice::ReadOwner);
    const CommandOutcome saved = saveSet(s.scratch.workspace, target);
    EXPECT_FALSE(saved.ok);
    EXPECT_TRUE(saved.error.contains("read-only"));
    EXPECT_EQ(readBytes(target), previous);
    QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::WriteOwner);

    const CommandOutcome nowhere = saveSet(s.scratch.workspace, s.scratch.path("no/such/folder/x.bmp"));
    EXPECT_FALSE(nowhere.ok);
    EXPECT_FALSE(nowhere.error.isEmpty());
}

TEST(Textures, RawTextureIsTurnedTopToBottomAndLongerFilesAreBitmaps) {
    Bytes raw(65536);
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = uint8_t(i / 256);  // row r holds r
    Loaded s;
    s.load(raw, TextureFilter, "plane.saf");
    ASSERT_TRUE(s.outcome.ok) << s.outcome.error.toStdString();
    EXPECT_TRUE(s.state().textureOrigin);
    ASSERT_EQ(s.outcome.information.size(), 1);
    EXPECT_TRUE(s.outcome.information[0].startsWith("This image is a true RAW AF99 Texture"));
    const Bytes level = readBytes(s.scratch.workspace.levelPath(256));
    ASSERT_GE(level.size(), 1078u + 65536u);
    // The texture's first row is its top; once turned it is the BMP's last
    // stored row, the one shown at the top.
    EXPECT_EQ(level[1078 + 255 * 256], 0);
    EXPECT_EQ(level[1078], 255);
    EXPECT_FALSE(QFileInfo::exists(s.scratch.workspace.loadedCopyPath()));

    Loaded b;
    b.load(makeSet(Form::Eight, 16), RawTextureFilter, "plane.r8");
    ASSERT_TRUE(b.outcome.ok);
    EXPECT_TRUE(b.outcome.information[0].startsWith("This image is a BMP Format image"));
    EXPECT_EQ(b.state().largest, 16);
}

// A save that fails at any step leaves the file that was there as it was,
// and no half-written file beside it.
TEST(Save, InterruptedSavesKeepThePreviousFile) {
    Loaded s;
    s.load(makeSet(Form::Eight, 16));
    const QString target = s.scratch.path("kept.bmp");
    const Bytes previous = makeSet(Form::Rgb565, 4);
    for (WriteStage stage : {WriteStage::Create, WriteStage::Write, WriteStage::Flush, WriteStage::Rename}) {
        writeBytes(target, previous);
        setWriteFaultForTesting([stage](WriteStage at) { return at == stage; });
        const CommandOutcome saved = saveSet(s.scratch.workspace, target);
        setWriteFaultForTesting({});
        EXPECT_FALSE(saved.ok) << int(stage);
        EXPECT_TRUE(saved.error.startsWith("Cannot save kept.bmp")) << saved.error.toStdString();
        EXPECT_EQ(readBytes(target), previous) << int(stage);
        EXPECT_EQ(QDir(s.scratch.dir.path()).entryList(QDir::Files | QDir::Hidden),
                  (QStringList{"in.bmp", "kept.bmp"}));
    }
    // And without a fault the same save goes through, keeping the file's permissions.
    QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    ASSERT_TRUE(saveSet(s.scratch.workspace, target).ok);
    EXPECT_EQ(readBytes(target).size(), size_t(layout::fileLength(16, 1, 1078)));
    EXPECT_TRUE(QFile::permissions(target) & QFileDevice::WriteOwner);
    EXPECT_FALSE(QFile::permissions(target) & (QFileDevice::ReadOther | QFileDevice::ReadGroup));
}

// Every form cut at many lengths is refused or loaded in part; it never
// crashes, hangs or reads past the end.
TEST(Truncation, EveryFormCutAnywhere) {
    for (Form form : {Form::Eight, Form::EightRecord, Form::Rgb565, Form::Argb4444, Form::Argb4444Short, Form::Rgb24,
                      Form::Argb32}) {
        const Bytes whole = makeSet(form, 32);
        Loaded s;
        const size_t header = size_t(headerLength(form));
        for (size_t cut = 0; cut < whole.size(); cut += cut <= header + 8 ? 13 : 157) {
            s.load(Bytes(whole.begin(), whole.begin() + std::ptrdiff_t(cut)));
            if (s.outcome.ok) {
                EXPECT_GT(cut, size_t(headerLength(form))) << int(form) << " " << cut;
                // Never saved: a file cut anywhere lacks its last level, whole
                // or in part, and zeros are no picture's pixels.
                EXPECT_FALSE(saveSet(s.scratch.workspace, s.scratch.path("out.bmp")).ok) << int(form) << " " << cut;
                EXPECT_FALSE(QFileInfo::exists(s.scratch.path("out.bmp"))) << int(form) << " " << cut;
            }
        }
    }
}

TEST(ReadFileBytes, PlainFilesDevicesAndMissingOnes) {
    Scratch scratch;
    const QString path = scratch.path("bytes.bin");
    Bytes whole(70000);
    for (size_t i = 0; i < whole.size(); ++i) whole[i] = uint8_t(i * 7 + 1);
    writeBytes(path, whole);
    std::vector<uint8_t> got{9, 9, 9};
    ASSERT_TRUE(readFileBytes(path, got));
    EXPECT_EQ(got, whole);
    ASSERT_TRUE(readFileBytes(path, got, 100));
    EXPECT_EQ(got, Bytes(whole.begin(), whole.begin() + 100));

    writeBytes(path, {});
    ASSERT_TRUE(readFileBytes(path, got));
    EXPECT_TRUE(got.empty());

    // A device is no file to read: it would never end, or never begin.
    got = {1};
    EXPECT_FALSE(readFileBytes(QStringLiteral("/dev/zero"), got, 4096));
    EXPECT_FALSE(readFileBytes(scratch.dir.path(), got));

    EXPECT_FALSE(readFileBytes(scratch.path("missing.bin"), got));
}
