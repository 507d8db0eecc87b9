// PyInit_fieldpack, the function table and __all__.
#include "python.hpp"

#include "binding.hpp"
#include "common/encodings.hpp"
#include "decoder/codecs/decoder.hpp"
#include "encoder/codecs/encoder.hpp"
#include "packet_functions.hpp"
#include "recipe.hpp"
#include "text_objects.hpp"

namespace fieldpack {
namespace {

namespace d = decoder;
namespace e = encoder;

template <FixedString Name, FixedString Parameters, auto Operation, class... Conv>
constexpr auto row = &Function<Name, Parameters, Operation, Conv...>::method;

using MethodFactory = PyMethodDef (*)();

// Registration order: __all__ lists the functions in this order.
constexpr MethodFactory kFunctions[] = {
    row<"unpack_parameters", "packet_bytes, offset_bits, recipe", unpack_parameters, BytesArg,
        SizeArg, SequenceArg>,
    row<"pack_parameters", "recipe, values", pack_parameters, PackRecipeArg, DictArg>,
    row<"decode_ones_complement", "value, bits", d::decode_ones_complement, U64Arg, SizeArg>,
    row<"decode_twos_complement", "value, bits", d::decode_twos_complement, U64Arg, SizeArg>,
    row<"decode_sign_magnitude", "value, bits", d::decode_sign_magnitude, U64Arg, SizeArg>,
    row<"decode_unpacked_bcd", "value, bits, signed=False", d::decode_unpacked_bcd, U64Arg, SizeArg,
        BoolArg>,
    row<"decode_packed_bcd", "value, bits, signed=False", d::decode_packed_bcd, U64Arg, SizeArg,
        BoolArg>,
    row<"decode_ieee754_f16", "value", d::decode_ieee754_f16, U64Arg>,
    row<"decode_ieee754_f32", "value", d::decode_ieee754_f32, U64Arg>,
    row<"decode_ieee754_f64", "value", d::decode_ieee754_f64, U64Arg>,
    row<"decode_ieee754_f128", "value", d::decode_ieee754_f128, U128Arg>,
    row<"decode_ieee754_1985_f32", "_value", decode_reserved<"ieee754_1985_f32">, U64Arg>,
    row<"decode_ieee754_1985_f64", "_value", decode_reserved<"ieee754_1985_f64">, U64Arg>,
    row<"decode_ieee754_1985_f80", "_value", decode_reserved<"ieee754_1985_f80">, U64Arg>,
    row<"decode_mil_std_1750a_f32", "_value", decode_reserved<"mil_std_1750a_f32">, U64Arg>,
    row<"decode_mil_std_1750a_f48", "_value", decode_reserved<"mil_std_1750a_f48">, U64Arg>,
    row<"decode_dec_f32", "_value", decode_reserved<"dec_f32">, U64Arg>,
    row<"decode_dec_f64", "_value", decode_reserved<"dec_f64">, U64Arg>,
    row<"decode_ibm_f32", "_value", decode_reserved<"ibm_f32">, U64Arg>,
    row<"decode_ibm_f64", "_value", decode_reserved<"ibm_f64">, U64Arg>,
    row<"decode_ti_f32", "_value", decode_reserved<"ti_f32">, U64Arg>,
    row<"decode_ti_f40", "_value", decode_reserved<"ti_f40">, U64Arg>,
    row<"decode_us_ascii", "bytes", d::decode_us_ascii, BytesArg>,
    row<"decode_iso_8859_1", "bytes", d::decode_iso_8859_1, BytesArg>,
    row<"decode_windows_1252", "bytes", d::decode_windows_1252, BytesArg>,
    row<"decode_utf8", "bytes", d::decode_utf8, BytesArg>,
    row<"decode_utf16", "bytes", d::decode_utf16, BytesArg>,
    row<"decode_utf16le", "bytes", d::decode_utf16le, BytesArg>,
    row<"decode_utf16be", "bytes", d::decode_utf16be, BytesArg>,
    row<"decode_utf32", "bytes", d::decode_utf32, BytesArg>,
    row<"decode_utf32le", "bytes", d::decode_utf32le, BytesArg>,
    row<"decode_utf32be", "bytes", d::decode_utf32be, BytesArg>,
    row<"encode_ones_complement", "value, bits", e::encode_ones_complement, I64Arg, SizeArg>,
    row<"encode_twos_complement", "value, bits", e::encode_twos_complement, I64Arg, SizeArg>,
    row<"encode_sign_magnitude", "value, bits", e::encode_sign_magnitude, I64Arg, SizeArg>,
    row<"encode_unpacked_bcd", "value, bits, signed=False", e::encode_unpacked_bcd, I64Arg, SizeArg,
        BoolArg>,
    row<"encode_packed_bcd", "value, bits, signed=False", e::encode_packed_bcd, I64Arg, SizeArg,
        BoolArg>,
    row<"encode_ieee754_f16", "value", e::encode_ieee754_f16, SingleArg>,
    row<"encode_ieee754_f32", "value", e::encode_ieee754_f32, SingleArg>,
    row<"encode_ieee754_f64", "value", e::encode_ieee754_f64, DoubleArg>,
    row<"encode_ieee754_f128", "_value", encode_reserved<"ieee754_f128">, DoubleArg>,
    row<"encode_ieee754_1985_f32", "_value", encode_reserved<"ieee754_1985_f32">, SingleArg>,
    row<"encode_ieee754_1985_f64", "_value", encode_reserved<"ieee754_1985_f64">, DoubleArg>,
    row<"encode_ieee754_1985_f80", "_value", encode_reserved<"ieee754_1985_f80">, DoubleArg>,
    row<"encode_mil_std_1750a_f32", "_value", encode_reserved<"mil_std_1750a_f32">, SingleArg>,
    row<"encode_mil_std_1750a_f48", "_value", encode_reserved<"mil_std_1750a_f48">, DoubleArg>,
    row<"encode_dec_f32", "_value", encode_reserved<"dec_f32">, SingleArg>,
    row<"encode_dec_f64", "_value", encode_reserved<"dec_f64">, DoubleArg>,
    row<"encode_ibm_f32", "_value", encode_reserved<"ibm_f32">, SingleArg>,
    row<"encode_ibm_f64", "_value", encode_reserved<"ibm_f64">, DoubleArg>,
    row<"encode_ti_f32", "_value", encode_reserved<"ti_f32">, SingleArg>,
    row<"encode_ti_f40", "_value", encode_reserved<"ti_f40">, DoubleArg>,
    row<"encode_us_ascii", "text", e::encode_us_ascii, StoredTextArg>,
    row<"encode_iso_8859_1", "text", e::encode_iso_8859_1, StoredTextArg>,
    row<"encode_windows_1252", "text", e::encode_windows_1252, StoredTextArg>,
    row<"encode_utf8", "text", encode_utf8_object, StrArg>,
    row<"encode_utf16", "text", e::encode_utf16, StoredTextArg>,
    row<"encode_utf16le", "text", e::encode_utf16le, StoredTextArg>,
    row<"encode_utf16be", "text", e::encode_utf16be, StoredTextArg>,
    row<"encode_utf32", "text", e::encode_utf32, StoredTextArg>,
    row<"encode_utf32le", "text", e::encode_utf32le, StoredTextArg>,
    row<"encode_utf32be", "text", e::encode_utf32be, StoredTextArg>,
};

constexpr std::size_t kFunctionCount = sizeof kFunctions / sizeof kFunctions[0];

// The host keeps pointers to the method descriptions for the life of the functions.
PyMethodDef methods[kFunctionCount];

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "fieldpack", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* the_module = nullptr;

bool append_to_all(PyObject* module, PyObject* name) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  return PyList_Append(all.get(), name) == 0;
}

bool register_function(PyObject* module, PyObject* module_name, PyMethodDef* method) {
  PyRef function = PyRef::steal(PyCFunction_NewEx(method, module, module_name));
  if (!function) return false;
  PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return false;
  if (!PyUnicode_Check(name.get())) {
    raise_type_cast(name.get(), "str");
    return false;
  }
  if (!append_to_all(module, name.get())) return false;
  return PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

PyObject* create_module() {
  if (!make_recipe_keys()) return nullptr;
  PyRef module = PyRef::steal(PyModule_Create2(&module_definition, kModuleApiVersion));
  if (!module) return nullptr;
  // PyPy leaves an empty docstring unset, and the module type's own shows through.
  PyRef doc = PyRef::steal(PyUnicode_FromString(""));
  if (!doc || PyObject_SetAttrString(module.get(), "__doc__", doc.get()) < 0) return nullptr;
  PyObject* module_name = PyDict_GetItemString(PyModule_GetDict(module.get()), "__name__");
  if (!module_name) {
    PyErr_SetString(PyExc_SystemError, "fieldpack: module has no __name__");
    return nullptr;
  }
  PyRef name = PyRef::borrow(module_name);
  for (std::size_t i = 0; i < kFunctionCount; ++i) {
    methods[i] = kFunctions[i]();
    if (!register_function(module.get(), name.get(), &methods[i])) return nullptr;
  }
  return module.release();
}

}  // namespace
}  // namespace fieldpack

PyMODINIT_FUNC PyInit_fieldpack() {
  return fieldpack::init_once(fieldpack::the_module, [] { return fieldpack::create_module(); });
}
