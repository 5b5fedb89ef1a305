// parse_subject and append_lower_case on any text a Python str can carry, with ICU as the
// oracle for the lower-case mapping (the library has its own tables and does not use ICU).
#include <unicode/bytestream.h>
#include <unicode/casemap.h>
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
    {"chemistry", "Chemistry", school::Subject::Chemistry},
    {"physics", "Physics", school::Subject::Physics},
    {"maths", "Maths", school::Subject::Maths},
    {"computer", "Computer", school::Subject::Computer},
    {"english", "English", school::Subject::English},
    {"biology", "Biology", school::Subject::Biology},
    {"bio", "Biology", school::Subject::Biology},
    {"p.e", "PhysicalEdu", school::Subject::PhysicalEdu},
    {"sanskrit", "Sanskrit", school::Subject::Sanskrit},
    {"urdu", "Urdu", school::Subject::Urdu},
    {"geography", "Geo", school::Subject::Geo},
    {"accountancy", "Acc", school::Subject::Acc},
    {"history", "History", school::Subject::History},
    {"civics", "Civics", school::Subject::Civics},
    {"business", "Business", school::Subject::Business},
    {"art", "Arts", school::Subject::Arts},
    {"games", "Games", school::Subject::Games},
    {"economics", "Economics", school::Subject::Economics},
    {"hindi", "Hindi", school::Subject::Hindi},
    {"bengali", "Bengali", school::Subject::Bengali},
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

// ICU's UTF-8 path, which copies ill-formed bytes as they are, as the library does.
std::string icu_lower_bytes(std::string_view bytes) {
  std::string out;
  icu::StringByteSink<std::string> sink(&out);
  UErrorCode status = U_ZERO_ERROR;
  icu::CaseMap::utf8ToLower("", 0, icu::StringPiece(bytes.data(), static_cast<int32_t>(bytes.size())), sink, nullptr,
                            status);
  FUZZ_CHECK(U_SUCCESS(status));
  return out;
}

std::string lower_case(std::string_view text) {
  std::string out = "x";  // the text is appended, never written over
  school::append_lower_case(out, text);
  FUZZ_CHECK(!out.empty() && out[0] == 'x');
  return out.substr(1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  FUZZ_CHECK(lower_case(bytes) == icu_lower_bytes(bytes));

  const std::string text = fuzz::valid_utf8(bytes);
  const std::string lowered = lower_case(text);
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
    FUZZ_CHECK(lower_case(lowered) == lowered);
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
