#include "fileaccess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#endif
#if defined(__linux__)
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/vfs.h>
#endif

namespace corvane {

const char* const kNotRegularFile = "is not a regular file";

namespace {

constexpr char16_t kKeptByte = 0xDC00;  // a kept byte b is the code unit U+DC00 + b

bool isKeptByte(const QString& name, qsizetype i) {
    const char16_t c = name[i].unicode();
    return c >= kKeptByte + 0x80 && c <= kKeptByte + 0xFF && (i == 0 || !name[i - 1].isHighSurrogate());
}

// The length of the well-formed UTF-8 sequence at `at`, or 0.
qsizetype utf8SequenceAt(const QByteArray& bytes, qsizetype at) {
    const auto byte = [&](qsizetype i) { return i < bytes.size() ? uint8_t(bytes[i]) : uint8_t(0); };
    const uint8_t lead = byte(at);
    const auto continuation = [&](qsizetype i) { return (byte(i) & 0xC0) == 0x80; };
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return continuation(at + 1) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        const uint8_t second = byte(at + 1);
        // No overlong forms and no surrogates.
        if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F)) return 0;
        return continuation(at + 1) && continuation(at + 2) ? 3 : 0;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        const uint8_t second = byte(at + 1);
        if ((lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F)) return 0;
        return continuation(at + 1) && continuation(at + 2) && continuation(at + 3) ? 4 : 0;
    }
    return 0;
}

// UTF-8 as it stands: a byte order mark at the start is a character of the
// name too, not a mark to drop.
QString fromUtf8(const char* bytes, qsizetype length) {
    QStringDecoder decoder(QStringDecoder::Utf8,
                           QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    return decoder.decode(QByteArrayView(bytes, length));
}

}  // namespace

QString nameFromNative(const QByteArray& bytes) {
#ifndef _WIN32
    QString name;
    name.reserve(bytes.size());
    qsizetype run = 0;  // start of the well-formed bytes not yet decoded
    qsizetype at = 0;
    while (at < bytes.size()) {
        const qsizetype length = utf8SequenceAt(bytes, at);
        if (length > 0) {
            at += length;
            continue;
        }
        name += fromUtf8(bytes.constData() + run, at - run);
        name += QChar(char16_t(kKeptByte + uint8_t(bytes[at])));
        run = ++at;
    }
    if (run == 0) return fromUtf8(bytes.constData(), bytes.size());
    name += fromUtf8(bytes.constData() + run, at - run);
    return name;
#else
    return QFile::decodeName(bytes);
#endif
}

QByteArray nativeName(const QString& name) {
#ifndef _WIN32
    QByteArray bytes;
    qsizetype run = 0;
    for (qsizetype i = 0; i < name.size(); ++i) {
        if (!isKeptByte(name, i)) continue;
        bytes += QStringView(name).mid(run, i - run).toUtf8();
        bytes += char(name[i].unicode() - kKeptByte);
        run = i + 1;
    }
    if (run == 0) return name.toUtf8();
    bytes += QStringView(name).mid(run).toUtf8();
    return bytes;
#else
    return QFile::encodeName(name);
#endif
}

QString readableName(QString name) {
    const auto hex = [](unsigned value) { return QString::number(value, 16).toUpper().rightJustified(2, u'0'); };
    for (qsizetype i = name.size(); i-- > 0;) {
        const char16_t c = name[i].unicode();
        if (isKeptByte(name, i)) name.replace(i, 1, QStringLiteral("\\x") + hex(c - kKeptByte));
        // A control character would act on the terminal or the log it is
        // written to (a line break, an escape sequence), not show.
        else if (c < 0x20 || c == 0x7F) name.replace(i, 1, QStringLiteral("\\x") + hex(c));
        else if (c >= 0x80 && c < 0xA0) name.replace(i, 1, QStringLiteral("\\u00") + hex(c));
    }
    return name;
}

QString absoluteName(const QString& path) {
#ifndef _WIN32
    if (path.startsWith(QLatin1Char('/'))) return QDir::cleanPath(path);
    QByteArray here(4096, '\0');
    while (!::getcwd(here.data(), size_t(here.size()))) {
        if (errno != ERANGE) return QDir::cleanPath(path);
        here.resize(here.size() * 2);
    }
    return QDir::cleanPath(nameFromNative(QByteArray(here.constData())) + QLatin1Char('/') + path);
#else
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
#endif
}

QString folderOfName(const QString& path) {
    const QString absolute = absoluteName(path);
    const qsizetype slash = absolute.lastIndexOf(QLatin1Char('/'));
    return slash <= 0 ? QStringLiteral("/") : absolute.left(slash);
}

EntryKind entryKindOfMode(unsigned mode) {
#ifndef _WIN32
    if (S_ISREG(mode)) return EntryKind::File;
    if (S_ISDIR(mode)) return EntryKind::Folder;
    if (S_ISLNK(mode)) return EntryKind::Link;
    if (S_ISFIFO(mode)) return EntryKind::Fifo;
    if (S_ISCHR(mode) || S_ISBLK(mode)) return EntryKind::Device;
    if (S_ISSOCK(mode)) return EntryKind::Socket;
#else
    (void)mode;
#endif
    return EntryKind::Other;
}

EntryKind entryKind(const QString& path, bool followLinks) {
#ifndef _WIN32
    struct stat st {};
    const QByteArray native = nativeName(path);
    if (path.isEmpty() || (followLinks ? ::stat(native.constData(), &st) : ::lstat(native.constData(), &st)) != 0)
        return EntryKind::Missing;
    return entryKindOfMode(st.st_mode);
#else
    const QFileInfo info(path);
    if (!followLinks && info.isSymLink()) return EntryKind::Link;
    if (!info.exists()) return EntryKind::Missing;
    if (info.isDir()) return EntryKind::Folder;
    return info.isFile() ? EntryKind::File : EntryKind::Other;
#endif
}

QString entryKindText(EntryKind kind) {
    switch (kind) {
        case EntryKind::Folder:
            return QStringLiteral("a folder");
        case EntryKind::Fifo:
            return QStringLiteral("a FIFO");
        case EntryKind::Device:
            return QStringLiteral("a device");
        case EntryKind::Socket:
            return QStringLiteral("a socket");
        case EntryKind::Link:
            return QStringLiteral("a link");
        case EntryKind::Missing:
        case EntryKind::File:
        case EntryKind::Other:
            break;
    }
    return QStringLiteral("not a regular file");
}

int64_t regularFileLength(const QString& path) {
#ifndef _WIN32
    struct stat st {};
    if (path.isEmpty() || ::stat(nativeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return int64_t(st.st_size);
#else
    const QFileInfo info(path);
    return info.isFile() ? info.size() : -1;
#endif
}

QString resolvedFolder(const QString& folder) {
#ifndef _WIN32
    if (folder.isEmpty()) return {};
    char* resolved = ::realpath(nativeName(folder).constData(), nullptr);
    if (!resolved) return {};
    const QString name = nameFromNative(QByteArray(resolved));
    std::free(resolved);
    return entryKind(name) == EntryKind::Folder ? name : QString();
#else
    const QFileInfo info(folder);
    return info.isDir() ? info.canonicalFilePath() : QString();
#endif
}

bool folderFoldsCase(const QString& folder) {
#if defined(_WIN32) || defined(__APPLE__)
    (void)folder;
    return true;
#elif defined(__linux__)
    const int fd = ::open(nativeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool folds = false;
    struct statfs disk {};
    if (::fstatfs(fd, &disk) == 0) {
        // The disks of other systems: FAT (vfat, msdos), exFAT, and NTFS by
        // either driver.
        constexpr unsigned long kFoldingSystems[] = {0x4d44, 0x2011bab0, 0x5346544e, 0x7366746e};
        for (const unsigned long type : kFoldingSystems)
            folds = folds || static_cast<unsigned long>(disk.f_type) == type;
    }
    // A folder of ext4 or f2fs made case-insensitive (chattr +F).
#ifndef FS_CASEFOLD_FL
    constexpr int FS_CASEFOLD_FL = 0x40000000;
#endif
    int flags = 0;
    if (!folds && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) folds = (flags & FS_CASEFOLD_FL) != 0;
    ::close(fd);
    return folds;
#else
    (void)folder;
    return false;
#endif
}

QString causeOfError(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            return QStringLiteral("no such file or folder");
        case EACCES:
        case EPERM:
            return QStringLiteral("permission denied");
        case ENOSPC:
#ifdef EDQUOT
        case EDQUOT:
#endif
            return QStringLiteral("no space left on the device");
        case EISDIR:
            return QStringLiteral("is a folder");
#ifdef EROFS
        case EROFS:
            return QStringLiteral("the disk is read-only");
#endif
        default:
            break;
    }
    QString text = QString::fromLocal8Bit(std::strerror(error));
    if (!text.isEmpty()) text[0] = text[0].toLower();
    return text;
}

QString openForReading(QFile& file, const QString& path) {
    if (path.isEmpty()) return causeOfError(ENOENT);
#ifndef _WIN32
    // O_NONBLOCK so that a FIFO without a writer cannot hold the open; the
    // file type is then judged on what was opened, not on the name.
    const int fd = ::open(nativeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return causeOfError(errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int error = errno;
        ::close(fd);
        return causeOfError(error);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return QString::fromLatin1(kNotRegularFile);
    }
    // O_NONBLOCK changes nothing for a regular file: its reads never wait.
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return file.errorString();
    }
    return {};
#else
    const QFileInfo info(path);
    if (!info.exists()) return causeOfError(ENOENT);
    if (!info.isFile()) return QString::fromLatin1(kNotRegularFile);
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly)) return causeOfError(EACCES);
    return {};
#endif
}

QString readRegularFile(const QString& path, std::vector<uint8_t>& bytes, int64_t limit) {
#ifndef _WIN32
    if (path.isEmpty()) return causeOfError(ENOENT);
    const int fd = ::open(nativeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return causeOfError(errno);
    struct stat st {};
    QString problem;
    if (::fstat(fd, &st) != 0) {
        problem = causeOfError(errno);
    } else if (!S_ISREG(st.st_mode)) {
        problem = QString::fromLatin1(kNotRegularFile);
    } else {
        // Straight into place, no more than the file holds.
        bytes.resize(size_t(std::clamp<int64_t>(std::min<int64_t>(limit, st.st_size), 0, INT64_MAX)));
        size_t got = 0;
        while (got < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                problem = causeOfError(errno);
                break;
            }
            if (n == 0) break;
            got += size_t(n);
        }
        bytes.resize(got);
    }
    ::close(fd);
    return problem;
#else
    QFile file;
    if (const QString problem = openForReading(file, path); !problem.isEmpty()) return problem;
    bytes.resize(size_t(std::clamp<int64_t>(std::min<int64_t>(limit, file.size()), 0, INT64_MAX)));
    const int64_t got = bytes.empty() ? 0 : file.read(reinterpret_cast<char*>(bytes.data()), int64_t(bytes.size()));
    if (got < 0) return file.errorString();
    bytes.resize(size_t(got));
    return {};
#endif
}

QString causeNotReadable(const QString& path) {
    QFile file;
    return openForReading(file, path);
}

QString cannotReadText(const QString& path, const QString& cause) {
    const QString shown = readableName(QDir::toNativeSeparators(path));
    if (cause == QLatin1String(kNotRegularFile)) return QStringLiteral("%1 %2.").arg(shown, cause);
    return QStringLiteral("Cannot read %1: %2.").arg(shown, cause);
}

QString stepFailure(const QString& step, const QString& cause) {
    if (cause.isEmpty()) return step + u'.';
    return QStringLiteral("%1: %2.").arg(step, cause);
}

QString causeNotWritable(const QString& path) {
    if (path.isEmpty()) return causeOfError(ENOENT);
    const EntryKind kind = entryKind(path);
    if (kind == EntryKind::Folder) return causeOfError(EISDIR);
    // A device or a FIFO is never replaced by a file of ours.
    if (kind != EntryKind::Missing && kind != EntryKind::File) return QString::fromLatin1(kNotRegularFile);
    const QString folder = folderOfName(path);
#ifndef _WIN32
    const QByteArray nativeFolder = nativeName(folder);
    struct stat st {};
    if (::stat(nativeFolder.constData(), &st) != 0) return causeOfError(errno);
    if (!S_ISDIR(st.st_mode)) return causeOfError(ENOTDIR);
    // The file is written beside the target and renamed over it, so the
    // folder is what has to take it.
    if (::access(nativeFolder.constData(), W_OK | X_OK) != 0) return causeOfError(errno);
    if (kind == EntryKind::File && ::stat(nativeName(path).constData(), &st) == 0 && !(st.st_mode & S_IWUSR))
        return causeOfError(EACCES);
    struct statvfs space {};
    if (::statvfs(nativeFolder.constData(), &space) == 0) {
        const bool privileged = ::geteuid() == 0;
        if ((privileged ? space.f_bfree : space.f_bavail) == 0) return causeOfError(ENOSPC);
    }
#else
    const QFileInfo target(path);
    if (!QFileInfo(folder).isDir()) return causeOfError(ENOENT);
    if (target.exists() && !target.isWritable()) return causeOfError(EACCES);
#endif
    return {};
}

}  // namespace corvane
