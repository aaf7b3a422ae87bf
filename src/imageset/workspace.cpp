#include "workspace.h"

#include <QFile>
#include <QFileInfo>
#include <QLockFile>

namespace corvane {

namespace {

constexpr std::array<const char*, kSlotCount> kSlotNames = {
    "Bmp000.bmp", "Bmp512.bmp", "Bmp256.bmp", "Bmp128.bmp", "Bmp064.bmp", "Bmp032.bmp", "Bmp016.bmp",
    "Bmp008.bmp", "Bmp004.bmp", "Bmp002.bmp", "Bmp001.bmp", "temp.bmp",   "Bmp444.bmp",
};

}  // namespace

int slotOfLevel(int level) {
    for (int slot = kFirstLevelSlot; slot <= kLastLevelSlot; ++slot)
        if (levelOfSlot(slot) == level) return slot;
    return -1;
}

const char* slotFileName(int slot) { return kSlotNames.at(size_t(slot)); }

LevelVisibility levelVisibility(int32_t largest) {
    LevelVisibility v;
    v.large = largest > 256;
    // AnyImage1 shows 256 and is visible above 128, and so on down to AnyImage9.
    for (int i = 0; i < 9; ++i) v.views[size_t(i)] = largest > (128 >> i);
    return v;
}

Workspace::Workspace(const EnvironmentLookup& env) {
    // A second Corvane running at the same time gets a folder of its own, so
    // the two never overwrite each other's slot files.
    for (int n = 1; n <= kMaxInstances; ++n) {
        workDir_ = privateWorkFolder(env, n);
        usable_ = preparePrivateFolder(workDir_);
        if (!usable_) continue;
        auto lock = std::make_shared<QLockFile>(workDir_ + "instance.lock");
        lock->setStaleLockTime(0);  // only a live process holds the folder
        if (lock->tryLock(0)) {
            lock_ = std::move(lock);
            break;
        }
        usable_ = false;
    }
    buildSlots();
}

Workspace Workspace::inFolder(const QString& folder) {
    Workspace ws{Bare{}};
    ws.workDir_ = withSeparator(folder);
    ws.usable_ = QFileInfo(ws.workDir_).isDir();
    ws.buildSlots();
    return ws;
}

void Workspace::buildSlots() {
    for (int k = 0; k < kSlotCount; ++k) slots_[size_t(k)] = workDir_ + kSlotNames[size_t(k)];
}

QString Workspace::toolCopyPath() const {
#ifdef _WIN32
    return workDir_ + "ibbb.exe";
#else
    return workDir_ + "ibbb";
#endif
}

void Workspace::clearSlots() const {
    for (const QString& path : slots_) removeFile(path);
}

void Workspace::removeFile(const QString& path) {
#ifdef _WIN32
    // A read-only file cannot be deleted there.
    QFile file(path);
    if (!file.exists()) return;
    file.setPermissions(file.permissions() | QFileDevice::WriteOwner | QFileDevice::ReadOwner);
    file.remove();
#else
    QFile::remove(path);  // the folder's permissions decide, not the file's
#endif
}

}  // namespace corvane
