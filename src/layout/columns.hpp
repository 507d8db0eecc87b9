// Many packets into columns: one column per field name, lists of values or numpy arrays, decoded
// field by field over blocks of packets. The numeric fields are decoded without touching Python
// objects, so with numpy arrays the work runs without the interpreter lock. Python-aware.
#pragma once

#include "python.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/field_step.hpp"
#include "engine_result.hpp"
#include "layout/plan.hpp"
#include "py_ref.hpp"

namespace fieldpack::layout {

// A column's elements follow from the field's encoding and width alone, never from the data
// (core::ColumnType); text columns are lists of str whatever the mode.
using core::ColumnType;

// The numpy dtype of a numeric column ("uint16"); nullptr for text.
const char* dtype_name(ColumnType type);
std::size_t element_size(ColumnType type);

// The columns of a plan: one per distinct field name, in the order of the names' first
// appearance (the order of unpack's dicts), each holding the values of the last field of that
// name, as unpack keeps the later value.
class ColumnSet {
 public:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  // False with the host's error set.
  bool build(const Plan& plan);

  std::size_t size() const { return columns_.size(); }
  // The column's name, a plain str owned by the plan.
  PyObject* key(std::size_t column) const { return plan_->key(columns_[column]); }
  ColumnType type(std::size_t column) const { return types_[columns_[column]]; }
  // The column field `index` fills; kNone when a later field of its name fills it instead.
  std::size_t column_of(std::size_t index) const { return column_of_[index]; }
  ColumnType field_type(std::size_t index) const { return types_[index]; }
  const Plan& plan() const { return *plan_; }

 private:
  const Plan* plan_ = nullptr;
  std::vector<std::size_t> columns_;    // per column: the field that fills it
  std::vector<std::size_t> column_of_;  // per field
  std::vector<ColumnType> types_;       // per field
};

// Where the packets of one call go, per column: a list with empty items [at, at + count) to fill
// (every text column, and every column without numpy), or the memory of a numpy array from
// element `at` on.
struct ColumnTarget {
  PyObject* list = nullptr;       // borrowed
  std::uint8_t* array = nullptr;  // element `at` of the array's own memory
};

// What a failure's note says of the packet: "packet 7 of unpack_file, at byte 546", counted
// over the whole of what the caller decodes.
struct PacketOrigin {
  std::string_view function;
  std::uint64_t first_packet = 0;  // the index of this call's packet 0
  std::uint64_t first_byte = 0;    // where this call's packet 0 starts
  // Packets gathered from a stream: where each of this call's packets starts in it, and the
  // key they share, for the note "packet 7 of key 100 in Stream.unpack_file, at byte 546".
  const std::uint64_t* starts = nullptr;
  std::string_view key = {};
  // Where the failing packet starts (in the stream, or counted from first_byte), when a packet
  // failed; untouched when the call failed otherwise.
  std::uint64_t* failed_at = nullptr;
};

// Decodes the `count` packets of `stride` bytes at the start of `buffer` (a C-contiguous buffer
// holding at least count * stride bytes) into the targets, from item or element `at` on. Values
// are those iter_unpack gives packet by packet. When a packet fails, raises what iter_unpack
// would raise first (packet by packet, field by field), with the notes of the field and of the
// packet, and returns false; the targets then hold unspecified values (lists may keep empty
// items). The buffer is held through its buffer protocol while it is read.
bool decode_columns(const ColumnSet& columns, PyObject* buffer, std::uint64_t count,
                    std::uint64_t stride, const std::vector<ColumnTarget>& targets,
                    std::uint64_t at, const PacketOrigin& origin);

// The note of a failure in one of many packets: "packet 7 of unpack_file, at byte 546".
std::string packet_note(std::string_view function, std::uint64_t packet, std::uint64_t first_byte);
// The same of a packet of a stream's key: "packet 7 of key 100 in Stream.unpack_file, at byte
// 546", the packet counted among those of its key.
std::string stream_packet_note(std::string_view function, std::string_view key,
                               std::uint64_t packet, std::uint64_t first_byte);

// A new numpy array of `count` elements of a numeric column's type (numpy.empty).
PyRef new_array(PyObject* numpy, ColumnType type, std::uint64_t count);

// A writable view of a numpy array's memory, held until released.
class ArrayMemory {
 public:
  ArrayMemory() = default;
  ArrayMemory(const ArrayMemory&) = delete;
  ArrayMemory& operator=(const ArrayMemory&) = delete;
  ~ArrayMemory() { release(); }

  // A view of at least `bytes` bytes of contiguous memory; false with the host's error set
  // (numpy.empty replaced by something else gives no such memory).
  bool acquire(PyObject* array, std::uint64_t bytes);
  std::uint8_t* data() const { return static_cast<std::uint8_t*>(view_.buf); }
  void release();

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// The columns one decode fills, one per column of a set: a numpy array for each numeric column
// when numpy is given (its memory held until released), else a list.
struct ColumnOutputs {
  std::vector<PyRef> objects;
  std::vector<ArrayMemory> memories;
  std::vector<ColumnTarget> targets;

  // Columns of `count` elements; false with the host's error set.
  bool make(const ColumnSet& columns, PyObject* numpy, std::uint64_t count);
  void release_memory() {
    for (ArrayMemory& memory : memories) memory.release();
  }
};

// Layout.unpack_file: the packets of a file (a path, or a binary file read from where it stands)
// decoded `chunk_packets` at a time; `progress` is None, True or a callable.
PyObject* unpack_file(const Plan& plan, PyObject* path_or_file, std::uint64_t stride, bool numpy,
                      std::uint64_t chunk_packets, PyObject* progress);

// Layout.unpack_columns for a buffer of `count` packets of `stride` bytes.
PyObject* unpack_columns(const Plan& plan, PyObject* buffer, std::uint64_t count,
                         std::uint64_t stride, bool numpy);

}  // namespace fieldpack::layout
