// The image library reports progress of long conversions through a plain C
// routine stored in the conversion context; these move a progress bar.
#pragma once

#include "quorimg.h"

#include <QPointer>

class QProgressBar;

namespace corvane {

// Puts the progress routine into the context and makes it drive the bar
// (the last bar given wins; a destroyed bar is forgotten).
void installProgressRoutine(QuorContext& context, QProgressBar* bar);
// The routine stored in the context, or null.
QuorProgress progressRoutineOf(const QuorContext& context);

// During a batch run the bar shows the whole run.  A file takes several
// library calls, each reporting from 0 again and none knowing how many
// follow, so each call fills half of what is left of the file's share: the
// bar moves within every file and never back.
class RunProgress {
public:
    explicit RunProgress(QProgressBar* bar);
    // The next file's share of the bar, from..end of 0..100.
    void startFile(int from, int end);
    // A library call has done `done` of `total`.
    void report(int32_t done, int32_t total);

private:
    QPointer<QProgressBar> bar_;
    int to_ = 100;  // end of the current file's share of 0..100
    int callFrom_ = 0, callTo_ = 0;
    double last_ = -1;  // the fraction the current call reported last
};

// While it lives, the context's progress reports go to `run`; the routine
// the context had before comes back after.  One at a time: the library
// passes its routine no data, so the routine finds the run through this.
class RunProgressReports {
public:
    RunProgressReports(QuorContext& context, RunProgress& run);
    ~RunProgressReports();
    RunProgressReports(const RunProgressReports&) = delete;
    RunProgressReports& operator=(const RunProgressReports&) = delete;

private:
    QuorContext& context_;
    QuorProgress previous_;
};

}  // namespace corvane
