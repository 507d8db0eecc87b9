// The walks over a plan: unpacking a packet into a new dict, and placing values into a packet
// image. Each field is checked, converted and failed exactly as the packet functions do it;
// what the plan saves is reading the recipe, resolving names, and dispatching on widths.
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "common/bits.hpp"
#include "decoder/unpack_engine.hpp"
#include "encoder/pack_engine.hpp"
#include "layout/plan.hpp"
#include "layout/window_read.hpp"
#include "recipe.hpp"
#include "text_objects.hpp"

namespace fieldpack::layout {

namespace {

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

// The failure of a step, kept aside so that the steps that succeed, nearly all of them, return
// no more than a pointer or a flag.
using Failed = std::optional<EngineError>;

// A field's value as a new reference; nullptr with `failed` set.
PyObject* decode(const FieldPlan& field, const std::uint8_t* window, Failed& failed) {
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
      if (!number.ok()) {
        failed = EngineError{std::move(number.failure())};
        return nullptr;
      }
      object = make_object(number.value()).release();
      break;
    }
    case Family::binary_f128:
      // Whatever the field holds, its value zero-extended to 128 bits is +0.0.
      if (field.bits > 64) {
        failed = EngineError{decoder::f128_too_wide()};
        return nullptr;
      }
      object = PyFloat_FromDouble(0.0);
      break;
    case Family::reserved:
      failed = EngineError{decoder::reserved_format(row.label)};
      return nullptr;
    case Family::text: {
      const TextBuffer bytes(window, field.byte_count, field.order);
      Result<DecodedText> text = row.decode_text(bytes.view());
      if (!text.ok()) {
        failed = EngineError{std::move(text.failure())};
        return nullptr;
      }
      object = make_object(std::move(text.value())).release();
      break;
    }
  }
  if (!object) failed = host_error();
  return object;
}

// The value under the field's name, owned; empty when `values` has none. False with `failed`
// set when the lookup raises.
bool look_up(PyObject* values, PyObject* key, PyRef& out, Failed& failed) {
#if !defined(PYPY_VERSION)
  if (PyDict_CheckExact(values)) {
    // Borrowed for no longer than it takes to own it.
    PyObject* found = PyDict_GetItemWithError(values, key);
    if (!found && PyErr_Occurred()) {
      failed = host_error();
      return false;
    }
    out = PyRef::borrow(found);
    return true;
  }
#endif
  if (dict_lookup(values, key, out)) return true;
  failed = host_error();
  return false;
}

template <class Native>
bool convert_value(bool (*convert)(PyObject*, Native&), PyObject* object, Native& out,
                   Failed& failed) {
  if (convert(object, out)) return true;
  failed = host_error();
  return false;
}

template <class T>
bool take(Result<T>&& result, T& out, Failed& failed) {
  if (!result.ok()) {
    failed = EngineError{std::move(result.failure())};
    return false;
  }
  out = std::move(result.value());
  return true;
}

// One field's value converted, encoded and placed in the image; the steps and their order are
// pack_parameters' (the value's conversion, then the codec). False with `failed` set.
bool place_value(const Plan& plan, std::size_t index, PyObject* value, std::uint8_t* image,
                 std::uint64_t image_size, std::uint64_t first_byte, Failed& failed) {
  const FieldPlan& field = plan.fields()[index];
  const EncodingRow& row = *field.row;
  switch (row.family) {
    case Family::unsigned_integer: {
      std::uint64_t number = 0;
      if (PyLong_CheckExact(value)) {  // the conversion's own first step, without the call
        number = PyLong_AsUnsignedLongLong(value);
        if (number == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) {
          failed = host_error();
          return false;
        }
      } else if (!convert_value(convert_u64, value, number, failed)) {
        return false;
      }
      if (field.bits < 64 && number > field.mask) {
        failed =
            EngineError{too_large_for_bits("Value ", number, " is too large for ", field.bits)};
        return false;
      }
      place(image, image_size, first_byte, number, field);
      return true;
    }
    case Family::signed_integer:
    case Family::decimal: {
      std::int64_t number = 0;
      std::uint64_t code = 0;
      if (!convert_value(convert_i64, value, number, failed) ||
          !take(row.encode_integer(number, field.bits), code, failed)) {
        return false;
      }
      place(image, image_size, first_byte, code, field);
      return true;
    }
    case Family::binary_float: {
      double number = 0;
      if (!convert_value(convert_double, value, number, failed)) return false;
      place(image, image_size, first_byte, row.encode_real(number), field);
      return true;
    }
    case Family::text: {
      StoredText text;
      if (!convert_value(convert_stored_text, value, text, failed)) return false;
      // The encoded bytes view the str's own storage, which `value` keeps alive.
      Result<EncodedBytes> encoded = row.encode_text(text);
      if (!encoded.ok()) {
        failed = EngineError{std::move(encoded.failure())};
        return false;
      }
      place_bytes(image, image_size, first_byte, as_bytes(encoded.value()), field.bits,
                  field.order);
      return true;
    }
    case Family::binary_f128:
    case Family::reserved:
      break;
  }
  failed = EngineError{plan.unpackable(index)};
  return false;
}

}  // namespace

EngineResult<PyRef> unpack(const Plan& plan, ByteSpan packet, std::uint32_t offset_bits,
                           FailedField& where) {
  PyRef result = PyRef::steal(PyDict_Copy(plan.result_template()));
  if (!result) return host_error();
  const std::vector<FieldPlan>& fields = plan.fields();
  const std::size_t count = fields.size();
  Failed failed;
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
    PyObject* value = decode(field, packet.data() + first_byte, failed);
    // The keys are plain strs, hashed once: storing runs no Python code.
    if (!value || PyDict_SetItem(result.get(), field.key.get(), value) < 0) {
      Py_XDECREF(value);
      where = FailedField{i, start};
      return failed ? std::move(*failed) : host_error();
    }
    Py_DECREF(value);
  }
  return result;
}

EngineStatus pack(const Plan& plan, PyObject* values, std::uint8_t* image, std::uint64_t image_size,
                  std::uint32_t offset_bits, FailedField& where) {
  const std::vector<FieldPlan>& fields = plan.fields();
  const std::size_t count = fields.size();
  const std::uint32_t residue = offset_bits % 8;
  Failed failed;
  for (std::size_t i = 0; i < count; ++i) {
    const FieldPlan& field = fields[i];
    // Held across the conversion, which can run Python code that changes `values`.
    PyRef value;
    if (look_up(values, field.key.get(), value, failed)) {
      if (!value) failed = EngineError{encoder::missing_value(plan.name_text(i))};
    }
    if (!failed) {
      const std::uint64_t first_byte = (residue + field.start_bit) / 8;
      place_value(plan, i, value.get(), image, image_size, first_byte, failed);
    }
    if (failed) {
      where = FailedField{i, offset_bits + field.start_bit};
      return std::move(*failed);
    }
  }
  return kDone;
}

}  // namespace fieldpack::layout
