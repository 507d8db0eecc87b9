// Compiling a plan, and what the plan can tell about the recipe.
#include "core/plan.hpp"

#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "common/bits.hpp"
#include "core/messages.hpp"

namespace fieldpack::core {

namespace {

bool is_numeric(Family family) {
  return family == Family::unsigned_integer || family == Family::signed_integer ||
         family == Family::decimal || family == Family::binary_float;
}

// The width a float encoding's name gives it ("ieee754_f32": 32).
std::uint32_t float_width(const EncodingRow& row) {
  std::uint32_t width = 0;
  for (char c : row.name.substr(row.name.rfind('f') + 1)) {
    width = width * 10 + static_cast<std::uint32_t>(c - '0');
  }
  return width;
}

// "byte 3", "bytes 3 to 5"; "bit 3", "bits 3 to 5".
void append_range(std::string& out, std::string_view unit, std::uint64_t first, std::uint64_t end) {
  out += unit;
  if (end - first == 1) {
    out += ' ';
    append_decimal(out, first);
    return;
  }
  out += "s ";
  append_decimal(out, first);
  out += " to ";
  append_decimal(out, end - 1);
}

void append_bits(std::string& out, std::uint64_t bits) {
  append_decimal(out, bits);
  out += bits == 1 ? " bit" : " bits";
}

// The sentences about one field on its own.
void field_problems(Packing packing, const FieldSpec& spec, const PlannedField& field,
                    const std::string& about, const std::vector<std::string>& unread,
                    std::vector<std::string>& found) {
  const Family family = spec.row->family;
  const std::uint64_t start = field.start_bit;
  auto sentence = [&](std::string_view text) {
    std::string out = about;
    out += text;
    return out;
  };
  if (packing == Packing::bytes && spec.bits > 0 && start % 8 != 0) {
    std::string text = sentence(" starts at bit ");
    append_decimal(text, start);
    text += ", ";
    append_decimal(text, start % 8);
    text += start % 8 == 1 ? " bit into byte " : " bits into byte ";
    append_decimal(text, start / 8);
    text +=
        ": the layout is byte-granular, so the field is read and written from the start of that "
        "byte";
    found.push_back(std::move(text));
  }
  if (!unread.empty()) {
    std::string text = sentence(unread.size() == 1 ? " has a key that is not read: "
                                                   : " has keys that are not read: ");
    for (std::size_t k = 0; k < unread.size(); ++k) {
      if (k > 0) text += ", ";
      text += unread[k];
    }
    found.push_back(std::move(text));
  }
  if (is_numeric(family) && spec.bits > 64) {
    std::string text = sentence(" is ");
    append_decimal(text, spec.bits);
    text += " bits wide, but its values have 64 bits: only eight of its ";
    append_decimal(text, field.step.byte_count);
    text += " bytes are read or written";
    found.push_back(std::move(text));
  }
  if (family == Family::binary_float && spec.bits != float_width(*spec.row)) {
    std::string text = sentence(" is ");
    text += spec.row->name;
    text += " in ";
    append_bits(text, spec.bits);
    text += ", not the format's ";
    append_decimal(text, float_width(*spec.row));
    found.push_back(std::move(text));
  }
  if (family == Family::text && spec.bits % 8 != 0) {
    std::string text = sentence(" is text in ");
    append_bits(text, spec.bits);
    text += ", not a whole number of bytes: it is read and written as ";
    append_decimal(text, field.step.byte_count);
    text += field.step.byte_count == 1 ? " whole byte" : " whole bytes";
    found.push_back(std::move(text));
  }
  if (family == Family::reserved) {
    std::string text = sentence(" is ");
    text += spec.row->name;
    text += ", which is not implemented: unpacking it always fails, and packing refuses it";
    found.push_back(std::move(text));
  }
  if (family == Family::binary_f128) {
    std::string text = sentence(" is ");
    text += spec.row->name;
    text += spec.bits > 64 ? ", which unpacking refuses above 64 bits"
                           : ", which unpacking reads as 0.0 whatever it holds";
    text += " and packing refuses";
    found.push_back(std::move(text));
  }
}

}  // namespace

std::optional<Failure> bit_exact_refusal(const FieldSpec& spec) {
  const Family family = spec.row->family;
  const bool whole_bytes = spec.bits % 8 == 0;
  if (whole_bytes) return std::nullopt;
  const bool numeric = family == Family::unsigned_integer || family == Family::signed_integer ||
                       family == Family::decimal;
  if (numeric && spec.order == ByteOrder::big) return std::nullopt;
  std::string message = "Field '";
  message += spec.name;
  message += "' is ";
  if (numeric) {
    message += "little-endian in ";
  } else {
    message += family == Family::text ? "text" : spec.row->name;
    message += " in ";
  }
  append_bits(message, spec.bits);
  message += ": a bit-exact layout reads ";
  message += numeric ? "little-endian fields" : family == Family::text ? "text" : "floats";
  message += " in whole bytes only";
  return value_error(std::move(message));
}

Plan::Plan(std::vector<FieldSpec> specs, Packing packing)
    : specs_(std::move(specs)), packing_(packing) {
  fields_.reserve(specs_.size());
  std::uint64_t position = 0;     // where the walks start a field without an offset
  std::uint64_t largest_end = 0;  // where the sizing walk starts one
  for (std::size_t i = 0; i < specs_.size(); ++i) {
    const FieldSpec& spec = specs_[i];
    PlannedField& field = fields_.emplace_back();
    field.step = compile_step(*spec.row, spec.bits, spec.order, spec.reverse_bits);
    compile_layout_step(field.step);
    field.start_bit = spec.has_offset ? spec.offset_bits : position;
    position = field.start_bit + spec.bits;

    // The sizing walk of pack_parameters: a field without an offset starts at the largest end
    // so far, and the first end past the largest 32-bit position is its failure.
    if (sizing_.ok) {
      const std::uint64_t sized_start = spec.has_offset ? spec.offset_bits : largest_end;
      const std::uint64_t sized_end = sized_start + spec.bits;
      if (sized_end > kLargestBitPosition) {
        sizing_.ok = false;
        sizing_.failure = {i, sized_start, position_out_of_range(spec.name, sized_end)};
      }
      largest_end = std::max(largest_end, sized_end);
    }
    largest_end_ = std::max(largest_end_, field.start_bit + spec.bits);
    for (std::uint32_t residue = 0; residue < 8; ++residue) {
      const Placement placed = placement(i, residue + field.start_bit);
      extents_[residue] = std::max(extents_[residue], placed.first_byte + placed.byte_count);
    }
  }
  if (sizing_.ok) sizing_.packet_size = (largest_end + 7) / 8;
  if (packing_ == Packing::bits) {
    word_places_.reserve(fields_.size());
    for (const PlannedField& field : fields_) {
      const FieldStep& step = field.step;
      const auto shift = static_cast<std::uint32_t>(field.start_bit % 8);
      WordPlace& place = word_places_.emplace_back();
      place.first_byte = field.start_bit / 8;
      place.fits = step.word_bits && shift + step.bits <= 64;
      if (place.fits) place.below = 64 - shift - step.bits;
    }
  }
}

Failure Plan::refused(std::size_t index) const {
  return unsupported_encoding(specs_[index].encoding, true);
}

std::vector<std::string> Plan::problems(
    std::span<const std::string> names,
    std::span<const std::vector<std::string>> unread_keys) const {
  std::vector<std::string> found;
  const std::size_t count = fields_.size();
  for (std::size_t i = 0; i < count; ++i) {
    std::string about = "field ";
    append_decimal(about, i);
    about += ' ';
    about += names[i];
    field_problems(packing_, specs_[i], fields_[i], about, unread_keys[i], found);
  }

  std::unordered_map<std::string_view, std::size_t> first_named;
  for (std::size_t i = 0; i < count; ++i) {
    const auto [at, inserted] = first_named.try_emplace(specs_[i].name, i);
    if (inserted) continue;
    std::string text = "fields ";
    append_decimal(text, at->second);
    text += " and ";
    append_decimal(text, i);
    text += " are both named ";
    text += names[i];
    text += ": unpacking keeps the later value, and packing writes the same value into both";
    found.push_back(std::move(text));
  }

  // What each field occupies, in order of its start: whole bytes (byte-granular) or bits
  // (bit-exact); one that starts before the furthest end so far shares some with the one that
  // reaches there.
  const bool by_bits = packing_ == Packing::bits;
  struct Span {
    std::uint64_t first, end;
    std::size_t index;
  };
  std::vector<Span> spans;
  for (std::size_t i = 0; i < count; ++i) {
    const PlannedField& field = fields_[i];
    if (field.step.bits == 0) continue;
    if (by_bits) {
      spans.push_back({field.start_bit, field.start_bit + field.step.bits, i});
    } else {
      spans.push_back({field.start_bit / 8, field.start_bit / 8 + field.step.byte_count, i});
    }
  }
  std::stable_sort(spans.begin(), spans.end(),
                   [](const Span& a, const Span& b) { return a.first < b.first; });
  struct Overlap {
    std::size_t earlier, later;
    std::uint64_t first, end;
  };
  std::vector<Overlap> overlaps;
  const Span* furthest = nullptr;
  for (const Span& span : spans) {
    if (furthest && span.first < furthest->end) {
      overlaps.push_back({std::min(furthest->index, span.index),
                          std::max(furthest->index, span.index), span.first,
                          std::min(span.end, furthest->end)});
    }
    if (!furthest || span.end > furthest->end) furthest = &span;
  }
  std::sort(overlaps.begin(), overlaps.end(), [](const Overlap& a, const Overlap& b) {
    return a.later != b.later ? a.later < b.later : a.earlier < b.earlier;
  });
  for (const Overlap& overlap : overlaps) {
    std::string text = "fields ";
    append_decimal(text, overlap.earlier);
    text += ' ';
    text += names[overlap.earlier];
    text += " and ";
    append_decimal(text, overlap.later);
    text += ' ';
    text += names[overlap.later];
    text += " share ";
    append_range(text, by_bits ? "bit" : "byte", overlap.first, overlap.end);
    text += ": packing writes the later over the earlier";
    found.push_back(std::move(text));
  }

  if (!sizing_.ok) {
    std::string text = "the layout cannot be packed: ";
    text += sizing_.failure.failure.message;
    found.push_back(std::move(text));
  }
  return found;
}

}  // namespace fieldpack::core
