// Extended Bitmaps of every form, made byte by byte for the tests.
#pragma once

#include "layout.h"
#include "library.h"
#include "workspace.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace corvane::testing {

using Bytes = std::vector<uint8_t>;

enum class Form { Eight, EightRecord, Rgb565, Argb4444, Argb4444Short, Rgb24, Argb32 };

inline int bytesPerPixel(Form f) {
    switch (f) {
        case Form::Eight:
        case Form::EightRecord:
            return 1;
        case Form::Rgb24:
            return 3;
        case Form::Argb32:
            return 4;
        default:
            return 2;
    }
}

inline int headerLength(Form f) {
    switch (f) {
        case Form::Eight:
            return 1078;
        case Form::EightRecord:
            return 1098;
        case Form::Rgb565:
        case Form::Argb4444:
            return 86;
        case Form::Argb4444Short:
            return 66;
        case Form::Rgb24:
        case Form::Argb32:
            return 54;
    }
    return 0;
}

// Deterministic pixel bytes that differ from level to level.
inline uint8_t patternByte(size_t i) { return uint8_t((i * 2654435761u) >> 13); }

inline Bytes makeSet(Form form, int edge) {
    using namespace layout;
    const int h = headerLength(form);
    Bytes b(size_t(h), 0);
    b[0] = 'B';
    b[1] = 'M';
    write32(b, kPixelOffsetAt, uint32_t(h));
    write32(b, kInfoLengthAt, 40);
    write32(b, kWidthAt, uint32_t(edge));
    write32(b, kHeightAt, uint32_t(edge));
    write16(b, 26, 1);
    write16(b, kBitsAt, uint16_t(bytesPerPixel(form) * 8));
    write32(b, 6, 0x01020304);  // reserved words are carried as they are
    if (form == Form::Eight || form == Form::EightRecord) {
        for (size_t i = 0; i < 256; ++i) {
            b[54 + 4 * i] = uint8_t(i);
            b[55 + 4 * i] = uint8_t(255 - i);
            b[56 + 4 * i] = uint8_t(i * 7);
            b[57 + 4 * i] = uint8_t(i % 3 == 0 ? 0 : 255);
        }
        if (form == Form::EightRecord) {
            const char tag[] = "AVTX";
            std::copy(tag, tag + 4, b.begin() + 1078);
            write32(b, 1082, 20);
            for (int i = 0; i < 12; ++i) b[size_t(1086 + i)] = uint8_t(i * 20 - 100);
        }
    } else if (form != Form::Rgb24 && form != Form::Argb32) {
        write32(b, kCompressionAt, 3);
        const bool argb = form != Form::Rgb565;
        write32(b, 54, argb ? 0x0F00 : 0xF800);
        write32(b, 58, argb ? 0x00F0 : 0x07E0);
        write32(b, 62, argb ? 0x000F : 0x001F);
        if (h == 86) {
            b[66] = 'A';
            b[67] = 'V';
            b[68] = 'T';
            b[69] = 'X';
            write32(b, 70, 20);
            b[80] = 8;
        }
    }
    const size_t pixels = size_t(chainPixels(edge)) * size_t(bytesPerPixel(form));
    for (size_t i = 0; i < pixels; ++i) b.push_back(patternByte(i + size_t(edge)));
    write32(b, kFileSizeAt, uint32_t(b.size()));
    write32(b, kImageSizeAt, uint32_t(pixels));
    return b;
}

// A plain bottom-up BMP, 24-bit, or 8-bit with a grey palette whose
// transparency levels follow the grey.
// The headers of an 8-bit set of `edge` with an all-black palette; the
// caller fills the palette, appends the levels and calls finishSet8().
inline Bytes setHeaders8(int edge) {
    Bytes b(size_t(layout::kPaletteHeader), 0);
    b[0] = 'B';
    b[1] = 'M';
    layout::write32(b, layout::kPixelOffsetAt, uint32_t(layout::kPaletteHeader));
    layout::write32(b, layout::kInfoLengthAt, 40);
    layout::write32(b, layout::kWidthAt, uint32_t(edge));
    layout::write32(b, layout::kHeightAt, uint32_t(edge));
    layout::write16(b, 26, 1);
    layout::write16(b, layout::kBitsAt, 8);
    return b;
}

inline void finishSet8(Bytes& b) {
    layout::write32(b, layout::kFileSizeAt, uint32_t(b.size()));
    layout::write32(b, layout::kImageSizeAt, uint32_t(b.size() - size_t(layout::kPaletteHeader)));
}

inline Bytes plainBmp(int width, int height, int bits, int seed = 3) {
    const int row = ((width * bits / 8) + 3) & ~3;
    const int offset = bits == 8 ? 1078 : 54;
    Bytes b(size_t(offset), 0);
    b[0] = 'B';
    b[1] = 'M';
    layout::write32(b, layout::kPixelOffsetAt, uint32_t(offset));
    layout::write32(b, layout::kInfoLengthAt, 40);
    layout::write32(b, layout::kWidthAt, uint32_t(width));
    layout::write32(b, layout::kHeightAt, uint32_t(height));
    layout::write16(b, 26, 1);
    layout::write16(b, layout::kBitsAt, uint16_t(bits));
    for (size_t i = 0; bits == 8 && i < 256; ++i)
        b[54 + 4 * i] = b[55 + 4 * i] = b[56 + 4 * i] = b[57 + 4 * i] = uint8_t(i);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < row; ++x) b.push_back(uint8_t((x * seed + y * 5) & 0xFF));
    layout::write32(b, layout::kFileSizeAt, uint32_t(b.size()));
    return b;
}

inline bool writeBytes(const QString& path, const Bytes& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) &&
           f.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size())) == qint64(bytes.size());
}

inline Bytes readBytes(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    const QByteArray d = f.readAll();
    return Bytes(d.begin(), d.end());
}

// A scratch folder with a workspace inside it.
struct Scratch {
    QTemporaryDir dir;
    Workspace workspace;
    Scratch() : workspace(Workspace::inFolder(makeWork(dir))) {}
    QString path(const QString& name) const { return dir.filePath(name); }
    static QString makeWork(const QTemporaryDir& d) {
        QDir(d.path()).mkpath("work");
        return d.filePath("work");
    }
};

// Records every library call; converts nothing.
class RecordingLibrary : public ImageLibrary {
public:
    std::vector<std::string> calls;
    bool anyToBmp(const QString& s, const QString& d) override { return note("anytobmps", s, d); }
    bool anyTo256(const QString& s, const QString& d) override { return note("anyto256", s, d); }
    bool check(const QString&, int& w, int& h, int& bits) override {
        w = h = 0;
        bits = 0;
        return false;
    }
    bool resize(const QString& s, const QString& d, int w, int) override {
        return note("resize", s, d, std::to_string(w));
    }
    bool filter(const QString& s, const QString& d, Filter f) override {
        return note("filter", s, d, std::to_string(int(f)));
    }
    bool adjust(const QString& s, const QString& d, const ColourAdjustment& a) override {
        return note("adjust", s, d, std::to_string(a.brightness));
    }
    bool remap(const QString& s, const QString& d, const QString& p) override { return note("remap", s, d, name(p)); }
    bool valid(const QString&) override { return true; }
    bool resizeFull(const QString& s, const QString& d, int w, int, bool, int) override {
        return note("resizefull", s, d, std::to_string(w));
    }
    bool remapUsed(const QString& s, const QString& d, const QString& p) override {
        return note("remapused", s, d, name(p));
    }
    bool readRgba(const QString&, int&, int&, int&, std::vector<uint8_t>&) override { return false; }

    static std::string name(const QString& path) { return QFileInfo(path).fileName().toStdString(); }

private:
    bool note(const char* what, const QString& s, const QString& d, const std::string& extra = {}) {
        std::string line = std::string(what) + " " + name(s) + " " + name(d);
        if (!extra.empty()) line += " " + extra;
        calls.push_back(line);
        return true;
    }
};

// A DDS file laid out here, from the format's published layout: the legacy
// header naming the texels by a four-character code or by bit masks, or the
// DX10 header naming them by their DXGI code.
struct DdsHeader {
    uint32_t fourCc = 0;              // or 0
    uint32_t bits = 0;                // uncompressed: bits a texel ...
    std::array<uint32_t, 4> masks{};  // ... and the masks of red, green, blue, alpha
    uint32_t dxgi = 0;                // with the DX10 header, else 0
    uint32_t dimension = 3, arraySize = 1, miscFlag = 0;
};

inline Bytes laidOutDds(const DdsHeader& h, uint32_t edge, uint32_t mips, const Bytes& payload, uint32_t height = 0) {
    Bytes b(128, 0);
    std::copy_n("DDS ", 4, b.begin());
    layout::write32(b, 4, 124);
    layout::write32(b, 8, 0x1 | 0x2 | 0x4 | 0x1000 | 0x20000);
    layout::write32(b, 12, height ? height : edge);
    layout::write32(b, 16, edge);
    layout::write32(b, 28, mips);
    layout::write32(b, 76, 32);
    if (h.dxgi) {
        layout::write32(b, 80, 0x4);
        layout::write32(b, 84, 0x30315844);  // "DX10"
        for (uint32_t v : {h.dxgi, h.dimension, h.miscFlag, h.arraySize, 0u}) {
            b.resize(b.size() + 4);
            layout::write32(b, b.size() - 4, v);
        }
    } else if (h.fourCc) {
        layout::write32(b, 80, 0x4);
        layout::write32(b, 84, h.fourCc);
    } else {
        layout::write32(b, 80, 0x40 | (h.masks[3] ? 0x1 : 0));
        layout::write32(b, 88, h.bits);
        for (size_t c = 0; c < 4; ++c) layout::write32(b, 92 + 4 * c, h.masks[c]);
    }
    layout::write32(b, 108, 0x1000 | 0x400000 | 0x8);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

}  // namespace corvane::testing
