// Why a piece of the library's work failed, carried from where it failed
// to the C interface, which hands it to the caller (quorimg_last_error).
#pragma once

#include "quorimg.h"

#include <cstdint>
#include <string>
#include <utility>

namespace quor {

struct Failure {
    int32_t code = QUOR_OK;   // QUOR_ERROR_...
    int32_t systemError = 0;  // errno, where a file could not be read or written
    std::string text;         // for a person; never parsed
};

// Fills `why`, when there is one.  False, so that a failing step can
// `return failWith(...)`.
inline bool failWith(Failure* why, int32_t code, std::string text, int32_t systemError = 0) {
    if (why) *why = Failure{code, systemError, std::move(text)};
    return false;
}

}  // namespace quor
