// The Windows side of the platform layer; the POSIX side compiles to nothing here.
#ifdef _WIN32
#include "cwa/platform/system_error.hpp"

#include <cstring>

namespace cwa::platform {

std::string describe_error(int code) {
    char buffer[256] = {};
    if (::strerror_s(buffer, sizeof buffer, code) != 0 || buffer[0] == '\0') {
        return "Unknown error " + std::to_string(code);
    }
    return buffer;
}

}  // namespace cwa::platform

#endif  // _WIN32
