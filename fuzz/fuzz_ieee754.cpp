// IEEE 754 codecs: half and single patterns that are not NaNs survive decode then encode; the
// half rounding is monotonic; NaNs stay NaNs with their sign through every narrowing.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "decoder/codecs/decoder.hpp"
#include "encoder/codecs/encoder.hpp"
#include "fuzz_input.hpp"

namespace {

using namespace fieldpack;

double via_half(float value) {
  return decoder::decode_ieee754_f16(encoder::encode_ieee754_f16(value));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  const auto half = input.take<std::uint16_t>();
  const auto single_bits = input.take<std::uint32_t>();
  const auto a = input.take<double>();
  const auto b = input.take<double>();

  const double widened = decoder::decode_ieee754_f16(half);
  if (!std::isnan(widened)) {
    if (encoder::encode_ieee754_f16(encoder::round_to_single(widened)) != half) std::abort();
  }
  // Straight from raw bits, a signalling NaN reaches the half encoder too; it must not become
  // an infinity even when its top fraction bits are all zero.
  const auto raw_single = std::bit_cast<float>(single_bits);
  if (std::isnan(raw_single)) {
    const std::uint64_t half_nan = encoder::encode_ieee754_f16(raw_single);
    if ((half_nan & 0x7C00u) != 0x7C00u || (half_nan & 0x3FFu) == 0) std::abort();
  }
  const double single = decoder::decode_ieee754_f32(single_bits);
  if (!std::isnan(single)) {
    if (encoder::encode_ieee754_f32(encoder::round_to_single(single)) != single_bits) std::abort();
  }

  const float fa = encoder::round_to_single(a);
  const float fb = encoder::round_to_single(b);
  if (std::isnan(a) != std::isnan(fa) || std::signbit(a) != std::signbit(fa)) std::abort();
  if (std::isnan(fa)) {
    const double back = via_half(fa);
    if (!std::isnan(back) || std::signbit(back) != std::signbit(fa)) std::abort();
  } else if (!std::isnan(fb)) {
    if ((fa <= fb) && !(via_half(fa) <= via_half(fb))) std::abort();
  }
  decoder::decode_ieee754_f128(UInt128{input.take<std::uint64_t>(), input.take<std::uint64_t>()});
  return 0;
}
