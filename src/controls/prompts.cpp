#include "prompts.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

#include <algorithm>
#include <vector>

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

QMessageBox::Icon boxIcon(PromptIcon icon) {
    switch (icon) {
        case PromptIcon::Information:
            return QMessageBox::Information;
        case PromptIcon::Warning:
            return QMessageBox::Warning;
        case PromptIcon::Error:
            return QMessageBox::Critical;
        case PromptIcon::Question:
            return QMessageBox::Question;
        case PromptIcon::None:
            break;
    }
    return QMessageBox::NoIcon;
}

bool warns(PromptIcon icon) { return icon == PromptIcon::Warning || icon == PromptIcon::Error; }

}  // namespace

void Prompts::message(PromptIcon icon, const QString& title, const QString& text) {
    if (warns(icon)) warning(title, text);
    else information(title, text);
}

bool Prompts::confirm(PromptIcon, const QString& title, const QString& text) { return question(title, text); }

int Prompts::chooseButton(PromptIcon, const QString& title, const QString& text, const QStringList&, int defaultButton,
                          int escapeButton) {
    return question(title, text) ? defaultButton : escapeButton;
}

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

void QtPrompts::message(PromptIcon icon, const QString& title, const QString& text) {
    QMessageBox box(boxIcon(icon), title, text, QMessageBox::Ok, dialogParent());
    box.exec();
}

bool QtPrompts::confirm(PromptIcon icon, const QString& title, const QString& text) {
    QMessageBox box(boxIcon(icon), title, text, QMessageBox::Ok | QMessageBox::Cancel, dialogParent());
    box.setDefaultButton(QMessageBox::Ok);
    return box.exec() == QMessageBox::Ok;
}

int QtPrompts::chooseButton(PromptIcon icon, const QString& title, const QString& text, const QStringList& buttons,
                            int defaultButton, int escapeButton) {
    QMessageBox box(boxIcon(icon), title, text, QMessageBox::NoButton, dialogParent());
    std::vector<QPushButton*> added;
    for (const QString& label : buttons) added.push_back(box.addButton(label, QMessageBox::AcceptRole));
    if (added.empty()) added.push_back(box.addButton(QMessageBox::Ok));
    if (defaultButton >= 0 && defaultButton < int(added.size())) box.setDefaultButton(added[size_t(defaultButton)]);
    if (escapeButton >= 0 && escapeButton < int(added.size())) box.setEscapeButton(added[size_t(escapeButton)]);
    box.exec();
    const auto it = std::find(added.begin(), added.end(), box.clickedButton());
    if (it != added.end()) return int(it - added.begin());
    return escapeButton;
}

FileChoice QtPrompts::chooseFile(const FileDialog& d) {
    QFileDialog dialog(dialogParent());
    dialog.setObjectName(d.objectName);
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

}  // namespace corvane
