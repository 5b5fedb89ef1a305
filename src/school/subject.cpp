// Subject keywords and names; lower-casing through ICU so non-ASCII capitals map as Unicode says.
#include "school/subject.hpp"

#include <unicode/bytestream.h>
#include <unicode/casemap.h>

#include <array>
#include <new>

namespace school {
namespace {

constexpr std::array<std::string_view, subject_count> names = {
    "Chemistry", "Physics", "Maths", "Computer", "English", "Biology", "PhysicalEdu",
    "Sanskrit",  "Urdu",    "Geo",   "Acc",      "History", "Civics",  "Business",
    "Arts",      "Games",   "Economics", "Hindi", "Bengali", "Finance",
};

struct Keyword {
  std::string_view text;
  Subject subject;
};

// Compared with the lower-cased input; the spellings are the catalogue's own.
constexpr std::array<Keyword, 21> keywords = {{
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
}};

bool is_ascii(std::string_view text) noexcept {
  for (unsigned char c : text)
    if (c >= 0x80) return false;
  return true;
}

}  // namespace

std::string_view subject_name(Subject subject) noexcept { return names[static_cast<std::size_t>(subject)]; }

std::string lower_case(std::string_view text) {
  std::string out;
  if (is_ascii(text)) {
    out.resize(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
      char c = text[i];
      out[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return out;
  }
  UErrorCode status = U_ZERO_ERROR;
  icu::StringByteSink<std::string> sink(&out, static_cast<int32_t>(text.size()));
  // The root locale: no Turkish or Lithuanian tailoring, only the default mapping.
  icu::CaseMap::utf8ToLower("", 0, icu::StringPiece(text.data(), static_cast<int32_t>(text.size())), sink,
                            nullptr, status);
  if (status == U_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
  return out;
}

Result<Subject> parse_subject(std::string_view text) {
  std::string lowered = lower_case(text);
  for (const Keyword& k : keywords)
    if (k.text == lowered) return k.subject;
  return Failure{Failure::Kind::wrong_subject, "Wrong subject " + lowered, std::source_location::current()};
}

}  // namespace school
