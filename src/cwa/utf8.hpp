// UTF-8 checks for header letters and the lossy decoding of free-text fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace cwa {

bool is_valid_utf8(const std::uint8_t* bytes, std::size_t length);

// Valid sequences are kept; each maximal invalid subpart becomes one U+FFFD.
std::string decode_utf8_lossy(const std::uint8_t* bytes, std::size_t length);

}  // namespace cwa
