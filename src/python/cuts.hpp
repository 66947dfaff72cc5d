// Reading a cut dictionary back into a CutConfig.
#pragma once

#include "python/ref.hpp"

#include "cwa/cut.hpp"

namespace kelpmoor {

// Reads the `cut` argument (nullptr or None for no cut) into a CutConfig, which planning the
// read validates. Returns false with the Python error set.
bool parse_cut_config(PyObject* cut, cwa::CutConfig& out);

}  // namespace kelpmoor
