#include "application.h"
#include "commandline.h"
#include "mainwindow.h"
#include "scriptedprompts.h"

#include <QElapsedTimer>
#include <QTextStream>
#include <QTimer>

#include <gtest/gtest.h>

#include <stdexcept>

using namespace corvane;
using namespace corvane::testing;

namespace {

const char* const kDescriptions[] = {"All Pictures", "Windows Bitmap", "Portable Network Graphics"};
const char* const kExtensions[] = {"", "BMP", "PNG"};
const char* const kPatterns[] = {"*.bmp;*.png", "*.bmp", "*.png"};

}  // namespace

TEST(PictureFilter, ListsTheCombinedEntryThenEachFormatThenAllFiles) {
    const PictureFormatTable table{
        [] { return int32_t(2); },
        [](int32_t n) { return kDescriptions[n]; },
        [](int32_t n) { return kExtensions[n]; },
        [](int32_t n) { return kPatterns[n]; },
    };
    EXPECT_EQ(pictureFilter(table),
              "All Pictures|*.bmp;*.png|Windows Bitmap (BMP)|*.bmp|Portable Network Graphics (PNG)|*.png|"
              "All Files|*.*");
}

TEST(FileDialogFilters, BecomeQtNameFilters) {
    EXPECT_EQ(qtNameFilters("All Pictures|*.bmp;*.png|AF99 Texture File|*.?af|All Files|*.*"),
              QStringList({"All Pictures (*.bmp *.png)", "AF99 Texture File (*.?af)", "All Files (*)"}));
    EXPECT_EQ(qtNameFilters("Windows Bitmap (BMP)|*.bmp"), QStringList({"Windows Bitmap (BMP) (*.bmp)"}));
    EXPECT_TRUE(qtNameFilters("").isEmpty());
    EXPECT_EQ(qtNameFilters("Maps|*.mpt|dangling").size(), 1);
}

TEST(ScriptedPrompts, AnswerFromTheQueueAndRecordEveryCall) {
    ScriptedPrompts p;
    p.answer(true);
    p.choose("/x/a.bmp", 3);
    EXPECT_TRUE(p.question("Corvane", "Overwrite?"));
    EXPECT_FALSE(p.question("Corvane", "Again?"));  // unscripted: Cancel
    FileDialog d;
    d.objectName = "savebmp";
    const FileChoice c = p.chooseFile(d);
    EXPECT_TRUE(c.chosen);
    EXPECT_EQ(c.path, "/x/a.bmp");
    EXPECT_EQ(c.filterIndex, 3);
    EXPECT_FALSE(p.chooseFile(d).chosen);
    p.warning("CORVANE", "careful");
    ASSERT_EQ(p.calls.size(), 5u);
    EXPECT_EQ(p.calls[1].text, "Again?");
    EXPECT_EQ(p.calls[2].dialog.objectName, "savebmp");
    EXPECT_EQ(p.calls[4].kind, ScriptedPrompts::Kind::Warning);
    EXPECT_EQ(p.calls[4].title, "CORVANE");
}

TEST(Application, AnErrorEscapingACommandIsShownAndTheLoopGoesOn) {
    auto* app = static_cast<Application*>(qApp);
    QStringList reported;
    app->setErrorReporter([&](const QString& message) { reported << message; });
    bool later = false;
    QTimer::singleShot(0, [] { throw std::runtime_error("disk on fire"); });
    QTimer::singleShot(5, [&] { later = true; });
    QElapsedTimer clock;
    clock.start();
    while (!later && clock.elapsed() < 5000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    app->setErrorReporter([](const QString& m) { ADD_FAILURE() << "error box: " << m.toStdString(); });
    EXPECT_TRUE(later);
    EXPECT_EQ(reported, QStringList({"disk on fire"}));
}

TEST(CommandLine, HelpAndUsageErrors) {
    QString out, err;
    QTextStream o(&out), e(&err);
    EXPECT_EQ(runCommandLine({"--help"}, o, e), ExitOk);
    EXPECT_TRUE(out.contains("--help"));
    EXPECT_TRUE(err.isEmpty());
    out.clear();
    EXPECT_EQ(runCommandLine({"--frobnicate", "--help"}, o, e), ExitUsage);
    EXPECT_TRUE(err.contains("--frobnicate"));
    EXPECT_TRUE(out.isEmpty());
}
