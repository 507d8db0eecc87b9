// Naming, in an exception, the field it arose in: a note such as
// "field 3 'temperature' (unsigned, 8 bits at bit 24)", attached as PEP 678 has it
// (BaseException.add_note where the host has it, else the exception's __notes__ list), so that
// str() of the exception stays what it was. Python-aware.
#pragma once

#include "python.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "py_ref.hpp"

namespace fieldpack {

// What identifies a field. A walk that fails before it knows everything (a name not read yet, a
// position not computed) leaves those parts out, and the note says only what is known.
struct FieldLabel {
  std::size_t index = 0;      // in recipe order, from 0
  PyObject* name = nullptr;   // the field's "name" (a str), borrowed; nullptr when not known
  std::string_view encoding;  // the encoding as the note shows it; empty when not known
  bool has_extent = false;    // whether `bits` and `start_bit` are known
  std::uint32_t bits = 0;
  std::uint64_t start_bit = 0;  // as the walk computed it, any offset included
};

// "field 3 'temperature' (unsigned, 8 bits at bit 24)", or the known part of it: "field 3",
// "field 3 'temperature'", "field 3 'temperature' (8 bits at bit 24)". The name is shown as
// repr() of a plain str of its text. Empty, with the host's error set, when the host fails.
PyRef field_note(const FieldLabel& field);

// Adds `note` (a str) to `exception` (PEP 678). False, with the host's error set, when the host
// refuses: a __notes__ that is not a list, or exhausted memory.
bool add_note(PyObject* exception, PyObject* note);

// Adds `note` to the exception being raised, which stays the exception raised, with its
// traceback; if the note cannot be added, the exception goes on without it. Call it only while
// an exception is set.
void add_note_to_raised(PyObject* note);

// add_note_to_raised with the field's note.
void note_field_of_raised(const FieldLabel& field);

}  // namespace fieldpack
