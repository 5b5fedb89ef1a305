// The registry a substitution run reads: copies of teachers and classes, and teachers by name.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "school/class.hpp"
#include "school/failure.hpp"
#include "school/flat_index.hpp"
#include "school/hash.hpp"
#include "school/teacher.hpp"

namespace school {

// The present teachers of each subject that occurs in a teacher list, as positions in that
// list, in list order. Subjects are listed in order of first appearance. The registry's text
// shows one; a run builds its own while it reads the teachers, and orders each subject's
// teachers by load in layers of its own beside it, leaving these lists in list order.
class SubjectGrouping {
 public:
  struct Group {
    Subject subject;
    std::vector<std::uint32_t> present;
  };

  SubjectGrouping() noexcept { slot_.fill(-1); }
  explicit SubjectGrouping(const std::vector<TeacherHandle>& teachers);

  // Files the teacher at `position`; positions come in ascending order.
  void add(std::uint32_t position, Subject subject, bool present);

  // The slot of a subject's group in groups(), or -1 when no listed teacher has it.
  int slot(Subject subject) const noexcept { return slot_[static_cast<std::size_t>(subject)]; }
  const std::vector<Group>& groups() const noexcept { return groups_; }

 private:
  std::array<std::int8_t, subject_count> slot_;
  std::vector<Group> groups_;
};

class School {
 public:
  // Files a copy of the teacher under its name; a name already filed is silently kept.
  void add_teacher(const Teacher& teacher);
  // Keeps a copy of the class (sharing its teacher records), then re-sorts the teachers by load.
  void add_class(const Class& c);
  // Files the teacher under any name, replacing what was filed there; the teacher list is untouched.
  void add_to_hashmap(std::string_view name, Teacher teacher);
  // Records that the teacher filed under the name of `teacher` teaches `c` in `period`.
  Result<void> register_period(const Teacher& teacher, std::int16_t period, Class& c);
  // Covers every lesson of every absent teacher that can be covered; returns the report text.
  std::string generate_substitutions();

  std::string printed_text() const;

 private:
  static constexpr std::uint32_t unlisted = UINT32_MAX;
  // One name filed in the map, with its keyed hash kept so growing the index never rehashes text.
  // Only its low 32 bits are kept (and used by the index): they place and filter names as well
  // as 64 would, and an entry takes 24 bytes instead of 32.
  struct Filed {
    SharedText name;
    TeacherHandle record;
    std::uint32_t hash;
    std::uint32_t position;  // the record's place in teachers_, or unlisted
  };
  static std::uint32_t filed_hash(std::uint64_t hash) noexcept { return static_cast<std::uint32_t>(hash); }

  // The entry filed under `name` (a string_view or a SharedText, whose keyed hash is `hash`),
  // or null.
  template <class Name>
  Filed* find_filed(const Name& name, std::uint64_t hash) noexcept;

  // A stable sort of teachers_ by load that only reads the loads that may have changed. On an
  // allocation failure the list and its bookkeeping stay as they were.
  void sort_teachers_by_load();
  // The places noted since the last sort, ascending, with their loads as they are now.
  struct Moved {
    std::vector<std::uint32_t> places;
    std::vector<std::uint32_t> loads;
  };
  Moved read_moved() const;
  // Merges the moved places, taken in `order` (a stable order of their loads), into the
  // others; teachers_, loads_ and filed_ are replaced whole.
  void merge_moved(const Moved& moved, const std::vector<std::uint32_t>& order);
  // Points every listed map entry at its record's place after a sort.
  void refile_positions() noexcept;
  // Notes a place whose load changed; each place is noted once until the next sort, and
  // changed_ has room for every place, so this never allocates.
  void note_load_change(std::uint32_t position) noexcept;

  // The map from name to record: entries in filing order, indexed by name. Nothing is ever
  // removed, so an entry's place in filed_names_ is its lasting identity.
  std::vector<Filed> filed_names_;
  FlatIndex name_index_;  // places + 1 in filed_names_
  std::vector<TeacherHandle> teachers_;
  std::vector<ClassHandle> classes_;

  // Bookkeeping of the load sort, one entry per place in teachers_: the load as of the last
  // sort (or load_changed once the place is noted in changed_) and the map entry that records
  // the place (unlisted once add_to_hashmap replaced it). A teacher's load changes only through
  // this School (its records are its own), so the places in changed_ are the only ones whose
  // loads can differ from loads_.
  // A load is a pair count, which a PeriodSet keeps below 2^32 (its index holds 32-bit places).
  static constexpr std::uint32_t load_changed = UINT32_MAX;
  std::vector<std::uint32_t> loads_;
  std::vector<std::uint32_t> filed_;
  std::vector<std::uint32_t> changed_;
};

}  // namespace school
