// PyInit_fieldpack_layout: the module of compiled layouts, beside fieldpack and built from the
// same codecs, conversions and recipe reading.
#include "python.hpp"

#include "boundary.hpp"
#include "layout/layout_type.hpp"
#include "py_ref.hpp"
#include "recipe.hpp"

namespace fieldpack {
namespace {

constexpr char kModuleDoc[] =
    "Compiled layouts for fieldpack: a recipe read once, then packets unpacked and packed\n"
    "without reading it again.\n\n"
    "    from fieldpack_layout import Layout\n"
    "    layout = Layout(recipe)\n"
    "    values = layout.unpack(packet)\n"
    "    packet = layout.pack(values)\n";

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "fieldpack_layout",
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
  PyRef module = PyRef::steal(PyModule_Create2(&module_definition, PYTHON_API_VERSION));
  if (!module || !layout::add_types(module.get())) return nullptr;
  PyRef all = PyRef::steal(Py_BuildValue("[s]", "Layout"));
  if (!all || PyObject_SetAttrString(module.get(), "__all__", all.get()) < 0) return nullptr;
  return module.release();
}

}  // namespace
}  // namespace fieldpack

PyMODINIT_FUNC PyInit_fieldpack_layout() {
  return fieldpack::init_once(fieldpack::the_module, [] { return fieldpack::create_module(); });
}
