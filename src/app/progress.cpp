#include "progress.h"

#include <QPointer>
#include <QProgressBar>

#include <cstddef>
#include <cstring>

static_assert(sizeof(QuorContext) == 1024);
static_assert(QUOR_CONTEXT_PROGRESS + sizeof(QuorProgress) <= sizeof(QuorContext));

namespace {

// The library passes no user data, so the routine finds its bar here.
QPointer<QProgressBar> progressBar;

}  // namespace

extern "C" {
static void showProgress(int32_t done, int32_t total) {
    // A total of 0 would divide by zero; the bar keeps what it shows.
    if (total <= 0 || !progressBar) return;
    const int64_t percent = int64_t(done) * 100 / total;
    progressBar->setValue(int(percent < 0 ? 0 : percent > 100 ? 100 : percent));
    // The library works on the user-interface thread, so paint now.
    progressBar->repaint();
}
}

namespace corvane {

void installProgressRoutine(QuorContext& context, QProgressBar* bar) {
    progressBar = bar;
    const QuorProgress routine = &showProgress;
    std::memcpy(context.bytes + QUOR_CONTEXT_PROGRESS, &routine, sizeof routine);
}

QuorProgress progressRoutineOf(const QuorContext& context) {
    QuorProgress routine = nullptr;
    std::memcpy(&routine, context.bytes + QUOR_CONTEXT_PROGRESS, sizeof routine);
    return routine;
}

}  // namespace corvane
