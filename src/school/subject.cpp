// Subject keywords and names; lower-casing by the module's own Unicode tables so non-ASCII
// capitals map as Unicode says, the same on every machine.
#include "school/subject.hpp"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "school/unicode_data.hpp"
#include "school/unicode_utf8.hpp"

namespace school {
namespace {

// The display names and the keywords below are fixed texts, byte for byte, misspelling
// "finfance" included: callers pass the keywords and stored reports carry the names.
// Sized by their lists, so a name or keyword left out cannot leave an empty one behind; the
// checks below tie both to the enum.
constexpr auto names = std::to_array<std::string_view>({
    "Chemistry", "Physics", "Maths",  "Computer", "English", "Biology", "PhysicalEdu", "Sanskrit", "Urdu",    "Geo",
    "Acc",       "History", "Civics", "Business", "Arts",    "Games",   "Economics",   "Hindi",    "Bengali", "Finance",
});
static_assert(names.size() == subject_count, "one display name for each subject, in the enum's order");

struct Keyword {
  std::string_view text;
  Subject subject;
};

// Compared with the lower-cased input; the spellings are the catalogue's own.
constexpr auto keywords = std::to_array<Keyword>({
    {"chemistry", Subject::Chemistry}, {"physics", Subject::Physics},
    {"maths", Subject::Maths},         {"computer", Subject::Computer},
    {"english", Subject::English},     {"biology", Subject::Biology},
    {"bio", Subject::Biology},         {"p.e", Subject::PhysicalEdu},
    {"sanskrit", Subject::Sanskrit},   {"urdu", Subject::Urdu},
    {"geography", Subject::Geo},       {"accountancy", Subject::Acc},
    {"history", Subject::History},     {"civics", Subject::Civics},
    {"business", Subject::Business},   {"art", Subject::Arts},
    {"games", Subject::Games},         {"economics", Subject::Economics},
    {"hindi", Subject::Hindi},         {"bengali", Subject::Bengali},
    {"finfance", Subject::Finance},
});

// A keyword's bytes in two words, zero-padded: what the common case compares.
struct PackedKeyword {
  std::uint64_t low = 0, high = 0;
  friend bool operator==(const PackedKeyword&, const PackedKeyword&) = default;
};

constexpr std::array<PackedKeyword, keywords.size()> packed_keywords = [] {
  std::array<PackedKeyword, keywords.size()> packed{};
  for (std::size_t i = 0; i < keywords.size(); ++i)
    for (std::size_t b = 0; b < keywords[i].text.size(); ++b) {
      std::uint64_t& word = b < 8 ? packed[i].low : packed[i].high;
      word |= std::uint64_t{static_cast<unsigned char>(keywords[i].text[b])} << (8 * (b % 8));
    }
  return packed;
}();
static_assert(std::endian::native == std::endian::little, "packed_keywords is laid out for little-endian words");

// Every subject has a keyword, and every keyword is text (an empty one would match the empty
// text) that fits the two words it is packed in.
static_assert(
    [] {
      std::array<bool, subject_count> has_keyword{};
      for (const Keyword& k : keywords) {
        if (k.text.empty() || k.text.size() > sizeof(PackedKeyword)) return false;
        has_keyword[static_cast<std::size_t>(k.subject)] = true;
      }
      for (bool has : has_keyword)
        if (!has) return false;
      return true;
    }(),
    "each subject needs a keyword, and each keyword 1 to 16 bytes");

constexpr char32_t capital_sigma = 0x3A3;
constexpr char32_t small_sigma = 0x3C3;
constexpr char32_t final_sigma = 0x3C2;

constexpr std::uint64_t high_bits = 0x8080808080808080u;

// The end of the run of ASCII bytes that starts at i, found a word at a time.
std::size_t ascii_run_end(std::string_view text, std::size_t i) noexcept {
  for (std::uint64_t word; text.size() - i >= sizeof word; i += sizeof word) {
    std::memcpy(&word, text.data() + i, sizeof word);
    if (word & high_bits) break;
  }
  while (i < text.size() && static_cast<unsigned char>(text[i]) < 0x80) ++i;
  return i;
}

// Lower-cases ASCII letters in place, the common case; branch-free so it vectorises.
void lower_ascii(char* s, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    s[i] = static_cast<char>(c + (static_cast<unsigned char>(c - 'A') < 26 ? 'a' - 'A' : 0));
  }
}

// Lower-cases the ASCII letters of eight ASCII bytes at once: a byte's top bit, set by the
// additions when it is at least 'A' and not past 'Z', becomes its 0x20 bit. No addition
// carries into the next byte, since every byte is below 0x80.
constexpr std::uint64_t lower_ascii_word(std::uint64_t word) noexcept {
  constexpr std::uint64_t ones = 0x0101010101010101u;
  const std::uint64_t from_a = word + (0x80 - 'A') * ones;
  const std::uint64_t past_z = word + (0x80 - 'Z' - 1) * ones;
  return word | ((from_a & ~past_z & high_bits) >> 2);
}
static_assert(lower_ascii_word(0x005A4140005B7A61u) == 0x007A6140005B7A61u);

// Whether the text is Cased at its start once case-ignorable characters are skipped: the
// test for what follows a capital sigma. A byte that is not UTF-8 ends the word.
bool starts_cased(std::string_view text) noexcept {
  for (std::size_t i = 0; i < text.size();) {
    const unicode::Decoded d = unicode::decode_utf8(text, i);
    if (!d.valid) return false;
    const std::uint8_t flags = unicode::info(d.c).flags;
    if (!(flags & unicode::case_ignorable)) return flags & unicode::cased;
    i += d.length;
  }
  return false;
}

// The same test backwards over an ASCII run: whether its last character that is not
// case-ignorable is Cased, or `before` when the whole run is case-ignorable.
bool ends_cased(std::string_view run, bool before) noexcept {
  for (std::size_t i = run.size(); i-- > 0;) {
    const std::uint8_t flags = unicode::info(static_cast<unsigned char>(run[i])).flags;
    if (!(flags & unicode::case_ignorable)) return flags & unicode::cased;
  }
  return before;
}

}  // namespace

std::string_view subject_name(Subject subject) noexcept {
  return names[static_cast<std::size_t>(subject)];
}

void append_lower_case(std::string& out, std::string_view text) {
  out.reserve(out.size() + text.size());
  // Whether the last character that is not case-ignorable was Cased: the test for what
  // precedes a capital sigma, kept as the text is walked. A character that is both (a
  // modifier letter such as U+02B0) is skipped as case-ignorable, as ICU and Python do.
  bool after_cased = false;
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t run = ascii_run_end(text, i);
    if (run > i) {
      const std::size_t at = out.size();
      out.append(text, i, run - i);
      lower_ascii(out.data() + at, run - i);
      after_cased = ends_cased(text.substr(i, run - i), after_cased);
      i = run;
      if (i == text.size()) break;
    }
    const unicode::Decoded d = unicode::decode_utf8(text, i);
    if (!d.valid) {
      // Not UTF-8 (a Python str never gives such text): kept as it is, and it ends the word.
      out.append(text, i, d.length);
      after_cased = false;
      i += d.length;
      continue;
    }
    i += d.length;
    const unicode::CharInfo& info = unicode::info(d.c);
    if (d.c == capital_sigma) {
      // Final at the end of a word: after a Cased letter and not before one, skipping
      // case-ignorable characters both ways.
      unicode::append_utf8(out, after_cased && !starts_cased(text.substr(i)) ? final_sigma : small_sigma);
    } else if (info.flags & unicode::lower_is_sequence) {
      for (char32_t c : unicode::lower_sequence(info.lower)) unicode::append_utf8(out, c);
    } else {
      unicode::append_utf8(out, static_cast<char32_t>(static_cast<std::int32_t>(d.c) + info.lower));
    }
    if (!(info.flags & unicode::case_ignorable)) after_cased = info.flags & unicode::cased;
  }
}

Result<Subject> parse_subject(std::string_view text) {
  // The usual text is a short ASCII keyword: lowered into two words on the stack, it is
  // matched without an allocation (the sizes are compared too, as the padding is zeros, which
  // the text may hold). Only ASCII is lowered this way, since other characters
  // can lower to ASCII letters.
  if (text.size() <= sizeof(PackedKeyword)) {
    PackedKeyword word{};
    std::memcpy(&word, text.data(), text.size());
    if (((word.low | word.high) & high_bits) == 0) {
      word = {lower_ascii_word(word.low), lower_ascii_word(word.high)};
      for (std::size_t i = 0; i < keywords.size(); ++i)
        if (packed_keywords[i] == word && keywords[i].text.size() == text.size()) return keywords[i].subject;
    }
  }
  // Lowered straight into the failure's message, so a long text is not held twice more.
  std::string message = "Wrong subject ";
  const std::size_t prefix = message.size();
  append_lower_case(message, text);
  const std::string_view lowered = std::string_view(message).substr(prefix);
  for (const Keyword& k : keywords)
    if (k.text == lowered) return k.subject;
  return Failure{Failure::Kind::wrong_subject, std::move(message), std::source_location::current()};
}

}  // namespace school
