// Stopping a long call early: long loops ask, whoever embeds the core answers.
#pragma once

#include <cstdint>

#include "cwa/error.hpp"

namespace cwa {

// True when the call should stop now; the hook records why (for Python, the pending exception
// a signal handler raised), so the core only has to unwind with the Cancelled error.
using CancelHook = bool (*)() noexcept;

// Installs `hook` for everything the current thread runs until the scope ends; scopes nest.
class CancelScope {
public:
    explicit CancelScope(CancelHook hook) noexcept;
    CancelScope(const CancelScope&) = delete;
    CancelScope& operator=(const CancelScope&) = delete;
    ~CancelScope();

private:
    CancelHook previous_;
};

// Asks the installed hook, if any: the Cancelled error when it says stop.
Status check_cancelled();

// Asks only every `period` ticks, so a per-block or per-row loop pays one decrement.
class CancelPoll {
public:
    explicit CancelPoll(std::uint32_t period) noexcept : period_(period), left_(period) {}
    Status tick() {
        if (--left_ != 0) return {};
        left_ = period_;
        return check_cancelled();
    }

private:
    std::uint32_t period_;
    std::uint32_t left_;
};

}  // namespace cwa
