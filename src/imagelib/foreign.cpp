// Every picture format that is not a BMP our own codec reads: decoded by
// ImageMagick (Magick++), plus raw R8 textures, which carry no header at all.
//
// A file never reaches ImageMagick by name.  We read it ourselves, recognise
// its format from its first bytes and hand the bytes to that one decoder;
// ImageMagick's own guessing (and its file-name syntax: "label:", "[0]",
// "@list" ...) would let a crafted file reach coders we never meant to use.
#include "bytes.h"
#include "foreignmodule.h"
#include "image.h"

#include <Magick++.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <unordered_map>

namespace quor {
namespace {

using Clock = std::chrono::steady_clock;

// Larger files are refused before they are read into memory.
constexpr uintmax_t kMaxForeignFileBytes = uintmax_t(256) << 20;
constexpr uintmax_t kR8Bytes = 256 * 256;
constexpr int32_t kR8Edge = 256;

std::atomic<int64_t> decodeTimeLimitMs{30'000};

std::string tooSlowReason() {
    return "decoding it took too long (the limit is " + std::to_string(decodeTimeLimitMs.load() / 1000) + " s)";
}

// A reason of the picture's format, unless told otherwise.
void setWhy(Failure* why, std::string text, int32_t code = QUOR_ERROR_FORMAT, int32_t systemError = 0) {
    failWith(why, code, std::move(text), systemError);
}

// ImageMagick words its failures for its own developers ("corvane: unexpected
// end-of-file `' @ error/pcx.c/ReadPCXImage/446"): the reason alone is kept,
// without the program's name before it or the file and source line after.
std::string magickReason(std::string_view what) {
    if (const size_t colon = what.find(": "); colon != std::string_view::npos && colon < what.find(' '))
        what.remove_prefix(colon + 2);
    for (const std::string_view tail : {" `", " @ "})
        if (const size_t at = what.find(tail); at != std::string_view::npos) what = what.substr(0, at);
    while (!what.empty() && (what.back() == ' ' || what.back() == '.' || what.back() == '\'')) what.remove_suffix(1);
    if (what.empty()) return "The picture cannot be decoded";
    return "The picture cannot be decoded: " + std::string(what);
}

// The largest side ImageMagick is let read, so that a ping tells the size
// of a picture up to this large.
constexpr int32_t kPingedEdge = 2 * kMaxEdge;

void initMagickOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        Magick::InitializeMagick(nullptr);
        using namespace MagickCore;
        // Our limits sit below the system policy, which may be looser (or
        // absent).  The pixel cache stays in memory: no disk, so a hostile
        // file cannot fill the temp folder.  No TimeResource: ImageMagick 6
        // counts it from the first image of the process and then ends the
        // whole process; the decode deadline below does that job instead.
        SetMagickResourceLimit(MemoryResource, MagickSizeType(kDecoderMemoryMiB) << 20);
        SetMagickResourceLimit(MapResource, MagickSizeType(kDecoderMemoryMiB) << 20);
        SetMagickResourceLimit(DiskResource, 0);
        // Twice our own limit on a side, so that a ping can still tell the
        // size of a picture we then refuse, and say it.
        SetMagickResourceLimit(WidthResource, MagickSizeType(kPingedEdge));
        SetMagickResourceLimit(HeightResource, MagickSizeType(kPingedEdge));
        SetMagickResourceLimit(AreaResource, MagickSizeType(kMaxEdge) * MagickSizeType(kMaxEdge));
        SetMagickResourceLimit(ListLengthResource, 128);
    });
}

std::string lowerExtension(const std::string& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return ext;
}

// ---- Recognising the format ------------------------------------------------

// The colour table a file declares, where ImageMagick does not keep it for
// us: it turns a palette PNG with transparency into true colour.
struct DeclaredPalette {
    Palette entries{};
    int count = 0;
    bool hasAlpha = false;
};

struct Sniffed {
    const char* coder = nullptr;  // ImageMagick coder name, null if unknown
    int xcfVersion = -1;          // for GIMP files
    std::optional<DeclaredPalette> pngPalette;
    bool pcxPalette = false;  // an 8-bit, one-plane PCX
};

bool startsWith(std::string_view data, std::string_view magic) {
    return data.size() >= magic.size() && data.substr(0, magic.size()) == magic;
}

uint8_t byteAt(std::string_view data, size_t i) { return i < data.size() ? uint8_t(data[i]) : 0; }

// GIMP writes "gimp xcf file" (version 0) or "gimp xcf vNNN".
int xcfVersion(std::string_view data) {
    if (startsWith(data, std::string_view("gimp xcf file\0", 14))) return 0;
    if (!startsWith(data, "gimp xcf v") || data.size() < 14) return -1;
    int version = 0;
    for (size_t i = 10; i < 13; ++i) {
        if (data[i] < '0' || data[i] > '9') return -1;
        version = version * 10 + (data[i] - '0');
    }
    return version;
}

// Targa has no signature: trust the name, or the footer of version 2 files,
// and check that the header describes a picture Targa can hold.
bool looksLikeTga(std::string_view data, const std::string& ext) {
    if (data.size() < 18) return false;
    const uint8_t mapType = byteAt(data, 1), type = byteAt(data, 2), depth = byteAt(data, 16);
    const bool typeOk = mapType <= 1 && (type == 1 || type == 2 || type == 3 || type == 9 || type == 10 || type == 11);
    const bool depthOk = depth == 8 || depth == 15 || depth == 16 || depth == 24 || depth == 32;
    if (!typeOk || !depthOk) return false;
    constexpr std::string_view footer("TRUEVISION-XFILE.\0", 18);
    const bool hasFooter = data.size() >= 26 + 18 && data.substr(data.size() - 18) == footer;
    return hasFooter || ext == ".tga" || ext == ".vda" || ext == ".icb" || ext == ".vst";
}

uint32_t bigEndian32(std::string_view data, size_t at) {
    return uint32_t(byteAt(data, at)) << 24 | uint32_t(byteAt(data, at + 1)) << 16 |
           uint32_t(byteAt(data, at + 2)) << 8 | uint32_t(byteAt(data, at + 3));
}

// PLTE and tRNS of a colour-type-3 PNG (chunks before the first IDAT).
std::optional<DeclaredPalette> readPngPalette(std::string_view data) {
    constexpr size_t kColourType = 25;
    if (data.size() < 33 || data.substr(12, 4) != "IHDR" || byteAt(data, kColourType) != 3) return std::nullopt;
    DeclaredPalette palette;
    std::string_view alpha;
    for (size_t at = 8; at + 12 <= data.size();) {
        const size_t length = bigEndian32(data, at);
        if (length > data.size() - at - 12) break;
        const std::string_view type = data.substr(at + 4, 4), body = data.substr(at + 8, length);
        if (type == "IDAT" || type == "IEND") break;
        if (type == "PLTE") {
            palette.count = int(std::min<size_t>(body.size() / 3, 256));
            for (int i = 0; i < palette.count; ++i)
                palette.entries[size_t(i)] = PaletteEntry{
                    byteAt(body, size_t(i) * 3 + 2), byteAt(body, size_t(i) * 3 + 1), byteAt(body, size_t(i) * 3), 0};
        } else if (type == "tRNS") {
            alpha = body;
        }
        at += 12 + length;
    }
    if (palette.count == 0) return std::nullopt;
    if (!alpha.empty()) {
        palette.hasAlpha = true;
        for (int i = 0; i < palette.count; ++i)
            palette.entries[size_t(i)].extra = size_t(i) < alpha.size() ? byteAt(alpha, size_t(i)) : 255;
    }
    return palette;
}

// Every chunk but the picture data fits in the file.  A length past the end
// only comes from a damaged file, and libpng would first allocate that much
// (up to 2 GB) for a chunk that is not there.  Picture data cut short is left
// to the decoder, which reads it piece by piece.
bool pngChunksFit(std::string_view data) {
    for (size_t at = 8; at + 8 <= data.size();) {
        const size_t length = bigEndian32(data, at);
        const std::string_view type = data.substr(at + 4, 4);
        if (type == "IEND") return true;
        if (length > data.size() - at - 8) return type == "IDAT";
        at += std::min(data.size() - at, 12 + length);
    }
    return true;
}

// Every attribute of an OpenEXR file's headers fits in the file.  OpenEXR
// allocates an attribute's declared size (up to 2 GB) before it reads it,
// so a damaged size would cost that much for a few bytes of file.  After the
// magic number and version word: attributes, each a name and a type (text
// ending in 0, at most 31 bytes each, or 255 with long names), a 32-bit
// size and the value; a 0 byte ends a header; several parts end with an
// empty header.
bool exrHeadersFit(std::string_view data) {
    if (data.size() < 8) return false;
    const uint32_t flags = uint32_t(uint8_t(data[5])) << 8 | uint32_t(uint8_t(data[6])) << 16;
    const size_t longest = flags & 0x400 ? 255 : 31;
    const bool parts = flags & 0x1000;
    size_t at = 8;
    // A name or type at `at`: its end, past the 0, or 0 when it does not end in time.
    const auto text = [&](size_t from) -> size_t {
        const size_t end = data.find('\0', from);
        return end == std::string_view::npos || end - from > longest ? 0 : end + 1;
    };
    while (true) {
        if (at >= data.size()) return false;
        if (data[at] == '\0') return true;  // the empty header after the parts
        while (true) {
            if (at >= data.size()) return false;
            if (data[at] == '\0') {
                ++at;
                break;
            }
            const size_t afterName = text(at);
            const size_t afterType = afterName ? text(afterName) : 0;
            if (!afterType || data.size() - afterType < 4) return false;
            const uint32_t size = uint32_t(uint8_t(data[afterType])) | uint32_t(uint8_t(data[afterType + 1])) << 8 |
                                  uint32_t(uint8_t(data[afterType + 2])) << 16 |
                                  uint32_t(uint8_t(data[afterType + 3])) << 24;
            if (size > data.size() - afterType - 4) return false;
            at = afterType + 4 + size;
        }
        if (!parts) return true;
    }
}

// ISO media files (HEIF, AVIF): "ftyp" box first, with a still-image brand.
bool isHeif(std::string_view data) {
    if (data.size() < 12 || data.substr(4, 4) != "ftyp") return false;
    const std::string_view brand = data.substr(8, 4);
    for (std::string_view known : {"heic", "heix", "heim", "heis", "mif1", "avif"})
        if (brand == known) return true;
    return false;
}

Sniffed sniff(std::string_view data, const std::string& ext) {
    Sniffed s;
    auto is = [&](std::string_view magic) { return startsWith(data, magic); };
    // Checked first: an uncompressed Targa without colour map can begin like
    // a cursor file.
    const bool tga = looksLikeTga(data, ext);
    if (is("\x89PNG\r\n\x1a\n")) s.coder = "PNG";
    else if (is("\xff\xd8\xff")) s.coder = "JPEG";
    else if (is("GIF87a") || is("GIF89a")) s.coder = "GIF";
    else if (is("BM") || is("BA")) s.coder = "BMP";
    else if (is(std::string_view("II*\0", 4)) || is(std::string_view("MM\0*", 4)) || is(std::string_view("II+\0", 4)) ||
             is(std::string_view("MM\0+", 4)))
        s.coder = "TIFF";
    else if (is("8BPS")) s.coder = "PSD";
    else if (is("DDS ")) s.coder = "DDS";
    else if (is("RIFF") && data.size() >= 12 && data.substr(8, 4) == "WEBP") s.coder = "WEBP";
    else if ((s.xcfVersion = xcfVersion(data)) >= 0) s.coder = "XCF";
    else if (data.size() >= 3 && data[0] == 'P' && data[1] >= '1' && data[1] <= '7' && std::isspace(uint8_t(data[2])))
        s.coder = "PNM";
    else if (!tga && (is(std::string_view("\0\0\1\0", 4)) || is(std::string_view("\0\0\2\0", 4))) &&
             (byteAt(data, 4) | byteAt(data, 5)))
        s.coder = "ICO";
    else if (is("\x01\xda")) s.coder = "SGI";
    else if (is("\x59\xa6\x6a\x95")) s.coder = "SUN";
    else if (is(std::string_view("\0\0\0\x0cjP  \r\n\x87\n", 12))) s.coder = "JP2";
    else if (is("\xff\x4f\xff\x51")) s.coder = "J2K";
    else if (is("\x76\x2f\x31\x01")) s.coder = "EXR";
    else if (is("#?RADIANCE") || is("#?RGBE")) s.coder = "HDR";
    else if (isHeif(data)) s.coder = "HEIC";
    // PCX: manufacturer 10, a known version, RLE or none, 1..8 bits a plane.
    else if (byteAt(data, 0) == 0x0a && data.size() >= 128 &&
             std::string_view("\0\2\3\4\5", 5).find(char(byteAt(data, 1))) != std::string_view::npos &&
             byteAt(data, 2) <= 1 &&
             std::string_view("\1\2\4\x8").find(char(byteAt(data, 3))) != std::string_view::npos)
        s.coder = "PCX";
    else if (tga) s.coder = "TGA";

    const std::string_view coder = s.coder ? s.coder : "";
    if (coder == "PNG") s.pngPalette = readPngPalette(data);
    constexpr size_t kPcxBits = 3, kPcxPlanes = 65;
    if (coder == "PCX") s.pcxPalette = byteAt(data, kPcxBits) == 8 && byteAt(data, kPcxPlanes) == 1;
    return s;
}

// GIMP 2.10 and later write XCF version 4 and up (precision field, 64-bit
// offsets); the ImageMagick 6 reader misreads those.
constexpr int kNewestReadableXcf = 3;
constexpr const char* kNewXcfWhy = "This XCF file is from a newer GIMP; export it as PNG";

// ---- Reading -----------------------------------------------------------------

// The whole file in a buffer Magick::Blob can own, or nothing.
struct FileBytes {
    char* data = nullptr;
    size_t size = 0;
    FileBytes() = default;
    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;
    ~FileBytes() { delete[] data; }
    std::string_view view() const { return {data, size}; }
    char* release() {
        char* d = data;
        data = nullptr;
        return d;
    }
};

bool readWholeFile(const std::string& path, FileBytes& out, Failure* why) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec || !std::filesystem::is_regular_file(path, ec)) {
        setWhy(why, "Cannot open " + path, QUOR_ERROR_READ, ec ? ec.value() : 0);
        return false;
    }
    if (size == 0) {
        setWhy(why, "The file is empty");
        return false;
    }
    if (size > kMaxForeignFileBytes) {
        setWhy(why, "it is a file of more than " + std::to_string(kMaxForeignFileBytes >> 20) + " MiB",
               QUOR_ERROR_LIMIT);
        return false;
    }
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        setWhy(why, "Cannot open " + path, QUOR_ERROR_READ, errno);
        return false;
    }
    out.data = new char[size];
    out.size = std::fread(out.data, 1, size, file);
    const int readError = std::ferror(file) ? errno : 0;
    std::fclose(file);
    if (out.size != size) {
        setWhy(why, "Cannot read " + path, QUOR_ERROR_READ, readError);
        return false;
    }
    return true;
}

bool isR8(const std::string& path, uintmax_t size) { return size == kR8Bytes && lowerExtension(path) == ".r8"; }

Image decodeR8(std::string_view bytes) {
    Image image;
    image.width = image.height = kR8Edge;
    image.indexed = true;
    image.sourceBpp = 8;
    for (int i = 0; i < 256; ++i) image.palette[i] = PaletteEntry{uint8_t(i), uint8_t(i), uint8_t(i), 0};
    // Rows are stored bottom row first, as in a BMP; that is why a texture
    // whose rows run top down is turned before it is handed over.
    image.indices.resize(bytes.size());
    for (size_t row = 0; row < size_t(kR8Edge); ++row)
        std::copy_n(bytes.begin() + std::ptrdiff_t(row * kR8Edge), kR8Edge,
                    image.indices.begin() + std::ptrdiff_t((kR8Edge - 1 - row) * kR8Edge));
    image.rgba.resize(image.pixelCount() * 4);
    for (size_t i = 0; i < image.indices.size(); ++i) {
        const uint8_t v = image.indices[i];
        image.rgba[i * 4 + 0] = image.rgba[i * 4 + 1] = image.rgba[i * 4 + 2] = v;
        image.rgba[i * 4 + 3] = 255;
    }
    return image;
}

// Stops a decoder that runs past its time.  ImageMagick's coders report
// progress row by row and give up when the monitor says no.
// Some operations report from their worker threads, hence the atomic.
struct Deadline {
    Clock::time_point end;
    std::atomic<bool> expired{false};
};

MagickCore::MagickBooleanType checkDeadline(const char*, const MagickCore::MagickOffsetType,
                                            const MagickCore::MagickSizeType, void* data) {
    auto* deadline = static_cast<Deadline*>(data);
    if (Clock::now() > deadline->end) deadline->expired = true;
    return deadline->expired ? MagickCore::MagickFalse : MagickCore::MagickTrue;
}

enum class Mode { Ping, Read };

// Runs one ImageMagick read (or ping) of `bytes` with the given decoder.
// Only the first frame or layer is wanted: for PSD that is the flattened
// composite, for GIF, ICO and TIFF the first picture.
// `overLimit`, when given, tells whether one of ImageMagick's resource limits
// (a side, the memory for the pixels) stopped it.
bool magickRead(FileBytes& bytes, const char* coder, Mode mode, Magick::Image& image, Deadline& deadline, Failure* why,
                bool* overLimit = nullptr) {
    if (overLimit) *overLimit = false;
    initMagickOnce();
    const size_t size = bytes.size;
    try {
        Magick::Blob blob;
        blob.updateNoCopy(bytes.release(), size, Magick::Blob::NewAllocator);
        image.quiet(true);
        image.subImage(0);
        image.subRange(1);
        // Naming the coder ("PNG:") makes ImageMagick use it and nothing else.
        image.magick(coder);
        MagickCore::SetImageInfoProgressMonitor(image.imageInfo(), checkDeadline, &deadline);
        if (mode == Mode::Ping) image.ping(blob);
        else image.read(blob);
    } catch (const Magick::Warning&) {
        // A damaged but usable picture; judged by what was decoded below.
    } catch (const Magick::ErrorResourceLimit& e) {
        if (overLimit) *overLimit = true;
        setWhy(why, magickReason(e.what()));
        return false;
    } catch (const Magick::ErrorCache& e) {
        // With no disk for the pixel cache, an exhausted cache is our memory limit.
        if (overLimit) *overLimit = std::string_view(e.what()).find("exhausted") != std::string_view::npos;
        setWhy(why, magickReason(e.what()));
        return false;
    } catch (const Magick::Exception& e) {
        setWhy(why, magickReason(e.what()));
        return false;
    } catch (const std::exception& e) {
        setWhy(why, e.what());
        return false;
    }
    if (deadline.expired) {
        setWhy(why, tooSlowReason(), QUOR_ERROR_LIMIT);
        return false;
    }
    if (!image.isValid() || image.columns() == 0 || image.rows() == 0) {
        setWhy(why, "No picture in the file");
        return false;
    }
    if (image.columns() > size_t(kMaxEdge) || image.rows() > size_t(kMaxEdge)) {
        setWhy(why, tooLargeReason(int64_t(image.columns()), int64_t(image.rows())), QUOR_ERROR_LIMIT);
        return false;
    }
    return true;
}

// A true-colour Targa (type 2 or 10) may carry a colour map it does not
// use; ImageMagick 6 then takes the map for pixels.  Such a file is handed
// on without it: map type 0, map specification zeroed, the map's bytes
// dropped (the image ID stays), and the version 2 footer's offsets moved to
// match.  False when the header describes a map the file does not hold.
bool dropUnusedColourMap(FileBytes& bytes) {
    constexpr size_t kHeader = 18, kFooter = 26;
    const std::string_view data = bytes.view();
    if (data.size() < kHeader || byteAt(data, 1) != 1 || (byteAt(data, 2) != 2 && byteAt(data, 2) != 10)) return true;
    const size_t mapStart = kHeader + byteAt(data, 0);
    const size_t entries = le::u16(reinterpret_cast<const uint8_t*>(data.data()) + 5);
    const size_t mapBytes = entries * ((size_t(byteAt(data, 7)) + 7) / 8);
    if (mapStart > data.size() || mapBytes > data.size() - mapStart) return false;

    const size_t size = data.size() - mapBytes;
    char* stripped = new char[size];
    std::memcpy(stripped, data.data(), mapStart);
    std::memcpy(stripped + mapStart, data.data() + mapStart + mapBytes, size - mapStart);
    stripped[1] = 0;
    std::memset(stripped + 3, 0, 5);
    constexpr std::string_view kSignature("TRUEVISION-XFILE.\0", 18);
    if (size >= kHeader + kFooter && std::string_view(stripped + size - 18, 18) == kSignature) {
        for (size_t at = size - kFooter; at < size - 18; at += 4) {
            auto* field = reinterpret_cast<uint8_t*>(stripped + at);
            uint32_t offset = le::u32(field);
            // An offset into the map pointed at nothing real.
            offset = offset >= mapStart + mapBytes ? uint32_t(offset - mapBytes) : offset >= mapStart ? 0 : offset;
            le::put32(field, offset);
        }
    }
    delete[] bytes.data;
    bytes.data = stripped;
    bytes.size = size;
    return true;
}

// Everything up to the ImageMagick call: checks, reading, recognising.
enum class Source { Failed, R8, Magick };

Source openSource(const std::string& path, FileBytes& bytes, Sniffed& sniffed, Failure* why) {
    if (path.empty()) {
        setWhy(why, "No file name", QUOR_ERROR_ARGUMENT);
        return Source::Failed;
    }
    if (!readWholeFile(path, bytes, why)) return Source::Failed;
    if (isR8(path, bytes.size)) return Source::R8;
    sniffed = sniff(bytes.view(), lowerExtension(path));
    if (!sniffed.coder) {
        setWhy(why, "Not a picture format this library reads");
        return Source::Failed;
    }
    if (std::string_view(sniffed.coder) == "PNG" && !pngChunksFit(bytes.view())) {
        setWhy(why, "The PNG file is damaged: a chunk runs past its end");
        return Source::Failed;
    }
    if (std::string_view(sniffed.coder) == "EXR" && !exrHeadersFit(bytes.view())) {
        setWhy(why, "The EXR file is damaged: a header field runs past its end");
        return Source::Failed;
    }
    if (std::string_view(sniffed.coder) == "TGA" && !dropUnusedColourMap(bytes)) {
        setWhy(why, "The Targa file is damaged: its colour map runs past its end");
        return Source::Failed;
    }
    if (sniffed.xcfVersion > kNewestReadableXcf) {
        setWhy(why, kNewXcfWhy);
        return Source::Failed;
    }
    return Source::Magick;
}

bool swapsSides(MagickCore::OrientationType orientation) {
    using namespace MagickCore;
    return orientation == LeftTopOrientation || orientation == RightTopOrientation ||
           orientation == RightBottomOrientation || orientation == LeftBottomOrientation;
}

// Where source pixel (x, y) lands in the picture as it is meant to be seen:
// destination index = base + x * stepX + y * stepY.  Doing this while
// copying saves ImageMagick a second full-size image.
struct Placement {
    int64_t base, stepX, stepY;
};

Placement placement(MagickCore::OrientationType orientation, int64_t w, int64_t h) {
    using namespace MagickCore;
    const int64_t outW = swapsSides(orientation) ? h : w;
    switch (orientation) {
        case TopRightOrientation:
            return {w - 1, -1, outW};
        case BottomRightOrientation:
            return {(h - 1) * outW + w - 1, -1, -outW};
        case BottomLeftOrientation:
            return {(h - 1) * outW, 1, -outW};
        case LeftTopOrientation:
            return {0, outW, 1};
        case RightTopOrientation:
            return {h - 1, outW, -1};
        case RightBottomOrientation:
            return {(w - 1) * outW + h - 1, -outW, -1};
        case LeftBottomOrientation:
            return {(w - 1) * outW, -outW, 1};
        default:
            return {0, 1, outW};
    }
}

int32_t storedBpp(const Magick::Image& image) {
    const int32_t channelBits = image.depth() > 8 ? 16 : 8;
    return channelBits * (image.matte() ? 4 : 3);
}

uint8_t alphaOf(const MagickCore::PixelPacket& p, bool matte) {
    return matte ? uint8_t(255 - MagickCore::ScaleQuantumToChar(p.opacity)) : uint8_t(255);
}

// Keeps ImageMagick's colour map when every pixel is exactly the entry its
// index names; otherwise the picture is treated as true colour.
bool takePalette(const Magick::Image& image, Image& out) {
    const MagickCore::Image* core = image.constImage();
    if (core->storage_class != MagickCore::PseudoClass || core->colors == 0 || core->colors > 256 || !core->colormap)
        return false;
    const bool matte = image.matte();
    for (size_t i = 0; i < core->colors; ++i) {
        const MagickCore::PixelPacket& c = core->colormap[i];
        out.palette[i] = PaletteEntry{MagickCore::ScaleQuantumToChar(c.blue), MagickCore::ScaleQuantumToChar(c.green),
                                      MagickCore::ScaleQuantumToChar(c.red), matte ? alphaOf(c, true) : uint8_t(0)};
    }
    const Placement at = placement(image.orientation(), int64_t(core->columns), int64_t(core->rows));
    const size_t w = core->columns, h = core->rows;
    out.indices.assign(w * h, 0);
    for (size_t y = 0; y < h; ++y) {
        const MagickCore::PixelPacket* row = image.getConstPixels(0, ssize_t(y), w, 1);
        const MagickCore::IndexPacket* indexes = image.getConstIndexes();
        if (!row || !indexes) return false;
        for (size_t x = 0; x < w; ++x) {
            const size_t index = size_t(indexes[x]);
            if (index >= core->colors) return false;
            const PaletteEntry& e = out.palette[index];
            const MagickCore::PixelPacket& p = row[x];
            if (MagickCore::ScaleQuantumToChar(p.red) != e.red || MagickCore::ScaleQuantumToChar(p.green) != e.green ||
                MagickCore::ScaleQuantumToChar(p.blue) != e.blue || (matte && alphaOf(p, true) != e.extra))
                return false;
            out.indices[size_t(at.base + int64_t(x) * at.stepX + int64_t(y) * at.stepY)] = uint8_t(index);
        }
    }
    out.rgba.resize(w * h * 4);
    for (size_t i = 0; i < out.indices.size(); ++i) {
        const PaletteEntry& e = out.palette[out.indices[i]];
        uint8_t* p = &out.rgba[i * 4];
        p[0] = e.red;
        p[1] = e.green;
        p[2] = e.blue;
        p[3] = matte ? e.extra : 255;
        out.hasAlpha = out.hasAlpha || p[3] != 255;
    }
    out.indexed = true;
    out.sourceBpp = 8;
    return true;
}

bool takeTrueColour(const Magick::Image& image, Image& out) {
    const size_t w = image.columns(), h = image.rows();
    const bool matte = image.matte();
    const Placement at = placement(image.orientation(), int64_t(w), int64_t(h));
    out.rgba.assign(w * h * 4, 0);
    for (size_t y = 0; y < h; ++y) {
        const MagickCore::PixelPacket* row = image.getConstPixels(0, ssize_t(y), w, 1);
        if (!row) return false;
        for (size_t x = 0; x < w; ++x) {
            uint8_t* p = &out.rgba[size_t(at.base + int64_t(x) * at.stepX + int64_t(y) * at.stepY) * 4];
            p[0] = MagickCore::ScaleQuantumToChar(row[x].red);
            p[1] = MagickCore::ScaleQuantumToChar(row[x].green);
            p[2] = MagickCore::ScaleQuantumToChar(row[x].blue);
            p[3] = alphaOf(row[x], matte);
            out.hasAlpha = out.hasAlpha || p[3] != 255;
        }
    }
    // Alpha that is 0 everywhere would make the picture invisible: the
    // writer left the channel unused (32-bit Targas often do), as our BMP
    // reader assumes too.
    bool anyAlpha = false;
    for (size_t i = 3; i < out.rgba.size() && !anyAlpha; i += 4) anyAlpha = out.rgba[i] != 0;
    if (matte && !anyAlpha) {
        for (size_t i = 3; i < out.rgba.size(); i += 4) out.rgba[i] = 255;
        out.hasAlpha = false;
    }
    out.sourceBpp = storedBpp(image);
    return true;
}

// Gives a decoded true-colour picture the indices of the palette its file
// declares.  Two entries of one colour are interchangeable; the first wins.
bool indexByPalette(const DeclaredPalette& declared, Image& out) {
    auto key = [&](uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
        return uint32_t(r) << 24 | uint32_t(g) << 16 | uint32_t(b) << 8 | (declared.hasAlpha ? a : 255u);
    };
    std::unordered_map<uint32_t, uint8_t> indexOf;
    for (int i = declared.count - 1; i >= 0; --i) {
        const PaletteEntry& e = declared.entries[size_t(i)];
        indexOf[key(e.red, e.green, e.blue, declared.hasAlpha ? e.extra : 255)] = uint8_t(i);
    }
    std::vector<uint8_t> indices(out.pixelCount());
    for (size_t i = 0; i < indices.size(); ++i) {
        const uint8_t* p = &out.rgba[i * 4];
        const auto found = indexOf.find(key(p[0], p[1], p[2], p[3]));
        if (found == indexOf.end()) return false;
        indices[i] = found->second;
    }
    out.indices = std::move(indices);
    out.palette = declared.entries;
    out.indexed = true;
    out.sourceBpp = 8;
    return true;
}

}  // namespace

void setForeignDecodeTimeLimit(int64_t milliseconds) { decodeTimeLimitMs.store(milliseconds); }

std::string foreignModuleVersion() { return QUORIMG_VERSION; }

// Built in (or being the module itself), the decoder is always there.
std::string foreignModuleProblem() { return {}; }

std::string foreignLibraryVersion() {
    size_t number = 0;
    // "ImageMagick 6.9.11-60 Q16 x86_64 ...": the second word.
    const std::string text = MagickCore::GetMagickVersion(&number);
    const size_t start = text.find(' ');
    if (start == std::string::npos) return text;
    const size_t end = text.find(' ', start + 1);
    return text.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
}

std::optional<Image> decodeForeign(const std::string& path, Failure* why) {
    try {
        FileBytes bytes;
        Sniffed sniffed;
        switch (openSource(path, bytes, sniffed, why)) {
            case Source::Failed:
                return std::nullopt;
            case Source::R8:
                return decodeR8(bytes.view());
            case Source::Magick:
                break;
        }
        Deadline deadline{Clock::now() + std::chrono::milliseconds(decodeTimeLimitMs.load())};
        Magick::Image image;
        bool overLimit = false;
        if (!magickRead(bytes, sniffed.coder, Mode::Read, image, deadline, why, &overLimit)) {
            // A side too long, or more pixels than the decoder's memory
            // holds: said with the size a ping finds.
            int32_t width = 0, height = 0, bpp = 0;
            Failure pinged;
            // Some coders (palette and grey PNG) give back no picture rather
            // than an error when the pixel cache is refused; the size the
            // header promises tells whether that was the limit.
            if (!overLimit && pingForeign(path, width, height, bpp, &pinged))
                overLimit = uint64_t(width) * uint64_t(height) * sizeof(Magick::PixelPacket) >
                            uint64_t(kDecoderMemoryMiB) << 20;
            if (overLimit && (width > 0 || pingForeign(path, width, height, bpp, &pinged)))
                setWhy(why,
                       "it is " + std::to_string(width) + " x " + std::to_string(height) +
                           " pixels, too many for the " + std::to_string(kDecoderMemoryMiB) +
                           " MiB of memory the decoder may use",
                       QUOR_ERROR_LIMIT);
            else if (overLimit && pinged.code == QUOR_ERROR_LIMIT) *why = pinged;
            return std::nullopt;
        }

        // CMYK (PSD, TIFF, JPEG), linear RGB (EXR), YCbCr (HEIF) ... become
        // the sRGB the rest of the library works in.
        const auto space = image.colorSpace();
        if (space != MagickCore::sRGBColorspace && space != MagickCore::GRAYColorspace &&
            space != MagickCore::TransparentColorspace && space != MagickCore::UndefinedColorspace) {
            try {
                image.colorSpace(MagickCore::sRGBColorspace);
            } catch (const Magick::Warning&) {}
        }

        Image out;
        out.width = int32_t(image.columns());
        out.height = int32_t(image.rows());
        if (swapsSides(image.orientation())) std::swap(out.width, out.height);
        if (sniffed.pngPalette) {
            if (!takeTrueColour(image, out)) {
                setWhy(why, "Cannot read the picture's pixels");
                return std::nullopt;
            }
            indexByPalette(*sniffed.pngPalette, out);
        } else if (!takePalette(image, out)) {
            Image fresh;
            fresh.width = out.width;
            fresh.height = out.height;
            out = std::move(fresh);
            if (!takeTrueColour(image, out)) {
                setWhy(why, "Cannot read the picture's pixels");
                return std::nullopt;
            }
        }
        if (deadline.expired) {
            setWhy(why, tooSlowReason(), QUOR_ERROR_LIMIT);
            return std::nullopt;
        }
        return out;
    } catch (const std::bad_alloc&) {
        setWhy(why, "there is not enough memory to decode it", QUOR_ERROR_MEMORY);
    } catch (const Magick::Exception& e) {
        setWhy(why, magickReason(e.what()));
    } catch (const std::exception& e) {
        setWhy(why, e.what());
    } catch (...) {
        setWhy(why, "Cannot decode the picture");
    }
    return std::nullopt;
}

bool pingForeign(const std::string& path, int32_t& width, int32_t& height, int32_t& bpp, Failure* why) {
    try {
        FileBytes bytes;
        Sniffed sniffed;
        switch (openSource(path, bytes, sniffed, why)) {
            case Source::Failed:
                return false;
            case Source::R8:
                width = height = kR8Edge;
                bpp = 8;
                return true;
            case Source::Magick:
                break;
        }
        Deadline deadline{Clock::now() + std::chrono::milliseconds(decodeTimeLimitMs.load())};
        Magick::Image image;
        bool overLimit = false;
        if (!magickRead(bytes, sniffed.coder, Mode::Ping, image, deadline, why, &overLimit)) {
            if (overLimit)
                setWhy(why,
                       "it is more than " + std::to_string(kPingedEdge) + " pixels wide or high; pictures of at most " +
                           std::to_string(kMaxEdge) + " pixels a side can be brought in",
                       QUOR_ERROR_LIMIT);
            return false;
        }
        width = int32_t(image.columns());
        height = int32_t(image.rows());
        if (swapsSides(image.orientation())) std::swap(width, height);
        // Pinging leaves the colour map out; the class and colour count are
        // there for most palette formats, the rest we know from their headers.
        const MagickCore::Image* core = image.constImage();
        const bool palette =
            (core->storage_class == MagickCore::PseudoClass && core->colors > 0 && core->colors <= 256) ||
            sniffed.pngPalette || sniffed.pcxPalette;
        bpp = palette ? 8 : storedBpp(image);
        return true;
    } catch (const std::bad_alloc&) {
        setWhy(why, "there is not enough memory to decode it", QUOR_ERROR_MEMORY);
    } catch (...) {
        setWhy(why, "Cannot decode the picture");
    }
    return false;
}

bool canDecodeForeign(const std::string& path, Failure* why) {
    int32_t width = 0, height = 0, bpp = 0;
    return pingForeign(path, width, height, bpp, why);
}

}  // namespace quor
