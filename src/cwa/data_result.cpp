#include "cwa/data_result.hpp"

#include <math.h>

namespace cwa {

// A table of the 1024 readings, built once with the C library's powf: a block's light changes
// almost every block, and the power function cost more than the rest of the block's auxiliary
// values together.
float light_value(unsigned raw) {
    static const auto table = [] {
        // Called through a volatile pointer so that the library's powf fills the table at run
        // time: a compiler that folds constant calls rounds some entries differently.
        float (*volatile power)(float, float) = ::powf;
        std::array<float, 1024> values{};
        for (unsigned r = 0; r < values.size(); ++r) values[r] = power(10.0f, static_cast<float>(r) / 341.0f);
        return values;
    }();
    return table[raw];
}

}  // namespace cwa
