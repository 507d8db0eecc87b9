// Turning the text codecs' results into host objects. Python-aware.
// Call these while the codec's input is still alive: the results view it.
#pragma once

#include "python.hpp"

#include "common/text.hpp"
#include "py_ref.hpp"

namespace fieldpack {

// A new str holding the decoded text; empty with the exception set (MemoryError) on failure.
PyRef make_object(DecodedText&& text);

// A new bytes object holding the encoded text; empty with the exception set on failure.
PyRef make_object(EncodedBytes&& bytes);

// The str's UTF-8 as a new bytes object, as encode_utf8 makes it; a str holding a surrogate
// fails with the host's own UnicodeEncodeError. Empty with the exception set on failure.
PyRef encode_utf8_object(PyObject* str);

}  // namespace fieldpack
