// The files opened last, newest first, kept in the settings store between
// runs under "Recent1" .. "Recent8".
#pragma once

#include <QString>
#include <QStringList>

namespace corvane {

class SettingsStore;

class RecentFiles {
public:
    static constexpr int kMaxFiles = 8;

    // Reads the list from the store; the store must outlive this object.
    explicit RecentFiles(SettingsStore& store);

    // Puts the file first (once: the same file under another spelling or
    // through a link counts as the same), drops the oldest beyond eight and
    // writes the list to the store.
    void add(const QString& path);
    // The files, newest first, those that are gone for now included: the
    // user is told when choosing one (a folder on a drive not mounted yet
    // may come back).
    const QStringList& list() const { return paths_; }
    // Drops the file from the list and the store.
    void remove(const QString& path);
    void clear();

private:
    void write();

    SettingsStore& store_;
    QStringList paths_;
};

// The one spelling of a file a list keeps: its canonical path when it
// exists, else its cleaned absolute path.
QString recentFileKey(const QString& path);

}  // namespace corvane
