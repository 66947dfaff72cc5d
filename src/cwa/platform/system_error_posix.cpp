// The POSIX side of the platform layer; the Windows side compiles to nothing here.
#ifndef _WIN32
#include "cwa/platform/system_error.hpp"

#include <cstring>

namespace cwa::platform {

namespace {

// Two strerror_r exist: the XSI one returns 0 and fills the buffer, the GNU one (glibc with
// _GNU_SOURCE, which C++ compilers define) returns the text, possibly a static string. The
// overload that matches the declared return type picks the text out of either.
[[maybe_unused]] const char* text_of(int result, const char* buffer) { return result == 0 ? buffer : nullptr; }
[[maybe_unused]] const char* text_of(const char* result, const char*) { return result; }

}  // namespace

std::string describe_error(int code) {
    char buffer[256] = {};
    const char* text = text_of(::strerror_r(code, buffer, sizeof buffer), buffer);
    if (text == nullptr || *text == '\0') return "Unknown error " + std::to_string(code);
    return text;
}

}  // namespace cwa::platform

#endif  // _WIN32
