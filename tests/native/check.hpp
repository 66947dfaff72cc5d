// The tally every check program keeps: each comparison passes or fails, a failure prints one
// line starting "FAIL ", and the program ends with "<name>: N passed, N failed" and exit status
// 1 when anything failed. A broken kernel fails by the million, so only the first failures of
// a run are printed; all of them are counted.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>

#if defined(__GNUC__) && !defined(_WIN32)
#define KELPMOOR_CHECK_PRINTF(string_index, first_to_check) __attribute__((format(printf, string_index, first_to_check)))
#else
#define KELPMOOR_CHECK_PRINTF(string_index, first_to_check)
#endif

namespace check {

struct Tally {
    std::uint64_t passed = 0;
    std::uint64_t failed = 0;
};

inline Tally tally;
inline constexpr std::uint64_t printed_failures = 20;

inline void record_failure(const char* format, std::va_list args) {
    if (++tally.failed > printed_failures) return;
    std::fputs("FAIL ", stdout);
    std::vprintf(format, args);
    std::fputc('\n', stdout);
}

// Counts one comparison; on failure prints the message (printf-style, no newline needed).
KELPMOOR_CHECK_PRINTF(2, 3) inline bool expect(bool ok, const char* format, ...) {
    if (ok) {
        ++tally.passed;
        return true;
    }
    std::va_list args;
    va_start(args, format);
    record_failure(format, args);
    va_end(args);
    return false;
}

// Counts one failed comparison and prints why.
KELPMOOR_CHECK_PRINTF(1, 2) inline void fail(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    record_failure(format, args);
    va_end(args);
}

// Counts one passed comparison.
inline void pass() { ++tally.passed; }

// The last line of a check program and its exit status.
inline int summary(const char* name) {
    std::printf("%s: %llu passed, %llu failed\n", name, static_cast<unsigned long long>(tally.passed),
                static_cast<unsigned long long>(tally.failed));
    return tally.failed == 0 ? 0 : 1;
}

}  // namespace check
