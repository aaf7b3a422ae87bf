// Everything that asks the user something goes through Prompts, so a test or
// the command line can answer in place of the user.
#pragma once

#include <QString>
#include <QStringList>

namespace corvane {

// One file dialog of a window, kept as data between runs of the dialog.
struct FileDialog {
    enum class Kind { Open, Save };

    QString objectName;  // the shown dialog's, e.g. "opencfs"; tests tell the dialogs apart by it
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

// The icon a message or question shows.
enum class PromptIcon { None, Information, Warning, Error, Question };

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

    // A message with the icon given.  Unless a Prompts knows icons, it is an
    // information, or a warning for Warning and Error.
    virtual void message(PromptIcon icon, const QString& title, const QString& text);
    // OK and Cancel with the icon given; true for OK.  Unless a Prompts
    // knows icons, it is question().
    virtual bool confirm(PromptIcon icon, const QString& title, const QString& text);
    // A question whose buttons say what they do, `buttons` in order; the
    // index of the button chosen.  Escape and the close box choose
    // `escapeButton`, or do nothing when it is -1.  Unless a Prompts knows
    // buttons, question() decides: OK chooses `defaultButton`, Cancel
    // `escapeButton` (which may be -1).
    virtual int chooseButton(PromptIcon icon, const QString& title, const QString& text, const QStringList& buttons,
                             int defaultButton = 0, int escapeButton = -1);
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
    void message(PromptIcon icon, const QString& title, const QString& text) override;
    bool confirm(PromptIcon icon, const QString& title, const QString& text) override;
    int chooseButton(PromptIcon icon, const QString& title, const QString& text, const QStringList& buttons,
                     int defaultButton = 0, int escapeButton = -1) override;
};

}  // namespace corvane
