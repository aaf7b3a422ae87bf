// Batch conversion: plain pictures of one folder become Extended Bitmaps of
// the same names in another, each imported, given its chain and saved.
#pragma once

#include "dds.h"
#include "setcommands.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <vector>

namespace corvane {

class ImageLibrary;
class SetHandOff;
class Workspace;
struct PaletteLevels;

struct BatchRequest {
    QString sourceFolder;
    QString destinationFolder;
    QStringList names;  // file names inside the source folder, in list order
    bool colour0Transparent = false;
    int maxImport = 256;
    SetOptions options;
    // A DDS file (name.dds) in place of the Extended Bitmap, in this format.
    bool writeDds = false;
    DdsFormat ddsFormat = DdsFormat::Auto;
};

// The name a source file's result takes in the destination folder.
QString destinationName(const QString& name, const BatchRequest& request);

struct BatchFileResult {
    QString name;
    bool converted = false;
    QString problem;  // why not, when not converted
};

struct BatchSummary {
    std::vector<BatchFileResult> files;
    bool stopped = false;  // the run was stopped before its end
    int convertedCount() const;
    int failedCount() const;
    // "3 converted, 1 failed: a.bmp (why)" and so on.
    QString text() const;
};

// What the driver of a run hears: before each file (index from 0) and after it.
struct BatchObserver {
    std::function<void(int index, int count, const QString& name)> starting;
    std::function<void(int index, int count, const BatchFileResult& result)> finished;
};

// True when both name the same folder, however they are spelled.
bool sameFolder(const QString& a, const QString& b);

extern const char* const kSameFolderQuestion;

// Converts the named files one after another in the workspace; a file that
// cannot be read or written is reported and the run goes on.  A file counts
// as converted once it reads back from the destination as a whole set.  A
// link in the destination is replaced by the new file, never written through.
// `stop` is checked between files.
BatchSummary runBatch(const BatchRequest& request, Workspace& workspace, ImageLibrary& library, PaletteLevels& palette,
                      const TextureToolRun& runTool, const BatchObserver& observer = {},
                      const std::atomic<bool>* stop = nullptr);

// The same with `jobs` workers, each converting in a work folder of its own
// under `workRoot` (an existing, private folder).  Files are written exactly
// as a run with one worker writes them; `finished` hears of them in list
// order.  The caller's workspace is not used.
BatchSummary runBatchInParallel(const BatchRequest& request, int jobs, const QString& workRoot,
                                const std::function<TextureToolRun(const Workspace&)>& toolFor,
                                const BatchObserver& observer = {}, const std::atomic<bool>* stop = nullptr);

// One file of a run: the set is left in the workspace.  A save that
// `handOff` takes is finished by its committer and judged there.
BatchFileResult convertOneFile(const QString& sourcePath, const QString& destinationPath, const BatchRequest& request,
                               Workspace& workspace, ImageLibrary& library, PaletteLevels& palette,
                               const TextureToolRun& runTool, SetHandOff* handOff = nullptr);

}  // namespace corvane
