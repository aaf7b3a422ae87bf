// Foreign formats: every format the open dialog lists decodes from a file
// made here, pictures come out the way they look, palette sources keep their
// palette, and bad files are refused without a crash.
#include "image.h"

#include <Magick++.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string_view>
#include <tuple>

namespace quor {
namespace {

namespace fs = std::filesystem;

struct Rgb {
    int r, g, b;
};

// Quadrant colours of the test pictures, as they look: top-left, top-right,
// bottom-left, bottom-right.
enum class Kind { Colour, Grey, BiLevel };
Rgb quadrantColour(Kind kind, bool left, bool top) {
    const int q = (top ? 0 : 2) + (left ? 0 : 1);
    static constexpr Rgb colour[] = {{230, 30, 30}, {30, 200, 40}, {40, 60, 220}, {240, 230, 60}};
    static constexpr int grey[] = {30, 90, 160, 220}, bilevel[] = {0, 255, 255, 0};
    if (kind == Kind::Colour) return colour[q];
    const int v = kind == Kind::Grey ? grey[q] : bilevel[q];
    return {v, v, v};
}

Rgb pixel(const Image& image, int x, int y) {
    const uint8_t* p = &image.rgba[(size_t(y) * size_t(image.width) + size_t(x)) * 4];
    return {p[0], p[1], p[2]};
}

::testing::AssertionResult near(Rgb got, Rgb want, int tolerance) {
    if (std::abs(got.r - want.r) <= tolerance && std::abs(got.g - want.g) <= tolerance &&
        std::abs(got.b - want.b) <= tolerance)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "got " << got.r << "," << got.g << "," << got.b << " want " << want.r << ","
                                         << want.g << "," << want.b;
}

void expectQuadrants(const Image& image, Kind kind, int tolerance) {
    const int w = image.width, h = image.height;
    for (bool top : {true, false})
        for (bool left : {true, false})
            EXPECT_TRUE(near(pixel(image, left ? w / 4 : 3 * w / 4, top ? h / 4 : 3 * h / 4),
                             quadrantColour(kind, left, top), tolerance))
                << (top ? "top " : "bottom ") << (left ? "left" : "right");
}

// Pictures are built on a colour map: palette writers then need not
// quantize, which takes this ImageMagick most of a second per picture.
// `clear` entries are fully transparent.
template <typename IndexAt>
Magick::Image mappedPicture(size_t w, size_t h, const std::vector<Rgb>& colours, IndexAt indexAt, int clear = -1) {
    Magick::Image image(Magick::Geometry(w, h), Magick::Color("black"));
    image.depth(8);
    // Rows as shown; without it the Targa writer marks its top-down rows as
    // bottom-up.
    image.orientation(Magick::TopLeftOrientation);
    image.modifyImage();
    MagickCore::Image* core = image.image();
    MagickCore::AcquireImageColormap(core, colours.size());
    constexpr int kScale = 65535 / 255;  // Q16
    for (size_t i = 0; i < colours.size(); ++i) {
        core->colormap[i].red = MagickCore::Quantum(colours[i].r * kScale);
        core->colormap[i].green = MagickCore::Quantum(colours[i].g * kScale);
        core->colormap[i].blue = MagickCore::Quantum(colours[i].b * kScale);
        core->colormap[i].opacity = MagickCore::Quantum(int(i) == clear ? 65535 : 0);  // opacity, not alpha
    }
    core->matte = clear >= 0 ? MagickCore::MagickTrue : MagickCore::MagickFalse;
    image.getPixels(0, 0, w, h);
    MagickCore::IndexPacket* indexes = image.getIndexes();
    for (size_t y = 0; y < h; ++y)
        for (size_t x = 0; x < w; ++x) indexes[y * w + x] = MagickCore::IndexPacket(indexAt(x, y));
    image.syncPixels();
    MagickCore::SyncImage(core);
    return image;
}

Magick::Image quadrantPicture(size_t w, size_t h, Kind kind, bool palette = false, bool clearTopLeft = false) {
    std::vector<Rgb> colours;
    for (int q = 0; q < 4; ++q) colours.push_back(quadrantColour(kind, q % 2 == 0, q < 2));
    Magick::Image image = mappedPicture(
        w, h, colours, [&](size_t x, size_t y) { return (y < h / 2 ? 0 : 2) + (x < w / 2 ? 0 : 1); },
        clearTopLeft ? 0 : -1);
    if (!palette) image.type(kind == Kind::Colour ? Magick::TrueColorType : Magick::GrayscaleType);
    return image;
}

Magick::Image solid(size_t w, size_t h, Rgb colour) {
    return mappedPicture(w, h, {colour}, [](size_t, size_t) { return 0; });
}

void writeBytes(const std::string& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
}

std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void put32(std::string& out, uint32_t v) {
    for (int shift : {24, 16, 8, 0}) out += char(v >> shift);
}

// GIMP's XCF, version 1, one uncompressed RGBA layer.  The reader expects
// more data after the last tile, as GIMP always writes.
std::string quadrantXcf(uint32_t w, uint32_t h) {
    std::string out("gimp xcf v001", 14);
    put32(out, w), put32(out, h), put32(out, 0);                    // RGB
    out += std::string("\x00\x00\x00\x11\x00\x00\x00\x01\x00", 9);  // compression: none
    put32(out, 0), put32(out, 0);                                   // end of properties
    auto pointerAt = [&](size_t at) {
        const uint32_t here = uint32_t(out.size());
        for (int i = 0; i < 4; ++i) out[at + size_t(i)] = char(here >> (24 - 8 * i));
    };
    const size_t layerPointer = out.size();
    put32(out, 0), put32(out, 0), put32(out, 0);  // layer, end of layers, no channels
    pointerAt(layerPointer);
    put32(out, w), put32(out, h), put32(out, 1), put32(out, 2);
    out += std::string("L\0", 2);
    put32(out, 0), put32(out, 0);  // end of properties
    const size_t hierarchyPointer = out.size();
    put32(out, 0), put32(out, 0);  // hierarchy, no mask
    pointerAt(hierarchyPointer);
    put32(out, w), put32(out, h), put32(out, 4);
    const size_t levelPointer = out.size();
    put32(out, 0), put32(out, 0);
    pointerAt(levelPointer);
    put32(out, w), put32(out, h);
    const size_t tilePointer = out.size();
    put32(out, 0), put32(out, 0);
    pointerAt(tilePointer);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            const Rgb c = quadrantColour(Kind::Colour, x < w / 2, y < h / 2);
            out += {char(c.r), char(c.g), char(c.b), char(255)};
        }
    return out + std::string(64 * 64 * 6, '\0');
}

// A 2x2 Targa written in the row and column order its origin bits say.
std::string quadrantTarga(uint8_t descriptor, bool colourMapped) {
    std::string out(18, '\0');
    out[1] = colourMapped, out[2] = colourMapped ? 1 : 2;
    if (colourMapped) out[5] = 4, out[7] = 24;
    out[12] = 2, out[14] = 2, out[16] = colourMapped ? 8 : 24, out[17] = char(descriptor);
    auto bgr = [](Rgb c) { return std::string{char(c.b), char(c.g), char(c.r)}; };
    for (int i = 0; colourMapped && i < 4; ++i) out += bgr(quadrantColour(Kind::Colour, i % 2 == 0, i < 2));
    for (int row = 0; row < 2; ++row)
        for (int column = 0; column < 2; ++column) {
            const int y = (descriptor & 0x20) ? row : 1 - row, x = (descriptor & 0x10) ? 1 - column : column;
            out += colourMapped ? std::string(1, char(y * 2 + x)) : bgr(quadrantColour(Kind::Colour, x == 0, y == 0));
        }
    return out;
}

class ForeignTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { Magick::InitializeMagick(nullptr); }
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "corvane-foreign-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    Image decoded(const std::string& file) {
        quor::Failure why;
        std::optional<Image> image = decodeForeign(file, &why);
        EXPECT_TRUE(image) << file << ": " << why.text;
        return image ? *image : Image{};
    }

private:
    fs::path dir_;
};

// How the tests make a file of each extension the table lists.
struct Sample {
    const char* extension;
    const char* coder;  // Magick++ writer; null for the two we write by hand
    Kind kind;
    int tolerance;  // lossy formats
};
constexpr Sample kSamples[] = {
    {"bmp", "BMP3", Kind::Colour, 0},   {"png", "PNG24", Kind::Colour, 0},  {"jpg", "JPEG", Kind::Colour, 24},
    {"jpeg", "JPEG", Kind::Colour, 24}, {"gif", "GIF", Kind::Colour, 0},    {"tga", "TGA", Kind::Colour, 0},
    {"pcx", "PCX", Kind::Colour, 0},    {"tif", "TIFF", Kind::Colour, 0},   {"tiff", "TIFF", Kind::Colour, 0},
    {"psd", "PSD", Kind::Colour, 0},    {"dds", "DDS", Kind::Colour, 8},    {"webp", "WEBP", Kind::Colour, 0},
    {"pbm", "PBM", Kind::BiLevel, 0},   {"pgm", "PGM", Kind::Grey, 0},      {"ppm", "PPM", Kind::Colour, 0},
    {"pnm", "PNM", Kind::Colour, 0},    {"pam", "PAM", Kind::Colour, 0},    {"xcf", nullptr, Kind::Colour, 0},
    {"ico", "ICO", Kind::Colour, 0},    {"cur", "CUR", Kind::Colour, 0},    {"r8", nullptr, Kind::Grey, 0},
    {"sgi", "SGI", Kind::Colour, 0},    {"rgb", "SGI", Kind::Colour, 0},    {"rgba", "SGI", Kind::Colour, 0},
    {"bw", "SGI", Kind::Grey, 0},       {"ras", "SUN", Kind::Colour, 0},    {"sun", "SUN", Kind::Colour, 0},
    {"jp2", "JP2", Kind::Colour, 8},    {"j2k", "J2K", Kind::Colour, 8},    {"jpc", "J2K", Kind::Colour, 8},
    {"exr", "EXR", Kind::Colour, 8},    {"hdr", "HDR", Kind::Colour, 8},    {"heic", "HEIC", Kind::Colour, 32},
    {"heif", "HEIC", Kind::Colour, 32}, {"avif", "AVIF", Kind::Colour, 32},
};

TEST_F(ForeignTest, EveryListedExtensionDecodesWithItsColours) {
    for (int32_t n = 1; n <= formatCount(); ++n) {
        std::string patterns = formatEntry(n)->pattern;
        for (size_t start = 0; start < patterns.size();) {
            const size_t end = std::min(patterns.find(';', start), patterns.size());
            const std::string extension = patterns.substr(start + 2, end - start - 2);
            start = end + 1;
            SCOPED_TRACE(extension);
            const Sample* sample = nullptr;
            for (const Sample& s : kSamples)
                if (extension == s.extension) sample = &s;
            ASSERT_NE(sample, nullptr) << "no test sample for a listed extension";

            const std::string file = path("sample." + extension);
            const size_t edge = extension == "r8" ? 256 : 32;
            if (extension == "xcf") {
                writeBytes(file, quadrantXcf(32, 32));
            } else if (extension == "r8") {
                std::string bytes;
                for (size_t i = 0; i < 256 * 256; ++i)
                    bytes += char(quadrantColour(Kind::Grey, i % 256 < 128, i / 256 >= 128).r);  // bottom row first
                writeBytes(file, bytes);
            } else {
                Magick::Image picture = quadrantPicture(edge, edge, sample->kind, extension == "gif");
                if (extension == "webp") picture.defineValue("webp", "lossless", "true");
                // These hold linear light; the writer stores what it is given.
                if (extension == "exr" || extension == "hdr") picture.colorSpace(Magick::RGBColorspace);
                picture.write(std::string(sample->coder) + ":" + file);
            }
            const Image image = decoded(file);
            ASSERT_EQ(image.width, int32_t(edge));
            ASSERT_EQ(image.height, int32_t(edge));
            ASSERT_EQ(image.rgba.size(), edge * edge * 4);
            expectQuadrants(image, sample->kind, sample->tolerance);

            int32_t w = 0, h = 0, bpp = 0;
            EXPECT_TRUE(canDecodeForeign(file));
            EXPECT_TRUE(pingForeign(file, w, h, bpp));
            EXPECT_EQ(w, int32_t(edge));
            EXPECT_EQ(bpp, image.sourceBpp);
        }
    }
}

TEST_F(ForeignTest, FormatTableListsTheNeededFormatsUnderOneCombinedEntry) {
    EXPECT_EQ(formatEntry(-1), nullptr);
    EXPECT_EQ(formatEntry(formatCount() + 1), nullptr);
    const std::string_view all = formatEntry(0)->pattern;
    std::string extensions;
    for (int32_t n = 1; n <= formatCount(); ++n) {
        EXPECT_NE(all.find(formatEntry(n)->pattern), std::string_view::npos) << formatEntry(n)->pattern;
        extensions += std::string(formatEntry(n)->extension) + " ";
    }
    for (const char* needed :
         {"BMP", "PNG", "JPG", "GIF", "TGA", "PCX", "TIF", "PSD", "DDS", "WEBP", "PNM", "XCF", "ICO", "R8"})
        EXPECT_NE(extensions.find(std::string(needed) + " "), std::string::npos) << needed;
}

TEST_F(ForeignTest, TargaOriginsAreApplied) {
    for (bool colourMapped : {false, true})
        for (uint8_t descriptor : {0x00, 0x10, 0x20, 0x30}) {
            SCOPED_TRACE(testing::Message() << "descriptor " << int(descriptor) << " mapped " << colourMapped);
            const std::string file = path("origin.tga");
            writeBytes(file, quadrantTarga(descriptor, colourMapped));
            const Image image = decoded(file);
            ASSERT_EQ(image.width, 2);
            expectQuadrants(image, Kind::Colour, 0);
            EXPECT_EQ(image.indexed, colourMapped);
            if (colourMapped) {
                EXPECT_EQ(image.indices, (std::vector<uint8_t>{0, 1, 2, 3}));
            }
        }
}

TEST_F(ForeignTest, TargaWithAnUnusedColourMapShowsItsOwnPixels) {
    // True colour (type 2, or 10 run-length coded), yet a colour map is
    // declared and stored, after a 3-byte image ID; its bytes are no pixels.
    auto targa = [](uint8_t type, uint16_t mapEntries, uint8_t entryBits, size_t mapBytesStored) {
        std::string out(18, '\0');
        out[0] = 3, out[1] = 1, out[2] = char(type);
        out[5] = char(mapEntries & 0xFF), out[6] = char(mapEntries >> 8), out[7] = char(entryBits);
        out[12] = 2, out[14] = 2, out[16] = 24, out[17] = 0x20;  // 2x2, 24 bits, rows top-down
        out += "ID!";
        for (size_t i = 0; i < mapBytesStored; ++i) out += char(0x40 + i);
        for (int y = 0; y < 2; ++y) {
            if (type == 10) out += char(0x01);  // a raw packet of two pixels
            for (int x = 0; x < 2; ++x) {
                const Rgb c = quadrantColour(Kind::Colour, x == 0, y == 0);
                out += {char(c.b), char(c.g), char(c.r)};
            }
        }
        return out;
    };
    const std::string file = path("mapped.tga");
    for (auto [type, entryBits, entryBytes] : {std::tuple{2, 24, 3}, std::tuple{10, 15, 2}}) {
        SCOPED_TRACE(type);
        writeBytes(file, targa(uint8_t(type), 3, uint8_t(entryBits), 3 * size_t(entryBytes)));
        const Image image = decoded(file);
        ASSERT_EQ(image.width, 2);
        expectQuadrants(image, Kind::Colour, 0);
        EXPECT_FALSE(image.indexed);
    }
    // A map longer than the file is refused, not read past the end.
    writeBytes(file, targa(2, 1000, 24, 9));
    quor::Failure why;
    EXPECT_FALSE(decodeForeign(file, &why));
    EXPECT_FALSE(why.text.empty());
    int32_t w = 0, h = 0, bpp = 0;
    EXPECT_FALSE(pingForeign(file, w, h, bpp));
}

TEST_F(ForeignTest, TiffOrientationsMatchHowTheyAreShown) {
    for (int o = MagickCore::TopLeftOrientation; o <= MagickCore::LeftBottomOrientation; ++o) {
        SCOPED_TRACE(o);
        Magick::Image picture(Magick::Geometry(5, 3), Magick::Color("black"));
        picture.depth(8);
        picture.type(Magick::TrueColorType);
        for (size_t y = 0; y < 3; ++y)
            for (size_t x = 0; x < 5; ++x) picture.pixelColor(x, y, Magick::ColorRGB(x / 5.0, y / 3.0, 0.5));
        picture.orientation(MagickCore::OrientationType(o));
        const std::string file = path("oriented.tif");
        picture.write("TIFF:" + file);

        Magick::Image shown(file);
        shown.autoOrient();
        const Image image = decoded(file);
        ASSERT_EQ(size_t(image.width), shown.columns());
        ASSERT_EQ(size_t(image.height), shown.rows());
        for (int y = 0; y < image.height; ++y)
            for (int x = 0; x < image.width; ++x) {
                const Magick::ColorRGB want = shown.pixelColor(size_t(x), size_t(y));
                EXPECT_TRUE(
                    near(pixel(image, x, y),
                         {int(want.red() * 255 + 0.5), int(want.green() * 255 + 0.5), int(want.blue() * 255 + 0.5)}, 0))
                    << x << "," << y;
            }
    }
}

TEST_F(ForeignTest, JpegExifOrientationTurnsThePicture) {
    // Orientation 6: the stored rows are shown as columns, turned clockwise.
    Magick::Image picture = quadrantPicture(32, 16, Kind::Colour);
    const unsigned char exif[] = {'E',  'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0,
                                  0x12, 1,   3,   0,   1, 0, 0,   0,   6,  0, 0, 0, 0, 0, 0, 0};
    picture.profile("EXIF", Magick::Blob(exif, sizeof exif));
    picture.orientation(Magick::RightTopOrientation);
    const std::string file = path("turned.jpg");
    picture.write(file);

    const Image image = decoded(file);
    ASSERT_EQ(image.width, 16);
    ASSERT_EQ(image.height, 32);
    EXPECT_TRUE(near(pixel(image, 4, 8), quadrantColour(Kind::Colour, true, false), 24));    // was bottom-left
    EXPECT_TRUE(near(pixel(image, 12, 8), quadrantColour(Kind::Colour, true, true), 24));    // was top-left
    EXPECT_TRUE(near(pixel(image, 12, 24), quadrantColour(Kind::Colour, false, true), 24));  // was top-right
    int32_t w = 0, h = 0, bpp = 0;
    ASSERT_TRUE(pingForeign(file, w, h, bpp));
    EXPECT_EQ(w, 16);
    EXPECT_EQ(h, 32);
}

// Palette sources stay indexed: every pixel is its palette entry, and the
// fourth byte is the entry's alpha where the format has one, else 0.
void expectConsistentPalette(const Image& image, bool alphaFromFormat) {
    ASSERT_TRUE(image.indexed);
    EXPECT_EQ(image.sourceBpp, 8);
    ASSERT_EQ(image.indices.size(), image.pixelCount());
    for (size_t i = 0; i < image.indices.size(); ++i) {
        const PaletteEntry& e = image.palette[image.indices[i]];
        const uint8_t* p = &image.rgba[i * 4];
        ASSERT_EQ((std::array<int, 4>{p[0], p[1], p[2], p[3]}),
                  (std::array<int, 4>{e.red, e.green, e.blue, alphaFromFormat ? e.extra : 255}));
        if (!alphaFromFormat) {
            ASSERT_EQ(e.extra, 0);
        }
    }
}

TEST_F(ForeignTest, PaletteSourcesStayIndexed) {
    const struct {
        const char* target;
        const char* compression;
    } sources[] = {{"GIF:p.gif", nullptr}, {"PNG8:p.png", nullptr}, {"PCX:p.pcx", nullptr},
                   {"TGA:p.tga", nullptr}, {"BMP3:p.bmp", "RLE"},   {"TIFF:p.tif", nullptr}};
    for (const auto& source : sources) {
        SCOPED_TRACE(source.target);
        Magick::Image picture = quadrantPicture(16, 16, Kind::Colour, true);
        if (source.compression) picture.compressType(Magick::RLECompression);
        const std::string target = source.target, file = path(target.substr(target.find(':') + 1));
        picture.write(target.substr(0, target.find(':') + 1) + file);
        const Image image = decoded(file);
        expectConsistentPalette(image, false);
        expectQuadrants(image, Kind::Colour, 0);
        EXPECT_FALSE(image.hasAlpha);
    }
}

TEST_F(ForeignTest, TransparentPaletteKeepsEntryAlpha) {
    for (const char* target : {"GIF", "PNG8"}) {
        SCOPED_TRACE(target);
        Magick::Image picture = quadrantPicture(16, 16, Kind::Colour, true, true);
        const std::string file = path("clear." + std::string(target == std::string("GIF") ? "gif" : "png"));
        picture.write(std::string(target) + ":" + file);

        const Image image = decoded(file);
        expectConsistentPalette(image, true);
        EXPECT_TRUE(image.hasAlpha);
        EXPECT_EQ(image.rgba[3], 0);                         // top-left is clear
        EXPECT_EQ(image.rgba[(15 * 16 + 15) * 4 + 3], 255);  // bottom-right is not
        EXPECT_TRUE(near(pixel(image, 12, 12), quadrantColour(Kind::Colour, false, false), 0));
        if (target == std::string("PNG8")) {
            // The entries are the file's PLTE, in its order.
            const std::string bytes = readBytes(file);
            const size_t plte = bytes.find("PLTE");
            ASSERT_NE(plte, std::string::npos);
            const size_t entries = uint8_t(bytes[plte - 1]) / 3;
            ASSERT_GE(entries, 4u);
            for (size_t i = 0; i < entries; ++i)
                EXPECT_EQ((std::array<int, 3>{image.palette[i].red, image.palette[i].green, image.palette[i].blue}),
                          (std::array<int, 3>{uint8_t(bytes[plte + 4 + i * 3]), uint8_t(bytes[plte + 5 + i * 3]),
                                              uint8_t(bytes[plte + 6 + i * 3])}));
        }
    }
}

TEST_F(ForeignTest, OnlyTheFirstFrameOrTheCompositeIsTaken) {
    for (const char* coder : {"GIF", "TIFF", "ICO", "PSD"}) {
        SCOPED_TRACE(coder);
        const Rgb red{255, 0, 0}, blue{0, 0, 255};
        std::vector<Magick::Image> frames{solid(16, 16, red), solid(8, 8, blue)};
        if (coder == std::string("PSD")) {
            // Composite and one layer; this writer's colour-mapped PSD is unreadable.
            frames.back() = solid(16, 16, blue);
            for (Magick::Image& frame : frames) frame.type(Magick::TrueColorType);
        }
        const std::string file = path("frames." + std::string(coder));
        Magick::writeImages(frames.begin(), frames.end(), std::string(coder) + ":" + file);
        const Image image = decoded(file);
        ASSERT_EQ(image.width, 16);
        EXPECT_TRUE(near(pixel(image, 8, 8), {255, 0, 0}, 0));
    }
}

TEST_F(ForeignTest, AlphaAndDeepChannelsComeDownToEightBits) {
    Magick::Image picture = quadrantPicture(16, 16, Kind::Colour);
    picture.depth(16);
    picture.write("PNG48:" + path("deep.png"));
    const Image deep = decoded(path("deep.png"));
    EXPECT_EQ(deep.sourceBpp, 48);
    EXPECT_FALSE(deep.hasAlpha);
    expectQuadrants(deep, Kind::Colour, 0);

    picture.depth(8);
    picture.write("PNG32:" + path("opaque.png"));
    EXPECT_FALSE(decoded(path("opaque.png")).hasAlpha);
    Magick::ColorRGB halfClear(1, 0, 0);
    halfClear.alpha(0.5);
    picture.pixelColor(3, 3, halfClear);
    picture.write("PNG32:" + path("alpha.png"));
    const Image alpha = decoded(path("alpha.png"));
    EXPECT_TRUE(alpha.hasAlpha);
    EXPECT_EQ(alpha.sourceBpp, 32);
    EXPECT_NEAR(alpha.rgba[(3 * 16 + 3) * 4 + 3], 128, 1);

    // A 32-bit Targa whose alpha is 0 throughout never used it; one that
    // has some alpha keeps it.
    std::string targa(18, '\0');
    targa[2] = 2, targa[12] = 2, targa[14] = 1, targa[16] = 32, targa[17] = 0x28;
    writeBytes(path("unused.tga"), targa + std::string("\x10\x20\x30\x00\x40\x50\x60\x00", 8));
    const Image unused = decoded(path("unused.tga"));
    EXPECT_FALSE(unused.hasAlpha);
    EXPECT_EQ(unused.rgba, (std::vector<uint8_t>{0x30, 0x20, 0x10, 255, 0x60, 0x50, 0x40, 255}));
    writeBytes(path("used.tga"), targa + std::string("\x10\x20\x30\x00\x40\x50\x60\x80", 8));
    const Image used = decoded(path("used.tga"));
    EXPECT_TRUE(used.hasAlpha);
    EXPECT_EQ(used.rgba, (std::vector<uint8_t>{0x30, 0x20, 0x10, 0, 0x60, 0x50, 0x40, 0x80}));

    picture.colorSpace(Magick::CMYKColorspace);
    picture.write("JPEG:" + path("cmyk.jpg"));
    expectQuadrants(decoded(path("cmyk.jpg")), Kind::Colour, 24);
}

TEST_F(ForeignTest, RawR8TexturesAreGreyIndices) {
    std::string bytes(256 * 256, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = char((i % 256) ^ (i / 256));
    writeBytes(path("tex.R8"), bytes);
    const Image image = decoded(path("tex.R8"));
    ASSERT_EQ(image.width, 256);
    ASSERT_EQ(image.height, 256);
    // The file's first row is the picture's bottom row.
    for (size_t row = 0; row < 256; ++row)
        for (size_t x = 0; x < 256; x += 37)
            ASSERT_EQ(image.indices[(255 - row) * 256 + x], uint8_t(bytes[row * 256 + x])) << row << " " << x;
    for (int i = 0; i < 256; ++i)
        EXPECT_EQ(image.palette[size_t(i)], (PaletteEntry{uint8_t(i), uint8_t(i), uint8_t(i), 0}));
    expectConsistentPalette(image, false);
    int32_t w = 0, h = 0, bpp = 0;
    EXPECT_TRUE(pingForeign(path("tex.R8"), w, h, bpp));
    EXPECT_EQ(bpp, 8);

    // Only the exact size and the name make a raw texture.
    writeBytes(path("long.r8"), bytes + "x");
    writeBytes(path("tex.raw"), bytes);
    EXPECT_FALSE(decodeForeign(path("long.r8")));
    EXPECT_FALSE(decodeForeign(path("tex.raw")));
}

TEST_F(ForeignTest, BadFilesAreRefusedWithAReason) {
    std::mt19937 random(7);
    std::string noise(4096, '\0');
    for (char& c : noise) c = char(random());
    writeBytes(path("noise.png"), noise);
    writeBytes(path("empty.png"), "");
    const std::string png = [&] {
        quadrantPicture(64, 64, Kind::Colour).write("PNG24:" + path("whole.png"));
        return readBytes(path("whole.png"));
    }();
    writeBytes(path("cut.png"), png.substr(0, 60));
    // Content decides, not the name: a drawing script stays unread.
    writeBytes(path("script.png"), "viewbox 0 0 8 8\nfill red\nrectangle 0 0 8 8\n");
    writeBytes(path("wide.pgm"), "P5\n8193 1\n255\n" + std::string(8193, '\x80'));
    writeBytes(path("new.xcf"), std::string("gimp xcf v011\0", 14) + std::string(200, '\0'));
    // An attribute that says it is 2 GB long, in a file of a few bytes.
    writeBytes(path("huge.exr"), std::string("v/1\1\2\0\0\0comments\0string\0\xff\xff\xff\x7fx\0", 30));
    fs::create_directory(path("folder.png"));
    // Files cut short after their headers, which ImageMagick's own coders
    // stop reading with wording meant for its developers.
    std::vector<std::string> files{std::string(),     path("missing.png"), path("folder.png"), path("empty.png"),
                                   path("noise.png"), path("cut.png"),     path("script.png"), path("wide.pgm"),
                                   path("new.xcf"),   path("huge.exr"),    "label:Corvane"};
    const size_t refusedAtOnce = files.size();  // the rest have whole headers
    Magick::Image grain(Magick::Geometry(256, 256), Magick::Color("grey"));
    grain.addNoise(Magick::GaussianNoise);
    for (const char* format : {"PCX", "PSD", "TGA"}) {
        const std::string whole = path(std::string("whole.") + format);
        grain.write(std::string(format) + ":" + whole);
        files.push_back(path(std::string("cut.") + format));
        writeBytes(files.back(), readBytes(whole).substr(0, 1000));
    }

    for (size_t k = 0; k < files.size(); ++k) {
        const std::string& file = files[k];
        SCOPED_TRACE(file);
        quor::Failure why;
        EXPECT_FALSE(decodeForeign(file, &why));
        EXPECT_FALSE(why.text.empty());
        if (k < refusedAtOnce) {
            EXPECT_FALSE(canDecodeForeign(file));
        }
        // Not the decoder's source file and line, nor the program's name
        // before the reason.
        for (const char* internal : {"@ error/", ".c/", "`", "imagelib_tests:"})
            EXPECT_EQ(why.text.find(internal), std::string::npos) << why.text;
        if (file.ends_with("new.xcf")) {
            EXPECT_NE(why.text.find("newer GIMP"), std::string::npos) << why.text;
        }
    }
}

TEST_F(ForeignTest, SlowDecodesAreAbandoned) {
    Magick::Image picture(Magick::Geometry(512, 512), Magick::Color("grey"));
    picture.addNoise(Magick::GaussianNoise);
    picture.write("PNG24:" + path("slow.png"));
    setForeignDecodeTimeLimit(0);
    quor::Failure why;
    EXPECT_FALSE(decodeForeign(path("slow.png"), &why));
    EXPECT_NE(why.text.find("too long"), std::string::npos) << why.text;
    setForeignDecodeTimeLimit(30'000);
    EXPECT_TRUE(decodeForeign(path("slow.png")));
}

}  // namespace
}  // namespace quor
