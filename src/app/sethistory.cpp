#include "sethistory.h"

#include <QCryptographicHash>

namespace corvane {

QByteArray stepDigest(const SetStep& step) {
    QByteArray digest = setDigest(step.workspace);
    if (step.pendingLevels) {
        QCryptographicHash hash(QCryptographicHash::Sha256);
        hash.addData(QByteArrayView(reinterpret_cast<const char*>(step.palette.levels.data()),
                                    qsizetype(sizeof step.palette.levels)));
        digest += hash.result();
    }
    return digest;
}

void SetHistory::reset(SetStep base) {
    steps_.clear();
    steps_.push_back(std::move(base));
    at_ = 0;
}

void SetHistory::push(SetStep step) {
    steps_.erase(steps_.begin() + std::ptrdiff_t(at_ + 1), steps_.end());
    if (at_ > 0 && !step.mergeKey.isEmpty() && steps_[at_].mergeKey == step.mergeKey) {
        step.name = steps_[at_].name;
        steps_[at_] = std::move(step);
        return;
    }
    steps_.push_back(std::move(step));
    ++at_;
    while (steps_.size() > size_t(kDepth) + 1) {
        steps_.pop_front();
        --at_;
    }
}

void SetHistory::dropPendingLevels() {
    std::deque<SetStep> kept;
    size_t at = 0;
    for (size_t i = 0; i < steps_.size(); ++i) {
        // The first step stays whatever it holds: there is nothing before it.
        if (i > 0 && steps_[i].pendingLevels) continue;
        if (i <= at_) at = kept.size();
        kept.push_back(std::move(steps_[i]));
    }
    steps_ = std::move(kept);
    at_ = at;
}

}  // namespace corvane
