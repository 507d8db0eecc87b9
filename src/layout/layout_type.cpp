// Layout and its iterator as Python types: argument handling, buffers, results and exceptions
// around the plan and its walks.
#include "layout/layout_type.hpp"

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding.hpp"
#include "boundary.hpp"
#include "common/bits.hpp"
#include "common/encodings.hpp"
#include "conversions.hpp"
#include "core/walks.hpp"
#include "field_note.hpp"
#include "host.hpp"
#include "layout/columns.hpp"
#include "layout/plan.hpp"
#include "layout/walks.hpp"
#include "recipe.hpp"

namespace fieldpack::layout {

namespace {

struct LayoutObject {
  PyObject ob_base;
  Plan* plan;  // owned; read-only from construction on
};

struct IteratorObject {
  PyObject ob_base;
  PyObject* layout;  // owned
  PyObject* source;  // the buffer's object, owned while packets remain
  // CPython: a view of `source` held while packets remain, so that the buffer cannot be resized
  // under the iterator. PyPy does not stop a resize for a view, so there every packet takes a
  // view of its own.
  Py_buffer view;
  bool has_view;
  Py_ssize_t stride;
  Py_ssize_t next;
  Py_ssize_t count;
  int busy;  // calls of __next__ under way (a finalizer may iterate from inside one)
};

PyTypeObject* layout_type = nullptr;
PyTypeObject* iterator_type = nullptr;

const Plan& plan_of(PyObject* self) { return *reinterpret_cast<LayoutObject*>(self)->plan; }

PyObject* new_text(const std::string& text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// The name of an argument's type as Python's own argument checks print it.
std::string argument_type_name(PyObject* object) {
  if (object == Py_None) return "None";
  return type_qualname(reinterpret_cast<PyObject*>(Py_TYPE(object)));
}

// TypeError "{function}() argument '{parameter}' must be {expected}, not {type}".
PyObject* bad_argument(std::string_view function, std::string_view parameter,
                       std::string_view expected, PyObject* given) {
  std::string message(function);
  message += "() argument '";
  message += parameter;
  message += "' must be ";
  message += expected;
  message += ", not ";
  message += argument_type_name(given);
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return nullptr;
}

PyObject* value_error(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return nullptr;
}

constexpr Signature kUnpack = parse_signature("Layout.unpack", "buffer, offset_bits=0");
constexpr Signature kPack = parse_signature("Layout.pack", "values");
constexpr Signature kPackInto =
    parse_signature("Layout.pack_into", "buffer, values, offset_bits=0");
constexpr Signature kIterUnpack = parse_signature("Layout.iter_unpack", "buffer, stride=None");

constexpr Signature kUnpackColumns =
    parse_signature("Layout.unpack_columns", "buffer, stride=None, *, numpy=False");
// Packets read from a file at a time, unless the caller says otherwise.
#define FIELDPACK_CHUNK_PACKETS 65536
#define FIELDPACK_TEXT_OF(x) FIELDPACK_TEXT_OF_EXPANDED(x)
#define FIELDPACK_TEXT_OF_EXPANDED(x) #x
constexpr Py_ssize_t kChunkPackets = FIELDPACK_CHUNK_PACKETS;
constexpr Signature kUnpackFile =
    parse_signature("Layout.unpack_file",
                    "path_or_file, stride=None, *, numpy=False, "
                    "chunk_packets=" FIELDPACK_TEXT_OF(FIELDPACK_CHUNK_PACKETS) ", progress=None");

// A flag given as a bool; `given` may be empty (not given: false).
bool flag_argument(std::string_view function, std::string_view parameter, PyObject* given,
                   bool& out) {
  out = false;
  if (!given) return true;
  if (!PyBool_Check(given)) {
    bad_argument(function, parameter, "bool", given);
    return false;
  }
  out = given == Py_True;
  return true;
}

// A buffer argument: a bytes object read in place, or any other C-contiguous buffer through a
// view held until this goes away.
class InputBuffer {
 public:
  InputBuffer() = default;
  InputBuffer(const InputBuffer&) = delete;
  InputBuffer& operator=(const InputBuffer&) = delete;
  ~InputBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }

  // The host's own TypeError or BufferError for an object that is no suitable buffer.
  bool acquire(PyObject* object, bool always_view = false) {
    if (!always_view && PyBytes_CheckExact(object)) {
      data_ = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(object));
      size_ = static_cast<std::uint64_t>(PyBytes_GET_SIZE(object));
      return true;
    }
    if (PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) < 0) return false;
    return take_view();
  }

  bool acquire_writable(PyObject* object, std::string_view function) {
    if (PyObject_GetBuffer(object, &view_, PyBUF_WRITABLE) < 0) {
      // Hosts refuse a read-only buffer with different exceptions (PyPy: ValueError); all of
      // them become the one TypeError. Exhausted memory and interrupts pass as they are.
      if (PyErr_ExceptionMatches(PyExc_MemoryError) || !PyErr_ExceptionMatches(PyExc_Exception))
        return false;
      PyErr_Clear();
      bad_argument(function, "buffer", "read-write bytes-like object", object);
      return false;
    }
    return take_view();
  }

  ByteSpan bytes() const { return ByteSpan(data_, static_cast<std::size_t>(size_)); }
  std::uint8_t* data() const { return data_; }
  std::uint64_t size() const { return size_; }

  // Hands the view over to `out`, which releases it from then on.
  void hand_over(Py_buffer& out) {
    out = view_;
    held_ = false;
  }

 private:
  bool take_view() {
    held_ = true;
    if (!PyBuffer_IsContiguous(&view_, 'C')) {
      PyErr_SetString(PyExc_BufferError, "the buffer is not C-contiguous");
      return false;
    }
    data_ = static_cast<std::uint8_t*>(view_.buf);
    size_ = static_cast<std::uint64_t>(view_.len);
    return true;
  }

  Py_buffer view_{};
  bool held_ = false;
  std::uint8_t* data_ = nullptr;
  std::uint64_t size_ = 0;
};

PyObject* raise_sizing_failure(const Plan& plan) {
  FailureRecord record = plan.record(core::FieldFailure(plan.sizing().failure));
  return raise_record(record, kLayoutWrapping);
}

// The stride of the packets of a buffer or a file: the argument (an integer of at least 1) or,
// when it is None or not given, the layout's size. False with ValueError or TypeError set.
bool stride_argument(const Plan& plan, std::string_view function_name, PyObject* given,
                     Py_ssize_t& stride) {
  const std::string function(function_name);
  if (given && given != Py_None) {
    PyRef index = PyRef::steal(PyNumber_Index(given));
    if (!index) return false;
    stride = PyNumber_AsSsize_t(index.get(), nullptr);  // clamped, never failing
    if (stride >= 1) return true;
    std::string message = function + "() stride must be at least 1, not ";
    if (!append_str(message, index.get())) message += "a smaller number";
    value_error(message);
    return false;
  }
  if (!plan.sizing().ok) {
    value_error(function + "() needs a stride: the layout cannot be packed, so it has no size");
    return false;
  }
  if (plan.sizing().packet_size == 0) {
    value_error(function + "() needs a stride: the layout's packets are 0 bytes long");
    return false;
  }
  stride = static_cast<Py_ssize_t>(plan.sizing().packet_size);
  return true;
}

// ValueError when the buffer's length is not a multiple of the stride.
bool whole_packets(std::string_view function, std::uint64_t size, Py_ssize_t stride) {
  if (size % static_cast<std::uint64_t>(stride) == 0) return true;
  std::string message(function);
  message += "() requires a buffer of a multiple of ";
  append_decimal(message, stride);
  message += " bytes, not ";
  append_decimal(message, size);
  value_error(message);
  return false;
}

// ---------------------------------------------------------------------------------------------
// Layout

// The names of the packings, as Layout's `packing` argument and property spell them.
constexpr std::string_view kPackingNames[] = {"bytes", "bits"};

std::string_view packing_name(core::Packing packing) {
  return kPackingNames[static_cast<std::size_t>(packing)];
}

// The `packing` argument: "bytes" (or not given) or "bits". False with TypeError or ValueError
// set.
bool packing_argument(PyObject* given, core::Packing& out) {
  out = core::Packing::bytes;
  if (!given) return true;
  if (!PyUnicode_Check(given)) {
    bad_argument("Layout", "packing", "str", given);
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(given, &size);
  if (!utf8) return false;
  const std::string_view text(utf8, static_cast<std::size_t>(size));
  for (const core::Packing packing : {core::Packing::bytes, core::Packing::bits}) {
    if (text == packing_name(packing)) {
      out = packing;
      return true;
    }
  }
  std::string message = "Layout() argument 'packing' must be 'bytes' or 'bits', not ";
  PyRef shown = PyRef::steal(PyObject_Repr(given));
  const char* repr = shown ? PyUnicode_AsUTF8AndSize(shown.get(), &size) : nullptr;
  if (!repr) return false;
  message.append(repr, static_cast<std::size_t>(size));
  value_error(message);
  return false;
}

// The layout's packing as its name, a new str.
PyObject* packing_object(const Plan& plan) {
  const std::string_view name = packing_name(plan.packing());
  return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

PyObject* layout_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"recipe", "strict", "defaults", "packing", nullptr};
    PyObject* recipe = nullptr;
    PyObject* strict_argument = nullptr;
    PyObject* defaults = nullptr;
    PyObject* packing_given = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOO:Layout", const_cast<char**>(keywords),
                                     &recipe, &strict_argument, &defaults, &packing_given)) {
      return nullptr;
    }
    if (PyUnicode_Check(recipe) || !PySequence_Check(recipe)) {
      return bad_argument("Layout", "recipe", "a sequence of field definitions", recipe);
    }
    bool strict = false;
    if (!flag_argument("Layout", "strict", strict_argument, strict)) return nullptr;
    // A mapping as dict.update takes one: a dict, or anything with keys() and items by key.
    if (defaults && defaults != Py_None && !PyDict_Check(defaults) &&
        !PyObject_HasAttrString(defaults, "keys")) {
      return bad_argument("Layout", "defaults", "a mapping or None", defaults);
    }
    core::Packing packing = core::Packing::bytes;
    if (!packing_argument(packing_given, packing)) return nullptr;
    SequenceItems entries;
    if (!entries.collect(recipe)) return nullptr;
    auto plan = Plan::read(entries, packing);
    if (!plan.ok()) return raise_record(plan.failure(), kLayoutWrapping);
    if (!plan.value()->set_options(strict, defaults)) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    reinterpret_cast<LayoutObject*>(self)->plan = plan.value().release();
    return self;
  });
}

int layout_traverse(PyObject* self, visitproc visit, void* arg) {
  if (int done = visit(reinterpret_cast<PyObject*>(Py_TYPE(self)), arg)) return done;
  const Plan* plan = reinterpret_cast<LayoutObject*>(self)->plan;
  if (!plan) return 0;
  if (plan->entries()) {
    if (int done = visit(plan->entries(), arg)) return done;
  }
  if (plan->defaults()) return visit(plan->defaults(), arg);
  return 0;
}

// Only the entries' copies and the defaults can hold what refers back to the layout; the walks
// keep working, without the defaults.
int layout_clear(PyObject* self) {
  if (Plan* plan = reinterpret_cast<LayoutObject*>(self)->plan) {
    plan->clear_entries();
    plan->clear_defaults();
  }
  return 0;
}

void layout_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  // Releasing the plan's objects can run finalizers; none of them may find a plan half gone.
  delete std::exchange(reinterpret_cast<LayoutObject*>(self)->plan, nullptr);
  type->tp_free(self);
  Py_DECREF(type);
}

// Every attribute, present or not, is read-only: PyPy would otherwise give each layout a
// __dict__ of its own.
int layout_setattro(PyObject*, PyObject* name, PyObject*) {
  PyErr_Format(PyExc_AttributeError, "Layout objects are immutable: cannot set or delete '%U'",
               name);
  return -1;
}

PyObject* layout_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const Plan& plan = plan_of(self);
    std::string text = "<Layout ";
    append_decimal(text, plan.field_count());
    text += plan.field_count() == 1 ? " field, " : " fields, ";
    if (plan.sizing().ok) {
      append_decimal(text, plan.sizing().packet_size);
      text += plan.sizing().packet_size == 1 ? " byte" : " bytes";
    } else {
      text += "no size";
    }
    if (plan.packing() == core::Packing::bits) text += ", bit-exact";
    if (plan.strict()) text += ", strict";
    if (plan.defaults()) {
      const Py_ssize_t count = PyDict_Size(plan.defaults());
      text += ", ";
      append_decimal(text, count);
      text += count == 1 ? " default" : " defaults";
    }
    text += '>';
    return new_text(text);
  });
}

PyObject* layout_unpack(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[2] = {nullptr, nullptr};
    if (!kwnames && nargs == 1) {
      bound[0] = args[0];
    } else if (!bind_given(kUnpack, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    InputBuffer buffer;
    if (!buffer.acquire(bound[0])) return nullptr;
    std::uint32_t offset_bits = 0;
    if (bound[1] && !convert_size(bound[1], offset_bits)) return nullptr;
    const Plan& plan = plan_of(self);
    Result<PyRef, FailureRecord> result = unpack(plan, buffer.bytes(), offset_bits);
    if (!result.ok()) return raise_record(result.failure(), kLayoutWrapping);
    return result.value().release();
  });
}

PyObject* layout_pack(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* values = nullptr;
    if (!kwnames && nargs == 1) {
      values = args[0];
    } else if (!bind_given(kPack, args, nargs, kwnames, &values)) {
      return nullptr;
    }
    if (!PyDict_Check(values)) return bad_argument(kPack.name, "values", "dict", values);
    const Plan& plan = plan_of(self);
    if (!plan.sizing().ok) return raise_sizing_failure(plan);
    const std::uint64_t size = plan.sizing().packet_size;
    if (plan.packing() == core::Packing::bits && size <= core::kPaddedPacket) {
      // Into room with eight bytes to spare, where every field's bits go in with one 64-bit
      // load and store, then copied out.
      std::uint8_t image[core::kPaddedPacket + 8];
      std::memset(image, 0, static_cast<std::size_t>(size + 8));
      Result<std::monostate, FailureRecord> packed = pack(plan, values, {image, size, 0, size + 8});
      if (!packed.ok()) return raise_record(packed.failure(), kLayoutWrapping);
      return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(image),
                                       static_cast<Py_ssize_t>(size));
    }
    PyRef packet = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!packet) return nullptr;
    auto* bytes = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(packet.get()));
    std::memset(bytes, 0, static_cast<std::size_t>(size));
    Result<std::monostate, FailureRecord> packed = pack(plan, values, {bytes, size, 0});
    if (!packed.ok()) return raise_record(packed.failure(), kLayoutWrapping);
    return packet.release();
  });
}

PyObject* layout_pack_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[3] = {nullptr, nullptr, nullptr};
    if (!bind_given(kPackInto, args, nargs, kwnames, bound)) return nullptr;
    InputBuffer buffer;
    if (!buffer.acquire_writable(bound[0], kPackInto.name)) return nullptr;
    PyObject* values = bound[1];
    if (!PyDict_Check(values)) return bad_argument(kPackInto.name, "values", "dict", values);
    std::uint32_t offset_bits = 0;
    if (bound[2] && !convert_size(bound[2], offset_bits)) return nullptr;
    const Plan& plan = plan_of(self);
    if (!plan.sizing().ok) return raise_sizing_failure(plan);

    // Positions past the largest 32-bit one are refused as unpacking refuses them.
    core::FieldFailure misplaced;
    if (!core::positions_fit(plan.core(), offset_bits, misplaced)) {
      FailureRecord record = plan.record(std::move(misplaced));
      return raise_record(record, kLayoutWrapping);
    }
    const std::uint64_t first_byte = offset_bits / 8;
    const std::uint64_t image_size = plan.core().extent(offset_bits % 8);
    if (first_byte + image_size > buffer.size()) {
      std::string message(kPackInto.name);
      message += "() requires a buffer of at least ";
      append_decimal(message, first_byte + image_size);
      message += " bytes at offset_bits ";
      append_decimal(message, offset_bits);
      message += ", not ";
      append_decimal(message, buffer.size());
      return value_error(message);
    }

    // Every value is converted and encoded into a private image first, so that a failure
    // leaves the buffer as it was; then each field's window goes over, in recipe order.
    // Eight bytes to spare, for the one load and store per field of a bit-exact pack.
    std::vector<std::uint8_t> image(static_cast<std::size_t>(image_size + 8), 0);
    Result<std::monostate, FailureRecord> packed =
        pack(plan, values, {image.data(), image_size, offset_bits, image_size + 8});
    if (!packed.ok()) return raise_record(packed.failure(), kLayoutWrapping);
    std::uint8_t* out = buffer.data() + first_byte;
    // The conversions ran Python code; where a view does not keep the buffer from being resized,
    // look at it afresh, and write nothing if it no longer holds the windows.
    InputBuffer fresh;
    if constexpr (!host::kViewsPinBuffers) {
      if (!fresh.acquire_writable(bound[0], kPackInto.name)) return nullptr;
      if (first_byte + image_size > fresh.size()) {
        std::string message(kPackInto.name);
        message += "() lost its buffer: it was resized while the values were converted";
        return value_error(message);
      }
      out = fresh.data() + first_byte;
    }
    core::copy_fields(plan.core(), {image.data(), image_size, offset_bits}, out);
    Py_RETURN_NONE;
  });
}

PyObject* layout_iter_unpack(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[2] = {nullptr, nullptr};
    if (!bind_given(kIterUnpack, args, nargs, kwnames, bound)) return nullptr;
    InputBuffer buffer;
    if (!buffer.acquire(bound[0], /*always_view=*/true)) return nullptr;
    const Plan& plan = plan_of(self);
    Py_ssize_t stride = 0;
    if (!stride_argument(plan, kIterUnpack.name, bound[1], stride) ||
        !whole_packets(kIterUnpack.name, buffer.size(), stride)) {
      return nullptr;
    }

    auto* iterator = reinterpret_cast<IteratorObject*>(iterator_type->tp_alloc(iterator_type, 0));
    if (!iterator) return nullptr;
    Py_INCREF(self);
    iterator->layout = self;
    Py_INCREF(bound[0]);
    iterator->source = bound[0];
    iterator->stride = stride;
    iterator->next = 0;
    iterator->count = static_cast<Py_ssize_t>(buffer.size() / static_cast<std::uint64_t>(stride));
    iterator->busy = 0;
    iterator->has_view = false;
    if constexpr (host::kViewsPinBuffers) {
      buffer.hand_over(iterator->view);
      iterator->has_view = true;
    }
    return reinterpret_cast<PyObject*>(iterator);
  });
}

PyObject* layout_unpack_columns(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[3] = {nullptr, nullptr, nullptr};
    if (!bind_given(kUnpackColumns, args, nargs, kwnames, bound)) return nullptr;
    InputBuffer buffer;
    if (!buffer.acquire(bound[0])) return nullptr;
    const Plan& plan = plan_of(self);
    Py_ssize_t stride = 0;
    bool numpy = false;
    if (!stride_argument(plan, kUnpackColumns.name, bound[1], stride) ||
        !whole_packets(kUnpackColumns.name, buffer.size(), stride) ||
        !flag_argument(kUnpackColumns.name, "numpy", bound[2], numpy)) {
      return nullptr;
    }
    const auto packet_count = buffer.size() / static_cast<std::uint64_t>(stride);
    return unpack_columns(plan, bound[0], packet_count, static_cast<std::uint64_t>(stride), numpy);
  });
}

PyObject* layout_unpack_file(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};
    if (!bind_given(kUnpackFile, args, nargs, kwnames, bound)) return nullptr;
    const std::string_view function = kUnpackFile.name;
    const Plan& plan = plan_of(self);
    Py_ssize_t stride = 0;
    bool numpy = false;
    if (!stride_argument(plan, function, bound[1], stride) ||
        !flag_argument(function, "numpy", bound[2], numpy)) {
      return nullptr;
    }
    Py_ssize_t chunk_packets = kChunkPackets;
    if (bound[3]) {
      PyRef index = PyRef::steal(PyNumber_Index(bound[3]));
      if (!index) return nullptr;
      chunk_packets = PyNumber_AsSsize_t(index.get(), nullptr);  // clamped, never failing
      if (chunk_packets < 1) {
        std::string message(function);
        message += "() chunk_packets must be at least 1, not ";
        if (!append_str(message, index.get())) message += "a smaller number";
        return value_error(message);
      }
    }
    PyObject* progress = bound[4] ? bound[4] : Py_None;
    if (progress != Py_None && !PyBool_Check(progress) && !PyCallable_Check(progress)) {
      return bad_argument(function, "progress", "callable, True or None", progress);
    }
    return unpack_file(plan, bound[0], static_cast<std::uint64_t>(stride), numpy,
                       static_cast<std::uint64_t>(chunk_packets), progress);
  });
}

PyObject* layout_problems(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* { return plan_of(self).problems().release(); });
}

// The fields as the core's C library takes them, for a face that drives the core through an FFI
// (PyPy's): per field, (name, encoding as spelled, both UTF-8 bytes; the encoding's row, bits,
// little-endian, reverse_bits, has an offset, offset_bits).
PyObject* layout_specs(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const core::Plan& plan = plan_of(self).core();
    PyRef specs = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(plan.field_count())));
    if (!specs) return nullptr;
    for (std::size_t i = 0; i < plan.field_count(); ++i) {
      const core::FieldSpec& spec = plan.spec(i);
      PyObject* item =
          Py_BuildValue("(y#y#nIiiiI)", spec.name.data(), static_cast<Py_ssize_t>(spec.name.size()),
                        spec.encoding.data(), static_cast<Py_ssize_t>(spec.encoding.size()),
                        static_cast<Py_ssize_t>(spec.row - kEncodings), spec.bits,
                        spec.order == ByteOrder::little ? 1 : 0, spec.reverse_bits ? 1 : 0,
                        spec.has_offset ? 1 : 0, spec.offset_bits);
      if (!item) return nullptr;
      PyTuple_SET_ITEM(specs.get(), static_cast<Py_ssize_t>(i), item);
    }
    return specs.release();
  });
}

// The picture of a layout is drawn in Python, from the layout's public surface, by
// fieldpack_layout._figure; imported at the first call, so that only drawing loads it.
constexpr Signature kFigure = parse_signature("Layout.figure", "values=None");

PyObject* draw_figure(PyObject* self, PyObject* values) {
  PyRef module = PyRef::steal(PyImport_ImportModule("fieldpack_layout._figure"));
  if (!module) return nullptr;
  PyRef draw = PyRef::steal(PyObject_GetAttrString(module.get(), "figure"));
  if (!draw) return nullptr;
  return PyObject_CallFunctionObjArgs(draw.get(), self, values, nullptr);
}

PyObject* layout_figure(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* values = nullptr;
    if (!bind_given(kFigure, args, nargs, kwnames, &values)) return nullptr;
    return draw_figure(self, values ? values : Py_None);
  });
}

PyObject* layout_repr_svg(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* { return draw_figure(self, Py_None); });
}

// The keyword arguments that make a layout like this one from its recipe.
PyRef layout_options(const Plan& plan) {
  PyRef options = PyRef::steal(PyDict_New());
  if (!options) return PyRef();
  if (plan.strict() && PyDict_SetItemString(options.get(), "strict", Py_True) < 0) return PyRef();
  if (plan.packing() == core::Packing::bits) {
    PyRef packing = PyRef::steal(packing_object(plan));
    if (!packing || PyDict_SetItemString(options.get(), "packing", packing.get()) < 0) {
      return PyRef();
    }
  }
  if (plan.defaults()) {
    PyRef defaults = PyRef::steal(PyDict_Copy(plan.defaults()));
    if (!defaults || PyDict_SetItemString(options.get(), "defaults", defaults.get()) < 0) {
      return PyRef();
    }
  }
  return options;
}

PyObject* layout_reduce(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const Plan& plan = plan_of(self);
    PyRef recipe = plan.recipe();
    if (!recipe) return nullptr;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    if (!plan.strict() && !plan.defaults() && plan.packing() == core::Packing::bytes) {
      return Py_BuildValue("(O(O))", type, recipe.get());
    }
    // Keyword arguments need copyreg's rebuilding: type.__new__(type, recipe, **options).
    PyRef options = layout_options(plan);
    PyRef copyreg = PyRef::steal(options ? PyImport_ImportModule("copyreg") : nullptr);
    PyRef rebuild =
        PyRef::steal(copyreg ? PyObject_GetAttrString(copyreg.get(), "__newobj_ex__") : nullptr);
    if (!rebuild) return nullptr;
    return Py_BuildValue("(O(O(O)O))", rebuild.get(), type, recipe.get(), options.get());
  });
}

PyObject* layout_get_packing(PyObject* self, void*) { return packing_object(plan_of(self)); }

PyObject* layout_get_strict(PyObject* self, void*) {
  return PyBool_FromLong(plan_of(self).strict() ? 1 : 0);
}

PyObject* layout_get_defaults(PyObject* self, void*) {
  PyObject* defaults = plan_of(self).defaults();
  return defaults ? PyDict_Copy(defaults) : PyDict_New();
}

PyObject* layout_get_size(PyObject* self, void*) {
  const Plan& plan = plan_of(self);
  if (!plan.sizing().ok) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(plan.sizing().packet_size);
}

PyObject* layout_get_names(PyObject* self, void*) {
  PyObject* names = plan_of(self).names();
  Py_INCREF(names);
  return names;
}

PyObject* layout_get_recipe(PyObject* self, void*) {
  return guarded([&]() -> PyObject* { return plan_of(self).recipe().release(); });
}

// ---------------------------------------------------------------------------------------------
// The iterator of iter_unpack

// Once the last packet is out, the buffer can be resized again and its object goes.
void finish(IteratorObject* iterator) {
  if (iterator->has_view) {
    iterator->has_view = false;
    PyBuffer_Release(&iterator->view);
  }
  PyObject* source = iterator->source;
  iterator->source = nullptr;
  Py_XDECREF(source);
}

PyObject* next_packet(IteratorObject* iterator, Py_ssize_t packet) {
  const Plan& plan = plan_of(iterator->layout);
  const auto stride = static_cast<std::uint64_t>(iterator->stride);
  const std::uint64_t first_byte = static_cast<std::uint64_t>(packet) * stride;
  // Where a view does not keep the buffer from being resized, every packet takes a view of its
  // own; packets the buffer no longer holds are not there to iterate over.
  InputBuffer buffer;
  const std::uint8_t* data = nullptr;
  if constexpr (host::kViewsPinBuffers) {
    data = static_cast<const std::uint8_t*>(iterator->view.buf);
  } else {
    if (!buffer.acquire(iterator->source, /*always_view=*/true)) return nullptr;
    if (first_byte + stride > buffer.size()) {
      iterator->next = iterator->count;
      return nullptr;
    }
    data = buffer.data();
  }
  Result<PyRef, FailureRecord> unpacked =
      unpack(plan, ByteSpan(data + first_byte, static_cast<std::size_t>(stride)), 0);
  if (!unpacked.ok()) {
    unpacked.failure().packet =
        packet_note("iter_unpack", static_cast<std::uint64_t>(packet), first_byte);
    return raise_record(unpacked.failure(), kLayoutWrapping);
  }
  return unpacked.value().release();
}

PyObject* iterator_next(PyObject* self) {
  auto* iterator = reinterpret_cast<IteratorObject*>(self);
  if (!iterator->source || iterator->next >= iterator->count) return nullptr;
  const Py_ssize_t packet = iterator->next++;
  ++iterator->busy;
  PyObject* result = guarded([&] { return next_packet(iterator, packet); });
  // A __next__ still reading the buffer further up the stack finishes when it is done.
  if (--iterator->busy == 0 && iterator->next >= iterator->count) finish(iterator);
  return result;
}

PyObject* iterator_length_hint(PyObject* self, PyObject*) {
  auto* iterator = reinterpret_cast<IteratorObject*>(self);
  const Py_ssize_t left = iterator->source ? iterator->count - iterator->next : 0;
  return PyLong_FromSsize_t(left);
}

PyObject* iterator_new(PyTypeObject* type, PyObject*, PyObject*) {
  std::string message = "cannot create '";
  message += type->tp_name;
  message += "' instances";
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return nullptr;
}

int iterator_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* iterator = reinterpret_cast<IteratorObject*>(self);
  if (int done = visit(reinterpret_cast<PyObject*>(Py_TYPE(self)), arg)) return done;
  if (iterator->layout) {
    if (int done = visit(iterator->layout, arg)) return done;
  }
  if (iterator->source) return visit(iterator->source, arg);
  return 0;
}

int iterator_clear(PyObject* self) {
  auto* iterator = reinterpret_cast<IteratorObject*>(self);
  finish(iterator);
  PyObject* layout = iterator->layout;
  iterator->layout = nullptr;
  Py_XDECREF(layout);
  return 0;
}

void iterator_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  iterator_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// ---------------------------------------------------------------------------------------------
// Type definitions

template <class Function>
void* slot(Function* function) {
  return reinterpret_cast<void*>(function);
}

PyCFunction fast(PyObject* (*function)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr char kLayoutDoc[] =
    "Layout(recipe, *, strict=False, defaults=None, packing='bytes')\n--\n\n"
    "A recipe read once, for packing and unpacking many packets.\n\n"
    "The recipe is a sequence of field definitions, as unpack_parameters and pack_parameters of\n"
    "the fieldpack module take it. It is read and checked here, in the order and with the\n"
    "messages of unpack_parameters; a fault raises that function's ValueError. The layout keeps\n"
    "what it read: changing the recipe afterwards changes nothing.\n\n"
    "layout.unpack(p, o) gives exactly what unpack_parameters(bytes(p), o, recipe) gives, and\n"
    "layout.pack(v) what pack_parameters(recipe, v) gives, result or exception; a ValueError\n"
    "that wraps another exception keeps it as __cause__. An exception raised while working on\n"
    "a field carries a note naming it (PEP 678), such as\n"
    "\"field 3 'temperature' (unsigned, 8 bits at bit 24)\".\n\n"
    "With strict=True, pack and pack_into refuse any value that packing would lose (text longer\n"
    "than its window, a float that becomes infinite or zero at its width, a field that does not\n"
    "read back what was packed). defaults maps field names to the values packed when the\n"
    "values lack them; they are copied and checked here.\n\n"
    "packing='bits' makes the layout bit-exact: a field occupies exactly bits [p, p + bits) of\n"
    "the packet, the most significant bit first, instead of the whole bytes from the byte where\n"
    "it starts. Integers and BCD take any width at any start (little-endian ones whole bytes);\n"
    "text and floats whole bytes at any start. Fields of whole bytes on byte boundaries read\n"
    "and write the same under both packings.\n\n"
    "Layouts are immutable, hashable by identity, safe to share between threads, and pickle\n"
    "and copy with their options.";

constexpr char kUnpackDoc[] =
    "unpack($self, buffer, offset_bits=0)\n--\n\n"
    "Unpack the packet in buffer, from bit offset_bits on, into a new dict.\n\n"
    "buffer is any C-contiguous buffer (bytes, bytearray, memoryview, mmap, array); the result\n"
    "and any exception are those of unpack_parameters(bytes(buffer), offset_bits, recipe).";

constexpr char kPackDoc[] =
    "pack($self, values)\n--\n\n"
    "Pack the values of a dict into a new bytes object of size bytes.\n\n"
    "The result and any exception are those of pack_parameters(recipe, values).";

constexpr char kPackIntoDoc[] =
    "pack_into($self, buffer, values, offset_bits=0)\n--\n\n"
    "Pack the values of a dict into a writable buffer, from bit offset_bits on.\n\n"
    "Every value is converted and encoded before the first byte is written; then each field's\n"
    "whole window (in a bit-exact layout: exactly its bits) is written in recipe order, as\n"
    "pack() writes it. Bytes (bits) of no field are left alone, and a failure leaves the buffer\n"
    "untouched. Into a zeroed buffer of size bytes it writes pack(values).";

constexpr char kIterUnpackDoc[] =
    "iter_unpack($self, buffer, stride=None)\n--\n\n"
    "Iterate over the packets of a buffer: packet i is the stride bytes from byte i*stride,\n"
    "unpacked with offset_bits 0. stride defaults to size; the buffer's length must be a\n"
    "multiple of it. The buffer is held (and cannot be resized) until the last packet is out.";

constexpr char kProblemsDoc[] =
    "problems($self, /)\n--\n\n"
    "What the recipe does that is legal but probably a mistake, as a list of sentences:\n"
    "fields with the same name, fields sharing bytes (bits, in a bit-exact layout), fields\n"
    "starting inside a byte of a byte-granular layout, keys no\n"
    "walk reads, numeric fields wider than 64 bits, floats at a width not their own, text that\n"
    "is not whole bytes, encodings that cannot be packed, and a layout that cannot be packed.";

constexpr char kUnpackColumnsDoc[] =
    "unpack_columns($self, buffer, stride=None, *, numpy=False)\n--\n\n"
    "Unpack every packet of a buffer into columns: a dict of name -> one value per packet.\n\n"
    "Packet i is the stride bytes from byte i*stride, as iter_unpack reads them (stride defaults\n"
    "to size; the buffer's length must be a multiple of it), and the values are those iter_unpack\n"
    "gives. Columns are lists; with numpy=True numeric fields become numpy arrays whose dtype\n"
    "follows from the field's encoding and width (integers in the smallest of 8/16/32/64 bits\n"
    "that the width needs, BCD as int64, IEEE 754 half, single and double floats as float16,\n"
    "float32 and float64, other floats as float64), and text fields stay lists of str.\n"
    "A packet that fails raises what iter_unpack would raise first, with notes naming the field\n"
    "and the packet. Numeric fields into arrays are decoded without the interpreter lock; the\n"
    "buffer is held meanwhile, and writing into it from another thread gives unspecified values.";

constexpr char kUnpackFileDoc[] =
    "unpack_file($self, path_or_file, stride=None, *, numpy=False, "
    "chunk_packets=" FIELDPACK_TEXT_OF(FIELDPACK_CHUNK_PACKETS) ", progress=None)\n--\n\n"
    "Unpack a file of back-to-back packets into columns, as unpack_columns unpacks a buffer.\n\n"
    "path_or_file is a path, or a binary file read from where it stands (and left open). The\n"
    "file is read chunk_packets packets at a time; memory beyond the result stays at one chunk.\n"
    "A partial packet at the end is a ValueError: raised up front when the file tells its size,\n"
    "else once the packets before it are decoded. progress is a callable, called as\n"
    "progress(packets_done, packets_total_or_None) at the start and after each chunk, or True\n"
    "for a tqdm bar (a plain line on stderr without tqdm).";

constexpr char kFigureDoc[] =
    "figure($self, values=None)\n--\n\n"
    "The SVG picture of the layout, as a str: per field the bits it declares and the whole\n"
    "bytes (its window) it occupies, in rows of 8 bytes, and a table of the fields. Given values,\n"
    "also the packet pack(values) makes, bit by bit and in hexadecimal, and in the table the\n"
    "values and what unpacking that packet reads back. Raises what pack(values) raises.";

PyMethodDef layout_methods[] = {
    {"unpack", fast(layout_unpack), METH_FASTCALL | METH_KEYWORDS, kUnpackDoc},
    {"pack", fast(layout_pack), METH_FASTCALL | METH_KEYWORDS, kPackDoc},
    {"pack_into", fast(layout_pack_into), METH_FASTCALL | METH_KEYWORDS, kPackIntoDoc},
    {"iter_unpack", fast(layout_iter_unpack), METH_FASTCALL | METH_KEYWORDS, kIterUnpackDoc},
    {"unpack_columns", fast(layout_unpack_columns), METH_FASTCALL | METH_KEYWORDS,
     kUnpackColumnsDoc},
    {"unpack_file", fast(layout_unpack_file), METH_FASTCALL | METH_KEYWORDS, kUnpackFileDoc},
    {"problems", layout_problems, METH_NOARGS, kProblemsDoc},
    {"_specs", layout_specs, METH_NOARGS, "The fields as the core's C library takes them."},
    {"figure", fast(layout_figure), METH_FASTCALL | METH_KEYWORDS, kFigureDoc},
    {"_repr_svg_", layout_repr_svg, METH_NOARGS,
     "_repr_svg_($self, /)\n--\n\nfigure(): the picture that notebooks show for a layout."},
    {"__reduce__", layout_reduce, METH_NOARGS, "Layout(recipe, **options), for pickle and copy."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef layout_getset[] = {
    {"size", layout_get_size, nullptr,
     "The packet length in bytes, from pack_parameters' sizing walk; None if it fails.", nullptr},
    {"names", layout_get_names, nullptr, "The field names in recipe order, a tuple of str.",
     nullptr},
    {"packing", layout_get_packing, nullptr,
     "How fields are placed: 'bytes' (whole bytes from the byte a field starts in) or 'bits' "
     "(exactly the field's bits).",
     nullptr},
    {"strict", layout_get_strict, nullptr,
     "Whether pack and pack_into refuse any value that packing would lose.", nullptr},
    {"defaults", layout_get_defaults, nullptr,
     "A new dict of the values packed for fields the values do not name.", nullptr},
    {"recipe", layout_get_recipe, nullptr,
     "A new list of dict copies of the entries as read, extra keys kept.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef iterator_methods[] = {
    {"__length_hint__", iterator_length_hint, METH_NOARGS, "Packets left."},
    {nullptr, nullptr, 0, nullptr},
};

#ifdef Py_TPFLAGS_IMMUTABLETYPE
constexpr unsigned long kImmutable = Py_TPFLAGS_IMMUTABLETYPE;
#else
constexpr unsigned long kImmutable = 0;
#endif

PyType_Slot layout_slots[] = {
    {Py_tp_doc, const_cast<char*>(kLayoutDoc)},
    {Py_tp_new, slot(layout_new)},
    {Py_tp_dealloc, slot(layout_dealloc)},
    {Py_tp_traverse, slot(layout_traverse)},
    {Py_tp_clear, slot(layout_clear)},
    {Py_tp_repr, slot(layout_repr)},
    {Py_tp_setattro, slot(layout_setattro)},
    {Py_tp_methods, layout_methods},
    {Py_tp_getset, layout_getset},
    {0, nullptr},
};

PyType_Spec layout_type_definition = {
    "fieldpack_layout.Layout",
    sizeof(LayoutObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | kImmutable,
    layout_slots,
};

PyType_Slot iterator_slots[] = {
    {Py_tp_doc, const_cast<char*>("The packets of a buffer, unpacked one by one.")},
    {Py_tp_new, slot(iterator_new)},
    {Py_tp_dealloc, slot(iterator_dealloc)},
    {Py_tp_traverse, slot(iterator_traverse)},
    {Py_tp_clear, slot(iterator_clear)},
    {Py_tp_iter, slot(PyObject_SelfIter)},
    {Py_tp_iternext, slot(iterator_next)},
    {Py_tp_methods, iterator_methods},
    {0, nullptr},
};

PyType_Spec iterator_type_definition = {
    "fieldpack_layout.LayoutIterator",
    sizeof(IteratorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | kImmutable,
    iterator_slots,
};

}  // namespace

const Plan* layout_plan(PyObject* object) {
  if (!layout_type || Py_TYPE(object) != layout_type) return nullptr;
  return reinterpret_cast<LayoutObject*>(object)->plan;
}

bool add_types(PyObject* module) {
  // Made once and kept for the life of the process, like the module itself.
  if (!layout_type) {
    layout_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&layout_type_definition));
    if (!layout_type) return false;
  }
  if (!iterator_type) {
    iterator_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&iterator_type_definition));
    if (!iterator_type) return false;
  }
  PyObject* type = reinterpret_cast<PyObject*>(layout_type);
  Py_INCREF(type);
  if (PyModule_AddObject(module, "Layout", type) < 0) {
    Py_DECREF(type);
    return false;
  }
  return true;
}

}  // namespace fieldpack::layout
