// Turning the text codecs' results into host objects. Python-aware: include "python.hpp" first.
// Call these while the codec's input is still alive: the results view it.
#pragma once

#include "python.hpp"

#include "text.hpp"

namespace fieldpack {

// A new str holding the decoded text, or nullptr with the exception set (MemoryError).
PyObject* to_python(DecodedText&& text);

// A new bytes object holding the encoded text, or nullptr with the exception set (MemoryError).
PyObject* to_python(EncodedBytes&& bytes);

// The encoded bytes as one buffer, valid while `bytes` lives; writes them into bytes.storage
// unless they are the text itself. Throws std::bad_alloc when they do not fit in memory.
ByteSpan as_bytes(const EncodedBytes& bytes);

}  // namespace fieldpack
