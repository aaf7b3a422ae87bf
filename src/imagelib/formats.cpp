// The formats the library reads, as the open dialog lists them.  Every entry
// here must be one that loadImage really decodes: the tests read a file of
// each pattern.
#include "image.h"

#include <iterator>
#include <string>

namespace quor {
namespace {

constexpr FormatEntry kFormats[] = {
    {"Windows Bitmap", "BMP", "*.bmp"},
    {"Portable Network Graphics", "PNG", "*.png"},
    {"JPEG", "JPG", "*.jpg;*.jpeg"},
    {"CompuServe Graphics Interchange", "GIF", "*.gif"},
    {"Truevision Targa", "TGA", "*.tga"},
    {"ZSoft Paintbrush", "PCX", "*.pcx"},
    {"Tagged Image File Format", "TIF", "*.tif;*.tiff"},
    {"Photoshop", "PSD", "*.psd"},
    {"DirectDraw Surface", "DDS", "*.dds"},
    {"WebP", "WEBP", "*.webp"},
    {"Portable Anymap", "PNM", "*.pbm;*.pgm;*.ppm;*.pnm;*.pam"},
    {"GIMP Image", "XCF", "*.xcf"},
    {"Windows Icon", "ICO", "*.ico;*.cur"},
    {"Raw R8 Texture", "R8", "*.r8"},
    {"Silicon Graphics Image", "SGI", "*.sgi;*.rgb;*.rgba;*.bw"},
    {"Sun Raster", "RAS", "*.ras;*.sun"},
    {"JPEG 2000", "JP2", "*.jp2;*.j2k;*.jpc"},
    {"OpenEXR", "EXR", "*.exr"},
    {"Radiance HDR", "HDR", "*.hdr"},
    {"High Efficiency Image", "HEIC", "*.heic;*.heif;*.avif"},
};

constexpr int32_t kCount = int32_t(std::size(kFormats));

// Entry 0 lists every pattern of the others, so it cannot drift from them.
const FormatEntry& combinedEntry() {
    static const std::string pattern = [] {
        std::string joined;
        for (const FormatEntry& f : kFormats) {
            if (!joined.empty()) joined += ';';
            joined += f.pattern;
        }
        return joined;
    }();
    static const FormatEntry entry{"All pictures", "", pattern.c_str()};
    return entry;
}

}  // namespace

int32_t formatCount() { return kCount; }

const FormatEntry* formatEntry(int32_t n) {
    if (n == 0) return &combinedEntry();
    if (n < 0 || n > kCount) return nullptr;
    return &kFormats[n - 1];
}

}  // namespace quor
