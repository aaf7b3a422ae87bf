// Everything that asks the user something goes through Prompts, so a test or
// the command line can answer in place of the user.
#pragma once

#include <QString>
#include <QStringList>

#include <deque>
#include <vector>

namespace corvane {

// One file dialog of a window, kept as data between runs of the dialog.
struct FileDialog {
    enum class Kind { Open, Save };

    QString name;  // the design name, e.g. "opencfs"
    Kind kind = Kind::Open;
    // "Description|pattern|Description|pattern"; several patterns joined by ';'.
    QString filter;
    QString defaultExtension;  // "bmp", ".bmp" or empty
    QString initialFolder;
    int filterIndex = 1;  // 1-based
    QString fileName;     // the file last chosen
    bool confirmOverwrite = false;

    QStringList qtNameFilters() const;
};

// "Desc|*.a;*.b|All Files|*.*" as Qt name filters: "Desc (*.a *.b)",
// "All Files (*)".  "*.*" becomes "*" so files without a dot are listed too.
QStringList qtNameFilters(const QString& barFilter);

struct FileChoice {
    bool chosen = false;
    QString path;
    int filterIndex = 1;  // 1-based, the filter selected when the user chose
};

// The answers to a question about unsaved work.
enum class SaveChoice { Save, Discard, Cancel };

class Prompts {
public:
    virtual ~Prompts() = default;

    virtual void information(const QString& title, const QString& text) = 0;
    virtual void warning(const QString& title, const QString& text) = 0;
    // OK and Cancel; true for OK.
    virtual bool question(const QString& title, const QString& text) = 0;
    // Save, Discard and Cancel.
    virtual SaveChoice saveQuestion(const QString& title, const QString& text) = 0;
    virtual FileChoice chooseFile(const FileDialog& dialog) = 0;
};

// Message boxes and Qt's own (non-native) file dialogs, which treat filters
// the same on every platform.
class QtPrompts : public Prompts {
public:
    void information(const QString& title, const QString& text) override;
    void warning(const QString& title, const QString& text) override;
    bool question(const QString& title, const QString& text) override;
    SaveChoice saveQuestion(const QString& title, const QString& text) override;
    FileChoice chooseFile(const FileDialog& dialog) override;
};

// Answers from queues and records every call.  An unscripted question gets
// unscriptedAnswer, an unscripted save question unscriptedSaveChoice; an
// unscripted file dialog is cancelled.
class ScriptedPrompts : public Prompts {
public:
    enum class Kind { Information, Warning, Question, File, SaveQuestion };
    struct Call {
        Kind kind;
        QString title;
        QString text;
        FileDialog dialog;  // for Kind::File
    };

    std::deque<bool> answers;
    std::deque<FileChoice> files;
    std::deque<SaveChoice> saveChoices;
    bool unscriptedAnswer = false;
    SaveChoice unscriptedSaveChoice = SaveChoice::Discard;
    std::vector<Call> calls;

    void answer(bool ok) { answers.push_back(ok); }
    void answerSave(SaveChoice choice) { saveChoices.push_back(choice); }
    void choose(const QString& path, int filterIndex = 1) { files.push_back({true, path, filterIndex}); }
    void cancelFile() { files.push_back({}); }

    void information(const QString& title, const QString& text) override;
    void warning(const QString& title, const QString& text) override;
    bool question(const QString& title, const QString& text) override;
    SaveChoice saveQuestion(const QString& title, const QString& text) override;
    FileChoice chooseFile(const FileDialog& dialog) override;
};

}  // namespace corvane
