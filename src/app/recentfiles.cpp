#include "recentfiles.h"

#include "settings.h"

#include <QDir>
#include <QFileInfo>

namespace corvane {

namespace {

QString storeName(int i) { return QStringLiteral("Recent%1").arg(i + 1); }

}  // namespace

QString recentFileKey(const QString& path) {
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(info.absoluteFilePath()) : canonical;
}

RecentFiles::RecentFiles(SettingsStore& store) : store_(store) {
    for (int i = 0; i < kMaxFiles; ++i) {
        const QString path = store_.readText(storeName(i), {});
        if (path.isEmpty()) continue;
        const QString key = recentFileKey(path);
        if (!paths_.contains(key)) paths_.append(key);
    }
}

void RecentFiles::add(const QString& path) {
    if (path.isEmpty()) return;
    const QString key = recentFileKey(path);
    paths_.removeAll(key);
    paths_.prepend(key);
    while (paths_.size() > kMaxFiles) paths_.removeLast();
    write();
}

void RecentFiles::remove(const QString& path) {
    if (paths_.removeAll(recentFileKey(path)) + paths_.removeAll(path) > 0) write();
}

void RecentFiles::clear() {
    paths_.clear();
    write();
}

void RecentFiles::write() {
    // Every name is written, the unused ones empty, so no stale entry survives.
    for (int i = 0; i < kMaxFiles; ++i) store_.writeText(storeName(i), paths_.value(i));
    store_.sync();
}

}  // namespace corvane
