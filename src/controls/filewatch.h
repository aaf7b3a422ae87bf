// Tells when a file the user edits elsewhere has been saved, so the views
// can read it again.  Paint programs save in place or by writing a new file
// and renaming it over the old one (the system's watch on the old file ends
// then); both are seen.  A burst of writes makes one signal, a short while
// after the last.
#pragma once

#include <QDateTime>
#include <QFileSystemWatcher>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <QTimer>

namespace corvane {

class FileWatch : public QObject {
    Q_OBJECT
public:
    // How long a file must stay quiet before `changed` is sent.
    static constexpr int kSettleMs = 250;

    explicit FileWatch(QObject* parent = nullptr);

    // Watches these files (absolute or relative paths, as given) and no others.
    // A file that does not exist yet is watched for its appearance.
    void setFiles(const QStringList& paths);
    void addFile(const QString& path);
    void removeFile(const QString& path);
    QStringList files() const { return stamps_.keys(); }

signals:
    // The file was written, or replaced, and now exists.
    void changed(const QString& path);

private:
    struct Stamp {
        bool exists = false;
        qint64 size = -1;
        QDateTime modified, born, metadata;
        bool operator==(const Stamp&) const = default;
    };
    static Stamp stampOf(const QString& path);
    void fileEvent(const QString& path);
    void folderEvent(const QString& folder);
    void settle();
    void watchAgain(const QString& path);
    void updateFolders();

    QFileSystemWatcher watcher_;
    QTimer settle_;
    QHash<QString, Stamp> stamps_;  // as last reported, by path as given
    QSet<QString> touched_;         // told of by the system since the last settle
};

}  // namespace corvane
