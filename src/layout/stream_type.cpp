// Stream as a Python type: its arguments read and judged into the core's table, its properties,
// pickling, and its calls (stream.cpp does their work).
#include "layout/stream_type.hpp"

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding.hpp"
#include "boundary.hpp"
#include "common/bits.hpp"
#include "conversions.hpp"
#include "layout/layout_type.hpp"
#include "layout/stream.hpp"

namespace fieldpack::layout {

namespace {

struct StreamObject {
  PyObject ob_base;
  StreamDefinition* stream;  // owned; read-only from construction on
};

PyTypeObject* stream_type = nullptr;

const StreamDefinition& stream_of(PyObject* self) {
  return *reinterpret_cast<StreamObject*>(self)->stream;
}

std::string repr_of(PyObject* object) {
  PyRef repr = PyRef::steal(PyObject_Repr(object));
  Py_ssize_t size = 0;
  const char* utf8 = repr ? PyUnicode_AsUTF8AndSize(repr.get(), &size) : nullptr;
  if (!utf8) {
    PyErr_Clear();
    return "<an object whose repr() failed>";
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

std::string type_name_of(PyObject* object) {
  if (object == Py_None) return "None";
  return type_qualname(reinterpret_cast<PyObject*>(Py_TYPE(object)));
}

PyObject* type_error(std::string_view parameter, std::string_view expected, PyObject* given) {
  std::string message = "Stream() argument '";
  message += parameter;
  message += "' must be ";
  message += expected;
  message += ", not ";
  message += type_name_of(given);
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return nullptr;
}

bool value_error(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return false;
}

// "unsigned in 11 bits", "twos_complement in 8 bits", for messages about a header field.
std::string field_description(const Plan& plan, std::size_t index) {
  const core::FieldSpec& spec = plan.core().spec(index);
  std::string text = "field '" + spec.name + "' of the header is " + spec.encoding + " in ";
  append_decimal(text, spec.bits);
  text += spec.bits == 1 ? " bit" : " bits";
  return text;
}

// The items of an iterable as a new list: a list's or a tuple's own items (a subclass's
// __len__ and __iter__ play no part, as for a dict's storage), any other iterable's by iteration.
PyRef items_of(PyObject* iterable) {
  if (PyList_Check(iterable)) {
    return PyRef::steal(PyList_GetSlice(iterable, 0, PyList_GET_SIZE(iterable)));
  }
  if (PyTuple_Check(iterable)) {
    PyRef items = PyRef::steal(PyTuple_GetSlice(iterable, 0, PyTuple_GET_SIZE(iterable)));
    return PyRef::steal(items ? PySequence_List(items.get()) : nullptr);
  }
  return PyRef::steal(PySequence_List(iterable));
}

// Reads a Stream's arguments into its definition, in the order of the signature.
class Reader {
 public:
  explicit Reader(StreamDefinition& stream) : stream_(stream) {}

  bool header(PyObject* header) {
    stream_.header_plan = layout_plan(header);
    if (!stream_.header_plan) return type_error("header", "Layout", header);
    stream_.header = PyRef::borrow(header);
    return true;
  }

  // A header field named by an argument, as the index of the last field of that name (the one
  // whose value unpack keeps); `name` becomes that field's own str.
  bool field(std::string_view parameter, PyObject* given, std::size_t& index, PyRef& name) {
    if (!PyUnicode_Check(given)) return type_error(parameter, "str", given);
    const Plan& plan = *stream_.header_plan;
    for (std::size_t i = plan.field_count(); i-- > 0;) {
      const int order = PyUnicode_Compare(given, plan.key(i));
      if (order == -1 && PyErr_Occurred()) return false;
      if (order != 0) continue;
      if (!core::is_stream_integer(plan.core().fields()[i].step)) {
        std::string message = "Stream() argument '";
        message += parameter;
        message += "' must name an integer field of 1 to 64 bits, but ";
        message += field_description(plan, i);
        return value_error(message);
      }
      index = i;
      name = PyRef::borrow(plan.key(i));
      return true;
    }
    std::string message = "Stream() argument '";
    message += parameter;
    message += "' names no field of the header: ";
    message += repr_of(given);
    return value_error(message);
  }

  bool key(PyObject* given) {
    if (PyUnicode_Check(given)) {
      std::size_t index = 0;
      if (!field("key", given, index, stream_.key)) return false;
      spec_.key_fields.push_back(index);
    } else if (PyTuple_Check(given)) {
      // A tuple's own items: a subclass's __len__ or __iter__ plays no part.
      PyRef items = PyRef::steal(PyTuple_GetSlice(given, 0, PyTuple_GET_SIZE(given)));
      if (!items) return false;
      const Py_ssize_t count = PyTuple_GET_SIZE(items.get());
      if (count == 0) return value_error("Stream() argument 'key' must name at least one field");
      stream_.key = PyRef::steal(PyTuple_New(count));
      if (!stream_.key) return false;
      for (Py_ssize_t i = 0; i < count; ++i) {
        std::size_t index = 0;
        PyRef name;
        if (!field("key", PyTuple_GET_ITEM(items.get(), i), index, name)) return false;
        PyTuple_SET_ITEM(stream_.key.get(), i, name.release());
        spec_.key_fields.push_back(index);
      }
    } else {
      type_error("key", "str or a tuple of str", given);
      return false;
    }
    for (const std::size_t index : spec_.key_fields) {
      stream_.signed_keys.push_back(stream_.header_plan->core().fields()[index].step.decoded ==
                                    core::ValueKind::signed_integer);
    }
    return true;
  }

  // The value of header field `index` that `given` (an int, by __index__) stands for; `fits`
  // false when the field can never hold it.
  bool pattern(std::size_t index, PyObject* given, std::uint64_t& out, bool& fits,
               PyRef& canonical) {
    PyRef number = PyRef::steal(PyNumber_Index(given));
    if (!number) return false;
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    bool negative = false;
    std::uint64_t magnitude = 0;
    fits = true;
    if (overflow == 0) {
      negative = value < 0;
      magnitude = magnitude_of(value);
    } else if (overflow > 0) {
      magnitude = PyLong_AsUnsignedLongLong(number.get());
      if (magnitude == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
        fits = false;
      }
    } else {
      fits = false;
    }
    if (fits) {
      const auto found = core::integer_pattern(stream_.header_plan->core().fields()[index].step,
                                               negative, magnitude);
      fits = found.has_value();
      if (fits) out = *found;
    }
    // The key as the result has it: a plain int of the value.
    canonical = PyRef::steal(PyNumber_Long(number.get()));
    return static_cast<bool>(canonical);
  }

  // A key of the key fields (an int, or a tuple of as many ints as there are key fields), for
  // `what` ("layouts", "idle"): its values, and the key as the result has it.
  bool key_values(std::string_view what, PyObject* given, core::KeyValues& values,
                  PyRef& canonical) {
    const std::size_t count = spec_.key_fields.size();
    values.assign(count, 0);
    PyRef items;
    if (count == 1) {
      items = PyRef::steal(PyTuple_Pack(1, given));
    } else if (PyTuple_Check(given) && PyTuple_GET_SIZE(given) == static_cast<Py_ssize_t>(count)) {
      items = PyRef::steal(PyTuple_GetSlice(given, 0, static_cast<Py_ssize_t>(count)));
    } else {
      std::string expected = "a tuple of ";
      append_decimal(expected, count);
      expected += " ints";
      std::string message = "Stream() argument '";
      message += what;
      message += "' must have keys that are ";
      message += expected;
      message += ", not ";
      message += type_name_of(given);
      if (PyTuple_Check(given)) {
        message += " of ";
        append_decimal(message, PyTuple_GET_SIZE(given));
      }
      PyErr_SetString(PyExc_TypeError, message.c_str());
      return false;
    }
    if (!items) return false;
    PyRef parts = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(count)));
    if (!parts) return false;
    bool all_fit = true;
    std::size_t misfit = 0;
    for (std::size_t i = 0; i < count; ++i) {
      bool fits = true;
      PyRef part;
      if (!pattern(spec_.key_fields[i], PyTuple_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i)),
                   values[i], fits, part)) {
        return false;
      }
      if (!fits && all_fit) {
        all_fit = false;
        misfit = i;
      }
      PyTuple_SET_ITEM(parts.get(), static_cast<Py_ssize_t>(i), part.release());
    }
    canonical = count == 1 ? PyRef::borrow(PyTuple_GET_ITEM(parts.get(), 0)) : std::move(parts);
    if (all_fit) return true;
    std::string message = "Stream() ";
    message += what;
    message += " key ";
    message += repr_of(canonical.get());
    message += " cannot occur: ";
    message += field_description(*stream_.header_plan, spec_.key_fields[misfit]);
    return value_error(message);
  }

  bool layouts(PyObject* given) {
    PyRef items = mapping_items("layouts", given);
    if (!items) return false;
    std::map<core::KeyValues, std::size_t> seen;
    const Py_ssize_t count = PyList_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* pair = PyList_GET_ITEM(items.get(), i);
      PyObject* layout = PyTuple_GET_ITEM(pair, 1);
      StreamLayout made;
      made.plan = layout_plan(layout);
      if (!made.plan) {
        std::string message = "Stream() argument 'layouts' must map keys to Layout objects, not ";
        message += type_name_of(layout);
        PyErr_SetString(PyExc_TypeError, message.c_str());
        return false;
      }
      made.layout = PyRef::borrow(layout);
      core::KeyValues values;
      if (!key_values("layouts", PyTuple_GET_ITEM(pair, 0), values, made.key)) return false;
      made.key_text = repr_of(made.key.get());
      if (!seen.emplace(values, stream_.layouts.size()).second) {
        return value_error("Stream() layouts has key " + made.key_text + " twice");
      }
      if (!made.columns.build(*made.plan)) return false;
      made.need = core::whole_size(made.plan->core());
      made.stride = std::max<std::uint64_t>(made.need, 1);
      spec_.layout_keys.push_back(std::move(values));
      spec_.layout_needs.push_back(made.need);
      stream_.layouts.push_back(std::move(made));
    }
    return true;
  }

  bool length(PyObject* length, PyObject* offset, PyObject* size) {
    const bool has_length = length && length != Py_None;
    const bool has_size = size && size != Py_None;
    if (has_length == has_size) {
      return value_error("Stream() takes exactly one of the arguments 'length' and 'size'");
    }
    stream_.length = PyRef::borrow(Py_None);
    stream_.size = PyRef::borrow(Py_None);
    const std::uint64_t header_need = std::max<std::uint64_t>(core::whole_size(header_plan()), 1);
    if (has_length) {
      std::size_t index = 0;
      if (!field("length", length, index, stream_.length)) return false;
      spec_.length_field = index;
    } else {
      PyRef number = PyRef::steal(PyNumber_Index(size));
      if (!number) return false;
      int overflow = 0;
      const long long value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
      if (value == -1 && PyErr_Occurred()) return false;
      if (overflow > 0 ||
          (overflow == 0 && value > 0 && static_cast<std::uint64_t>(value) >= header_need)) {
        if (overflow > 0) {
          PyErr_SetString(PyExc_OverflowError, "Stream() argument 'size' is too large");
          return false;
        }
        spec_.size = static_cast<std::uint64_t>(value);
        stream_.size = PyRef::steal(PyNumber_Long(number.get()));
        if (!stream_.size) return false;
      } else {
        std::string message = "Stream() size must be at least the header's ";
        append_decimal(message, header_need);
        message += header_need == 1 ? " byte, not " : " bytes, not ";
        message += repr_of(number.get());
        return value_error(message);
      }
    }
    PyRef number = PyRef::steal(offset ? PyNumber_Index(offset) : PyLong_FromLong(0));
    if (!number) return false;
    const long long value = PyLong_AsLongLong(number.get());
    if (value == -1 && PyErr_Occurred()) return false;
    if (value != 0 && !has_length) {
      return value_error("Stream() argument 'length_offset' needs the argument 'length'");
    }
    spec_.length_offset = value;
    stream_.length_offset = PyRef::steal(PyLong_FromLongLong(value));
    return static_cast<bool>(stream_.length_offset);
  }

  bool sequence(PyObject* sequence, PyObject* modulus) {
    stream_.sequence = PyRef::borrow(Py_None);
    stream_.sequence_modulus = PyRef::borrow(Py_None);
    const bool given = sequence && sequence != Py_None;
    if (!given) {
      if (modulus && modulus != Py_None) {
        return value_error("Stream() argument 'sequence_modulus' needs the argument 'sequence'");
      }
      return true;
    }
    std::size_t index = 0;
    if (!field("sequence", sequence, index, stream_.sequence)) return false;
    spec_.sequence_field = index;
    const std::uint32_t bits = header_plan().fields()[index].step.bits;
    if (!modulus || modulus == Py_None) {
      spec_.sequence_modulus = bits >= 64 ? 0 : std::uint64_t{1} << bits;
      PyRef one = PyRef::steal(PyLong_FromLong(1));
      PyRef width = PyRef::steal(PyLong_FromUnsignedLong(bits));
      stream_.sequence_modulus =
          PyRef::steal(one && width ? PyNumber_Lshift(one.get(), width.get()) : nullptr);
      return static_cast<bool>(stream_.sequence_modulus);
    }
    PyRef number = PyRef::steal(PyNumber_Index(modulus));
    if (!number) return false;
    const unsigned long long value = PyLong_AsUnsignedLongLong(number.get());
    bool fits = true;
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
      PyErr_Clear();
      // 2^64 itself is the one modulus past the 64-bit numbers; the table holds it as 0.
      PyRef largest = PyRef::steal(PyLong_FromString("18446744073709551616", nullptr, 10));
      if (!largest) return false;
      const int equal = PyObject_RichCompareBool(number.get(), largest.get(), Py_EQ);
      if (equal < 0) return false;
      fits = equal == 1;
      spec_.sequence_modulus = 0;
    } else {
      fits = value >= 1;
      spec_.sequence_modulus = value;
    }
    if (!fits) {
      return value_error("Stream() sequence_modulus must be from 1 to 2**64, not " +
                         repr_of(number.get()));
    }
    stream_.sequence_modulus = PyRef::steal(PyNumber_Long(number.get()));
    return static_cast<bool>(stream_.sequence_modulus);
  }

  bool tail(PyObject* given) {
    if (!given || given == Py_None) {
      stream_.tail = PyRef::borrow(Py_None);
      return true;
    }
    if (!PyUnicode_Check(given)) return type_error("tail", "str or None", given);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(given, &size);
    if (!utf8) return false;
    stream_.tail = PyRef::steal(PyUnicode_FromStringAndSize(utf8, size));
    if (!stream_.tail) return false;
    for (const StreamLayout& layout : stream_.layouts) {
      for (std::size_t c = 0; c < layout.columns.size(); ++c) {
        const int order = PyUnicode_Compare(stream_.tail.get(), layout.columns.key(c));
        if (order == -1 && PyErr_Occurred()) return false;
        if (order == 0) {
          return value_error("Stream() tail " + repr_of(stream_.tail.get()) +
                             " is the name of a field of the layout of key " + layout.key_text);
        }
      }
    }
    return true;
  }

  bool idle(PyObject* given) {
    if (!given || given == Py_None) given = nullptr;
    PyRef items = given ? items_of(given) : PyRef::steal(PyList_New(0));
    if (!items) return false;
    const Py_ssize_t count = PyList_GET_SIZE(items.get());
    stream_.idle = PyRef::steal(PyTuple_New(count));
    if (!stream_.idle) return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
      core::KeyValues values;
      PyRef key;
      if (!key_values("idle", PyList_GET_ITEM(items.get(), i), values, key)) return false;
      PyTuple_SET_ITEM(stream_.idle.get(), i, key.release());
      spec_.idle_keys.push_back(std::move(values));
    }
    return true;
  }

  // sync and unsegmented: header field name -> the value it must have.
  bool checks(std::string_view parameter, PyObject* given, PyRef& kept,
              std::vector<core::HeaderCheck>& out) {
    kept = PyRef::borrow(Py_None);
    if (!given || given == Py_None) return true;
    PyRef items = mapping_items(parameter, given);
    if (!items) return false;
    kept = PyRef::steal(PyDict_New());
    if (!kept) return false;
    const Py_ssize_t count = PyList_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* pair = PyList_GET_ITEM(items.get(), i);
      std::size_t index = 0;
      PyRef name;
      if (!field(parameter, PyTuple_GET_ITEM(pair, 0), index, name)) return false;
      core::HeaderCheck check{index, 0};
      bool fits = true;
      PyRef value;
      if (!pattern(index, PyTuple_GET_ITEM(pair, 1), check.value, fits, value)) return false;
      if (!fits) {
        std::string message = "Stream() ";
        message += parameter;
        message += " value ";
        message += repr_of(value.get());
        message += " cannot occur: ";
        message += field_description(header_plan_object(), index);
        return value_error(message);
      }
      if (PyDict_SetItem(kept.get(), name.get(), value.get()) < 0) return false;
      out.push_back(check);
    }
    return true;
  }

  core::StreamSpec& spec() { return spec_; }

 private:
  const core::Plan& header_plan() const { return stream_.header_plan->core(); }
  const Plan& header_plan_object() const { return *stream_.header_plan; }

  // A mapping's items as a new list of 2-tuples: a dict's own storage (no hooks), or what its
  // items() gives.
  static PyRef mapping_items(std::string_view parameter, PyObject* given) {
    PyRef items;
    if (PyDict_Check(given)) {
      items = PyRef::steal(PyDict_Items(given));
    } else {
      PyRef method = PyRef::steal(PyObject_GetAttrString(given, "items"));
      if (!method) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return PyRef();
        PyErr_Clear();
        type_error(parameter, "a mapping", given);
        return PyRef();
      }
      PyRef listed = PyRef::steal(PyObject_CallNoArgs(method.get()));
      if (listed) items = items_of(listed.get());
    }
    if (!items) return PyRef();
    PyRef pairs = PyRef::steal(PyList_New(PyList_GET_SIZE(items.get())));
    if (!pairs) return PyRef();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
      PyObject* item = PyList_GET_ITEM(items.get(), i);
      PyRef listed = items_of(item);
      PyRef pair = PyRef::steal(listed ? PyList_AsTuple(listed.get()) : nullptr);
      if (!pair) return PyRef();
      if (PyTuple_GET_SIZE(pair.get()) != 2) {
        std::string message = "Stream() argument '";
        message += parameter;
        message += "' gave an item that is not a (key, value) pair";
        PyErr_SetString(PyExc_ValueError, message.c_str());
        return PyRef();
      }
      PyList_SET_ITEM(pairs.get(), i, pair.release());
    }
    return pairs;
  }

  StreamDefinition& stream_;
  core::StreamSpec spec_;
};

PyObject* stream_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {
        "header",           "key",  "layouts", "length", "length_offset", "size", "sequence",
        "sequence_modulus", "tail", "idle",    "sync",   "unsegmented",   nullptr};
    PyObject* given[12] = {};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOOOOOOOOO:Stream",
                                     const_cast<char**>(keywords), &given[0], &given[1], &given[2],
                                     &given[3], &given[4], &given[5], &given[6], &given[7],
                                     &given[8], &given[9], &given[10], &given[11])) {
      return nullptr;
    }
    for (const std::size_t required : {std::size_t{1}, std::size_t{2}}) {
      if (given[required]) continue;
      std::string message = "Stream() missing required keyword-only argument: '";
      message += keywords[required];
      message += "'";
      PyErr_SetString(PyExc_TypeError, message.c_str());
      return nullptr;
    }
    auto stream = std::make_unique<StreamDefinition>();
    Reader reader(*stream);
    if (!reader.header(given[0]) || !reader.key(given[1]) || !reader.layouts(given[2]) ||
        !reader.length(given[3], given[4], given[5]) || !reader.sequence(given[6], given[7]) ||
        !reader.tail(given[8]) || !reader.idle(given[9]) ||
        !reader.checks("sync", given[10], stream->sync, reader.spec().sync) ||
        !reader.checks("unsegmented", given[11], stream->unsegmented, reader.spec().whole)) {
      return nullptr;
    }
    stream->table =
        std::make_unique<core::StreamTable>(stream->header_plan->core(), std::move(reader.spec()));
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    reinterpret_cast<StreamObject*>(self)->stream = stream.release();
    return self;
  });
}

int stream_traverse(PyObject* self, visitproc visit, void* arg) {
  if (int done = visit(reinterpret_cast<PyObject*>(Py_TYPE(self)), arg)) return done;
  const StreamDefinition* stream = reinterpret_cast<StreamObject*>(self)->stream;
  if (!stream) return 0;
  // Only the layouts can hold what refers back to the stream (in the entries of their recipes);
  // their own clearing breaks such a cycle, so the stream never lets go of them.
  if (int done = visit(stream->header.get(), arg)) return done;
  for (const StreamLayout& layout : stream->layouts) {
    if (int done = visit(layout.layout.get(), arg)) return done;
  }
  return 0;
}

void stream_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  delete std::exchange(reinterpret_cast<StreamObject*>(self)->stream, nullptr);
  type->tp_free(self);
  Py_DECREF(type);
}

int stream_setattro(PyObject*, PyObject* name, PyObject*) {
  PyErr_Format(PyExc_AttributeError, "Stream objects are immutable: cannot set or delete '%U'",
               name);
  return -1;
}

PyObject* stream_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const StreamDefinition& stream = stream_of(self);
    std::string text = "<Stream of ";
    append_decimal(text, stream.layouts.size());
    text += stream.layouts.size() == 1 ? " layout, key " : " layouts, key ";
    text += repr_of(stream.key.get());
    if (stream.length.get() != Py_None) {
      text += ", length ";
      text += repr_of(stream.length.get());
      const std::int64_t offset = stream.table->spec().length_offset;
      if (offset != 0) {
        text += offset < 0 ? " - " : " + ";
        append_decimal(text, magnitude_of(offset));
      }
    } else {
      text += ", ";
      append_decimal(text, stream.table->spec().size);
      text += "-byte packets";
    }
    text += '>';
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

// A flag given as a bool; `given` may be empty (not given: false).
bool flag(std::string_view function, std::string_view parameter, PyObject* given, bool& out) {
  out = false;
  if (!given) return true;
  if (!PyBool_Check(given)) {
    std::string message(function);
    message += "() argument '";
    message += parameter;
    message += "' must be bool, not ";
    message += type_name_of(given);
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
  }
  out = given == Py_True;
  return true;
}

constexpr Signature kUnpackColumns =
    parse_signature("Stream.unpack_columns", "buffer, *, numpy=False, offsets=False");
#define FIELDPACK_STREAM_CHUNK_BYTES 16777216
#define FIELDPACK_STREAM_TEXT_OF(x) FIELDPACK_STREAM_TEXT_OF_EXPANDED(x)
#define FIELDPACK_STREAM_TEXT_OF_EXPANDED(x) #x
static_assert(FIELDPACK_STREAM_CHUNK_BYTES == kStreamChunkBytes);
constexpr Signature kUnpackFile = parse_signature(
    "Stream.unpack_file",
    "path_or_file, *, numpy=False, offsets=False, chunk_bytes=" FIELDPACK_STREAM_TEXT_OF(
        FIELDPACK_STREAM_CHUNK_BYTES) ", progress=None");
constexpr Signature kSplit = parse_signature("Stream.split", "buffer");

PyObject* stream_unpack_columns(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[3] = {nullptr, nullptr, nullptr};
    if (!bind_given(kUnpackColumns, args, nargs, kwnames, bound)) return nullptr;
    StreamCall call{kUnpackColumns.name, StreamOutput::columns};
    if (!flag(call.function, "numpy", bound[1], call.numpy) ||
        !flag(call.function, "offsets", bound[2], call.offsets)) {
      return nullptr;
    }
    // The stream is held for the call: its layouts stay whatever Python code runs meanwhile.
    PyRef held = PyRef::borrow(self);
    return stream_buffer(stream_of(self), bound[0], call);
  });
}

PyObject* stream_unpack_file(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};
    if (!bind_given(kUnpackFile, args, nargs, kwnames, bound)) return nullptr;
    StreamCall call{kUnpackFile.name, StreamOutput::columns};
    if (!flag(call.function, "numpy", bound[1], call.numpy) ||
        !flag(call.function, "offsets", bound[2], call.offsets)) {
      return nullptr;
    }
    std::uint64_t chunk_bytes = kStreamChunkBytes;
    if (bound[3]) {
      PyRef index = PyRef::steal(PyNumber_Index(bound[3]));
      if (!index) return nullptr;
      const Py_ssize_t value = PyNumber_AsSsize_t(index.get(), nullptr);  // clamped
      if (value < 1) {
        std::string message(call.function);
        message += "() chunk_bytes must be at least 1, not ";
        if (!append_str(message, index.get())) message += "a smaller number";
        PyErr_SetString(PyExc_ValueError, message.c_str());
        return nullptr;
      }
      chunk_bytes = static_cast<std::uint64_t>(value);
    }
    PyObject* progress = bound[4] ? bound[4] : Py_None;
    if (progress != Py_None && !PyBool_Check(progress) && !PyCallable_Check(progress)) {
      std::string message(call.function);
      message += "() argument 'progress' must be callable, True or None, not ";
      message += type_name_of(progress);
      PyErr_SetString(PyExc_TypeError, message.c_str());
      return nullptr;
    }
    PyRef held = PyRef::borrow(self);
    return stream_file(stream_of(self), bound[0], call, chunk_bytes, progress);
  });
}

PyObject* stream_split(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* buffer = nullptr;
    if (!bind_given(kSplit, args, nargs, kwnames, &buffer)) return nullptr;
    PyRef held = PyRef::borrow(self);
    return stream_buffer(stream_of(self), buffer, {kSplit.name, StreamOutput::bytes});
  });
}

PyObject* layouts_dict(const StreamDefinition& stream) {
  PyRef layouts = PyRef::steal(PyDict_New());
  if (!layouts) return nullptr;
  for (const StreamLayout& layout : stream.layouts) {
    if (PyDict_SetItem(layouts.get(), layout.key.get(), layout.layout.get()) < 0) return nullptr;
  }
  return layouts.release();
}

PyObject* copy_or_none(PyObject* object) {
  if (object == Py_None) Py_RETURN_NONE;
  return PyDict_Copy(object);
}

PyObject* stream_reduce(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const StreamDefinition& stream = stream_of(self);
    PyRef options = PyRef::steal(PyDict_New());
    PyRef layouts = PyRef::steal(layouts_dict(stream));
    if (!options || !layouts) return nullptr;
    if (PyDict_SetItemString(options.get(), "key", stream.key.get()) < 0 ||
        PyDict_SetItemString(options.get(), "layouts", layouts.get()) < 0) {
      return nullptr;
    }
    const std::pair<const char*, PyObject*> optional[] = {
        {"length", stream.length.get()},
        {"size", stream.size.get()},
        {"sequence", stream.sequence.get()},
        {"sequence_modulus", stream.sequence_modulus.get()},
        {"tail", stream.tail.get()},
        {"sync", stream.sync.get()},
        {"unsegmented", stream.unsegmented.get()}};
    for (const auto& [name, value] : optional) {
      if (value != Py_None && PyDict_SetItemString(options.get(), name, value) < 0) return nullptr;
    }
    if (stream.table->spec().length_offset != 0 &&
        PyDict_SetItemString(options.get(), "length_offset", stream.length_offset.get()) < 0) {
      return nullptr;
    }
    if (PyTuple_GET_SIZE(stream.idle.get()) > 0 &&
        PyDict_SetItemString(options.get(), "idle", stream.idle.get()) < 0) {
      return nullptr;
    }
    PyRef copyreg = PyRef::steal(PyImport_ImportModule("copyreg"));
    PyRef rebuild =
        PyRef::steal(copyreg ? PyObject_GetAttrString(copyreg.get(), "__newobj_ex__") : nullptr);
    if (!rebuild) return nullptr;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    return Py_BuildValue("(O(O(O)O))", rebuild.get(), type, stream.header.get(), options.get());
  });
}

PyObject* get_header(PyObject* self, void*) {
  return PyRef::borrow(stream_of(self).header.get()).release();
}
PyObject* get_key(PyObject* self, void*) {
  return PyRef::borrow(stream_of(self).key.get()).release();
}
PyObject* get_layouts(PyObject* self, void*) {
  return guarded([&]() -> PyObject* { return layouts_dict(stream_of(self)); });
}
PyObject* get_length(PyObject* self, void*) {
  return PyRef::borrow(stream_of(self).length.get()).release();
}
PyObject* get_length_offset(PyObject* self, void*) {
  return PyRef::borrow(stream_of(self).length_offset.get()).release();
}
PyObject* get_size(PyObject* self, void*) {
  return PyRef::borrow(stream_of(self).size.get()).release();
}
PyObject* get_sequence(PyObject* self, void*) {
  return PyRef::borrow(stream_of(self).sequence.get()).release();
}
PyObject* get_sequence_modulus(PyObject* self, void*) {
  return PyRef::borrow(stream_of(self).sequence_modulus.get()).release();
}
PyObject* get_tail(PyObject* self, void*) {
  return PyRef::borrow(stream_of(self).tail.get()).release();
}
PyObject* get_idle(PyObject* self, void*) {
  return PyRef::borrow(stream_of(self).idle.get()).release();
}
PyObject* get_sync(PyObject* self, void*) { return copy_or_none(stream_of(self).sync.get()); }
PyObject* get_unsegmented(PyObject* self, void*) {
  return copy_or_none(stream_of(self).unsegmented.get());
}

template <class Function>
void* slot(Function* function) {
  return reinterpret_cast<void*>(function);
}

PyCFunction fast(PyObject* (*function)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr char kStreamDoc[] =
    "Stream(header, *, key, layouts, length=None, length_offset=0, size=None, sequence=None, "
    "sequence_modulus=None, tail=None, idle=(), sync=None, unsegmented=None)\n--\n\n"
    "A file or buffer of packets of several layouts back to back, each starting with the\n"
    "same header, walked packet by packet and decoded into columns per layout.\n\n"
    "header is a Layout read at the start of every packet. key names one integer field of it,\n"
    "or a tuple of them, whose value (a tuple of values) picks the packet's Layout in layouts,\n"
    "a mapping of key -> Layout; each layout describes the whole packet from its first bit,\n"
    "header included. A packet is header[length] + length_offset bytes long, or size bytes:\n"
    "exactly one of length and size is given. sequence names the field of the sequence count,\n"
    "counted per key modulo sequence_modulus (default 2**bits of the field). With tail, the\n"
    "bytes of a packet past what its layout needs come back as a column of bytes of that name.\n"
    "idle lists keys of idle packets (counted, not decoded); sync maps header fields to the\n"
    "value every packet has (a packet that differs has lost sync); unsegmented maps header\n"
    "fields to the value of a packet that is no segment (the others are counted).\n\n"
    "The walk stops where sync is lost (also at a length below the header's) and never loops;\n"
    "a last packet longer than what remains is the truncated tail. Each call's result has a\n"
    "summary of the walk, and a StreamWarning is issued once per call whose summary is not\n"
    "clean. Streams are immutable, safe to share between threads, and pickle.";

constexpr char kUnpackColumnsDoc[] =
    "unpack_columns($self, buffer, *, numpy=False, offsets=False)\n--\n\n"
    "Walk the packets of a C-contiguous buffer and decode each layout's into columns.\n\n"
    "The result is a StreamResult: per key of layouts, in their order, a dict of name -> one\n"
    "value per packet of that key, as Layout.unpack_columns gives it (numpy arrays for numeric\n"
    "fields with numpy=True), plus the tail column when the stream has one and, with\n"
    "offsets=True, 'offset': where each packet starts, to merge keys back into stream order.\n"
    "A key that never occurs gets empty columns of the same types. Packets shorter than their\n"
    "layout are left out and counted. A packet that fails to decode raises the first failure in\n"
    "stream order, with notes naming the field and the packet's key and byte.";

constexpr char kUnpackFileDoc[] =
    "unpack_file($self, path_or_file, *, numpy=False, offsets=False, chunk_bytes=" FIELDPACK_STREAM_TEXT_OF(
        FIELDPACK_STREAM_CHUNK_BYTES) ", progress=None)\n--\n\n"
    "Walk and decode a file of packets as unpack_columns walks and decodes a buffer.\n\n"
    "path_or_file is a path, or a binary file read from where it stands (and left open). The\n"
    "file is read chunk_bytes at a time (a chunk grows to hold the largest packet); memory\n"
    "beyond the result stays at about one chunk. progress is a callable, called as\n"
    "progress(bytes_read, bytes_total_or_None) at the start and after each chunk, or True for\n"
    "a tqdm bar (a plain line on stderr without tqdm).";

constexpr char kSplitDoc[] =
    "split($self, buffer)\n--\n\n"
    "The packets of each key of layouts joined as they stand, without decoding them: a\n"
    "StreamResult of key -> bytes, short packets included, with the walk's summary.";

PyMethodDef stream_methods[] = {
    {"unpack_columns", fast(stream_unpack_columns), METH_FASTCALL | METH_KEYWORDS,
     kUnpackColumnsDoc},
    {"unpack_file", fast(stream_unpack_file), METH_FASTCALL | METH_KEYWORDS, kUnpackFileDoc},
    {"split", fast(stream_split), METH_FASTCALL | METH_KEYWORDS, kSplitDoc},
    {"__reduce__", stream_reduce, METH_NOARGS, "Stream(header, **arguments), for pickle and copy."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef stream_getset[] = {
    {"header", get_header, nullptr, "The Layout read at the start of every packet.", nullptr},
    {"key", get_key, nullptr, "The header field (a str) or fields (a tuple) of the key.", nullptr},
    {"layouts", get_layouts, nullptr, "A new dict of key -> Layout, in the given order.", nullptr},
    {"length", get_length, nullptr, "The header field of the packet length, or None.", nullptr},
    {"length_offset", get_length_offset, nullptr,
     "What is added to the length field's value to give a packet's bytes.", nullptr},
    {"size", get_size, nullptr, "The packet size in bytes when it is fixed, or None.", nullptr},
    {"sequence", get_sequence, nullptr, "The header field of the sequence count, or None.",
     nullptr},
    {"sequence_modulus", get_sequence_modulus, nullptr,
     "The modulus of the sequence counts, or None without a sequence field.", nullptr},
    {"tail", get_tail, nullptr, "The name of the column of the bytes past a layout, or None.",
     nullptr},
    {"idle", get_idle, nullptr, "The keys of idle packets, a tuple.", nullptr},
    {"sync", get_sync, nullptr,
     "A new dict of header field -> the value every packet has, or None.", nullptr},
    {"unsegmented", get_unsegmented, nullptr,
     "A new dict of header field -> the value of a packet that is no segment, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#ifdef Py_TPFLAGS_IMMUTABLETYPE
constexpr unsigned long kImmutable = Py_TPFLAGS_IMMUTABLETYPE;
#else
constexpr unsigned long kImmutable = 0;
#endif

PyType_Slot stream_slots[] = {
    {Py_tp_doc, const_cast<char*>(kStreamDoc)},
    {Py_tp_new, slot(stream_new)},
    {Py_tp_dealloc, slot(stream_dealloc)},
    {Py_tp_traverse, slot(stream_traverse)},
    {Py_tp_repr, slot(stream_repr)},
    {Py_tp_setattro, slot(stream_setattro)},
    {Py_tp_methods, stream_methods},
    {Py_tp_getset, stream_getset},
    {0, nullptr},
};

PyType_Spec stream_type_definition = {
    "fieldpack_layout.Stream",
    sizeof(StreamObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | kImmutable,
    stream_slots,
};

}  // namespace

bool add_stream_type(PyObject* module) {
  // Made once and kept for the life of the process, like the module itself.
  if (!stream_type) {
    stream_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&stream_type_definition));
    if (!stream_type) return false;
  }
  PyObject* type = reinterpret_cast<PyObject*>(stream_type);
  Py_INCREF(type);
  if (PyModule_AddObject(module, "Stream", type) < 0) {
    Py_DECREF(type);
    return false;
  }
  return true;
}

}  // namespace fieldpack::layout
