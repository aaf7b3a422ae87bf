#include "editorlaunch.h"

#include "workspace.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace corvane {

bool startDetached(const QString& program, const QStringList& arguments) {
    // An argument list, never a shell line, so blanks in paths hold together.
    return QProcess::startDetached(program, arguments);
}

QString locateProgram(const QString& path) {
    if (path.trimmed().isEmpty()) return {};
    const QString native = QDir::fromNativeSeparators(path);
    const qsizetype cut = native.lastIndexOf(u'/');
    if (cut < 0) return QStandardPaths::findExecutable(native);
    // Searching just its own folder also tries the usual program extensions
    // where a system has them.
    const QFileInfo info(native);
    return QStandardPaths::findExecutable(info.fileName(), {info.absolutePath()});
}

int editLevelIndex(int32_t largest) {
    const int slot = slotOfLevel(largest);
    return slot < 0 ? slotOfLevel(4) - 1 : slot - 1;
}

}  // namespace corvane
