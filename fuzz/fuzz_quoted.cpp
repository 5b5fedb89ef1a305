// write_quoted on any text a Python str can carry: one line between double quotes, nothing
// invisible left raw, nothing visible escaped, and reading it back gives the text. ICU is the
// oracle for the character properties (the library has its own tables and does not use ICU).
#include <unicode/uchar.h>

#include "common.hpp"
#include "school/render.hpp"

namespace {

// The characters that must not stand for themselves in quoted text.
bool must_escape(std::uint32_t c) {
  if (c == '\\' || c == '"') return true;
  if (c == ' ') return false;
  auto ch = static_cast<UChar32>(c);
  if (u_hasBinaryProperty(ch, UCHAR_GRAPHEME_EXTEND)) return true;
  const std::int8_t type = u_charType(ch);
  return type == U_CONTROL_CHAR || type == U_FORMAT_CHAR || type == U_SURROGATE || type == U_PRIVATE_USE_CHAR ||
         type == U_UNASSIGNED || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR || type == U_SPACE_SEPARATOR;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text = fuzz::valid_utf8({reinterpret_cast<const char*>(data), size});
  std::string out = "x";  // the text is appended, never written over
  school::write_quoted(out, text);
  FUZZ_CHECK(out.size() >= 3 && out[0] == 'x' && out[1] == '"' && out.back() == '"');
  FUZZ_CHECK(fuzz::is_valid_utf8(out));

  std::string_view quoted = std::string_view(out).substr(1);
  auto back = fuzz::unquote(quoted);
  FUZZ_CHECK(back.has_value() && quoted.empty());
  FUZZ_CHECK(*back == text);

  // Walk the inside: every raw character is one that may stand for itself, and every
  // \u{...} escape stands for one that may not.
  std::string_view inside = std::string_view(out).substr(2, out.size() - 3);
  for (std::size_t i = 0; i < inside.size();) {
    if (inside[i] == '\\') {
      char kind = inside[i + 1];
      if (kind == 'u') {
        std::size_t close = inside.find('}', i);
        std::uint32_t v =
            static_cast<std::uint32_t>(std::stoul(std::string(inside.substr(i + 3, close - i - 3)), nullptr, 16));
        FUZZ_CHECK(must_escape(v) && v != '\n' && v != '\r' && v != '\t' && v != 0);
        i = close + 1;
      } else {
        i += 2;
      }
      continue;
    }
    std::uint32_t c = *fuzz::next_scalar(inside, i);
    FUZZ_CHECK(!must_escape(c));
  }
  return 0;
}
