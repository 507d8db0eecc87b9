// Decoders of the registered floating-point formats that are not implemented: each reports so.
// No interpreter here. The packet decoder reaches the same routines for these encoding names.
#include <cstdint>

#include "decoder/decoder.hpp"

namespace fieldpack::decoder {
namespace {

Failure not_implemented(const char* message) {
  return Failure{ErrorKind::not_implemented, message};
}

}  // namespace

Failure decode_ieee754_1985_f32(std::uint64_t) {
  return not_implemented("IEEE 754-1985 f32 format not yet implemented");
}

Failure decode_ieee754_1985_f64(std::uint64_t) {
  return not_implemented("IEEE 754-1985 f64 format not yet implemented");
}

Failure decode_ieee754_1985_f80(std::uint64_t) {
  return not_implemented("IEEE 754-1985 f80 format not yet implemented");
}

Failure decode_mil_std_1750a_f32(std::uint64_t) {
  return not_implemented("MIL-STD-1750A f32 format not yet implemented");
}

Failure decode_mil_std_1750a_f48(std::uint64_t) {
  return not_implemented("MIL-STD-1750A f48 format not yet implemented");
}

Failure decode_dec_f32(std::uint64_t) {
  return not_implemented("DEC f32 format not yet implemented");
}

Failure decode_dec_f64(std::uint64_t) {
  return not_implemented("DEC f64 format not yet implemented");
}

Failure decode_ibm_f32(std::uint64_t) {
  return not_implemented("IBM f32 format not yet implemented");
}

Failure decode_ibm_f64(std::uint64_t) {
  return not_implemented("IBM f64 format not yet implemented");
}

Failure decode_ti_f32(std::uint64_t) {
  return not_implemented("TI f32 format not yet implemented");
}

Failure decode_ti_f40(std::uint64_t) {
  return not_implemented("TI f40 format not yet implemented");
}

}  // namespace fieldpack::decoder
