// Stopping a long call early: long loops ask, whoever embeds the core answers.
#pragma once

#include <cerrno>
#include <cstdint>
#include <type_traits>
#include <utility>

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

// Runs a system call that reports an errno, again each time a signal interrupts it (EINTR),
// asking first whether the call should stop: a Ctrl-C during an open of a pipe with no writer,
// or during a read from it, ends the call instead of waiting on.
template <class SystemCall>
auto retry_unless_cancelled(SystemCall&& call) -> Result<typename std::invoke_result_t<SystemCall&>::value_type> {
    for (;;) {
        auto outcome = call();
        if (outcome) return std::move(*outcome);
        if (outcome.error() != EINTR) return fail(CwaError::io_from_errno(outcome.error()));
        CWA_CHECK(check_cancelled());
    }
}

}  // namespace cwa
