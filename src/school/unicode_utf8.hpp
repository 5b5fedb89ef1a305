// Reading and writing UTF-8 one code point at a time.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace school::unicode {

struct Decoded {
  char32_t c;          // U+FFFD when the bytes are ill-formed
  std::size_t length;  // bytes taken, at least one
  bool valid;
};

// Decodes the code point at s[i] (i < s.size()). An ill-formed sequence takes its maximal
// subpart, as Unicode recommends and other decoders do, so every stray byte or cut-off
// sequence counts once and a well-formed character after it is never swallowed.
inline Decoded decode_utf8(std::string_view s, std::size_t i) noexcept {
  const auto lead = static_cast<unsigned char>(s[i]);
  if (lead < 0x80) return {lead, 1, true};
  std::size_t trail;
  char32_t c;
  unsigned char low = 0x80, high = 0xBF;  // the range of the next byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    trail = 1, c = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    trail = 2, c = lead & 0x0F;
    if (lead == 0xE0)
      low = 0xA0;  // no overlong forms
    else if (lead == 0xED)
      high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    trail = 3, c = lead & 0x07;
    if (lead == 0xF0)
      low = 0x90;  // no overlong forms
    else if (lead == 0xF4)
      high = 0x8F;  // nothing beyond U+10FFFF
  } else {
    return {0xFFFD, 1, false};
  }
  for (std::size_t k = 1; k <= trail; ++k) {
    if (k >= s.size() - i) return {0xFFFD, k, false};
    const auto b = static_cast<unsigned char>(s[i + k]);
    if (b < low || b > high) return {0xFFFD, k, false};
    low = 0x80, high = 0xBF;
    c = (c << 6) | (b & 0x3F);
  }
  return {c, trail + 1, true};
}

inline void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    const char bytes[] = {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
    out.append(bytes, 2);
  } else if (c < 0x10000) {
    const char bytes[] = {static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
                          static_cast<char>(0x80 | (c & 0x3F))};
    out.append(bytes, 3);
  } else {
    const char bytes[] = {static_cast<char>(0xF0 | (c >> 18)), static_cast<char>(0x80 | ((c >> 12) & 0x3F)),
                          static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
    out.append(bytes, 4);
  }
}

}  // namespace school::unicode
