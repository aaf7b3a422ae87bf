// The message boxes as the user meets them: which icon, which buttons, and
// the answer the clicked button gives.
#include "prompts.h"

#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>

namespace corvane {
namespace {

struct Seen {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttons;
};

// Waits for the box to come up, notes what it shows, then lets `act` answer it.
void whenBoxShows(Seen& seen, std::function<void(QMessageBox&)> act) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, &seen, act] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible()) return;
        poll->stop();
        poll->deleteLater();
        seen.icon = box->icon();
        for (QAbstractButton* b : box->buttons()) seen.buttons << b->text();
        act(*box);
    });
    poll->start(10);
}

void click(QMessageBox& box, const QString& text) {
    for (QAbstractButton* b : box.buttons())
        if (b->text() == text) {
            b->click();
            return;
        }
    ADD_FAILURE() << "no button " << text.toStdString();
    box.reject();
}

TEST(Prompts, BoxesShowTheIconAskedForAndAnswerByTheButtonClicked) {
    QtPrompts prompts;
    const QStringList buttons{"Overwrite Texture", "Save As New File", "Cancel"};

    Seen seen;
    whenBoxShows(seen, [](QMessageBox& box) { click(box, "Save As New File"); });
    EXPECT_EQ(prompts.chooseButton(PromptIcon::Warning, "Save", "Overwrite the texture?", buttons, 0, 2), 1);
    EXPECT_EQ(seen.icon, QMessageBox::Warning);
    EXPECT_EQ(seen.buttons.size(), 3);
    for (const QString& b : buttons) EXPECT_TRUE(seen.buttons.contains(b)) << b.toStdString();

    Seen escaped;
    whenBoxShows(escaped, [](QMessageBox& box) { QTest::keyClick(&box, Qt::Key_Escape); });
    EXPECT_EQ(prompts.chooseButton(PromptIcon::Question, "Save", "Overwrite?", buttons, 0, 2), 2);
    EXPECT_EQ(escaped.icon, QMessageBox::Question);

    Seen error;
    whenBoxShows(error, [](QMessageBox& box) { box.accept(); });
    prompts.message(PromptIcon::Error, "Import", "This file cannot be imported.");
    EXPECT_EQ(error.icon, QMessageBox::Critical);

    Seen confirm;
    whenBoxShows(confirm, [](QMessageBox& box) { click(box, box.button(QMessageBox::Cancel)->text()); });
    EXPECT_FALSE(prompts.confirm(PromptIcon::Warning, "Update", "Update the palette?"));
    EXPECT_EQ(confirm.icon, QMessageBox::Warning);
}

// A Prompts written before icons and buttons existed still answers them.
class PlainPrompts : public Prompts {
public:
    QStringList said;
    bool ok = true;
    void information(const QString&, const QString& text) override { said << "information: " + text; }
    void warning(const QString&, const QString& text) override { said << "warning: " + text; }
    bool question(const QString&, const QString& text) override {
        said << "question: " + text;
        return ok;
    }
    SaveChoice saveQuestion(const QString&, const QString&) override { return SaveChoice::Cancel; }
    FileChoice chooseFile(const FileDialog&) override { return {}; }
};

TEST(Prompts, PlainPromptsAnswerIconsAndButtonsThroughTheirOwnRoutines) {
    PlainPrompts plain;
    Prompts& prompts = plain;
    prompts.message(PromptIcon::Error, "t", "refused");
    prompts.message(PromptIcon::Information, "t", "changed");
    EXPECT_EQ(prompts.chooseButton(PromptIcon::Warning, "t", "which?", {"A", "B", "C"}, 1, 2), 1);
    plain.ok = false;
    EXPECT_EQ(prompts.chooseButton(PromptIcon::Warning, "t", "which?", {"A", "B", "C"}, 1, 2), 2);
    EXPECT_FALSE(prompts.confirm(PromptIcon::Warning, "t", "sure?"));
    EXPECT_EQ(plain.said, QStringList({"warning: refused", "information: changed", "question: which?",
                                       "question: which?", "question: sure?"}));
}

// A file dialog opens as described (named, on its entry, folder and file) and
// the choice comes back with the entry it was made under.
TEST(Prompts, FileDialogOpensAsDescribedAndReturnsTheChoice) {
    QTemporaryDir dir;
    const QString chosen = dir.filePath("set.mpt");
    QFile file(chosen);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();

    FileDialog d;
    d.objectName = "loadmap";
    d.filter = "Windows Bitmap|*.bmp|Transparency Map|*.mpt";
    d.filterIndex = 2;
    d.initialFolder = dir.path();
    d.fileName = chosen;

    QString name, entry, folder;
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [&, poll] {
        auto* shown = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!shown || !shown->isVisible()) return;
        poll->stop();
        poll->deleteLater();
        name = shown->objectName();
        entry = shown->selectedNameFilter();
        folder = shown->directory().absolutePath();
        QMetaObject::invokeMethod(shown, "accept");
    });
    poll->start(10);

    const FileChoice choice = QtPrompts().chooseFile(d);
    EXPECT_EQ(name, "loadmap");
    EXPECT_EQ(entry, "Transparency Map (*.mpt)");
    EXPECT_EQ(folder, QDir(dir.path()).absolutePath());
    EXPECT_TRUE(choice.chosen);
    EXPECT_EQ(choice.path, chosen);
    EXPECT_EQ(choice.filterIndex, 2);
}

}  // namespace
}  // namespace corvane
