// Naming, in an exception, the field it arose in: a note such as
// "field 3 'temperature' (unsigned, 8 bits at bit 24)", attached as PEP 678 has it
// (BaseException.add_note where the host has it, else the exception's __notes__ list), so that
// str() of the exception stays what it was. Python-aware.
#pragma once

#include "python.hpp"

namespace fieldpack {

struct FailureRecord;

// Adds `note` (a str) to `exception` (PEP 678). False, with the host's error set, when the host
// refuses: a __notes__ that is not a list, or exhausted memory.
bool add_note(PyObject* exception, PyObject* note);

// Adds the record's notes to the exception being raised, in this order: the field's,
// "field 3 'temperature' (unsigned, 8 bits at bit 24)" or the part of it the record knows
// ("field 3", "field 3 'temperature'", "field 3 'temperature' (8 bits at bit 24)"); the
// failure's hint; the packet's. The name is shown as repr() of a plain str of its text. The
// exception stays the one raised, with its traceback; a note that cannot be made or added is
// left out. Call it only while an exception is set.
void add_notes_to_raised(const FailureRecord& record);

}  // namespace fieldpack
