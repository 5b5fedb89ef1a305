// A teacher: name, subject, presence, reason for absence, and the (period, grade) lessons given.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "school/flat_index.hpp"
#include "school/shared.hpp"
#include "school/subject.hpp"

namespace school {

class DebugWriter;

struct Lesson {
  std::int16_t period;
  std::string grade;
};

// A set of (period, grade) pairs listed in insertion order. A teacher's day holds a handful of
// pairs, which are simply scanned; past that the set indexes the pairs and the distinct
// periods, so "is this teacher busy at P" costs one probe however many pairs there are.
class PeriodSet {
 public:
  // Adds the pair unless an equal one (same period, same grade bytes) is already there.
  // On an allocation failure the set is unchanged.
  bool insert(std::int16_t period, std::string_view grade);
  bool busy_at(std::int16_t period) const noexcept;

  std::size_t size() const noexcept { return lessons_.size(); }
  auto begin() const noexcept { return lessons_.begin(); }
  auto end() const noexcept { return lessons_.end(); }

 private:
  static constexpr std::size_t scanned = 8;  // up to this many pairs, no index is kept
  bool indexed() const noexcept { return lessons_.size() > scanned; }
  void build_indexes();

  std::vector<Lesson> lessons_;
  FlatIndex pairs_;    // positions + 1 in lessons_
  FlatIndex periods_;  // distinct periods, stored as (period as unsigned 16-bit) + 1
};

inline constexpr std::string_view default_reason = "Planned Absense";

// Renderings list the fields as name, periods, sub, present, reason_of_absentee; the layout
// puts the two small fields first so that a substitution run, which reads `present` for
// every lesson, finds it on the same cache line as the record's lock.
struct Teacher {
  Teacher(std::string name_, Subject sub_, bool present_)
      : sub(sub_), present(present_), name(std::move(name_)), reason_of_absentee(default_reason) {}

  Subject sub;
  bool present;
  std::string name;
  PeriodSet periods;
  std::string reason_of_absentee;
};

using TeacherHandle = Handle<Teacher>;

// The text a Python user sees from str(teacher).
std::string printed_text(const Teacher& teacher);

void render_debug(DebugWriter& w, const Teacher& teacher);

}  // namespace school
