// Building and assembling the substitution report.
#include "school/report.hpp"

#include <algorithm>
#include <array>
#include <mutex>

#include "school/render.hpp"

namespace school {
namespace {

constexpr std::string_view header = "Teacher,Period,Subject,Substitution,Classroom,Reason\n";

// Plain fields pass verbatim; a field with a separator, quote or line break is quoted with its
// quotes doubled, so the row still has six fields for any CSV reader.
constexpr auto csv_special = [] {
  std::array<bool, 256> special{};
  special[','] = special['"'] = special['\r'] = special['\n'] = true;
  return special;
}();

void append_csv_field(std::string& out, std::string_view field) {
  const bool plain = std::none_of(field.begin(), field.end(),
                                  [](char c) { return csv_special[static_cast<unsigned char>(c)]; });
  if (plain) {
    out += field;
    return;
  }
  out += '"';
  for (char c : field) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

}  // namespace

SubstitutionReport::SubstitutionReport() { table_.text = header; }

void SubstitutionReport::add_row(std::string_view absent, std::int16_t period, std::string_view subject,
                                 std::string_view substitute, std::string_view class_name,
                                 std::string_view reason) {
  std::string& t = table_.text;
  t.reserve(t.size() + absent.size() + subject.size() + substitute.size() + class_name.size() + reason.size() + 16);
  append_csv_field(t, absent);
  t += ',';
  append_decimal(t, period);
  t += ',';
  append_csv_field(t, subject);
  t += ',';
  append_csv_field(t, substitute);
  t += ',';
  append_csv_field(t, class_name);
  t += ',';
  append_csv_field(t, reason);
  t += '\n';
}

void SubstitutionReport::add_unresolved(std::string_view absent, std::int16_t period, std::string_view class_name) {
  std::string& u = unresolved_.text;
  u += "Couldnt find a substitution for ";
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
  timing_.text += "Time taken to generate subs: ";
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
