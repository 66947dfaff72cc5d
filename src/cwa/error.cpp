#include "cwa/error.hpp"

#include <cstring>

namespace cwa {

std::string CwaError::os_error_text(int code) {
    char buffer[256];
    // The GNU strerror_r may return a static string instead of filling the buffer.
    const char* text = strerror_r(code, buffer, sizeof buffer);
    return std::string(text) + " (os error " + std::to_string(code) + ")";
}

std::string CwaError::display() const {
    if (kind_ == Kind::Io) return "IO error: " + text_;
    return text_;
}

}  // namespace cwa
