// The BMP codec: every layout it claims to read, and what it writes.
#include "image.h"
#include "testbmp.h"

using namespace testbmp;
using quor::BmpRead;
using quor::Image;

namespace {

Image read(const Bytes& file, BmpRead expect = BmpRead::Ok) {
    Image image;
    quor::Failure why;
    EXPECT_EQ(quor::readBmp(file.data(), file.size(), image, &why), expect) << why.text;
    return image;
}

std::array<uint8_t, 4> pixel(const Image& image, int x, int y) {
    const uint8_t* p = image.rgba.data() + (size_t(y) * size_t(image.width) + size_t(x)) * 4;
    return {p[0], p[1], p[2], p[3]};
}

using Rgba = std::array<uint8_t, 4>;

Bytes row16(std::initializer_list<uint16_t> words) {
    Bytes row;
    for (uint16_t w : words) row.insert(row.end(), {uint8_t(w), uint8_t(w >> 8)});
    return row;
}

Bytes row32(std::initializer_list<uint32_t> words) {
    Bytes row;
    for (uint32_t w : words) row.insert(row.end(), {uint8_t(w), uint8_t(w >> 8), uint8_t(w >> 16), uint8_t(w >> 24)});
    return row;
}

// The standard 16-bit Extended Bitmap header: 40-byte info header, three
// masks, a 20-byte "AVTX" record, pixels at 86.  Its size fields describe
// the whole set, not this level, as the level files of a split carry them.
Spec extendedHeader16(int32_t edge, uint32_t red, uint32_t green, uint32_t blue) {
    Spec s;
    s.width = edge;
    s.height = edge;
    s.bpp = 16;
    s.compression = 3;
    s.masks = {red, green, blue};
    s.gap = {'A', 'V', 'T', 'X', 20, 0, 0, 0};
    s.gap.resize(20, 0);
    return s;
}

}  // namespace

TEST(BmpRead, EightBitKeepsPaletteIndicesAndFourthBytes) {
    for (int32_t height : {2, -2}) {
        Spec s;
        s.width = 3;
        s.height = height;
        s.bpp = 8;
        s.palette = {{10, 20, 30, 0}, {40, 50, 60, 0}, {70, 80, 90, 7}};
        s.coloursUsed = 3;
        s.rows = {{0, 1, 2}, {2, 2, 0}};
        const Image image = read(make(s));
        ASSERT_EQ(image.width, 3);
        ASSERT_EQ(image.height, 2);
        EXPECT_TRUE(image.indexed);
        EXPECT_EQ(image.sourceBpp, 8);
        const int first = height > 0 ? 1 : 0;  // image row of the file's first row
        EXPECT_EQ(image.indices[size_t(first) * 3 + 1], 1);
        EXPECT_EQ(image.indices[size_t(1 - first) * 3], 2);
        EXPECT_EQ(image.palette[2], (quor::PaletteEntry{70, 80, 90, 7}));
        EXPECT_EQ(image.palette[3], quor::PaletteEntry{});
        // Pixels show the palette colour; the levels are alpha once any is set.
        EXPECT_EQ(pixel(image, 1, first), (Rgba{60, 50, 40, 0}));
        EXPECT_EQ(pixel(image, 0, 1 - first), (Rgba{90, 80, 70, 7}));
    }
}

TEST(BmpRead, EightBitWithoutLevelsIsOpaque) {
    Spec s;
    s.width = 1;
    s.height = 1;
    s.bpp = 8;
    s.palette = greyPalette();
    s.rows = {{200}};
    const Image image = read(make(s));
    EXPECT_EQ(pixel(image, 0, 0), (Rgba{200, 200, 200, 255}));
    EXPECT_FALSE(image.hasAlpha);
}

TEST(BmpRead, TwentyFourBitPaddedPackedAndTopDown) {
    Spec s;
    s.width = 3;
    s.height = 2;
    s.rows = {{1, 2, 3, 4, 5, 6, 7, 8, 9}, {10, 11, 12, 13, 14, 15, 16, 17, 18}};
    for (bool pad : {true, false}) {
        for (int32_t height : {2, -2}) {
            s.padRows = pad;
            s.height = height;
            const Image image = read(make(s));
            const int first = height > 0 ? 1 : 0;
            EXPECT_EQ(pixel(image, 2, first), (Rgba{9, 8, 7, 255})) << pad << height;
            EXPECT_EQ(pixel(image, 0, 1 - first), (Rgba{12, 11, 10, 255})) << pad << height;
        }
    }
}

TEST(BmpRead, ExtendedBitmapLevelsAfterAnUnpaddedLargestLevel) {
    // A 24-bit 2x2 set: 12 bytes of largest level then the 1x1 level.
    Spec s;
    s.width = 2;
    s.height = 2;
    s.padRows = false;
    s.rows = {{1, 2, 3, 4, 5, 6}, {7, 8, 9, 10, 11, 12}};
    s.trailer = {13, 14, 15};
    const Image image = read(make(s));
    EXPECT_EQ(pixel(image, 1, 1), (Rgba{6, 5, 4, 255}));
    EXPECT_EQ(pixel(image, 0, 0), (Rgba{9, 8, 7, 255}));
}

TEST(BmpRead, SixteenBitFiveFiveFiveAndFiveSixFive) {
    Spec plain;
    plain.width = 3;
    plain.height = 1;
    plain.bpp = 16;
    plain.rows = {row16({0x7C00, 0x03E0, 0x4210})};  // BI_RGB is 5-5-5
    const Image a = read(make(plain));
    EXPECT_EQ(pixel(a, 0, 0), (Rgba{255, 0, 0, 255}));
    EXPECT_EQ(pixel(a, 1, 0), (Rgba{0, 255, 0, 255}));
    EXPECT_EQ(pixel(a, 2, 0), (Rgba{132, 132, 132, 255}));

    Spec s = extendedHeader16(2, 0xF800, 0x07E0, 0x001F);
    s.rows = {row16({0xF800, 0x07E0}), row16({0x001F, 0x8410})};
    const Bytes file = make(s);
    ASSERT_EQ(get32(file, 10), 86u);
    const Image b = read(file);
    EXPECT_EQ(pixel(b, 0, 1), (Rgba{255, 0, 0, 255}));
    EXPECT_EQ(pixel(b, 1, 1), (Rgba{0, 255, 0, 255}));
    EXPECT_EQ(pixel(b, 0, 0), (Rgba{0, 0, 255, 255}));
    EXPECT_EQ(pixel(b, 1, 0), (Rgba{132, 130, 132, 255}));
    EXPECT_EQ(b.sourceBpp, 16);
}

TEST(BmpRead, SixteenBitOnePixelOfTwoBytes) {
    Spec s = extendedHeader16(1, 0xF800, 0x07E0, 0x001F);
    s.padRows = false;
    s.rows = {row16({0x07E0})};
    Bytes file = make(s);
    put32(file, 2, 174848);  // the set's size fields, as a split leaves them
    put32(file, 34, 174762);
    ASSERT_EQ(file.size(), 88u);
    EXPECT_EQ(pixel(read(file), 0, 0), (Rgba{0, 255, 0, 255}));
}

TEST(BmpRead, FourFourFourFourAlpha) {
    // In the Extended Bitmap header the alpha mask is implied.
    Spec s = extendedHeader16(2, 0x0F00, 0x00F0, 0x000F);
    s.rows = {row16({0xFF00, 0x80F0}), row16({0x000F, 0x0FFF})};
    Image image = read(make(s));
    EXPECT_EQ(pixel(image, 0, 1), (Rgba{255, 0, 0, 255}));
    EXPECT_EQ(pixel(image, 1, 1), (Rgba{0, 255, 0, 136}));
    EXPECT_EQ(pixel(image, 0, 0), (Rgba{0, 0, 255, 0}));
    EXPECT_TRUE(image.hasAlpha);

    // Spare bits that are 0 everywhere mean an opaque picture.
    s.rows = {row16({0x0F00, 0x00F0}), row16({0x000F, 0x0FFF})};
    image = read(make(s));
    EXPECT_EQ(pixel(image, 0, 0), (Rgba{0, 0, 255, 255}));
    EXPECT_FALSE(image.hasAlpha);

    // A V5 header names the alpha mask itself.
    Spec v5;
    v5.width = 1;
    v5.height = 1;
    v5.bpp = 16;
    v5.compression = 3;
    v5.infoSize = 124;
    v5.masks = {0x0F00, 0x00F0, 0x000F, 0xF000};
    v5.rows = {row16({0x7F00})};
    EXPECT_EQ(pixel(read(make(v5)), 0, 0), (Rgba{255, 0, 0, 119}));
}

TEST(BmpRead, EveryInfoHeaderLengthWithMasks) {
    for (uint32_t infoSize : {40u, 52u, 56u, 108u, 124u}) {
        Spec s;
        s.width = 2;
        s.height = 1;
        s.bpp = 16;
        s.compression = 3;
        s.infoSize = infoSize;
        s.masks = {0xF800, 0x07E0, 0x001F};
        s.rows = {row16({0xF800, 0x001F})};
        const Image image = read(make(s));
        EXPECT_EQ(pixel(image, 0, 0), (Rgba{255, 0, 0, 255})) << infoSize;
        EXPECT_EQ(pixel(image, 1, 0), (Rgba{0, 0, 255, 255})) << infoSize;
    }
}

TEST(BmpRead, ThirtyTwoBitAlphaOnlyWhenUsed) {
    Spec s;
    s.width = 2;
    s.height = 1;
    s.bpp = 32;
    s.rows = {row32({0x00112233, 0x00445566})};
    Image image = read(make(s));
    EXPECT_EQ(pixel(image, 0, 0), (Rgba{0x11, 0x22, 0x33, 255}));
    EXPECT_FALSE(image.hasAlpha);

    s.rows = {row32({0x80112233, 0x00445566})};
    image = read(make(s));
    EXPECT_EQ(pixel(image, 0, 0), (Rgba{0x11, 0x22, 0x33, 0x80}));
    EXPECT_EQ(pixel(image, 1, 0), (Rgba{0x44, 0x55, 0x66, 0}));

    // Masks in another order, with and without an alpha mask.
    s.compression = 3;
    s.masks = {0x000000FF, 0x0000FF00, 0x00FF0000};
    image = read(make(s));
    EXPECT_EQ(pixel(image, 0, 0), (Rgba{0x33, 0x22, 0x11, 255}));
    s.infoSize = 108;
    s.masks = {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000};
    EXPECT_EQ(pixel(read(make(s)), 0, 0), (Rgba{0x11, 0x22, 0x33, 0x80}));
}

TEST(BmpRead, ShortFileLoadsWhatIsThere) {
    Spec s;
    s.width = 2;
    s.height = 3;
    s.rows = {{1, 1, 1, 2, 2, 2}, {3, 3, 3, 4, 4, 4}, {5, 5, 5, 6, 6, 6}};
    Bytes file = make(s);
    file.resize(file.size() - 8 - 4);  // the top row is gone, the middle one half so
    const Image image = read(file);
    EXPECT_EQ(pixel(image, 1, 2), (Rgba{2, 2, 2, 255}));
    EXPECT_EQ(pixel(image, 0, 1), (Rgba{3, 3, 3, 255}));
    EXPECT_EQ(pixel(image, 1, 1), (Rgba{0, 0, 4, 255}));
    EXPECT_EQ(pixel(image, 0, 0), (Rgba{0, 0, 0, 255}));
}

TEST(BmpRead, VariantsLeftToTheGeneralDecoder) {
    Spec s;
    s.width = 1;
    s.height = 1;
    s.bpp = 8;
    s.palette = greyPalette();
    s.rows = {{0}};
    Spec rle = s;
    rle.compression = 1;
    Spec fourBit = s;
    fourBit.bpp = 4;
    Spec jpeg = s;
    jpeg.bpp = 0;
    jpeg.compression = 4;
    Spec os2 = s;
    os2.infoSize = 12;
    for (const Spec& v : {rle, fourBit, jpeg, os2}) read(make(v), BmpRead::Unsupported);
    const Bytes png = {0x89, 'P', 'N', 'G', 13, 10, 26, 10};
    read(png, BmpRead::NotBmp);
}

TEST(BmpWrite, ThirtyTwoBitReadsBackExactly) {
    // Every alpha from clear to opaque, and a picture opaque throughout,
    // which must not come back translucent.
    Image picture;
    picture.width = 7;
    picture.height = 3;
    for (int i = 0; i < 21 * 4; ++i) picture.rgba.push_back(uint8_t(i * 37 + 11));
    for (int i = 0; i < 21; ++i) picture.rgba[size_t(i) * 4 + 3] = uint8_t(i == 0 ? 0 : i == 1 ? 255 : i * 12);
    picture.hasAlpha = true;
    Image opaque = picture;
    for (int i = 0; i < 21; ++i) opaque.rgba[size_t(i) * 4 + 3] = 255;
    opaque.hasAlpha = false;
    for (const Image& source : {picture, opaque}) {
        const Bytes file = quor::encodeBmp32(source);
        ASSERT_EQ(get32(file, 10), 122u);
        ASSERT_EQ(file.size(), 122u + 21 * 4);
        const Image back = read(file);
        EXPECT_EQ(back.width, 7);
        EXPECT_EQ(back.height, 3);
        EXPECT_EQ(back.rgba, source.rgba);
        EXPECT_EQ(back.hasAlpha, source.hasAlpha);
        EXPECT_EQ(back.sourceBpp, 32);
    }
}
