// The walks over a plan: unpacking a packet into a new dict, and placing values into a packet
// image. Each field is checked, converted and failed exactly as the packet functions do it;
// what the plan saves is reading the recipe, resolving names, and dispatching on widths.
#include <cstring>
#include <string>
#include <vector>

#include "common/bits.hpp"
#include "decoder/unpack_engine.hpp"
#include "encoder/pack_engine.hpp"
#include "layout/plan.hpp"
#include "recipe.hpp"
#include "text_objects.hpp"

namespace fieldpack::layout {

namespace {

template <class Unsigned>
Unsigned load(const std::uint8_t* p) {
  Unsigned value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

template <class Unsigned>
void store(std::uint8_t* p, Unsigned value) {
  std::memcpy(p, &value, sizeof value);
}

// A value stored big-endian (kLittle false) or little-endian, loaded as a number.
template <class Unsigned, bool kLittle>
std::uint64_t load_ordered(const std::uint8_t* p) {
  Unsigned value = load<Unsigned>(p);
  if constexpr (kLittle != kHostIsLittleEndian) {
    if constexpr (sizeof(Unsigned) == 2) value = byteswap16(value);
    if constexpr (sizeof(Unsigned) == 4) value = byteswap32(value);
    if constexpr (sizeof(Unsigned) == 8) value = byteswap64(value);
  }
  return value;
}

template <class Unsigned, bool kLittle>
void store_ordered(std::uint8_t* p, std::uint64_t code) {
  auto value = static_cast<Unsigned>(code);
  if constexpr (kLittle != kHostIsLittleEndian) {
    if constexpr (sizeof(Unsigned) == 2) value = byteswap16(value);
    if constexpr (sizeof(Unsigned) == 4) value = byteswap32(value);
    if constexpr (sizeof(Unsigned) == 8) value = byteswap64(value);
  }
  store<Unsigned>(p, value);
}

// The field value of a window, as field_value forms it; the common widths without its loop.
std::uint64_t value_of(const FieldPlan& field, const std::uint8_t* window) {
  switch (field.read) {
    case Read::big1:
      return window[0] & field.mask;
    case Read::big2:
      return load_ordered<std::uint16_t, false>(window) & field.mask;
    case Read::big4:
      return load_ordered<std::uint32_t, false>(window) & field.mask;
    case Read::big8:
      return load_ordered<std::uint64_t, false>(window) & field.mask;
    case Read::little2:
      return load_ordered<std::uint16_t, true>(window) & field.mask;
    case Read::little4:
      return load_ordered<std::uint32_t, true>(window) & field.mask;
    case Read::little8:
      return load_ordered<std::uint64_t, true>(window) & field.mask;
    case Read::general:
      break;
  }
  return field_value(window, field.byte_count, field.bits, field.order, field.reverse_bits);
}

// Writes a numeric code as place_code does; the common widths without its loop when the window
// lies inside the image, which it does for every window of a plan's image.
void place(std::uint8_t* image, std::uint64_t image_size, std::uint64_t first_byte,
           std::uint64_t code, const FieldPlan& field) {
  if (first_byte + field.byte_count <= image_size) {
    std::uint8_t* out = image + first_byte;
    switch (field.read) {
      case Read::big1:
        out[0] = static_cast<std::uint8_t>(code);
        return;
      case Read::big2:
        return store_ordered<std::uint16_t, false>(out, code);
      case Read::big4:
        return store_ordered<std::uint32_t, false>(out, code);
      case Read::big8:
        return store_ordered<std::uint64_t, false>(out, code);
      case Read::little2:
        return store_ordered<std::uint16_t, true>(out, code);
      case Read::little4:
        return store_ordered<std::uint32_t, true>(out, code);
      case Read::little8:
        return store_ordered<std::uint64_t, true>(out, code);
      case Read::general:
        break;
    }
  }
  place_code(image, image_size, first_byte, code, field.bits, field.order, field.reverse_bits);
}

PyObject* number_object(const Number& number) {
  switch (number.kind) {
    case Number::Kind::signed_integer:
      return PyLong_FromLongLong(number.signed_value);
    case Number::Kind::unsigned_integer:
      return PyLong_FromUnsignedLongLong(number.unsigned_value);
    case Number::Kind::real:
      return PyFloat_FromDouble(number.real_value);
  }
  return PyFloat_FromDouble(number.real_value);
}

// The byte buffer a text field decodes: the window itself for "big", reversed for "little".
class TextBytes {
 public:
  TextBytes(const std::uint8_t* window, std::size_t size, ByteOrder order) {
    if (order == ByteOrder::big) {
      view_ = ByteSpan(window, size);
      return;
    }
    std::uint8_t* out = size <= sizeof small_ ? small_ : (large_.resize(size), large_.data());
    for (std::size_t k = 0; k < size; ++k) out[k] = window[size - 1 - k];
    view_ = ByteSpan(out, size);
  }
  ByteSpan view() const { return view_; }

 private:
  std::uint8_t small_[64];
  std::vector<std::uint8_t> large_;
  ByteSpan view_;
};

// The decoded value of one field as a new reference, or its failure.
EngineResult<PyObject*> decode(const FieldPlan& field, const std::uint8_t* window) {
  PyObject* object = nullptr;
  const EncodingRow& row = *field.row;
  switch (row.family) {
    case Family::unsigned_integer:
      object = PyLong_FromUnsignedLongLong(value_of(field, window));
      break;
    case Family::signed_integer:
    case Family::decimal:
    case Family::binary_float: {
      Result<Number> number = row.decode_number(value_of(field, window), field.bits);
      if (!number.ok()) return EngineError{std::move(number.failure())};
      object = number_object(number.value());
      break;
    }
    case Family::binary_f128:
      // Whatever the field holds, its value zero-extended to 128 bits is +0.0.
      if (field.bits > 64) return EngineError{decoder::f128_too_wide()};
      object = PyFloat_FromDouble(0.0);
      break;
    case Family::reserved:
      return EngineError{decoder::reserved_format(row.label)};
    case Family::text: {
      const TextBytes bytes(window, field.byte_count, field.order);
      Result<DecodedText> text = row.decode_text(bytes.view());
      if (!text.ok()) return EngineError{std::move(text.failure())};
      object = make_object(std::move(text.value())).release();
      break;
    }
  }
  if (!object) return host_error();
  return object;
}

template <class Native>
EngineResult<Native> convert_value(bool (*convert)(PyObject*, Native&), PyObject* object) {
  Native out{};
  if (convert(object, out)) return out;
  return host_error();
}

// One field's value converted, encoded and placed in the image; the steps and their order are
// pack_parameters' (the value's conversion, then the codec).
EngineStatus place_value(const Plan& plan, std::size_t index, PyObject* value, std::uint8_t* image,
                         std::uint64_t image_size, std::uint64_t first_byte) {
  const FieldPlan& field = plan.fields()[index];
  const EncodingRow& row = *field.row;
  switch (row.family) {
    case Family::unsigned_integer: {
      std::uint64_t number = 0;
      if (PyLong_CheckExact(value)) {  // the conversion's own first step, without the call
        number = PyLong_AsUnsignedLongLong(value);
        if (number == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) return host_error();
      } else if (!convert_u64(value, number)) {
        return host_error();
      }
      if (field.bits < 64 && number > field.mask) {
        return EngineError{too_large_for_bits("Value ", number, " is too large for ", field.bits)};
      }
      place(image, image_size, first_byte, number, field);
      return kDone;
    }
    case Family::signed_integer:
    case Family::decimal: {
      EngineResult<std::int64_t> number = convert_value(convert_i64, value);
      if (!number.ok()) return std::move(number.failure());
      Result<std::uint64_t> code = row.encode_integer(number.value(), field.bits);
      if (!code.ok()) return EngineError{std::move(code.failure())};
      place(image, image_size, first_byte, code.value(), field);
      return kDone;
    }
    case Family::binary_float: {
      EngineResult<double> number = convert_value(convert_double, value);
      if (!number.ok()) return std::move(number.failure());
      place(image, image_size, first_byte, row.encode_real(number.value()), field);
      return kDone;
    }
    case Family::text: {
      EngineResult<TextView> text = convert_value(convert_text, value);
      if (!text.ok()) return std::move(text.failure());
      // The encoded bytes view the str's UTF-8 form, which `value` keeps alive.
      Result<EncodedBytes> encoded = row.encode_text(text.value());
      if (!encoded.ok()) return EngineError{std::move(encoded.failure())};
      place_bytes(image, image_size, first_byte, as_bytes(encoded.value()), field.bits,
                  field.order);
      return kDone;
    }
    case Family::binary_f128:
    case Family::reserved:
      break;
  }
  return EngineError{plan.unpackable(index)};
}

}  // namespace

EngineResult<PyRef> unpack(const Plan& plan, ByteSpan packet, std::uint32_t offset_bits,
                           FailedField& where) {
  PyRef result = PyRef::steal(PyDict_Copy(plan.result_template()));
  if (!result) return host_error();
  const std::vector<FieldPlan>& fields = plan.fields();
  const std::size_t count = fields.size();
  for (std::size_t i = 0; i < count; ++i) {
    const FieldPlan& field = fields[i];
    // 64-bit positions: a start or end past the largest 32-bit position is refused, never
    // wrapped onto the wrong bytes.
    const std::uint64_t start = std::uint64_t{offset_bits} + field.start_bit;
    const std::uint64_t end = start + field.bits;
    const std::uint64_t first_byte = start / 8;
    if (end > kLargestBitPosition || first_byte + field.byte_count > packet.size()) {
      where = FailedField{i, start};
      if (end > kLargestBitPosition) {
        return EngineError{position_out_of_range(plan.name_text(i), end)};
      }
      return EngineError{
          decoder::window_past_end(plan.name_text(i), first_byte, field.byte_count, packet.size())};
    }
    EngineResult<PyObject*> decoded = decode(field, packet.data() + first_byte);
    if (!decoded.ok()) {
      where = FailedField{i, start};
      return std::move(decoded.failure());
    }
    PyObject* value = decoded.value();
    // The keys are plain strs, hashed once: storing runs no Python code.
    const int stored = PyDict_SetItem(result.get(), field.key.get(), value);
    Py_DECREF(value);
    if (stored < 0) {
      where = FailedField{i, start};
      return host_error();
    }
  }
  return result;
}

EngineStatus pack(const Plan& plan, PyObject* values, std::uint8_t* image, std::uint64_t image_size,
                  std::uint32_t offset_bits, FailedField& where) {
  const std::vector<FieldPlan>& fields = plan.fields();
  const std::size_t count = fields.size();
  const std::uint32_t residue = offset_bits % 8;
  for (std::size_t i = 0; i < count; ++i) {
    const FieldPlan& field = fields[i];
    where = FailedField{i, offset_bits + field.start_bit};
    // Held across the conversion, which can run Python code that changes `values`.
    PyRef value;
    if (!dict_lookup(values, field.key.get(), value)) return host_error();
    if (!value) return EngineError{encoder::missing_value(plan.name_text(i))};
    const std::uint64_t first_byte = (residue + field.start_bit) / 8;
    EngineStatus placed = place_value(plan, i, value.get(), image, image_size, first_byte);
    if (!placed.ok()) return placed;
  }
  return kDone;
}

}  // namespace fieldpack::layout
