// Finishing saves on a thread of their own.  A save's last steps, the flush
// of its data to the disk and the rename into place, wait on the disk; a batch
// hands them to a Committer and goes on with its next file.  Each file still
// takes its place only once its data is on the disk, so a failure at any
// point leaves the file that was there before, and counts as saved only once
// it reads back from its place as what was meant.
#pragma once

#include "files.h"

#include <QString>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace corvane {

class Committer {
public:
    // How a handed-in save ended, told on the committer's thread: ok only
    // when the file is in place and passes its check.
    using Done = std::function<void(bool ok, const QString& problem)>;
    // Why the file now in place at `target` is not what its save meant, for
    // the user; empty when it is.
    using Check = std::function<QString(const QString& target)>;

    // At most `maxWaiting` saves wait at once; handing in another waits for room.
    explicit Committer(size_t maxWaiting = 8);
    ~Committer();  // finishes every save handed in
    Committer(const Committer&) = delete;
    Committer& operator=(const Committer&) = delete;

    // Takes over a written temporary file that is to replace `target`.
    void hand(std::unique_ptr<Replacement> temp, const QString& target, Done done, Check check);
    // Returns once every save handed in so far has ended and been told.
    void finish();

private:
    struct Save {
        std::unique_ptr<Replacement> temp;
        QString target;
        Done done;
        Check check;
    };
    void run();

    const size_t maxWaiting_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Save> waiting_;
    bool busy_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

// Given to a save of an Extended Bitmap (writeSet) or a DDS texture
// (saveDds), a SetHandOff takes its first save to `target`: the file is
// written there and handed to the committer to finish and check.  Every other file, the sets written to the work
// folder for the texture tool among them, is written, flushed and in place
// before its writer returns.
class SetHandOff {
public:
    SetHandOff(Committer& committer, const QString& target, Committer::Done done);
    SetHandOff(const SetHandOff&) = delete;
    SetHandOff& operator=(const SetHandOff&) = delete;

    // Whether a save was handed on: its outcome then comes through `done`.
    bool handed() const { return handed_; }
    // Whether a save to `output` is to be handed on.
    bool takes(const QString& output) const;

    void hand(std::unique_ptr<Replacement> temp, const QString& target, Committer::Check check);

private:
    Committer& committer_;
    QString target_;  // absolute and clean
    Committer::Done done_;
    bool handed_ = false;
};

// Why the Extended Bitmap saved at `path` is not whole, for the user ("Cannot
// save NAME: ..."); empty when its header describes a set (8, 16, 24 or 32
// bits, a square level of 1 to 512) and the file holds exactly that set.
QString savedSetProblem(const QString& path);

}  // namespace corvane
