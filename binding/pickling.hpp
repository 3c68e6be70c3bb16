#pragma once
// No object of the module can be pickled or copied: every type gets its own
// __reduce__ and __setstate__, which raise TypeError with the type's message.

#include "platform.hpp"

namespace cy {

bool install_pickling_refusal(PyTypeObject* type, int row_index);

}  // namespace cy
