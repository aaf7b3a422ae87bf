// The program: lines of batches (and --help) run here on Qt Core alone; the
// window, and every command that drives it, live in a library loaded only
// when the line needs them.
#include "commandcore.h"

#include <QByteArray>
#include <QDir>
#include <QFileInfo>
#include <QLibrary>
#include <QTextStream>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#if defined(__GLIBC__)
#  include <malloc.h>
#  include <sys/mman.h>
#endif

namespace {

// Every picture the program handles is a few megabytes, allocated and freed
// again for each level it touches.  Kept in the heap rather than mapped
// afresh each time, that memory costs no page faults and no clearing by the
// kernel on every reuse.  The heap is grown once, ahead, and marked for large
// pages, so that even its first use faults once per two megabytes instead of
// once per page; and every thread shares it, so a batch worker's pictures
// land there too rather than in a fresh arena of its own.
void keepPicturesInTheHeap() {
#if defined(__GLIBC__)
    constexpr size_t kMapped = size_t(64) << 20;  // below this, pictures come from the heap
    mallopt(M_MMAP_THRESHOLD, int(kMapped));
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    mallopt(M_ARENA_MAX, 1);
#  if defined(MADV_HUGEPAGE)
    constexpr size_t kAhead = size_t(48) << 20;
    constexpr uintptr_t kLarge = uintptr_t(2) << 20;
    char* const block = static_cast<char*>(std::malloc(kAhead));
    if (!block) return;
    const uintptr_t from = (uintptr_t(block) + kLarge - 1) & ~(kLarge - 1);
    const uintptr_t to = (uintptr_t(block) + kAhead) & ~(kLarge - 1);
    if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
    std::free(block);  // stays in the heap, below the trim threshold
    // The heap up to the first large page can only have small ones, and the
    // pictures would land there first, a fault per page.  That stretch is
    // set aside, never touched, so they start on a large page.  A block
    // served from elsewhere is given back: the heap is then used as it is.
    if (from > uintptr_t(block)) {
        void* const head = std::malloc(from - uintptr_t(block) - sizeof(size_t));
        if (head != block) std::free(head);
    }
#  endif
#endif
}

// The folder the program runs from, where its libraries are.
QString programFolder(const char* argv0) {
    const QFileInfo self(QStringLiteral("/proc/self/exe"));
    if (self.exists()) return QFileInfo(self.symLinkTarget()).absolutePath();
    return QFileInfo(QFile::decodeName(argv0)).absolutePath();
}

int runWindow(int argc, char** argv) {
    QLibrary module(QDir(programFolder(argv[0])).filePath(QStringLiteral("corvane_window")));
    if (!module.load()) {
        // Then the system's search order.
        module.setFileName(QStringLiteral("corvane_window"));
        module.load();
    }
    using Entry = int (*)(int, char**);
    const auto entry = reinterpret_cast<Entry>(module.resolve("corvane_window_main"));
    if (!entry) {
        std::fprintf(stderr, "corvane: cannot load the window library: %s\n",
                     module.errorString().toLocal8Bit().constData());
        return corvane::ExitFailed;
    }
    return entry(argc, argv);  // the library stays loaded until the program ends
}

}  // namespace

int main(int argc, char** argv) {
    keepPicturesInTheHeap();
    if (argc > 1) {
        QStringList args;
        for (int i = 1; i < argc; ++i) args.append(QString::fromLocal8Bit(argv[i]));
        QTextStream out(stdout);
        QTextStream err(stderr);
        if (const std::optional<int> done = corvane::runWithoutWindow(args, out, err)) return *done;
    }
    return runWindow(argc, argv);
}

