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
  // Everything that may allocate comes first, so a failure leaves the School as it was.
  TeacherHandle record = TeacherHandle::make(teacher);
  reserve_more(teachers_, 1);
  reserve_more(loads_, 1);
  reserve_more(filed_, 1);
  reserve_more(changed_, 1);
  const auto position = static_cast<std::uint32_t>(teachers_.size());
  auto filed = teacher_map_.emplace(teacher.name, Filed{record, position}).first;
  teachers_.push_back(std::move(record));
  loads_.push_back(0);
  filed_.push_back(&filed->second);
  note_load_change(position);  // a newcomer has not been placed by load yet
}

void School::add_class(const Class& c) {
  ClassHandle record = ClassHandle::make(c);
  reserve_more(classes_, 1);
  sort_teachers_by_load();
  classes_.push_back(std::move(record));
}

void School::sort_teachers_by_load() {
  if (changed_.empty()) return;
  std::vector<std::uint32_t> moved = changed_;
  std::sort(moved.begin(), moved.end());
  moved.erase(std::unique(moved.begin(), moved.end()), moved.end());

  // Only these loads can have changed; each is read under its record's lock.
  std::vector<std::size_t> moved_load(moved.size());
  for (std::size_t k = 0; k < moved.size(); ++k) moved_load[k] = teachers_[moved[k]].lock()->periods.size();
  std::vector<std::uint32_t> order(moved.size());
  std::iota(order.begin(), order.end(), 0u);
  std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return moved_load[a] < moved_load[b]; });

  // The others are still in order by (load, place). Merging the moved ones in by
  // (load, previous place) gives exactly what a stable sort of the whole list gives.
  const std::size_t n = teachers_.size();
  std::vector<TeacherHandle> teachers;
  std::vector<std::size_t> loads;
  std::vector<Filed*> filed;
  teachers.reserve(n);
  loads.reserve(n);
  filed.reserve(n);
  std::size_t next_moved = 0;  // walks `moved`, which is ascending, to skip those places
  std::size_t j = 0;           // walks `order`
  auto take = [&](std::uint32_t place, std::size_t load) {
    teachers.push_back(std::move(teachers_[place]));
    loads.push_back(load);
    filed.push_back(filed_[place]);
  };
  for (std::uint32_t i = 0; i < n; ++i) {
    if (next_moved < moved.size() && moved[next_moved] == i) {
      ++next_moved;
      continue;
    }
    while (j < order.size() && (moved_load[order[j]] < loads_[i] ||
                                (moved_load[order[j]] == loads_[i] && moved[order[j]] < i))) {
      take(moved[order[j]], moved_load[order[j]]);
      ++j;
    }
    take(i, loads_[i]);
  }
  for (; j < order.size(); ++j) take(moved[order[j]], moved_load[order[j]]);

  teachers_.swap(teachers);
  loads_.swap(loads);
  filed_.swap(filed);
  for (std::uint32_t place = 0; place < n; ++place)
    if (filed_[place] != nullptr) filed_[place]->position = place;
  changed_.clear();
}

void School::note_load_change(std::uint32_t position) noexcept {
  changed_.push_back(position);
  if (changed_.size() > 2 * teachers_.size() + 64) {
    std::sort(changed_.begin(), changed_.end());
    changed_.erase(std::unique(changed_.begin(), changed_.end()), changed_.end());
  }
}

void School::add_to_hashmap(std::string name, Teacher teacher) {
  TeacherHandle record = TeacherHandle::make(std::move(teacher));
  auto found = teacher_map_.find(std::string_view(name));
  if (found == teacher_map_.end()) {
    teacher_map_.emplace(std::move(name), Filed{std::move(record), unlisted});
    return;
  }
  // The old record lives on wherever else it is held, the teacher list included.
  if (found->second.position != unlisted) filed_[found->second.position] = nullptr;
  found->second = Filed{std::move(record), unlisted};
}

Result<void> School::register_period(std::string_view teacher_name, std::int16_t period, Class& c) {
  auto found = teacher_map_.find(teacher_name);
  if (found == teacher_map_.end())
    return Failure::fatal("Teacher not found in existing list. Please add to 'teacher_list.csv'");
  const Filed& filed = found->second;

  // The lesson shows twice in the class, once on each side of the pair insertion.
  reserve_more(c.list_of_periods, 2);
  reserve_more(changed_, 1);
  const bool added = filed.record.lock()->periods.insert(period, c.class_name);
  c.list_of_periods.push_back(PeriodEntry{filed.record, period});
  c.list_of_periods.push_back(PeriodEntry{filed.record, period});
  if (added && filed.position != unlisted) note_load_change(filed.position);
  return {};
}

std::string School::printed_text() const {
  SubjectGrouping grouping(teachers_);
  // A generous guess at the size, so a large registry is written without regrowing the text;
  // pages of the reservation that stay unused are never touched.
  std::size_t records = 2 * teachers_.size();
  for (const ClassHandle& c : classes_) records += 1 + c.lock()->list_of_periods.size();
  std::string out;
  out.reserve(std::min<std::size_t>(records * 1024, std::size_t{1} << 30));
  out += "List of teachers: ";
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
