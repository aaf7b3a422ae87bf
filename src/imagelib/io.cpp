// Reading and writing whole files, choosing the decoder, and progress.
#include "image.h"

#include "halvings.h"
#include "temporaries.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <system_error>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace quor {
namespace fs = std::filesystem;

void Progress::report(int64_t done, int64_t total) const {
    if (!routine_ || total <= 0) return;
    done = std::clamp<int64_t>(done, 0, total);
    const int64_t value = low_ + (int64_t(high_) - low_) * done / total;
    // Stages may report the same point twice or overlap; the caller only
    // ever sees progress rise.
    if (value <= *last_) return;
    *last_ = int32_t(value);
    routine_(int32_t(value), kSteps);
}

Progress Progress::part(int64_t from, int64_t to, int64_t of) const {
    Progress p = *this;
    if (of <= 0) return p;
    from = std::clamp<int64_t>(from, 0, of);
    to = std::clamp<int64_t>(to, from, of);
    const int64_t span = int64_t(high_) - low_;
    p.low_ = int32_t(low_ + span * from / of);
    p.high_ = int32_t(low_ + span * to / of);
    return p;
}

namespace {

// A regular file opened for reading, its size known before anything is read.
class InputFile {
public:
    explicit InputFile(const std::string& path) {
#if defined(_WIN32)
        std::error_code ec;
        if (path.empty() || !fs::is_regular_file(path, ec)) return;
        in_.open(path, std::ios::binary);
        if (!in_) {
            error_ = errno;
            return;
        }
        in_.seekg(0, std::ios::end);
        const std::streamoff end = in_.tellg();
        if (end < 0) return;
        size_ = uint64_t(end);
        open_ = true;
#else
        if (path.empty()) return;
        // Without blocking, so a pipe or device of that name cannot hold the
        // caller up; anything but a regular file is refused below.
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        struct stat st {};
        if (fd_ < 0 || ::fstat(fd_, &st) != 0) {
            error_ = errno;
            return;
        }
        if (!S_ISREG(st.st_mode)) {
            error_ = S_ISDIR(st.st_mode) ? EISDIR : 0;
            return;
        }
        size_ = uint64_t(st.st_size);
        open_ = true;
#endif
    }
#if !defined(_WIN32)
    ~InputFile() {
        if (fd_ >= 0) ::close(fd_);
    }
#endif
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    bool isOpen() const { return open_; }
    uint64_t size() const { return size_; }
    // Why it is not open, or why the last read failed: the system's error
    // number, 0 for a file that is not a regular one (or that ended early).
    int error() const { return error_; }

    // Exactly `count` bytes from `offset`; false when the file holds fewer.
    bool readAt(uint64_t offset, uint8_t* to, size_t count) {
#if defined(_WIN32)
        in_.clear();
        in_.seekg(std::streamoff(offset));
        return bool(in_.read(reinterpret_cast<char*>(to), std::streamsize(count)));
#else
        while (count > 0) {
            const ssize_t n = ::pread(fd_, to, count, off_t(offset));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) error_ = errno;
            if (n <= 0) return false;
            to += n;
            offset += uint64_t(n);
            count -= size_t(n);
        }
        return true;
#endif
    }

    // Whether the file ends at `offset`, as it did when it was opened.
    bool endsAt(uint64_t offset) {
        uint8_t more = 0;
        return !readAt(offset, &more, 1);
    }

private:
#if defined(_WIN32)
    std::ifstream in_;
#else
    int fd_ = -1;
#endif
    uint64_t size_ = 0;
    bool open_ = false;
    int error_ = 0;
};

// Why `file`, named `path`, could not be opened or read.
bool unreadable(const InputFile& file, const std::string& path, Failure* why) {
    const int error = file.error();
    std::string text = "cannot read " + path;
    if (error != 0) text += ": " + std::generic_category().message(error);
    else if (!file.isOpen()) text += ": not a regular file";
    return failWith(why, QUOR_ERROR_READ, std::move(text), error);
}

// The whole of an open file, when it holds no more than `limit` bytes.
std::optional<std::vector<uint8_t>> readWhole(InputFile& file, const std::string& path, size_t limit, Failure* why) {
    if (!file.isOpen()) {
        unreadable(file, path, why);
        return std::nullopt;
    }
    if (file.size() > limit) {
        failWith(why, QUOR_ERROR_LIMIT, "it is a file of more than " + std::to_string(limit >> 20) + " MiB");
        return std::nullopt;
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(file.size()));
    if (!file.readAt(0, bytes.data(), bytes.size()) || !file.endsAt(bytes.size())) {
        unreadable(file, path, why);
        return std::nullopt;
    }
    return bytes;
}

// Whether an open file holds exactly `bytes`.  Read a piece at a time into a
// small buffer, so the file is never copied whole.
bool holdsExactly(InputFile& file, const std::vector<uint8_t>& bytes) {
    if (file.size() != bytes.size()) return false;
    // Another picture of the same size nearly always differs in its first
    // rows: a small first piece finds that without reading much.
    constexpr size_t kFirstPiece = size_t(4) << 10, kPiece = size_t(256) << 10;
    thread_local std::vector<uint8_t> piece(kPiece);
    for (size_t at = 0; at < bytes.size();) {
        const size_t n = std::min(at == 0 ? kFirstPiece : kPiece, bytes.size() - at);
        if (!file.readAt(at, piece.data(), n) || std::memcmp(piece.data(), bytes.data() + at, n) != 0) return false;
        at += n;
    }
    return file.endsAt(bytes.size());
}

}  // namespace

std::optional<std::vector<uint8_t>> readFile(const std::string& path, size_t limit, Failure* why) {
    InputFile file(path);
    return readWhole(file, path, limit, why);
}

namespace {


#if !defined(_WIN32)
// The system's error number of a failed write, or 0.
int writeAll(int fd, const std::vector<uint8_t>& bytes) {
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        written += size_t(n);
    }
    return 0;
}
#endif

// Raw R8 textures are 65536 bytes of pixels and may begin with "BM" by chance.
constexpr size_t kRawTextureBytes = 65536;

// Our codec's verdict on a file, and its picture when it is a BMP.
struct BmpAttempt {
    bool unreadable = false;  // the file could not be opened (the reason is told)
    bool isBmpFile = false;   // starts with "BM"
    BmpRead result = BmpRead::NotBmp;
    size_t size = 0;
    std::shared_ptr<const Image> image;
    bool ownEncoding = false;
};

// Commands ask about one file several times in a row (is it readable, how
// large, then convert or resample it), and the chain builder resamples one
// largest level to every smaller one.  Each thread keeps the last BMP it
// decoded, with the file's bytes: a file that still holds exactly those
// bytes needs no decoding.  (File times cannot tell: a file rewritten twice
// within a clock tick keeps its times.)  Pictures above kKeptPixels are not
// kept.  The halvings made of the kept picture go with it, and all of it
// goes before the next file is read, so a thread holds one picture's worth
// at a time.

struct RecentBmp {
    std::string path;
    std::vector<uint8_t> bytes;
    std::shared_ptr<const Image> image;
    bool ownEncoding = false;
    std::unique_ptr<Halvings> halvings;
    // The halvings of the picture put on a 16-bit grid, for the one grid asked for last.
    std::unique_ptr<Halvings> gridHalvings;
    Rounding grid = Rounding::KeepMeans;
};
thread_local RecentBmp recentBmp;

// With `keep` false the kept picture stays as it is, whatever is read.
BmpAttempt tryBmp(const std::string& path, Failure* why, bool keep = true) {
    BmpAttempt attempt;
    InputFile file(path);
    if (!file.isOpen()) {
        attempt.unreadable = true;
        unreadable(file, path, why);
        return attempt;
    }
    uint8_t signature[2] = {0, 0};
    if (!file.readAt(0, signature, 2) || signature[0] != 'B' || signature[1] != 'M') return attempt;
    attempt.isBmpFile = true;
    attempt.size = size_t(std::min<uint64_t>(file.size(), SIZE_MAX));
    if (recentBmp.image && holdsExactly(file, recentBmp.bytes)) {
        if (keep) recentBmp.path = path;
        attempt.result = BmpRead::Ok;
        attempt.image = recentBmp.image;
        attempt.ownEncoding = recentBmp.ownEncoding;
        return attempt;
    }
    if (keep) recentBmp = RecentBmp{};
    auto bytes = readWhole(file, path, kMaxFileBytes, why);
    if (!bytes) {
        attempt.result = BmpRead::Broken;
        return attempt;
    }
    attempt.size = bytes->size();
    auto image = std::make_shared<Image>();
    attempt.result = readBmp(bytes->data(), bytes->size(), *image, why);
    if (attempt.result != BmpRead::Ok) return attempt;
    attempt.ownEncoding = isOwnEncoding(bytes->data(), bytes->size(), *image);
    attempt.image = std::move(image);
    if (keep && attempt.image->pixelCount() <= kKeptPixels)
        recentBmp = RecentBmp{path,    std::move(*bytes), attempt.image,      attempt.ownEncoding,
                              nullptr, nullptr,           Rounding::KeepMeans};
    return attempt;
}

// Whether the general decoder should have a go after our codec.
bool handOn(const BmpAttempt& attempt) {
    return attempt.result == BmpRead::NotBmp || attempt.result == BmpRead::Unsupported ||
           (attempt.result == BmpRead::Broken && attempt.size == kRawTextureBytes);
}

bool withinLimits(int32_t width, int32_t height) {
    return width > 0 && height > 0 && width <= kMaxEdge && height <= kMaxEdge;
}

// False, with the reason, unless `path` names a regular file.
bool isRegularFile(const std::string& path, Failure* why) {
    if (path.empty()) return failWith(why, QUOR_ERROR_ARGUMENT, "no file named");
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (status.type() == fs::file_type::not_found)
        return failWith(why, QUOR_ERROR_READ, "cannot read " + path + ": " + std::generic_category().message(ENOENT),
                        ENOENT);
    if (ec) return failWith(why, QUOR_ERROR_READ, "cannot read " + path + ": " + ec.message(), ec.value());
    if (status.type() == fs::file_type::directory)
        return failWith(why, QUOR_ERROR_READ, "cannot read " + path + ": " + std::generic_category().message(EISDIR),
                        EISDIR);
    if (status.type() != fs::file_type::regular)
        return failWith(why, QUOR_ERROR_READ, "cannot read " + path + ": not a regular file");
    return true;
}

}  // namespace

std::string temporaryNameBeside(const std::string& destination) {
    // Unique within the process by the count, between processes by the id.
    static std::atomic<uint64_t> counter{0};
    static constexpr char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    fs::path name(destination);
    std::string leaf = temporaries::leadFor(name.filename().string());
    for (uint64_t n = counter++, i = 0; i < temporaries::kUniqueChars; ++i, n /= 62) leaf += kDigits[n % 62];
    name.replace_filename(leaf);
    return name.string();
}

bool writeFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes, Failure* why) {
    if (path.empty()) return failWith(why, QUOR_ERROR_ARGUMENT, "no file named to write");
    const auto failed = [&](int error) {
        return failWith(why, QUOR_ERROR_WRITE, "cannot write " + path + ": " + std::generic_category().message(error),
                        error);
    };
    const fs::path destination(path);
    std::error_code ec;
    if (fs::is_directory(destination, ec)) return failed(EISDIR);

#if defined(_WIN32)
    const std::string temp = temporaryNameBeside(path);
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) return failed(errno);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        out.flush();
        if (!out) {
            const int error = errno;
            out.close();
            fs::remove(temp, ec);
            return failed(error);
        }
    }
    fs::rename(temp, destination, ec);
    if (ec) {
        const int error = ec.value();
        fs::remove(temp, ec);
        return failed(error);
    }
    return true;
#else
    std::string temp;
    int fd = -1;
    for (unsigned attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        temp = temporaryNameBeside(path);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return failed(errno);
    }
    if (fd < 0) return failed(EEXIST);

    // A file that is replaced keeps its permissions.
    struct stat existing;
    if (::stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) (void)::fchmod(fd, existing.st_mode & 07777);

    // No fsync: the library's files are mostly the program's own working
    // copies, rewritten many times a second; the rename alone keeps a reader
    // from ever seeing half a file.  Saves of the user's files flush on their own.
    int error = writeAll(fd, bytes);
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(temp.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) {
        ::unlink(temp.c_str());
        return failed(error);
    }
    return true;
#endif
}

namespace {

std::shared_ptr<const Image> load(const std::string& path, Failure* why, bool keep) {
    if (!isRegularFile(path, why)) return nullptr;
    BmpAttempt attempt = tryBmp(path, why, keep);
    if (attempt.result == BmpRead::Ok) return attempt.image;
    if (attempt.unreadable || (attempt.isBmpFile && !handOn(attempt))) return nullptr;

    auto image = decodeForeign(path, why);
    if (!image) return nullptr;
    if (!withinLimits(image->width, image->height)) {
        failWith(why, QUOR_ERROR_LIMIT, tooLargeReason(image->width, image->height));
        return nullptr;
    }
    if (image->rgba.size() != image->pixelCount() * 4 ||
        (image->indexed && image->indices.size() != image->pixelCount())) {
        failWith(why, QUOR_ERROR_INTERNAL, "the decoder gave a picture without all of its pixels");
        return nullptr;
    }
    return std::make_shared<const Image>(std::move(*image));
}

}  // namespace

std::shared_ptr<const Image> loadShared(const std::string& path, Failure* why) { return load(path, why, true); }

std::shared_ptr<const Image> loadPassing(const std::string& path, Failure* why) { return load(path, why, false); }

Halvings* keptHalvings(const std::shared_ptr<const Image>& image) {
    if (!image || recentBmp.image != image) return nullptr;
    if (!recentBmp.halvings) recentBmp.halvings = std::make_unique<Halvings>(*image);
    return recentBmp.halvings.get();
}

Halvings* keptGridHalvings(const std::shared_ptr<const Image>& image, Rounding grid) {
    if (!image || recentBmp.image != image || !roundsOntoGrid(grid)) return nullptr;
    if (!recentBmp.gridHalvings || recentBmp.grid != grid) {
        recentBmp.gridHalvings = halvingsOnGrid(*image, grid);
        recentBmp.grid = grid;
    }
    return recentBmp.gridHalvings.get();
}

void keepWritten(const std::string& path, std::vector<uint8_t> bytes, const std::shared_ptr<const Image>& image) {
    // Only a picture that reading the file back would give unchanged: full
    // colour, opaque, and as from a 24-bit file.
    if (!image || image->indexed || image->hasAlpha || image->sourceBpp != 24 || !image->indices.empty() ||
        image->palette != Palette{} || image->pixelCount() > kKeptPixels ||
        image->rgba.size() != image->pixelCount() * 4)
        return;
    std::unique_ptr<Halvings> halvings = recentBmp.image == image ? std::move(recentBmp.halvings) : nullptr;
    recentBmp = RecentBmp{path, std::move(bytes), image, true, std::move(halvings), nullptr, Rounding::KeepMeans};
}

bool holdsOwnEncoding(const std::string& path, const std::shared_ptr<const Image>& image) {
    return image && recentBmp.image == image && recentBmp.ownEncoding && recentBmp.path == path;
}

std::optional<Image> loadImage(const std::string& path, Failure* why) {
    auto image = loadShared(path, why);
    if (!image) return std::nullopt;
    return *image;
}

bool probeImage(const std::string& path, int32_t& width, int32_t& height, int32_t& bpp, Failure* why) {
    if (!isRegularFile(path, why)) return false;
    BmpAttempt attempt = tryBmp(path, why);
    if (attempt.result == BmpRead::Ok) {
        width = attempt.image->width;
        height = attempt.image->height;
        bpp = attempt.image->sourceBpp;
        return true;
    }
    if (attempt.unreadable || (attempt.isBmpFile && !handOn(attempt))) return false;
    int32_t w = 0, h = 0, b = 0;
    if (!pingForeign(path, w, h, b, why)) return false;
    if (!withinLimits(w, h)) return failWith(why, QUOR_ERROR_LIMIT, tooLargeReason(w, h));
    width = w;
    height = h;
    bpp = b;
    return true;
}

bool canLoadImage(const std::string& path, Failure* why) {
    if (!isRegularFile(path, why)) return false;
    BmpAttempt attempt = tryBmp(path, why);
    if (attempt.result == BmpRead::Ok) return true;
    if (attempt.unreadable || (attempt.isBmpFile && !handOn(attempt))) return false;
    return canDecodeForeign(path, why);
}

}  // namespace quor
