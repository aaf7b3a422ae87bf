#include "xbmconvert.h"

#include "layout.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <set>
#include <sstream>
#include <system_error>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace xbm {

namespace fs = std::filesystem;

namespace {

// Far above the largest set (512, 32-bit: about 1.4 MB); anything bigger is
// not worth reading into memory.
constexpr std::uintmax_t kMaxFileBytes = std::uintmax_t(64) << 20;

const quor::Progress kQuiet;

quor::Image opaqueCopy(const quor::Image& image) {
    quor::Image copy = image;
    for (size_t i = 3; i < copy.rgba.size(); i += 4) copy.rgba[i] = 255;
    copy.hasAlpha = false;
    return copy;
}

bool hasLevels(const quor::Palette& palette) {
    return std::any_of(palette.begin(), palette.end(), [](const quor::PaletteEntry& e) { return e.extra != 0; });
}

uint8_t times(uint8_t colour, uint8_t alpha) { return uint8_t((colour * alpha + 127) / 255); }

// Each level onto the palette.  With transparency levels the match is made
// on premultiplied colours: how a pixel looks, not the colour a transparent
// pixel happens to carry.
quor::Image remapOnto(const quor::Image& image, const quor::Palette& palette) {
    if (!hasLevels(palette)) {
        quor::Image out = quor::remapToPalette(opaqueCopy(image), palette, false, kQuiet);
        out.palette = palette;
        return out;
    }
    quor::Image weighted = image;
    for (size_t i = 0; i < weighted.rgba.size(); i += 4)
        for (size_t c = 0; c < 3; ++c) weighted.rgba[i + c] = times(weighted.rgba[i + c], weighted.rgba[i + 3]);
    weighted.hasAlpha = true;  // so that an opaque pixel never takes a transparent entry
    quor::Palette weightedPalette = palette;
    for (quor::PaletteEntry& e : weightedPalette) {
        e.red = times(e.red, e.extra);
        e.green = times(e.green, e.extra);
        e.blue = times(e.blue, e.extra);
    }
    quor::Image out = quor::remapToPalette(weighted, weightedPalette, false, kQuiet);
    out.palette = palette;
    return out;
}

// The colours of a picture, when it has no more than a palette holds.
std::vector<quor::Colour> fewColours(const quor::Image& image, bool withAlpha) {
    std::set<quor::Colour> colours;
    for (size_t i = 0; i < image.rgba.size() && colours.size() <= 256; i += 4)
        colours.insert(
            {image.rgba[i], image.rgba[i + 1], image.rgba[i + 2], withAlpha ? image.rgba[i + 3] : uint8_t(255)});
    if (colours.size() > 256) return {};
    return {colours.begin(), colours.end()};
}

// One palette for the whole chain, chosen from the pixels of every level
// together so that colours that only the small levels have get a place.  A
// largest level of 256 colours or fewer (pixel art, a painted texture) keeps
// every one of them exactly.
quor::Palette sharedPalette(const std::vector<quor::Image>& images, bool withAlpha) {
    const size_t width = size_t(images.front().width);
    size_t pixels = 0;
    for (const quor::Image& image : images) pixels += image.pixelCount();
    const size_t rows = (pixels + width - 1) / width;

    quor::Image all;
    all.width = int32_t(width);
    all.height = int32_t(rows);
    all.rgba.reserve(rows * width * 4);
    for (const quor::Image& image : images) all.rgba.insert(all.rgba.end(), image.rgba.begin(), image.rgba.end());
    // The last row is filled up with the first pixels again; a few repeated
    // pixels do not move the palette.
    for (size_t i = 0; all.rgba.size() < rows * width * 4; i += 4)
        all.rgba.insert(all.rgba.end(), all.rgba.begin() + std::ptrdiff_t(i), all.rgba.begin() + std::ptrdiff_t(i + 4));
    if (!withAlpha) all = opaqueCopy(all);
    all.hasAlpha = withAlpha;

    const quor::Image quantized = quor::quantize256(all, false, kQuiet, fewColours(images.front(), withAlpha));
    quor::Palette palette = quantized.palette;
    // Levels that are all 0 would read as "no transparency" (all opaque).  A
    // chain that is wholly transparent marks an unused entry opaque instead.
    if (withAlpha && !hasLevels(palette)) {
        std::array<bool, 256> used{};
        for (uint8_t index : quantized.indices) used[index] = true;
        const auto unused = std::find(used.begin(), used.end(), false);
        if (unused != used.end()) palette[size_t(unused - used.begin())].extra = 255;
    }
    return palette;
}

std::optional<Bytes> readWhole(const std::string& path, std::string& why) {
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (ec || !fs::exists(status)) {
        why = "no such file";
        return std::nullopt;
    }
    if (!fs::is_regular_file(status)) {
        why = "not a regular file";
        return std::nullopt;
    }
    const std::uintmax_t size = fs::file_size(path, ec);
    if (ec || size > kMaxFileBytes) {
        why = ec ? "cannot read its size" : "too large for an Extended Bitmap (" + std::to_string(size) + " bytes)";
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    Bytes bytes(size_t(size), 0);
    if (!in || !in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()))) {
        why = "cannot be read";
        return std::nullopt;
    }
    return bytes;
}

// Writes a file beside `path`, lets `check` look at what is on disk, and only
// then renames it over `path`; the original is untouched on any failure.
std::optional<std::string> replaceFile(const std::string& given, const Bytes& bytes,
                                       const std::function<std::optional<std::string>(const Bytes&)>& check) {
    std::error_code ec;
    // A link named on the line stands for the file it leads to: that file
    // is rewritten, and the link keeps leading to it.
    std::string path = given;
    if (fs::is_symlink(given, ec)) {
        const fs::path target = fs::canonical(given, ec);
        if (ec) return "cannot follow the link to the file: " + ec.message();
        path = target.string();
    }
    std::string temp;
    std::FILE* file = nullptr;
    for (unsigned attempt = 0; attempt < 16 && !file; ++attempt) {
        temp = quor::temporaryNameBeside(path);
        file = std::fopen(temp.c_str(), "wbx");  // x: never reuse an existing name
    }
    if (!file) return "cannot create a file beside it: " + std::generic_category().message(errno);
    errno = 0;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    int writeError = ok ? 0 : errno;
    if (std::fclose(file) != 0) {
        if (ok) writeError = errno;
        ok = false;
    }
    auto discard = [&](std::string why) -> std::optional<std::string> {
        fs::remove(temp, ec);
        return why;
    };
    if (!ok)
        return discard("cannot write a file beside it" +
                       (writeError ? ": " + std::generic_category().message(writeError) : std::string()));
    // The rewritten file keeps the original's permissions, and its owner
    // where this program may give it one (run by the superuser).
    const fs::perms perms = fs::status(path, ec).permissions();
    if (!ec) fs::permissions(temp, perms, ec);
#ifndef _WIN32
    struct stat old {};
    if (::stat(path.c_str(), &old) == 0) (void)!::chown(temp.c_str(), old.st_uid, old.st_gid);
#endif
    if (check) {
        std::string why;
        const std::optional<Bytes> again = readWhole(temp, why);
        if (!again) return discard("cannot read back what was written: " + why);
        if (std::optional<std::string> problem = check(*again)) return discard(*problem);
    }
    fs::rename(temp, path, ec);
    if (ec) return discard("cannot replace it: " + ec.message());
    return std::nullopt;
}

std::string usageText() {
    return "Usage: xbmtool [options] FILE\n"
           "       xbmtool --info FILE\n"
           "Rewrites FILE, an Extended Bitmap (or a plain square BMP of 1 to 512 pixels),\n"
           "in place at the depth asked for.  Levels missing from the file are resampled\n"
           "from the largest.  On any failure the file is left as it was.\n"
           "\n"
           "Depth (exactly one):\n"
           "  -565        16-bit 5-6-5, standard 86-byte header with its AVTX record\n"
           "  -4444       16-bit 4-4-4-4 (alpha in the top nibble), same header\n"
           "  -32         32-bit blue, green, red, alpha\n"
           "  -8          8-bit, one 256-colour palette for every level; alpha becomes\n"
           "              the palette's transparency levels; an 8-bit file keeps its\n"
           "              own palette and pixels\n"
           "Other options:\n"
           "  -alpha      accepted, no effect (-8 always keeps alpha)\n"
           "  -verify     read the written file back and fail unless it holds the\n"
           "              whole set at the new depth\n"
           "  -e FORMAT   output format; only bmp\n"
           "  -now, -b    accepted, no effect\n"
           "  --info FILE describe the file's layout and levels\n"
           "  --help      this text\n"
           "Exit status: 0 done, 1 failed (reason on stderr), 2 usage error.\n";
}

int usageError(std::ostream& err, const std::string& why) {
    err << "xbmtool: " << why << "; try xbmtool --help\n";
    return 2;
}

}  // namespace

ConvertResult convertBytes(const Bytes& source, const ConvertOptions& options) {
    ReadResult read = readXbm(source);
    if (!read.set) return {{}, read.error, 0};
    XbmSet& set = *read.set;
    try {
        std::vector<quor::Image>& images = set.images;
        // Every level is resampled from the largest, never from its neighbour.
        for (size_t i = 1; i < images.size(); ++i) {
            const int32_t edge = set.levels[i].edge;
            if (images[i].width == 0) images[i] = quor::resample(images.front(), edge, edge, kQuiet);
        }

        OutputSet out;
        out.depth = options.depth;
        out.record = set.record;
        if (options.depth == corvane::SetDepth::Palette8) {
            // An 8-bit set already has one palette for the chain; choosing
            // another would only lose colours and transparency.
            const bool keepPalette = set.depth == Depth::Pal8;
            // Alpha always becomes the palette's levels: dropping it would lose the set's transparency.
            out.palette = keepPalette ? set.palette : sharedPalette(images, set.hasAlpha);
            for (quor::Image& image : images)
                if (!image.indexed) image = remapOnto(image, out.palette);
        }
        out.images = std::move(images);
        return {writeXbm(out), {}, set.edge};
    } catch (const std::exception& e) {
        return {{}, std::string("conversion failed: ") + e.what(), 0};
    }
}

std::optional<std::string> verifyWritten(const Bytes& written, corvane::SetDepth target, int32_t edge) {
    const ReadResult read = readXbm(written);
    if (!read.set) return "the written file does not read back: " + read.error;
    const XbmSet& set = *read.set;
    if (set.depth != depthOf(target))
        return std::string("the written file reads back as ") + depthName(set.depth) + ", not " +
               depthName(depthOf(target));
    if (set.edge != edge)
        return "the written file reads back with edge " + std::to_string(set.edge) + ", not " + std::to_string(edge);
    for (const LevelInfo& level : set.levels)
        if (!level.complete) return "the written file lacks level " + std::to_string(level.edge);
    if (corvane::layout::read32(written, corvane::layout::kFileSizeAt) != written.size())
        return "the written file's size field is wrong";
    return std::nullopt;
}

std::optional<std::string> convertFile(const std::string& path, const ConvertOptions& options) {
    std::string why;
    const std::optional<Bytes> source = readWhole(path, why);
    if (!source) return why;
    const ConvertResult result = convertBytes(*source, options);
    if (!result.error.empty()) return result.error;
    std::function<std::optional<std::string>(const Bytes&)> check;
    if (options.verify) {
        check = [&](const Bytes& onDisk) -> std::optional<std::string> {
            if (onDisk != result.bytes) return "the written file differs from what was meant";
            return verifyWritten(onDisk, options.depth, result.edge);
        };
    }
    return replaceFile(path, result.bytes, check);
}

std::string describe(const XbmSet& set) {
    std::ostringstream s;
    s << "variant: " << depthName(set.depth) << (set.paddedRows ? ", plain BMP with padded rows" : "") << "\n";
    s << "edge: " << set.edge << "\n";
    s << "header length: " << set.headerLength << "\n";
    s << "file length: " << set.fileLength << "\n";
    if (set.record) {
        const Record& r = *set.record;
        s << "record: yes, tag \"";
        for (int i = 0; i < 4; ++i) s << (r[size_t(i)] >= 0x20 && r[size_t(i)] < 0x7F ? char(r[size_t(i)]) : '.');
        s << "\", length " << corvane::layout::read32(Bytes(r.begin(), r.end()), 4) << ", data";
        for (size_t i = 8; i < r.size(); ++i) s << ' ' << int(r[i]);
        s << "\n";
    } else {
        s << "record: no\n";
    }
    s << "alpha: " << (set.hasAlpha ? "yes" : "no") << "\n";
    for (const LevelInfo& level : set.levels)
        s << "level " << level.edge << ": offset " << level.offset << ", " << (level.complete ? "complete" : "missing")
          << "\n";
    return s.str();
}

int run(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    // Blank arguments can come from a command line split on its double blanks.
    std::vector<std::string> args;
    for (const std::string& a : arguments)
        if (!a.empty()) args.push_back(a);
    if (std::find(args.begin(), args.end(), "--help") != args.end() ||
        std::find(args.begin(), args.end(), "-h") != args.end()) {
        out << usageText();
        return 0;
    }
    if (!args.empty() && args.front() == "--info") {
        if (args.size() != 2) return usageError(err, "--info takes one file and nothing else");
        std::string why;
        const std::optional<Bytes> bytes = readWhole(args[1], why);
        if (!bytes) {
            err << "xbmtool: " << args[1] << ": " << why << "\n";
            return 1;
        }
        const ReadResult read = readXbm(*bytes);
        if (!read.set) {
            err << "xbmtool: " << args[1] << ": " << read.error << "\n";
            return 1;
        }
        out << describe(*read.set);
        return 0;
    }

    std::optional<corvane::SetDepth> target;
    ConvertOptions options;
    std::string file;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsEnded || a.size() < 2 || a[0] != '-') {
            if (!file.empty()) return usageError(err, "more than one file given");
            file = a;
            continue;
        }
        std::optional<corvane::SetDepth> asked;
        for (const corvane::SetDepth depth : corvane::kToolConversions)
            if (a == depth.toolFlag()) asked = depth;
        if (asked) {
            if (target && *target != *asked)
                return usageError(err,
                                  std::string("both ") + target->toolFlag() + " and " + asked->toolFlag() + " given");
            target = asked;
        } else if (a == "--") optionsEnded = true;
        else if (a == "-verify") options.verify = true;
        else if (a == "-now" || a == "-b" || a == "-alpha") {
            // Accepted for the command lines that pass them; nothing to do.
        } else if (a == "-e") {
            if (i + 1 >= args.size()) return usageError(err, "-e needs a format");
            std::string format = args[++i];
            std::transform(format.begin(), format.end(), format.begin(),
                           [](unsigned char c) { return char(std::tolower(c)); });
            if (format != "bmp") return usageError(err, "only bmp output is supported, not \"" + args[i] + "\"");
        } else {
            return usageError(err, "unknown option " + a);
        }
    }
    if (!target) return usageError(err, "no depth given (-565, -4444, -32 or -8)");
    if (file.empty()) return usageError(err, "no file given");
    options.depth = *target;
    if (const std::optional<std::string> why = convertFile(file, options)) {
        err << "xbmtool: " << file << ": " << *why << "\n";
        return 1;
    }
    return 0;
}

}  // namespace xbm
