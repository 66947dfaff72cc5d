#include "cwa/cancel.hpp"

namespace cwa {

namespace {
// Per thread, so a call on one thread never answers for a call on another.
thread_local CancelHook installed_hook = nullptr;
}  // namespace

CancelScope::CancelScope(CancelHook hook) noexcept : previous_(installed_hook) { installed_hook = hook; }

CancelScope::~CancelScope() { installed_hook = previous_; }

Status check_cancelled() {
    if (installed_hook && installed_hook()) return fail(CwaError::cancelled());
    return {};
}

}  // namespace cwa
