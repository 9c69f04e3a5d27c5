// Every rule about the unit's relays, in one place: how they are numbered,
// named, parsed and ordered on screen, and what their state byte says.
// Relays are 1 to 3 on the wire, in the session and in the settings; relay 1
// is shown as RELAY C and relay 3 as RELAY A, so that read from left to right
// a screen shows RELAY A, B, C. No dependencies, so that every layer can use
// it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace kdt {

constexpr int kRelayCount = 3;

// The relays as the unit's front and every screen show them, left to right.
constexpr std::array<int, kRelayCount> kRelaysLeftToRight = {3, 2, 1};

// The inputs a relay switches between.
constexpr int kInput1 = 1;
constexpr int kInput2 = 2;

// The state byte: bits 0 and 1 hold the selected input, bit 6 a lock at the
// unit that keeps the relay from being switched; no other bit is read.
constexpr std::uint8_t kStateInputMask = 0x03;
constexpr std::uint8_t kStateLocked = 0x40;

// The input bits as they stand, 0 to 3.
constexpr int InputBits(std::uint8_t state) {
  return state & kStateInputMask;
}

// The selected input, 1 or 2; 0 when the bits say neither.
constexpr int InputOf(std::uint8_t state) {
  const int bits = InputBits(state);
  return bits == kInput1 || bits == kInput2 ? bits : 0;
}

constexpr bool IsLocked(std::uint8_t state) {
  return (state & kStateLocked) != 0;
}

// The state with its input bits replaced; the other bits stay.
constexpr std::uint8_t WithInput(std::uint8_t state, int input) {
  return static_cast<std::uint8_t>((state & ~kStateInputMask) | (input & kStateInputMask));
}

constexpr std::uint8_t WithLock(std::uint8_t state, bool locked) {
  return static_cast<std::uint8_t>(locked ? state | kStateLocked : state & ~kStateLocked);
}

// The letter of relay r (1 to 3): the character with code 68 - r.
constexpr char RelayLetter(int relay) {
  return static_cast<char>('D' - relay);
}

// The letter in lower case, as the bridge's topics and addresses give it.
constexpr char RelayLowerLetter(int relay) {
  return static_cast<char>('d' - relay);
}

// The relay of a letter, either case; 0 for anything else.
constexpr int RelayOfLetter(char letter) {
  const char upper =
      letter >= 'a' && letter <= 'z' ? static_cast<char>(letter - 'a' + 'A') : letter;
  const int relay = 'D' - upper;
  return relay >= 1 && relay <= kRelayCount ? relay : 0;
}

// A relay as people give it: its letter, A, B or C in either case, or the
// unit's number, 1 to 3. 0 for anything else.
constexpr int ParseRelay(std::string_view text) {
  if (text.size() != 1) return 0;
  if (const int relay = RelayOfLetter(text[0]); relay != 0) return relay;
  return text[0] >= '1' && text[0] < '1' + kRelayCount ? text[0] - '0' : 0;
}

// "RELAY A", "RELAY B" or "RELAY C".
inline std::string RelayLabel(int relay) {
  return std::string("RELAY ") + RelayLetter(relay);
}

}  // namespace kdt
