// parse_subject and lower_case on any text a Python str can carry.
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <array>

#include "common.hpp"
#include "school/subject.hpp"

namespace {

struct Expected {
  std::string_view keyword, display;
  school::Subject subject;
};

// The catalogue as the product defines it, kept apart from the library's own tables.
constexpr std::array<Expected, 21> catalogue = {{
    {"chemistry", "Chemistry", school::Subject::Chemistry}, {"physics", "Physics", school::Subject::Physics},
    {"maths", "Maths", school::Subject::Maths},             {"computer", "Computer", school::Subject::Computer},
    {"english", "English", school::Subject::English},       {"biology", "Biology", school::Subject::Biology},
    {"bio", "Biology", school::Subject::Biology},           {"p.e", "PhysicalEdu", school::Subject::PhysicalEdu},
    {"sanskrit", "Sanskrit", school::Subject::Sanskrit},    {"urdu", "Urdu", school::Subject::Urdu},
    {"geography", "Geo", school::Subject::Geo},             {"accountancy", "Acc", school::Subject::Acc},
    {"history", "History", school::Subject::History},       {"civics", "Civics", school::Subject::Civics},
    {"business", "Business", school::Subject::Business},    {"art", "Arts", school::Subject::Arts},
    {"games", "Games", school::Subject::Games},             {"economics", "Economics", school::Subject::Economics},
    {"hindi", "Hindi", school::Subject::Hindi},             {"bengali", "Bengali", school::Subject::Bengali},
    {"finfance", "Finance", school::Subject::Finance},
}};

// The root-locale full lower-case mapping through ICU's UTF-16 path, to compare with the
// library's UTF-8 path.
std::string icu_lower(const std::string& text) {
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(text);
  u.toLower(icu::Locale::getRoot());
  std::string out;
  return u.toUTF8String(out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text = fuzz::valid_utf8({reinterpret_cast<const char*>(data), size});
  const std::string lowered = school::lower_case(text);
  FUZZ_CHECK(fuzz::is_valid_utf8(lowered));
  FUZZ_CHECK(lowered == icu_lower(text));

  bool ascii = true;
  for (unsigned char c : text) ascii = ascii && c < 0x80;
  if (ascii) {
    FUZZ_CHECK(lowered.size() == text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
      char c = text[i];
      FUZZ_CHECK(lowered[i] == ((c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c));
    }
    FUZZ_CHECK(school::lower_case(lowered) == lowered);
  }

  const Expected* match = nullptr;
  for (const Expected& e : catalogue)
    if (e.keyword == lowered) match = &e;

  auto result = school::parse_subject(text);
  FUZZ_CHECK(result.ok() == (match != nullptr));
  if (match) {
    FUZZ_CHECK(result.value() == match->subject);
    FUZZ_CHECK(school::subject_name(result.value()) == match->display);
  } else {
    FUZZ_CHECK(result.failure().kind == school::Failure::Kind::wrong_subject);
    FUZZ_CHECK(result.failure().message == "Wrong subject " + lowered);
  }
  return 0;
}
