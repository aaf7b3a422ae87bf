#include "fileaccess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#endif

namespace corvane {

const char* const kNotRegularFile = "is not a regular file";

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
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
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
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
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
    const QString shown = QDir::toNativeSeparators(path);
    if (cause == QLatin1String(kNotRegularFile)) return QStringLiteral("%1 %2.").arg(shown, cause);
    return QStringLiteral("Cannot read %1: %2.").arg(shown, cause);
}

QString causeNotWritable(const QString& path) {
    if (path.isEmpty()) return causeOfError(ENOENT);
    const QFileInfo target(path);
    if (target.isDir()) return causeOfError(EISDIR);
    // A device or a FIFO is never replaced by a file of ours.
    if (target.exists() && !target.isFile()) return QString::fromLatin1(kNotRegularFile);
    const QString folder = target.absolutePath();
#ifndef _WIN32
    const QByteArray nativeFolder = QFile::encodeName(folder);
    struct stat st {};
    if (::stat(nativeFolder.constData(), &st) != 0) return causeOfError(errno);
    if (!S_ISDIR(st.st_mode)) return causeOfError(ENOTDIR);
    // The file is written beside the target and renamed over it, so the
    // folder is what has to take it.
    if (::access(nativeFolder.constData(), W_OK | X_OK) != 0) return causeOfError(errno);
    if (target.exists() && !(target.permissions() & QFileDevice::WriteOwner)) return causeOfError(EACCES);
    struct statvfs space {};
    if (::statvfs(nativeFolder.constData(), &space) == 0) {
        const bool privileged = ::geteuid() == 0;
        if ((privileged ? space.f_bfree : space.f_bavail) == 0) return causeOfError(ENOSPC);
    }
#else
    if (!QFileInfo(folder).isDir()) return causeOfError(ENOENT);
    if (target.exists() && !target.isWritable()) return causeOfError(EACCES);
#endif
    return {};
}

}  // namespace corvane
