// A layout's walks on this host.
#include "layout/walks.hpp"

#include <vector>

#include "core/messages.hpp"
#include "host.hpp"
#include "values.hpp"

namespace fieldpack::layout {

namespace {

// One walk per packing, each compiled on its own.
template <core::Packing kPacking>
Result<PyRef, FailureRecord> unpack_as(const Plan& plan, ByteSpan packet,
                                       std::uint32_t offset_bits) {
  PyRef result = PyRef::steal(PyDict_Copy(plan.result_template()));
  if (!result) return FailureRecord(host_error());
  const std::vector<core::PlannedField>& fields = plan.core().fields();
  core::TextRoom room;
  core::FieldFailure failure;
  bool made = true;
  const std::size_t done = core::unpack_each_as<kPacking>(
      plan.core(), packet, offset_bits, room, failure,
      [&](std::size_t index, core::FieldValue& value) {
        PyRef object = make_value_object(fields[index].step.decoded, std::move(value));
        // The keys are plain strs, hashed once: storing runs no Python code.
        made = object && PyDict_SetItem(result.get(), plan.key(index), object.get()) == 0;
        return made;
      });
  if (done == plan.field_count()) return result;
  if (!made) return plan.record(host_error(), done, offset_bits + fields[done].start_bit);
  return plan.record(std::move(failure));
}

}  // namespace

Result<PyRef, FailureRecord> unpack(const Plan& plan, ByteSpan packet, std::uint32_t offset_bits) {
  if (plan.packing() == core::Packing::bits) {
    return unpack_as<core::Packing::bits>(plan, packet, offset_bits);
  }
  return unpack_as<core::Packing::bytes>(plan, packet, offset_bits);
}

namespace {

// The value under the field's name, owned: from `values`, else from the layout's defaults (a dict
// of plain strs, whose lookup runs no Python code); empty when neither has it. False with the
// host's error set when the lookup raises.
//
// Values are often given in field order under the names' own objects (a dict built from
// layout.names, unpack's result changed and packed again): then the entry after the one found
// for the field before holds this field's value, which one step of PyDict_Next finds without
// hashing, where the host reads a dict's storage cheaply. `cursor` is that entry's position;
// after the first entry that is not the field's it is -1, and keyed lookups find the rest.
// Inline: called for every field of every pack.
[[gnu::always_inline]] inline bool look_up(const Plan& plan, PyObject* values, PyObject* key,
                                           PyRef& value, Py_ssize_t& cursor) {
  if constexpr (host::kOnePassReadsAreCheap) {
    if (cursor >= 0) {
      Py_ssize_t at = cursor;
      PyObject* entry_key = nullptr;
      PyObject* entry_value = nullptr;
      if (PyDict_Next(values, &at, &entry_key, &entry_value) && entry_key == key) {
        cursor = at;
        value = PyRef::borrow(entry_value);
        return true;
      }
      cursor = -1;
    }
  }
  if (!host::dict_lookup(values, key, value)) return false;
  if (value || !plan.defaults()) return true;
  value = PyRef::borrow(PyDict_GetItemWithError(plan.defaults(), key));
  return value || !PyErr_Occurred();
}

// A field's failure, kept in `failed`; false. Out of the walk's way: a FailureRecord is large.
[[gnu::noinline, gnu::cold]] bool field_failed(const Plan& plan, core::FieldFailure& failure,
                                               std::optional<FailureRecord>& failed) {
  failed = plan.record(std::move(failure));
  return false;
}

[[gnu::noinline, gnu::cold]] bool conversion_failed(const Plan& plan, std::size_t index,
                                                    std::uint64_t start_bit,
                                                    std::optional<FailureRecord>& failed) {
  failed = plan.record(host_error(), index, start_bit);
  return false;
}

// Field `index`'s value converted, encoded and placed; the scratch room is the caller's, reused
// from field to field. Inline into the walk, its failures aside.
template <core::Packing kPacking>
[[gnu::always_inline]] inline bool pack_one(const Plan& plan, std::size_t index, PyObject* value,
                                            const core::Image& image, const core::PackMode& mode,
                                            core::NativeValue& native, core::Encoded& encoded,
                                            core::FieldFailure& failure,
                                            std::optional<FailureRecord>& failed) {
  const core::PlannedField& field = plan.core().fields()[index];
  if (!core::packable(plan.core(), index, image.offset_bits, failure)) [[unlikely]] {
    return field_failed(plan, failure, failed);
  }
  if (!convert_value(field.step.packed, value, native)) [[unlikely]] {
    return conversion_failed(plan, index, image.offset_bits + field.start_bit, failed);
  }
  if (!core::pack_field_as<kPacking>(plan.core(), index, native, image, encoded, failure, mode))
      [[unlikely]] {
    return field_failed(plan, failure, failed);
  }
  return true;
}

}  // namespace

bool pack_value(const Plan& plan, std::size_t index, PyObject* value, const core::Image& image,
                const core::PackMode& mode, std::optional<FailureRecord>& failed) {
  core::NativeValue native;
  core::Encoded encoded;
  core::FieldFailure failure;
  if (plan.packing() == core::Packing::bits) {
    return pack_one<core::Packing::bits>(plan, index, value, image, mode, native, encoded, failure,
                                         failed);
  }
  return pack_one<core::Packing::bytes>(plan, index, value, image, mode, native, encoded, failure,
                                        failed);
}

namespace {

// A bit-exact field packed the quick way, where it can be: an exact int that converts and
// encodes without a failure, into a field whose bits go in with one 64-bit store (`place`). No
// Python code runs. False, with nothing written and no error set, for every other value: the
// walk's usual steps then convert, encode and place it, and word any failure.
[[gnu::always_inline]] inline bool quick_pack(const core::FieldStep& step,
                                              const core::WordPlace& place, PyObject* value,
                                              std::uint8_t* image) {
  if (!PyLong_CheckExact(value)) return false;
  core::NativeValue native;
  if (step.packed == core::ValueKind::unsigned_integer) {
    native.unsigned_value = PyLong_AsUnsignedLongLong(value);
    if (native.unsigned_value == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) {
      PyErr_Clear();  // converted again by the usual steps, which raise it
      return false;
    }
  } else if (step.packed == core::ValueKind::signed_integer) {
    native.signed_value = PyLong_AsLongLong(value);
    if (native.signed_value == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      return false;
    }
  } else {
    return false;
  }
  std::uint64_t code = 0;
  if (!core::quick_code(step, native, code)) return false;
  core::store_word(image + place.first_byte, place.below, step.mask, code);
  return true;
}

// One walk per packing, each compiled on its own.
template <core::Packing kPacking>
Result<std::monostate, FailureRecord> pack_as(const Plan& plan, PyObject* values,
                                              const core::Image& image) {
  const std::size_t count = plan.field_count();
  core::NativeValue native;
  core::Encoded encoded;
  core::FieldFailure failure;
  std::optional<FailureRecord> failed;
  std::vector<core::Produced> produced;
  core::PackMode mode;
  if (plan.strict()) {
    produced.resize(count);
    mode = core::PackMode{true, &produced};
  }
  // Bit-exact fields the quick way where the packet starts on a byte boundary and the image has
  // its eight bytes to spare; strict packing checks every value, so takes no shortcut.
  const bool quick = kPacking == core::Packing::bits && !plan.strict() &&
                     image.offset_bits % 8 == 0 && image.room >= image.size + 8;
  const std::vector<core::WordPlace>& places = plan.core().word_places();
  Py_ssize_t cursor = 0;
  for (std::size_t i = 0; i < count; ++i) {
    // Held across the conversion, which can run Python code that changes `values`.
    PyRef value;
    const bool found = look_up(plan, values, plan.key(i), value, cursor);
    if (!found || !value) {
      const std::uint64_t start = image.offset_bits + plan.core().fields()[i].start_bit;
      if (!found) return plan.record(host_error(), i, start);
      return plan.record(core::missing_value(plan.core().spec(i).name), i, start);
    }
    if (quick && places[i].fits &&
        quick_pack(plan.core().fields()[i].step, places[i], value.get(), image.data)) {
      continue;
    }
    if (!pack_one<kPacking>(plan, i, value.get(), image, mode, native, encoded, failure, failed)) {
      return std::move(*failed);
    }
  }
  if (plan.strict() && !core::check_read_back(plan.core(), image, produced, failure)) {
    return plan.record(std::move(failure));
  }
  return std::monostate{};
}

}  // namespace

Result<std::monostate, FailureRecord> pack(const Plan& plan, PyObject* values,
                                           const core::Image& image) {
  if (plan.packing() == core::Packing::bits) {
    return pack_as<core::Packing::bits>(plan, values, image);
  }
  return pack_as<core::Packing::bytes>(plan, values, image);
}

}  // namespace fieldpack::layout
