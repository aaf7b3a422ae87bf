#include "committer.h"

#include "fileaccess.h"
#include "files.h"
#include "layout.h"

#include <QDir>
#include <QFileInfo>

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

void Committer::hand(std::unique_ptr<Replacement> temp, const QString& target, Done done, Check check) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return waiting_.size() < maxWaiting_; });
    waiting_.push_back(Save{std::move(temp), target, std::move(done), std::move(check)});
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
        const CommandOutcome placed = putReplacementInPlace(*save.temp, save.target);
        bool ok = placed.ok;
        QString problem = placed.error;
        save.temp.reset();  // a temporary file that did not take its place goes
        if (ok && save.check) {
            problem = save.check(save.target);
            ok = problem.isEmpty();
        }
        if (save.done) save.done(ok, problem);
        lock.lock();
        busy_ = false;
        changed_.notify_all();
    }
}

namespace {
QString cleanAbsolute(const QString& path) { return absoluteName(path); }
}  // namespace

SetHandOff::SetHandOff(Committer& committer, const QString& target, Committer::Done done)
    : committer_(committer), target_(cleanAbsolute(target)), done_(std::move(done)) {}

bool SetHandOff::takes(const QString& output) const { return !handed_ && cleanAbsolute(output) == target_; }

void SetHandOff::hand(std::unique_ptr<Replacement> temp, const QString& target, Committer::Check check) {
    handed_ = true;
    committer_.hand(std::move(temp), target, done_, std::move(check));
}

QString savedSetProblem(const QString& path) {
    const auto problem = [&](const QString& why) {
        return QStringLiteral("Cannot save %1:\n%2").arg(QFileInfo(path).fileName(), why);
    };
    const HeaderFacts facts = readHeaderFacts(path);
    if (!facts.readable) return problem(QStringLiteral("the saved file cannot be read back."));
    const int bytesPerPixel = facts.bits == 8    ? 1
                              : facts.bits == 16 ? 2
                              : facts.bits == 24 ? 3
                              : facts.bits == 32 ? 4
                                                 : 0;
    if (bytesPerPixel == 0 || facts.width != facts.height || !layout::isLevel(facts.width) ||
        facts.pixelOffset < uint32_t(layout::kPlainHeader))
        return problem(QStringLiteral("the saved file does not read back as an Extended Bitmap."));
    const int64_t expected = layout::fileLength(facts.width, bytesPerPixel, facts.pixelOffset);
    if (facts.fileSize != expected)
        return problem(QStringLiteral("the saved file holds %1 bytes where a complete set holds %2.")
                           .arg(facts.fileSize)
                           .arg(expected));
    return {};
}

}  // namespace corvane
