// PyInit__layout: the compiled part of the fieldpack_layout package (the package's __init__.py
// re-exports Layout), beside fieldpack and built from the same codecs, conversions and recipe
// reading.
#include "python.hpp"

#include "boundary.hpp"
#include "layout/layout_type.hpp"
#include "py_ref.hpp"
#include "recipe.hpp"

namespace fieldpack {
namespace {

constexpr char kModuleDoc[] = "The compiled part of fieldpack_layout: the Layout type.";

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "fieldpack_layout._layout",
    kModuleDoc,
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* the_module = nullptr;

PyObject* create_module() {
  if (!make_recipe_keys()) return nullptr;
  PyRef module = PyRef::steal(PyModule_Create2(&module_definition, kModuleApiVersion));
  if (!module || !layout::add_types(module.get())) return nullptr;
  PyRef all = PyRef::steal(Py_BuildValue("[s]", "Layout"));
  if (!all || PyObject_SetAttrString(module.get(), "__all__", all.get()) < 0) return nullptr;
  return module.release();
}

}  // namespace
}  // namespace fieldpack

PyMODINIT_FUNC PyInit__layout() {
  return fieldpack::init_once(fieldpack::the_module, [] { return fieldpack::create_module(); });
}
