// Packets into columns. The work goes block by block (a few dozen kilobytes of packets, read while
// they are in cache), and within a block field by field: numeric fields into typed memory, with
// no Python object touched, then text fields into their lists. Failures are kept aside with their
// packet and field, and the first of them in packet order, then field order, is the one raised:
// the one iter_unpack would meet first.
#include "layout/columns.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "common/bits.hpp"
#include "core/walks.hpp"
#include "decoder/codecs/decoder.hpp"
#include "host.hpp"
#include "values.hpp"

namespace fieldpack::layout {

namespace {

constexpr std::uint64_t kNoPacket = static_cast<std::uint64_t>(-1);
// Packets per block: about this many bytes of them, so that a block stays in cache while each
// of its fields is read.
constexpr std::uint64_t kBlockBytes = 64 * 1024;
// At most this many packets per block when numeric values become objects (they wait in scratch
// memory for the block's end), and when they go into arrays (the loop over a block is what a
// call costs; fewer, longer ones cost less).
constexpr std::uint64_t kMaxBlockPackets = 2048;
constexpr std::uint64_t kMaxArrayBlockPackets = 65536;
// Into arrays the blocks are larger, a second-level cache's worth: a block costs a few hundred
// instructions whatever its length.
constexpr std::uint64_t kArrayBlockBytes = 256 * 1024;
// Below this many numeric values, giving up the interpreter lock costs more than it frees.
constexpr std::uint64_t kUnlockedValues = 4096;

// ---------------------------------------------------------------------------------------------
// Text fields and objects, with the lock

// Text field `index`'s value in a packet, decoded from a private copy of the bytes it touches
// (`window`, `size` of them): the codecs may read their input more than once, and a buffer
// written by someone else meanwhile must not make two readings disagree. Empty with `failed` set.
PyRef text_value(const core::Plan& plan, std::size_t index, const std::uint8_t* window,
                 std::size_t size, std::optional<EngineError>& failed) {
  std::uint8_t small[128];
  std::vector<std::uint8_t> large;
  std::uint8_t* copy = size <= sizeof small ? small : (large.resize(size), large.data());
  if (size > 0) std::memcpy(copy, window, size);
  core::TextRoom room;
  core::FieldValue value;
  Failure failure;
  if (!core::decode_copy(plan, index, copy, room, value, failure)) {
    failed = EngineError{std::move(failure)};
    return PyRef();
  }
  PyRef object = make_value_object(plan.fields()[index].step.decoded, std::move(value));
  if (!object) failed = host_error();
  return object;
}

// Floats as the decoders widen them (in integer bits: a unit in default-NaN mode would replace a
// NaN's sign and payload).
template <class Element>
PyObject* element_object(Element value) {
  if constexpr (std::is_same_v<Element, core::Half>) {
    return PyFloat_FromDouble(decoder::decode_ieee754_f16(value.bits));
  } else if constexpr (std::is_same_v<Element, float>) {
    return PyFloat_FromDouble(decoder::decode_ieee754_f32(std::bit_cast<std::uint32_t>(value)));
  } else if constexpr (std::is_floating_point_v<Element>) {
    return PyFloat_FromDouble(value);
  } else if constexpr (std::is_signed_v<Element>) {
    return PyLong_FromLongLong(value);
  } else {
    return PyLong_FromUnsignedLongLong(value);
  }
}

// Items [at, at + n) of `list` from n elements of `type`; false with the host's error set.
bool fill_list(PyObject* list, std::uint64_t at, ColumnType type, const std::uint8_t* elements,
               std::uint64_t n) {
  bool done = true;
  core::with_element(type, [&](auto* element) {
    using Element = std::remove_pointer_t<decltype(element)>;
    const auto* values = reinterpret_cast<const Element*>(elements);
    for (std::uint64_t i = 0; i < n; ++i) {
      PyObject* object = element_object(values[i]);
      if (!object) {
        done = false;
        return;
      }
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(at + i), object);
    }
  });
  return done;
}

// The interpreter lock given up for the life of the guard (when asked), and taken back on the
// way out, exceptions included.
class Unlocked {
 public:
  explicit Unlocked(bool release) : state_(release ? PyEval_SaveThread() : nullptr) {}
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;
  ~Unlocked() {
    if (state_) PyEval_RestoreThread(state_);
  }

 private:
  PyThreadState* state_;
};

// The packets of a buffer, block by block. Where a view keeps the buffer from being resized, the
// buffer is read in place through a view held for the whole call, so blocks can be read without
// the lock. Where it does not, each block (bytes objects aside) is copied out of a fresh view,
// with the lock, and read from the copy.
class PacketSource {
 public:
  PacketSource(PyObject* object, std::uint64_t count, std::uint64_t stride)
      : object_(object), count_(count), stride_(stride) {}
  PacketSource(const PacketSource&) = delete;
  PacketSource& operator=(const PacketSource&) = delete;
  ~PacketSource() {
    if (held_) PyBuffer_Release(&view_);
  }

  // False with the host's error set.
  bool open() {
    if (PyBytes_CheckExact(object_)) {
      data_ = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object_));
      return check_size(static_cast<std::uint64_t>(PyBytes_GET_SIZE(object_)));
    }
    if (!acquire()) return false;
    if constexpr (!host::kViewsPinBuffers) {
      PyBuffer_Release(&view_);
      held_ = false;
      data_ = nullptr;
    }
    return true;
  }

  // Whether packets() may be called without the lock.
  bool in_place() const { return data_ != nullptr; }

  // Packets [first, first + n): valid until the next call; nullptr with the host's error set
  // when the buffer no longer holds them.
  const std::uint8_t* packets(std::uint64_t first, std::uint64_t n) {
    if (data_) return data_ + first * stride_;
    if (!acquire()) return nullptr;
    const std::uint64_t size = n * stride_;
    copy_.resize(static_cast<std::size_t>(size));
    if (size > 0) {
      std::memcpy(copy_.data(), static_cast<const std::uint8_t*>(view_.buf) + first * stride_,
                  static_cast<std::size_t>(size));
    }
    PyBuffer_Release(&view_);
    held_ = false;
    return copy_.data();
  }

 private:
  bool acquire() {
    if (PyObject_GetBuffer(object_, &view_, PyBUF_SIMPLE) < 0) return false;
    held_ = true;
    if (!PyBuffer_IsContiguous(&view_, 'C')) {
      PyErr_SetString(PyExc_BufferError, "the buffer is not C-contiguous");
      return false;
    }
    data_ = static_cast<const std::uint8_t*>(view_.buf);
    return check_size(static_cast<std::uint64_t>(view_.len));
  }

  bool check_size(std::uint64_t size) {
    if (size >= count_ * stride_) return true;
    PyErr_SetString(PyExc_BufferError, "the buffer was resized while its packets were decoded");
    return false;
  }

  PyObject* object_;
  std::uint64_t count_;
  std::uint64_t stride_;
  Py_buffer view_{};
  bool held_ = false;
  const std::uint8_t* data_ = nullptr;
  std::vector<std::uint8_t> copy_;
};

// The first failure met so far: packet, then field, in the order iter_unpack meets them.
struct FirstFailure {
  std::uint64_t packet = kNoPacket;
  std::optional<FailureRecord> record;

  // How many packets from 0 field `index` still has to look at: those before the failure, and
  // the failing packet itself for a field before the failing one.
  std::uint64_t limit(std::size_t index, std::uint64_t count) const {
    if (packet == kNoPacket) return count;
    return packet + (index < record->index ? 1 : 0);
  }
  void take(const Plan& plan, std::uint64_t at, std::size_t index, EngineError&& failure) {
    packet = at;
    record = plan.record(std::move(failure), index, plan.core().fields()[index].start_bit);
  }
};

// The column loops of one call.
class Decoder {
 public:
  Decoder(const ColumnSet& columns, PacketSource& source, std::uint64_t count, std::uint64_t stride,
          const std::vector<ColumnTarget>& targets, std::uint64_t at)
      : columns_(columns),
        plan_(columns.plan()),
        source_(source),
        count_(count),
        stride_(stride),
        targets_(targets),
        at_(at) {}

  bool run(const PacketOrigin& origin) {
    const std::size_t field_count = plan_.field_count();
    bool lists = true;  // whether numeric values become objects (no numpy array anywhere)
    std::size_t numeric = 0;
    std::size_t scratch_fields = 0;  // numeric fields that go to a list or nowhere
    for (std::size_t i = 0; i < field_count; ++i) {
      // The first field that fails in every packet fails in packet 0; from then on the limits
      // keep every loop off it and off the fields after it.
      if (count_ > 0 && first_.packet == kNoPacket) {
        if (auto failure = core::failure_in_every_packet(plan_.core(), i, stride_)) {
          first_.take(plan_, 0, i, std::move(*failure));
        }
      }
      if (columns_.field_type(i) == ColumnType::text) continue;
      ++numeric;
      const std::size_t column = columns_.column_of(i);
      if (column != ColumnSet::kNone && targets_[column].array) {
        lists = false;
      } else {
        ++scratch_fields;
      }
    }
    block_ = std::clamp<std::uint64_t>(
        (lists ? kBlockBytes : kArrayBlockBytes) / std::max<std::uint64_t>(stride_, 1), 1,
        lists ? kMaxBlockPackets : kMaxArrayBlockPackets);
    // A multiple of 64 packets where it can be: each block's elements then start where the
    // array's alignment holds, and a vector store never straddles two cache lines.
    if (block_ > 64) block_ &= ~std::uint64_t{63};
    // Room for one block of every numeric field that goes to a list or nowhere.
    scratch_.resize(static_cast<std::size_t>(block_ * scratch_fields * sizeof(std::uint64_t)));
    if (lists) {
      if (!blocks(true, true, false)) return false;
    } else {
      // Every numeric field first, where the source allows it without the lock throughout;
      // then the text fields.
      const bool unlock = count_ * numeric >= kUnlockedValues;
      if (!blocks(true, false, unlock) || !blocks(false, true, false)) return false;
    }
    if (!first_.record) return true;
    return raise_failure(origin);
  }

 private:
  // One pass over the blocks, numeric fields or text fields or both; numeric values that go to
  // lists become objects once the block is known to hold no earlier failure.
  bool blocks(bool numeric, bool text, bool unlock) {
    const bool whole = unlock && source_.in_place();
    Unlocked outer(whole);
    for (std::uint64_t first = 0; first < count_; first += block_) {
      if (first_.packet != kNoPacket && first > first_.packet) break;
      const std::uint64_t n = std::min(block_, count_ - first);
      // In place when the lock is given up throughout: then this calls nothing.
      const std::uint8_t* packets = source_.packets(first, n);
      if (!packets) return false;
      if (numeric) {
        Unlocked inner(unlock && !whole);
        numeric_block(packets, first, n);
      }
      if (text && !text_block(packets, first, n)) return false;
      if (numeric && text && first_.packet == kNoPacket && !objects_of_block(first, n)) {
        return false;
      }
    }
    return true;
  }

  // Without the lock when the caller gave it up: no Python object is touched here.
  void numeric_block(const std::uint8_t* packets, std::uint64_t first, std::uint64_t n) {
    std::size_t slot = 0;
    for (std::size_t i = 0; i < plan_.field_count(); ++i) {
      const ColumnType type = columns_.field_type(i);
      if (type == ColumnType::text) continue;
      // An array's own memory, or the field's room in the scratch memory (in lists mode every
      // numeric field has one, in the order objects_of_block reads them).
      std::uint8_t* out = nullptr;
      const std::size_t column = columns_.column_of(i);
      if (column != ColumnSet::kNone && targets_[column].array) {
        out = targets_[column].array + first * element_size(type);
      } else {
        out = scratch_.data() + block_ * sizeof(std::uint64_t) * slot++;
      }
      const std::uint64_t limit = first_.limit(i, count_);
      if (limit <= first) continue;
      const std::uint64_t m = std::min(n, limit - first);
      Failure failure;
      const std::uint64_t done =
          core::decode_column(plan_.core(), i, packets, stride_, m, out, failure);
      if (done < m) first_.take(plan_, first + done, i, EngineError{std::move(failure)});
    }
  }

  bool text_block(const std::uint8_t* packets, std::uint64_t first, std::uint64_t n) {
    for (std::size_t i = 0; i < plan_.field_count(); ++i) {
      if (columns_.field_type(i) != ColumnType::text) continue;
      const core::Placement placed = plan_.core().placement(i, plan_.core().fields()[i].start_bit);
      const std::size_t column = columns_.column_of(i);
      PyObject* list = column == ColumnSet::kNone ? nullptr : targets_[column].list;
      const std::uint64_t limit = std::min(first + n, first_.limit(i, count_));
      const std::uint8_t* window = packets + placed.first_byte;
      for (std::uint64_t p = first; p < limit; ++p, window += stride_) {
        std::optional<EngineError> failed;
        PyRef value = text_value(plan_.core(), i, window,
                                 static_cast<std::size_t>(placed.byte_count), failed);
        if (!value) {
          first_.take(plan_, p, i, std::move(*failed));
          break;
        }
        // Without a list, a later field of the same name has the column.
        if (list) PyList_SET_ITEM(list, static_cast<Py_ssize_t>(at_ + p), value.release());
      }
    }
    return true;
  }

  bool objects_of_block(std::uint64_t first, std::uint64_t n) {
    std::size_t slot = 0;
    for (std::size_t i = 0; i < plan_.field_count(); ++i) {
      const ColumnType type = columns_.field_type(i);
      if (type == ColumnType::text) continue;
      const std::uint8_t* values = scratch_.data() + block_ * sizeof(std::uint64_t) * slot++;
      const std::size_t column = columns_.column_of(i);
      if (column == ColumnSet::kNone) continue;
      if (!fill_list(targets_[column].list, at_ + first, type, values, n)) return false;
    }
    return true;
  }

  bool raise_failure(const PacketOrigin& origin) {
    const std::uint64_t packet = origin.first_packet + first_.packet;
    if (origin.starts) {
      const std::uint64_t start = origin.starts[first_.packet];
      first_.record->packet = stream_packet_note(origin.function, origin.key, packet, start);
      if (origin.failed_at) *origin.failed_at = start;
    } else {
      const std::uint64_t start = origin.first_byte + first_.packet * stride_;
      first_.record->packet = packet_note(origin.function, packet, start);
      if (origin.failed_at) *origin.failed_at = start;
    }
    raise_record(*first_.record, kLayoutWrapping);
    return false;
  }

  const ColumnSet& columns_;
  const Plan& plan_;
  PacketSource& source_;
  std::uint64_t count_;
  std::uint64_t stride_;
  const std::vector<ColumnTarget>& targets_;
  std::uint64_t at_;
  std::uint64_t block_ = 1;  // packets per block, set by run()
  std::vector<std::uint8_t> scratch_;
  FirstFailure first_;
};

}  // namespace

const char* dtype_name(ColumnType type) {
  switch (type) {
    case ColumnType::u8:
      return "uint8";
    case ColumnType::u16:
      return "uint16";
    case ColumnType::u32:
      return "uint32";
    case ColumnType::u64:
      return "uint64";
    case ColumnType::i8:
      return "int8";
    case ColumnType::i16:
      return "int16";
    case ColumnType::i32:
      return "int32";
    case ColumnType::i64:
      return "int64";
    case ColumnType::f16:
      return "float16";
    case ColumnType::f32:
      return "float32";
    case ColumnType::f64:
      return "float64";
    case ColumnType::text:
      break;
  }
  return nullptr;
}

std::size_t element_size(ColumnType type) {
  std::size_t size = 0;
  core::with_element(type, [&](auto* element) { size = sizeof *element; });
  return size;
}

bool ColumnSet::build(const Plan& plan) {
  plan_ = &plan;
  const std::size_t count = plan.field_count();
  columns_.clear();
  column_of_.assign(count, kNone);
  types_.resize(count);
  // Names are plain strs: looking them up runs no Python code.
  PyRef seen = PyRef::steal(PyDict_New());
  if (!seen) return false;
  std::vector<std::size_t> column_of_name(count);
  for (std::size_t i = 0; i < count; ++i) {
    types_[i] = plan.core().fields()[i].step.column_type;
    PyObject* const key = plan.key(i);
    PyObject* found = PyDict_GetItemWithError(seen.get(), key);
    if (!found && PyErr_Occurred()) return false;
    std::size_t column = 0;
    if (found) {
      column = static_cast<std::size_t>(PyLong_AsSsize_t(found));
    } else {
      column = columns_.size();
      columns_.push_back(i);
      PyRef number = PyRef::steal(PyLong_FromSize_t(column));
      if (!number || PyDict_SetItem(seen.get(), key, number.get()) < 0) return false;
    }
    columns_[column] = i;  // the last field of the name
    column_of_name[i] = column;
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (columns_[column_of_name[i]] == i) column_of_[i] = column_of_name[i];
  }
  return true;
}

std::string packet_note(std::string_view function, std::uint64_t packet, std::uint64_t first_byte) {
  std::string note = "packet ";
  append_decimal(note, packet);
  note += " of ";
  note += function;
  note += ", at byte ";
  append_decimal(note, first_byte);
  return note;
}

std::string stream_packet_note(std::string_view function, std::string_view key,
                               std::uint64_t packet, std::uint64_t first_byte) {
  std::string note = "packet ";
  append_decimal(note, packet);
  note += " of key ";
  note += key;
  note += " in ";
  note += function;
  note += ", at byte ";
  append_decimal(note, first_byte);
  return note;
}

bool decode_columns(const ColumnSet& columns, PyObject* buffer, std::uint64_t count,
                    std::uint64_t stride, const std::vector<ColumnTarget>& targets,
                    std::uint64_t at, const PacketOrigin& origin) {
  PacketSource source(buffer, count, stride);
  if (!source.open()) return false;
  Decoder decoder(columns, source, count, stride, targets, at);
  return decoder.run(origin);
}

PyRef new_array(PyObject* numpy, ColumnType type, std::uint64_t count) {
  return PyRef::steal(PyObject_CallMethod(numpy, "empty", "(ns)", static_cast<Py_ssize_t>(count),
                                          dtype_name(type)));
}

bool ArrayMemory::acquire(PyObject* array, std::uint64_t bytes) {
  release();
  if (PyObject_GetBuffer(array, &view_, PyBUF_WRITABLE) < 0) return false;
  held_ = true;
  if (!PyBuffer_IsContiguous(&view_, 'C') || static_cast<std::uint64_t>(view_.len) < bytes) {
    PyErr_SetString(PyExc_BufferError, "numpy.empty gave no array of the size asked for");
    return false;
  }
  return true;
}

void ArrayMemory::release() {
  if (held_) {
    held_ = false;
    PyBuffer_Release(&view_);
  }
}

PyObject* unpack_columns(const Plan& plan, PyObject* buffer, std::uint64_t count,
                         std::uint64_t stride, bool numpy) {
  ColumnSet columns;
  if (!columns.build(plan)) return nullptr;
  PyRef numpy_module;
  if (numpy) {
    numpy_module = PyRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy_module) return nullptr;
  }
  ColumnOutputs outputs;
  if (!outputs.make(columns, numpy_module.get(), count)) return nullptr;
  if (!decode_columns(columns, buffer, count, stride, outputs.targets, 0,
                      {"unpack_columns", 0, 0})) {
    return nullptr;
  }
  outputs.release_memory();
  PyRef result = PyRef::steal(PyDict_New());
  if (!result) return nullptr;
  for (std::size_t c = 0; c < columns.size(); ++c) {
    if (PyDict_SetItem(result.get(), columns.key(c), outputs.objects[c].get()) < 0) {
      return nullptr;
    }
  }
  return result.release();
}

bool ColumnOutputs::make(const ColumnSet& columns, PyObject* numpy, std::uint64_t count) {
  const std::size_t column_count = columns.size();
  objects = std::vector<PyRef>(column_count);
  memories = std::vector<ArrayMemory>(column_count);
  targets = std::vector<ColumnTarget>(column_count);
  for (std::size_t c = 0; c < column_count; ++c) {
    const ColumnType type = columns.type(c);
    if (numpy && type != ColumnType::text) {
      objects[c] = new_array(numpy, type, count);
      if (!objects[c] || !memories[c].acquire(objects[c].get(), count * element_size(type))) {
        return false;
      }
      targets[c].array = memories[c].data();
    } else {
      objects[c] = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
      if (!objects[c]) return false;
      targets[c].list = objects[c].get();
    }
  }
  return true;
}

}  // namespace fieldpack::layout
