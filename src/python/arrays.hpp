// Column storage handed to NumPy without copying.
#pragma once

#include "python/ref.hpp"

#include <cstdint>

#include "cwa/column.hpp"

namespace kelpmoor {

// A one-dimensional, writeable array over the column's own memory. The storage moves into a
// capsule that is the array's base and frees it exactly once, when NumPy releases the array.
Ref column_to_array(cwa::Column<float>&& column);
Ref column_to_array(cwa::Column<std::int64_t>&& column);

}  // namespace kelpmoor
