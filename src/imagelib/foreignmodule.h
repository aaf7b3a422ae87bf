// The foreign-format decoder as a module of its own (libquorimg_magick),
// so that ImageMagick and the many libraries it brings are loaded only when
// a picture that is not a BMP is first met.  These are its entry points; the
// library reaches them through foreignloader.cpp.  Both are built together
// from one tree, so C++ types may cross.
#pragma once

#include "image.h"

#include <cstdint>
#include <optional>
#include <string>

namespace quor {

struct ForeignModule {
    std::optional<Image> (*decode)(const std::string& path, Failure* why);
    bool (*canDecode)(const std::string& path, Failure* why);
    bool (*ping)(const std::string& path, int32_t& width, int32_t& height, int32_t& bpp, Failure* why);
    void (*setTimeLimit)(int64_t milliseconds);
    // ImageMagick's version as it reports it ("6.9.11-60").
    std::string (*libraryVersion)();
    // The module's own version, "major.minor.patch.build".
    std::string (*version)();
};

// The version of ImageMagick the decoder reads through; empty when the
// decoder cannot be loaded.
std::string foreignLibraryVersion();
// The decoder module's own version; empty when it cannot be loaded.
std::string foreignModuleVersion();
// Why the decoder module cannot be loaded; empty when it can.
std::string foreignModuleProblem();

}  // namespace quor

// The module's one exported symbol.
#define QUOR_FOREIGN_MODULE_ENTRY "quor_foreign_module"
extern "C" const quor::ForeignModule* quor_foreign_module();
