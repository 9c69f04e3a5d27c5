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

// The address as a number in the order of its text, the first octet highest,
// as networks are masked and as Qt's QHostAddress takes it; and back.
constexpr std::uint32_t NumericOrder(std::uint32_t value) {
  const OctetArray octets = UnpackOctets(value);
  return std::uint32_t(octets[0]) << 24 | std::uint32_t(octets[1]) << 16 |
         std::uint32_t(octets[2]) << 8 | octets[3];
}

constexpr std::uint32_t FromNumericOrder(std::uint32_t numeric) {
  return PackOctets({std::uint8_t(numeric >> 24), std::uint8_t(numeric >> 16),
                     std::uint8_t(numeric >> 8), std::uint8_t(numeric)});
}

}  // namespace kdt
