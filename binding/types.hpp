#pragma once
// Readies the module's static types in declaration order and binds them.

#include "platform.hpp"

namespace cy {

// Steps of the execution step: ready and bind every type with its pickling
// refusal, then (after NumPy is loaded) put the declared methods into the
// namespaces of their defining types.
bool ready_types(PyObject* module);
bool install_methods();

}  // namespace cy
