#include "settings.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace corvane;

namespace {

const QStringList kReadOrder = {"CFSDir",        "STDDir",       "SaveDir",          "MapDir",    "BatchDir",
                                "DestDir",       "Filter",       "Editor",           "ImageTool", "Left",
                                "Top",           "Left512",      "Top512",           "Width512",  "Height512",
                                "Smooth8bit",    "KeepCoverage", "ShowTransparency", "Hints",     "UseImageTool",
                                "ShowImageTool", "24bit",        "Lightening",       "MaxImport"};

const QStringList kWriteOrder = {
    "CFSDir",       "STDDir",           "Editor",       "ImageTool",     "SaveDir", "MapDir",  "MergeDir",
    "BatchDir",     "DestDir",          "Left",         "Top",           "Hints",   "24bit",   "Smooth8bit",
    "KeepCoverage", "ShowTransparency", "UseImageTool", "ShowImageTool", "Top512",  "Left512", "Width512",
    "Height512",    "MaxImport",        "Filter",       "Lightening"};

class SettingsTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString ini() const { return dir.filePath("store.ini"); }
    SettingsDefaults defaults{dir.filePath("home"), "/usr/bin/paint", "/opt/corvane/xbmtool"};
};

}  // namespace

TEST(StoredInteger, FollowsTheDecimalAndHexRules) {
    EXPECT_EQ(parseStoredInteger("256", 7), 256);
    EXPECT_EQ(parseStoredInteger("-4", 7), -4);
    EXPECT_EQ(parseStoredInteger("0x20", 7), 32);
    EXPECT_EQ(parseStoredInteger("0X1f", 7), 31);
    EXPECT_EQ(parseStoredInteger("0xFFFFFFFF", 7), -1);
    EXPECT_EQ(parseStoredInteger("2147483647", 7), 2147483647);
    EXPECT_EQ(parseStoredInteger("-2147483648", 7), INT32_MIN);
    // Not numbers: the fallback.
    for (const char* bad : {"", "-", "0x", "0xg1", "12abc", "abc", "1.5", "2147483648", "0x100000000", " 5"})
        EXPECT_EQ(parseStoredInteger(bad, 7), 7) << bad;
}

TEST_F(SettingsTest, MissingAndEmptyValuesAreToldAlikeFromAFileAndFromMemory) {
    const QHash<QString, QString> values = {
        {"MapDir", ""}, {"Left", "0x20"}, {"Hints", "0"}, {"Smooth8bit", "5"}, {"Top", "ten"}};
    {
        QSettings raw(ini(), QSettings::IniFormat);
        for (auto it = values.cbegin(); it != values.cend(); ++it) raw.setValue(it.key(), it.value());
    }
    std::unique_ptr<SettingsStore> stores[] = {SettingsStore::atIniFile(ini()), SettingsStore::inMemory(values)};
    for (const auto& store : stores) {
        EXPECT_EQ(store->readText("MapDir", "fallback"), "");  // exists, so used as stored
        EXPECT_EQ(store->readText("CFSDir", "fallback"), "fallback");
        EXPECT_EQ(store->readInteger("Left", 10), 32);
        EXPECT_EQ(store->readInteger("Top", 10), 10);
        EXPECT_FALSE(store->readSwitch("Hints", true));
        EXPECT_TRUE(store->readSwitch("Smooth8bit", false));
        EXPECT_FALSE(store->readSwitch("UseImageTool", false));
        store->writeInteger("Top", 12);
        store->sync();
        EXPECT_EQ(store->readInteger("Top", 10), 12);
    }
}

TEST_F(SettingsTest, ReadsInStartUpOrderAndNeverTheMergeFolder) {
    auto store = SettingsStore::atIniFile(ini());
    const Settings s = readSettings(*store, defaults);
    EXPECT_EQ(store->namesRead(), kReadOrder);
    EXPECT_EQ(s.mapDir, "");
    EXPECT_EQ(s.batchDir, defaults.folder);  // an empty folder cannot be opened

    QFile file(dir.filePath("plain"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    EXPECT_EQ(openableFolder(file.fileName(), "x"), "x");
    EXPECT_EQ(openableFolder(dir.path(), "x"), dir.path());
    for (int other : {300, 0, -64, 32, 1024}) EXPECT_EQ(importSizeFromStored(other), 256) << other;
}

TEST_F(SettingsTest, WritesEveryValueAsTextInClosingOrder) {
    Settings s;
    s.cfsDir = "/a b/cfs";
    s.mergeDir = "";
    s.left = -7;
    s.hints = false;
    s.lightening = -8;
    s.maxImport = 512;
    s.filter = 3;
    {
        auto store = SettingsStore::atIniFile(ini());
        writeSettings(*store, s);
        store->sync();
        EXPECT_EQ(store->namesWritten(), kWriteOrder);
    }
    QSettings raw(ini(), QSettings::IniFormat);
    EXPECT_EQ(raw.allKeys().size(), kWriteOrder.size());
    const std::pair<const char*, const char*> expected[] = {
        {"CFSDir", "/a b/cfs"}, {"MergeDir", ""}, {"Left", "-7"},        {"Top", "10"},
        {"Hints", "0"},         {"24bit", "1"},   {"UseImageTool", "0"}, {"Width512", "256"},
        {"MaxImport", "512"},   {"Filter", "3"},  {"Lightening", "-8"}};
    for (const auto& [name, text] : expected) {
        const QVariant v = raw.value(name);
        EXPECT_EQ(v.typeId(), QMetaType::QString) << name;
        EXPECT_EQ(v.toString(), QString(text)) << name;
    }
    // Plain text in the file: integers as decimal digits, not typed values.
    QFile file(ini());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    EXPECT_TRUE(text.contains("Lightening=-8\n")) << text.constData();
    EXPECT_FALSE(text.contains("@Variant"));
}

TEST(DefaultPrograms, EditorIsTheFirstPaintProgramFound) {
    const auto lookup = [](QStringList installed) {
        return [installed](const QString& name) { return installed.contains(name) ? "/usr/bin/" + name : QString(); };
    };
#ifndef _WIN32
    EXPECT_EQ(defaultEditor(lookup({"mtpaint", "krita", "xdg-open"})), "/usr/bin/krita");
    EXPECT_EQ(defaultEditor(lookup({"xdg-open"})), "/usr/bin/xdg-open");
    EXPECT_EQ(defaultEditor(lookup({})), "xdg-open");
    EXPECT_EQ(defaultImageTool("/opt/corvane"), "/opt/corvane/xbmtool");
#endif
    EXPECT_EQ(SettingsDefaults::forThisSystem().folder, QDir::homePath());
}
