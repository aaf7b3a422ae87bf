#include "workfolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifndef _WIN32
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace corvane {

namespace {

QString userName() {
#ifdef _WIN32
    QString name = qEnvironmentVariable("USERNAME");
#else
    QString name;
    if (const passwd* pw = getpwuid(getuid())) name = QString::fromLocal8Bit(pw->pw_name);
    if (name.isEmpty()) name = QString::number(getuid());
#endif
    if (name.isEmpty()) name = "user";
    // Keep the folder name plain whatever the account is called.
    for (QChar& c : name)
        if (!c.isLetterOrNumber() && c != '-' && c != '_' && c != '.') c = '_';
    return name;
}

}  // namespace

QString withSeparator(QString folder) {
    folder = QDir::fromNativeSeparators(folder);
    if (!folder.endsWith('/')) folder += '/';
    return folder;
}

QString systemEnvironment(const char* name) {
    if (!qEnvironmentVariableIsSet(name)) return {};
    return qEnvironmentVariable(name);
}

QString temporaryFolder(const EnvironmentLookup& env) {
    for (const char* name : {"TEMP", "TMP", "TMPDIR"}) {
        const QString value = env(name);
        if (!value.isEmpty()) return withSeparator(value);
    }
    return withSeparator(QDir::tempPath());
}

QString privateWorkFolder(const EnvironmentLookup& env, int instance) {
    return temporaryFolder(env) + "corvane-" + userName() +
           (instance <= 1 ? QString() : QStringLiteral("-%1").arg(instance)) + "/";
}

bool preparePrivateFolder(const QString& folder) {
    QDir().mkpath(folder);
#ifndef _WIN32
    // Without the trailing separator, so lstat sees a planted link as a link.
    QString bare = folder;
    while (bare.size() > 1 && bare.endsWith('/')) bare.chop(1);
    const QByteArray native = QFile::encodeName(bare);
    struct stat st {};
    if (lstat(native.constData(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    if (st.st_uid != getuid()) return false;
    if ((st.st_mode & 0777) != 0700 && chmod(native.constData(), 0700) != 0) return false;
    return true;
#else
    return QFileInfo(folder).isDir();
#endif
}

}  // namespace corvane
