// Cuts: a span of seconds from the first sample, or a range of data blocks.
#pragma once

#include <cstddef>
#include <optional>
#include <variant>

#include "cwa/error.hpp"

namespace cwa {

struct SecondsCut {
    std::optional<double> start;
    std::optional<double> end;
};
struct WholeFileCut {};
struct BlocksCut {
    std::optional<std::size_t> start;
    std::optional<std::size_t> end;
};

struct CutConfig {
    std::variant<SecondsCut, WholeFileCut, BlocksCut> kind;

    Status validate() const;
};

}  // namespace cwa
