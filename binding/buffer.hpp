#pragma once
// Buffer arguments and the buffers of result arrays: one dimension, the
// declared item, contiguous items.

#include "buffer_format.hpp"
#include "platform.hpp"

namespace cy {

// An argument buffer: None gives no buffer (held stays false); any other
// object must export a writable, C-contiguous, one-dimensional buffer of the
// declared item. Returns false with a Python exception set otherwise.
bool acquire_argument_buffer(PyObject* value, const ItemSpec& item, Py_buffer& view, bool& held);

// Checks an acquired buffer's dimension count and item; releases it and
// returns false with a ValueError set on a mismatch.
bool check_buffer_item(Py_buffer& view, const ItemSpec& item);

}  // namespace cy
