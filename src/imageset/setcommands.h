// The set commands' file work: loading, saving and rebuilding the chain.
// Each returns what the window has to show instead of touching widgets.
#pragma once

#include <QString>
#include <QStringList>

#include "outcome.h"
#include "setdepth.h"

#include <cstdint>
#include <functional>

namespace corvane {

class ImageLibrary;
class SlotStaging;
class Workspace;

// The preferences these commands read.
struct SetOptions {
    bool convertTo24 = true;    // "Convert 16/32 to 24 bit"
    bool smooth8 = true;        // "Smooth 8 bit Image sets"
    bool useImageTool = false;  // "Use ImageTool for Mips"
    int lightening = -4;        // lightening amount, already whole
    bool keepCoverage = false;  // "Keep cut-out coverage in mips"
};

// The texture tool, run on a file in a mode: done when it rewrote the file,
// else refused with why it failed.
using TextureToolRun = std::function<CommandOutcome(const QString& file, ToolMode mode)>;

// Filters of the Load Extended dialog, 1-based.
enum LoadFilter { BitmapFilter = 1, TextureFilter = 2, RawTextureFilter = 3 };

inline constexpr int kRawTextureSize = 65536;
extern const char* const kRawTextureMessage;
extern const char* const kBitmapTextureMessage;

// The message for a step of the image library that failed, with the
// reason the library gave for its last call.
QString libraryFailure(const QString& step, ImageLibrary& library);

// Cuts the file into staged slots by the depth flags as they stand, converts
// high-colour levels for display where needed and keeps alpha; nothing is
// put in place.
CommandOutcome stageLoad(const QString& path, Workspace& workspace, ImageLibrary& library, const SetOptions& options,
                         SlotStaging& staging);
// The same, then the new set replaces the old one and the depth line is set.
// A failed load leaves the slots as they were.
CommandOutcome loadStep(const QString& path, Workspace& workspace, ImageLibrary& library, const SetOptions& options);

// Load Extended on the chosen file and dialog filter.  A refused file leaves
// the workspace and its state exactly as they were.
// `shownName` is the name the status line gives (the chosen file's by default).
CommandOutcome loadExtended(const QString& chosen, int filter, Workspace& workspace, ImageLibrary& library,
                            const SetOptions& options, const QString& shownName = {});

// A raw 256x256 texture turned top to bottom into the loaded copy.
bool rawTextureConversion(const QString& texture, Workspace& workspace, ImageLibrary& library);

// Rewrites the staged level slots in place as BMP files the views and the
// joins read.
CommandOutcome convertSlotsTo24(SlotStaging& staging, ImageLibrary& library);

// Saves the set to `output`; the workspace is only read.
CommandOutcome saveSet(const Workspace& workspace, const QString& output);

// Rebuilds every level below the largest from it (as staged, if it is),
// into the staging.
CommandOutcome buildChain(Workspace& workspace, ImageLibrary& library, const SetOptions& options, SlotStaging& staging);
// The same, put in place when every level was made.
CommandOutcome buildChain(Workspace& workspace, ImageLibrary& library, const SetOptions& options);
// Create Image Set: the optional texture-tool pass, then the chain builder.
// Either every slot is rewritten or, on failure, none (state and status
// lines too).  With `staging`, slots already staged there (a new largest
// level) are the set to work on, and are put in place with the rest.
CommandOutcome createImageSet(Workspace& workspace, ImageLibrary& library, const SetOptions& options,
                              const TextureToolRun& runTool, SlotStaging* staging = nullptr);
// The texture tool's mode for the current set's levels.
ToolMode textureToolMode(const Workspace& workspace);

// Whether the palette commands (Transparency) and the 256-only commands
// (Merge Image, Import Std, Import CFS) apply to the current set.
bool paletteCommandsAvailable(const Workspace& workspace);
bool replaceCommandsAvailable(const Workspace& workspace);

}  // namespace corvane
