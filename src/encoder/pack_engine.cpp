// The recipe walks of pack_parameters: size the packet, then convert each value and run the
// field's step, which encodes it and places its bytes.
#include "encoder/pack_engine.hpp"

#include <cstring>
#include <memory>
#include <new>
#include <optional>
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

// The state both walks share. An entry read whole by the sizing walk, without running Python
// code, is not read again by the placement walk as long as no Python code can have run since:
// then it still holds what was read. Python code runs only in a keyed lookup (a key's __eq__), in
// a conversion of anything but a built-in value, and from a finalizer when an object that can
// hold others is allocated; none of these happen while `untouched` holds.
class PackWalks {
 public:
  explicit PackWalks(const SequenceItems& entries) : entries_(entries) {
    read_early_.reserve(static_cast<std::size_t>(entries.size()));
  }

  // Sizing walk: only "bits" and "offset_bits" may fail here, so every entry's extent is checked
  // before any entry's other keys. A field without an offset starts at the largest end so far.
  // The packet's length in bytes, or the first failure.
  Result<std::uint64_t, FailureRecord> size() {
    std::uint64_t largest_end = 0;
    for (Py_ssize_t i = 0; i < entries_.size(); ++i) {
      const auto index = static_cast<std::size_t>(i);
      FieldDefinition& early = read_early_.push(FieldDefinition{});
      Extent extent;
      if (untouched_ && reader_.read_if_plain(entries_[i], early)) {
        extent = Extent{early.bits, early.has_offset, early.offset_bits};
      } else {
        early = FieldDefinition{};
        EngineResult<Extent> read = reader_.read_extent(entries_[i]);
        if (!read.ok()) return entry_failure(std::move(read.failure()), index);
        extent = read.value();
        untouched_ = untouched_ && !reader_.python_may_have_run();
      }
      const std::uint64_t start = extent.has_offset ? extent.offset_bits : largest_end;
      const std::uint64_t end = start + extent.bits;
      if (end > kLargestBitPosition) {
        const PyRef encoding = readable_text(entries_[i], RecipeKey::encoding);
        return FailureRecord(core::position_out_of_range(entry_name(entries_[i], index), end),
                             index, readable_text(entries_[i], RecipeKey::name),
                             encoding ? text_of(encoding.get()) : TextView(), extent.bits, start);
      }
      if (end > largest_end) largest_end = end;
    }
    return (largest_end + 7) / 8;
  }

  // Placement walk: a field without an offset follows the previous field's end. Each field's
  // value is looked up, converted and encoded before the next field is read.
  std::optional<FailureRecord> place(PyObject* values, std::uint8_t* packet,
                                     std::uint64_t packet_size) {
    const Py_ssize_t count = entries_.size();
    // The index keeps lookups from running Python code while later entries' early reads are
    // still in use; a lone field has no later entries, and one keyed lookup costs less.
    indexed_ = untouched_ && count > 1 && value_index_.build(values, count);
    std::uint64_t cursor = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
      const auto index = static_cast<std::size_t>(i);
      FieldDefinition field;
      if (untouched_ && read_early_[index].name) {
        field = std::move(read_early_[index]);
      } else {
        EngineResult<FieldDefinition> read = reader_.read(entries_[i]);
        if (!read.ok()) return entry_failure(std::move(read.failure()), index);
        field = std::move(read.value());
        untouched_ = untouched_ && !reader_.python_may_have_run();
      }
      const std::uint64_t start = field.has_offset ? field.offset_bits : cursor;
      if (std::optional<EngineError> error =
              place_field(field, values, packet, packet_size, start)) {
        return FailureRecord(std::move(*error), index, PyRef::borrow(field.name.get()),
                             field.encoding_text(), field.bits, start);
      }
      cursor = start + field.bits;
    }
    return std::nullopt;
  }

 private:
  FailureRecord entry_failure(EngineError&& error, std::size_t index) const {
    return FailureRecord(std::move(error), index,
                         readable_text(entries_[static_cast<Py_ssize_t>(index)], RecipeKey::name));
  }

  // The field's value, owned; empty when `values` has none.
  std::optional<EngineError> look_up(PyObject* values, PyObject* key, PyRef& value) {
    if (untouched_ && indexed_) {
      PyObject* found = nullptr;
      if (!value_index_.find(key, found)) return host_error();
      value = PyRef::borrow(found);
      return std::nullopt;
    }
    untouched_ = false;
    if (!host::dict_lookup(values, key, value)) return host_error();
    return std::nullopt;
  }

  // One field placed at `start`: its value looked up, then its encoding judged, the value
  // converted and encoded, then its byte order judged, then its bytes placed.
  // Inlined into the walk, which runs it for every field.
  [[gnu::always_inline]] std::optional<EngineError> place_field(const FieldDefinition& field,
                                                                PyObject* values,
                                                                std::uint8_t* packet,
                                                                std::uint64_t packet_size,
                                                                std::uint64_t start) {
    // Checked again: an entry read afresh may hold another width now.
    if (start + field.bits > kLargestBitPosition) {
      return core::position_out_of_range(field.name_text(), start + field.bits);
    }
    PyRef made_key;
    PyObject* const key = field_key(field, made_key);
    if (!key) return host_error();
    PyRef value;
    if (std::optional<EngineError> error = look_up(values, key, value)) return error;
    if (!value) return core::missing_value(field.name_text());

    EngineResult<const EncodingRow*> row = reader_.encoding(field);
    if (!row.ok()) return std::move(row.failure());
    // Packing knows no reserved format and no f128.
    if (!row.value() || !packable(*row.value())) {
      return core::unsupported_encoding(field.encoding_text(), true);
    }
    // The step is compiled for "big" first, which encoding does not look at, and again once the
    // byte order is judged and found "little".
    core::FieldStep step =
        core::compile_step(*row.value(), field.bits, ByteOrder::big, field.reverse_bits);
    if (!convert_value(step.packed, value.get(), native_)) return host_error();
    if (!core::encode(step, native_, encoded_, failure_)) return std::move(failure_);
    if (!converts_without_hooks(step.packed, value.get())) untouched_ = false;
    EngineResult<ByteOrder> order = reader_.byte_order(field);
    if (!order.ok()) return std::move(order.failure());
    if (order.value() != ByteOrder::big) {
      step = core::compile_step(*row.value(), field.bits, order.value(), field.reverse_bits);
    }
    core::place(step, encoded_, packet, packet_size, start / 8);
    return std::nullopt;
  }

  const SequenceItems& entries_;
  RecipeReader reader_;
  SmallVector<FieldDefinition, 16> read_early_;
  bool untouched_ = true;
  ValueIndex value_index_;
  bool indexed_ = false;
  core::NativeValue native_;
  core::Encoded encoded_;
  Failure failure_;
};

}  // namespace

PacketResult build_packet(SequenceItems& entries, PyObject* values) {
  // The values as the walks may read them: the host screens them, where it must, with the
  // recipe's items in one call.
  PyRef readable;
  if (!entries.finish(values, readable)) return FailureRecord(host_error());
  PackWalks walks(entries);
  Result<std::uint64_t, FailureRecord> packet_size = walks.size();
  if (!packet_size.ok()) return std::move(packet_size.failure());
  const std::uint64_t size = packet_size.value();
  PyRef packet = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!packet) return FailureRecord(host_error());
  auto* bytes = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(packet.get()));
  std::memset(bytes, 0, static_cast<std::size_t>(size));
  if (entries.size() == 0) return packet;
  if (std::optional<FailureRecord> failed = walks.place(readable.get(), bytes, size)) {
    return std::move(*failed);
  }
  return packet;
}

}  // namespace fieldpack::encoder
