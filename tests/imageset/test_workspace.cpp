#include "workspace.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#ifndef _WIN32
#include <sys/stat.h>
#endif

using namespace corvane;

namespace {

// An environment holding only the given variables.
EnvironmentLookup environment(std::map<std::string, QString> vars) {
    return [vars](const char* name) {
        const auto it = vars.find(name);
        return it == vars.end() ? QString() : it->second;
    };
}

}  // namespace

TEST(Workspace, TempEndingInASeparatorGetsNoSecondOne) {
    QTemporaryDir temp;
    const Workspace ws(environment({{"TEMP", temp.path() + "/"}, {"TMP", "/elsewhere"}}));
    EXPECT_TRUE(ws.usable());
    EXPECT_TRUE(ws.workDir().startsWith(temp.path() + "/corvane-")) << ws.workDir().toStdString();
    EXPECT_TRUE(ws.workDir().endsWith('/'));
    EXPECT_FALSE(ws.workDir().contains("//"));
    EXPECT_EQ(ws.slotPath(1), ws.workDir() + "Bmp512.bmp");
}

TEST(Workspace, TmpIsUsedWhenTempIsUnset) {
    QTemporaryDir temp;
    const Workspace ws(environment({{"TMP", temp.path()}, {"TMPDIR", "/elsewhere"}}));
    EXPECT_TRUE(ws.workDir().startsWith(temp.path() + "/corvane-"));
    EXPECT_TRUE(QFileInfo(ws.workDir()).isDir());
    EXPECT_EQ(temporaryFolder(environment({{"TEMP", ""}, {"TMPDIR", temp.path()}})), temp.path() + "/");
}

#ifndef _WIN32
TEST(Workspace, WorkFolderIsPrivate) {
    QTemporaryDir temp;
    const auto mode = [](const QString& path) {
        struct stat st {};
        return stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1;
    };
    QString workDir;
    {
        const Workspace ws(environment({{"TEMP", temp.path()}}));
        EXPECT_TRUE(ws.usable());
        EXPECT_EQ(mode(ws.workDir()), 0700);
        workDir = ws.workDir();
    }
    // A folder left open to others is closed again.
    ASSERT_EQ(chmod(QFile::encodeName(workDir).constData(), 0777), 0);
    const Workspace again(environment({{"TEMP", temp.path()}}));
    EXPECT_TRUE(again.usable());
    EXPECT_EQ(again.workDir(), workDir);
    EXPECT_EQ(mode(workDir), 0700);
}

TEST(Workspace, PlantedLinkIsNotUsedAsWorkFolder) {
    // Someone else may create the name first in a shared temp folder; a link,
    // even to a folder of ours, must not become the work folder, nor be
    // followed to close or fill what it points at.  The temp folder's name
    // may end in a separator or not: a trailing separator would make the
    // system look through the link.
    const auto modeOf = [](const QString& path) {
        struct stat st {};
        return stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1;
    };
    for (const QString ending : {"", "/"}) {
        QTemporaryDir temp, target;
        ASSERT_EQ(chmod(QFile::encodeName(target.path()).constData(), 0755), 0);
        const auto env = environment({{"TMPDIR", temp.path() + ending}});
        const QString workDir = privateWorkFolder(env);
        ASSERT_TRUE(workDir.startsWith(temp.path() + "/corvane-")) << workDir.toStdString();
        ASSERT_FALSE(workDir.contains("//"));
        ASSERT_TRUE(QFile::link(target.path(), workDir.chopped(1)));

        // The routine the image view calls on its folder, spelled either way.
        EXPECT_FALSE(preparePrivateFolder(workDir));
        EXPECT_FALSE(preparePrivateFolder(workDir.chopped(1)));
        const Workspace ws(env);
        EXPECT_TRUE(ws.usable());
        EXPECT_NE(ws.workDir().toStdString(), workDir.toStdString());
        EXPECT_FALSE(QFileInfo(ws.workDir().chopped(1)).isSymLink());

        EXPECT_TRUE(QFileInfo(workDir.chopped(1)).isSymLink());  // left as it was
        EXPECT_EQ(modeOf(target.path()), 0755);
        EXPECT_TRUE(QDir(target.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
    }
}
#endif

TEST(Workspace, TwoRunningCopiesNeverShareSlotFiles) {
    QTemporaryDir temp;
    const auto env = environment({{"TEMP", temp.path()}});
    QString first;
    {
        const Workspace one(env);
        const Workspace two(env);
        ASSERT_TRUE(one.usable());
        ASSERT_TRUE(two.usable());
        EXPECT_NE(one.workDir(), two.workDir());
        EXPECT_NE(one.slotPath(1), two.slotPath(1));
        // A copy of a workspace is the same workspace: it keeps the folder held.
        const Workspace copy = one;
        const Workspace three(env);
        EXPECT_NE(three.workDir(), one.workDir());
        EXPECT_NE(three.workDir(), two.workDir());
        first = one.workDir();
    }
    // Once the first copy has ended its folder is free again.
    EXPECT_EQ(Workspace(env).workDir(), first);
}

TEST(Workspace, SlotTableHasThirteenDistinctFiles) {
    QTemporaryDir temp;
    const Workspace ws = Workspace::inFolder(temp.path());
    std::set<QString> names;
    for (int slot = 0; slot < kSlotCount; ++slot) names.insert(ws.slotPath(slot).toLower());
    EXPECT_EQ(names.size(), size_t(kSlotCount));
    for (int level = 512, slot = 1; level >= 1; level /= 2, ++slot) {
        EXPECT_EQ(slotOfLevel(level), slot);
        EXPECT_EQ(levelOfSlot(slot), level);
    }
    EXPECT_EQ(slotOfLevel(3), -1);
    EXPECT_EQ(slotOfLevel(1024), -1);
    EXPECT_TRUE(ws.exchangePath().startsWith(ws.workDir()));
    EXPECT_TRUE(ws.loadedCopyPath().startsWith(ws.workDir()));
}

TEST(Workspace, ClearingRemovesEverySlotFileAndNothingElse) {
    QTemporaryDir temp;
    const Workspace ws = Workspace::inFolder(temp.path());
    ws.clearSlots();  // nothing there yet: nothing happens
    for (int slot = 0; slot < kSlotCount; ++slot) {
        QFile f(ws.slotPath(slot));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("x");
    }
    // A read-only slot goes as well.
    QFile::setPermissions(ws.slotPath(5), QFileDevice::ReadOwner);
    QFile other(ws.exchangePath());
    ASSERT_TRUE(other.open(QIODevice::WriteOnly));
    other.close();

    ws.clearSlots();
    for (int slot = 0; slot < kSlotCount; ++slot) EXPECT_FALSE(QFile::exists(ws.slotPath(slot))) << slot;
    EXPECT_TRUE(QFile::exists(ws.exchangePath()));
    ws.clearSlots();
    Workspace::removeFile(temp.filePath("never-there"));
}

TEST(LevelVisibility, ShowsTheViewsOfTheLevelsPresent) {
    const LevelVisibility v64 = levelVisibility(64);
    EXPECT_FALSE(v64.large);
    EXPECT_FALSE(v64.views[0]);  // 256
    EXPECT_FALSE(v64.views[1]);  // 128
    for (size_t i = 2; i < 9; ++i) EXPECT_TRUE(v64.views[i]) << i;

    const LevelVisibility v512 = levelVisibility(512);
    EXPECT_TRUE(v512.large);
    for (bool shown : v512.views) EXPECT_TRUE(shown);

    const LevelVisibility v256 = levelVisibility(256);
    EXPECT_FALSE(v256.large);
    EXPECT_TRUE(v256.views[0]);

    const LevelVisibility none = levelVisibility(0);
    EXPECT_FALSE(none.large);
    for (bool shown : none.views) EXPECT_FALSE(shown);
    EXPECT_TRUE(levelVisibility(1).views[8]);
    EXPECT_FALSE(levelVisibility(1).views[7]);
}
