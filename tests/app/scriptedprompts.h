// Prompts that answer from queues and record every call, for the window tests.
#pragma once

#include "prompts.h"

#include <deque>
#include <vector>

namespace corvane::testing {

// Answers from queues and records every call.  An unscripted question gets
// unscriptedAnswer, an unscripted save question unscriptedSaveChoice; an
// unscripted file dialog is cancelled; an unscripted choice takes its default
// button when unscriptedAnswer is true, else its escape button.  A message
// with an icon is recorded as an information, or a warning for Warning and
// Error; a confirmation as a question (from the same answers).
class ScriptedPrompts : public Prompts {
public:
    enum class Kind { Information, Warning, Question, File, SaveQuestion, Choice };
    struct Call {
        Kind kind;
        QString title;
        QString text;
        FileDialog dialog;                   // for Kind::File
        PromptIcon icon = PromptIcon::None;  // as the routine shows it
        QStringList buttons;                 // for Kind::Choice
    };

    std::deque<bool> answers;
    std::deque<FileChoice> files;
    std::deque<SaveChoice> saveChoices;
    std::deque<int> choices;  // button indexes
    bool unscriptedAnswer = false;
    SaveChoice unscriptedSaveChoice = SaveChoice::Discard;
    std::vector<Call> calls;

    void answer(bool ok) { answers.push_back(ok); }
    void answerSave(SaveChoice choice) { saveChoices.push_back(choice); }
    void choose(const QString& path, int filterIndex = 1) { files.push_back({true, path, filterIndex}); }
    void cancelFile() { files.push_back({}); }
    // The dialog's own offer is taken, as Enter takes it; none offered, it is cancelled.
    void acceptOffer() { files.push_back({true, QString(), 1}); }
    void answerChoice(int button) { choices.push_back(button); }

    void information(const QString& title, const QString& text) override;
    void warning(const QString& title, const QString& text) override;
    bool question(const QString& title, const QString& text) override;
    SaveChoice saveQuestion(const QString& title, const QString& text) override;
    FileChoice chooseFile(const FileDialog& dialog) override;
    void message(PromptIcon icon, const QString& title, const QString& text) override;
    bool confirm(PromptIcon icon, const QString& title, const QString& text) override;
    int chooseButton(PromptIcon icon, const QString& title, const QString& text, const QStringList& buttons,
                     int defaultButton = 0, int escapeButton = -1) override;
};

}  // namespace corvane::testing
