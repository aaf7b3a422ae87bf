// The block formats: what each one is, and how DDS files name it.  The
// block coders (blocks.cpp), the C interface, the DDS writer and reader and
// the --dds-format option all read this table; a new format is a row here
// and its coder.
#pragma once

#include <cstdint>

namespace quor::blocks {

// Also the formats' numbers in the C interface (QUOR_BC1 ...).
enum class Format { Bc1 = 1, Bc2 = 2, Bc3 = 3, Bc7 = 7 };

struct FormatRow {
    Format format;
    const char* name;     // "BC1"; --dds-format takes it in lower case
    const char* fourCc;   // its code in a DDS file's legacy header, or null where only the DX10 header names it
    uint32_t dxgi;        // its code in the DX10 header (the sRGB form of a format is the next number)
    uint32_t blockBytes;  // of one block of 4x4 texels
    bool hasAlpha;        // keeps an alpha channel (BC1 is written opaque)
    bool encodes;         // the library writes it; every format is read
    bool inDdsFiles;      // DDS files offer it: Save As DDS and --dds-format write it, the reader reads it

    constexpr bool needsDx10Header() const { return fourCc == nullptr; }
};

inline constexpr FormatRow kFormats[] = {
    // format      name   FourCC  DXGI bytes alpha  encodes inDdsFiles
    {Format::Bc1, "BC1", "DXT1", 71, 8, false, true, true},
    {Format::Bc2, "BC2", "DXT3", 74, 16, true, false, true},
    {Format::Bc3, "BC3", "DXT5", 77, 16, true, true, true},
    {Format::Bc7, "BC7", nullptr, 98, 16, true, true, true},
};

// The row of the format the C interface numbers so, or null.
constexpr const FormatRow* formatRow(int32_t number) {
    for (const FormatRow& row : kFormats)
        if (int32_t(row.format) == number) return &row;
    return nullptr;
}

constexpr const FormatRow& formatRow(Format format) { return *formatRow(int32_t(format)); }

// A DDS file's four-character code as its header holds it (little endian).
constexpr uint32_t fourCcCode(const char* code) {
    return uint32_t(uint8_t(code[0])) | uint32_t(uint8_t(code[1])) << 8 | uint32_t(uint8_t(code[2])) << 16 |
           uint32_t(uint8_t(code[3])) << 24;
}

}  // namespace quor::blocks
