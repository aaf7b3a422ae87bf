// Bringing pictures into the set: Load Any Image, the three commands that
// replace parts of an 8-bit 256 set, a blank 16-bit set, and depth conversion.
#pragma once

#include "setcommands.h"
#include "toolrunner.h"

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

CommandOutcome loadAnyImage(const QString& file, Workspace& workspace, ImageLibrary& library, const SetOptions& options,
                            int maxImport);
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
