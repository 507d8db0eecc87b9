// Signed-integer codecs: every encoded pattern fits its width and decodes back to the value;
// every width above 64 is refused; the decoders accept any pattern and width.
#include <cstdint>
#include <cstdlib>

#include "decoder/codecs/decoder.hpp"
#include "encoder/codecs/encoder.hpp"
#include "fuzz_input.hpp"

namespace {

using Encoder = fieldpack::Result<std::uint64_t> (*)(std::int64_t, std::uint32_t);
using Decoder = std::int64_t (*)(std::uint64_t, std::uint32_t);

void check(Encoder encode, Decoder decode, std::int64_t value, std::uint32_t bits,
           std::uint64_t pattern) {
  decode(pattern, bits);  // any pattern and width: must not trip the sanitizers
  auto encoded = encode(value, bits);
  if (!encoded.ok()) return;
  if (bits > 64) std::abort();
  // Width 0 has no field to hold a value: the encoders give 0 there and nothing comes back.
  if (bits == 0) return;
  if ((encoded.value() & ~fieldpack::low_mask(bits)) != 0) std::abort();
  if (decode(encoded.value(), bits) != value) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  const std::int64_t value = input.take_scaled();
  const std::uint32_t bits = input.take_width();
  const auto pattern = input.take<std::uint64_t>();
  using namespace fieldpack;
  check(encoder::encode_sign_magnitude, decoder::decode_sign_magnitude, value, bits, pattern);
  check(encoder::encode_ones_complement, decoder::decode_ones_complement, value, bits, pattern);
  check(encoder::encode_twos_complement, decoder::decode_twos_complement, value, bits, pattern);
  return 0;
}
