#include "committer.h"

#include "splitjoin.h"

#include <QTemporaryFile>

#include <algorithm>

namespace corvane {

Committer::Committer(size_t maxWaiting) : maxWaiting_(std::max<size_t>(1, maxWaiting)), thread_([this] { run(); }) {}

Committer::~Committer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void Committer::hand(std::unique_ptr<QTemporaryFile> temp, const QString& target, Done done) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return waiting_.size() < maxWaiting_; });
    waiting_.push_back(Save{std::move(temp), target, std::move(done)});
    changed_.notify_all();
}

void Committer::finish() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return waiting_.empty() && !busy_; });
}

void Committer::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
        if (waiting_.empty()) return;  // stopping, with nothing left
        Save save = std::move(waiting_.front());
        waiting_.pop_front();
        busy_ = true;
        changed_.notify_all();  // room for one more
        lock.unlock();
        QString problem;
        const bool ok = putReplacementInPlace(*save.temp, save.target, &problem);
        save.temp.reset();  // a temporary file that did not take its place goes
        if (save.done) save.done(ok, problem);
        lock.lock();
        busy_ = false;
        changed_.notify_all();
    }
}

namespace {
thread_local SetHandOff* currentHandOff = nullptr;
}

SetHandOff::SetHandOff(Committer& committer, Committer::Done done)
    : committer_(committer), done_(std::move(done)), outer_(currentHandOff) {
    currentHandOff = this;
}

SetHandOff::~SetHandOff() { currentHandOff = outer_; }

SetHandOff* SetHandOff::current() { return currentHandOff; }

void SetHandOff::hand(std::unique_ptr<QTemporaryFile> temp, const QString& target) {
    handed_ = true;
    committer_.hand(std::move(temp), target, done_);
}

}  // namespace corvane
