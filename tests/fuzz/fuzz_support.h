// What every fuzz target shares: a private scratch folder, writing the input
// to a file there, and a sink that keeps results from being optimised away.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fuzz {

// Folds bytes into a value the compiler must assume is read.
inline void consume(const uint8_t* data, size_t size) {
    static volatile uint32_t sink = 0;
    uint32_t sum = sink;
    for (size_t i = 0; i < size; ++i) sum = sum * 31u + data[i];
    sink = sum;
}
inline void consume(const std::vector<uint8_t>& bytes) { consume(bytes.data(), bytes.size()); }
inline void consume(uint64_t value) {
    static volatile uint64_t sink = 0;
    sink = sink + value;
}

// A broken invariant is a finding: stop with the reason, as a crash would.
inline void require(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
}

// One folder per fuzzing process inside TMPDIR (scripts/fuzz makes that a
// folder in memory of its own and removes it afterwards, also after a crash).
inline const std::string& scratchDir() {
    static const std::string dir = [] {
        namespace fs = std::filesystem;
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = (tmp && *tmp ? std::string(tmp) : std::string("/tmp")) + "/corvane-fuzz-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (!::mkdtemp(buffer.data())) {
            std::perror("mkdtemp");
            std::abort();
        }
        std::string made(buffer.data());
        static const std::string removeAtExit = made;
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(removeAtExit, ec);
        });
        return made;
    }();
    return dir;
}

inline std::string scratchPath(const std::string& name) { return scratchDir() + "/" + name; }

inline void writeFile(const std::string& path, const uint8_t* data, size_t size) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    require(file != nullptr, "cannot create a scratch file");
    const bool ok = size == 0 || std::fwrite(data, 1, size, file) == size;
    require(std::fclose(file) == 0 && ok, "cannot write a scratch file");
}

}  // namespace fuzz
