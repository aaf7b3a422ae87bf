#include "batch.h"

#include "committer.h"

#include "files.h"
#include "import.h"
#include "palettelevels.h"
#include "pictureheap.h"
#include "presets.h"
#include "splitjoin.h"
#include "workspace.h"

#include "library.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#if defined(__linux__)
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif

namespace corvane {

const char* const kSameFolderQuestion =
    "Source and Destination Directories the same\nThis will Overwrite the Existing Files\nDo you wish to Continue?";

int BatchSummary::convertedCount() const {
    int n = 0;
    for (const BatchFileResult& f : files) n += f.converted ? 1 : 0;
    return n;
}

int BatchSummary::failedCount() const { return int(files.size()) - convertedCount(); }

QString BatchSummary::text() const {
    QString out = QStringLiteral("%1 converted, %2 failed").arg(convertedCount()).arg(failedCount());
    if (stopped) out += QStringLiteral(", stopped before the end");
    QStringList failures;
    for (const BatchFileResult& f : files)
        if (!f.converted) failures << QStringLiteral("%1 (%2)").arg(f.name, f.problem);
    if (!failures.isEmpty()) out += QStringLiteral(": ") + failures.join(QStringLiteral("; "));
    return out;
}

bool sameFolder(const QString& a, const QString& b) {
    const QString ca = QFileInfo(a).canonicalFilePath();
    const QString cb = QFileInfo(b).canonicalFilePath();
    if (!ca.isEmpty() && !cb.isEmpty()) return ca == cb;
    return QDir::cleanPath(QDir(a).absolutePath()) == QDir::cleanPath(QDir(b).absolutePath());
}

namespace {

// A read-only file in the destination is made writable, so that the new one
// can replace it: like removing it first, but the old file survives a failed
// write.  Only a regular file, never through a link: a link is replaced by
// the save itself, and what it points at, perhaps outside the folder, keeps
// its mode.
void letReplace(const QString& path) {
#ifndef _WIN32
    const QByteArray name = QFile::encodeName(path);
    struct stat st {};
    if (::lstat(name.constData(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & S_IWUSR)) return;
    const mode_t mode = (st.st_mode & 07777) | S_IWUSR;
    if (::fchmodat(AT_FDCWD, name.constData(), mode, AT_SYMLINK_NOFOLLOW) == 0) return;
    // Where the system cannot change a path's mode without following it:
    // through a descriptor that refuses a link.
    const int fd = ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) (void)::fchmod(fd, mode);
    ::close(fd);
#else
    const QFileInfo file(path);
    if (file.exists() && !file.isSymLink() && !(file.permissions() & QFileDevice::WriteOwner))
        QFile::setPermissions(path, file.permissions() | QFileDevice::WriteOwner);
#endif
}

}  // namespace

QString destinationName(const QString& name, const BatchRequest& request) {
    if (!request.writeDds) return name;
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    return (dot > 0 ? name.left(dot) : name) + QStringLiteral(".dds");
}

BatchFileResult convertOneFile(const QString& sourcePath, const QString& destinationPath, const BatchRequest& request,
                               Workspace& workspace, ImageLibrary& library, PaletteLevels& palette,
                               const TextureToolRun& runTool, SetHandOff* handOff) {
    BatchFileResult result;
    result.name = QFileInfo(sourcePath).fileName();
    const CommandOutcome loaded = loadAnyImage(sourcePath, workspace, library, request.options, request.maxImport);
    if (!loaded.ok) {
        result.problem = loaded.error;
        return result;
    }
    // Colour 0 is made transparent before the chain is built, so that the
    // smaller levels are made knowing it and keep the background clear.
    if (request.colour0Transparent && !workspace.state().highColour) {
        colour0Transparent(palette.levels);
        const bool changed = palette.paletteChanged;
        savepalette(workspace, palette);
        palette.paletteChanged = changed;  // a batch run is no edit of the user's
    }
    const CommandOutcome made = createImageSet(workspace, library, request.options, runTool);
    if (!made.ok) {
        result.problem = made.error;
        return result;
    }
    letReplace(destinationPath);
    if (request.writeDds) {
        // The save itself reads the file back, or its committer does.
        result.converted = saveDds(workspace, destinationPath, request.ddsFormat, &result.problem, handOff);
        return result;
    }
    const JoinResult written = writeSet(workspace, destinationPath, LevelsNeeded::All, handOff);
    result.converted = written.ok;
    result.problem = written.error;
    // A save handed to a committer is judged there, once it is in place.
    if (written.ok && !(handOff && handOff->handed())) {
        result.problem = savedSetProblem(destinationPath);
        result.converted = result.problem.isEmpty();
    }
    return result;
}

BatchSummary runBatch(const BatchRequest& request, Workspace& workspace, ImageLibrary& library, PaletteLevels& palette,
                      const TextureToolRun& runTool, const BatchObserver& observer, const std::atomic<bool>* stop) {
    BatchSummary summary;
    const int count = int(request.names.size());
    const QDir source(request.sourceFolder);
    const QDir destination(request.destinationFolder);
    for (int i = 0; i < count; ++i) {
        if (stop && stop->load()) {
            summary.stopped = true;
            break;
        }
        const QString& name = request.names[i];
        if (observer.starting) observer.starting(i, count, name);
        // The set before is saved: its slots can go, and the next one is
        // then written straight into empty slots.
        if (!summary.files.empty() && summary.files.back().converted) workspace.clearSlots();
        const BatchFileResult result =
            convertOneFile(source.filePath(name), destination.filePath(destinationName(name, request)), request,
                           workspace, library, palette, runTool);
        summary.files.push_back(result);
        if (observer.finished) observer.finished(i, count, result);
    }
    return summary;
}

namespace {

// Asks the file system to spread the folders made in `folder` over the disk
// rather than keep them beside it.  On ext file systems each folder's files
// then take their inodes from a group of their own, so workers that make and
// remove files all the time do not each search past the other's recently
// removed ones.  Elsewhere it does nothing.
void spreadFoldersWithin(const QString& folder) {
#if defined(__linux__)
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && !(flags & FS_TOPDIR_FL)) {
        flags |= FS_TOPDIR_FL;
        (void)::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    ::close(fd);
#else
    (void)folder;
#endif
}

}  // namespace

BatchSummary runBatchInParallel(const BatchRequest& request, int jobs, const QString& workRoot,
                                const std::function<TextureToolRun(const Workspace&)>& toolFor,
                                const BatchObserver& observer, const std::atomic<bool>* stop) {
    const int count = int(request.names.size());
    std::vector<std::optional<BatchFileResult>> results(static_cast<size_t>(count));
    std::atomic<int> next{0};
    std::mutex mutex;
    int reported = 0;  // results handed to the observer, in list order
    const QDir source(request.sourceFolder);
    const QDir destination(request.destinationFolder);

    // A file's outcome, from its worker or, once its save is on the disk,
    // from the committer.
    const auto settle = [&](int index, BatchFileResult result) {
        std::lock_guard lock(mutex);
        results[size_t(index)] = std::move(result);
        while (reported < count && results[size_t(reported)]) {
            if (observer.finished) observer.finished(reported, count, *results[size_t(reported)]);
            ++reported;
        }
    };
    // The workers go on to their next file while the disk takes the last.
    Committer committer;
    if (jobs > 1) spreadFoldersWithin(workRoot);

    const auto worker = [&](int id) {
        if (id > 0) pictureheap::prepareThisThread();
        const QString folder = QDir(workRoot).filePath(QStringLiteral("worker-%1").arg(id));
        QDir().mkpath(folder);
        Workspace workspace = Workspace::inFolder(folder);
        QuorContext context{};
        QuorLibrary library(context);
        PaletteLevels palette;
        const TextureToolRun tool = toolFor ? toolFor(workspace) : TextureToolRun{};
        for (int i = next++; i < count; i = next++) {
            if (stop && stop->load()) break;
            const QString& name = request.names[i];
            {
                std::lock_guard lock(mutex);
                if (observer.starting) observer.starting(i, count, name);
            }
            const QString target = destination.filePath(destinationName(name, request));
            SetHandOff handOff(committer, target,
                               [&settle, i, shown = QFileInfo(name).fileName()](bool ok, const QString& problem) {
                                   settle(i, BatchFileResult{shown, ok, ok ? QString() : problem});
                               });
            // This worker's workspace holds only sets of this run, saved or failed.
            workspace.clearSlots();
            BatchFileResult result =
                convertOneFile(source.filePath(name), target, request, workspace, library, palette, tool, &handOff);
            if (!handOff.handed()) settle(i, std::move(result));
        }
        workspace.clearSlots();
        QDir(folder).removeRecursively();
    };
    std::vector<std::thread> threads;
    for (int id = 1; id < std::max(1, jobs); ++id) threads.emplace_back(worker, id);
    worker(0);
    for (std::thread& t : threads) t.join();
    committer.finish();

    BatchSummary summary;
    for (auto& r : results) {
        if (!r) {
            summary.stopped = true;
            break;
        }
        summary.files.push_back(std::move(*r));
    }
    return summary;
}

}  // namespace corvane
