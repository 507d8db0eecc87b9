// What differs between the hosts this module is built for, behind one interface. The build
// compiles one host's files (src/host/cpython/ or src/host/pypy/, chosen by the interpreter it
// builds for), so shared code asks the host instead of testing which host it runs on:
// host_traits.hpp gives the host's traits and small inline readings, host.cpp the rest.
// Python-aware.
#pragma once

#include "python.hpp"

#include <string>

#include "common/text.hpp"
#include "host_traits.hpp"
#include "py_ref.hpp"

namespace fieldpack::host {

// host_traits.hpp defines, for every host:
//   kOnePassReadsAreCheap  whether reading a dict whole in one PyDict_Next pass costs less than
//                          a few keyed lookups (the recipe reader and the values index use it)
//   kListsAreHandedOver,   whether a list's or a tuple's items reach C code as they are (else a
//   kTuplesAreHandedOver   recipe that is one goes through sequence_items too)
//   kViewsPinBuffers       whether a buffer view keeps the buffer from being resized while it is
//                          held; where it does not, a buffer is looked at afresh or copied
//   may_be_interned(str)   whether an exact str may be interned (false only where the host
//                          says so)
//   dict_lookup(dict, key, out)
//                          the value under `key` in a dict's own storage, never through a
//                          subclass's __getitem__ or __missing__ (a held entry's through its own
//                          storage too), owned by `out`; empty when absent. False with the
//                          host's error set. Every walk looks its keys and values up this way.

// Recipes. The items of a sequence argument as a list whose items the walks can hold and read:
// on CPython the list itself or a new list of the items iterated; on PyPy every item that is not
// a plain dict is handed over wrapped in Python code (see pypy/entries.py). Empty with the
// host's error set.
PyRef sequence_items(PyObject* sequence);

// sequence_items and pack_values at once, for a list or tuple recipe (whose iteration runs no
// Python code): one call into the host where both go through Python code. False with the host's
// error set.
bool entries_and_values(PyObject* sequence, PyObject* values, PyRef& items, PyRef& readable);

// The values to pack as the walk may read them (with dict_lookup): on CPython the dict itself;
// on PyPy the dict, unless one of its values must not reach C (see pypy/entries.py). Empty with
// the host's error set.
PyRef pack_values(PyObject* values);

// A recipe entry as sequence_items hands over a dict subclass, read through Python code.
bool is_held_entry(PyObject* object);

// The name of an object's type for the type-cast error, as the caller's object had it (a
// wrapped recipe item is named by the type of the item).
std::string cast_type_name(PyObject* object);

// The keys of an entry's own storage that are text, as a new list of plain strs, read without
// running any hook of the entry or of its keys. Empty with the host's error set.
PyRef text_keys(PyObject* entry);

// The entry's own items as a new list of (key, value) pairs, read without running its hooks or
// any key's __hash__ or __eq__. Empty with the host's error set.
PyRef own_items(PyObject* entry);

// Conversions. A float from an object that has __index__ but no __float__, as float() takes it,
// where the host's own PyFloat_AsDouble does not: true when `object` is such an object (then
// `out` holds the value, or `converted` is false with the host's error set).
bool float_by_index(PyObject* object, double& out, bool& converted);

// Text objects. A str of UTF-8 holding non-ASCII bytes, made in one pass on the guess that no
// character passes U+00FF: empty without an error when the guess fails or the host has no such
// way; empty with the error set when the host fails.
PyRef guessed_one_byte_str(ByteSpan utf8);

// The UTF-8 of a str stored wide, in the one pass that looks for surrogates: empty without an
// error when the str holds a surrogate, is not stored wide, or the host has no such way.
PyRef wide_str_utf8(PyObject* str);

}  // namespace fieldpack::host
