// The texture tool's work: re-encode a set at another depth, describe a
// file, and the command line that drives both.
#pragma once

#include "xbmfile.h"

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace xbm {

struct ConvertOptions {
    corvane::SetDepth depth = corvane::SetDepth::Rgb565;
    bool verify = false;  // -verify: re-read what was written
};

struct ConvertResult {
    Bytes bytes;
    std::string error;  // one line; bytes are empty when set
    int32_t edge = 0;   // of the largest level
};
// The whole file re-encoded; missing levels are resampled from the largest.
ConvertResult convertBytes(const Bytes& source, const ConvertOptions& options);

// Why `written` does not hold a complete set of `target` and `edge`, if it does not.
std::optional<std::string> verifyWritten(const Bytes& written, corvane::SetDepth target, int32_t edge);

// Rewrites the file in place; on any failure the file is left as it was.
std::optional<std::string> convertFile(const std::string& path, const ConvertOptions& options);

// Several lines about the file's layout, for --info.
std::string describe(const XbmSet& set);

// The whole program: arguments without the program name; returns the exit
// code (0 done, 1 failed, 2 usage error).
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace xbm
