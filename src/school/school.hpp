// The registry a substitution run reads: copies of teachers and classes, and teachers by name.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "school/class.hpp"
#include "school/failure.hpp"
#include "school/hash.hpp"
#include "school/teacher.hpp"

namespace school {

// The present teachers of each subject that occurs in a teacher list, as positions in that
// list, in list order. Subjects are listed in order of first appearance.
class SubjectGrouping {
 public:
  struct Group {
    Subject subject;
    std::vector<std::uint32_t> present;
  };

  explicit SubjectGrouping(const std::vector<TeacherHandle>& teachers);

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
  void add_to_hashmap(std::string name, Teacher teacher);
  // Records that the teacher filed under `teacher_name` teaches `c` in `period`.
  Result<void> register_period(std::string_view teacher_name, std::int16_t period, Class& c);
  // Covers every lesson of every absent teacher that can be covered; returns the report text.
  std::string generate_substitutions();

  std::string printed_text() const;

 private:
  static constexpr std::uint32_t unlisted = UINT32_MAX;
  struct Filed {
    TeacherHandle record;
    std::uint32_t position;  // the record's place in teachers_, or unlisted
  };

  // A stable sort of teachers_ by load that only reads the loads that may have changed.
  void sort_teachers_by_load();
  // Notes a place whose load changed; the caller has made room in changed_. Repeated notes
  // are folded now and then, so the list stays bounded however long no class is added.
  void note_load_change(std::uint32_t position) noexcept;

  std::unordered_map<std::string, Filed, NameHash, std::equal_to<>> teacher_map_;
  std::vector<TeacherHandle> teachers_;
  std::vector<ClassHandle> classes_;

  // Bookkeeping of the load sort, one entry per place in teachers_: the load as of the last
  // sort and the map entry that records the place (null once add_to_hashmap replaced it).
  // A teacher's load changes only through this School (its records are its own), so the
  // places noted in changed_ are the only ones whose loads can differ from loads_.
  std::vector<std::size_t> loads_;
  std::vector<Filed*> filed_;
  std::vector<std::uint32_t> changed_;
};

}  // namespace school
