#include "prompts.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>

namespace corvane {

QStringList FileDialog::qtNameFilters() const { return corvane::qtNameFilters(filter); }

QStringList qtNameFilters(const QString& barFilter) {
    QStringList result;
    const QStringList parts = barFilter.split('|');
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QStringList patterns = parts[i + 1].split(';', Qt::SkipEmptyParts);
        for (QString& p : patterns) {
            p = p.trimmed();
            if (p == QLatin1String("*.*")) p = QStringLiteral("*");
        }
        result.append(parts[i] + " (" + patterns.join(' ') + ")");
    }
    return result;
}

namespace {

QWidget* dialogParent() { return QApplication::activeWindow(); }

}  // namespace

void QtPrompts::information(const QString& title, const QString& text) {
    QMessageBox::information(dialogParent(), title, text);
}

void QtPrompts::warning(const QString& title, const QString& text) {
    QMessageBox::warning(dialogParent(), title, text);
}

bool QtPrompts::question(const QString& title, const QString& text) {
    return QMessageBox::question(dialogParent(), title, text, QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Ok) ==
           QMessageBox::Ok;
}

SaveChoice QtPrompts::saveQuestion(const QString& title, const QString& text) {
    switch (QMessageBox::question(dialogParent(), title, text,
                                  QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, QMessageBox::Save)) {
        case QMessageBox::Save:
            return SaveChoice::Save;
        case QMessageBox::Discard:
            return SaveChoice::Discard;
        default:
            return SaveChoice::Cancel;  // Escape and the window's close button too
    }
}

FileChoice QtPrompts::chooseFile(const FileDialog& d) {
    QFileDialog dialog(dialogParent());
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    const bool save = d.kind == FileDialog::Kind::Save;
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, !d.confirmOverwrite);
    const QStringList filters = d.qtNameFilters();
    if (!filters.isEmpty()) {
        dialog.setNameFilters(filters);
        dialog.selectNameFilter(filters[qBound(0, d.filterIndex - 1, int(filters.size()) - 1)]);
    }
    if (!d.defaultExtension.isEmpty()) dialog.setDefaultSuffix(d.defaultExtension);
    if (!d.initialFolder.isEmpty()) dialog.setDirectory(d.initialFolder);
    if (!d.fileName.isEmpty()) dialog.selectFile(d.fileName);

    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    FileChoice choice;
    choice.chosen = true;
    choice.path = dialog.selectedFiles().first();
    choice.filterIndex = filters.isEmpty() ? d.filterIndex : int(filters.indexOf(dialog.selectedNameFilter())) + 1;
    if (choice.filterIndex < 1) choice.filterIndex = d.filterIndex;
    return choice;
}

void ScriptedPrompts::information(const QString& title, const QString& text) {
    calls.push_back({Kind::Information, title, text, {}});
}

void ScriptedPrompts::warning(const QString& title, const QString& text) {
    calls.push_back({Kind::Warning, title, text, {}});
}

bool ScriptedPrompts::question(const QString& title, const QString& text) {
    calls.push_back({Kind::Question, title, text, {}});
    if (answers.empty()) return unscriptedAnswer;
    const bool ok = answers.front();
    answers.pop_front();
    return ok;
}

SaveChoice ScriptedPrompts::saveQuestion(const QString& title, const QString& text) {
    calls.push_back({Kind::SaveQuestion, title, text, {}});
    if (saveChoices.empty()) return unscriptedSaveChoice;
    const SaveChoice choice = saveChoices.front();
    saveChoices.pop_front();
    return choice;
}

FileChoice ScriptedPrompts::chooseFile(const FileDialog& dialog) {
    calls.push_back({Kind::File, {}, {}, dialog});
    if (files.empty()) return {};
    FileChoice choice = files.front();
    files.pop_front();
    return choice;
}

}  // namespace corvane
