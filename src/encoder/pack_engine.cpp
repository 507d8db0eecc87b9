// The recipe walks of pack_parameters: size the packet, then convert each value and run the
// field's step, which encodes it and places its bytes.
#include "encoder/pack_engine.hpp"

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "common/encodings.hpp"
#include "common/field_window.hpp"
#include "core/field_step.hpp"
#include "core/messages.hpp"
#include "host.hpp"
#include "recipe.hpp"
#include "values.hpp"

namespace fieldpack::encoder {

namespace {

// Up to N elements in place, more on the heap; only as many constructed as pushed.
template <class T, std::size_t N>
class SmallVector {
 public:
  SmallVector() = default;
  SmallVector(const SmallVector&) = delete;
  SmallVector& operator=(const SmallVector&) = delete;
  ~SmallVector() {
    for (std::size_t i = 0; i < size_; ++i) data_[i].~T();
  }
  void reserve(std::size_t count) {
    if (count > N) {
      heap_.reset(static_cast<T*>(::operator new(count * sizeof(T))));
      data_ = heap_.get();
    }
  }
  T& push(T&& value) { return *new (&data_[size_++]) T(std::move(value)); }
  T& operator[](std::size_t i) { return data_[i]; }

 private:
  struct Free {
    void operator()(T* p) const { ::operator delete(p); }
  };
  alignas(T) unsigned char inline_[N * sizeof(T)];
  std::unique_ptr<T, Free> heap_;
  T* data_ = reinterpret_cast<T*>(inline_);
  std::size_t size_ = 0;
};

// The values dictionary as it stands, read in one pass when every key is an exact str: looking a
// name up here runs no Python code, where a lookup in the dictionary may run the __eq__ of a key
// whose hash equals the name's. Borrowed, so valid only while no Python code has run.
class ValueIndex {
 public:
  // False (the index unusable) when the dictionary has another kind of key or is much larger
  // than the recipe, or the host reads a dict whole dearly, so that reading it whole would cost
  // more than the lookups.
  bool build(PyObject* values, Py_ssize_t field_count) {
    if constexpr (!host::kOnePassReadsAreCheap) return false;
    const Py_ssize_t size = PyDict_Size(values);
    if (size < 0 || size > 2 * field_count + 16) return false;
    std::size_t capacity = 8;
    while (capacity < 2 * static_cast<std::size_t>(size)) capacity *= 2;
    slots_.reserve(capacity);
    for (std::size_t i = 0; i < capacity; ++i) slots_.push(Slot{});
    mask_ = capacity - 1;
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(values, &position, &key, &value)) {
      if (!PyUnicode_CheckExact(key)) return false;
      const Py_hash_t hash = PyObject_Hash(key);  // an exact str's own hash: no Python code
      if (hash == -1) {
        PyErr_Clear();
        return false;
      }
      std::size_t at = static_cast<std::size_t>(hash) & mask_;
      while (slots_[at].key) at = (at + 1) & mask_;
      slots_[at] = Slot{key, hash, value};
    }
    return true;
  }

  // The value under an exact str, or nullptr when absent; false when the name's hash fails.
  bool find(PyObject* name, PyObject*& out) {
    const Py_hash_t hash = PyObject_Hash(name);
    if (hash == -1) return false;
    for (std::size_t at = static_cast<std::size_t>(hash) & mask_;; at = (at + 1) & mask_) {
      const Slot& slot = slots_[at];
      if (!slot.key) {
        out = nullptr;
        return true;
      }
      if (slot.key == name || (slot.hash == hash && same_text(slot.key, name))) {
        out = slot.value;
        return true;
      }
    }
  }

 private:
  struct Slot {
    PyObject* key = nullptr;
    Py_hash_t hash = 0;
    PyObject* value = nullptr;
  };
  SmallVector<Slot, 64> slots_;
  std::size_t mask_ = 0;
};

}  // namespace

PacketResult build_packet(const SequenceItems& entries, PyObject* values) {
  const Py_ssize_t count = entries.size();
  RecipeReader reader;

  // An entry read whole by the sizing walk, without running Python code, is not read again by
  // the placement walk as long as no Python code can have run since: then it still holds what
  // was read. Python code runs only in a keyed lookup (a key's __eq__), in a conversion of
  // anything but a built-in value, and from a finalizer when an object that can hold others is
  // allocated; none of these happen while `untouched` holds.
  SmallVector<FieldDefinition, 16> read_early;
  read_early.reserve(static_cast<std::size_t>(count));
  bool untouched = true;

  // Sizing walk: only "bits" and "offset_bits" may fail here, so every entry's extent is checked
  // before any entry's other keys. A field without an offset starts at the largest end so far.
  std::uint64_t largest_end = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    const auto index = static_cast<std::size_t>(i);
    FieldDefinition& early = read_early.push(FieldDefinition{});
    Extent extent;
    if (untouched && reader.read_if_plain(entries[i], early)) {
      extent = Extent{early.bits, early.has_offset, early.offset_bits};
    } else {
      early = FieldDefinition{};
      EngineResult<Extent> read = reader.read_extent(entries[i]);
      if (!read.ok()) {
        return FailureRecord(std::move(read.failure()), index,
                             readable_text(entries[i], RecipeKey::name));
      }
      extent = read.value();
      untouched = untouched && !reader.python_may_have_run();
    }
    const std::uint64_t start = extent.has_offset ? extent.offset_bits : largest_end;
    const std::uint64_t end = start + extent.bits;
    if (end > kLargestBitPosition) {
      const std::string name = entry_name(entries[i], index);
      const PyRef encoding = readable_text(entries[i], RecipeKey::encoding);
      return FailureRecord(core::position_out_of_range(name, end), index,
                           readable_text(entries[i], RecipeKey::name),
                           encoding ? text_of(encoding.get()) : TextView(), extent.bits, start);
    }
    if (end > largest_end) largest_end = end;
  }
  const std::uint64_t packet_size = (largest_end + 7) / 8;
  PyRef packet =
      PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(packet_size)));
  if (!packet) return FailureRecord(host_error());
  auto* bytes = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(packet.get()));
  std::memset(bytes, 0, static_cast<std::size_t>(packet_size));
  if (count == 0) return packet;

  // The index keeps lookups from running Python code while later entries' early reads are still
  // in use; a lone field has no later entries, and one keyed lookup costs less than the index.
  ValueIndex value_index;
  const bool indexed = untouched && count > 1 && value_index.build(values, count);

  // Placement walk: a field without an offset follows the previous field's end.
  core::NativeValue native;
  core::Encoded encoded;
  Failure failure;
  std::uint64_t cursor = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    const auto index = static_cast<std::size_t>(i);
    FieldDefinition& early = read_early[index];
    FieldDefinition field;
    if (untouched && early.name) {
      field = std::move(early);
    } else {
      EngineResult<FieldDefinition> read = reader.read(entries[i]);
      if (!read.ok()) {
        return FailureRecord(std::move(read.failure()), index,
                             readable_text(entries[i], RecipeKey::name));
      }
      field = std::move(read.value());
      untouched = untouched && !reader.python_may_have_run();
    }
    const std::uint64_t start = field.has_offset ? field.offset_bits : cursor;
    auto failed = [&](EngineError&& error) {
      return FailureRecord(std::move(error), index, PyRef::borrow(field.name.get()),
                           field.encoding_text(), field.bits, start);
    };
    const std::uint64_t end = start + field.bits;
    // Checked again: an entry read afresh may hold another width now.
    if (end > kLargestBitPosition) {
      return failed(core::position_out_of_range(field.name_text(), end));
    }

    PyRef made_key;
    PyObject* const key = field_key(field, made_key);
    if (!key) return failed(host_error());
    PyRef value;
    if (untouched && indexed) {
      PyObject* found = nullptr;
      if (!value_index.find(key, found)) return failed(host_error());
      value = PyRef::borrow(found);
    } else {
      untouched = false;
      if (!host::dict_lookup(values, key, value)) return failed(host_error());
    }
    if (!value) return failed(core::missing_value(field.name_text()));

    EngineResult<const EncodingRow*> row = reader.encoding(field);
    if (!row.ok()) return failed(std::move(row.failure()));
    // Packing knows no reserved format and no f128.
    if (!row.value() || !packable(*row.value())) {
      return failed(core::unsupported_encoding(field.encoding_text(), true));
    }
    // The byte order is judged once the value is encoded: the step is compiled for "big" first,
    // which encoding does not look at, and again for "little".
    core::FieldStep step =
        core::compile_step(*row.value(), field.bits, ByteOrder::big, field.reverse_bits);
    if (!convert_value(step.packed, value.get(), native)) return failed(host_error());
    if (!core::encode(step, native, encoded, failure)) return failed(std::move(failure));
    if (!converts_without_hooks(step.packed, value.get())) untouched = false;
    EngineResult<ByteOrder> order = reader.byte_order(field);
    if (!order.ok()) return failed(std::move(order.failure()));
    if (order.value() != ByteOrder::big) {
      step = core::compile_step(*row.value(), field.bits, order.value(), field.reverse_bits);
    }
    core::place(step, encoded, bytes, packet_size, start / 8);
    cursor = end;
  }
  return packet;
}

}  // namespace fieldpack::encoder
