#include "scriptedprompts.h"

namespace corvane::testing {

namespace {

bool warns(PromptIcon icon) { return icon == PromptIcon::Warning || icon == PromptIcon::Error; }

}  // namespace

void ScriptedPrompts::information(const QString& title, const QString& text) {
    message(PromptIcon::Information, title, text);
}

void ScriptedPrompts::warning(const QString& title, const QString& text) { message(PromptIcon::Warning, title, text); }

bool ScriptedPrompts::question(const QString& title, const QString& text) {
    return confirm(PromptIcon::Question, title, text);
}

void ScriptedPrompts::message(PromptIcon icon, const QString& title, const QString& text) {
    calls.push_back({warns(icon) ? Kind::Warning : Kind::Information, title, text, {}, icon, {}});
}

bool ScriptedPrompts::confirm(PromptIcon icon, const QString& title, const QString& text) {
    calls.push_back({Kind::Question, title, text, {}, icon, {}});
    if (answers.empty()) return unscriptedAnswer;
    const bool ok = answers.front();
    answers.pop_front();
    return ok;
}

SaveChoice ScriptedPrompts::saveQuestion(const QString& title, const QString& text) {
    calls.push_back({Kind::SaveQuestion, title, text, {}, PromptIcon::Question, {}});
    if (saveChoices.empty()) return unscriptedSaveChoice;
    const SaveChoice choice = saveChoices.front();
    saveChoices.pop_front();
    return choice;
}

int ScriptedPrompts::chooseButton(PromptIcon icon, const QString& title, const QString& text,
                                  const QStringList& buttons, int defaultButton, int escapeButton) {
    calls.push_back({Kind::Choice, title, text, {}, icon, buttons});
    if (choices.empty()) return unscriptedAnswer ? defaultButton : escapeButton;
    const int button = choices.front();
    choices.pop_front();
    return button;
}

FileChoice ScriptedPrompts::chooseFile(const FileDialog& dialog) {
    calls.push_back({Kind::File, {}, {}, dialog, PromptIcon::None, {}});
    if (files.empty()) return {};
    FileChoice choice = files.front();
    files.pop_front();
    if (choice.chosen && choice.path.isEmpty()) {
        // Enter: the file the dialog offers, when it offers one.
        choice.path = dialog.fileName;
        choice.chosen = !dialog.fileName.isEmpty();
        choice.filterIndex = dialog.filterIndex;
    }
    return choice;
}

}  // namespace corvane::testing
