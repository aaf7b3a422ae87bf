#include "commandline.h"

#include "commandcore.h"

#include "batch.h"
#include "anyimage.h"
#include "batchpanel.h"
#include "import.h"
#include "library.h"
#include "mainwindow.h"
#include "numedit.h"
#include "prompts.h"
#include "settings.h"
#include "splitjoin.h"
#include "transparency.h"
#include "transparencyeditor.h"
#include "workspace.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QTextStream>

#include <memory>
#include <optional>

namespace corvane {

namespace {

// Questions are answered as scripted (OK unless told), file dialogs with the
// file given on the line, messages go to stderr.  A warning marks the
// command as failed; the run tells it once, in the line naming the command.
// The line never asks about unsaved work: what it was told to save, it saved.
class LinePrompts : public Prompts {
public:
    explicit LinePrompts(QTextStream& err) : err_(err) {}
    std::optional<QString> file;
    bool answer = true;
    QString failure;

    void information(const QString&, const QString& text) override { say(text); }
    void warning(const QString&, const QString& text) override {
        if (failure.isEmpty()) failure = oneLine(text);
        else say(text);
    }
    bool question(const QString&, const QString&) override { return answer; }
    SaveChoice saveQuestion(const QString&, const QString&) override { return SaveChoice::Discard; }
    // Tells a warning that came outside any command, such as the window's own
    // at its start.
    void tellPending() {
        if (failure.isEmpty()) return;
        say(failure);
        failure.clear();
    }
    FileChoice chooseFile(const FileDialog& dialog) override {
        FileChoice choice;
        if (!file) return choice;
        choice.chosen = true;
        choice.path = *file;
        choice.filterIndex = dialog.filterIndex;
        return choice;
    }

private:
    void say(const QString& text) {
        err_ << "corvane: " << oneLine(text) << '\n';
        err_.flush();
    }
    QTextStream& err_;
};

QString depthText(const SetState& state) {
    if (!state.highColour) return QStringLiteral("8-bit");
    if (state.is32) return QStringLiteral("32-bit");
    return state.is4444 ? QStringLiteral("16-bit 4-4-4-4") : QStringLiteral("16-bit 5-6-5");
}

class Runner {
public:
    Runner(MainWindow& form, LinePrompts& prompts, QTextStream& out, QTextStream& err, const QString& workRoot,
           const std::atomic<bool>* stop)
        : form_(form), prompts_(prompts), out_(out), err_(err), workRoot_(workRoot), stop_(stop) {}

    // Returns the failure, or an empty text.
    QString run(const CommandStep& step) {
        prompts_.failure.clear();
        prompts_.file.reset();
        prompts_.answer = true;
        const QString& c = step.command;
        const QString arg = step.arguments.value(0);
        const bool paletteCommand = c == "--load-map" || c == "--save-map" || c == "--set-all-opaque" ||
                                    c == "--colour0-transparent" || c == "--set-level" || c == "--all-to" ||
                                    c == "--gradient-to" || c == "--save-palette" || c == "--view-transparency";
        if (paletteCommand) {
            if (form_.workspace().state().highColour) return QStringLiteral("the set is not an 8-bit set");
            if (!form_.transparencyEditor->isOpen()) form_.editTransparency();
        } else if (form_.transparencyEditor->isOpen()) {
            form_.transparencyEditor->exit();
        }
        TransparencyEditor& editor = *form_.transparencyEditor;

        if (c == "--load-extended" || c == "--load-texture") {
            if (!QFileInfo::exists(arg)) return QStringLiteral("no such file: %1").arg(arg);
            form_.opencfs.filterIndex = c == "--load-extended" ? 1 : 2;
            prompts_.file = arg;
            form_.loadExtended();
        } else if (c == "--load-any") {
            prompts_.file = arg;
            form_.loadAnyImage();
        } else if (c == "--create-image-set") {
            form_.createImageSet();
        } else if (c == "--save") {
            if (const std::vector<int> missing = missingLevels(form_.workspace()); !missing.empty())
                return QStringLiteral("the set lacks its %1 levels; run --create-image-set before --save")
                    .arg(levelNames(missing));
            prompts_.file = arg;
            prompts_.answer = false;  // a texture's set is saved where asked, not over the texture
            form_.saveExtended();
        } else if (c == "--save-texture") {
            if (!form_.workspace().state().textureOrigin)
                return QStringLiteral("the set did not come from a texture file");
            form_.saveExtended();
        } else if (c == "--merge" || c == "--import-std" || c == "--import-cfs") {
            if (!replaceCommandsAvailable(form_.workspace())) return QStringLiteral("needs an 8-bit set of 256");
            prompts_.file = arg;
            if (c == "--merge") form_.mergeImage();
            else if (c == "--import-std") form_.importStd();
            else form_.importCfs();
        } else if (c == "--new16") {
            form_.newSixteenBitSet();
        } else if (c == "--convert-to") {
            if (form_.workspace().state().largest == 0) return QStringLiteral("no set is loaded");
            if (arg == "256") form_.convertTo(ToolMode::EightBit);
            else if (arg == "565") form_.convertTo(ToolMode::Rgb565);
            else if (arg == "4444") form_.convertTo(ToolMode::Argb4444);
            else if (arg == "32") form_.convertTo(ToolMode::Argb32);
            else return QStringLiteral("the depth must be 256, 565, 4444 or 32");
        } else if (c == "--load-map") {
            prompts_.file = arg;
            editor.loadMap();
        } else if (c == "--save-map") {
            prompts_.file = arg;
            editor.saveMap();
        } else if (c == "--set-all-opaque") {
            editor.setAllOpaque();
        } else if (c == "--colour0-transparent") {
            editor.makeColour0Transparent();
        } else if (c == "--set-level") {
            int colour = 0, level = 0;
            const QStringList parts = arg.split('=');
            if (parts.size() != 2 || !parseNumber(parts[0], 0, 255, colour) || !parseNumber(parts[1], 0, 255, level))
                return QStringLiteral("--set-level takes COLOUR=LEVEL, both 0..255");
            editor.selectColour(colour);
            editor.levelEdit->setText(QString::number(level));
        } else if (c == "--all-to") {
            int level = 0;
            if (!parseNumber(arg, 0, 255, level)) return QStringLiteral("the level must be 0..255");
            editor.levelEdit->setText(QString::number(level));
            editor.allToCurrent();
        } else if (c == "--gradient-to") {
            int colour = 0;
            if (!parseNumber(arg, 0, 255, colour)) return QStringLiteral("the colour must be 0..255");
            editor.selectColour(colour);
            editor.gradientToCurrent();
        } else if (c == "--save-palette") {
            editor.savePalette();
            if (form_.palette.paletteChanged) return QStringLiteral("the palette could not be written");
        } else if (c == "--view-transparency") {
            return viewTransparency(step.arguments);
        } else if (c == "--info") {
            info();
        } else if (c == "--batch") {
            return batch(step.arguments);
        }
        return prompts_.failure;
    }

    bool anyFailed = false;

private:
    QString viewTransparency(const QStringList& arguments) {
        TransparencyEditor& editor = *form_.transparencyEditor;
        if (transparencyViewSourceSlot(form_.workspace().state().largest) < 0)
            return QStringLiteral("a set of 1x1 has no transparency view");
        bool current = arguments.size() > 1;
        if (current) {
            int colour = 0;
            if (!parseNumber(arguments[1], 0, 255, colour)) return QStringLiteral("the colour must be 0..255");
            editor.selectColour(colour);
        }
        if (!editor.showTransparencyView(current))
            return prompts_.failure.isEmpty() ? QStringLiteral("the transparency view could not be made")
                                              : prompts_.failure;
        QString why;
        if (!saveTransparencyView(form_.workspace(), arguments[0], &why)) return oneLine(why);
        return {};
    }

    void info() {
        out_ << form_.statusBitmap->text() << '\n'
             << form_.statusMaximum->text() << '\n'
             << form_.statusLoadedAs->text() << '\n'
             << form_.statusDepth->text() << '\n'
             << "Depth: " << depthText(form_.workspace().state()) << '\n'
             << "Largest level: " << form_.workspace().state().largest << '\n';
        out_.flush();
    }

    QString batch(const QStringList& arguments) {
        BatchCall call;
        if (const QString wrong = parseBatch(arguments, call); !wrong.isEmpty()) return wrong;
        call.request.maxImport = form_.maxImportSize;
        call.request.options = form_.setOptions();
        BatchSummary summary;
        if (call.jobs == 1) {
            QuorLibrary library(form_.context());
            summary = runBatch(call.request, form_.workspace(), library, form_.palette, form_.textureTool(),
                               batchReporter(out_, err_), stop_);
        } else {
            summary = runBatchInWorkers(call, ToolSettings{form_.itool.fileName, form_.showToolItem->isChecked()},
                                        workRoot_, out_, err_, stop_);
            // The last converted set becomes the current one, as after a run in the window.
            for (auto it = summary.files.rbegin(); it != summary.files.rend(); ++it) {
                if (!it->converted) continue;
                QuorLibrary library(form_.context());
                corvane::loadExtended(QDir(call.request.destinationFolder).filePath(it->name), BitmapFilter,
                                      form_.workspace(), library, form_.setOptions());
                break;
            }
        }
        form_.reloadViews();
        form_.showStatus();
        return batchOutcome(summary, out_);
    }

    MainWindow& form_;
    LinePrompts& prompts_;
    QTextStream& out_;
    QTextStream& err_;
    QString workRoot_;
    const std::atomic<bool>* stop_;
};

}  // namespace

int runCommandLine(const QStringList& args, QTextStream& out, QTextStream& err) {
    if (const std::optional<int> done = runWithoutWindow(args, out, err)) return *done;
    QStringList overrides;
    const auto steps = parseCommandLine(args, err, overrides);
    // From before the work folder is made until it is gone, so that no
    // interrupt can leave it behind.
    const StopOnInterrupt interrupt;
    RunFolder folder(overrides);
    if (!folder.isValid()) {
        err << "corvane: " << folder.failure() << '\n';
        return ExitFailed;
    }
    QDir(folder.path()).mkpath("slots");

    // These commands need the widgets but no display.
    std::unique_ptr<QApplication> app;
    if (!QApplication::instance()) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
            qputenv("XDG_RUNTIME_DIR", QFile::encodeName(folder.path()));
        app = applicationForRun<QApplication>();
    }
    LinePrompts prompts(err);
    // A view that cannot show its picture says so on stderr, never in a box.
    TAnyImage::setDefaultMessageHook(
        [&prompts](const QString& title, const QString& text) { prompts.information(title, text); });
    int code = ExitOk;
    {
        MainWindow form(folder.settings(), prompts, Workspace::inFolder(QDir(folder.path()).filePath("slots")),
                        SettingsDefaults::forThisSystem());
        prompts.tellPending();
        Runner runner(form, prompts, out, err, folder.path(), interrupt.flag());
        for (const CommandStep& step : *steps) {
            if (interrupt.requested()) {
                err << "corvane: stopped before " << step.command << '\n';
                err.flush();
                code = ExitFailed;
                break;
            }
            const QString failure = runner.run(step);
            if (!failure.isEmpty()) {
                err << "corvane: " << step.command << " failed: " << failure << '\n';
                err.flush();
                code = ExitFailed;
                break;
            }
        }
        if (code == ExitOk && interruptedAtTheEnd(interrupt, err)) code = ExitFailed;
        form.close();
    }
    return code;
}

}  // namespace corvane
