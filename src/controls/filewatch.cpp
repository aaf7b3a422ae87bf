#include "filewatch.h"

#include <QFileInfo>

#include <utility>

namespace corvane {

FileWatch::FileWatch(QObject* parent) : QObject(parent) {
    settle_.setSingleShot(true);
    settle_.setInterval(kSettleMs);
    connect(&settle_, &QTimer::timeout, this, &FileWatch::settle);
    connect(&watcher_, &QFileSystemWatcher::fileChanged, this, &FileWatch::fileEvent);
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, &FileWatch::folderEvent);
}

FileWatch::Stamp FileWatch::stampOf(const QString& path) {
    const QFileInfo info(path);
    Stamp stamp;
    if (!info.exists()) return stamp;
    stamp.exists = true;
    stamp.size = info.size();
    stamp.modified = info.lastModified();
    stamp.born = info.birthTime();  // a file renamed into place is a new one
    stamp.metadata = info.metadataChangeTime();
    return stamp;
}

void FileWatch::setFiles(const QStringList& paths) {
    for (const QString& path : files())
        if (!paths.contains(path)) removeFile(path);
    for (const QString& path : paths) addFile(path);
}

void FileWatch::addFile(const QString& path) {
    if (path.isEmpty() || stamps_.contains(path)) return;
    stamps_.insert(path, stampOf(path));
    watchAgain(path);
    updateFolders();
}

void FileWatch::removeFile(const QString& path) {
    if (!stamps_.remove(path)) return;
    touched_.remove(path);
    if (watcher_.files().contains(path)) watcher_.removePath(path);
    updateFolders();
}

void FileWatch::watchAgain(const QString& path) {
    if (QFileInfo::exists(path) && !watcher_.files().contains(path)) watcher_.addPath(path);
}

// The folders are watched too: a rename over a file, or a file made again,
// shows only there.
void FileWatch::updateFolders() {
    QSet<QString> wanted;
    for (auto it = stamps_.cbegin(); it != stamps_.cend(); ++it) wanted.insert(QFileInfo(it.key()).absolutePath());
    for (const QString& folder : watcher_.directories())
        if (!wanted.contains(folder)) watcher_.removePath(folder);
    for (const QString& folder : wanted)
        if (!watcher_.directories().contains(folder) && QFileInfo(folder).isDir()) watcher_.addPath(folder);
}

void FileWatch::fileEvent(const QString& path) {
    if (!stamps_.contains(path)) return;
    touched_.insert(path);
    watchAgain(path);  // the watch on a replaced file has ended
    settle_.start();
}

void FileWatch::folderEvent(const QString& folder) {
    bool any = false;
    for (auto it = stamps_.cbegin(); it != stamps_.cend(); ++it)
        if (QFileInfo(it.key()).absolutePath() == folder && stampOf(it.key()) != it.value()) {
            touched_.insert(it.key());
            any = true;
        }
    if (any) settle_.start();
}

void FileWatch::settle() {
    const QSet<QString> touched = std::exchange(touched_, {});
    for (const QString& path : touched) {
        auto it = stamps_.find(path);
        if (it == stamps_.end()) continue;
        const Stamp now = stampOf(path);
        it.value() = now;
        // A file gone for now is told of when it is back (its folder sees it).
        if (!now.exists) continue;
        watchAgain(path);
        emit changed(path);
    }
}

}  // namespace corvane
