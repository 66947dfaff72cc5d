// Reading a cut dictionary back into a CutConfig.
#pragma once

#include "python/ref.hpp"

#include "cwa/cut.hpp"

namespace kelpmoor {

// Reads the `cut` argument (nullptr or None for no cut) into a validated CutConfig.
// Returns false with the Python error set.
bool parse_cut_config(PyObject* cut, cwa::CutConfig& out);

}  // namespace kelpmoor
