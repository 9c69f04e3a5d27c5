// The IPv4 address value: 32 bits whose lowest byte is the first number of
// the dotted text, so that placed unchanged into a socket address it is in
// network byte order. Its four octets, in text order, and back.
#pragma once

#include <array>
#include <cstdint>

namespace kdt {

using OctetArray = std::array<std::uint8_t, 4>;

constexpr std::uint32_t PackOctets(const OctetArray& octets) {
  return std::uint32_t(octets[0]) | std::uint32_t(octets[1]) << 8 | std::uint32_t(octets[2]) << 16 |
         std::uint32_t(octets[3]) << 24;
}

constexpr OctetArray UnpackOctets(std::uint32_t value) {
  return {std::uint8_t(value), std::uint8_t(value >> 8), std::uint8_t(value >> 16),
          std::uint8_t(value >> 24)};
}

}  // namespace kdt
