#include "files.h"

#include "fileaccess.h"
#include "layout.h"
#include "temporaries.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <unistd.h>
constexpr int kBinary = 0;
#else
#include <io.h>
#define fsync _commit
constexpr int kBinary = O_BINARY;
#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif
#endif

namespace corvane {

bool readFileBytes(const QString& path, std::vector<uint8_t>& bytes, int64_t limit) {
    return readRegularFile(path, bytes, limit).isEmpty();
}

namespace {
std::function<bool(WriteStage)>& writeFault() {
    static std::function<bool(WriteStage)> fault;
    return fault;
}
bool failsAt(WriteStage stage) { return writeFault() && writeFault()(stage); }
}  // namespace

void setWriteFaultForTesting(std::function<bool(WriteStage)> fault) { writeFault() = std::move(fault); }

namespace {
QString saveProblem(const QString& path, const QString& why) {
    return QStringLiteral("Cannot save %1:\n%2").arg(readableName(QFileInfo(path).fileName()), why);
}

// Where a failed write tells why: as the message of a save the user asked
// for, and as its cause alone, for a step that names itself.
struct WriteProblem {
    QString* message = nullptr;
    QString* cause = nullptr;
    // `why` as a save's message says it; `causeText` the cause in it.
    bool tell(const QString& path, const QString& why, const QString& causeText) const {
        if (message) *message = saveProblem(path, why);
        if (cause) *cause = causeText;
        return false;
    }
    // A refusal is its own cause.
    bool tell(const QString& path, const QString& refusal) const {
        return tell(path, refusal, refusal.endsWith(u'.') ? refusal.chopped(1) : refusal);
    }
};

// What the system's error number means, said for the user.
QString causeOf(int error) {
    switch (error) {
        case 0:
            return QStringLiteral("the system gave no reason");
        case ENOSPC:
            return QStringLiteral("no space left on the device");
#ifdef EDQUOT
        case EDQUOT:
            return QStringLiteral("the disk quota is used up");
#endif
        case EACCES:
        case EPERM:
            return QStringLiteral("permission denied");
        case ENOENT:
            return QStringLiteral("the folder does not exist");
        case ENOTDIR:
            return QStringLiteral("part of the path is not a folder");
        case EROFS:
            return QStringLiteral("the disk is read-only");
        case EIO:
            return QStringLiteral("the device reported an input/output error");
        case ENAMETOOLONG:
            return QStringLiteral("the name is too long");
        default:
            break;
    }
    QString text = QString::fromLocal8Bit(std::generic_category().message(error));
    if (!text.isEmpty()) text[0] = text[0].toLower();
    return text;
}

// Why no file could be made in `folder`.  A folder that is there may still
// answer that nothing of the name can be: the system's own views (/proc,
// say) hold no files but their own.
QString causeOfMaking(int error, const QString& folder) {
    if (error == ENOENT && entryKind(folder) == EntryKind::Folder)
        return QStringLiteral("the folder is there, but its file system takes no new files");
    return causeOf(error);
}

QString causeOf(const std::error_code& code) {
    const std::error_condition condition = code.default_error_condition();
    if (condition.category() == std::generic_category()) return causeOf(condition.value());
    return QString::fromLocal8Bit(code.message());
}

// Removes what writers that were killed left in `folder`, at most every few
// seconds a folder: a batch saves thousands of files into one folder, and
// each sweep reads all of its names.
void sweepNowAndThen(const QString& folder) {
    using Clock = std::chrono::steady_clock;
    constexpr auto kInterval = std::chrono::seconds(5);
    static std::mutex mutex;
    static std::map<QString, Clock::time_point> lastSweep;
    const Clock::time_point now = Clock::now();
    {
        std::lock_guard lock(mutex);
        const auto it = lastSweep.find(folder);
        if (it != lastSweep.end() && now - it->second < kInterval) return;
        if (lastSweep.size() >= 64) lastSweep.clear();
        lastSweep[folder] = now;
    }
    quor::temporaries::removeLeftovers(nativeName(folder).toStdString());
}

// A stage a test makes fail fails as a device error would.
constexpr int kMadeToFail = EIO;

// The error number of a failed write, or 0.
int writeAll(int fd, const std::vector<uint8_t>& bytes) {
    const uint8_t* at = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, at, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? errno : EIO;
        at += n;
        left -= size_t(n);
    }
    return 0;
}
}  // namespace

namespace {

thread_local int readOnlyFilesReplaced = 0;

// The folders held now, by their absolute names.
struct Held {
    QString name;
    int handle;
};
std::mutex heldMutex;
std::vector<Held> heldFolders;

// A handle of its own on the held folder of that absolute name, or -1.
int heldFolderHandle(const QString& folder) {
#ifndef _WIN32
    std::lock_guard lock(heldMutex);
    for (const Held& held : heldFolders)
        if (held.name == folder) return ::fcntl(held.handle, F_DUPFD_CLOEXEC, 0);
#else
    (void)folder;
#endif
    return -1;
}

// What stands at `name` in `folder` (AT_FDCWD: `name` is a whole path).
EntryKind entryKindAt(int folder, const QByteArray& name, bool followLinks, mode_t* mode = nullptr) {
#ifndef _WIN32
    struct stat st {};
    if (name.isEmpty() || ::fstatat(folder, name.constData(), &st, followLinks ? 0 : AT_SYMLINK_NOFOLLOW) != 0)
        return EntryKind::Missing;
    if (mode) *mode = st.st_mode;
    return entryKindOfMode(st.st_mode);
#else
    (void)folder, (void)mode;
    return entryKind(nameFromNative(name), followLinks);
#endif
}

// Why a save may not replace what stands at `path`, or an empty text.  A
// link is replaced by the new file, never written through, so a link to a
// file (or to nothing) has no say; a link to a device or a FIFO is refused
// like the device, since whoever named it meant the device.  A file is
// judged by its permission bits, so a read-only one is kept even for an
// account that could write it anyway.
QString refusalToReplace(const QString& path, bool checkReadOnly, int folder = -1) {
#ifndef _WIN32
    const int at = folder >= 0 ? folder : AT_FDCWD;
#else
    const int at = folder;
#endif
    const QByteArray name = nativeName(folder >= 0 ? QFileInfo(path).fileName() : path);
    mode_t mode = 0;
    const EntryKind own = entryKindAt(at, name, false, &mode);
    const EntryKind kind = own == EntryKind::Link ? entryKindAt(at, name, true) : own;
    switch (kind) {
        case EntryKind::Missing:
            return {};
        case EntryKind::File:
            break;
        case EntryKind::Folder:
            if (own == EntryKind::Folder) return QStringLiteral("a folder of that name exists.");
            [[fallthrough]];
        default:
            return QStringLiteral("%1 is %2%3, not a regular file; only a regular file is replaced.")
                .arg(readableName(QDir::toNativeSeparators(path)),
                     own == EntryKind::Link ? QStringLiteral("a link to ") : QString(), entryKindText(kind));
    }
    if (own == EntryKind::Link || !checkReadOnly || readOnlyFilesReplaced > 0) return {};
#ifndef _WIN32
    if (!(mode & S_IWUSR)) return QStringLiteral("the file is read-only.");
#else
    if (!(QFileInfo(path).permissions() & QFileDevice::WriteOwner)) return QStringLiteral("the file is read-only.");
#endif
    return {};
}

// Letters and digits for the unique end of a temporary name.
QByteArray uniqueEnd() {
    static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    QByteArray end(qsizetype(quor::temporaries::kUniqueChars), '0');
    for (char& c : end) c = kChars[QRandomGenerator::global()->bounded(int(sizeof kChars - 1))];
    return end;
}

std::filesystem::path systemPath(const QByteArray& native) {
#ifndef _WIN32
    return std::filesystem::path(native.toStdString());
#else
    return std::filesystem::path(QFile::decodeName(native).toStdWString());
#endif
}

}  // namespace

ReadOnlyFilesReplaced::ReadOnlyFilesReplaced() { ++readOnlyFilesReplaced; }
ReadOnlyFilesReplaced::~ReadOnlyFilesReplaced() { --readOnlyFilesReplaced; }

Replacement::~Replacement() {
    if (handle_ >= 0) ::close(handle_);
    if (!placed_ && folder_ >= 0 && !leaf_.isEmpty()) {
#ifndef _WIN32
        ::unlinkat(folder_, leaf_.constData(), 0);
#endif
    } else if (!placed_ && !name_.isEmpty()) {
        std::error_code ignored;
        std::filesystem::remove(systemPath(name_), ignored);
    }
    if (folder_ >= 0) ::close(folder_);
}

HeldFolder::HeldFolder(const QString& folder) : name_(absoluteName(folder)) {
#ifndef _WIN32
    handle_ = ::open(nativeName(name_).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (handle_ < 0) return;
    std::lock_guard lock(heldMutex);
    heldFolders.push_back({name_, handle_});
#endif
}

HeldFolder::~HeldFolder() {
#ifndef _WIN32
    if (handle_ < 0) return;
    {
        std::lock_guard lock(heldMutex);
        for (auto it = heldFolders.begin(); it != heldFolders.end(); ++it)
            if (it->handle == handle_) {
                heldFolders.erase(it);
                break;
            }
    }
    ::close(handle_);
#endif
}

// The two halves of a replacement, telling a failure as their caller wants it.
struct ReplacementWriter {
    static std::unique_ptr<Replacement> write(const QString& path, const std::vector<uint8_t>& bytes,
                                              const WriteProblem& problem);
    static bool putInPlace(Replacement& temp, const QString& path, const WriteProblem& problem);
};

std::unique_ptr<Replacement> ReplacementWriter::write(const QString& path, const std::vector<uint8_t>& bytes,
                                                      const WriteProblem& problem) {
    const QFileInfo target(path);
    const QString folder = folderOfName(path);
    std::unique_ptr<Replacement> temp(new Replacement);
    temp->folder_ = heldFolderHandle(folder);
    if (const QString refusal = refusalToReplace(path, true, temp->folder_); !refusal.isEmpty()) {
        problem.tell(path, refusal);
        return nullptr;
    }

    sweepNowAndThen(folder);
    const QByteArray leadLeaf =
        QByteArray::fromStdString(quor::temporaries::leadFor(nativeName(target.fileName()).toStdString()));
    const QByteArray lead = nativeName(folder) + '/' + leadLeaf;
    int cause = 0;
    if (failsAt(WriteStage::Create)) {
        cause = kMadeToFail;
    } else {
        // Another writer's name is never taken over: a few tries, then its cause.
        constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | kBinary;
        for (int attempt = 0; attempt < 16 && temp->handle_ < 0; ++attempt) {
            const QByteArray end = uniqueEnd();
#ifndef _WIN32
            temp->handle_ = temp->folder_ >= 0 ? ::openat(temp->folder_, (leadLeaf + end).constData(), kFlags, 0600)
                                               : ::open((lead + end).constData(), kFlags, 0600);
#else
            temp->handle_ = ::open((lead + end).constData(), kFlags, 0600);
#endif
            cause = temp->handle_ < 0 ? errno : 0;
            if (temp->handle_ >= 0) {
                temp->name_ = lead + end;
                temp->leaf_ = leadLeaf + end;
            } else if (cause != EEXIST) {
                break;
            }
        }
    }
    if (temp->handle_ < 0) {
        const QString why = causeOfMaking(cause, folder);
        problem.tell(
            path,
            QStringLiteral("no file can be made in %1: %2.").arg(readableName(QDir::toNativeSeparators(folder)), why),
            why);
        return nullptr;
    }
    const int writeError = failsAt(WriteStage::Write) ? kMadeToFail : writeAll(temp->handle_, bytes);
    if (writeError != 0) {
        problem.tell(path, QStringLiteral("writing failed: %1.").arg(causeOf(writeError)), causeOf(writeError));
        return nullptr;
    }
    return temp;
}

#ifndef _WIN32
namespace {
// The permissions a new file takes, 0666 less the process's umask, as open()
// would give it.  The umask is read from the kernel's status of the process:
// the only other way to learn it sets it, and other threads may be making
// files meanwhile.
mode_t newFileMode() {
    mode_t mask = 022;
    if (std::FILE* status = std::fopen("/proc/self/status", "re")) {
        char line[256];
        while (std::fgets(line, sizeof line, status))
            if (unsigned value = 0; std::sscanf(line, "Umask: %o", &value) == 1) {
                mask = mode_t(value & 0777);
                break;
            }
        std::fclose(status);
    }
    return mode_t(0666 & ~mask);
}
}  // namespace
#endif

bool ReplacementWriter::putInPlace(Replacement& temp, const QString& path, const WriteProblem& problem) {
    int flushError = 0;
    if (::fsync(temp.handle_) != 0) flushError = errno;
    if (failsAt(WriteStage::Flush)) flushError = kMadeToFail;
    if (flushError != 0)
        return problem.tell(path,
                            QStringLiteral("the data could not be flushed to the disk: %1.").arg(causeOf(flushError)),
                            causeOf(flushError));
    // What stands at the target may have changed since the file was begun.
    if (const QString refusal = refusalToReplace(path, false, temp.folder_); !refusal.isEmpty())
        return problem.tell(path, refusal);
    // A replaced file keeps its permissions; a new one gets those any new
    // file of the user's gets, and so does one that replaces a link: the mode
    // of whatever the link points at is not the new file's business.
    const QByteArray target = nativeName(absoluteName(path));
    const QByteArray targetLeaf = nativeName(QFileInfo(path).fileName());
#ifndef _WIN32
    mode_t mode = 0;
    const bool replacesFile = temp.folder_ >= 0 ? entryKindAt(temp.folder_, targetLeaf, false, &mode) == EntryKind::File
                                                : entryKindAt(AT_FDCWD, target, false, &mode) == EntryKind::File;
    ::fchmod(temp.handle_, replacesFile ? (mode & 07777) : newFileMode());
#endif
    const int closed = ::close(temp.handle_);
    const int closeError = errno;
    temp.handle_ = -1;
    if (closed != 0 && closeError != EINTR)
        return problem.tell(path,
                            QStringLiteral("the data could not be flushed to the disk: %1.").arg(causeOf(closeError)),
                            causeOf(closeError));
    // A link in the way is itself replaced; rename never follows it.
    std::error_code code = std::make_error_code(std::errc::io_error);
    if (!failsAt(WriteStage::Rename)) {
#ifndef _WIN32
        if (temp.folder_ >= 0)
            code = ::renameat(temp.folder_, temp.leaf_.constData(), temp.folder_, targetLeaf.constData()) == 0
                       ? std::error_code()
                       : std::error_code(errno, std::generic_category());
        else
#endif
            std::filesystem::rename(systemPath(temp.name_), systemPath(target), code);
    }
    if (code)
        return problem.tell(path,
                            QStringLiteral("the new file could not take the old one's place: %1.").arg(causeOf(code)),
                            causeOf(code));
    temp.placed_ = true;
    return true;
}

namespace {

bool replaceFile(const QString& path, const std::vector<uint8_t>& bytes, const WriteProblem& problem) {
    const std::unique_ptr<Replacement> temp = ReplacementWriter::write(path, bytes, problem);
    return temp && ReplacementWriter::putInPlace(*temp, path, problem);
}

}  // namespace

WrittenReplacement writeReplacement(const QString& path, const std::vector<uint8_t>& bytes) {
    WrittenReplacement written;
    QString error;
    written.file = ReplacementWriter::write(path, bytes, WriteProblem{&error, nullptr});
    if (!written.file) written.outcome.fail(error);
    return written;
}

CommandOutcome putReplacementInPlace(Replacement& temp, const QString& path) {
    QString error;
    if (ReplacementWriter::putInPlace(temp, path, WriteProblem{&error, nullptr})) return {};
    return CommandOutcome::refused(error);
}

CommandOutcome replaceFileAtomically(const QString& path, const std::vector<uint8_t>& bytes) {
    QString error;
    if (replaceFile(path, bytes, WriteProblem{&error, nullptr})) return {};
    return CommandOutcome::refused(error);
}

QString replaceWorkFile(const QString& path, const std::vector<uint8_t>& bytes) {
    QString cause;
    return replaceFile(path, bytes, WriteProblem{nullptr, &cause}) ? QString() : cause;
}

QString writeWorkFile(const QString& path, const std::vector<uint8_t>& bytes) {
    const int fd = ::open(nativeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | kBinary, 0666);
    if (fd < 0) {
        const int error = errno;
        return causeOfMaking(error, folderOfName(path));
    }
    int error = writeAll(fd, bytes);
    if (::close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
    return error != 0 ? causeOf(error) : QString();
}

std::optional<CutShortRows> cutShortBmpRows(const QString& path) {
    std::vector<uint8_t> header;
    const int64_t length = regularFileLength(path);
    if (length < 0 || !readFileBytes(path, header, 54) || header.size() < 54 || header[0] != 'B' || header[1] != 'M')
        return std::nullopt;
    const auto field = [&](size_t at) { return layout::read32(header, at); };
    const int64_t width = int32_t(field(18)), height = std::abs(int64_t(int32_t(field(22))));
    const int bits = header[28] | header[29] << 8;
    const uint32_t compression = field(30);
    if (width <= 0 || height <= 0 || (bits != 8 && bits != 16 && bits != 24 && bits != 32) ||
        (compression != 0 && compression != 3))
        return std::nullopt;
    const int64_t row = width * bits / 8, pixels = length - int64_t(field(10));
    const int64_t whole = pixels <= 0 ? 0 : std::min(height, pixels / row);
    if (whole >= height) return std::nullopt;
    return CutShortRows{whole, height};
}

}  // namespace corvane
