// BCD codecs: encoded values decode back; any pattern that decodes re-encodes to a pattern that
// decodes to the same value. Widths up to 2^32 - 1 must cost the same as 64.
#include <cstdint>
#include <cstdlib>

#include "decoder/codecs/decoder.hpp"
#include "encoder/codecs/encoder.hpp"
#include "fuzz_input.hpp"

namespace {

using Encoder = fieldpack::Result<std::uint64_t> (*)(std::int64_t, std::uint32_t, bool);
using Decoder = fieldpack::Result<std::int64_t> (*)(std::uint64_t, std::uint32_t, bool);

void check(Encoder encode, Decoder decode, std::int64_t value, std::uint32_t bits, bool is_signed,
           std::uint64_t pattern, bool round_trips) {
  auto encoded = encode(value, bits, is_signed);
  if (encoded.ok() && round_trips) {
    auto decoded = decode(encoded.value(), bits, is_signed);
    if (!decoded.ok() || decoded.value() != value) std::abort();
  }
  auto decoded = decode(pattern, bits, is_signed);
  if (!decoded.ok() || !round_trips) return;
  if (decoded.value() <= -10'000'000'000'000'000 || decoded.value() >= 10'000'000'000'000'000) {
    std::abort();
  }
  auto canonical = encode(decoded.value(), bits, is_signed);
  if (bits < 4) return;  // nothing to hold a digit; the encoders refuse these widths
  if (!canonical.ok()) std::abort();
  auto again = decode(canonical.value(), bits, is_signed);
  if (!again.ok() || again.value() != decoded.value()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  const std::int64_t value = input.take_scaled();
  const std::uint32_t bits = input.take_width();
  const auto pattern = input.take<std::uint64_t>();
  const bool is_signed = (input.take<std::uint8_t>() & 1u) != 0;
  using namespace fieldpack;
  check(encoder::encode_packed_bcd, decoder::decode_packed_bcd, value, bits, is_signed, pattern,
        true);
  // Signed zoned fields wider than eight bytes carry zones the 64-bit pattern cannot hold.
  const bool unpacked_round_trips = bits >= 8 && (!is_signed || bits / 8 <= 8);
  check(encoder::encode_unpacked_bcd, decoder::decode_unpacked_bcd, value, bits, is_signed, pattern,
        unpacked_round_trips);
  // So such widths are refused rather than written unreadable.
  if (is_signed && bits / 8 > 8 && encoder::encode_unpacked_bcd(value, bits, true).ok()) {
    std::abort();
  }
  return 0;
}
