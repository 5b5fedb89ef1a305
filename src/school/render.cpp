// Quoted text and the compact/expanded debug writer.
#include "school/render.hpp"

#include <charconv>

#include "school/unicode_data.hpp"
#include "school/unicode_utf8.hpp"

namespace school {
namespace {

// Combining marks, controls, format and separator characters, private-use and unassigned
// code points: all but the plain space.
bool needs_unicode_escape(char32_t c) noexcept {
  if (c == 0x20) return false;
  return unicode::info(c).flags & (unicode::grapheme_extend | unicode::escaped_category);
}

void write_unicode_escape(std::string& out, std::uint32_t c) {
  char digits[8];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, c, 16);
  (void)ec;
  out += "\\u{";
  out.append(digits, end);
  out += '}';
}

}  // namespace

void write_quoted(std::string& out, std::string_view text) {
  out.reserve(out.size() + text.size() + 2);
  out += '"';
  const char* s = text.data();
  const auto n = static_cast<std::int64_t>(text.size());
  std::int64_t i = 0;
  while (i < n) {
    // Printable ASCII other than the quote and the backslash, the common case, goes in runs.
    std::int64_t run = i;
    while (run < n) {
      auto b = static_cast<unsigned char>(s[run]);
      if (b < 0x20 || b >= 0x7f || b == '"' || b == '\\') break;
      ++run;
    }
    if (run > i) {
      out.append(s + i, static_cast<std::size_t>(run - i));
      i = run;
      if (i == n) break;
    }
    auto byte = static_cast<unsigned char>(s[i]);
    if (byte == '"' || byte == '\\') {
      out += '\\';
      out += static_cast<char>(byte);
      ++i;
      continue;
    }
    const unicode::Decoded d = unicode::decode_utf8(text, static_cast<std::size_t>(i));
    const std::int64_t start = i;
    i += static_cast<std::int64_t>(d.length);
    const char32_t c = d.c;
    switch (c) {
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += "\\t"; continue;
      case 0: out += "\\0"; continue;
      default: break;
    }
    if (!d.valid) {
      // Text reaching here is valid UTF-8; show a stray byte rather than lose it.
      write_unicode_escape(out, 0xFFFD);
    } else if (needs_unicode_escape(c)) {
      write_unicode_escape(out, static_cast<std::uint32_t>(c));
    } else {
      out.append(s + start, static_cast<std::size_t>(i - start));
    }
  }
  out += '"';
}

void DebugWriter::begin_record(std::string_view name) {
  out_ += name;
  if (expanded_)
    open(" {", "}", "}");
  else
    open(" { ", " }", "}");
}

void DebugWriter::open(std::string_view opener, std::string_view compact_close, std::string_view expanded_close) {
  out_ += opener;
  frames_.push_back(Frame{compact_close, expanded_close, true});
}

void DebugWriter::indent(std::size_t levels) {
  out_.append(levels * 4, ' ');
}

void DebugWriter::item() {
  Frame& f = frames_.back();
  if (expanded_) {
    out_ += f.empty ? "\n" : ",\n";
    indent(frames_.size());
  } else if (!f.empty) {
    out_ += ", ";
  }
  f.empty = false;
}

void DebugWriter::field(std::string_view name) {
  item();
  out_ += name;
  out_ += ": ";
}

void DebugWriter::end() {
  Frame f = frames_.back();
  frames_.pop_back();
  if (expanded_ && !f.empty) {
    out_ += ",\n";
    indent(frames_.size());
    out_ += f.expanded_close;
  } else {
    out_ += f.compact_close;
  }
}

}  // namespace school
