// The debug notation every rendering composes from: quoted text and a compact or expanded writer.
#pragma once

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "school/shared.hpp"

namespace school {

// Appends an integer in decimal: a minus sign when negative, no sign, blanks or leading
// zeros otherwise, as numbers are shown everywhere.
template <class Int>
void append_decimal(std::string& out, Int value) {
  char digits[24];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
  (void)ec;
  out.append(digits, end);
}

// Appends text in double quotes, escaping what would not show plainly (controls, format and
// separator characters, combining marks, unassigned code points).
void write_quoted(std::string& out, std::string_view text);

// Writes values in the compact form (one line) or the expanded form (one item per line,
// four blanks per level). Containers are opened, given entries, and closed; scalars are
// written where they stand.
class DebugWriter {
 public:
  enum class Form : bool { compact, expanded };
  DebugWriter(std::string& out, Form form) : out_(out), expanded_(form == Form::expanded) {}

  void begin_record(std::string_view name);
  void begin_list() { open("[", "]", "]"); }
  void begin_set() { open("{", "}", "}"); }
  void begin_map() { open("{", "}", "}"); }
  void begin_pair() { open("(", ")", ")"); }
  void end();

  // Starts the next item of a list, set or pair, or the key of a map entry.
  void item();
  // Starts a record field; its value follows.
  void field(std::string_view name);
  // Separates a map key from its value.
  void map_value() { out_ += ": "; }

  void text(std::string_view value) { write_quoted(out_, value); }
  void word(std::string_view value) { out_ += value; }
  void number(std::int64_t value) { append_decimal(out_, value); }

 private:
  struct Frame {
    std::string_view compact_close;
    std::string_view expanded_close;
    bool empty;
  };
  void open(std::string_view opener, std::string_view compact_close, std::string_view expanded_close);
  void indent(std::size_t levels);

  std::string& out_;
  bool expanded_;
  std::vector<Frame> frames_;
};

// Fixed texts of a shared record's rendering: callers compare str() output and stored dumps
// hold it, so they stay byte for byte as they are.
inline constexpr std::string_view shared_record_name = "Mutex";
inline constexpr std::string_view shared_record_field = "data";
inline constexpr std::string_view locked_placeholder = "<locked>";

// A shared record shows as "Mutex" around its contents, or "<locked>" when someone holds it;
// the lock is only tried, never waited for.
template <class T>
void render_shared(DebugWriter& w, const Handle<T>& record) {
  w.begin_record(shared_record_name);
  w.field(shared_record_field);
  if (auto guard = record.try_lock())
    render_debug(w, *guard);
  else
    w.word(locked_placeholder);
  w.end();
}

// A list of shared records, each shown as its "Mutex" rendering.
template <class T>
void render_shared_list(DebugWriter& w, const std::vector<Handle<T>>& records) {
  w.begin_list();
  for (const Handle<T>& record : records) {
    w.item();
    render_shared(w, record);
  }
  w.end();
}

}  // namespace school
