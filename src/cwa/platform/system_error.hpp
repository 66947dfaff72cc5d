// The system's own words for an error code.
#pragma once

#include <string>

namespace cwa::platform {

// The description the C library gives for an errno-style code ("No such file or directory").
std::string describe_error(int code);

}  // namespace cwa::platform
