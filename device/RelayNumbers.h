// How the unit's relays and inputs are numbered and shown. Relays are 1 to 3
// on the wire, in the session and in the settings; relay 1 is shown as
// RELAY C and relay 3 as RELAY A, so that read from left to right the window
// shows RELAY A, B, C. No dependencies, so that every layer can use it.
#pragma once

#include <string>

namespace kdt {

constexpr int kRelayCount = 3;

// The inputs a relay switches between.
constexpr int kInput1 = 1;
constexpr int kInput2 = 2;

// The letter of relay r (1 to 3): the character with code 68 - r.
constexpr char RelayLetter(int relay) {
  return static_cast<char>('D' - relay);
}

// The relay of a letter, either case; 0 for anything else.
constexpr int RelayOfLetter(char letter) {
  const char upper =
      letter >= 'a' && letter <= 'z' ? static_cast<char>(letter - 'a' + 'A') : letter;
  const int relay = 'D' - upper;
  return relay >= 1 && relay <= kRelayCount ? relay : 0;
}

// "RELAY A", "RELAY B" or "RELAY C".
inline std::string RelayLabel(int relay) {
  return std::string("RELAY ") + RelayLetter(relay);
}

}  // namespace kdt
