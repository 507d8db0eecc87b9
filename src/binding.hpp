// Matching positional and keyword arguments to a function's parameters, and the generic entry
// point that every module function goes through.
#pragma once

#include "python.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>
#include <tuple>
#include <utility>

#include "boundary.hpp"
#include "common/fixed_string.hpp"
#include "conversions.hpp"

namespace fieldpack {

inline constexpr std::size_t kMaxParameters = 5;

struct Signature {
  std::string_view name;
  std::array<std::string_view, kMaxParameters> parameters{};
  std::size_t count = 0;
  std::size_t required = 0;    // the first `required` must be given
  std::size_t positional = 0;  // the first `positional` may be given by position; the rest by name
};

// string_view::find is not usable in constant expressions under GCC's UBSan, so a plain loop.
constexpr std::size_t index_of(std::string_view text, char wanted) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == wanted) return i;
  }
  return std::string_view::npos;
}

// "value, bits, signed=False" -> the names, their count, and how many come before the first
// default; a "*" item makes the parameters after it keyword-only.
constexpr Signature parse_signature(std::string_view name, std::string_view list) {
  Signature signature{name};
  bool seen_default = false, seen_star = false;
  while (!list.empty()) {
    const std::size_t comma = index_of(list, ',');
    std::string_view item = list.substr(0, comma);
    list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
    while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
    if (item == "*") {
      seen_star = true;
      continue;
    }
    if (!seen_star) signature.positional = signature.count + 1;
    const std::size_t equals = index_of(item, '=');
    if (equals != std::string_view::npos) seen_default = true;
    signature.parameters[signature.count++] = item.substr(0, equals);
    if (!seen_default) signature.required = signature.count;
  }
  return signature;
}

// "{name}({parameters})\n--\n\n": the host derives __text_signature__ from it, and it leaves the
// function without documentation text.
template <FixedString Name, FixedString Parameters>
struct DocString {
  static constexpr std::size_t kSize = Name.view().size() + Parameters.view().size() + 7;
  static constexpr auto kText = [] {
    std::array<char, kSize + 1> text{};
    std::size_t at = 0;
    for (char c : Name.view()) text[at++] = c;
    text[at++] = '(';
    for (char c : Parameters.view()) text[at++] = c;
    for (char c : std::string_view(")\n--\n\n")) text[at++] = c;
    return text;
  }();
};

// Fills `bound` with borrowed arguments in parameter order, with Python's own wording for every
// binding TypeError (then false); an optional parameter not given stays empty.
bool bind_given(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, PyObject** bound);

// As bind_given, and an optional parameter not given gets the module functions' one default,
// False.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** bound);

// A failed conversion's TypeError gets the "argument '{parameter}': " prefix, keeping its cause;
// other exceptions pass unchanged.
void prefix_argument_error(std::string_view parameter);

template <class Conv>
bool convert_argument(std::string_view parameter, PyObject* object, typename Conv::native& out) {
  if (Conv::convert(object, out)) return true;
  prefix_argument_error(parameter);
  return false;
}

template <auto Operation, class... Conv, std::size_t... I>
PyObject* convert_and_run(const Signature& signature, PyObject** bound, std::index_sequence<I...>) {
  std::tuple<typename Conv::native...> natives;
  const bool converted =
      (convert_argument<Conv>(signature.parameters[I], bound[I], std::get<I>(natives)) && ...);
  if (!converted) return nullptr;
  return guarded([&] { return to_python(std::apply(Operation, std::move(natives))); });
}

using FastEntry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// One module function: its name, its parameter list as written in its text signature, the
// operation, and the conversion of each parameter in order.
template <FixedString Name, FixedString Parameters, auto Operation, class... Conv>
struct Function {
  static constexpr Signature kSignature = parse_signature(Name.view(), Parameters.view());
  static_assert(kSignature.count == sizeof...(Conv), "one conversion per parameter");

  static PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[sizeof...(Conv)];
    // Arguments by position only, the common call, need no binding beyond the defaults.
    const auto given = static_cast<std::size_t>(nargs);
    if (!kwnames && given >= kSignature.required && given <= kSignature.positional) {
      for (std::size_t i = 0; i < sizeof...(Conv); ++i) bound[i] = i < given ? args[i] : Py_False;
    } else if (!bind_arguments(kSignature, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    return convert_and_run<Operation, Conv...>(kSignature, bound,
                                               std::index_sequence_for<Conv...>{});
  }

  static PyMethodDef method() {
    return {Name.chars, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry)),
            METH_FASTCALL | METH_KEYWORDS, DocString<Name, Parameters>::kText.data()};
  }
};

}  // namespace fieldpack
