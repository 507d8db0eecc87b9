// PyInit__layout: the compiled part of the fieldpack_layout package (the package's __init__.py
// re-exports Layout), beside fieldpack and built from the same codecs, conversions and recipe
// reading.
#include "python.hpp"

#include "boundary.hpp"
#include "layout/layout_type.hpp"
#include "layout/stream_type.hpp"
#include "py_ref.hpp"
#include "recipe.hpp"
#include "text_objects.hpp"
#include "values.hpp"

namespace fieldpack {
namespace {

constexpr char kModuleDoc[] = "The compiled part of fieldpack_layout: the Layout and Stream types.";

// _convert(kind, value): the value as the conversion of that kind (0 unsigned, 1 signed, 2 real,
// 3 text) reads it, as a plain int, float or str, or the exception that conversion raises: for a
// face in Python that converts plain values itself and hands the rest here, so that every value
// converts as the packet functions convert it.
PyObject* convert(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 2 || !PyLong_CheckExact(args[0])) {
      PyErr_SetString(PyExc_TypeError, "_convert(kind, value)");
      return nullptr;
    }
    const long kind = PyLong_AsLong(args[0]);
    core::NativeValue native;
    switch (kind) {
      case 0:
        return convert_value(core::ValueKind::unsigned_integer, args[1], native)
                   ? PyLong_FromUnsignedLongLong(native.unsigned_value)
                   : nullptr;
      case 1:
        return convert_value(core::ValueKind::signed_integer, args[1], native)
                   ? PyLong_FromLongLong(native.signed_value)
                   : nullptr;
      case 2:
        return convert_value(core::ValueKind::real, args[1], native)
                   ? PyFloat_FromDouble(native.real_value)
                   : nullptr;
      case 3: {
        if (!convert_value(core::ValueKind::text, args[1], native)) return nullptr;
        // The text as a plain str, by way of its UTF-8.
        PyRef utf8 = encode_utf8_object(args[1]);
        if (!utf8) return nullptr;
        return PyUnicode_DecodeUTF8(PyBytes_AS_STRING(utf8.get()), PyBytes_GET_SIZE(utf8.get()),
                                    "strict");
      }
      default:
        PyErr_SetString(PyExc_ValueError, "_convert: no such kind");
        return nullptr;
    }
  });
}

PyMethodDef module_functions[] = {
    {"_convert", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(convert)),
     METH_FASTCALL, "_convert(kind, value): a value as the packing conversion of a kind reads it."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "fieldpack_layout._layout",
    kModuleDoc,
    0,
    module_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* the_module = nullptr;

PyObject* create_module() {
  if (!make_recipe_keys()) return nullptr;
  PyRef module = PyRef::steal(PyModule_Create2(&module_definition, kModuleApiVersion));
  if (!module || !layout::add_types(module.get()) || !layout::add_stream_type(module.get())) {
    return nullptr;
  }
  PyRef all = PyRef::steal(Py_BuildValue("[ss]", "Layout", "Stream"));
  if (!all || PyObject_SetAttrString(module.get(), "__all__", all.get()) < 0) return nullptr;
  return module.release();
}

}  // namespace
}  // namespace fieldpack

PyMODINIT_FUNC PyInit__layout() {
  return fieldpack::init_once(fieldpack::the_module, [] { return fieldpack::create_module(); });
}
