// A snapshot puts the workspace back byte for byte, whatever happened to
// the slot files since; its digest tells sets apart by the set's slots alone.
#include "setcommands.h"
#include "snapshot.h"
#include "testsets.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <functional>
#include <optional>

using namespace corvane;
using namespace corvane::testing;

namespace {

// Every slot file as it is on the disk, read here.
std::vector<std::optional<Bytes>> onDisk(const Workspace& ws) {
    std::vector<std::optional<Bytes>> files;
    for (int k = 0; k < kSlotCount; ++k)
        files.push_back(QFileInfo::exists(ws.slotPath(k)) ? std::optional(readBytes(ws.slotPath(k))) : std::nullopt);
    return files;
}

}  // namespace

TEST(Snapshot, PutsBackEverySlotStateAndStatusWhateverChanged) {
    struct Change {
        const char* name;
        bool changesTheSet;  // the digest must tell
        std::function<void(Workspace&)> apply;
    };
    const Change changes[] = {
        {"a level rewritten", true, [](Workspace& ws) { writeBytes(ws.levelPath(16), Bytes(1100, 9)); }},
        {"a level removed", true, [](Workspace& ws) { QFile::remove(ws.levelPath(1)); }},
        {"the alpha slot made", true, [](Workspace& ws) { writeBytes(ws.slotPath(AlphaSlot), Bytes(20, 1)); }},
        {"one byte of the header", true,
         [](Workspace& ws) {
             Bytes h = readBytes(ws.slotPath(HeaderSlot));
             h[60] ^= 1;
             writeBytes(ws.slotPath(HeaderSlot), h);
         }},
        {"the largest level in the state", true, [](Workspace& ws) { ws.state().largest = 128; }},
        {"every slot gone, another state", true,
         [](Workspace& ws) {
             ws.clearSlots();
             ws.state() = SetState{};
             ws.status().bitmap = "New Bitmap";
         }},
        {"only the scratch slot", false, [](Workspace& ws) { writeBytes(ws.slotPath(ScratchSlot), Bytes(70, 3)); }},
        {"only a status line", false, [](Workspace& ws) { ws.status().depth = "changed"; }},
    };
    for (const Change& c : changes) {
        SCOPED_TRACE(c.name);
        Scratch s;
        QuorContext context{};
        QuorLibrary library(context);
        const QString file = s.path("set.bmp");
        ASSERT_TRUE(writeBytes(file, makeSet(Form::EightRecord, 64)));
        ASSERT_TRUE(loadExtended(file, BitmapFilter, s.workspace, library, SetOptions{}).ok);
        s.workspace.state().largeViewPlaced = true;
        const auto filesBefore = onDisk(s.workspace);
        const SetState stateBefore = s.workspace.state();
        const StatusLines statusBefore = s.workspace.status();
        const WorkspaceSnapshot before = captureWorkspace(s.workspace);

        c.apply(s.workspace);
        s.workspace.state().largeViewPlaced = false;  // the window's, not the set's
        const WorkspaceSnapshot after = captureWorkspace(s.workspace, &before);
        EXPECT_EQ(setDigest(after) != setDigest(before), c.changesTheSet);
        // Slot files that did not change are held once.
        for (int k = 0; k < kSlotCount; ++k) {
            const auto &was = before.files[size_t(k)], &is = after.files[size_t(k)];
            if (was && is && *was == *is) {
                EXPECT_TRUE(was->isSharedWith(*is)) << k;
            }
        }

        const CommandOutcome restored = restoreWorkspace(s.workspace, before);
        ASSERT_TRUE(restored.ok) << restored.error.toStdString();
        EXPECT_EQ(onDisk(s.workspace), filesBefore);
        SetState expected = stateBefore;
        expected.largeViewPlaced = false;
        EXPECT_TRUE(s.workspace.state() == expected);
        EXPECT_TRUE(s.workspace.status() == statusBefore);
        // No staged file is left behind in the work folder.
        EXPECT_TRUE(QDir(s.workspace.workDir()).entryList({"new-*"}, QDir::Files).isEmpty());

        const CommandOutcome redone = restoreWorkspace(s.workspace, after);
        ASSERT_TRUE(redone.ok) << redone.error.toStdString();
        EXPECT_TRUE(captureWorkspace(s.workspace) == after);
    }
}
