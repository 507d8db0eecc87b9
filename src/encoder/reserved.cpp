// Encoders of the registered floating-point formats that are not implemented: each reports so.
// No interpreter here. The caller converts the argument before these are reached, so a bad
// argument is reported as such and not as a missing format.
#include <cstdint>

#include "encoder/encoder.hpp"

namespace fieldpack::encoder {
namespace {

Failure not_implemented(const char* message) {
  return Failure{ErrorKind::not_implemented, message};
}

}  // namespace

Failure encode_ieee754_1985_f32(float) {
  return not_implemented("IEEE 754-1985 f32 encoding not yet implemented");
}

Failure encode_ieee754_1985_f64(double) {
  return not_implemented("IEEE 754-1985 f64 encoding not yet implemented");
}

Failure encode_ieee754_1985_f80(double) {
  return not_implemented("IEEE 754-1985 f80 encoding not yet implemented");
}

Failure encode_mil_std_1750a_f32(float) {
  return not_implemented("MIL-STD-1750A f32 encoding not yet implemented");
}

Failure encode_mil_std_1750a_f48(double) {
  return not_implemented("MIL-STD-1750A f48 encoding not yet implemented");
}

Failure encode_dec_f32(float) {
  return not_implemented("DEC f32 encoding not yet implemented");
}

Failure encode_dec_f64(double) {
  return not_implemented("DEC f64 encoding not yet implemented");
}

Failure encode_ibm_f32(float) {
  return not_implemented("IBM f32 encoding not yet implemented");
}

Failure encode_ibm_f64(double) {
  return not_implemented("IBM f64 encoding not yet implemented");
}

Failure encode_ti_f32(float) {
  return not_implemented("TI f32 encoding not yet implemented");
}

Failure encode_ti_f40(double) {
  return not_implemented("TI f40 encoding not yet implemented");
}

}  // namespace fieldpack::encoder
