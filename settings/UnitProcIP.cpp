#include "UnitProcIP.h"

#include <cstdio>
#include <vector>

#include "TextRules.h"

namespace kdt {
namespace {

constexpr char kSeparator = '.';
constexpr char kQuote = '"';
constexpr std::int32_t kBadPiece = 999;  // what a piece that is no number counts as

bool IsBlank(char c) {
  auto code = static_cast<unsigned char>(c);
  return code >= 1 && code <= 32;
}

bool IsPieceEnd(char c) {
  return static_cast<unsigned char>(c) <= 32 || c == kSeparator;
}

// A quoted piece: up to the closing quote, "" standing for one quote. A quote
// that never closes takes the rest of the text.
std::string TakeQuoted(std::string_view text, std::size_t& pos) {
  std::string piece;
  ++pos;
  while (pos < text.size()) {
    if (text[pos] == kQuote) {
      if (pos + 1 < text.size() && text[pos + 1] == kQuote) {
        piece += kQuote;
        pos += 2;
        continue;
      }
      ++pos;
      break;
    }
    piece += text[pos++];
  }
  return piece;
}

void SkipBlanks(std::string_view text, std::size_t& pos) {
  while (pos < text.size() && IsBlank(text[pos])) ++pos;
}

// Splits at dots. Blanks around a piece are skipped and a run of blanks
// separates like a dot; a piece in double quotes may hold dots and blanks; a
// dot at the very end adds an empty last piece.
std::vector<std::string> SplitPieces(std::string_view text) {
  std::vector<std::string> pieces;
  std::size_t pos = 0;
  SkipBlanks(text, pos);
  while (pos < text.size()) {
    if (text[pos] == kQuote) {
      pieces.push_back(TakeQuoted(text, pos));
    } else {
      std::size_t start = pos;
      while (pos < text.size() && !IsPieceEnd(text[pos])) ++pos;
      pieces.emplace_back(text.substr(start, pos - start));
    }
    SkipBlanks(text, pos);
    if (pos < text.size() && text[pos] == kSeparator) {
      if (pos + 1 == text.size()) pieces.emplace_back();  // a trailing dot
      ++pos;
      SkipBlanks(text, pos);
    }
  }
  return pieces;
}

}  // namespace

bool StrToIPBytes(std::string_view text, OctetArray& octets) {
  octets = {0, 0, 0, 0};
  // The text ends at a NUL character, as it always did for the console.
  text = text.substr(0, text.find('\0'));
  std::vector<std::string> pieces = SplitPieces(TrimBlanks(text));
  if (pieces.size() != octets.size()) return false;
  bool bad = false;
  for (std::size_t i = 0; i < octets.size(); ++i) {
    std::int32_t number = kBadPiece;
    if (!ParseWholeNumber(TrimBlanks(pieces[i]), number)) number = kBadPiece;
    bad = bad || number < 0 || number > 255;  // once bad, every later piece is bad
    octets[i] = bad ? 0 : static_cast<std::uint8_t>(number);
  }
  return !bad;
}

std::uint32_t StrToIP(std::string_view text) {
  OctetArray octets;
  StrToIPBytes(text, octets);
  return PackOctets(octets);
}

std::string IPToStrFmt(std::uint32_t value, const char* octetFormat) {
  std::string text;
  for (std::uint8_t octet : UnpackOctets(value)) {
    char formatted[32];
    std::snprintf(formatted, sizeof formatted, octetFormat, int(octet));
    if (!text.empty()) text += '.';
    text += formatted;
  }
  return text;
}

std::string IPToStr(std::uint32_t value) {
  return IPToStrFmt(value, "%d");
}

}  // namespace kdt
