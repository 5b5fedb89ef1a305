// The school registry: filing teachers and classes, period registration and the registry's text.
#include "school/growth.hpp"
#include "school/school.hpp"

#include <algorithm>
#include <numeric>

#include "school/render.hpp"

namespace school {

SubjectGrouping::SubjectGrouping(const std::vector<TeacherHandle>& teachers) {
  slot_.fill(-1);
  for (std::uint32_t i = 0; i < teachers.size(); ++i) {
    Subject subject;
    bool present;
    {
      auto t = teachers[i].lock();
      subject = t->sub;
      present = t->present;
    }
    std::int8_t& slot = slot_[static_cast<std::size_t>(subject)];
    if (slot < 0) {
      groups_.push_back(Group{subject, {}});
      slot = static_cast<std::int8_t>(groups_.size() - 1);
    }
    if (present) groups_[static_cast<std::size_t>(slot)].present.push_back(i);
  }
}

void School::add_teacher(const Teacher& teacher) {
  if (teacher_map_.find(std::string_view(teacher.name)) != teacher_map_.end()) return;
  TeacherHandle record = TeacherHandle::make(teacher);
  reserve_more(teachers_, 1);
  teacher_map_.emplace(teacher.name, record);
  teachers_.push_back(std::move(record));  // cannot fail after the reserve
}

void School::add_class(const Class& c) {
  // Everything that may allocate comes first, so a failure leaves the School as it was.
  ClassHandle record = ClassHandle::make(c);
  reserve_more(classes_, 1);

  // A stable sort by load. The loads are read once each, under the record's lock; nothing
  // can change them while the sort runs. Adding a class changes no load, so when the list is
  // already in order (the usual case while a school is being filled) nothing moves.
  std::vector<std::size_t> loads;
  loads.reserve(teachers_.size());
  for (const TeacherHandle& t : teachers_) loads.push_back(t.lock()->periods.size());
  std::vector<TeacherHandle> sorted;
  if (!std::is_sorted(loads.begin(), loads.end())) {
    std::vector<std::uint32_t> order(teachers_.size());
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return loads[a] < loads[b]; });
    sorted.reserve(order.size());
    for (std::uint32_t i : order) sorted.push_back(teachers_[i]);
  }

  classes_.push_back(std::move(record));
  if (!sorted.empty()) teachers_.swap(sorted);
}

void School::add_to_hashmap(std::string name, Teacher teacher) {
  TeacherHandle record = TeacherHandle::make(std::move(teacher));
  auto found = teacher_map_.find(std::string_view(name));
  if (found != teacher_map_.end())
    found->second = std::move(record);  // the old record lives on wherever else it is held
  else
    teacher_map_.emplace(std::move(name), std::move(record));
}

Status School::register_period(std::string_view teacher_name, std::int16_t period, Class& c) {
  auto found = teacher_map_.find(teacher_name);
  if (found == teacher_map_.end())
    return Failure::internal("Teacher not found in existing list. Please add to 'teacher_list.csv'");
  const TeacherHandle& record = found->second;

  // The lesson shows twice in the class, once on each side of the pair insertion.
  reserve_more(c.list_of_periods, 2);
  record.lock()->periods.insert(period, c.class_name);
  c.list_of_periods.push_back(PeriodEntry{record, period});
  c.list_of_periods.push_back(PeriodEntry{record, period});
  return std::nullopt;
}

std::string School::printed_text() const {
  SubjectGrouping grouping(teachers_);
  std::string out = "List of teachers: ";
  {
    DebugWriter w(out, DebugWriter::Form::expanded);
    render_shared_list(w, teachers_);
  }
  out += "\nList of classes:";
  {
    DebugWriter w(out, DebugWriter::Form::expanded);
    render_shared_list(w, classes_);
  }
  out += "\nTeacher_hashtable ";
  DebugWriter w(out, DebugWriter::Form::compact);
  w.begin_map();
  for (const SubjectGrouping::Group& g : grouping.groups()) {
    w.item();
    w.text(subject_name(g.subject));
    w.map_value();
    w.begin_list();
    for (std::uint32_t i : g.present) {
      w.item();
      render_shared(w, teachers_[i]);
    }
    w.end();
  }
  w.end();
  return out;
}

}  // namespace school
