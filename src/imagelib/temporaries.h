// Temporary files written beside a destination before they are renamed over
// it.  Every writer of ours names them alike,
//
//     .corvane-<process id>-<start of the destination's name>-<six letters or digits>
//
// so that the name stays far below the file system's 255-byte limit however
// long the destination's is, and the files of a run that was killed can be
// told from those of a writer still at work.  Header only: the image library,
// the texture tool and the program's saves each build their names here.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#if defined(_WIN32)
#include <process.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace quor::temporaries {

inline constexpr std::string_view kPrefix = ".corvane-";
// The most of the destination's name a temporary name carries, in bytes.
inline constexpr size_t kNameBytes = 64;
// The letters or digits that make each name unique.
inline constexpr size_t kUniqueChars = 6;

inline long thisProcess() {
#if defined(_WIN32)
    return long(_getpid());
#else
    return long(::getpid());
#endif
}

// ".corvane-<pid>-<start of leaf>-": a temporary name but for its unique
// part.  The leaf is cut before a UTF-8 character that would cross the limit.
inline std::string leadFor(std::string_view leaf, long pid = thisProcess()) {
    size_t keep = std::min(leaf.size(), kNameBytes);
    while (keep > 0 && keep < leaf.size() && (uint8_t(leaf[keep]) & 0xC0) == 0x80) --keep;
    if (keep == 0) keep = std::min(leaf.size(), kNameBytes);  // not UTF-8: cut where it falls
    std::string lead(kPrefix);
    lead += std::to_string(pid);
    lead += '-';
    lead += leaf.substr(0, keep);
    lead += '-';
    return lead;
}

// Whether `leaf` is exactly such a name; `pid` is then its writer's.
inline bool isTemporaryName(std::string_view leaf, long& pid) {
    if (leaf.substr(0, kPrefix.size()) != kPrefix) return false;
    leaf.remove_prefix(kPrefix.size());
    size_t digits = 0;
    long value = 0;
    while (digits < leaf.size() && leaf[digits] >= '0' && leaf[digits] <= '9') {
        if (digits == 9 || (digits == 0 && leaf[0] == '0')) return false;  // no process id is that long
        value = value * 10 + (leaf[digits] - '0');
        ++digits;
    }
    if (digits == 0 || digits == leaf.size() || leaf[digits] != '-') return false;
    leaf.remove_prefix(digits + 1);
    if (leaf.size() < kUniqueChars + 1 || leaf.size() > kNameBytes + 1 + kUniqueChars) return false;
    if (leaf[leaf.size() - kUniqueChars - 1] != '-') return false;
    for (char c : leaf.substr(leaf.size() - kUniqueChars))
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
    pid = value;
    return true;
}

// Removes from `folder` the temporary files whose writer has gone: regular
// files of ours, owned by this user, named exactly as above for a process
// that no longer runs.  Links, folders, other users' files and the files of
// any process still running are left alone.  Returns how many went.
inline int removeLeftovers(const std::string& folder) {
#if defined(_WIN32)
    (void)folder;
    return 0;
#else
    const int dirFd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) return 0;
    DIR* dir = ::fdopendir(dirFd);
    if (!dir) {
        ::close(dirFd);
        return 0;
    }
    const long self = thisProcess();
    const uid_t user = ::geteuid();
    int removed = 0;
    while (const dirent* entry = ::readdir(dir)) {
        long pid = 0;
        if (!isTemporaryName(entry->d_name, pid) || pid == self) continue;
        // EPERM: a process of another user; anything else but ESRCH: cannot tell.
        if (::kill(pid_t(pid), 0) == 0 || errno != ESRCH) continue;
        struct stat st {};
        if (::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) || st.st_uid != user)
            continue;
        if (::unlinkat(dirFd, entry->d_name, 0) == 0) ++removed;
    }
    ::closedir(dir);
    return removed;
#endif
}

}  // namespace quor::temporaries
