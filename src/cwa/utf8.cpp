#include "cwa/utf8.hpp"

namespace cwa {

namespace {

// Length of the valid sequence starting at `p`, or, when it is invalid, minus the length of
// its maximal subpart (at least one byte), so that replacement follows the Unicode practice.
long sequence_length(const std::uint8_t* p, std::size_t left) {
    const std::uint8_t lead = p[0];
    if (lead < 0x80) return 1;
    unsigned need;
    std::uint8_t low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return -1;
    }
    for (unsigned k = 1; k <= need; ++k) {
        if (k >= left) return -static_cast<long>(k);
        const std::uint8_t b = p[k];
        const std::uint8_t lo = k == 1 ? low : 0x80;
        const std::uint8_t hi = k == 1 ? high : 0xBF;
        if (b < lo || b > hi) return -static_cast<long>(k);
    }
    return static_cast<long>(need + 1);
}

}  // namespace

bool is_valid_utf8(const std::uint8_t* bytes, std::size_t length) {
    std::size_t i = 0;
    while (i < length) {
        const long n = sequence_length(bytes + i, length - i);
        if (n < 0) return false;
        i += static_cast<std::size_t>(n);
    }
    return true;
}

std::string decode_utf8_lossy(const std::uint8_t* bytes, std::size_t length) {
    std::string text;
    text.reserve(length);
    std::size_t i = 0;
    while (i < length) {
        const long n = sequence_length(bytes + i, length - i);
        if (n > 0) {
            text.append(reinterpret_cast<const char*>(bytes + i), static_cast<std::size_t>(n));
            i += static_cast<std::size_t>(n);
        } else {
            text.append("\xEF\xBF\xBD");
            i += static_cast<std::size_t>(-n);
        }
    }
    return text;
}

}  // namespace cwa
