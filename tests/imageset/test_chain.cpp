// Create Image Set either rebuilds the whole chain or, when any step fails,
// leaves the set exactly as it was and says why.
#include "testsets.h"

#include "setcommands.h"
#include "splitjoin.h"

#include <gtest/gtest.h>

#include <QDirIterator>

#include <cerrno>
#include <map>

using namespace corvane;
using namespace corvane::testing;

namespace {

// The real library, but the call numbered `failAt` (from 0) fails without
// touching anything, for the reason `failure`; -1 lets every call through.
class FailingLibrary : public ImageLibrary {
public:
    explicit FailingLibrary(ImageLibrary& real) : real_(real) {}
    int failAt = -1;
    int calls = 0;
    LibraryError failure{QUOR_ERROR_INTERNAL, 0, QStringLiteral("made to fail")};
    bool anyToBmp(const QString& s, const QString& d) override { return pass() && real_.anyToBmp(s, d); }
    bool anyTo256(const QString& s, const QString& d) override { return pass() && real_.anyTo256(s, d); }
    bool check(const QString& f, int& w, int& h, int& b) override { return real_.check(f, w, h, b); }
    bool resize(const QString& s, const QString& d, int w, int h) override {
        return pass() && real_.resize(s, d, w, h);
    }
    bool filter(const QString& s, const QString& d, Filter f) override { return pass() && real_.filter(s, d, f); }
    bool adjust(const QString& s, const QString& d, const ColourAdjustment& a) override {
        return pass() && real_.adjust(s, d, a);
    }
    bool remap(const QString& s, const QString& d, const QString& p) override { return pass() && real_.remap(s, d, p); }
    bool valid(const QString& f) override { return real_.valid(f); }
    bool resizeFull(const QString& s, const QString& d, int w, int h, bool k, int g) override {
        return pass() && real_.resizeFull(s, d, w, h, k, g);
    }
    bool remapUsed(const QString& s, const QString& d, const QString& p) override {
        return pass() && real_.remapUsed(s, d, p);
    }
    bool readRgba(const QString& f, int& w, int& h, int& b, std::vector<uint8_t>& rgba) override {
        return pass() && real_.readRgba(f, w, h, b, rgba);
    }
    LibraryError lastError() override { return failed_ ? failure : real_.lastError(); }

private:
    bool pass() {
        failed_ = calls++ == failAt;
        return !failed_;
    }
    bool failed_ = false;
    ImageLibrary& real_;
};

// Every file of the work folder with its bytes.
std::map<QString, Bytes> folderContents(const QString& folder) {
    std::map<QString, Bytes> files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!path.endsWith(".lock")) files[QFileInfo(path).fileName()] = readBytes(path);
    }
    return files;
}

}  // namespace

TEST(CreateImageSet, TextureToolModeFollowsTheDepth) {
    struct Case {
        SetDepth depth;
        int mode;
    };
    for (const Case& c : {Case{SetDepth::Palette8, 8}, Case{SetDepth::Rgb565, 2}, Case{SetDepth::Argb32, 7},
                          Case{SetDepth::Argb4444, 5}}) {
        Scratch s;
        s.workspace.state().depth = c.depth;
        EXPECT_EQ(int(textureToolMode(s.workspace)), c.mode);
    }
}

TEST(CreateImageSet, AFailedStepLeavesTheSetAsItWas) {
    for (Form form : {Form::Eight, Form::Argb4444, Form::Argb32}) {
        Scratch s;
        QuorContext context{};
        QuorLibrary real(context);
        FailingLibrary library(real);
        SetOptions options;
        const QString in = s.path("in.bmp");
        writeBytes(in, makeSet(form, 32));
        ASSERT_TRUE(loadExtended(in, BitmapFilter, s.workspace, library, options).ok);
        const std::map<QString, Bytes> before = folderContents(s.workspace.workDir());
        const SetState stateBefore = s.workspace.state();

        // A run that goes through counts the calls; then each of them fails in turn.
        library.calls = 0;
        ASSERT_TRUE(createImageSet(s.workspace, library, options, {}).ok);
        const int steps = library.calls;
        ASSERT_GT(steps, 5);
        const std::map<QString, Bytes> after = folderContents(s.workspace.workDir());
        // The message ends with the reason the library gave: the system's
        // words for its error number, else the library's own.
        const struct {
            LibraryError failure;
            QString said;
        } reasons[] = {
            {{QUOR_ERROR_WRITE, ENOSPC, "cannot write x.bmp: No space left on device"},
             ": no space left on the device."},
            {{QUOR_ERROR_LIMIT, 0, "it is 9000 x 100 pixels"}, ": it is 9000 x 100 pixels."},
            {{QUOR_ERROR_FORMAT, 0, "the file ends inside its header"}, ": the file ends inside its header."},
        };
        for (int failAt = 0; failAt < steps; ++failAt) {
            const auto& reason = reasons[size_t(failAt) % std::size(reasons)];
            library.failure = reason.failure;
            // Back to the set as loaded.
            for (const auto& [name, bytes] : before) writeBytes(s.workspace.workDir() + name, bytes);
            for (const auto& [name, bytes] : after)
                if (!before.count(name)) QFile::remove(s.workspace.workDir() + name);
            s.workspace.state() = stateBefore;
            library.calls = 0;
            library.failAt = failAt;
            const CommandOutcome o = createImageSet(s.workspace, library, options, {});
            library.failAt = -1;
            EXPECT_FALSE(o.ok) << "step " << failAt;
            EXPECT_TRUE(o.error.endsWith(reason.said)) << o.error.toStdString();
            EXPECT_FALSE(o.refreshViews);
            EXPECT_TRUE(folderContents(s.workspace.workDir()) == before)
                << "step " << failAt << " of " << steps << " changed the work folder";
            EXPECT_EQ(s.workspace.state().largest, stateBefore.largest);
        }
    }
}

TEST(CreateImageSet, NothingLoadedIsRefused) {
    Scratch s;
    RecordingLibrary library;
    const CommandOutcome o = createImageSet(s.workspace, library, SetOptions{}, {});
    EXPECT_FALSE(o.ok);
    EXPECT_TRUE(library.calls.empty());
}
