// The closed catalogue of subjects a teacher can teach.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "school/failure.hpp"

namespace school {

enum class Subject : std::uint8_t {
  Chemistry,
  Physics,
  Maths,
  Computer,
  English,
  Biology,
  PhysicalEdu,
  Sanskrit,
  Urdu,
  Geo,
  Acc,
  History,
  Civics,
  Business,
  Arts,
  Games,
  Economics,
  Hindi,
  Bengali,
  Finance,
};
inline constexpr std::size_t subject_count = 20;
static_assert(static_cast<std::size_t>(Subject::Finance) + 1 == subject_count, "Finance is the last subject");

// The only text form of a subject.
std::string_view subject_name(Subject subject) noexcept;

// Text names a subject only through its keywords, matched after full Unicode lower-casing.
Result<Subject> parse_subject(std::string_view text);

// Appends the default full lower-case mapping of UTF-8 text (final sigma included). Bytes
// that are not UTF-8 are copied as they are.
void append_lower_case(std::string& out, std::string_view text);

}  // namespace school
