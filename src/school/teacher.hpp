// A teacher: name, subject, presence, reason for absence, and the (period, grade) lessons given.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "school/flat_index.hpp"
#include "school/hash.hpp"
#include "school/shared.hpp"
#include "school/shared_text.hpp"
#include "school/subject.hpp"

namespace school {

class DebugWriter;

struct Lesson {
  std::int16_t period;
  SharedText grade;
};

// A set of (period, grade) pairs listed in insertion order. A teacher's day holds a handful of
// pairs, which are simply scanned; past that the set indexes the pairs, so adding one stays
// cheap however many there are. The periods of a school day (0 to 63) are also kept as bits,
// so a run can tell whether a teacher is busy at such a period without reading the pairs.
class PeriodSet {
 public:
  PeriodSet() noexcept = default;
  PeriodSet(const PeriodSet& other);
  PeriodSet(PeriodSet&&) noexcept = default;
  PeriodSet& operator=(PeriodSet other) noexcept {
    swap(other);
    return *this;
  }

  // Adds the pair unless an equal one (same period, same grade bytes) is already there.
  // On an allocation failure the set is unchanged.
  bool insert(std::int16_t period, std::string_view grade);
  // The same, sharing the text when the pair is added.
  bool insert(std::int16_t period, const SharedText& grade);

  std::size_t size() const noexcept { return lessons_.size(); }
  auto begin() const noexcept { return lessons_.begin(); }
  auto end() const noexcept { return lessons_.end(); }

  static constexpr bool in_day(std::int16_t period) noexcept { return period >= 0 && period < 64; }
  // Bit P is set when some pair has period P, for the periods in_day().
  std::uint64_t day_periods() const noexcept { return day_periods_; }
  // Whether some pair has a period outside the day's 64, which only a scan of the pairs finds.
  bool has_other_periods() const noexcept { return has_other_periods_; }

 private:
  static constexpr std::size_t scanned = 8;         // up to this many pairs, no index is kept
  static constexpr std::size_t first_capacity = 8;  // a teacher's day, with room for a substitution
  void swap(PeriodSet& other) noexcept;
  template <class Grade>
  bool add(std::int16_t period, std::string_view grade, Grade&& text);
  void build_index(FlatIndex& index) const;

  std::vector<Lesson> lessons_;
  std::unique_ptr<FlatIndex> pairs_;  // positions + 1 in lessons_, once there are more than `scanned`
  std::uint64_t day_periods_ = 0;
  bool has_other_periods_ = false;
};

// Fixed text: callers compare it and stored reports hold it, so it stays byte for byte as it
// is, misspelling included.
inline constexpr std::string_view default_reason = "Planned Absense";
// That text as one SharedText, which every teacher that keeps the default shares.
const SharedText& default_reason_text();

// Renderings list the fields as name, periods, sub, present, reason_of_absentee. The layout
// puts the two small fields in the pair set's tail padding, so they cost no space of their own
// (a record then fits a 96-byte block instead of 112) and lie within the record's first 64
// bytes, near its lock, where a run's one read of each record finds them.
struct Teacher {
  Teacher(std::string_view name_, Subject sub_, bool present_)
      : sub(sub_), present(present_), name(name_), reason_of_absentee(default_reason_text()) {}

  [[no_unique_address]] PeriodSet periods;
  Subject sub;
  bool present;
  SharedText name;                // never changes, so the School's copies and its name map share it
  SharedText reason_of_absentee;  // replaced whole, never edited, so copies share it

  // The keyed hash of the name, worked out on first use and kept, since the name never
  // changes: registering a teacher's lessons then looks it up without hashing it again.
  std::uint64_t name_hash() const noexcept {
    if (name_hash_ == 0) name_hash_ = keyed_hash(name);
    return name_hash_;
  }

 private:
  mutable std::uint64_t name_hash_ = 0;  // 0 until worked out (or if the hash is 0)
};

using TeacherHandle = Handle<Teacher>;

// The text a Python user sees from str(teacher).
std::string printed_text(const Teacher& teacher);

void render_debug(DebugWriter& w, const Teacher& teacher);

}  // namespace school
