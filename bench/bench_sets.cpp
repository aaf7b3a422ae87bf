// The set commands on full 512 sets, as the window and the command line run
// them: Load Extended followed by Save for every depth, Create Image Set, and
// the batch runner's work on one file and on a folder.
#include "batch.h"
#include "library.h"
#include "palettelevels.h"
#include "photo.h"
#include "quorimg.h"
#include "setcommands.h"
#include "testsets.h"
#include "workspace.h"

#include <benchmark/benchmark.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <fstream>
#include <map>
#include <string>

namespace {

using corvane::BitmapFilter;
using corvane::CommandOutcome;
using corvane::QuorLibrary;
using corvane::SetOptions;
using corvane::Workspace;
using corvane::testing::Form;

constexpr int kEdge = 512;
constexpr int kFolderFiles = 8;  // sources in each batch folder

const char* formName(Form form) {
    switch (form) {
        case Form::Eight:
            return "set8";
        case Form::EightRecord:
            return "set8record";
        case Form::Rgb565:
            return "set565";
        case Form::Argb4444:
            return "set4444";
        case Form::Argb4444Short:
            return "set4444short";
        case Form::Rgb24:
            return "set24";
        case Form::Argb32:
            return "set32";
    }
    return "set";
}

// Every file the benchmarks read, made once in a temporary folder that goes
// away at exit: a 512 set of each depth, photo-like sources of 24 and 8 bits,
// and a full 8-bit set built from the 8-bit photo.
class Files {
public:
    Files() { make(); }

private:
    void make() {
        if (!dir_.isValid()) return fail("cannot make a temporary folder");
        for (Form form : {Form::Eight, Form::EightRecord, Form::Rgb565, Form::Argb4444, Form::Argb32})
            if (!corvane::testing::writeBytes(set(form), corvane::testing::makeSet(form, kEdge)))
                return fail("cannot write the sets");
        QDir(dir_.path()).mkpath("photos24");
        QDir(dir_.path()).mkpath("photos8");
        QDir(dir_.path()).mkpath("out");
        QuorContext ctx{};
        for (int i = 0; i < kFolderFiles; ++i) {
            const std::string ppm = path("photo.ppm").toStdString();
            std::ofstream(ppm, std::ios::binary) << corvane::bench::photoPpm(kEdge, i);
            const std::string p24 = photo(24, i).toStdString(), p8 = photo(8, i).toStdString();
            if (!_anytobmps(ppm.c_str(), p24.c_str(), &ctx, 0, 0) || !_anyto256(p24.c_str(), p8.c_str(), &ctx, 0, 0))
                return fail("the library could not make the photo sources");
        }
        // A full 8-bit set of the first photo, to rebuild the chain of.
        Workspace ws = workspace("make");
        QuorLibrary library(ctx);
        SetOptions options;
        if (!corvane::loadExtended(photo(8, 0), BitmapFilter, ws, library, options).ok ||
            !corvane::createImageSet(ws, library, options, {}).ok || !corvane::saveSet(ws, photoSet8()).ok)
            return fail("cannot build the 8-bit photo set");
        ws = workspace("make16");
        if (!corvane::loadExtended(photo(24, 0), BitmapFilter, ws, library, options).ok ||
            !corvane::createImageSet(ws, library, options, {}).ok || !corvane::saveSet(ws, photoSet16()).ok)
            return fail("cannot build the 16-bit photo set");
    }

public:
    QString path(const QString& name) const { return dir_.filePath(name); }
    QString set(Form form) const { return path(QString::fromLatin1(formName(form)) + ".bmp"); }
    QString photo(int bits, int i) const { return path(QStringLiteral("photos%1/photo%2.bmp").arg(bits).arg(i)); }
    QString photoFolder(int bits) const { return path(QStringLiteral("photos%1").arg(bits)); }
    QString photoSet8() const { return path("photoset8.bmp"); }
    QString photoSet16() const { return path("photoset16.bmp"); }
    // A fresh work folder for one benchmark.
    Workspace workspace(const QString& name) const {
        QDir(dir_.path()).mkpath("work-" + name);
        return Workspace::inFolder(path("work-" + name));
    }
    const std::string& error() const { return error_; }

private:
    void fail(const char* why) { error_ = why; }
    QTemporaryDir dir_{QDir::tempPath() + "/corvane-bench-sets-XXXXXX"};
    std::string error_;
};

const Files& files() {
    static const Files made;
    return made;
}

bool haveFiles(benchmark::State& state) {
    if (files().error().empty()) return true;
    state.SkipWithError(files().error().c_str());
    return false;
}

QByteArray contents(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Load Extended then Save of one 512 set; the first round must give back the
// very bytes it read, or the figure would measure something else.
void loadSave(benchmark::State& state, Form form, bool convertTo24) {
    if (!haveFiles(state)) return;
    const QString source = files().set(form);
    const QString output = files().path(QString::fromLatin1(formName(form)) + ".out.bmp");
    Workspace ws = files().workspace(formName(form) + QString::number(convertTo24));
    QuorContext ctx{};
    QuorLibrary library(ctx);
    SetOptions options;
    options.convertTo24 = convertTo24;
    const auto round = [&]() -> bool {
        const CommandOutcome loaded = corvane::loadExtended(source, BitmapFilter, ws, library, options);
        if (!loaded.ok) {
            state.SkipWithError(("load failed: " + loaded.error.toStdString()).c_str());
            return false;
        }
        const CommandOutcome saved = corvane::saveSet(ws, output);
        if (!saved.ok) {
            state.SkipWithError(("save failed: " + saved.error.toStdString()).c_str());
            return false;
        }
        return true;
    };
    if (!round()) return;
    const QByteArray original = contents(source);
    if (contents(output) != original) {
        state.SkipWithError("load then save changed the file");
        return;
    }
    for (auto _ : state)
        if (!round()) break;
    state.SetBytesProcessed(int64_t(state.iterations()) * original.size() * 2);
}

void BM_LoadSave8(benchmark::State& s) { loadSave(s, Form::Eight, true); }
void BM_LoadSave8Record(benchmark::State& s) { loadSave(s, Form::EightRecord, true); }
// "Convert 16/32 to 24 bit" on (the default) and off.
void BM_LoadSave565(benchmark::State& s) { loadSave(s, Form::Rgb565, true); }
void BM_LoadSave565Raw(benchmark::State& s) { loadSave(s, Form::Rgb565, false); }
void BM_LoadSave4444(benchmark::State& s) { loadSave(s, Form::Argb4444, true); }
void BM_LoadSave32(benchmark::State& s) { loadSave(s, Form::Argb32, true); }

// Create Image Set on a loaded 512 photo set: every level rebuilt from the
// largest, which the command leaves alone, so each round does the same work.
void createSet(benchmark::State& state, const QString& set, bool smooth) {
    if (!haveFiles(state)) return;
    Workspace ws = files().workspace(QStringLiteral("create%1").arg(smooth));
    QuorContext ctx{};
    QuorLibrary library(ctx);
    SetOptions options;
    options.smooth8 = smooth;
    options.lightening = -4;
    options.useImageTool = false;
    if (!corvane::loadExtended(set, BitmapFilter, ws, library, options).ok) {
        state.SkipWithError("cannot load the photo set");
        return;
    }
    for (auto _ : state)
        if (!corvane::createImageSet(ws, library, options, {}).ok) {
            state.SkipWithError("Create Image Set failed");
            break;
        }
}

void BM_CreateImageSet8Smooth(benchmark::State& s) { createSet(s, files().photoSet8(), true); }
void BM_CreateImageSet8Plain(benchmark::State& s) { createSet(s, files().photoSet8(), false); }
void BM_CreateImageSet16(benchmark::State& s) { createSet(s, files().photoSet16(), true); }

corvane::BatchRequest batchRequest(int bits, bool smooth) {
    corvane::BatchRequest request;
    request.sourceFolder = files().photoFolder(bits);
    request.destinationFolder = files().path("out");
    request.maxImport = kEdge;
    request.options.smooth8 = smooth;
    request.options.useImageTool = false;
    for (int i = 0; i < kFolderFiles; ++i) request.names << QStringLiteral("photo%1.bmp").arg(i);
    return request;
}

// One source through the batch runner in this process: import, chain, save.
// The command line adds its start-up and the folder listing to this.
void convertFile(benchmark::State& state, int bits, bool smooth) {
    if (!haveFiles(state)) return;
    const corvane::BatchRequest request = batchRequest(bits, smooth);
    Workspace ws = files().workspace(QStringLiteral("convert%1-%2").arg(bits).arg(smooth));
    QuorContext ctx{};
    QuorLibrary library(ctx);
    corvane::PaletteLevels palette;
    const QString source = files().photo(bits, 0);
    const QString destination = files().path("out/convert.bmp");
    for (auto _ : state) {
        const corvane::BatchFileResult result =
            corvane::convertOneFile(source, destination, request, ws, library, palette, {});
        if (!result.converted()) {
            state.SkipWithError(("conversion failed: " + result.problem().toStdString()).c_str());
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_BatchFile24(benchmark::State& s) { convertFile(s, 24, false); }
void BM_BatchFile8Plain(benchmark::State& s) { convertFile(s, 8, false); }
void BM_BatchFile8Smooth(benchmark::State& s) { convertFile(s, 8, true); }

// A folder of sources through the parallel runner with range(0) workers;
// items per second is files per second.
void batchFolder(benchmark::State& state, int bits, bool smooth) {
    if (!haveFiles(state)) return;
    const corvane::BatchRequest request = batchRequest(bits, smooth);
    const int jobs = int(state.range(0));
    QTemporaryDir root(QDir::tempPath() + "/corvane-bench-batch-XXXXXX");
    for (auto _ : state) {
        const corvane::BatchSummary summary = corvane::runBatchInParallel(request, jobs, root.path(), {});
        if (summary.convertedCount() != kFolderFiles) {
            state.SkipWithError(("batch failed: " + summary.text().toStdString()).c_str());
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kFolderFiles);
}

void BM_BatchFolder24(benchmark::State& s) { batchFolder(s, 24, false); }
void BM_BatchFolder8Plain(benchmark::State& s) { batchFolder(s, 8, false); }
void BM_BatchFolder8Smooth(benchmark::State& s) { batchFolder(s, 8, true); }

#define CORVANE_BENCHMARK(name) BENCHMARK(name)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime()

CORVANE_BENCHMARK(BM_LoadSave8);
CORVANE_BENCHMARK(BM_LoadSave8Record);
CORVANE_BENCHMARK(BM_LoadSave565);
CORVANE_BENCHMARK(BM_LoadSave565Raw);
CORVANE_BENCHMARK(BM_LoadSave4444);
CORVANE_BENCHMARK(BM_LoadSave32);
CORVANE_BENCHMARK(BM_CreateImageSet8Smooth);
CORVANE_BENCHMARK(BM_CreateImageSet8Plain);
CORVANE_BENCHMARK(BM_CreateImageSet16);
CORVANE_BENCHMARK(BM_BatchFile24);
CORVANE_BENCHMARK(BM_BatchFile8Plain);
CORVANE_BENCHMARK(BM_BatchFile8Smooth);
CORVANE_BENCHMARK(BM_BatchFolder24)->Arg(1)->Arg(2);
CORVANE_BENCHMARK(BM_BatchFolder8Plain)->Arg(1)->Arg(2);
CORVANE_BENCHMARK(BM_BatchFolder8Smooth)->Arg(1)->Arg(2);

}  // namespace

BENCHMARK_MAIN();
