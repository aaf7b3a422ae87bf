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

// The name a source file's result takes in the destination folder: a BMP's
// own, any other picture's with .bmp in place of its extension, and with
// .dds for a run that writes textures.
QString destinationName(const QString& name, const BatchRequest& request);

// One file's outcome: ok once its output is in place and whole, else the
// reason it is not.
struct BatchFileResult {
    QString name;
    CommandOutcome outcome = CommandOutcome::refused({});
    bool converted() const { return outcome.ok; }
    const QString& problem() const { return outcome.error; }
    // What the user should know of a file converted (BC1's one-bit alpha).
    QString note() const { return outcome.information.join(QLatin1Char('\n')); }
    // The picture was larger than the run's maximum import size, and was
    // made that size, smaller than it would otherwise have been.
    bool madeSmaller = false;
};

struct BatchSummary {
    std::vector<BatchFileResult> files;
    bool stopped = false;  // the run was stopped before its end
    QString refusal;       // why the run did not start: nothing was written
    int maxImport = 256;   // the run's maximum import size
    int convertedCount() const;
    // Files converted at the maximum import size, smaller than their pictures.
    int madeSmallerCount() const;
    int failedCount() const;
    // "3 converted, 1 failed: a.bmp (why)" and so on, on one line; the
    // refusal when the run did not start.
    QString text() const;
    // Every file converted, and the run neither refused nor stopped.
    bool complete() const { return refusal.isEmpty() && !stopped && failedCount() == 0; }
};

// What the driver of a run hears: before each file (index from 0) and after it.
struct BatchObserver {
    std::function<void(int index, int count, const QString& name)> starting;
    std::function<void(int index, int count, const BatchFileResult& result)> finished;
};

// True when both name the same folder, however they are spelled.
bool sameFolder(const QString& a, const QString& b);

// The bitmaps (*.bmp, in any case) of a folder, by name, whatever bytes the
// file system holds for them; none, with why in `problem`, when the folder
// cannot be listed.
QStringList bitmapsIn(const QString& folder, QString* problem = nullptr);

// Makes the request's names names of files of the source folder, and checks
// that each source has an output of its own.  A name with a folder part is
// taken when its folder is the source folder (the shell's "src/*.bmp") and
// refused otherwise; a name listed twice is converted once.  Returns why the
// run cannot start, naming every file concerned, or an empty text.  Both
// runners call it before they write anything.  Outputs are told apart as
// the destination's file system tells names apart (see folderFoldsCase), or
// ignoring case or not as `foldCase` says.
QString settleBatchNames(BatchRequest& request);
QString settleBatchNames(BatchRequest& request, bool foldCase);

extern const char* const kSameFolderQuestion;

// Converts the named files one after another in the workspace; a file that
// cannot be read or written is reported and the run goes on.  A file counts
// as converted once it reads back from the destination as a whole set.  A
// link in the destination is replaced by the new file, never written through,
// and so is a file with other names, which keep what they held; a read-only
// file is replaced too, and anything but a file is left alone.  No output
// lands outside the destination folder, links resolved.  `stop` is checked
// between files; a file that fails once it is set counts as stopped, not
// failed (the texture tool, say, was ended with the run).
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
