#include "batch.h"

#include "committer.h"

#include "fileaccess.h"
#include "files.h"
#include "import.h"
#include "layout.h"
#include "palettelevels.h"
#include "pictureheap.h"
#include "presets.h"
#include "splitjoin.h"
#include "workspace.h"

#include "library.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#ifndef _WIN32
#include <dirent.h>
#include <fcntl.h>
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
    for (const BatchFileResult& f : files) n += f.converted() ? 1 : 0;
    return n;
}

int BatchSummary::madeSmallerCount() const {
    int n = 0;
    for (const BatchFileResult& f : files) n += f.converted() && f.madeSmaller ? 1 : 0;
    return n;
}

int BatchSummary::failedCount() const { return int(files.size()) - convertedCount(); }

QString BatchSummary::text() const {
    if (!refusal.isEmpty()) return readableName(refusal.simplified());
    QString out = QStringLiteral("%1 converted, %2 failed").arg(convertedCount()).arg(failedCount());
    if (stopped) out += QStringLiteral(", stopped before the end");
    QStringList failures;
    for (const BatchFileResult& f : files)
        if (!f.converted())
            failures << QStringLiteral("%1 (%2)").arg(readableName(f.name), readableName(f.problem().simplified()));
    if (!failures.isEmpty()) out += QStringLiteral(": ") + failures.join(QStringLiteral("; "));
    return out;
}

bool sameFolder(const QString& a, const QString& b) {
    const QString ra = resolvedFolder(a);
    const QString rb = resolvedFolder(b);
    if (!ra.isEmpty() && !rb.isEmpty()) return ra == rb;
    return absoluteName(a) == absoluteName(b);
}

QStringList bitmapsIn(const QString& folder, QString* problem) {
    QStringList names;
#ifndef _WIN32
    // A folder that cannot be read is no empty folder: a run over it would
    // report nothing done as all done.
    const auto unreadable = [&](int cause) {
        if (problem)
            *problem = QStringLiteral("cannot list the files of %1: %2")
                           .arg(readableName(QDir::toNativeSeparators(folder)), causeOfError(cause));
        return QStringList{};
    };
    DIR* dir = ::opendir(nativeName(folder).constData());
    if (!dir) return unreadable(errno);
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const QString name = nameFromNative(QByteArray(entry->d_name));
        if (name.endsWith(QLatin1String(".bmp"), Qt::CaseInsensitive) &&
            entryKind(QDir(folder).filePath(name)) == EntryKind::File)
            names << name;
        errno = 0;
    }
    const int listing = errno;
    ::closedir(dir);
    if (listing != 0) return unreadable(listing);
#else
    names = QDir(folder).entryList({"*.bmp"}, QDir::Files);
#endif
    // By name, ignoring case, as the window's list shows them.
    std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
        const int c = a.compare(b, Qt::CaseInsensitive);
        return c != 0 ? c < 0 : a < b;
    });
    return names;
}

namespace {

bool hasFolderPart(const QString& name) {
#ifdef _WIN32
    if (name.contains(QLatin1Char('\\')) || name.contains(QLatin1Char(':'))) return true;
#endif
    return name.contains(QLatin1Char('/'));
}

// An output name as the destination tells names apart.
QString outputKey(const QString& name, bool foldCase) { return foldCase ? name.toCaseFolded() : name; }

// "a", "a and b", "a, b and c".
QString listed(const QStringList& names) {
    if (names.size() < 2) return names.join(QString());
    return names.mid(0, names.size() - 1).join(QStringLiteral(", ")) + QStringLiteral(" and ") + names.last();
}

// Why `target` would not land in the destination folder, which resolved to
// `destination` when the run began: checked again, links resolved, for every
// file, so that a folder swapped for a link meanwhile is not written through.
QString outsideDestination(const QString& target, const QString& destination) {
    const QFileInfo file(target);
    const QString name = file.fileName();
    if (!hasFolderPart(name) && name != QLatin1String(".") && name != QLatin1String("..") && !name.isEmpty() &&
        !destination.isEmpty() && resolvedFolder(folderOfName(target)) == destination)
        return {};
    return QStringLiteral("Cannot save %1: it would not land in the destination folder %2.")
        .arg(name, QDir::toNativeSeparators(folderOfName(target)));
}

}  // namespace

QString settleBatchNames(BatchRequest& request) {
    return settleBatchNames(request, folderFoldsCase(request.destinationFolder));
}

QString settleBatchNames(BatchRequest& request, bool foldCase) {
    const QString source = resolvedFolder(request.sourceFolder);
    QStringList names, refused;
    QSet<QString> seen;
    for (const QString& given : std::as_const(request.names)) {
        QString name = given;
        if (hasFolderPart(given)) {
            // A path to a file of the source folder stands for its name.
            const QFileInfo path(given);
            name = path.fileName();
            if (source.isEmpty() || resolvedFolder(folderOfName(given)) != source) name.clear();
        }
        if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")) {
            refused << given;
            continue;
        }
        if (!seen.contains(name)) {
            seen.insert(name);
            names << name;
        }
    }
    if (!refused.isEmpty())
        return QStringLiteral(
                   "%1 %2 of the source folder %3; a batch takes the names of its files. "
                   "Nothing was converted.")
            .arg(listed(refused),
                 refused.size() == 1 ? QStringLiteral("is not a file") : QStringLiteral("are not files"),
                 QDir::toNativeSeparators(request.sourceFolder));

    // Every output its own: two sources written to one file would leave
    // whichever came last, and with workers that is a matter of chance.
    QStringList clashes;
    QHash<QString, QStringList> byOutput;  // sources of each output, in list order
    QStringList outputs;                   // outputs in the order first met
    for (const QString& name : std::as_const(names)) {
        QStringList& sources = byOutput[outputKey(destinationName(name, request), foldCase)];
        if (sources.isEmpty()) outputs << destinationName(name, request);
        sources << name;
    }
    for (const QString& output : std::as_const(outputs)) {
        const QStringList& same = byOutput[outputKey(output, foldCase)];
        if (same.size() > 1)
            clashes << QStringLiteral("%1 would %2 become %3")
                           .arg(listed(same), same.size() == 2 ? QStringLiteral("both") : QStringLiteral("all"),
                                output);
    }
    if (!clashes.isEmpty())
        return QStringLiteral("Two sources would become one file: %1. Nothing was converted.")
            .arg(clashes.join(QStringLiteral("; ")));
    request.names = names;
    return {};
}

QString destinationName(const QString& name, const BatchRequest& request) {
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    const QString stem = dot > 0 ? name.left(dot) : name;
    if (request.writeDds) return stem + QStringLiteral(".dds");
    // A set is a BMP: a picture of another format does not lend the set its
    // name, which would call a BMP a JPEG and, in the source's own folder,
    // put the set in place of the picture it was made from.
    if (name.endsWith(QLatin1String(".bmp"), Qt::CaseInsensitive)) return name;
    return stem + QStringLiteral(".bmp");
}

namespace {

// A note for a set made from a BMP whose pixels end before its picture does:
// the library reads such a file with the rows it lacks black, and the set
// would carry them without a word.  Rows are counted without padding, so a
// file of packed rows is never taken for a short one.
QString cutShortNote(const QString& sourcePath) {
    const std::optional<CutShortRows> rows = cutShortBmpRows(sourcePath);
    if (!rows) return {};
    return QStringLiteral("the file ends after %1 of its %2 rows; the rest were made black")
        .arg(rows->whole)
        .arg(rows->height);
}

void noteCutShort(const QString& sourcePath, CommandOutcome& outcome) {
    if (!outcome.ok) return;
    if (const QString note = cutShortNote(sourcePath); !note.isEmpty()) outcome.information << note;
}

// Whether a picture whose longer side is `longer` is made smaller by the
// run's maximum import size than the largest import size would make it.
bool madeSmallerBy(int maxImport, int longer) {
    return longer > 0 && importSize(longer, longer, maxImport) < importSize(longer, longer, 512);
}

}  // namespace

BatchFileResult convertOneFile(const QString& sourcePath, const QString& destinationPath, const BatchRequest& request,
                               Workspace& workspace, ImageLibrary& library, PaletteLevels& palette,
                               const TextureToolRun& runTool, SetHandOff* handOff) {
    BatchFileResult result{QFileInfo(sourcePath).fileName()};
    int longer = 0;
    result.outcome = loadAnyImage(sourcePath, workspace, library, request.options, request.maxImport, &longer);
    if (!result.outcome.ok) return result;
    result.madeSmaller = madeSmallerBy(request.maxImport, longer);
    // Colour 0 is made transparent before the chain is built, so that the
    // smaller levels are made knowing it and keep the background clear.
    if (request.colour0Transparent && !workspace.state().depth.highColour()) {
        colour0Transparent(palette.levels);
        const bool changed = palette.paletteChanged;
        savepalette(workspace, palette);
        palette.paletteChanged = changed;  // a batch run is no edit of the user's
    }
    result.outcome = createImageSet(workspace, library, request.options, runTool);
    if (!result.outcome.ok) return result;
    // The destination's file is replaced whatever its mode, as the run was told.
    const ReadOnlyFilesReplaced overwrite;
    if (request.writeDds) {
        // The save itself reads the file back, or its committer does.
        const DdsRequest dds{request.ddsFormat, ddsAlphaCut(request.options)};
        result.outcome = saveDds(workspace, destinationPath, dds, handOff);
        noteCutShort(sourcePath, result.outcome);
        return result;
    }
    result.outcome = writeSet(workspace, JoinOutput(destinationPath, handOff));
    // A save handed to a committer is judged there, once it is in place.
    if (result.outcome.ok && !(handOff && handOff->handed()))
        if (const QString problem = savedSetProblem(destinationPath); !problem.isEmpty()) result.outcome.fail(problem);
    noteCutShort(sourcePath, result.outcome);
    return result;
}

namespace {

// One file of a run made into a set in memory, when nobody is to see its
// levels: nothing when the picture must go through the workspace (see
// heldImageSet).  Writes exactly what convertOneFile writes.
std::optional<BatchFileResult> convertHeld(const QString& sourcePath, const QString& destinationPath,
                                           const BatchRequest& request, const SetState& current, ImageLibrary& library,
                                           SetHandOff& handOff) {
    int longer = 0;
    const std::optional<HeldSet> set =
        heldImageSet(sourcePath, current, library, request.options, request.maxImport, &longer);
    if (!set) return std::nullopt;
    BatchFileResult result{QFileInfo(sourcePath).fileName()};
    result.madeSmaller = madeSmallerBy(request.maxImport, longer);
    // The destination's file is replaced whatever its mode, as the run was told.
    const ReadOnlyFilesReplaced overwrite;
    if (request.writeDds) {
        const DdsRequest dds{request.ddsFormat, ddsAlphaCut(request.options)};
        result.outcome = saveDds(*set, destinationPath, dds, &handOff);
        noteCutShort(sourcePath, result.outcome);
        return result;
    }
    result.outcome = writeSet(*set, JoinOutput(destinationPath, &handOff));
    if (result.outcome.ok && !handOff.handed())
        if (const QString problem = savedSetProblem(destinationPath); !problem.isEmpty()) result.outcome.fail(problem);
    noteCutShort(sourcePath, result.outcome);
    return result;
}

// The two halves of a save handed to a committer: the worker's outcome and
// the disk's.  Each returns the whole outcome to the half that comes last.
class HandedFile {
public:
    std::optional<CommandOutcome> worker(CommandOutcome outcome) { return take(worker_, std::move(outcome)); }
    std::optional<CommandOutcome> disk(CommandOutcome outcome) { return take(disk_, std::move(outcome)); }

private:
    std::optional<CommandOutcome> take(std::optional<CommandOutcome>& half, CommandOutcome outcome) {
        std::lock_guard lock(mutex_);
        half = std::move(outcome);
        if (!worker_ || !disk_) return std::nullopt;
        CommandOutcome whole = std::move(*disk_);
        if (!worker_->ok && whole.ok) whole.fail(worker_->error);
        whole.information = worker_->information + whole.information;
        return whole;
    }
    std::mutex mutex_;
    std::optional<CommandOutcome> worker_, disk_;
};

// Where a file's result goes, or why it goes nowhere.
struct Target {
    QString path;
    QString refusal;
};
Target targetOf(const QString& name, const BatchRequest& request, const QString& resolvedDestination) {
    Target target{QDir(request.destinationFolder).filePath(destinationName(name, request)), {}};
    // A destination that is not there refuses every save by itself, naming why.
    if (!resolvedDestination.isEmpty()) target.refusal = outsideDestination(target.path, resolvedDestination);
    return target;
}

// A file that failed once the run was asked to stop failed because of it
// (its texture tool was ended, say): it is not converted, but not failed.
bool stoppedPartWay(const BatchFileResult& result, const std::atomic<bool>* stop) {
    return !result.converted() && stop && stop->load();
}

}  // namespace

BatchSummary runBatch(const BatchRequest& given, Workspace& workspace, ImageLibrary& library, PaletteLevels& palette,
                      const TextureToolRun& runTool, const BatchObserver& observer, const std::atomic<bool>* stop) {
    BatchSummary summary;
    summary.maxImport = given.maxImport;
    BatchRequest request = given;
    summary.refusal = settleBatchNames(request);
    if (!summary.refusal.isEmpty()) return summary;
    const int count = int(request.names.size());
    const QDir source(request.sourceFolder);
    const QString destination = resolvedFolder(request.destinationFolder);
    // Every save of the run goes into this folder, whatever takes its name.
    const HeldFolder held(request.destinationFolder);
    for (int i = 0; i < count; ++i) {
        if (stop && stop->load()) {
            summary.stopped = true;
            break;
        }
        const QString& name = request.names[i];
        if (observer.starting) observer.starting(i, count, name);
        // The set before is saved: its slots can go, and the next one is
        // then written straight into empty slots.
        if (!summary.files.empty() && summary.files.back().converted()) workspace.clearSlots();
        const Target target = targetOf(name, request, destination);
        const BatchFileResult result =
            target.refusal.isEmpty()
                ? convertOneFile(source.filePath(name), target.path, request, workspace, library, palette, runTool)
                : BatchFileResult{name, CommandOutcome::refused(target.refusal)};
        if (stoppedPartWay(result, stop)) {
            summary.stopped = true;
            break;
        }
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
    const int fd = ::open(nativeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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

BatchSummary runBatchInParallel(const BatchRequest& given, int jobs, const QString& workRoot,
                                const std::function<TextureToolRun(const Workspace&)>& toolFor,
                                const BatchObserver& observer, const std::atomic<bool>* stop) {
    BatchSummary summary;
    summary.maxImport = given.maxImport;
    BatchRequest request = given;
    summary.refusal = settleBatchNames(request);
    if (!summary.refusal.isEmpty()) return summary;
    const int count = int(request.names.size());
    std::vector<std::optional<BatchFileResult>> results(static_cast<size_t>(count));
    // Which pictures were made smaller, by their workers: a result the
    // committer settles is made afresh from its outcome.
    std::vector<std::atomic<bool>> madeSmaller(static_cast<size_t>(count));
    std::atomic<int> next{0};
    std::mutex mutex;
    int reported = 0;  // results handed to the observer, in list order
    const QDir source(request.sourceFolder);
    const QString destination = resolvedFolder(request.destinationFolder);
    // Every save of the run goes into this folder, whatever takes its name.
    const HeldFolder held(request.destinationFolder);

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
    // The workers go on to their next file while the disk takes the last;
    // each has a committer of its own, so that flushes go on side by side.
    const int workers = std::max(1, jobs);
    std::vector<std::unique_ptr<Committer>> committers;
    for (int id = 0; id < workers; ++id) committers.push_back(std::make_unique<Committer>());
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
        bool slotsUsed = false;  // a file went through the workspace's slots
        for (int i = next++; i < count; i = next++) {
            if (stop && stop->load()) break;
            const QString& name = request.names[i];
            {
                std::lock_guard lock(mutex);
                if (observer.starting) observer.starting(i, count, name);
            }
            const Target target = targetOf(name, request, destination);
            if (!target.refusal.isEmpty()) {
                settle(i, BatchFileResult{name, CommandOutcome::refused(target.refusal)});
                continue;
            }
            // A save handed on is settled by whichever comes last: the
            // committer with the disk's word, or this worker with what the
            // save had to tell (the one-bit alpha line of a BC1 texture).
            const auto handed = std::make_shared<HandedFile>();
            SetHandOff handOff(
                *committers[size_t(id)], target.path, [&settle, i, name, handed](bool ok, const QString& problem) {
                    if (auto outcome = handed->disk(ok ? CommandOutcome{} : CommandOutcome::refused(problem)))
                        settle(i, BatchFileResult{name, std::move(*outcome)});
                });
            std::optional<BatchFileResult> held =
                convertHeld(source.filePath(name), target.path, request, workspace.state(), library, handOff);
            if (!held) {
                // This worker's workspace holds only sets of this run, saved or failed.
                if (slotsUsed) workspace.clearSlots();
                slotsUsed = true;
                held = convertOneFile(source.filePath(name), target.path, request, workspace, library, palette, tool,
                                      &handOff);
            }
            BatchFileResult result = std::move(*held);
            madeSmaller[size_t(i)] = result.madeSmaller;
            if (handOff.handed()) {
                if (auto outcome = handed->worker(std::move(result.outcome)))
                    settle(i, BatchFileResult{name, std::move(*outcome)});
            } else if (!stoppedPartWay(result, stop)) {
                // A file stopped part way is left unsettled, as one never begun.
                settle(i, std::move(result));
            }
        }
        workspace.clearSlots();
        QDir(folder).removeRecursively();
    };
    std::vector<std::thread> threads;
    for (int id = 1; id < workers; ++id) threads.emplace_back(worker, id);
    worker(0);
    for (std::thread& t : threads) t.join();
    for (const std::unique_ptr<Committer>& committer : committers) committer->finish();

    // A stopped run leaves gaps: what was done after one is told all the same.
    for (int i = 0; i < count; ++i) {
        if (!results[size_t(i)]) {
            summary.stopped = true;
            continue;
        }
        if (i >= reported && observer.finished) observer.finished(i, count, *results[size_t(i)]);
        summary.files.push_back(std::move(*results[size_t(i)]));
        summary.files.back().madeSmaller = madeSmaller[size_t(i)];
    }
    return summary;
}

}  // namespace corvane
