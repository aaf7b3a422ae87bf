#include "progress.h"

#include <QProgressBar>

#include <algorithm>
#include <cstddef>
#include <cstring>

static_assert(sizeof(QuorContext) == 1024);
static_assert(QUOR_CONTEXT_PROGRESS + sizeof(QuorProgress) <= sizeof(QuorContext));

namespace {

// The library passes no user data, so the routines find their receivers here.
QPointer<QProgressBar> progressBar;
corvane::RunProgress* currentRun = nullptr;

void storeRoutine(QuorContext& context, QuorProgress routine) {
    std::memcpy(context.bytes + QUOR_CONTEXT_PROGRESS, &routine, sizeof routine);
}

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

static void showRunProgress(int32_t done, int32_t total) {
    if (currentRun) currentRun->report(done, total);
}
}

namespace corvane {

void installProgressRoutine(QuorContext& context, QProgressBar* bar) {
    progressBar = bar;
    storeRoutine(context, &showProgress);
}

QuorProgress progressRoutineOf(const QuorContext& context) {
    QuorProgress routine = nullptr;
    std::memcpy(&routine, context.bytes + QUOR_CONTEXT_PROGRESS, sizeof routine);
    return routine;
}

RunProgress::RunProgress(QProgressBar* bar) : bar_(bar) {}

void RunProgress::startFile(int from, int end) {
    to_ = end;
    callFrom_ = callTo_ = from;
    last_ = -1;
}

void RunProgress::report(int32_t done, int32_t total) {
    if (total <= 0 || !bar_) return;
    const double fraction = std::clamp(double(done) / total, 0.0, 1.0);
    if (fraction == 0 || fraction < last_) {
        callFrom_ = std::max(callTo_, bar_->value());
        callTo_ = callFrom_ + (to_ - callFrom_ + 1) / 2;
    }
    last_ = fraction;
    const int value = callFrom_ + int(fraction * (callTo_ - callFrom_));
    if (value <= bar_->value() || value > to_) return;
    bar_->setValue(value);
    bar_->repaint();
}

RunProgressReports::RunProgressReports(QuorContext& context, RunProgress& run)
    : context_(context), previous_(progressRoutineOf(context)) {
    currentRun = &run;
    storeRoutine(context_, &showRunProgress);
}

RunProgressReports::~RunProgressReports() {
    storeRoutine(context_, previous_);
    currentRun = nullptr;
}

}  // namespace corvane
