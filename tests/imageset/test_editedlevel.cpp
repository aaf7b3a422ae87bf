// A level coming back from the paint program in whatever form it saved it:
// the saved set holds what the picture showed (on the set's palette, or in
// the set's 16-bit form), keeps the set's transparency where the picture
// brought none, and the slot reads as exactly what the save writes.
#include "editedlevel.h"
#include "library.h"
#include "splitjoin.h"
#include "testsets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <functional>
#include <limits>

using namespace corvane;
using namespace corvane::testing;

namespace {

struct Rgba {
    uint8_t r = 0, g = 0, b = 0, a = 255;
    bool operator==(const Rgba&) const = default;
};
using Picture = std::vector<Rgba>;  // top row first

// A BMP of `edge` as paint programs write them: 24-bit, or 32-bit with alpha
// in the fourth byte; rows bottom-up and padded.
Bytes pictureBmp(const Picture& p, int edge, int bits) {
    Bytes b = plainBmp(edge, edge, bits);
    b.resize(54);
    const int row = ((edge * bits / 8) + 3) & ~3;
    for (int y = edge - 1; y >= 0; --y) {
        const size_t start = b.size();
        for (int x = 0; x < edge; ++x) {
            const Rgba& c = p[size_t(y * edge + x)];
            b.insert(b.end(), {c.b, c.g, c.r});
            if (bits == 32) b.push_back(c.a);
        }
        b.resize(start + size_t(row), 0);
    }
    layout::write32(b, layout::kFileSizeAt, uint32_t(b.size()));
    return b;
}

// An 8-bit BMP with its own palette (256 entries) and indices, top row first.
Bytes indexedBmp(const std::array<Rgba, 256>& palette, const Bytes& indices, int edge) {
    Bytes b = plainBmp(edge, edge, 8);
    b.resize(1078);
    for (size_t i = 0; i < 256; ++i) {
        b[54 + 4 * i] = palette[i].b;
        b[55 + 4 * i] = palette[i].g;
        b[56 + 4 * i] = palette[i].r;
        b[57 + 4 * i] = 0;
    }
    const int row = (edge + 3) & ~3;
    for (int y = edge - 1; y >= 0; --y) {
        const size_t start = b.size();
        b.insert(b.end(), indices.begin() + y * edge, indices.begin() + (y + 1) * edge);
        b.resize(start + size_t(row), 0);
    }
    layout::write32(b, layout::kFileSizeAt, uint32_t(b.size()));
    return b;
}

std::array<Rgba, 256> paletteOf(const Bytes& set) {
    std::array<Rgba, 256> p{};
    for (size_t i = 0; i < 256; ++i) p[i] = {set[56 + 4 * i], set[55 + 4 * i], set[54 + 4 * i], 255};
    return p;
}

// Level `edge` of a saved set as its texels, top row first, decoded here.
Picture savedLevel(const Bytes& set, int largest, int edge) {
    const uint32_t offset = layout::read32(set, layout::kPixelOffsetAt);
    const int bits = layout::read16(set, layout::kBitsAt);
    const int bpp = bits / 8;
    const bool is4444 = bits == 16 && layout::read32(set, 54) == 0x0F00;
    const size_t start = size_t(layout::levelStart(largest, edge, bpp, offset));
    Picture p(size_t(edge) * size_t(edge));
    for (int y = 0; y < edge; ++y)
        for (int x = 0; x < edge; ++x) {
            const size_t at = start + size_t((edge - 1 - y) * edge + x) * size_t(bpp);
            Rgba& c = p[size_t(y * edge + x)];
            if (bpp == 1) {
                c = paletteOf(set)[set[at]];
            } else if (bpp == 4) {
                c = {set[at + 2], set[at + 1], set[at], set[at + 3]};
            } else {
                const unsigned v = unsigned(set[at]) | unsigned(set[at + 1]) << 8;
                if (is4444)
                    c = {uint8_t((v >> 8 & 15) * 17), uint8_t((v >> 4 & 15) * 17), uint8_t((v & 15) * 17),
                         uint8_t((v >> 12) * 17)};
                else
                    c = {uint8_t((v >> 11) << 3 | (v >> 13)), uint8_t((v >> 5 & 63) << 2 | (v >> 9 & 3)),
                         uint8_t((v & 31) << 3 | (v >> 2 & 7)), 255};
            }
        }
    return p;
}

int64_t distance(const Rgba& a, const Rgba& b) {
    const int64_t dr = a.r - b.r, dg = a.g - b.g, db = a.b - b.b;
    return 3 * dr * dr + 4 * dg * dg + 2 * db * db;
}

struct Taken {
    Scratch scratch;
    QuorContext context{};
    QuorLibrary library{context};
    SetOptions options;
    Bytes original;
    int largest = 0;

    Taken(Form form, int edge, bool convertTo24 = true) : largest(edge) {
        options.convertTo24 = convertTo24;
        original = makeSet(form, edge);
        const QString in = scratch.path("set.bmp");
        EXPECT_TRUE(writeBytes(in, original));
        const CommandOutcome loaded = loadExtended(in, BitmapFilter, scratch.workspace, library, options);
        EXPECT_TRUE(loaded.ok) << loaded.error.toStdString();
    }
    LevelIntake take(int edge, const Bytes& picture, const QString& name = "edited.bmp") {
        const QString file = scratch.path(name);
        EXPECT_TRUE(writeBytes(file, picture));
        return takeEditedLevel(scratch.workspace, library, options, slotOfLevel(edge), file);
    }
    Bytes saved() {
        const QString out = scratch.path("out.bmp");
        const CommandOutcome o = saveSet(scratch.workspace, out);
        EXPECT_TRUE(o.ok) << o.error.toStdString();
        return readBytes(out);
    }
    // The level slot as the views read it.
    Picture shown(int edge) {
        int w = edge, h = edge, bits = 0;
        std::vector<uint8_t> rgba;
        EXPECT_TRUE(readPictureRgba(scratch.workspace.levelPath(edge), w, h, bits, rgba, nullptr, edge));
        Picture p(size_t(edge) * size_t(edge));
        for (size_t i = 0; i < p.size() && 4 * i + 3 < rgba.size(); ++i)
            p[i] = {rgba[4 * i], rgba[4 * i + 1], rgba[4 * i + 2], rgba[4 * i + 3]};
        return p;
    }
};

}  // namespace

// The paint program hands back the 32x32 level of an 8-bit set in each of the
// ways they do.  Every texel of a colour the palette has is saved with that
// colour; any other with the nearest colour the set uses and shows (checked
// against every entry the set uses: one the set hides would make a hole of a
// stroke painted to be seen).
TEST(EditedLevel, EightBitLevelsComeBackOnTheSetsPalette) {
    constexpr int edge = 32;
    struct Case {
        const char* name;
        bool offPalette;  // some texels of colours the palette lacks
        std::function<Bytes(const std::array<Rgba, 256>& palette, const Bytes& indices, Picture& shows)> make;
    };
    const auto colours = [](const std::array<Rgba, 256>& palette, const Bytes& indices) {
        Picture p;
        for (uint8_t i : indices) p.push_back(palette[i]);
        return p;
    };
    const Case cases[] = {
        {"its own palette", false,
         [&](const auto& palette, const Bytes& indices, Picture& shows) {
             shows = colours(palette, indices);
             return indexedBmp(palette, indices, edge);
         }},
        {"the palette written backwards", false,
         [&](const auto& palette, const Bytes& indices, Picture& shows) {
             std::array<Rgba, 256> reversed;
             Bytes reindexed;
             for (size_t i = 0; i < 256; ++i) reversed[255 - i] = palette[i];
             for (uint8_t i : indices) reindexed.push_back(uint8_t(255 - i));
             shows = colours(palette, indices);
             return indexedBmp(reversed, reindexed, edge);
         }},
        {"a palette of other colours", true,
         [&](const auto& palette, const Bytes& indices, Picture& shows) {
             std::array<Rgba, 256> other = palette;
             for (size_t i = 0; i < 256; i += 3) other[i] = {uint8_t(i), uint8_t(i / 2), 200, 255};
             shows = colours(other, indices);
             return indexedBmp(other, indices, edge);
         }},
        {"full colour, the set's colours", false,
         [&](const auto& palette, const Bytes& indices, Picture& shows) {
             shows = colours(palette, indices);
             return pictureBmp(shows, edge, 24);
         }},
        {"full colour with a painted stroke", true,
         [&](const auto& palette, const Bytes& indices, Picture& shows) {
             shows = colours(palette, indices);
             for (int x = 0; x < edge; ++x) shows[size_t(5 * edge + x)] = {250, uint8_t(8 * x), 17, 255};
             return pictureBmp(shows, edge, 32);
         }},
        // Erased rows: black, a colour the set shows and a colour it lacks,
        // each under alpha from 0 to 127; a row at half alpha stays seen.
        {"full colour with erased rows", false,
         [&](const auto& palette, const Bytes& indices, Picture& shows) {
             shows = colours(palette, indices);
             for (int x = 0; x < edge; ++x) {
                 const uint8_t a = uint8_t(x * 4);
                 shows[size_t(7 * edge + x)] = {0, 0, 0, a};
                 shows[size_t(8 * edge + x)] = {palette[indices[0]].r, palette[indices[0]].g, palette[indices[0]].b, a};
                 shows[size_t(9 * edge + x)] = {250, uint8_t(8 * x), 17, a};
                 shows[size_t(10 * edge + x)].a = 128;
             }
             return pictureBmp(shows, edge, 32);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Taken t(Form::Eight, 64);
        const std::array<Rgba, 256> palette = paletteOf(t.original);
        // The level as the set holds it, with every other index changed.
        Picture before = savedLevel(t.original, 64, edge);
        Bytes indices;
        for (size_t i = 0; i < before.size(); ++i) {
            const auto it = std::find(palette.begin(), palette.end(), before[i]);
            indices.push_back(uint8_t(i % 2 ? (it - palette.begin() + 1) & 0xFF : it - palette.begin()));
        }
        Picture shows;
        const LevelIntake intake = t.take(edge, c.make(palette, indices, shows));
        ASSERT_TRUE(intake.outcome.ok) << intake.outcome.error.toStdString();
        EXPECT_TRUE(intake.changed);

        // The entries the set's levels used, read from its file.
        const Bytes saved = t.saved();
        std::array<bool, 256> used{};
        for (size_t i = 1078; i < t.original.size(); ++i) used[t.original[i]] = true;
        // Entries the set hides (level 0 in a palette that has levels) take
        // no colour the palette lacks, while the set shows any entry it uses.
        std::array<bool, 256> hidden{};
        bool levels = false, anyShown = false;
        for (size_t e = 0; e < 256; ++e) levels |= t.original[57 + 4 * e] != 0;
        for (size_t e = 0; e < 256; ++e) hidden[e] = levels && t.original[57 + 4 * e] == 0;
        for (size_t e = 0; e < 256; ++e) anyShown |= used[e] && !hidden[e];
        ASSERT_TRUE(std::find(hidden.begin(), hidden.end(), true) != hidden.end()) << "the set hides no entry";
        const Picture got = savedLevel(saved, 64, edge);
        const size_t levelAt = size_t(layout::levelStart(64, edge, 1, layout::read32(saved, layout::kPixelOffsetAt)));
        size_t nearest = 0;
        for (size_t i = 0; i < got.size(); ++i) {
            if (shows[i].a < 128) {
                // Erased: an entry the set hides, one it uses.
                const size_t x = i % edge, y = i / edge;
                const uint8_t entry = saved[levelAt + (edge - 1 - y) * edge + x];
                ASSERT_TRUE(hidden[entry] && used[entry]) << i << " took " << int(entry);
                continue;
            }
            if (std::find_if(palette.begin(), palette.end(), [&](const Rgba& p) {
                    return p.r == shows[i].r && p.g == shows[i].g && p.b == shows[i].b;
                }) != palette.end()) {
                const Rgba opaque{shows[i].r, shows[i].g, shows[i].b, 255};
                ASSERT_EQ(got[i], opaque) << i;
                continue;
            }
            ++nearest;
            int64_t best = std::numeric_limits<int64_t>::max();
            for (size_t e = 0; e < 256; ++e)
                if (used[e] && !(anyShown && hidden[e])) best = std::min(best, distance(palette[e], shows[i]));
            ASSERT_EQ(distance(got[i], shows[i]), best) << i;
        }
        EXPECT_EQ(nearest > 0, c.offPalette);
        // The view shows the colours the save wrote (its alpha is the
        // palette's transparency); the other levels are as they were.
        Picture shown = t.shown(edge);
        for (Rgba& texel : shown) texel.a = 255;
        EXPECT_EQ(shown, got);
        for (int other : {64, 16, 1}) EXPECT_EQ(savedLevel(saved, 64, other), savedLevel(t.original, 64, other));
        EXPECT_EQ(intake.note.isEmpty(), c.name == std::string("its own palette"));
    }
}

// High-colour sets: a level that comes back without transparency (24-bit,
// or 32-bit all opaque) keeps the set's; one that brings its own saves it.
// Colours are saved as the picture has them, on the form's grid.  The slot
// reads as what the save wrote, with the display conversion on and off.
TEST(EditedLevel, HighColourLevelsKeepTheSetsTransparencyUnlessTheyBringTheirOwn) {
    // Large enough that 16-bit codes are each texel's nearest (smaller levels spread their rounding).
    constexpr int edge = 32;
    struct Case {
        Form form;
        int bits;       // of the returned picture
        bool ownAlpha;  // the picture has texels that are not opaque
        int step;       // the largest rounding of a channel in the form
    };
    // Half a step of the form's coarsest channel, and one for rounding ties.
    const Case cases[] = {
        {Form::Argb32, 24, false, 0},   {Form::Argb32, 32, false, 0},  {Form::Argb32, 32, true, 0},
        {Form::Argb4444, 24, false, 9}, {Form::Argb4444, 32, true, 9}, {Form::Rgb565, 24, false, 5},
        {Form::Rgb565, 32, false, 5},
    };
    for (const bool convert : {true, false})
        for (const Case& c : cases) {
            SCOPED_TRACE(::testing::Message() << "form " << int(c.form) << ", " << c.bits << "-bit"
                                              << (c.ownAlpha ? " with alpha" : "") << (convert ? ", shown as 24" : ""));
            Taken t(c.form, 64, convert);
            const Picture before = savedLevel(t.original, 64, edge);
            Picture painted(before.size());
            for (size_t i = 0; i < painted.size(); ++i)
                painted[i] = {uint8_t(i * 13), uint8_t(255 - i), uint8_t(i * 5 + 3),
                              uint8_t(c.ownAlpha ? (i * 37) & 0xFF : 255)};
            const LevelIntake intake = t.take(edge, pictureBmp(painted, edge, c.bits));
            ASSERT_TRUE(intake.outcome.ok) << intake.outcome.error.toStdString();

            const Bytes saved = t.saved();
            const Picture got = savedLevel(saved, 64, edge);
            for (size_t i = 0; i < got.size(); ++i) {
                for (const auto& [g, p] : {std::pair{got[i].r, painted[i].r}, std::pair{got[i].g, painted[i].g},
                                           std::pair{got[i].b, painted[i].b}})
                    ASSERT_LE(std::abs(int(g) - int(p)), c.step)
                        << i << ": " << int(got[i].r) << ',' << int(got[i].g) << ',' << int(got[i].b) << " for "
                        << int(painted[i].r) << ',' << int(painted[i].g) << ',' << int(painted[i].b);
                const int alpha = c.form == Form::Rgb565 ? 255 : c.ownAlpha ? painted[i].a : before[i].a;
                ASSERT_LE(std::abs(int(got[i].a) - alpha), c.step) << i;
            }
            // What the view reads is what was saved: the same codes, the same alpha.
            const Picture shown = t.shown(edge);
            const int levels = c.form == Form::Argb4444 ? 15 : c.form == Form::Rgb565 ? 31 : 255;
            const auto code = [levels](uint8_t v) { return (v * levels + 127) / 255; };
            for (size_t i = 0; i < got.size(); ++i) {
                ASSERT_EQ(code(shown[i].r), code(got[i].r)) << i;
                ASSERT_EQ(code(shown[i].b), code(got[i].b)) << i;
                if (c.form != Form::Rgb565) {
                    ASSERT_EQ(code(shown[i].a), code(got[i].a)) << i;
                }
            }
            EXPECT_EQ(!intake.note.isEmpty(), c.form != Form::Rgb565 && !c.ownAlpha);
            for (int other : {64, 8, 1}) EXPECT_EQ(savedLevel(saved, 64, other), savedLevel(t.original, 64, other));
        }
}

// What the paint program leaves that is no level of this size is refused,
// the set left as it was; so is a level whose file ends before its last row
// (a save still under way, or one that failed), which would otherwise come
// in with the rows it lacks filled.
TEST(EditedLevel, ALevelOfAnotherSizeOrNoPictureIsRefused) {
    Taken t(Form::Eight, 64);
    const Bytes before = t.saved();
    Picture small(16 * 16), level(32 * 32, Rgba{200, 40, 40, 255});
    const auto cut = [](Bytes file, size_t keep) {
        file.resize(keep);
        return file;
    };
    const Bytes whole24 = pictureBmp(level, 32, 24), whole32 = pictureBmp(level, 32, 32);
    for (const auto& [name, file] :
         {std::pair{"resized", pictureBmp(small, 16, 24)}, std::pair{"not a picture", Bytes(300, 7)},
          std::pair{"ends after 10 rows", cut(whole24, 54 + 96 * 10 + 5)},
          std::pair{"a byte short", cut(whole32, whole32.size() - 1)}, std::pair{"headers only", cut(whole24, 54)}}) {
        SCOPED_TRACE(name);
        const LevelIntake intake = t.take(32, file);
        EXPECT_FALSE(intake.outcome.ok);
        EXPECT_FALSE(intake.changed);
        EXPECT_TRUE(intake.outcome.error.contains("edited.bmp")) << intake.outcome.error.toStdString();
        EXPECT_EQ(t.saved(), before);
    }
    EXPECT_TRUE(t.take(32, pictureBmp(small, 16, 24)).outcome.error.contains("16x16"));
    EXPECT_TRUE(t.take(32, cut(whole24, 54 + 96 * 10 + 5)).outcome.error.contains("10 of its 32 rows"));
    // The same file whole is taken.
    EXPECT_TRUE(t.take(32, whole24).outcome.ok);
}
