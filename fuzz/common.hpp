// Helpers shared by the harnesses: a check that stops the fuzzer, text as Python hands it over,
// and strict readers for the quoted-text and duration notations the library writes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

// A failed property is a finding: print it and abort so libFuzzer saves the input.
#define FUZZ_CHECK(cond)                                                               \
  do {                                                                                 \
    if (!(cond)) {                                                                     \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)

namespace fuzz {

inline void append_utf8(std::string& out, std::uint32_t c) {
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

// Decodes one scalar value at `i`, advancing it; nullopt for an ill-formed sequence (overlong,
// surrogate, beyond U+10FFFF, truncated), in which case `i` moves past the first byte only.
inline std::optional<std::uint32_t> next_scalar(std::string_view s, std::size_t& i) {
  auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char lead = b(i);
  std::size_t len = lead < 0x80             ? 1
                    : (lead & 0xE0) == 0xC0 ? 2
                    : (lead & 0xF0) == 0xE0 ? 3
                    : (lead & 0xF8) == 0xF0 ? 4
                                            : 0;
  if (len == 0 || i + len > s.size()) return ++i, std::nullopt;
  std::uint32_t c = len == 1 ? lead : len == 2 ? (lead & 0x1F) : len == 3 ? (lead & 0x0F) : (lead & 0x07);
  for (std::size_t k = 1; k < len; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return ++i, std::nullopt;
    c = (c << 6) | (b(i + k) & 0x3F);
  }
  static constexpr std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < least[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return ++i, std::nullopt;
  i += len;
  return c;
}

// Text as a Python str reaches the library: well-formed UTF-8 without surrogates. Ill-formed
// bytes become U+FFFD, as a decode with replacement would make them.
inline std::string valid_utf8(std::string_view bytes) {
  std::string out;
  for (std::size_t i = 0; i < bytes.size();) append_utf8(out, next_scalar(bytes, i).value_or(0xFFFD));
  return out;
}

inline bool is_valid_utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();)
    if (!next_scalar(s, i)) return false;
  return true;
}

// Reads one quoted text from the front of `in` and removes it; nullopt when it is not exactly
// what the writer may produce (unknown escape, raw control character, non-canonical \u{...}).
inline std::optional<std::string> unquote(std::string_view& in) {
  if (in.empty() || in[0] != '"') return std::nullopt;
  std::string out;
  std::size_t i = 1;
  while (i < in.size()) {
    char c = in[i];
    if (c == '"') {
      in.remove_prefix(i + 1);
      return out;
    }
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return std::nullopt;
    if (c != '\\') {
      out += c;
      ++i;
      continue;
    }
    if (++i == in.size()) return std::nullopt;
    switch (in[i++]) {
      case '\\': out += '\\'; break;
      case '"': out += '"'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case '0': out += '\0'; break;
      case 'u': {
        if (i == in.size() || in[i++] != '{') return std::nullopt;
        std::size_t close = in.find('}', i);
        if (close == std::string_view::npos || close == i || close - i > 6 || in[i] == '0') return std::nullopt;
        std::uint32_t v = 0;
        for (; i < close; ++i) {
          char h = in[i];
          if (h >= '0' && h <= '9')
            v = v * 16 + static_cast<std::uint32_t>(h - '0');
          else if (h >= 'a' && h <= 'f')
            v = v * 16 + static_cast<std::uint32_t>(h - 'a' + 10);
          else
            return std::nullopt;
        }
        if (v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return std::nullopt;
        append_utf8(out, v);
        ++i;
        break;
      }
      default: return std::nullopt;
    }
  }
  return std::nullopt;
}

struct Duration {
  std::uint64_t seconds;
  std::uint32_t nanos;
};

// Reads the whole of `text` as a duration ("2.5s", "1.0004ms", "12.34µs", "999ns") in its one
// canonical form: no leading zeros, no trailing zeros in the fraction, the largest fitting unit.
inline std::optional<Duration> parse_duration(std::string_view text) {
  std::size_t i = 0;
  auto digits = [&] {
    std::size_t start = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    return text.substr(start, i - start);
  };
  std::string_view whole = digits();
  if (whole.empty() || whole.size() > 20 || (whole.size() > 1 && whole[0] == '0')) return std::nullopt;
  std::string_view fraction;
  if (i < text.size() && text[i] == '.') {
    ++i;
    fraction = digits();
    if (fraction.empty() || fraction.back() == '0') return std::nullopt;
  }
  std::string_view unit = text.substr(i);
  unsigned width;
  if (unit == "s")
    width = 9;
  else if (unit == "ms")
    width = 6;
  else if (unit == "\u00b5s")
    width = 3;
  else if (unit == "ns")
    width = 0;
  else
    return std::nullopt;
  if (fraction.size() > width) return std::nullopt;

  unsigned __int128 w = 0;
  for (char c : whole) w = w * 10 + static_cast<unsigned>(c - '0');
  std::uint32_t f = 0;
  for (unsigned k = 0; k < width; ++k)
    f = f * 10 + (k < fraction.size() ? static_cast<unsigned>(fraction[k] - '0') : 0);

  if (width == 9) {
    if (w == 0 || w > UINT64_MAX) return std::nullopt;  // under a second takes a smaller unit
    return Duration{static_cast<std::uint64_t>(w), f};
  }
  // Below a second the integer part must fit its unit: 1..999 ms, 1..999 µs, 0..999 ns.
  if (w > 999 || (width != 0 && w == 0)) return std::nullopt;
  std::uint32_t scale = width == 6 ? 1'000'000 : width == 3 ? 1'000 : 1;
  return Duration{0, static_cast<std::uint32_t>(w) * scale + f};
}

}  // namespace fuzz
