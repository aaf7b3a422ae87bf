// The image library reports progress of long conversions through a plain C
// routine stored in the conversion context; this one moves a progress bar.
#pragma once

#include "quorimg.h"

class QProgressBar;

namespace corvane {

// Puts the progress routine into the context and makes it drive the bar
// (the last bar given wins; a destroyed bar is forgotten).
void installProgressRoutine(QuorContext& context, QProgressBar* bar);
// The routine stored in the context, or null.
QuorProgress progressRoutineOf(const QuorContext& context);

}  // namespace corvane
