// Hostile and damaged files: each is refused or read within bounds, never
// crashes, and a refused conversion leaves its destination byte for byte.
#include "image.h"
#include "quorimg.h"
#include "testbmp.h"

#include <climits>
#include <cstring>
#include <random>

using namespace testbmp;

namespace {

struct Case {
    std::string name;
    Bytes bytes;
    bool mustRefuse = false;
};

Bytes base16() {
    Spec s;
    s.width = 4;
    s.height = 4;
    s.bpp = 16;
    s.compression = 3;
    s.masks = {0xF800, 0x07E0, 0x001F};
    s.gap.assign(20, 0);
    s.rows.assign(4, Bytes(8, 0x5A));
    return make(s);
}

Bytes base32() {
    Spec s;
    s.width = 3;
    s.height = -3;
    s.bpp = 32;
    s.compression = 3;
    s.infoSize = 124;
    s.masks = {0xFF0000, 0xFF00, 0xFF, 0xFF000000};
    s.rows.assign(3, Bytes(12, 0x80));
    return make(s);
}

std::vector<Case> malformedFiles() {
    const std::vector<std::pair<std::string, Bytes>> bases = {
        {"8", make8(5, 3, [](int x, int y) { return x + y; })},
        {"24", make24(5, 3, [](int x, int) { return uint32_t(x * 0x111111); })},
        {"16", base16()},
        {"32", base32()},
    };
    std::vector<Case> cases;
    auto add = [&](const std::string& name, Bytes bytes, bool refuse = false) {
        cases.push_back({name, std::move(bytes), refuse});
    };
    auto with32 = [](Bytes b, size_t at, uint32_t v) {
        put32(b, at, v);
        return b;
    };
    std::mt19937 random(2024);
    for (const auto& [name, good] : bases) {
        for (size_t n = 0; n < good.size(); n += n < 100 ? 1 : 37)
            add(name + "-cut" + std::to_string(n), Bytes(good.begin(), good.begin() + std::ptrdiff_t(n)));
        for (uint32_t w : {0u, uint32_t(-1), 8193u, uint32_t(INT_MAX), uint32_t(INT_MIN)})
            add(name + "-width" + std::to_string(w), with32(good, 18, w), true);
        for (uint32_t h : {0u, uint32_t(INT_MIN), uint32_t(-8193), 8193u, uint32_t(INT_MAX)})
            add(name + "-height" + std::to_string(h), with32(good, 22, h), true);
        for (uint16_t bpp : {0, 7, 64, 3, 12}) {
            Bytes b = good;
            put16(b, 28, bpp);
            add(name + "-bpp" + std::to_string(bpp), b, true);
        }
        for (uint32_t offset : {0u, 1u, 53u, uint32_t(good.size()), uint32_t(good.size() + 1), 0xFFFFFFFFu})
            add(name + "-offset" + std::to_string(offset), with32(good, 10, offset), true);
        for (uint32_t info : {0u, 39u, uint32_t(good.size()), 0xFFFFFFFFu})
            add(name + "-info" + std::to_string(info), with32(good, 14, info));
        for (uint32_t compression : {3u, 99u, 0xFFFFFFFFu})
            add(name + "-compression" + std::to_string(compression), with32(good, 30, compression));
        // Lying sizes and counts that a careful reader ignores or bounds.
        add(name + "-filesize", with32(good, 2, 0xFFFFFFFF));
        add(name + "-imagesize", with32(good, 34, 0xFFFFFFFF));
        add(name + "-colours", with32(good, 46, 0xFFFFFFFF));
        add(name + "-masks0", with32(with32(with32(good, 54, 0), 58, 0), 62, 0));
        add(name + "-masks1", with32(with32(good, 54, 0xFFFFFFFF), 58, 0x80000001));
        for (int i = 0; i < 40; ++i) {
            Bytes b = good;
            for (int flips = 1 + i % 4; flips > 0; --flips) b[2 + random() % 84] = uint8_t(random());
            add(name + "-flip" + std::to_string(i), b);
        }
    }
    // A header promising the largest picture over a handful of bytes.
    Spec huge;
    huge.width = 8192;
    huge.height = 8192;
    huge.bpp = 32;
    huge.rows = {Bytes(100, 0xFF)};
    add("huge-promise", make(huge), true);
    add("garbage-after-BM", [&] {
        Bytes b(3000);
        for (auto& v : b) v = uint8_t(random());
        b[0] = 'B';
        b[1] = 'M';
        return b;
    }());
    return cases;
}

bool sane(const quor::Image& image) {
    return image.width > 0 && image.height > 0 && image.width <= quor::kMaxEdge && image.height <= quor::kMaxEdge &&
           image.rgba.size() == image.pixelCount() * 4 &&
           (!image.indexed || image.indices.size() == image.pixelCount());
}

}  // namespace

TEST(Malformed, CodecRefusesOrReadsWithinBounds) {
    for (const Case& c : malformedFiles()) {
        // An exact-size copy lets the sanitizers see any read past the end.
        const std::unique_ptr<uint8_t[]> exact(new uint8_t[c.bytes.size() + 1]);
        if (!c.bytes.empty()) std::memcpy(exact.get(), c.bytes.data(), c.bytes.size());
        quor::Image image;
        const quor::BmpRead result = quor::readBmp(exact.get(), c.bytes.size(), image);
        if (c.mustRefuse) {
            EXPECT_NE(result, quor::BmpRead::Ok) << c.name;
        }
        if (result == quor::BmpRead::Ok) {
            EXPECT_TRUE(sane(image)) << c.name;
        }
    }
}

TEST(Malformed, RoutinesRefuseWithoutTouchingTheDestination) {
    ScratchDir in, out;
    const std::string dst = out.file("dest.bmp");
    const Bytes before = make24(3, 3, [](int, int) { return 0xABCDEFu; });
    writeAll(dst, before);
    for (const Case& c : malformedFiles()) {
        const std::string src = in.file(c.name + ".bmp");
        writeAll(src, c.bytes);
        QuorContext ctx;
        std::memset(ctx.bytes, 0, sizeof ctx.bytes);
        // A damaged palette file may still hold a usable palette, so the remap
        // is not required to refuse.
        auto check = [&](const char* routine, int32_t result, bool strict = true) {
            const Bytes after = readAll(dst);
            if (result == 0) {
                EXPECT_EQ(after, before) << routine << " " << c.name;
            } else {
                quor::Image image;
                EXPECT_EQ(quor::readBmp(after.data(), after.size(), image), quor::BmpRead::Ok)
                    << routine << " " << c.name;
                writeAll(dst, before);
            }
            if (c.mustRefuse && strict) {
                EXPECT_EQ(result, 0) << routine << " " << c.name;
            }
        };
        check("anytobmps", _anytobmps(src.c_str(), dst.c_str(), &ctx, 0, 0));
        check("bmpresize", _bmpresize(src.c_str(), dst.c_str(), &ctx, 8, 8));
        check("bmprocess", _bmprocess(src.c_str(), dst.c_str(), &ctx, 101));
        check("bmpremap", _bmpremap(dst.c_str(), dst.c_str(), &ctx, src.c_str()), false);

        std::memset(ctx.bytes, 0xEE, 12);
        if (_checkbmp(src.c_str(), &ctx) == 0) {
            for (int i = 0; i < 12; ++i) ASSERT_EQ(ctx.bytes[i], 0xEE) << c.name;
        }
        if (c.mustRefuse) {
            EXPECT_EQ(_Pic_Valid(src.c_str()), 0) << c.name;
        }
    }
    EXPECT_EQ(out.entries(), 1u);  // no temporary files left behind
}
