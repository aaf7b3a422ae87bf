// The per-user settings store and the values Corvane keeps in it between runs.
// Read once when the main window is built, written once when it closes.
#pragma once

#include "setcommands.h"

#include <QHash>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>

class QSettings;

namespace corvane {

// Reads and writes named values, every one as a string.  Keeps the names it
// read and wrote, in order, so the order can be checked.
class SettingsStore {
public:
    // The user's own store: organisation "Quor", application "Corvane".
    SettingsStore();
    // Any other store, e.g. a scratch INI file.
    explicit SettingsStore(std::unique_ptr<QSettings> settings);
    static std::unique_ptr<SettingsStore> atIniFile(const QString& path);
    // Values held in memory alone; writes stay there too.
    static std::unique_ptr<SettingsStore> inMemory(QHash<QString, QString> values);
    ~SettingsStore();

    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    // A value that exists is used as stored, even when empty.
    QString readText(const QString& name, const QString& fallback);
    // Missing or not a number gives the fallback; "0x..." is hexadecimal.
    int32_t readInteger(const QString& name, int32_t fallback);
    // 0 is off, any other number on.
    bool readSwitch(const QString& name, bool fallback);

    void writeText(const QString& name, const QString& value);
    void writeInteger(const QString& name, int32_t value);
    void writeSwitch(const QString& name, bool on);

    // Pushes pending writes to the backing store.
    void sync();

    const QStringList& namesRead() const { return read_; }
    const QStringList& namesWritten() const { return written_; }
    // What each name read was read as.
    enum class Kind { Text, Number, Switch };
    const QHash<QString, Kind>& kindsRead() const { return kinds_; }

private:
    SettingsStore(std::nullptr_t, QHash<QString, QString> values);
    bool contains(const QString& name) const;
    QString value(const QString& name) const;

    std::unique_ptr<QSettings> settings_;  // null for a store in memory
    QHash<QString, QString> values_;
    QStringList read_;
    QStringList written_;
    QHash<QString, Kind> kinds_;
};

// The integer rule of the store: decimal text (optionally signed), or more
// than two characters starting "0x"/"0X" read as hexadecimal.
int32_t parseStoredInteger(const QString& text, int32_t fallback);

// Finds a program on the search path: its full path, or empty.
using ProgramLookup = std::function<QString(const QString& name)>;
QString findOnPath(const QString& name);

// The paint program used until the user chooses one: the first of a few
// common ones that is installed, else the desktop's opener.
QString defaultEditor(const ProgramLookup& find = findOnPath);
// The texture tool shipped next to the program.
QString defaultImageTool(const QString& programFolder);

// What a missing setting becomes on this machine.
struct SettingsDefaults {
    QString folder;  // where dialogs start when nothing is stored
    QString editor;
    QString imageTool;

    static SettingsDefaults forThisSystem();
    // The same without the search for a paint program, which a line of
    // batches never opens.
    static SettingsDefaults forBatches();
};

// The maximum import size: 64, 128 and 512 stand, anything else is 256.
int32_t importSizeFromStored(int32_t stored);

// Why a setting given on the command line (--set NAME=VALUE) cannot be
// taken: a name the program keeps no setting under, or a value that setting
// cannot hold (a number where one is wanted, one of its sizes); or nothing.
QString settingRefusal(const QString& name, const QString& value);
// A folder that cannot be opened (empty, deleted, not a folder) gives the fallback.
QString openableFolder(const QString& folder, const QString& fallback);

// Every value kept between runs.
struct Settings {
    QString cfsDir, stdDir, saveDir, mapDir, mergeDir, batchDir, destDir;
    int32_t filter = 1;
    QString editor, imageTool;
    int32_t left = 10, top = 10;
    int32_t left512 = 10, top512 = 10, width512 = 256, height512 = 256;
    bool smooth8bit = true;
    bool keepCoverage = false;
    bool showTransparency = true;
    bool hints = true;
    bool useImageTool = false;
    bool showImageTool = true;
    bool convert24bit = true;
    int32_t lightening = -4;
    int32_t maxImport = 256;
};

// Reads every setting in the start-up order; the batch folders and the
// import size already follow their fallback rules.  "MergeDir" is not read.
Settings readSettings(SettingsStore& store, const SettingsDefaults& defaults);
// The lightening the window works with for a stored value.  Its edit holds
// the value to -100..100 and makes it whole its own way, which moves a
// negative value one toward zero (a stored -4 works as -3).
int32_t lighteningInForce(int32_t stored);
// The options of the set commands, as the window sets them from these settings.
SetOptions setOptionsFrom(const Settings& settings);

// Writes every setting in the closing order.
void writeSettings(SettingsStore& store, const Settings& settings);

}  // namespace corvane
