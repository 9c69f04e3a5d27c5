#include "CodePage.h"

#include <array>
#include <cstdio>

namespace kdt {
namespace {

constexpr int kFirstHighByte = 0x80;

// Unicode code points of bytes 0x80 to 0xFF.
constexpr std::array<char16_t, 128> kHighBytes = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039,
    0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0, 0x040E, 0x045E, 0x0408,
    0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB,
    0x0458, 0x0405, 0x0455, 0x0457, 0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F, 0x0420, 0x0421, 0x0422, 0x0423,
    0x0424, 0x0425, 0x0426, 0x0427, 0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437, 0x0438, 0x0439, 0x043A, 0x043B,
    0x043C, 0x043D, 0x043E, 0x043F, 0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
};

void AppendUtf8(char32_t c, std::string& out) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The next character of UTF-8 text; U+FFFD for a sequence that is not one.
char32_t NextUtf8(std::string_view text, std::size_t& pos) {
  const auto lead = static_cast<unsigned char>(text[pos++]);
  if (lead < 0x80) return lead;
  int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : -1;
  if (extra < 0 || lead > 0xF4) return kNotUtf8;
  char32_t c = lead & (0x3F >> extra);
  for (; extra > 0; --extra) {
    if (pos >= text.size() || (static_cast<unsigned char>(text[pos]) & 0xC0) != 0x80) {
      return kNotUtf8;
    }
    c = c << 6 | (static_cast<unsigned char>(text[pos++]) & 0x3F);
  }
  return c;
}

}  // namespace

bool Utf8Characters(std::string_view utf8, std::u32string& characters) {
  characters.clear();
  for (std::size_t pos = 0; pos < utf8.size();) {
    const char32_t c = NextUtf8(utf8, pos);
    if (c == kNotUtf8) return false;
    characters += c;
  }
  return true;
}

bool IsControlCharacter(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c < 0xA0);
}

char32_t CodePageCharacter(std::uint8_t byte) {
  return byte < kFirstHighByte ? char32_t(byte) : char32_t(kHighBytes[byte - kFirstHighByte]);
}

bool CodePageByte(char32_t character, std::uint8_t& byte) {
  if (character < kFirstHighByte) {
    byte = static_cast<std::uint8_t>(character);
    return character != 0;
  }
  for (std::size_t i = 0; i < kHighBytes.size(); ++i) {
    if (kHighBytes[i] == character) {
      byte = static_cast<std::uint8_t>(kFirstHighByte + i);
      return true;
    }
  }
  return false;
}

std::string DecodeToUtf8(std::string_view bytes) {
  std::string text;
  for (char byte : bytes) AppendUtf8(CodePageCharacter(static_cast<std::uint8_t>(byte)), text);
  return text;
}

bool EncodeFromUtf8(std::string_view utf8, std::string& bytes, char32_t& offending) {
  bytes.clear();
  for (std::size_t pos = 0; pos < utf8.size();) {
    const char32_t c = NextUtf8(utf8, pos);
    std::uint8_t byte = 0;
    if (!CodePageByte(c, byte)) {
      offending = c;
      bytes.clear();
      return false;
    }
    bytes += static_cast<char>(byte);
  }
  return true;
}

std::string HexText(std::string_view bytes, std::string_view separator) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto value = static_cast<std::uint8_t>(bytes[i]);
    if (i != 0) text += separator;
    text += kDigits[value >> 4];
    text += kDigits[value & 0x0F];
  }
  return text;
}

std::string PrintableText(std::string_view bytes, Backslash backslash) {
  std::string text;
  for (char byte : bytes) {
    const char32_t c = CodePageCharacter(static_cast<std::uint8_t>(byte));
    if (IsControlCharacter(c)) {
      text += "\\x" + HexText(std::string_view(&byte, 1));
    } else if (c == '\\' && backslash == Backslash::kEscaped) {
      text += "\\\\";
    } else {
      AppendUtf8(c, text);
    }
  }
  return text;
}

std::string CharacterName(char32_t character) {
  char code[16];
  std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(character));
  if (IsControlCharacter(character)) return code;
  std::string name = "\"";
  AppendUtf8(character, name);
  return name + "\" (" + code + ")";
}

}  // namespace kdt
