// Reading a recipe into a plan, and the objects the plan keeps for this host.
#include "layout/plan.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/messages.hpp"
#include "host.hpp"
#include "layout/walks.hpp"
#include "recipe.hpp"

namespace fieldpack::layout {

namespace {

bool set_item(PyObject* dict, RecipeKey key, PyObject* value) {
  return value && PyDict_SetItem(dict, interned_key(key), value) == 0;
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

// One entry read whole and judged: its field, and what the layout keeps of it.
struct ReadEntry {
  core::FieldSpec spec;
  PyRef key;
  PyRef kept;
};

// Reads entry `index`, placed at `position` unless it has an offset; the byte order is judged
// before the encoding name, as unpack_parameters judges them.
Result<ReadEntry, FailureRecord> read_entry(RecipeReader& reader, PyObject* entry,
                                            std::size_t index, std::uint64_t position,
                                            core::Packing packing) {
  EngineResult<FieldDefinition> read = reader.read(entry);
  if (!read.ok()) {
    return FailureRecord(std::move(read.failure()), index, readable_text(entry, RecipeKey::name));
  }
  const FieldDefinition& field = read.value();
  const std::uint64_t start = field.has_offset ? field.offset_bits : position;
  auto fault = [&](EngineError&& error) {
    return FailureRecord(std::move(error), index, PyRef::borrow(field.name.get()),
                         field.encoding_text(), field.bits, start);
  };
  EngineResult<ByteOrder> order = reader.byte_order(field);
  if (!order.ok()) return fault(std::move(order.failure()));
  EngineResult<const EncodingRow*> row = reader.encoding(field);
  if (!row.ok()) return fault(std::move(row.failure()));
  if (!row.value()) return fault(core::unsupported_encoding(field.encoding_text(), false));

  ReadEntry out;
  out.spec = core::FieldSpec{std::string(field.name_text()),
                             std::string(field.encoding_text()),
                             row.value(),
                             field.bits,
                             order.value(),
                             field.reverse_bits,
                             field.has_offset,
                             field.offset_bits};
  if (packing == core::Packing::bits) {
    if (std::optional<Failure> refused = core::bit_exact_refusal(out.spec)) {
      return fault(std::move(*refused));
    }
  }
  out.key = name_key(field);
  if (!out.key) return FailureRecord(host_error(), index, PyRef());
  // What the entry held, and the objects read from it: the entry may have changed while it was
  // read (a conversion can run Python code).
  PyRef items = host::own_items(entry);
  out.kept = PyRef::steal(items ? PyTuple_Pack(4, items.get(), field.name.get(),
                                               field.encoding.get(), field.byte_order.get())
                                : nullptr);
  if (!out.kept) return FailureRecord(host_error(), index, PyRef());
  return out;
}

}  // namespace

Result<std::unique_ptr<Plan>, FailureRecord> Plan::read(const SequenceItems& recipe,
                                                        core::Packing packing) {
  auto plan = std::make_unique<Plan>();
  const Py_ssize_t count = recipe.size();
  plan->names_ = PyRef::steal(PyTuple_New(count));
  plan->template_ = PyRef::steal(PyDict_New());
  PyRef entries = PyRef::steal(PyTuple_New(count));
  if (!plan->names_ || !plan->template_ || !entries) return FailureRecord(host_error());

  std::vector<core::FieldSpec> specs;
  specs.reserve(static_cast<std::size_t>(count));
  plan->keys_.reserve(static_cast<std::size_t>(count));
  RecipeReader reader;
  std::uint64_t position = 0;  // where the walks start a field without an offset
  for (Py_ssize_t i = 0; i < count; ++i) {
    const auto index = static_cast<std::size_t>(i);
    Result<ReadEntry, FailureRecord> read = read_entry(reader, recipe[i], index, position, packing);
    if (!read.ok()) return std::move(read.failure());
    ReadEntry& entry = read.value();
    if (PyDict_SetDefault(plan->template_.get(), entry.key.get(), Py_None) == nullptr) {
      return FailureRecord(host_error(), index, PyRef());
    }
    PyTuple_SET_ITEM(entries.get(), i, entry.kept.release());
    PyTuple_SET_ITEM(plan->names_.get(), i, PyRef::borrow(entry.key.get()).release());
    plan->keys_.push_back(std::move(entry.key));
    position = (entry.spec.has_offset ? entry.spec.offset_bits : position) + entry.spec.bits;
    specs.push_back(std::move(entry.spec));
  }
  plan->entries_ = std::move(entries);
  plan->core_ = std::make_unique<core::Plan>(std::move(specs), packing);
  return plan;
}

bool Plan::set_options(bool strict, PyObject* defaults) {
  strict_ = strict;
  if (!defaults || defaults == Py_None) return true;
  // Read once, into a dict of plain-str names: looking a name up in it later runs no Python code.
  PyRef given = PyRef::steal(PyDict_New());
  if (!given || PyDict_Merge(given.get(), defaults, 1) < 0) return false;
  PyRef copy = PyRef::steal(PyDict_New());
  if (!copy) return false;
  Py_ssize_t position = 0;
  PyObject* name = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(given.get(), &position, &name, &value)) {
    // Every field of that name packs the value, as pack would, into an image of its own.
    bool named = false;
    for (std::size_t i = 0; i < field_count(); ++i) {
      if (!PyUnicode_Check(name) || PyUnicode_Compare(name, key(i)) != 0) {
        if (PyErr_Occurred()) return false;
        continue;
      }
      named = true;
      std::vector<std::uint8_t> image(static_cast<std::size_t>(core_->extent(0)), 0);
      std::vector<core::Produced> produced(field_count());
      const core::PackMode mode{strict, strict ? &produced : nullptr};
      std::optional<FailureRecord> failed;
      if (!pack_value(*this, i, value, {image.data(), image.size(), 0}, mode, failed)) {
        raise_record(*failed, kLayoutWrapping);
        return false;
      }
      if (PyDict_SetItem(copy.get(), key(i), value) < 0) return false;
    }
    if (!named) {
      std::string message = "Layout() argument 'defaults' names no field of the recipe: ";
      PyRef shown = PyRef::steal(PyObject_Repr(name));
      Py_ssize_t size = 0;
      const char* utf8 = shown ? PyUnicode_AsUTF8AndSize(shown.get(), &size) : nullptr;
      if (!utf8) return false;
      message.append(utf8, static_cast<std::size_t>(size));
      PyErr_SetString(PyExc_ValueError, message.c_str());
      return false;
    }
  }
  if (PyDict_Size(copy.get()) > 0) defaults_ = std::move(copy);
  return true;
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
  const auto count = static_cast<Py_ssize_t>(field_count());
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
    const core::FieldSpec& spec = core_->spec(index);
    const PyRef bits = PyRef::steal(PyLong_FromUnsignedLong(spec.bits));
    const bool written =
        set_item(copy.get(), RecipeKey::name, PyTuple_GET_ITEM(kept(index), 1)) &&
        set_item(copy.get(), RecipeKey::encoding, PyTuple_GET_ITEM(kept(index), 2)) &&
        set_item(copy.get(), RecipeKey::bits, bits.get()) &&
        set_item(copy.get(), RecipeKey::byte_order, PyTuple_GET_ITEM(kept(index), 3)) &&
        set_item(copy.get(), RecipeKey::reverse_bits, spec.reverse_bits ? Py_True : Py_False);
    if (!written) return PyRef();
    PyObject* offset_key = interned_key(RecipeKey::offset_bits);
    if (spec.has_offset) {
      const PyRef offset = PyRef::steal(PyLong_FromUnsignedLong(spec.offset_bits));
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

FailureRecord Plan::record(EngineError&& error, std::size_t index, std::uint64_t start_bit) const {
  if (index == FailureRecord::kNoField) return FailureRecord(std::move(error));
  const core::FieldSpec& spec = core_->spec(index);
  return FailureRecord(std::move(error), index, PyRef::borrow(key(index)), spec.encoding, spec.bits,
                       start_bit);
}

FailureRecord Plan::record(core::FieldFailure&& failure) const {
  return record(std::move(failure.failure), failure.index, failure.start_bit);
}

PyRef Plan::problems() const {
  const std::size_t count = field_count();
  std::vector<std::string> names(count);
  std::vector<std::vector<std::string>> unread(count);
  for (std::size_t i = 0; i < count; ++i) {
    names[i] = repr_text(key(i));
    if (!entries_) continue;
    // A copy of the list: repr() runs Python code.
    PyRef items = PyRef::steal(PySequence_List(PyTuple_GET_ITEM(kept(i), 0)));
    if (!items) return PyRef();
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(items.get()); ++k) {
      PyObject* item_key = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), k), 0);
      if (!is_recipe_key(item_key)) unread[i].push_back(repr_text(item_key));
    }
  }
  const std::vector<std::string> found = core_->problems(names, unread);
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
