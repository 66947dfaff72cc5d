// kelpmoor.PanicException, the exception of an internal fault, and how it crosses processes.
//
// The module is its six functions, so the class is no module attribute and pickle cannot find
// it by its name. An instance pickles instead as a call of `rebuild` in a companion module,
// "kelpmoor._faults", that initialisation places in sys.modules alone (never as an attribute
// of kelpmoor). A process that unpickles one without having imported kelpmoor imports it by
// that name: the import runs kelpmoor's initialisation, which registers the companion before
// the name is looked up. Multiprocessing and Dask thus hand the fault on as the same type.
#pragma once

#include "python/ref.hpp"

namespace kelpmoor {

// Creates the type and its companion module; once per process, at module initialisation.
// False with the Python error set.
bool create_panic_type();

// Raises kelpmoor.PanicException(message) and returns nullptr.
PyObject* raise_panic(const char* message);

}  // namespace kelpmoor
