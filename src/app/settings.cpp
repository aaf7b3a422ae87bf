#include "settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include <algorithm>
#include <cmath>
#include <limits>

namespace corvane {

SettingsStore::SettingsStore()
    : settings_(std::make_unique<QSettings>(QStringLiteral("Quor"), QStringLiteral("Corvane"))) {}

SettingsStore::SettingsStore(std::unique_ptr<QSettings> settings) : settings_(std::move(settings)) {}

std::unique_ptr<SettingsStore> SettingsStore::atIniFile(const QString& path) {
    return std::make_unique<SettingsStore>(std::make_unique<QSettings>(path, QSettings::IniFormat));
}

SettingsStore::SettingsStore(std::nullptr_t, QHash<QString, QString> values) : values_(std::move(values)) {}

std::unique_ptr<SettingsStore> SettingsStore::inMemory(QHash<QString, QString> values) {
    return std::unique_ptr<SettingsStore>(new SettingsStore(nullptr, std::move(values)));
}

SettingsStore::~SettingsStore() = default;

bool SettingsStore::contains(const QString& name) const {
    return settings_ ? settings_->contains(name) : values_.contains(name);
}

QString SettingsStore::value(const QString& name) const {
    return settings_ ? settings_->value(name).toString() : values_.value(name);
}

QString SettingsStore::readText(const QString& name, const QString& fallback) {
    read_.append(name);
    kinds_.insert(name, Kind::Text);
    if (!contains(name)) return fallback;
    return value(name);
}

int32_t SettingsStore::readInteger(const QString& name, int32_t fallback) {
    read_.append(name);
    kinds_.insert(name, Kind::Number);
    if (!contains(name)) return fallback;
    return parseStoredInteger(value(name), fallback);
}

bool SettingsStore::readSwitch(const QString& name, bool fallback) {
    const bool on = readInteger(name, fallback ? 1 : 0) != 0;
    kinds_.insert(name, Kind::Switch);
    return on;
}

void SettingsStore::writeText(const QString& name, const QString& value) {
    written_.append(name);
    if (settings_) settings_->setValue(name, value);
    else values_.insert(name, value);
}

void SettingsStore::writeInteger(const QString& name, int32_t value) { writeText(name, QString::number(value)); }

void SettingsStore::writeSwitch(const QString& name, bool on) { writeInteger(name, on ? 1 : 0); }

void SettingsStore::sync() {
    if (settings_) settings_->sync();
}

namespace {

int hexDigit(QChar c) {
    const char16_t u = c.unicode();
    if (u >= '0' && u <= '9') return u - '0';
    if (u >= 'a' && u <= 'f') return u - 'a' + 10;
    if (u >= 'A' && u <= 'F') return u - 'A' + 10;
    return -1;
}

}  // namespace

int32_t parseStoredInteger(const QString& text, int32_t fallback) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        // Hexadecimal covers the whole 32-bit pattern, so 0xFFFFFFFF is -1.
        uint64_t value = 0;
        for (qsizetype i = 2; i < text.size(); ++i) {
            const int digit = hexDigit(text[i]);
            if (digit < 0) return fallback;
            value = value * 16 + uint64_t(digit);
            if (value > 0xFFFFFFFFu) return fallback;
        }
        return int32_t(uint32_t(value));
    }

    qsizetype i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    if (i == text.size()) return fallback;
    int64_t value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return fallback;
        value = value * 10 + (text[i].unicode() - '0');
        if (value > int64_t(std::numeric_limits<int32_t>::max()) + 1) return fallback;
    }
    if (negative) value = -value;
    if (value > std::numeric_limits<int32_t>::max()) return fallback;
    return int32_t(value);
}

QString findOnPath(const QString& name) { return QStandardPaths::findExecutable(name); }

QString defaultEditor(const ProgramLookup& find) {
#ifdef _WIN32
    (void)find;
    return QStringLiteral("C:\\windows\\pbrush.exe");
#else
    for (const char* name : {"gimp", "krita", "pinta", "mtpaint"}) {
        const QString path = find(QString::fromLatin1(name));
        if (!path.isEmpty()) return path;
    }
    const QString opener = find(QStringLiteral("xdg-open"));
    return opener.isEmpty() ? QStringLiteral("xdg-open") : opener;
#endif
}

QString defaultImageTool(const QString& programFolder) {
#ifdef _WIN32
    return QDir(programFolder).filePath(QStringLiteral("xbmtool.exe"));
#else
    return QDir(programFolder).filePath(QStringLiteral("xbmtool"));
#endif
}

SettingsDefaults SettingsDefaults::forThisSystem() {
    SettingsDefaults d = forBatches();
    d.editor = defaultEditor();
    return d;
}

SettingsDefaults SettingsDefaults::forBatches() {
    SettingsDefaults d;
    d.folder = QDir::homePath();
    d.imageTool = defaultImageTool(QCoreApplication::applicationDirPath());
    return d;
}

int32_t importSizeFromStored(int32_t stored) { return (stored == 64 || stored == 128 || stored == 512) ? stored : 256; }

QString settingRefusal(const QString& name, const QString& value) {
    // The settings are those readSettings reads, each as it reads it.
    static const QHash<QString, SettingsStore::Kind> kinds = [] {
        const auto store = SettingsStore::inMemory({});
        readSettings(*store, SettingsDefaults{});
        return store->kindsRead();
    }();
    const auto kind = kinds.constFind(name);
    if (kind == kinds.constEnd()) {
        QStringList names = kinds.keys();
        names.sort();
        return QStringLiteral("--set: there is no setting %1; the settings are %2").arg(name, names.join(", "));
    }
    // A number reads the same whatever the fallback; anything else falls back.
    const int32_t number = parseStoredInteger(value, 0);
    const bool isNumber = number == parseStoredInteger(value, 1);
    if (name == QLatin1String("MaxImport") && !(isNumber && importSizeFromStored(number) == number))
        return QStringLiteral("--set: %1 takes 64, 128, 256 or 512, not '%2'").arg(name, value);
    if (*kind == SettingsStore::Kind::Number && !isNumber)
        return QStringLiteral("--set: %1 takes a whole number, not '%2'").arg(name, value);
    if (*kind == SettingsStore::Kind::Switch && !(isNumber && (number == 0 || number == 1)))
        return QStringLiteral("--set: %1 takes 1 (on) or 0 (off), not '%2'").arg(name, value);
    return {};
}

QString openableFolder(const QString& folder, const QString& fallback) {
    if (folder.isEmpty()) return fallback;
    const QFileInfo info(folder);
    return info.isDir() && info.isExecutable() ? folder : fallback;
}

Settings readSettings(SettingsStore& store, const SettingsDefaults& defaults) {
    Settings s;
    s.cfsDir = store.readText("CFSDir", defaults.folder);
    s.stdDir = store.readText("STDDir", defaults.folder);
    s.saveDir = store.readText("SaveDir", defaults.folder);
    s.mapDir = store.readText("MapDir", QString());
    s.batchDir = openableFolder(store.readText("BatchDir", QString()), defaults.folder);
    s.destDir = openableFolder(store.readText("DestDir", QString()), defaults.folder);
    s.filter = store.readInteger("Filter", 1);
    s.editor = store.readText("Editor", defaults.editor);
    s.imageTool = store.readText("ImageTool", defaults.imageTool);
    s.left = store.readInteger("Left", 10);
    s.top = store.readInteger("Top", 10);
    s.left512 = store.readInteger("Left512", 10);
    s.top512 = store.readInteger("Top512", 10);
    s.width512 = store.readInteger("Width512", 256);
    s.height512 = store.readInteger("Height512", 256);
    s.smooth8bit = store.readSwitch("Smooth8bit", true);
    s.keepCoverage = store.readSwitch("KeepCoverage", false);
    s.showTransparency = store.readSwitch("ShowTransparency", true);
    s.hints = store.readSwitch("Hints", true);
    s.useImageTool = store.readSwitch("UseImageTool", false);
    s.showImageTool = store.readSwitch("ShowImageTool", true);
    s.convert24bit = store.readSwitch("24bit", true);
    s.lightening = store.readInteger("Lightening", -4);
    s.maxImport = importSizeFromStored(store.readInteger("MaxImport", 256));
    return s;
}

int32_t lighteningInForce(int32_t stored) {
    const double held = std::clamp(double(stored), -100.0, 100.0);
    return int32_t(std::trunc(held + 0.5));
}

SetOptions setOptionsFrom(const Settings& s) {
    SetOptions options;
    options.convertTo24 = s.convert24bit;
    options.smooth8 = s.smooth8bit;
    options.keepCoverage = s.keepCoverage;
    options.useImageTool = s.useImageTool;
    options.lightening = lighteningInForce(s.lightening);
    return options;
}

void writeSettings(SettingsStore& store, const Settings& s) {
    store.writeText("CFSDir", s.cfsDir);
    store.writeText("STDDir", s.stdDir);
    store.writeText("Editor", s.editor);
    store.writeText("ImageTool", s.imageTool);
    store.writeText("SaveDir", s.saveDir);
    store.writeText("MapDir", s.mapDir);
    store.writeText("MergeDir", s.mergeDir);
    store.writeText("BatchDir", s.batchDir);
    store.writeText("DestDir", s.destDir);
    store.writeInteger("Left", s.left);
    store.writeInteger("Top", s.top);
    store.writeSwitch("Hints", s.hints);
    store.writeSwitch("24bit", s.convert24bit);
    store.writeSwitch("Smooth8bit", s.smooth8bit);
    store.writeSwitch("KeepCoverage", s.keepCoverage);
    store.writeSwitch("ShowTransparency", s.showTransparency);
    store.writeSwitch("UseImageTool", s.useImageTool);
    store.writeSwitch("ShowImageTool", s.showImageTool);
    store.writeInteger("Top512", s.top512);
    store.writeInteger("Left512", s.left512);
    store.writeInteger("Width512", s.width512);
    store.writeInteger("Height512", s.height512);
    store.writeInteger("MaxImport", s.maxImport);
    store.writeInteger("Filter", s.filter);
    store.writeInteger("Lightening", s.lightening);
}

}  // namespace corvane
