// The workspace: the slot files that hold the current set and the state every
// command shares about it.  No pixels live in memory; commands read and
// rewrite the slot files and the window shows them.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

class QLockFile;

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "layout.h"
#include "workfolder.h"

namespace corvane {

// Slot indices.  Slots 1..10 hold the levels 512..1.
enum Slot : int {
    HeaderSlot = 0,
    ScratchSlot = 11,
    AlphaSlot = 12,
};
inline constexpr int kSlotCount = 13;
inline constexpr int kFirstLevelSlot = 1;
inline constexpr int kLastLevelSlot = 10;

// Edge of the level held in slot k (1..10): 512 for slot 1, 1 for slot 10.
constexpr int levelOfSlot(int slot) { return 1 << (10 - slot); }
// Slot holding a level (512..1), or -1 when the edge is not a level.
int slotOfLevel(int level);

// The file name of each slot, one spelling everywhere.
const char* slotFileName(int slot);

// What the current set is, shared by every command.  Taking a probe's
// header fields replaces all of them.
struct SetState {
    int32_t largest = 0;      // 512 .. 1; 0 before the first load
    SetDepth depth;           // never 24-bit: a 24-bit file is made a 5-6-5 set
    int32_t headerSize = 0;   // see the reader; 0 when pixel data start at 86
    int32_t recordCount = 0;  // 20-byte records after an 8-bit palette: 0 or 1
    std::array<uint8_t, 12> recordData{};
    bool textureOrigin = false;  // came from a texture file; save offers to overwrite it
    QString loadedPath;          // last file chosen in Load Extended
    bool largeViewPlaced = false;
    int32_t editedSlot = 0;  // slot last handed to the paint program
    bool modified = false;   // differs from the file it came from or was saved to
    // Levels the loaded file ended inside of: their slots hold what it had,
    // the rest zero, until Create Image Set makes them again.
    std::vector<int> incompleteLevels;
    // Header given to 24-bit files and new 16-bit sets; the high-colour split
    // copies each file's edge into it.
    layout::TemplateHeader templateHeader = layout::defaultTemplateHeader();

    // A 16-bit set with the usual 86-byte header.
    bool standardHeader() const { return depth.sixteenBit() && headerSize == 0; }
    // Where the pixels of the set's file start, as the joins write it.
    int32_t headerLength() const {
        return headerSize != 0             ? headerSize
               : depth == SetDepth::Argb32 ? layout::kPlainHeader
                                           : layout::kStandardHeader;
    }

    // Takes the header fields the probe found in a file.
    void takeHeader(const HeaderProbe& probe) {
        // A file of no set's depth reads as 8-bit; the split refuses it.
        depth = probe.depth.value_or(SetDepth::Palette8);
        if (depth == SetDepth::Rgb24) depth = SetDepth::Rgb565;
        headerSize = probe.headerSize;
        recordCount = probe.recordCount;
    }
    bool operator==(const SetState&) const = default;
};

// The four status lines under the views, and the hint of the depth line.
struct StatusLines {
    QString bitmap;
    QString maximum;
    QString loadedAs;
    QString depth;
    QString depthHint;
    // The file the bitmap line names, when it names one.
    std::optional<QString> bitmapFile;

    // "Bitmap - name": the line of a set read from a file.
    void showFile(const QString& name) {
        bitmapFile = name;
        bitmap = QStringLiteral("Bitmap - ") + name;
    }
    // A line of its own, such as a new set's, naming no file.
    void showLine(const QString& line) {
        bitmapFile.reset();
        bitmap = line;
    }
    bool operator==(const StatusLines&) const = default;
};

// Which views show something for a given largest level.
struct LevelVisibility {
    bool large = false;           // the 512 window
    std::array<bool, 9> views{};  // the views of 256 down to 1
};
LevelVisibility levelVisibility(int32_t largest);

class Workspace {
public:
    // Uses a private folder "corvane-<user>" inside the temporary folder,
    // created with owner-only access when missing, and holds it for as long
    // as this workspace (or a copy) lives; while another running Corvane holds
    // it, "corvane-<user>-2" and so on.
    explicit Workspace(const EnvironmentLookup& env = systemEnvironment);
    static constexpr int kMaxInstances = 16;
    // Uses the given folder as it is (the command line's own work folder, tests).
    static Workspace inFolder(const QString& folder);

    // Ends with a separator.
    const QString& workDir() const { return workDir_; }
    // False when the private folder could not be made or is not ours.
    bool usable() const { return usable_; }

    const QString& slotPath(int slot) const { return slots_.at(size_t(slot)); }
    QString levelPath(int level) const { return slotPath(slotOfLevel(level)); }

    // Fixed intermediate files inside the work folder.
    QString loadedCopyPath() const { return workDir_ + "ltemp.bmp"; }
    QString flippedRawPath() const { return workDir_ + "lemp.r8"; }
    QString exchangePath() const { return workDir_ + "etemp.bmp"; }
    QString toolCopyPath() const;

    SetState& state() { return state_; }
    const SetState& state() const { return state_; }
    StatusLines& status() { return status_; }
    const StatusLines& status() const { return status_; }

    // Removes the 13 slot files; missing files and failures are ignored.
    void clearSlots() const;

    // Makes the file writable, then deletes it; failures are ignored.
    static void removeFile(const QString& path);

private:
    struct Bare {};
    explicit Workspace(Bare) {}
    void buildSlots();

    QString workDir_;
    bool usable_ = false;
    std::shared_ptr<QLockFile> lock_;
    std::array<QString, kSlotCount> slots_;
    SetState state_;
    StatusLines status_;
};

}  // namespace corvane
