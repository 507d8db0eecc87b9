// Reading fuzz input as fixed-width values. Shared by the fuzz targets only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace fuzz {

// Consumes values from the front of the input; reads past the end give zero bytes.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  template <class T>
  T take() {
    unsigned char bytes[sizeof(T)] = {};
    const std::size_t n = size_ < sizeof(T) ? size_ : sizeof(T);
    if (n != 0) std::memcpy(bytes, data_, n);
    data_ += n;
    size_ -= n;
    T value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
  }
  // A signed value shifted right by 0-63 places, so that small magnitudes are as common as
  // large ones and every width sees values inside and just outside its range.
  std::int64_t take_scaled() {
    const auto raw = take<std::int64_t>();
    return raw >> (take<std::uint8_t>() % 64);
  }
  // Mostly widths near the interesting ones (0-72), sometimes any 32-bit width.
  std::uint32_t take_width() {
    const auto selector = take<std::uint8_t>();
    const auto wide = take<std::uint32_t>();
    return selector < 224 ? selector % 73u : wide;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

}  // namespace fuzz
