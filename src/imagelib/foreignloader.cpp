// The foreign decoder as the shared library sees it: loaded from beside the
// library the first time a picture that is not a BMP is met.  A BMP, which
// our own codec reads, never loads ImageMagick at all.
#include "foreignmodule.h"

#include <atomic>
#include <mutex>
#include <string>

#include <dlfcn.h>

namespace quor {
namespace {

struct Loaded {
    const ForeignModule* module = nullptr;
    std::string problem;
};

// The folder of this library, where the module is installed beside it.
std::string ownFolder() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&ownFolder), &info) == 0 || !info.dli_fname) return {};
    const std::string self = info.dli_fname;
    const size_t slash = self.find_last_of('/');
    return slash == std::string::npos ? std::string() : self.substr(0, slash + 1);
}

// A time limit set before the module is loaded waits for it.
std::mutex limitMutex;
int64_t pendingTimeLimit = -1;
std::atomic<const ForeignModule*> ready{nullptr};

const Loaded& loaded() {
    static Loaded result;
    static std::once_flag once;
    std::call_once(once, [] {
        const char* const name = "libquorimg_magick.so";
        void* handle = dlopen((ownFolder() + name).c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) handle = dlopen(name, RTLD_NOW | RTLD_LOCAL);  // then the system's search order
        if (!handle) {
            const char* why = dlerror();
            result.problem = std::string("the decoder for other formats cannot be loaded: ") + (why ? why : name);
            return;
        }
        const auto entry = reinterpret_cast<const ForeignModule* (*)()>(dlsym(handle, QUOR_FOREIGN_MODULE_ENTRY));
        result.module = entry ? entry() : nullptr;
        if (!result.module) {
            result.problem = "the decoder for other formats is not complete";
            return;
        }
        std::lock_guard lock(limitMutex);
        if (pendingTimeLimit >= 0) result.module->setTimeLimit(pendingTimeLimit);
        ready = result.module;
    });
    return result;
}

}  // namespace

std::optional<Image> decodeForeign(const std::string& path, Failure* why) {
    const Loaded& l = loaded();
    if (!l.module) {
        failWith(why, QUOR_ERROR_DECODER, l.problem);
        return std::nullopt;
    }
    return l.module->decode(path, why);
}

bool canDecodeForeign(const std::string& path, Failure* why) {
    const Loaded& l = loaded();
    if (!l.module) return failWith(why, QUOR_ERROR_DECODER, l.problem);
    return l.module->canDecode(path, why);
}

bool pingForeign(const std::string& path, int32_t& width, int32_t& height, int32_t& bpp, Failure* why) {
    const Loaded& l = loaded();
    if (!l.module) return failWith(why, QUOR_ERROR_DECODER, l.problem);
    return l.module->ping(path, width, height, bpp, why);
}

void setForeignDecodeTimeLimit(int64_t milliseconds) {
    std::lock_guard lock(limitMutex);
    pendingTimeLimit = milliseconds;
    if (const ForeignModule* module = ready.load()) module->setTimeLimit(milliseconds);
}

std::string foreignLibraryVersion() {
    const Loaded& l = loaded();
    return l.module ? l.module->libraryVersion() : std::string();
}

std::string foreignModuleProblem() { return loaded().problem; }

std::string foreignModuleVersion() {
    const Loaded& l = loaded();
    return l.module ? l.module->version() : std::string();
}

}  // namespace quor
