#include "files.h"

#include "fileaccess.h"
#include "temporaries.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>

#ifndef _WIN32
#include <unistd.h>
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
    return QStringLiteral("Cannot save %1:\n%2").arg(QFileInfo(path).fileName(), why);
}

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
    quor::temporaries::removeLeftovers(QFile::encodeName(folder).toStdString());
}

// A stage a test makes fail fails as a device error would.
constexpr int kMadeToFail = EIO;

#ifndef _WIN32
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
#endif
}  // namespace

std::unique_ptr<QTemporaryFile> writeReplacement(const QString& path, const std::vector<uint8_t>& bytes,
                                                 QString* error) {
    const QFileInfo target(path);
    const auto fail = [&](const QString& why) {
        if (error) *error = saveProblem(path, why);
        return nullptr;
    };
    // A link is replaced by the new file, never written through, so what it
    // points at has no say.  A file is judged by its permission bits, so a
    // read-only one is kept even for an account that could write it anyway.
    if (!target.isSymLink()) {
        if (target.exists() && !(target.permissions() & QFileDevice::WriteOwner))
            return fail(QStringLiteral("the file is read-only."));
        if (target.isDir()) return fail(QStringLiteral("a folder of that name exists."));
    }

    const QString folder = target.absolutePath();
    sweepNowAndThen(folder);
    const std::string lead = quor::temporaries::leadFor(QFile::encodeName(target.fileName()).toStdString());
    auto temp = std::make_unique<QTemporaryFile>(folder + '/' + QFile::decodeName(lead.c_str()) + "XXXXXX");
    errno = 0;
    const bool madeToFail = failsAt(WriteStage::Create);
    if (madeToFail || !temp->open()) {
        const int cause = madeToFail ? kMadeToFail : errno;
        return fail(QStringLiteral("no file can be made in %1: %2.")
                        .arg(QDir::toNativeSeparators(folder), cause != 0 ? causeOf(cause) : temp->errorString()));
    }
#ifndef _WIN32
    const int writeError = failsAt(WriteStage::Write) ? kMadeToFail : writeAll(temp->handle(), bytes);
    if (writeError != 0) return fail(QStringLiteral("writing failed: %1.").arg(causeOf(writeError)));
#else
    if (failsAt(WriteStage::Write) ||
        temp->write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size())) != qint64(bytes.size()) ||
        !temp->flush())
        return fail(QStringLiteral("writing failed: %1.").arg(temp->errorString()));
#endif
    return temp;
}

bool putReplacementInPlace(QTemporaryFile& temp, const QString& path, QString* error) {
    const QFileInfo target(path);
    const auto fail = [&](const QString& why) {
        if (error) *error = saveProblem(path, why);
        return false;
    };
    int flushError = 0;
#ifndef _WIN32
    if (::fsync(temp.handle()) != 0) flushError = errno;
#endif
    if (failsAt(WriteStage::Flush)) flushError = kMadeToFail;
    if (flushError != 0)
        return fail(QStringLiteral("the data could not be flushed to the disk: %1.").arg(causeOf(flushError)));
    // A replaced file keeps its permissions; a new one gets the usual ones,
    // and so does one that replaces a link: the mode of whatever the link
    // points at is not the new file's business.
    const bool replacesFile = target.exists() && !target.isSymLink();
    temp.setPermissions(replacesFile ? target.permissions()
                                     : QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                                           QFileDevice::ReadOther);
    temp.close();
    // A link in the way is itself replaced; rename never follows it.
    std::error_code code = std::make_error_code(std::errc::io_error);
    if (!failsAt(WriteStage::Rename))
        std::filesystem::rename(std::filesystem::path(QFile::encodeName(temp.fileName()).toStdString()),
                                std::filesystem::path(QFile::encodeName(target.absoluteFilePath()).toStdString()),
                                code);
    if (code) return fail(QStringLiteral("the new file could not take the old one's place: %1.").arg(causeOf(code)));
    temp.setAutoRemove(false);
    return true;
}

bool replaceFileAtomically(const QString& path, const std::vector<uint8_t>& bytes, QString* error) {
    const std::unique_ptr<QTemporaryFile> temp = writeReplacement(path, bytes, error);
    return temp && putReplacementInPlace(*temp, path, error);
}

}  // namespace corvane
