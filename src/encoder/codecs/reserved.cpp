// The registered floating-point formats that are not implemented: every encoder of one reports
// so. No interpreter here. The caller converts the argument first, so a bad argument is reported
// as such and not as a missing format.
#include <string>

#include "encoder/codecs/encoder.hpp"

namespace fieldpack::encoder {

Failure reserved_encoding(std::string_view label) {
  std::string message(label);
  message += " encoding not yet implemented";
  return Failure{ErrorKind::not_implemented, std::move(message)};
}

}  // namespace fieldpack::encoder
