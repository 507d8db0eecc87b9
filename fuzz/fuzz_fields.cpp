// Field windows and encoding names: a code placed into a window reads back as the field's value
// in both byte orders, mirrored or not, and never touches a byte outside the window or the
// packet; every name finds its own row and nothing else finds one.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/encodings.hpp"
#include "common/field_window.hpp"
#include "fuzz_input.hpp"

namespace {

using namespace fieldpack;

void require(bool condition) {
  if (!condition) std::abort();
}

void check_window(fuzz::Input& input) {
  const std::uint32_t bits = input.take<std::uint8_t>() % 97u;  // up to 12 bytes, past 64 bits
  const auto code = input.take<std::uint64_t>();
  const ByteOrder order =
      (input.take<std::uint8_t>() & 1) != 0 ? ByteOrder::little : ByteOrder::big;
  const bool reverse = (input.take<std::uint8_t>() & 1) != 0;
  const std::uint64_t first_byte = input.take<std::uint8_t>() % 4u;
  // Sometimes the packet ends inside the window: the bytes past it are dropped.
  const std::uint64_t window = window_byte_count(bits);
  const std::uint64_t packet_size =
      first_byte + window - std::min<std::uint64_t>(window, input.take<std::uint8_t>() % 3u);
  const std::uint8_t fill = input.take<std::uint8_t>();
  std::vector<std::uint8_t> packet(static_cast<std::size_t>(packet_size) + 8, fill);
  place_code(packet.data(), packet_size, first_byte, code, bits, order, reverse);
  for (std::size_t k = 0; k < first_byte; ++k) require(packet[k] == fill);
  for (std::size_t k = static_cast<std::size_t>(packet_size); k < packet.size(); ++k) {
    require(packet[k] == fill);
  }
  if (packet_size < first_byte + window) return;
  const std::uint64_t value = field_value(packet.data() + first_byte, window, bits, order, reverse);
  if (bits <= 64) {
    require(value == (code & low_mask(bits)));
  } else if (!reverse) {
    // A code fills the last eight bytes of the byte-ordered buffer, and the value is read from
    // its first eight: what shows is the code shifted down by the leading zero bytes.
    const std::uint64_t leading = window - 8;
    require(value == (leading >= 8 ? 0 : code >> (8 * leading)));
  }
}

void check_name(fuzz::Input& input) {
  const EncodingRow& known = kEncodings[input.take<std::uint8_t>() % kEncodingCount];
  require(encoding_named(known.name) == &known);
  std::string name(known.name);
  const std::size_t at = input.take<std::uint8_t>() % (name.size() + 1);
  name.insert(at, 1, static_cast<char>(input.take<std::uint8_t>()));
  const EncodingRow* found = encoding_named(name);
  require(found == nullptr || found->name == name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  check_window(input);
  check_name(input);
  return 0;
}
