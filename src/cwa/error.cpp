#include "cwa/error.hpp"

#include "cwa/platform/system_error.hpp"

namespace cwa {

std::string CwaError::os_error_text(int code) {
    return platform::describe_error(code) + " (os error " + std::to_string(code) + ")";
}

std::string CwaError::display() const {
    if (kind_ == Kind::Io) return "IO error: " + text_;
    return text_;
}

}  // namespace cwa
