#include "batch.h"

#include "import.h"
#include "palettelevels.h"
#include "presets.h"
#include "splitjoin.h"
#include "workspace.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

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

BatchFileResult convertOneFile(const QString& sourcePath, const QString& destinationPath, const BatchRequest& request,
                               Workspace& workspace, ImageLibrary& library, PaletteLevels& palette,
                               const TextureToolRun& runTool) {
    BatchFileResult result;
    result.name = QFileInfo(sourcePath).fileName();
    const CommandOutcome loaded = loadAnyImage(sourcePath, workspace, library, request.options, request.maxImport);
    if (!loaded.ok) {
        result.problem = loaded.error;
        return result;
    }
    const CommandOutcome made = createImageSet(workspace, library, request.options, runTool);
    if (!made.ok) {
        result.problem = made.error;
        return result;
    }
    if (request.colour0Transparent && !workspace.state().highColour) {
        colour0Transparent(palette.levels);
        const bool changed = palette.paletteChanged;
        savepalette(workspace, palette);
        palette.paletteChanged = changed;  // a batch run is no edit of the user's
    }
    // Like removing it first, but the old file survives a failed write.
    if (QFileInfo::exists(destinationPath))
        QFile::setPermissions(destinationPath, QFile::permissions(destinationPath) | QFileDevice::WriteOwner);
    const JoinResult written = writeSet(workspace, destinationPath);
    result.converted = written.ok;
    result.problem = written.error;
    return result;
}

BatchSummary runBatch(const BatchRequest& request, Workspace& workspace, ImageLibrary& library,
                      PaletteLevels& palette, const TextureToolRun& runTool, const BatchObserver& observer,
                      const std::atomic<bool>* stop) {
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
        const BatchFileResult result = convertOneFile(source.filePath(name), destination.filePath(name), request,
                                                      workspace, library, palette, runTool);
        summary.files.push_back(result);
        if (observer.finished) observer.finished(i, count, result);
    }
    return summary;
}

}  // namespace corvane
