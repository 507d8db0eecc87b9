// The registered floating-point formats that are not implemented: every decoder of one reports
// so. No interpreter here.
#include <string>

#include "decoder/codecs/decoder.hpp"

namespace fieldpack::decoder {

Failure reserved_format(std::string_view label) {
  std::string message(label);
  message += " format not yet implemented";
  return Failure{ErrorKind::not_implemented, std::move(message)};
}

}  // namespace fieldpack::decoder
