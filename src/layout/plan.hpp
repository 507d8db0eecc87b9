// A compiled layout's C-API face: a recipe read once, in the order and with the checks of
// unpack_parameters, into the host-neutral plan (core/plan.hpp), with the objects this host keeps
// beside it: each field's name as a key, the tuple of names, the template of unpack's dicts, and
// what each entry held, for Layout.recipe and problems(). The walks (walks.hpp) run the core's
// walks and make the objects. Python-aware.
#pragma once

#include "python.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/text.hpp"
#include "conversions.hpp"
#include "core/plan.hpp"
#include "engine_result.hpp"
#include "py_ref.hpp"

namespace fieldpack::layout {

// How a layout raises the failures of its walks: as the packet functions do, with the inner
// exception kept as the ValueError's __cause__.
inline constexpr Wrapping kLayoutWrapping = Wrapping::chained;

class Plan {
 public:
  // Reads `recipe` (each entry in turn: the dictionary check, the six keys, the byte order, the
  // encoding name, and for a bit-exact layout whether it takes the field) and compiles it; the
  // first fault is returned.
  static Result<std::unique_ptr<Plan>, FailureRecord> read(const SequenceItems& recipe,
                                                           core::Packing packing);

  const core::Plan& core() const { return *core_; }
  std::size_t field_count() const { return core_->field_count(); }
  const core::Sizing& sizing() const { return core_->sizing(); }
  // Field `index`'s name as a plain str: the key of unpack's dicts and of the values' lookup.
  PyObject* key(std::size_t index) const { return keys_[index].get(); }

  PyObject* names() const { return names_.get(); }
  PyObject* result_template() const { return template_.get(); }
  // A new list of new dict copies of the entries as read; empty, with ReferenceError set, once
  // the garbage collector has cleared what the layout kept of them (the objects of an entry can
  // refer back to the layout), or with the host's error.
  PyRef recipe() const;
  // What the layout keeps of the entries, for the garbage collector.
  PyObject* entries() const { return entries_.get(); }
  void clear_entries() { entries_.reset(); }

  // How pack and pack_into treat values (Layout's keyword arguments). Strict: they refuse any
  // value that packing would lose. Defaults: a dict of plain-str field names to values, packed
  // when the values lack the name; empty when there are none.
  core::Packing packing() const { return core_->packing(); }
  bool strict() const { return strict_; }
  PyObject* defaults() const { return defaults_.get(); }
  // Sets them, checking every default as its field would pack it; false with the error raised.
  bool set_options(bool strict, PyObject* defaults);
  void clear_defaults() { defaults_.reset(); }

  // The failure a walk reported, as a record naming its field.
  FailureRecord record(core::FieldFailure&& failure) const;
  FailureRecord record(EngineError&& error, std::size_t index, std::uint64_t start_bit) const;

  // What is legal but probably a mistake, one sentence each; empty with the host's error set
  // only when the host fails (exhausted memory).
  PyRef problems() const;

 private:
  std::unique_ptr<core::Plan> core_;
  std::vector<PyRef> keys_;
  PyRef names_;     // tuple of the keys, recipe order
  PyRef template_;  // dict: each distinct key -> None, in the order of first appearance
  // Per field: (the entry's own items as (key, value) pairs, its "name", "encoding" and
  // "byte_order" as read).
  PyRef entries_;
  bool strict_ = false;
  PyRef defaults_;

  PyObject* kept(std::size_t index) const;
};

}  // namespace fieldpack::layout
