// Bringing pictures into the set: Load Any Image, the three commands that
// replace parts of an 8-bit 256 set, a blank 16-bit set, and depth conversion.
#pragma once

#include "setcommands.h"
#include "splitjoin.h"
#include "toolrunner.h"

#include <optional>

namespace corvane {

class ImageLibrary;
class Workspace;

// Edge of the largest level for a picture of width x height: the next level up
// from the larger side (16 at least, 512 at most), capped by the maximum import size.
int importSize(int width, int height, int maxImport);
// 2 to this power is the import size.
int sizeExponent(int importSize);

extern const char* const kNotEightBitMessage;
extern const char* const kNewSixteenQuestion;
extern const char* const kNewSixteenTitle;

// `longer`, when given, takes the picture's longer side.
CommandOutcome loadAnyImage(const QString& file, Workspace& workspace, ImageLibrary& library, const SetOptions& options,
                            int maxImport, int* longer = nullptr);
// The picture made into a set in memory, as loadAnyImage and then Create
// Image Set without the texture tool would leave it in a workspace whose
// state is `current`.  Only an opaque full-colour picture, which becomes a
// 5-6-5 set, is made so; nothing for any other, nor when the library keeps
// no chain in memory: the workspace then takes the file and says what is
// wrong with it.  `longer` as for loadAnyImage.
std::optional<HeldSet> heldImageSet(const QString& file, const SetState& current, ImageLibrary& library,
                                    const SetOptions& options, int maxImport, int* longer = nullptr);
CommandOutcome mergeImage(const QString& file, Workspace& workspace, ImageLibrary& library, const SetOptions& options,
                          const TextureToolRun& runTool);
CommandOutcome importStd(const QString& file, Workspace& workspace, ImageLibrary& library);
CommandOutcome importCfs(const QString& file, Workspace& workspace);
// The question is the caller's; this makes the set.
CommandOutcome newSixteenBitSet(Workspace& workspace, ImageLibrary& library, const SetOptions& options);
// Converts the set through the texture tool to `target`; `shownName` is the
// name the status line keeps.
CommandOutcome convertCurrentImage(SetDepth target, Workspace& workspace, ImageLibrary& library,
                                   const SetOptions& options, const TextureToolRun& runTool, const QString& shownName);

// A TextureToolRun over the real runner.
TextureToolRun textureTool(const Workspace& workspace, const ToolSettings& settings);

}  // namespace corvane
