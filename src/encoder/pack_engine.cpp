// The recipe walks of pack_parameters: size the packet, then convert each value with the codecs
// its encoding's row names and place its bytes.
#include "encoder/pack_engine.hpp"

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "common/encodings.hpp"
#include "common/field_window.hpp"
#include "recipe.hpp"

namespace fieldpack::encoder {

Failure missing_value(std::string_view field_name) {
  std::string message = "Missing value for parameter: '";
  message += field_name;
  message += '\'';
  return Failure{ErrorKind::key_error, std::move(message)};
}

namespace {

// A field's converted value: a numeric code, or encoded text.
struct FieldBytes {
  bool is_text = false;
  std::uint64_t code = 0;
  EncodedBytes text;
};

template <class Native>
EngineResult<Native> convert_value(bool (*convert)(PyObject*, Native&), PyObject* object) {
  Native out{};
  if (convert(object, out)) return out;
  return host_error();
}

EngineResult<FieldBytes> code_bytes(Result<std::uint64_t>&& code) {
  if (!code.ok()) return EngineError{std::move(code.failure())};
  return FieldBytes{false, code.value(), {}};
}

// The value converted by its encoding's row. Packing knows no reserved format and no f128.
EngineResult<FieldBytes> encode_field(const FieldDefinition& field, const EncodingRow* row,
                                      PyObject* object) {
  if (!row || !packable(*row)) return EngineError{unsupported_encoding(field, true)};
  switch (row->family) {
    case Family::unsigned_integer: {
      EngineResult<std::uint64_t> value = convert_value(convert_u64, object);
      if (!value.ok()) return std::move(value.failure());
      if (field.bits < 64 && value.value() > low_mask(field.bits)) {
        return EngineError{
            too_large_for_bits("Value ", value.value(), " is too large for ", field.bits)};
      }
      return FieldBytes{false, value.value(), {}};
    }
    case Family::signed_integer:
    case Family::decimal: {
      EngineResult<std::int64_t> value = convert_value(convert_i64, object);
      if (!value.ok()) return std::move(value.failure());
      return code_bytes(row->encode_integer(value.value(), field.bits));
    }
    case Family::binary_float: {
      EngineResult<double> value = convert_value(convert_double, object);
      if (!value.ok()) return std::move(value.failure());
      return FieldBytes{false, row->encode_real(value.value()), {}};
    }
    case Family::text: {
      EngineResult<StoredText> text = convert_value(convert_stored_text, object);
      if (!text.ok()) return std::move(text.failure());
      Result<EncodedBytes> encoded = row->encode_text(text.value());
      if (!encoded.ok()) return EngineError{std::move(encoded.failure())};
      return FieldBytes{true, 0, std::move(encoded.value())};
    }
    case Family::binary_f128:
    case Family::reserved:
      break;
  }
  return EngineError{unsupported_encoding(field, true)};
}

// Whether converting `object` for a field of this family runs no Python code: it is of a
// built-in type the conversion reads directly.
bool converts_without_python(Family family, PyObject* object) {
  switch (family) {
    case Family::unsigned_integer:
    case Family::signed_integer:
    case Family::decimal:
      return PyLong_Check(object);
    // An int subclass may override __float__; an exact int or bool, or any float, may not.
    case Family::binary_float:
      return PyFloat_Check(object) || PyLong_CheckExact(object) || PyBool_Check(object);
    case Family::text:
      return PyUnicode_Check(object);
    case Family::binary_f128:
    case Family::reserved:
      break;
  }
  return true;  // refused before any conversion
}

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
  // than the recipe, so that reading it whole would cost more than the lookups.
  bool build(PyObject* values, Py_ssize_t field_count) {
#if defined(PYPY_VERSION)
    (void)values;
    (void)field_count;
    return false;
#else
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
#endif
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
        return PacketFailure{std::move(read.failure()),
                             entry_at(index, readable_text(entries[i], RecipeKey::name))};
      }
      extent = read.value();
      untouched = untouched && !reader.python_may_have_run();
    }
    const std::uint64_t start = extent.has_offset ? extent.offset_bits : largest_end;
    const std::uint64_t end = start + extent.bits;
    if (end > kLargestBitPosition) {
      const std::string name = entry_name(entries[i], index);
      const PyRef encoding = readable_text(entries[i], RecipeKey::encoding);
      return PacketFailure{EngineError{position_out_of_range(name, end)},
                           FailedAt{true, index, readable_text(entries[i], RecipeKey::name),
                                    encoding ? std::string(text_of(encoding.get())) : std::string(),
                                    true, extent.bits, start}};
    }
    if (end > largest_end) largest_end = end;
  }
  const std::uint64_t packet_size = (largest_end + 7) / 8;
  PyRef packet =
      PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(packet_size)));
  if (!packet) return PacketFailure{host_error(), {}};
  auto* bytes = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(packet.get()));
  std::memset(bytes, 0, static_cast<std::size_t>(packet_size));
  if (count == 0) return packet;

  // The index keeps lookups from running Python code while later entries' early reads are still
  // in use; a lone field has no later entries, and one keyed lookup costs less than the index.
  ValueIndex value_index;
  const bool indexed = untouched && count > 1 && value_index.build(values, count);

  // Placement walk: a field without an offset follows the previous field's end.
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
        return PacketFailure{std::move(read.failure()),
                             entry_at(index, readable_text(entries[i], RecipeKey::name))};
      }
      field = std::move(read.value());
      untouched = untouched && !reader.python_may_have_run();
    }
    const std::uint64_t start = field.has_offset ? field.offset_bits : cursor;
    auto failed = [&](EngineError&& error) {
      return PacketFailure{std::move(error),
                           FailedAt{true, index, PyRef::borrow(field.name.get()),
                                    std::string(field.encoding_text()), true, field.bits, start}};
    };
    const std::uint64_t end = start + field.bits;
    // Checked again: an entry read afresh may hold another width now.
    if (end > kLargestBitPosition) {
      return failed(EngineError{position_out_of_range(field.name_text(), end)});
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
      if (!dict_lookup(values, key, value)) return failed(host_error());
    }
    if (!value) return failed(EngineError{missing_value(field.name_text())});

    EngineResult<const EncodingRow*> row = reader.encoding(field);
    if (!row.ok()) return failed(std::move(row.failure()));
    EngineResult<FieldBytes> field_bytes = encode_field(field, row.value(), value.get());
    if (!field_bytes.ok()) return failed(std::move(field_bytes.failure()));
    if (row.value() && !converts_without_python(row.value()->family, value.get())) {
      untouched = false;
    }
    EngineResult<ByteOrder> order = reader.byte_order(field);
    if (!order.ok()) return failed(std::move(order.failure()));

    const std::uint64_t first_byte = start / 8;
    if (field_bytes.value().is_text) {
      place_bytes(bytes, packet_size, first_byte, as_bytes(field_bytes.value().text), field.bits,
                  order.value());
    } else {
      place_code(bytes, packet_size, first_byte, field_bytes.value().code, field.bits,
                 order.value(), field.reverse_bits);
    }
    cursor = end;
  }
  return packet;
}

}  // namespace fieldpack::encoder
