// A stream's C-API face: what a Stream object keeps (its header and layouts as objects, the
// core's table beside them), and its calls: the walk over a buffer or a file, chunk by chunk,
// each layout's packets gathered and decoded into columns or joined into bytes. The walk and the
// numeric columns run without the interpreter lock, on memory no Python code can resize
// meanwhile: a buffer held through a view where the host pins it, or a private copy of each
// chunk where it does not. Python-aware.
#pragma once

#include "python.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/stream.hpp"
#include "layout/columns.hpp"
#include "layout/plan.hpp"
#include "py_ref.hpp"

namespace fieldpack::layout {

// One layout of a stream.
struct StreamLayout {
  PyRef layout;  // the Layout object, which keeps `plan` alive
  const Plan* plan = nullptr;
  PyRef key;             // the key as the result's dict has it: an int, or a tuple of ints
  std::string key_text;  // its repr, for notes and warnings
  ColumnSet columns;
  std::uint64_t need = 0;    // the bytes of a whole packet: the layout's size
  std::uint64_t stride = 1;  // what is gathered of each packet: `need`, at least one byte
};

// Everything a Stream object holds: every object strongly, the plans through their layouts.
struct StreamDefinition {
  PyRef header;
  const Plan* header_plan = nullptr;
  std::vector<StreamLayout> layouts;
  std::unique_ptr<core::StreamTable> table;
  // Per key field: whether its values are signed (the unknown keys' objects are made by it).
  std::vector<bool> signed_keys;
  // The arguments as the properties and pickling give them back.
  PyRef key;  // a str, or a tuple of str
  PyRef length;
  PyRef length_offset;
  PyRef size;
  PyRef sequence;
  PyRef sequence_modulus;
  PyRef tail;
  PyRef idle;  // a tuple of keys
  PyRef sync;  // a dict, or None
  PyRef unsegmented;
};

// What a call makes of each layout's packets.
enum class StreamOutput : std::uint8_t { columns, bytes };

struct StreamCall {
  std::string_view function;  // "Stream.unpack_file", for messages and notes
  StreamOutput output = StreamOutput::columns;
  bool numpy = false;
  bool offsets = false;
};

// The bytes of a file read at a time, unless the caller says otherwise.
inline constexpr std::uint64_t kStreamChunkBytes = 16 * 1024 * 1024;

// The stream of a C-contiguous buffer, into a StreamResult; nullptr with the error set.
PyObject* stream_buffer(const StreamDefinition& stream, PyObject* buffer, const StreamCall& call);

// The stream of a file (a path, or a binary file read from where it stands), `chunk_bytes` at a
// time; `progress` is None, True or a callable, told the bytes read.
PyObject* stream_file(const StreamDefinition& stream, PyObject* path_or_file,
                      const StreamCall& call, std::uint64_t chunk_bytes, PyObject* progress);

}  // namespace fieldpack::layout
