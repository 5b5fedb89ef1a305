// Building and assembling the substitution report.
#include "school/report.hpp"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "school/render.hpp"

namespace school {
namespace {

// Plain fields pass verbatim; a field with a separator, quote or line break is quoted with its
// quotes doubled, so the row still has six fields for any CSV reader.
bool csv_special(std::string_view field) noexcept {
  // Eight bytes at a time: a byte equal to c makes (x - 0x01..) & ~x & 0x80.. nonzero, with
  // x the word XOR c in every byte.
  constexpr std::uint64_t ones = 0x0101010101010101u, highs = 0x8080808080808080u;
  auto holds = [](std::uint64_t word, unsigned char c) {
    const std::uint64_t x = word ^ (ones * c);
    return (x - ones) & ~x & highs;
  };
  const char* p = field.data();
  std::size_t left = field.size();
  for (; left >= 8; p += 8, left -= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    if (holds(word, ',') | holds(word, '"') | holds(word, '\r') | holds(word, '\n')) return true;
  }
  for (; left > 0; ++p, --left)
    if (*p == ',' || *p == '"' || *p == '\r' || *p == '\n') return true;
  return false;
}

// Writes the field at `p` (room for twice its size and two quotes) and returns the end.
char* put_csv_field(char* p, std::string_view field) noexcept {
  if (!csv_special(field)) {
    if (!field.empty()) std::memcpy(p, field.data(), field.size());
    return p + field.size();
  }
  *p++ = '"';
  for (char c : field) {
    if (c == '"') *p++ = '"';
    *p++ = c;
  }
  *p++ = '"';
  return p;
}

}  // namespace

SubstitutionReport::SubstitutionReport() {
  table_.text = report_header;
}

void SubstitutionReport::add_row(std::string_view absent, std::int16_t period, std::string_view subject,
                                 std::string_view substitute, std::string_view class_name, std::string_view reason) {
  // The row is written in place in one pass, into room for its longest possible form.
  std::string& t = table_.text;
  const std::size_t room =
      2 * (absent.size() + subject.size() + substitute.size() + class_name.size() + reason.size()) + 5 * 2 + 6 +
      6;  // quotes, the period's digits and sign, commas, line feed
  const std::size_t at = t.size();
  t.resize(at + room);
  char* p = t.data() + at;
  p = put_csv_field(p, absent);
  *p++ = ',';
  p = std::to_chars(p, p + 6, period).ptr;
  *p++ = ',';
  p = put_csv_field(p, subject);
  *p++ = ',';
  p = put_csv_field(p, substitute);
  *p++ = ',';
  p = put_csv_field(p, class_name);
  *p++ = ',';
  p = put_csv_field(p, reason);
  *p++ = '\n';
  t.resize(static_cast<std::size_t>(p - t.data()));
}

void SubstitutionReport::add_unresolved(std::string_view absent, std::int16_t period, std::string_view class_name) {
  std::string& u = unresolved_.text;
  u += uncovered_lead;
  u += absent;
  u += " at ";
  append_decimal(u, period);
  u += '-';
  write_quoted(u, class_name);
  u += '\n';
}

void SubstitutionReport::add_timing(std::chrono::nanoseconds elapsed) {
  std::scoped_lock hold(timing_.lock);
  auto ns = static_cast<std::uint64_t>(elapsed.count() < 0 ? 0 : elapsed.count());
  timing_.text += timing_lead;
  write_duration(timing_.text, ns / 1'000'000'000u, static_cast<std::uint32_t>(ns % 1'000'000'000u));
}

std::string SubstitutionReport::finish() const {
  std::string out;
  {
    std::scoped_lock hold(table_.lock);
    out.reserve(table_.text.size() + unresolved_.text.size() + timing_.text.size() + 16);
    out += table_.text;
  }
  out += '\n';
  std::string timing;
  {
    std::scoped_lock hold(timing_.lock);
    timing = timing_.text;
  }
  std::scoped_lock hold(unresolved_.lock);
  write_quoted(out, unresolved_.text);
  out += '\n';
  write_quoted(out, timing);
  return out;
}

void write_duration(std::string& out, std::uint64_t seconds, std::uint32_t nanos) {
  std::uint64_t whole;
  std::uint32_t fraction, width;
  std::string_view unit;
  if (seconds > 0) {
    whole = seconds, fraction = nanos, width = 9, unit = "s";
  } else if (nanos >= 1'000'000) {
    whole = nanos / 1'000'000, fraction = nanos % 1'000'000, width = 6, unit = "ms";
  } else if (nanos >= 1'000) {
    whole = nanos / 1'000, fraction = nanos % 1'000, width = 3, unit = "\u00b5s";
  } else {
    whole = nanos, fraction = 0, width = 0, unit = "ns";
  }
  append_decimal(out, whole);
  if (fraction != 0) {
    char digits[9];
    for (std::uint32_t i = width; i-- > 0; fraction /= 10) digits[i] = static_cast<char>('0' + fraction % 10);
    std::uint32_t used = width;
    while (digits[used - 1] == '0') --used;
    out += '.';
    out.append(digits, used);
  }
  out += unit;
}

}  // namespace school
