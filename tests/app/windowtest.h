// A main window over a scratch folder, with its secondary windows and
// scripted prompts, for the widget tests.
#pragma once

#include "anyimage.h"
#include "batchpanel.h"
#include "secondarywindows.h"
#include "mainwindow.h"
#include "scriptedprompts.h"
#include "settings.h"
#include "transparencyeditor.h"
#include "workspace.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include <memory>

namespace corvane::testing {

class WindowTest : public ::testing::Test {
protected:
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
        form = std::make_unique<MainWindow>(*store, prompts, Workspace::inFolder(dir.filePath("work")),
                                            SettingsDefaults{dir.path(), editor, "/none"});
        form->setSecondaryWindows(&form2, &form3, &form4, &about);
    }

    // Every BMP file of `from` converted into `to` through the batch panel,
    // as "Convert Selected Images" does with them all selected.
    void convertFolder(const QString& from, const QString& to) {
        form->batchFolder = from;
        form->destFolder = to;
        form->openBatchPanel();
        form->batchPanel->selectAll();
        form->convertBatch(false);
    }

    QTemporaryDir dir;
    ScriptedPrompts prompts;
    TextWindow form2;
    LargeLevelWindow form3;
    TransparencyViewWindow form4;
    AboutBox about;
    std::unique_ptr<SettingsStore> store;
    std::unique_ptr<MainWindow> form;
};

}  // namespace corvane::testing
