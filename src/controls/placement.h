// Where a secondary window goes so that it hides nothing of the window it
// belongs to and stays wholly on the screen.
#pragma once

#include <QRect>
#include <QSize>

namespace corvane {

// The frame rectangle for a window of `frameSize` (its decorations
// included) beside `owner` (the owner's frame) inside `available`: right of
// the owner, else left of it, else below it, level with its top (or left)
// edge as far as the screen allows.  When it fits none of these places it
// takes the largest of them, shrunk to fit; when there is no room beside the
// owner at all, it keeps its size and is only kept on the screen.
QRect placeBeside(const QRect& owner, const QSize& frameSize, const QRect& available);

}  // namespace corvane
