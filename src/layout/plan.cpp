// Reading a recipe into a plan, and what the plan can tell about the recipe.
#include "layout/plan.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "common/bits.hpp"
#include "recipe.hpp"

namespace fieldpack::layout {

namespace {

Read read_kind(std::uint32_t byte_count, ByteOrder order, bool reverse_bits) {
  if (reverse_bits) return Read::general;
  const bool little = order == ByteOrder::little;
  switch (byte_count) {
    case 1:
      return Read::big1;  // one byte reads the same in both orders
    case 2:
      return little ? Read::little2 : Read::big2;
    case 4:
      return little ? Read::little4 : Read::big4;
    case 8:
      return little ? Read::little8 : Read::big8;
    default:
      return Read::general;
  }
}

bool set_item(PyObject* dict, RecipeKey key, PyObject* value) {
  return value && PyDict_SetItem(dict, interned_key(key), value) == 0;
}

// The entry's own items as a list of (key, value) pairs, read without running its hooks or any
// key's __hash__ or __eq__: a dict subclass's methods and odd keys play no part in reading a
// recipe, so they play none in keeping it either.
PyRef own_items(PyObject* entry) {
#if defined(PYPY_VERSION)
  if (is_held_entry(entry)) return PyRef::steal(PyObject_CallMethod(entry, "items", nullptr));
  // PyPy's C API reads a dict subclass through its Python-level methods; dict.items on the
  // instance reads its own storage.
  static PyObject* dict_items = nullptr;
  if (!dict_items) {
    dict_items = PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyDict_Type), "items");
  }
  if (!dict_items) return PyRef();
  PyRef view = PyRef::steal(PyObject_CallFunctionObjArgs(dict_items, entry, nullptr));
  return view ? PyRef::steal(PySequence_List(view.get())) : PyRef();
#else
  return PyRef::steal(PyDict_Items(entry));
#endif
}

std::string repr_text(PyObject* object) {
  std::string text;
  PyRef repr = PyRef::steal(PyObject_Repr(object));
  Py_ssize_t size = 0;
  const char* utf8 = repr ? PyUnicode_AsUTF8AndSize(repr.get(), &size) : nullptr;
  if (!utf8) {
    PyErr_Clear();
    return "<a key whose repr() failed>";
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

bool is_recipe_key(PyObject* key) {
  if (!PyUnicode_Check(key)) return false;
  for (const std::string_view name : kRecipeKeyNames) {
    const std::string text(name);
    if (PyUnicode_CompareWithASCIIString(key, text.c_str()) == 0) return true;
  }
  return false;
}

bool is_numeric(Family family) {
  return family == Family::unsigned_integer || family == Family::signed_integer ||
         family == Family::decimal || family == Family::binary_float;
}

// The width a float encoding's name gives it ("ieee754_f32": 32).
std::uint32_t float_width(const EncodingRow& row) {
  std::uint32_t width = 0;
  for (char c : row.name.substr(row.name.rfind('f') + 1)) {
    width = width * 10 + static_cast<std::uint32_t>(c - '0');
  }
  return width;
}

void append_byte_range(std::string& out, std::uint64_t first, std::uint64_t end) {
  if (end - first == 1) {
    out += "byte ";
    append_decimal(out, first);
    return;
  }
  out += "bytes ";
  append_decimal(out, first);
  out += " to ";
  append_decimal(out, end - 1);
}

}  // namespace

PyObject* RecipeFault::raise() {
  raise_engine_error(error);
  if (index != FailedField::kNoField) {
    note_field_of_raised(FieldLabel{index, name.get(), encoding, has_extent, bits, start_bit});
  }
  add_hint_of(error);
  return nullptr;
}

Result<std::unique_ptr<Plan>, RecipeFault> Plan::read(const SequenceItems& recipe) {
  auto plan = std::make_unique<Plan>();
  const Py_ssize_t count = recipe.size();
  const auto field_count = static_cast<std::size_t>(count);
  plan->fields_.reserve(field_count);
  plan->cold_.reserve(field_count);
  auto fault = [](EngineError&& error, std::size_t index) {
    return RecipeFault{std::move(error), index, PyRef(), std::string(), false, 0, 0};
  };
  plan->names_ = PyRef::steal(PyTuple_New(count));
  plan->template_ = PyRef::steal(PyDict_New());
  PyRef entries = PyRef::steal(PyTuple_New(count));
  if (!plan->names_ || !plan->template_ || !entries) {
    return fault(host_error(), FailedField::kNoField);
  }

  RecipeReader reader;
  std::uint64_t position = 0;     // where the walks start a field without an offset
  std::uint64_t largest_end = 0;  // where the sizing walk starts one
  for (Py_ssize_t i = 0; i < count; ++i) {
    const auto index = static_cast<std::size_t>(i);
    PyObject* entry = recipe[i];
    EngineResult<FieldDefinition> read = reader.read(entry);
    if (!read.ok()) {
      RecipeFault partial = fault(std::move(read.failure()), index);
      partial.name = readable_text(entry, RecipeKey::name);
      return partial;
    }
    const FieldDefinition& field = read.value();
    const std::uint64_t start = field.has_offset ? field.offset_bits : position;
    // The byte order is judged before the encoding name, as unpack_parameters judges them.
    std::optional<EngineError> problem;
    const EncodingRow* row = nullptr;
    EngineResult<ByteOrder> order = reader.byte_order(field);
    if (!order.ok()) {
      problem = std::move(order.failure());
    } else if (EngineResult<const EncodingRow*> named = reader.encoding(field); !named.ok()) {
      problem = std::move(named.failure());
    } else if (!named.value()) {
      problem = EngineError{unsupported_encoding(field, false)};
    } else {
      row = named.value();
    }
    if (problem) {
      RecipeFault whole = fault(std::move(*problem), index);
      whole.name = PyRef::borrow(field.name.get());
      whole.encoding = std::string(field.encoding_text());
      whole.has_extent = true;
      whole.bits = field.bits;
      whole.start_bit = start;
      return whole;
    }

    PyRef key = name_key(field);
    if (!key) return fault(host_error(), index);
    // What the entry held, and the objects read from it: the entry may have changed while it
    // was read (a conversion can run Python code).
    PyRef items = own_items(entry);
    PyObject* kept = items ? PyTuple_Pack(4, items.get(), field.name.get(), field.encoding.get(),
                                          field.byte_order.get())
                           : nullptr;
    if (!kept) return fault(host_error(), index);
    PyTuple_SET_ITEM(entries.get(), i, kept);
    if (PyDict_SetDefault(plan->template_.get(), key.get(), Py_None) == nullptr) {
      return fault(host_error(), index);
    }
    PyTuple_SET_ITEM(plan->names_.get(), i, PyRef::borrow(key.get()).release());

    FieldPlan& planned = plan->fields_.emplace_back();
    planned.key = std::move(key);
    planned.row = row;
    planned.start_bit = start;
    planned.bits = field.bits;
    planned.byte_count = static_cast<std::uint32_t>(window_byte_count(field.bits));
    planned.mask = low_mask(field.bits);
    planned.order = order.value();
    planned.reverse_bits = field.reverse_bits;
    planned.read = read_kind(planned.byte_count, planned.order, planned.reverse_bits);
    Cold& cold = plan->cold_.emplace_back();
    cold.encoding = std::string(field.encoding_text());
    cold.has_offset = field.has_offset;
    cold.offset_bits = field.offset_bits;
    if (!packable(*planned.row)) cold.unsupported = unsupported_encoding(field, true);

    // The sizing walk of pack_parameters: a field without an offset starts at the largest end
    // so far, and the first end past the largest 32-bit position is its failure.
    if (plan->sizing_.ok) {
      const std::uint64_t sized_start = field.has_offset ? field.offset_bits : largest_end;
      const std::uint64_t sized_end = sized_start + field.bits;
      if (sized_end > kLargestBitPosition) {
        plan->sizing_.ok = false;
        plan->sizing_.failure = position_out_of_range(field.name_text(), sized_end);
        plan->sizing_.field = FailedField{index, sized_start};
      }
      largest_end = std::max(largest_end, sized_end);
    }
    position = start + field.bits;
  }
  plan->entries_ = std::move(entries);
  if (plan->sizing_.ok) plan->sizing_.packet_size = (largest_end + 7) / 8;

  for (const FieldPlan& planned : plan->fields_) {
    plan->largest_end_ = std::max(plan->largest_end_, planned.start_bit + planned.bits);
    for (std::uint32_t residue = 0; residue < 8; ++residue) {
      const std::uint64_t end = (residue + planned.start_bit) / 8 + planned.byte_count;
      plan->extents_[residue] = std::max(plan->extents_[residue], end);
    }
  }
  return plan;
}

PyObject* Plan::kept(std::size_t index) const {
  return PyTuple_GET_ITEM(entries_.get(), static_cast<Py_ssize_t>(index));
}

PyRef Plan::recipe() const {
  if (!entries_) {
    PyErr_SetString(PyExc_ReferenceError,
                    "the layout's recipe was cleared by the garbage collector");
    return PyRef();
  }
  const auto count = static_cast<Py_ssize_t>(fields_.size());
  PyRef list = PyRef::steal(PyList_New(count));
  if (!list) return PyRef();
  for (Py_ssize_t i = 0; i < count; ++i) {
    const auto index = static_cast<std::size_t>(i);
    PyRef items = PyRef::steal(PySequence_List(PyTuple_GET_ITEM(kept(index), 0)));
    PyRef copy = PyRef::steal(PyDict_New());
    if (!items || !copy) return PyRef();
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(items.get()); ++k) {
      PyObject* item = PyList_GET_ITEM(items.get(), k);
      if (PyDict_SetItem(copy.get(), PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1)) < 0) {
        return PyRef();
      }
    }
    // The keys as they were read; bits and offsets as the ints they were read as, so that the
    // copy makes the same layout again.
    const FieldPlan& field = fields_[index];
    const Cold& cold = cold_[index];
    const PyRef bits = PyRef::steal(PyLong_FromUnsignedLong(field.bits));
    const bool written =
        set_item(copy.get(), RecipeKey::name, PyTuple_GET_ITEM(kept(index), 1)) &&
        set_item(copy.get(), RecipeKey::encoding, PyTuple_GET_ITEM(kept(index), 2)) &&
        set_item(copy.get(), RecipeKey::bits, bits.get()) &&
        set_item(copy.get(), RecipeKey::byte_order, PyTuple_GET_ITEM(kept(index), 3)) &&
        set_item(copy.get(), RecipeKey::reverse_bits, field.reverse_bits ? Py_True : Py_False);
    if (!written) return PyRef();
    PyObject* offset_key = interned_key(RecipeKey::offset_bits);
    if (cold.has_offset) {
      const PyRef offset = PyRef::steal(PyLong_FromUnsignedLong(cold.offset_bits));
      if (!set_item(copy.get(), RecipeKey::offset_bits, offset.get())) return PyRef();
    } else if (PyDict_Contains(copy.get(), offset_key)) {
      if (PyDict_DelItem(copy.get(), offset_key) < 0) return PyRef();
    } else if (PyErr_Occurred()) {
      return PyRef();
    }
    PyList_SET_ITEM(list.get(), i, copy.release());
  }
  return list;
}

TextView Plan::name_text(std::size_t index) const { return text_of(fields_[index].key.get()); }

FieldLabel Plan::label(std::size_t index, std::uint64_t start_bit) const {
  return FieldLabel{index, fields_[index].key.get(), cold_[index].encoding,
                    true,  fields_[index].bits,      start_bit};
}

PyObject* Plan::raise(EngineError& error, const FailedField& where) const {
  raise_engine_error(error);
  if (where.index != FailedField::kNoField) {
    note_field_of_raised(label(where.index, where.start_bit));
  }
  add_hint_of(error);
  return nullptr;
}

PyRef Plan::problems() const {
  std::vector<std::string> found;
  const std::size_t count = fields_.size();
  auto about = [&](std::size_t index) {
    std::string text = "field ";
    append_decimal(text, index);
    text += ' ';
    text += repr_text(fields_[index].key.get());
    return text;
  };

  for (std::size_t i = 0; i < count; ++i) {
    const FieldPlan& field = fields_[i];
    const Family family = field.row->family;
    if (field.bits > 0 && field.start_bit % 8 != 0) {
      std::string text = about(i);
      text += " starts at bit ";
      append_decimal(text, field.start_bit);
      text += ", ";
      append_decimal(text, field.start_bit % 8);
      text += field.start_bit % 8 == 1 ? " bit into byte " : " bits into byte ";
      append_decimal(text, field.start_bit / 8);
      text +=
          ": the layout is byte-granular, so the field is read and written from the start "
          "of that byte";
      found.push_back(std::move(text));
    }
    if (entries_) {
      // A copy of the list: repr() runs Python code.
      PyRef items = PyRef::steal(PySequence_List(PyTuple_GET_ITEM(kept(i), 0)));
      if (!items) return PyRef();
      std::vector<std::string> unknown;
      for (Py_ssize_t k = 0; k < PyList_GET_SIZE(items.get()); ++k) {
        PyObject* key = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), k), 0);
        if (!is_recipe_key(key)) unknown.push_back(repr_text(key));
      }
      if (!unknown.empty()) {
        std::string text = about(i);
        text +=
            unknown.size() == 1 ? " has a key that is not read: " : " has keys that are not read: ";
        for (std::size_t k = 0; k < unknown.size(); ++k) {
          if (k > 0) text += ", ";
          text += unknown[k];
        }
        found.push_back(std::move(text));
      }
    }
    if (is_numeric(family) && field.bits > 64) {
      std::string text = about(i);
      text += " is ";
      append_decimal(text, field.bits);
      text += " bits wide, but its values have 64 bits: only eight of its ";
      append_decimal(text, field.byte_count);
      text += " bytes are read or written";
      found.push_back(std::move(text));
    }
    if (family == Family::binary_float && field.bits != float_width(*field.row)) {
      std::string text = about(i);
      text += " is ";
      text += field.row->name;
      text += " in ";
      append_decimal(text, field.bits);
      text += field.bits == 1 ? " bit" : " bits";
      text += ", not the format's ";
      append_decimal(text, float_width(*field.row));
      found.push_back(std::move(text));
    }
    if (family == Family::text && field.bits % 8 != 0) {
      std::string text = about(i);
      text += " is text in ";
      append_decimal(text, field.bits);
      text += field.bits == 1 ? " bit" : " bits";
      text += ", not a whole number of bytes: it is read and written as ";
      append_decimal(text, field.byte_count);
      text += field.byte_count == 1 ? " whole byte" : " whole bytes";
      found.push_back(std::move(text));
    }
    if (family == Family::reserved) {
      std::string text = about(i);
      text += " is ";
      text += field.row->name;
      text += ", which is not implemented: unpacking it always fails, and packing refuses it";
      found.push_back(std::move(text));
    }
    if (family == Family::binary_f128) {
      std::string text = about(i);
      text += " is ";
      text += field.row->name;
      text += field.bits > 64 ? ", which unpacking refuses above 64 bits"
                              : ", which unpacking reads as 0.0 whatever it holds";
      text += " and packing refuses";
      found.push_back(std::move(text));
    }
  }

  std::unordered_map<std::string_view, std::size_t> first_named;
  for (std::size_t i = 0; i < count; ++i) {
    const auto [at, inserted] = first_named.try_emplace(name_text(i), i);
    if (inserted) continue;
    std::string text = "fields ";
    append_decimal(text, at->second);
    text += " and ";
    append_decimal(text, i);
    text += " are both named ";
    text += repr_text(fields_[i].key.get());
    text += ": unpacking keeps the later value, and packing writes the same value into both";
    found.push_back(std::move(text));
  }

  // Windows at a byte-aligned offset, in order of their first byte: a window that starts before
  // the furthest end so far shares bytes with the window that reaches there.
  struct Window {
    std::uint64_t first, end;
    std::size_t index;
  };
  std::vector<Window> windows;
  for (std::size_t i = 0; i < count; ++i) {
    const FieldPlan& field = fields_[i];
    if (field.byte_count == 0) continue;
    windows.push_back({field.start_bit / 8, field.start_bit / 8 + field.byte_count, i});
  }
  std::stable_sort(windows.begin(), windows.end(),
                   [](const Window& a, const Window& b) { return a.first < b.first; });
  struct Overlap {
    std::size_t earlier, later;
    std::uint64_t first, end;
  };
  std::vector<Overlap> overlaps;
  const Window* furthest = nullptr;
  for (const Window& window : windows) {
    if (furthest && window.first < furthest->end) {
      overlaps.push_back({std::min(furthest->index, window.index),
                          std::max(furthest->index, window.index), window.first,
                          std::min(window.end, furthest->end)});
    }
    if (!furthest || window.end > furthest->end) furthest = &window;
  }
  std::sort(overlaps.begin(), overlaps.end(), [](const Overlap& a, const Overlap& b) {
    return a.later != b.later ? a.later < b.later : a.earlier < b.earlier;
  });
  for (const Overlap& overlap : overlaps) {
    std::string text = "fields ";
    append_decimal(text, overlap.earlier);
    text += ' ';
    text += repr_text(fields_[overlap.earlier].key.get());
    text += " and ";
    append_decimal(text, overlap.later);
    text += ' ';
    text += repr_text(fields_[overlap.later].key.get());
    text += " share ";
    append_byte_range(text, overlap.first, overlap.end);
    text += ": packing writes the later over the earlier";
    found.push_back(std::move(text));
  }

  if (!sizing_.ok) {
    std::string text = "the layout cannot be packed: ";
    text += sizing_.failure.message;
    found.push_back(std::move(text));
  }

  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(found.size())));
  if (!list) return PyRef();
  for (std::size_t i = 0; i < found.size(); ++i) {
    PyObject* item =
        PyUnicode_FromStringAndSize(found[i].data(), static_cast<Py_ssize_t>(found[i].size()));
    if (!item) return PyRef();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

}  // namespace fieldpack::layout
