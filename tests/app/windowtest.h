// A main window over a scratch folder, with its secondary windows and
// scripted prompts, for the widget tests.
#pragma once

#include "anyimage.h"
#include "batchpanel.h"
#include "mainwindow.h"
#include "scriptedprompts.h"
#include "secondarywindows.h"
#include "settings.h"
#include "transparencyeditor.h"
#include "windowcontrols.h"
#include "workspace.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QSettings>
#include <QTemporaryDir>

#include <memory>

namespace corvane::testing {

class WindowTest : public ::testing::Test, public WindowControls {
protected:
    // The window goes before the prompts, the store and the windows it refers to.
    ~WindowTest() override { window.reset(); }

    // Message boxes the views would show fail the test instead.
    void SetUp() override {
        AnyImage::setDefaultMessageHook([](const QString& title, const QString& text) {
            ADD_FAILURE() << "message box " << title.toStdString() << ": " << text.toStdString();
        });
        ASSERT_TRUE(QDir(dir.path()).mkpath("work"));
    }
    void TearDown() override { AnyImage::setDefaultMessageHook({}); }

    // A fresh window on the settings in the scratch folder and its "work" slots.
    void openWindow(const QString& editor = "/none") {
        store = SettingsStore::atIniFile(dir.filePath("store.ini"));
        window = std::make_unique<MainWindow>(*store, prompts, Workspace::inFolder(dir.filePath("work")),
                                              SettingsDefaults{dir.path(), editor, "/none"});
        window->setSecondaryWindows(&textWindow, &largeLevelWindow, &transparencyViewWindow, &aboutBox);
    }
    // A setting as the next window reads it; a window closing writes over it.
    void storeValue(const char* name, const QString& text) {
        QSettings(dir.filePath("store.ini"), QSettings::IniFormat).setValue(name, text);
    }

    // Every BMP file of `from` converted into `to` through the batch panel,
    // as "Convert Selected Images" does with them all selected.
    void convertFolder(const QString& from, const QString& to) {
        window->openBatchPanel();
        ASSERT_TRUE(batchPanel()->source->setFolder(from));
        ASSERT_TRUE(batchPanel()->destination->setFolder(to));
        batchPanel()->selectAll();
        batchPanel()->convertButton->click();
    }
    // The texture tool, chosen as Locate ImageTool chooses it.
    void locateImageTool(const QString& path) {
        prompts.choose(path);
        locateToolItem()->trigger();
        prompts.calls.pop_back();
    }
    // The paint program, chosen as Select Editor chooses it.
    void selectEditor(const QString& path) {
        prompts.choose(path);
        selectEditorItem()->trigger();
        prompts.calls.pop_back();
    }

    QTemporaryDir dir;
    ScriptedPrompts prompts;
    TextWindow textWindow;
    LargeLevelWindow largeLevelWindow;
    TransparencyViewWindow transparencyViewWindow;
    AboutBox aboutBox;
    std::unique_ptr<SettingsStore> store;
};

}  // namespace corvane::testing
