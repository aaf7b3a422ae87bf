// The recent files as the next start finds them in the store.
#include "recentfiles.h"
#include "settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace corvane {
namespace {

TEST(RecentFiles, EightNewestFirstOnceEachAcrossARestartMissingOnesKeptUntilRemoved) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(QDir(dir.path()).mkdir("sub"));
    QStringList f;  // canonical paths, as the list gives them
    for (int i = 0; i < 10; ++i) {
        const QString path = dir.filePath(QStringLiteral("set%1.bmp").arg(i));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        f << QFileInfo(path).canonicalFilePath();
    }
    const QString link = dir.filePath("link-to-set5.bmp");
    ASSERT_TRUE(QFile::link(f[5], link));
    const QString ini = dir.filePath("store.ini");

    {
        const auto store = SettingsStore::atIniFile(ini);
        RecentFiles recent(*store);
        EXPECT_TRUE(recent.list().isEmpty());
        for (const QString& path : f) recent.add(path);
        recent.add(dir.path() + "/sub/../set3.bmp");  // set3 again, spelt otherwise
        recent.add(link);                             // set5 again, through a link
    }

    const QStringList expected{f[5], f[3], f[9], f[8], f[7], f[6], f[4], f[2]};
    {
        // What the store holds, read without the code under test.
        const QSettings raw(ini, QSettings::IniFormat);
        for (int i = 0; i < 8; ++i)
            EXPECT_EQ(raw.value(QStringLiteral("Recent%1").arg(i + 1)).toString(), expected[i]) << i;
    }

    const auto store = SettingsStore::atIniFile(ini);
    RecentFiles restarted(*store);
    EXPECT_EQ(restarted.list(), expected);

    // A file gone for now stays listed (the window says so when it is
    // chosen) until it is taken off; by any of its spellings.
    ASSERT_TRUE(QFile::remove(f[9]));
    ASSERT_TRUE(QFile::remove(f[2]));
    EXPECT_EQ(restarted.list(), expected);
    restarted.remove(f[9]);
    restarted.remove(dir.path() + "/sub/../set3.bmp");
    const QStringList left{f[5], f[8], f[7], f[6], f[4], f[2]};
    EXPECT_EQ(restarted.list(), left);
    EXPECT_EQ(RecentFiles(*store).list(), left);
}

}  // namespace
}  // namespace corvane
