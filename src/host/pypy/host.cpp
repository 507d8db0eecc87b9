// PyPy's side of the host interface (see host.hpp).
#include "host.hpp"

#include "conversions.hpp"
#include "pypy_entries_py.hpp"  // kEntriesSource: entries.py, embedded by the build

namespace fieldpack::host {

namespace {

// What entries.py defines, made once and kept for the life of the process.
struct Helpers {
  PyObject* entries = nullptr;
  PyObject* text_keys = nullptr;
  PyObject* values_of = nullptr;
  PyObject* entries_and_values = nullptr;
  PyObject* held_value_type = nullptr;
  PyObject* held_values_type = nullptr;
  PyObject* held_type = nullptr;
  PyObject* other_type = nullptr;
};

const Helpers* helpers() {
  static Helpers made;
  if (!made.entries) {
    PyRef globals = PyRef::steal(PyDict_New());
    if (!globals || PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0) {
      return nullptr;
    }
    PyRef done =
        PyRef::steal(PyRun_String(kEntriesSource, Py_file_input, globals.get(), globals.get()));
    if (!done) return nullptr;
    PyObject* entries = PyDict_GetItemString(globals.get(), "entries");
    PyObject* held_type = PyDict_GetItemString(globals.get(), "HeldEntry");
    PyObject* other_type = PyDict_GetItemString(globals.get(), "HeldOther");
    PyObject* text_keys = PyDict_GetItemString(globals.get(), "text_keys");
    PyObject* values_of = PyDict_GetItemString(globals.get(), "values_of");
    PyObject* entries_and_values = PyDict_GetItemString(globals.get(), "entries_and_values");
    PyObject* held_value_type = PyDict_GetItemString(globals.get(), "HeldValue");
    PyObject* held_values_type = PyDict_GetItemString(globals.get(), "HeldValues");
    if (!entries || !held_type || !other_type || !text_keys || !values_of || !held_value_type ||
        !held_values_type || !entries_and_values) {
      PyErr_SetString(PyExc_SystemError, "fieldpack: the recipe helpers are incomplete");
      return nullptr;
    }
    for (PyObject* kept :
         {text_keys, values_of, held_value_type, held_values_type, entries_and_values}) {
      Py_INCREF(kept);
    }
    made.entries_and_values = entries_and_values;
    made.text_keys = text_keys;
    made.values_of = values_of;
    made.held_value_type = held_value_type;
    made.held_values_type = held_values_type;
    Py_INCREF(entries);
    Py_INCREF(held_type);
    Py_INCREF(other_type);
    made.held_type = held_type;
    made.other_type = other_type;
    made.entries = entries;
  }
  return &made;
}

bool is_of_helper_type(PyObject* object, PyObject* Helpers::*type) {
  const Helpers* known = helpers();
  if (!known) {
    PyErr_Clear();
    return false;
  }
  return reinterpret_cast<PyObject*>(Py_TYPE(object)) == known->*type;
}

// An object made once and kept for the life of the process; made again after a failure.
template <class Make>
PyObject* kept(PyObject*& slot, Make make) {
  if (!slot) slot = make();
  return slot;
}

// The value `call(absent)` returns, where `absent` is what it returns for a missing key; empty
// for that.
template <class Call>
bool get_or_absent(Call call, PyRef& out) {
  static PyObject* absent_slot = nullptr;
  PyObject* absent = kept(absent_slot, [] { return PyList_New(0); });
  if (!absent) return false;
  out = PyRef::steal(call(absent));
  if (!out) return false;
  if (out.get() == absent) out.reset();
  return true;
}

}  // namespace

PyRef sequence_items(PyObject* sequence) {
  const Helpers* known = helpers();
  if (!known) return PyRef();
  return PyRef::steal(PyObject_CallOneArg(known->entries, sequence));
}

bool entries_and_values(PyObject* sequence, PyObject* values, PyRef& items, PyRef& readable) {
  const Helpers* known = helpers();
  if (!known) return false;
  // A vector call: PyPy makes no tuple of the arguments in C first.
  PyObject* const arguments[2] = {sequence, values};
  PyRef result =
      PyRef::steal(PyObject_Vectorcall(known->entries_and_values, arguments, 2, nullptr));
  if (!result) return false;
  if (PyList_CheckExact(result.get())) {  // the values may be read as they are
    items = std::move(result);
    readable = PyRef::borrow(values);
    return true;
  }
  items = PyRef::borrow(PyTuple_GET_ITEM(result.get(), 0));
  readable = PyRef::borrow(PyTuple_GET_ITEM(result.get(), 1));
  return true;
}

PyRef pack_values(PyObject* values) {
  const Helpers* known = helpers();
  if (!known) return PyRef();
  return PyRef::steal(PyObject_CallOneArg(known->values_of, values));
}

bool is_held_entry(PyObject* object) { return is_of_helper_type(object, &Helpers::held_type); }

std::string cast_type_name(PyObject* object) {
  if (is_of_helper_type(object, &Helpers::other_type) ||
      is_of_helper_type(object, &Helpers::held_value_type)) {
    PyRef name = PyRef::steal(PyObject_GetAttrString(object, "type_name"));
    return type_name_text(name.get());
  }
  return type_qualname(reinterpret_cast<PyObject*>(Py_TYPE(object)));
}

bool dict_lookup(PyObject* dict, PyObject* key, PyRef& out) {
  if (is_held_entry(dict) || is_of_helper_type(dict, &Helpers::held_values_type)) {
    static PyObject* get_slot = nullptr;
    PyObject* get = kept(get_slot, [] { return PyUnicode_InternFromString("get"); });
    return get && get_or_absent(
                      [&](PyObject* absent) {
                        return PyObject_CallMethodObjArgs(dict, get, key, absent, nullptr);
                      },
                      out);
  }
  if (!PyDict_CheckExact(dict)) {
    // PyPy's C API reads a dict subclass through its Python-level methods; dict.get on the
    // instance reads its own storage and never calls __missing__.
    static PyObject* get_slot = nullptr;
    PyObject* dict_get = kept(get_slot, [] {
      return PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyDict_Type), "get");
    });
    return dict_get &&
           get_or_absent(
               [&](PyObject* absent) {
                 return PyObject_CallFunctionObjArgs(dict_get, dict, key, absent, nullptr);
               },
               out);
  }
  // Borrowed for no longer than it takes to own it.
  PyObject* found = PyDict_GetItemWithError(dict, key);
  if (!found && PyErr_Occurred()) return false;
  out = PyRef::borrow(found);
  return true;
}

PyRef text_keys(PyObject* entry) {
  const Helpers* known = helpers();
  if (!known) return PyRef();
  return PyRef::steal(PyObject_CallOneArg(known->text_keys, entry));
}

PyRef own_items(PyObject* entry) {
  if (is_held_entry(entry)) return PyRef::steal(PyObject_CallMethod(entry, "items", nullptr));
  // PyPy's C API reads a dict subclass through its Python-level methods; dict.items on the
  // instance reads its own storage.
  static PyObject* items_slot = nullptr;
  PyObject* dict_items = kept(items_slot, [] {
    return PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyDict_Type), "items");
  });
  if (!dict_items) return PyRef();
  PyRef view = PyRef::steal(PyObject_CallOneArg(dict_items, entry));
  return view ? PyRef::steal(PySequence_List(view.get())) : PyRef();
}

bool float_by_index(PyObject* object, double& out, bool& converted) {
  // What float() accepts: __float__, then __index__. PyPy's PyFloat_AsDouble stops at the first;
  // CPython's takes both, so an object with only __index__ converts alike on both hosts.
  if (PyFloat_Check(object) || PyLong_Check(object) || !PyIndex_Check(object) ||
      PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__float__")) {
    return false;
  }
  converted = false;
  PyRef index = PyRef::steal(PyNumber_Index(object));
  if (!index) return true;
  const double value = PyLong_AsDouble(index.get());
  if (value == -1.0 && PyErr_Occurred()) return true;
  out = value;
  converted = true;
  return true;
}

PyRef guessed_one_byte_str(ByteSpan) { return PyRef(); }

PyRef wide_str_utf8(PyObject*) { return PyRef(); }

}  // namespace fieldpack::host
