// Header probe, split and join on arbitrary bytes, twice over:
//  - the split alone (probeHeader, split8 / splitHighColour, writeSet), where
//    a complete set that needs no conversion must come back byte for byte;
//  - Load Extended and Save as the window runs them, with the real image
//    library converting the level files.
#include "fuzz_support.h"
#include "files.h"
#include "library.h"
#include "setcommands.h"
#include "splitjoin.h"
#include "staging.h"
#include "workspace.h"

#include <QDir>
#include <QFile>

#include <fstream>

namespace {

using namespace corvane;

// A 512 set at 32 bits is about 1.4 MB.
constexpr size_t kMaxInput = size_t(2) << 20;

// The real library for what our own codec reads (BMP files, raw textures).
// Every other format has a target of its own; here it would only spend the
// time on ImageMagick that the split and the join should get.
class OwnFormatsLibrary final : public ImageLibrary {
public:
    explicit OwnFormatsLibrary(ImageLibrary& real) : real_(real) {}
    bool anyToBmp(const QString& s, const QString& d) override { return ours(s) && real_.anyToBmp(s, d); }
    bool anyTo256(const QString& s, const QString& d) override { return ours(s) && real_.anyTo256(s, d); }
    bool check(const QString& f, int& w, int& h, int& bits) override { return ours(f) && real_.check(f, w, h, bits); }
    bool resize(const QString& s, const QString& d, int w, int h) override {
        return ours(s) && real_.resize(s, d, w, h);
    }
    bool filter(const QString& s, const QString& d, Filter f) override { return ours(s) && real_.filter(s, d, f); }
    bool adjust(const QString& s, const QString& d, const ColourAdjustment& a) override {
        return ours(s) && real_.adjust(s, d, a);
    }
    bool remap(const QString& s, const QString& d, const QString& p) override {
        return ours(s) && real_.remap(s, d, p);
    }
    bool valid(const QString& f) override { return ours(f) && real_.valid(f); }
    bool resizeFull(const QString& s, const QString& d, int w, int h, bool k, int g) override {
        return ours(s) && real_.resizeFull(s, d, w, h, k, g);
    }
    bool remapUsed(const QString& s, const QString& d, const QString& p) override {
        return ours(s) && real_.remapUsed(s, d, p);
    }
    bool readRgba(const QString& f, int& w, int& h, int& bits, std::vector<uint8_t>& rgba) override {
        return ours(f) && real_.readRgba(f, w, h, bits, rgba);
    }

private:
    static bool ours(const QString& path) {
        if (path.endsWith(QStringLiteral(".r8"))) return true;
        std::ifstream in(QFile::encodeName(path).toStdString(), std::ios::binary);
        char mark[2] = {0, 0};
        return in.read(mark, 2) && mark[0] == 'B' && mark[1] == 'M';
    }
    ImageLibrary& real_;
};

std::vector<uint8_t> readAll(const QString& path) {
    std::vector<uint8_t> bytes;
    readFileBytes(path, bytes);
    return bytes;
}

struct Paths {
    QString input, output, work;
};

const Paths& paths() {
    static const Paths p = [] {
        Paths made;
        const QString dir = QString::fromStdString(fuzz::scratchDir());
        made.input = dir + "/input.bmp";
        made.output = dir + "/saved.bmp";
        made.work = dir + "/work";
        fuzz::require(QDir().mkpath(made.work), "cannot make the work folder");
        return made;
    }();
    return p;
}

void splitAndJoin(const uint8_t* data, size_t size) {
    Workspace workspace = Workspace::inFolder(paths().work);
    SetState& state = workspace.state();
    state.takeHeader(probeHeader(paths().input));
    const HeaderFacts facts = readHeaderFacts(paths().input);
    state.largest = facts.width;
    SlotStaging staging(workspace);
    const SplitReport report = state.depth.highColour() ? splitHighColour(paths().input, workspace, staging)
                                                        : split8(paths().input, workspace, staging);
    fuzz::consume(uint64_t(report.levelsWritten) + uint64_t(report.missingNote().size()));
    if (!report.outcome.ok || !staging.commit(true).ok) return;

    QFile::remove(paths().output);
    const CommandOutcome joined = writeSet(workspace, paths().output);
    if (!joined.ok) return;
    const std::vector<uint8_t> out = readAll(paths().output);
    fuzz::consume(out);

    // Levels still in the file's own form are copied as they are, so a
    // complete set comes back unchanged but for its size field.  24-bit
    // files become 5-6-5 sets and are left out.
    if (!report.missingLevels.empty() || facts.bits == 24) return;
    fuzz::require(out.size() >= 6 && out.size() <= size, "a complete set was joined to another length");
    for (size_t i = 0; i < out.size(); ++i)
        if (i < 2 || i >= 6) fuzz::require(out[i] == data[i], "a complete set changed in split and join");
    fuzz::require(layout::read32(out, layout::kFileSizeAt) == out.size(), "the joined size field is wrong");
}

void loadAndSave(size_t size) {
    Workspace workspace = Workspace::inFolder(paths().work);
    QuorContext context{};
    QuorLibrary quor(context);
    OwnFormatsLibrary library(quor);
    const SetOptions options;
    // A raw texture is only recognised through the texture filter.
    const int filter = size == size_t(kRawTextureSize) ? TextureFilter : BitmapFilter;
    const CommandOutcome loaded = loadExtended(paths().input, filter, workspace, library, options);
    fuzz::consume(uint64_t(loaded.information.size()) + uint64_t(loaded.error.size()));
    if (!loaded.ok && !loaded.refreshViews) return;

    QFile::remove(paths().output);
    const CommandOutcome saved = saveSet(workspace, paths().output);
    if (saved.ok) fuzz::consume(readAll(paths().output));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxInput) return 0;
    fuzz::writeFile(paths().input.toStdString(), data, size);
    splitAndJoin(data, size);
    loadAndSave(size);
    return 0;
}
