// The layout core over the golden vectors: recipes, packets and values with what the Python
// faces gave for them on the reference machine (tests/golden/core_vectors.txt, written by
// tests/golden/make_vectors.py). Every case is run here through the core alone, as a layout's
// face runs it: plans compiled from field descriptions, the unpack walk with each value made as
// the host makes its object, the pack walk field by field into an image of the packet's size.
// Values, bytes and failures must come out identical; any other machine, C library or compiler
// that builds the core must agree with the reference to the bit.
//
//   core_vectors <vectors file>
//
// Prints every mismatch with its line; exit status 0 when every case agrees and the file covers
// what it must (every encoding both ways, each kind of width, both byte orders, ...), 1 on a
// mismatch or a gap, 2 when the file cannot be read as vectors.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/encodings.hpp"
#include "common/field_window.hpp"
#include "common/result.hpp"
#include "common/text.hpp"
#include "core/field_step.hpp"
#include "core/messages.hpp"
#include "core/plan.hpp"
#include "core/walks.hpp"
#include "decoder/codecs/text_codecs.hpp"
#include "encoder/codecs/text_codecs.hpp"

namespace {

using namespace fieldpack;

// A line the program cannot read as a vector: the file is wrong, not the core.
struct BadVector : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// ---------------------------------------------------------------------------------------------
// Reading the file

struct Line {
  std::size_t number = 0;
  std::vector<std::string> fields;  // split at tabs, as written

  const std::string& at(std::size_t k) const {
    if (k >= fields.size()) throw BadVector("field " + std::to_string(k) + " missing");
    return fields[k];
  }
  const std::string& keyword() const { return fields[0]; }
};

std::vector<std::string> split_tabs(std::string_view text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t tab = text.find('\t', start);
    out.emplace_back(text.substr(start, tab == std::string_view::npos ? tab : tab - start));
    if (tab == std::string_view::npos) return out;
    start = tab + 1;
  }
}

template <class Int>
Int parse_integer(std::string_view text) {
  Int value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) {
    throw BadVector("not an integer: " + std::string(text));
  }
  return value;
}

std::uint32_t parse_u32(std::string_view text) { return parse_integer<std::uint32_t>(text); }

bool parse_flag(std::string_view text) {
  if (text != "0" && text != "1") throw BadVector("not 0 or 1: " + std::string(text));
  return text == "1";
}

std::uint8_t parse_integer_hex(std::string_view text) {
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (error != std::errc() || end != text.data() + text.size()) {
    throw BadVector("not hex: " + std::string(text));
  }
  return static_cast<std::uint8_t>(value);
}

std::vector<std::uint8_t> parse_hex(std::string_view text) {
  std::vector<std::uint8_t> out;
  if (text == "-") return out;
  if (text.size() % 2 != 0) throw BadVector("odd number of hex digits");
  for (std::size_t k = 0; k < text.size(); k += 2) {
    out.push_back(parse_integer_hex(text.substr(k, 2)));
  }
  return out;
}

// Appends a code point as UTF-8 (surrogates too, as the file never writes one where it matters).
void append_utf8(std::string& out, std::uint32_t code_point) {
  if (code_point < 0x80) {
    out += static_cast<char>(code_point);
  } else if (code_point < 0x800) {
    out += static_cast<char>(0xC0 | (code_point >> 6));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    out += static_cast<char>(0xE0 | (code_point >> 12));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code_point >> 18));
    out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  }
}

// A quoted text field: UTF-8 between double quotes, with \\ and \u{hex}.
std::string parse_quoted(std::string_view text) {
  if (text.size() < 2 || text.front() != '"' || text.back() != '"') {
    throw BadVector("not a quoted text: " + std::string(text));
  }
  text = text.substr(1, text.size() - 2);
  std::string out;
  for (std::size_t k = 0; k < text.size(); ++k) {
    if (text[k] != '\\') {
      out += text[k];
      continue;
    }
    if (k + 1 < text.size() && text[k + 1] == '\\') {
      out += '\\';
      ++k;
      continue;
    }
    const std::size_t close = text.find('}', k);
    if (text.substr(k, 3) != "\\u{" || close == std::string_view::npos) {
      throw BadVector("bad escape in " + std::string(text));
    }
    const std::string_view digits = text.substr(k + 3, close - k - 3);
    std::uint32_t code_point = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), code_point, 16);
    if (error != std::errc() || end != digits.data() + digits.size() || code_point > 0x10FFFF) {
      throw BadVector("bad escape in " + std::string(text));
    }
    append_utf8(out, code_point);
    k = close;
  }
  return out;
}

// The code points of UTF-8 that the file wrote (valid, or surrogates written as three bytes).
std::vector<std::uint32_t> code_points_of(std::string_view utf8) {
  std::vector<std::uint32_t> out;
  const auto* p = reinterpret_cast<const std::uint8_t*>(utf8.data());
  const std::size_t size = utf8.size();
  for (std::size_t k = 0; k < size;) {
    const std::uint32_t lead = p[k];
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (k + length > size) throw BadVector("truncated UTF-8 in the file");
    std::uint32_t code_point = length == 1   ? lead
                               : length == 2 ? lead & 0x1F
                               : length == 3 ? lead & 0x0F
                                             : lead & 0x07;
    for (std::size_t j = 1; j < length; ++j) code_point = (code_point << 6) | (p[k + j] & 0x3Fu);
    out.push_back(code_point);
    k += length;
  }
  return out;
}

std::uint64_t parse_double_bits(std::string_view hex) {
  if (hex.size() != 16) throw BadVector("a double is 16 hex digits: " + std::string(hex));
  std::uint64_t bits = 0;
  const auto [end, error] = std::from_chars(hex.data(), hex.data() + hex.size(), bits, 16);
  if (error != std::errc() || end != hex.data() + hex.size()) {
    throw BadVector("not hex: " + std::string(hex));
  }
  return bits;
}

// ---------------------------------------------------------------------------------------------
// Showing values in messages

std::string escaped(std::string_view utf8) {
  std::string out = "\"";
  for (const std::uint32_t c : code_points_of(utf8)) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || (c >= 0x7F && c < 0xA0) || (c >= 0xD800 && c < 0xE000)) {
      char buffer[16];
      std::snprintf(buffer, sizeof buffer, "\\u{%x}", static_cast<unsigned>(c));
      out += buffer;
    } else {
      append_utf8(out, c);
    }
  }
  return out + "\"";
}

std::string text_of(const std::vector<std::uint32_t>& code_points) {
  std::string utf8;
  for (const std::uint32_t c : code_points) append_utf8(utf8, c);
  return escaped(utf8);
}

std::string hex_of(const std::vector<std::uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const std::uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out.empty() ? "-" : out;
}

std::string double_text(double value) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  std::string out;
  core::append_float(out, value);
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, " (%016llx)", static_cast<unsigned long long>(bits));
  return out + buffer;
}

std::string_view kind_name(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::value_error:
      return "ValueError";
    case ErrorKind::key_error:
      return "KeyError";
    case ErrorKind::type_error:
      return "TypeError";
    case ErrorKind::overflow_error:
      return "OverflowError";
    case ErrorKind::not_implemented:
      return "NotImplementedError";
  }
  return "?";
}

// ---------------------------------------------------------------------------------------------
// Comparing

class Checker {
 public:
  // Reports a mismatch of `what` at line `line` of the file (a case, or a line of one).
  void differs(std::size_t line, std::string_view what, std::string_view expected,
               std::string_view got) {
    ++mismatches;
    std::printf("%s:%zu: %.*s\n    expected %.*s\n    got      %.*s\n", file.c_str(), line,
                static_cast<int>(what.size()), what.data(), static_cast<int>(expected.size()),
                expected.data(), static_cast<int>(got.size()), got.data());
  }
  template <class T>
  void same(std::size_t line, std::string_view what, const T& expected, const T& got) {
    if (expected != got) differs(line, what, show(expected), show(got));
  }
  void note(std::size_t line, std::string_view what) {
    ++mismatches;
    std::printf("%s:%zu: %.*s\n", file.c_str(), line, static_cast<int>(what.size()), what.data());
  }

  std::string file;
  std::size_t mismatches = 0;

 private:
  template <class T>
  static std::string show(const T& value) {
    if constexpr (std::is_integral_v<T>) {
      return std::to_string(value);
    } else if constexpr (std::is_same_v<T, std::string>) {
      return escaped(value);
    } else if constexpr (std::is_same_v<T, std::vector<std::uint8_t>>) {
      return hex_of(value);
    } else {
      return text_of(value);
    }
  }
};

// What a case expects of a failure: the field and its start, the exception's type, the message
// and the hint.
struct ExpectedFailure {
  std::size_t line = 0;
  std::size_t index = core::FieldFailure::kNoField;
  std::uint64_t start_bit = 0;
  std::string kind;
  std::string message;
  std::string hint;
};

ExpectedFailure parse_failure(const Line& line) {
  ExpectedFailure expected;
  expected.line = line.number;
  expected.index =
      line.at(1) == "-" ? core::FieldFailure::kNoField : parse_integer<std::size_t>(line.at(1));
  expected.start_bit = parse_integer<std::uint64_t>(line.at(2));
  expected.kind = line.at(3);
  expected.message = parse_quoted(line.at(4));
  expected.hint = parse_quoted(line.at(5));
  return expected;
}

void compare_failure(Checker& check, const ExpectedFailure& expected,
                     const core::FieldFailure& got) {
  const std::size_t line = expected.line;
  if (expected.index != got.index) {
    auto show = [](std::size_t index) {
      return index == core::FieldFailure::kNoField ? std::string("none") : std::to_string(index);
    };
    check.differs(line, "the failing field", show(expected.index), show(got.index));
  }
  check.same(line, "the failing field's start bit", expected.start_bit, got.start_bit);
  check.same(line, "the exception type", expected.kind, std::string(kind_name(got.failure.kind)));
  check.same(line, "the message", expected.message, got.failure.message);
  check.same(line, "the hint", expected.hint, got.failure.hint);
}

// What the walks covered, so that a file that leaves an encoding or a kind of field out fails.
class Coverage {
 public:
  void field(std::string_view direction, const core::FieldSpec& spec) {
    std::string prefix(direction);
    seen_.insert(prefix + " " + std::string(spec.row->name));
    const std::uint32_t bits = spec.bits;
    seen_.insert(prefix + (bits == 0    ? " width 0"
                           : bits == 1  ? " width 1"
                           : bits == 8  ? " width 8"
                           : bits == 16 ? " width 16"
                           : bits == 32 ? " width 32"
                           : bits == 64 ? " width 64"
                           : bits > 64  ? " width above 64"
                           : bits % 2   ? " odd width"
                                        : " other width"));
    seen_.insert(prefix + (spec.order == ByteOrder::big ? " big" : " little"));
    if (spec.reverse_bits) seen_.insert(prefix + " reverse_bits");
    if (spec.has_offset) seen_.insert(prefix + " offset_bits");
  }
  void saw(std::string what) { seen_.insert(std::move(what)); }

  // What should have been seen and was not.
  std::vector<std::string> missing() const {
    std::vector<std::string> wanted;
    for (const char* direction : {"unpack", "pack"}) {
      const std::string prefix(direction);
      for (const EncodingRow& row : kEncodings)
        wanted.push_back(prefix + " " + std::string(row.name));
      for (const char* what :
           {" width 0", " width 1", " width 8", " width 16", " width 32", " width 64",
            " width above 64", " odd width", " big", " little", " reverse_bits", " offset_bits",
            " failure", " success", " offset past the largest position"}) {
        wanted.push_back(prefix + what);
      }
    }
    for (const char* what :
         {"pack strict", "pack with text stored as ucs1", "pack with text stored as ucs2",
          "pack with text stored as ucs4", "problems", "unknown encoding", "invalid byte order"}) {
      wanted.emplace_back(what);
    }
    std::vector<std::string> out;
    for (const std::string& what : wanted) {
      if (!seen_.count(what)) out.push_back(what);
    }
    return out;
  }

 private:
  std::set<std::string> seen_;
};

// ---------------------------------------------------------------------------------------------
// The cases

// A recipe: the fields as the host read them, the plan the core compiled, and what the host
// shows of each field.
struct Recipe {
  bool strict = false;
  std::vector<core::FieldSpec> specs;
  std::vector<std::string> shown_names;
  std::vector<std::vector<std::string>> unread_keys;
  std::optional<core::Plan> plan;
};

core::FieldSpec parse_field(const Line& line, Recipe& recipe) {
  core::FieldSpec spec;
  spec.name = parse_quoted(line.at(1));
  spec.encoding = parse_quoted(line.at(2));
  spec.row = encoding_named(line.at(3));
  if (!spec.row) throw BadVector("no encoding named " + line.at(3));
  spec.bits = parse_u32(line.at(4));
  if (line.at(5) != "big" && line.at(5) != "little") throw BadVector("bad byte order");
  spec.order = line.at(5) == "big" ? ByteOrder::big : ByteOrder::little;
  spec.reverse_bits = parse_flag(line.at(6));
  spec.has_offset = line.at(7) != "-";
  spec.offset_bits = spec.has_offset ? parse_u32(line.at(7)) : 0;
  recipe.shown_names.push_back(parse_quoted(line.at(8)));
  std::vector<std::string>& unread = recipe.unread_keys.emplace_back();
  for (std::size_t k = 9; k < line.fields.size(); ++k) unread.push_back(parse_quoted(line.at(k)));
  return spec;
}

// A decoded value as the faces give it to the caller.
struct Value {
  char kind = '?';  // u, i, f, t
  std::uint64_t unsigned_value = 0;
  std::int64_t signed_value = 0;
  std::uint64_t double_bits = 0;
  std::vector<std::uint32_t> text;
};

// The code points of decoded text, laid out as a host string is: in the narrowest of one, two
// or four bytes per code point that holds the largest, as the text's description says.
std::vector<std::uint32_t> text_code_points(const DecodedText& text) {
  const std::size_t count = text.code_point_count;
  std::vector<std::uint32_t> out(count);
  if (text.code_point_bits < 0x100) {
    std::vector<std::uint8_t> units(count);
    decoder::write_code_points(text, units.data());
    for (std::size_t k = 0; k < count; ++k) out[k] = units[k];
  } else if (text.code_point_bits < 0x10000) {
    std::vector<std::uint16_t> units(count);
    decoder::write_code_points(text, units.data());
    for (std::size_t k = 0; k < count; ++k) out[k] = units[k];
  } else {
    decoder::write_code_points(text, out.data());
  }
  return out;
}

// The value of a field's decode step made as the faces make their objects: false with the
// failure filled in when the host would refuse it (text that the UTF-8 decoder left unchecked,
// checked when the string is made).
bool make_value(const core::FieldStep& step, const core::FieldValue& decoded, Value& out,
                Failure& failure) {
  switch (step.decoded) {
    case core::ValueKind::unsigned_integer:
      out.kind = 'u';
      out.unsigned_value = decoded.unsigned_value;
      return true;
    case core::ValueKind::signed_integer:
      out.kind = 'i';
      out.signed_value = decoded.signed_value;
      return true;
    case core::ValueKind::real:
      out.kind = 'f';
      std::memcpy(&out.double_bits, &decoded.real_value, sizeof out.double_bits);
      return true;
    case core::ValueKind::text: {
      out.kind = 't';
      DecodedText text = decoded.text;
      if (!text.validated) {
        Result<DecodedText> checked = decoder::validated(text);
        if (!checked.ok()) {
          failure = checked.failure();
          return false;
        }
        text = checked.value();
      }
      out.text = text_code_points(text);
      return true;
    }
    case core::ValueKind::refused:
      break;
  }
  throw std::logic_error("a field decoded to no value");
}

// An expected value, from a `value` or `given` line: the kind, then the value from field 3 on.
Value parse_value(const Line& line) {
  Value value;
  const std::string& kind = line.at(2);
  if (kind == "u") {
    value.unsigned_value = parse_integer<std::uint64_t>(line.at(3));
  } else if (kind == "i") {
    value.signed_value = parse_integer<std::int64_t>(line.at(3));
  } else if (kind == "f") {
    value.double_bits = parse_double_bits(line.at(4));
    // The file also gives the double as repr() wrote it: the core's writer must agree.
  } else if (kind == "t") {
    value.text = code_points_of(parse_quoted(line.at(3)));
  } else if (kind != "any") {
    throw BadVector("unknown value kind " + kind);
  }
  value.kind = kind == "any" ? 'a' : kind[0];
  return value;
}

// Checks the repr() that a `value` or `given` line of a double shows against the core's writer.
void check_repr(Checker& check, const Line& line) {
  if (line.at(2) != "f") return;
  const std::uint64_t bits = parse_double_bits(line.at(4));
  double value = 0;
  std::memcpy(&value, &bits, sizeof value);
  std::string written;
  core::append_float(written, value);
  check.same(line.number, "core::append_float of the double", line.at(3), written);
}

void compare_value(Checker& check, std::size_t line, std::size_t index, const Value& expected,
                   const Value& got) {
  const std::string what = "field " + std::to_string(index) + "'s value";
  if (expected.kind != got.kind) {
    check.differs(line, what + "'s kind", std::string(1, expected.kind), std::string(1, got.kind));
    return;
  }
  switch (expected.kind) {
    case 'u':
      check.same(line, what, expected.unsigned_value, got.unsigned_value);
      break;
    case 'i':
      check.same(line, what, expected.signed_value, got.signed_value);
      break;
    case 'f':
      if (expected.double_bits != got.double_bits) {
        double e = 0, g = 0;
        std::memcpy(&e, &expected.double_bits, sizeof e);
        std::memcpy(&g, &got.double_bits, sizeof g);
        check.differs(line, what, double_text(e), double_text(g));
      }
      break;
    default:
      check.same(line, what, expected.text, got.text);
      break;
  }
}

// unpack <offset_bits> <packet>, then values or a failure.
void run_unpack(Checker& check, Coverage& coverage, const Recipe& recipe,
                const std::vector<Line>& block) {
  const Line& head = block[0];
  const std::uint32_t offset_bits = parse_u32(head.at(1));
  const std::vector<std::uint8_t> packet = parse_hex(head.at(2));
  std::vector<std::pair<std::size_t, Value>> expected_values;
  std::optional<ExpectedFailure> expected_failure;
  for (std::size_t k = 1; k < block.size(); ++k) {
    const Line& line = block[k];
    if (line.keyword() == "value") {
      check_repr(check, line);
      expected_values.emplace_back(parse_integer<std::size_t>(line.at(1)), parse_value(line));
    } else if (line.keyword() == "fail") {
      expected_failure = parse_failure(line);
    } else {
      throw BadVector("unexpected " + line.keyword() + " in an unpack case");
    }
  }

  const core::Plan& plan = *recipe.plan;
  const std::size_t count = plan.field_count();
  std::vector<Value> got(count);
  core::TextRoom room;
  core::FieldFailure failure;
  const std::size_t done = core::unpack_each(
      plan, ByteSpan(packet.data(), packet.size()), offset_bits, room, failure,
      [&](std::size_t index, const core::FieldValue& value) {
        if (make_value(plan.fields()[index].step, value, got[index], failure.failure)) return true;
        failure.index = index;
        failure.start_bit = std::uint64_t{offset_bits} + plan.fields()[index].start_bit;
        return false;
      });
  for (std::size_t i = 0; i < count && i <= done; ++i) coverage.field("unpack", recipe.specs[i]);
  if (std::uint64_t{offset_bits} + plan.largest_end() > core::kLargestBitPosition) {
    coverage.saw("unpack offset past the largest position");
  }

  if (expected_failure) {
    coverage.saw("unpack failure");
    if (done == count) {
      check.differs(head.number, "unpacking", "a failure", "every field unpacked");
      return;
    }
    compare_failure(check, *expected_failure, failure);
    return;
  }
  coverage.saw("unpack success");
  if (done < count) {
    check.differs(head.number, "unpacking", "every field unpacked",
                  "field " + std::to_string(failure.index) +
                      " failed: " + std::string(kind_name(failure.failure.kind)) + ": " +
                      failure.failure.message);
    return;
  }
  // The dict: one key per name, in the order of first appearance, holding the last field's
  // value of that name.
  std::vector<std::size_t> keys;
  std::map<std::string, std::size_t> slot;
  for (std::size_t i = 0; i < count; ++i) {
    const auto [at, inserted] = slot.try_emplace(recipe.specs[i].name, keys.size());
    if (inserted) {
      keys.push_back(i);
    } else {
      keys[at->second] = i;
    }
  }
  if (keys.size() != expected_values.size()) {
    check.differs(head.number, "the number of keys", std::to_string(expected_values.size()),
                  std::to_string(keys.size()));
    return;
  }
  for (std::size_t k = 0; k < keys.size(); ++k) {
    const auto& [index, value] = expected_values[k];
    if (index != keys[k]) {
      check.differs(head.number, "the field of key " + std::to_string(k), std::to_string(index),
                    std::to_string(keys[k]));
      continue;
    }
    compare_value(check, head.number, index, value, got[index]);
  }
}

// How a text value to pack is stored: as UTF-8, or as CPython stores a str, in the narrowest of
// one, two or four bytes per code point (which the host hands to the encoders in place).
enum class Storage { utf8, host };

// A value to pack, with the storage its text needs while it is packed.
struct Given {
  bool present = false;
  Value value;
  std::string utf8;
  std::vector<std::uint8_t> ucs1;
  std::vector<std::uint16_t> ucs2;
  std::vector<std::uint32_t> ucs4;

  StoredText stored(Storage storage, Coverage& coverage) {
    if (storage == Storage::utf8) return StoredText::of_utf8(utf8);
    std::uint32_t largest = 0;
    for (const std::uint32_t c : value.text) largest = c > largest ? c : largest;
    const std::size_t count = value.text.size();
    if (largest < 0x100) {
      ucs1.assign(value.text.begin(), value.text.end());
      coverage.saw("pack with text stored as ucs1");
      return {ucs1.data(), count, largest < 0x80 ? TextStorage::ascii : TextStorage::ucs1};
    }
    StoredText text;
    if (largest < 0x10000) {
      ucs2.assign(value.text.begin(), value.text.end());
      text = {ucs2.data(), count, TextStorage::ucs2};
      coverage.saw("pack with text stored as ucs2");
    } else {
      ucs4 = value.text;
      text = {ucs4.data(), count, TextStorage::ucs4};
      coverage.saw("pack with text stored as ucs4");
    }
    // As the host converts a str: wide text is looked through for surrogates (and counted).
    if (encoder::holds_surrogate(text)) throw BadVector("a surrogate in text to pack");
    return text;
  }
};

struct PackOutcome {
  bool ok = false;
  std::vector<std::uint8_t> bytes;
  core::FieldFailure failure;
};

// Packs as Layout.pack does (no offset: an image of the sizing walk's packet length) or as
// Layout.pack_into does at `offset_bits` (positions checked, an image of the windows' extent).
PackOutcome pack(const Recipe& recipe, std::vector<Given>& given,
                 std::optional<std::uint32_t> offset_bits, Storage storage, Coverage& coverage) {
  const core::Plan& plan = *recipe.plan;
  PackOutcome out;
  if (!plan.sizing().ok) {
    out.failure = plan.sizing().failure;
    return out;
  }
  if (offset_bits && !core::positions_fit(plan, *offset_bits, out.failure)) return out;
  const std::uint64_t size =
      offset_bits ? plan.extent(*offset_bits % 8) : plan.sizing().packet_size;
  std::vector<std::uint8_t> image(static_cast<std::size_t>(size) + 1, 0);
  const core::Image target{image.data(), size, offset_bits.value_or(0)};
  std::vector<core::Produced> produced;
  core::PackMode mode;
  if (recipe.strict) {
    produced.resize(plan.field_count());
    mode = core::PackMode{true, &produced};
  }
  // Reused from field to field, as a layout's walk reuses them.
  core::NativeValue native;
  core::Encoded encoded;
  for (std::size_t i = 0; i < plan.field_count(); ++i) {
    const core::PlannedField& field = plan.fields()[i];
    coverage.field("pack", recipe.specs[i]);
    if (!given[i].present) {
      out.failure.index = i;
      out.failure.start_bit = target.offset_bits + field.start_bit;
      out.failure.failure = core::missing_value(recipe.specs[i].name);
      return out;
    }
    if (!core::packable(plan, i, target.offset_bits, out.failure)) return out;
    const Value& value = given[i].value;
    const char wanted = field.step.packed == core::ValueKind::unsigned_integer ? 'u'
                        : field.step.packed == core::ValueKind::signed_integer ? 'i'
                        : field.step.packed == core::ValueKind::real           ? 'f'
                                                                               : 't';
    if (value.kind != wanted) {
      throw BadVector("field " + std::to_string(i) + " packs values of kind " + wanted);
    }
    switch (field.step.packed) {
      case core::ValueKind::unsigned_integer:
        native.unsigned_value = value.unsigned_value;
        break;
      case core::ValueKind::signed_integer:
        native.signed_value = value.signed_value;
        break;
      case core::ValueKind::real:
        std::memcpy(&native.real_value, &value.double_bits, sizeof native.real_value);
        break;
      default:
        native.text = given[i].stored(storage, coverage);
        break;
    }
    if (!core::pack_field(plan, i, native, target, encoded, out.failure, mode)) return out;
  }
  if (recipe.strict && !core::check_read_back(plan, target, produced, out.failure)) return out;
  out.ok = true;
  out.bytes.assign(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(size));
  return out;
}

// pack <-|offset_bits>, the values given, then bytes or a failure.
void run_pack(Checker& check, Coverage& coverage, const Recipe& recipe,
              const std::vector<Line>& block) {
  const Line& head = block[0];
  std::optional<std::uint32_t> offset_bits;
  if (head.at(1) != "-") offset_bits = parse_u32(head.at(1));
  std::vector<Given> given(recipe.specs.size());
  std::optional<std::vector<std::uint8_t>> expected_bytes;
  std::optional<ExpectedFailure> expected_failure;
  bool has_text = false;
  for (std::size_t k = 1; k < block.size(); ++k) {
    const Line& line = block[k];
    if (line.keyword() == "given") {
      check_repr(check, line);
      const std::size_t index = parse_integer<std::size_t>(line.at(1));
      if (index >= given.size()) throw BadVector("no field " + line.at(1));
      given[index].present = true;
      given[index].value = parse_value(line);
      if (given[index].value.kind == 't') {
        given[index].utf8 = parse_quoted(line.at(3));
        has_text = true;
      }
    } else if (line.keyword() == "bytes") {
      expected_bytes = parse_hex(line.at(1));
    } else if (line.keyword() == "fail") {
      expected_failure = parse_failure(line);
    } else {
      throw BadVector("unexpected " + line.keyword() + " in a pack case");
    }
  }
  if (expected_bytes.has_value() == expected_failure.has_value()) {
    throw BadVector("a pack case expects bytes or a failure");
  }
  if (recipe.strict) coverage.saw("pack strict");
  if (offset_bits &&
      std::uint64_t{*offset_bits} + recipe.plan->largest_end() > core::kLargestBitPosition) {
    coverage.saw("pack offset past the largest position");
  }
  coverage.saw(expected_failure ? "pack failure" : "pack success");

  // Text as UTF-8, and again as the host stores it, when there is any.
  for (const Storage storage : {Storage::utf8, Storage::host}) {
    if (storage == Storage::host && !has_text) break;
    const std::string suffix =
        storage == Storage::host ? " (text stored as the host stores it)" : "";
    const PackOutcome got = pack(recipe, given, offset_bits, storage, coverage);
    if (expected_failure) {
      if (got.ok) {
        check.differs(head.number, "packing" + suffix, "a failure", "bytes " + hex_of(got.bytes));
      } else {
        compare_failure(check, *expected_failure, got.failure);
      }
    } else if (!got.ok) {
      check.differs(head.number, "packing" + suffix, "bytes " + hex_of(*expected_bytes),
                    "field " + std::to_string(got.failure.index) +
                        " failed: " + std::string(kind_name(got.failure.failure.kind)) + ": " +
                        got.failure.failure.message);
    } else {
      check.same(head.number, "the packed bytes" + suffix, *expected_bytes, got.bytes);
    }
  }
}

// problems, then one sentence a line.
void run_problems(Checker& check, Coverage& coverage, const Recipe& recipe,
                  const std::vector<Line>& block) {
  std::vector<std::string> expected;
  for (std::size_t k = 1; k < block.size(); ++k) {
    if (block[k].keyword() != "problem") throw BadVector("unexpected " + block[k].keyword());
    expected.push_back(parse_quoted(block[k].at(1)));
  }
  const std::vector<std::string> got =
      recipe.plan->problems(recipe.shown_names, recipe.unread_keys);
  if (!expected.empty()) coverage.saw("problems");
  const std::size_t common = std::min(expected.size(), got.size());
  for (std::size_t k = 0; k < common; ++k) {
    check.same(block[0].number, "problem " + std::to_string(k), expected[k], got[k]);
  }
  for (std::size_t k = common; k < expected.size(); ++k) {
    check.differs(block[0].number, "problem " + std::to_string(k), escaped(expected[k]), "none");
  }
  for (std::size_t k = common; k < got.size(); ++k) {
    check.differs(block[0].number, "problem " + std::to_string(k), "none", escaped(got[k]));
  }
}

// unknown "spelled" <lower case> <packing> <type> "message" "hint"
void run_unknown(Checker& check, Coverage& coverage, const Line& line) {
  if (encoding_named(line.at(2)) != nullptr) {
    check.note(line.number, "an encoding name that the table knows: " + line.at(2));
    return;
  }
  const Failure got = core::unsupported_encoding(parse_quoted(line.at(1)), parse_flag(line.at(3)));
  check.same(line.number, "the exception type", line.at(4), std::string(kind_name(got.kind)));
  check.same(line.number, "the message", parse_quoted(line.at(5)), got.message);
  check.same(line.number, "the hint", parse_quoted(line.at(6)), got.hint);
  coverage.saw("unknown encoding");
}

// order "spelled" <type> "message"
void run_order(Checker& check, Coverage& coverage, const Line& line) {
  const Failure got = core::invalid_byte_order(parse_quoted(line.at(1)));
  check.same(line.number, "the exception type", line.at(2), std::string(kind_name(got.kind)));
  check.same(line.number, "the message", parse_quoted(line.at(3)), got.message);
  coverage.saw("invalid byte order");
}

bool is_case_keyword(std::string_view keyword) {
  return keyword == "layout" || keyword == "problems" || keyword == "unpack" || keyword == "pack" ||
         keyword == "unknown" || keyword == "order";
}

// The file's lines, without blank lines and comments, in blocks: a case's first line and the
// lines that belong to it.
std::vector<std::vector<Line>> read_blocks(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw BadVector("cannot open " + path);
  std::vector<std::vector<Line>> blocks;
  std::string text;
  std::size_t number = 0;
  while (std::getline(in, text)) {
    ++number;
    if (text.empty() || text[0] == '#') continue;
    Line line{number, split_tabs(text)};
    if (is_case_keyword(line.keyword())) {
      blocks.emplace_back();
    } else if (blocks.empty()) {
      throw BadVector("line " + std::to_string(number) + ": " + line.keyword() + " before a case");
    }
    blocks.back().push_back(std::move(line));
  }
  return blocks;
}

struct Counts {
  std::size_t recipes = 0, unpack = 0, pack = 0, problems = 0, unknown = 0, order = 0;
};

void run_block(Checker& check, Coverage& coverage, Recipe& recipe, Counts& counts,
               const std::vector<Line>& block) {
  const std::string& keyword = block[0].keyword();
  if (keyword == "layout") {
    recipe = Recipe{};
    recipe.strict = parse_flag(block[0].at(1));
    for (std::size_t k = 1; k < block.size(); ++k) {
      if (block[k].keyword() != "field") throw BadVector("unexpected " + block[k].keyword());
      recipe.specs.push_back(parse_field(block[k], recipe));
    }
    recipe.plan.emplace(recipe.specs);
    ++counts.recipes;
    return;
  }
  if (keyword == "unknown" || keyword == "order") {
    if (block.size() != 1) throw BadVector("unexpected " + block[1].keyword());
    keyword == "unknown" ? run_unknown(check, coverage, block[0])
                         : run_order(check, coverage, block[0]);
    ++(keyword == "unknown" ? counts.unknown : counts.order);
    return;
  }
  if (!recipe.plan) throw BadVector(keyword + " before any layout");
  if (keyword == "problems") {
    run_problems(check, coverage, recipe, block);
    ++counts.problems;
  } else if (keyword == "unpack") {
    run_unpack(check, coverage, recipe, block);
    ++counts.unpack;
  } else {
    run_pack(check, coverage, recipe, block);
    ++counts.pack;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <vectors file>\n", argv[0]);
    return 2;
  }
  Checker check;
  check.file = argv[1];
  Coverage coverage;
  Counts counts;
  try {
    Recipe recipe;
    for (const std::vector<Line>& block : read_blocks(argv[1])) {
      try {
        run_block(check, coverage, recipe, counts, block);
      } catch (const BadVector& error) {
        throw BadVector(check.file + ":" + std::to_string(block[0].number) + ": " + error.what());
      }
    }
  } catch (const BadVector& error) {
    std::fprintf(stderr, "error: not a vectors file: %s\n", error.what());
    return 2;
  }
  for (const std::string& what : coverage.missing()) {
    check.note(0, "no vector covers: " + what);
  }
  std::printf(
      "%zu recipes: %zu unpack and %zu pack cases, %zu problems lists, %zu unknown encoding "
      "names, %zu byte orders; %zu mismatches\n",
      counts.recipes, counts.unpack, counts.pack, counts.problems, counts.unknown, counts.order,
      check.mismatches);
  return check.mismatches == 0 ? 0 : 1;
}
