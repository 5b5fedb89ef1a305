// The school registry: filing teachers and classes, period registration and the registry's text.
#include "school/school.hpp"
#include "school/growth.hpp"

#include <algorithm>
#include <numeric>

#include "school/render.hpp"

namespace school {
namespace {

// A class has a lesson in most periods of a day, so its lesson list starts with room for this
// many, a full day.
constexpr std::size_t lessons_in_a_day = 16;

// The load sort counts when the loads it orders are small numbers: at most twice their count
// and this much more, so its table stays as small as the list it orders. Past that it merges.
constexpr std::size_t counting_sort_slack = 64;

// The registry's text is reserved up front at this many bytes a record (a generous guess), so
// a large registry is written without regrowing the text, but never more than the cap.
constexpr std::size_t text_bytes_per_record = 1024;
constexpr std::size_t text_reservation_cap = std::size_t{1} << 30;

// A stable order of `loads`: the indices, ascending by load, equal loads in index order.
std::vector<std::uint32_t> stable_order_by_load(const std::vector<std::uint32_t>& loads) {
  std::vector<std::uint32_t> order(loads.size());
  const std::size_t most = loads.empty() ? 0 : *std::max_element(loads.begin(), loads.end());
  if (most <= 2 * loads.size() + counting_sort_slack) {
    std::vector<std::uint32_t> first(most + 2, 0);
    for (std::uint32_t load : loads) ++first[load + 1];
    for (std::size_t load = 1; load < first.size(); ++load) first[load] += first[load - 1];
    for (std::uint32_t k = 0; k < loads.size(); ++k) order[first[loads[k]]++] = k;
  } else {
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return loads[a] < loads[b]; });
  }
  return order;
}

}  // namespace

SubjectGrouping::SubjectGrouping(const std::vector<TeacherHandle>& teachers) : SubjectGrouping() {
  for (std::uint32_t i = 0; i < teachers.size(); ++i) {
    auto t = teachers[i].lock();
    add(i, t->sub, t->present);
  }
}

void SubjectGrouping::add(std::uint32_t position, Subject subject, bool present) {
  std::int8_t& slot = slot_[static_cast<std::size_t>(subject)];
  if (slot < 0) {
    groups_.push_back(Group{subject, {}});
    slot = static_cast<std::int8_t>(groups_.size() - 1);
  }
  if (present) groups_[static_cast<std::size_t>(slot)].present.push_back(position);
}

template <class Name>
School::Filed* School::find_filed(const Name& name, std::uint64_t full_hash) noexcept {
  const std::uint32_t hash = filed_hash(full_hash);
  const std::uint32_t found = name_index_.find(hash, [&](std::uint32_t v) {
    const Filed& f = filed_names_[v - 1];
    return f.hash == hash && f.name == name;
  });
  return found == 0 ? nullptr : &filed_names_[found - 1];
}

void School::add_teacher(const Teacher& teacher) {
  const std::uint64_t full_hash = teacher.name_hash();
  if (find_filed(teacher.name, full_hash) != nullptr) return;
  const std::uint32_t hash = filed_hash(full_hash);
  // Everything that may allocate comes first, so a failure leaves the School as it was.
  TeacherHandle record = TeacherHandle::make(teacher);
  reserve_more(filed_names_, 1);
  name_index_.reserve_one([this](std::uint32_t v) { return filed_names_[v - 1].hash; });
  reserve_more(teachers_, 1);
  reserve_more(loads_, 1);
  reserve_more(filed_, 1);
  // changed_ holds each place at most once, so room for every place means it never grows later.
  if (changed_.capacity() <= teachers_.size()) changed_.reserve(2 * teachers_.size() + 1);
  const auto position = static_cast<std::uint32_t>(teachers_.size());
  const auto entry = static_cast<std::uint32_t>(filed_names_.size());
  filed_names_.push_back(Filed{teacher.name, record, hash, position});
  name_index_.insert(hash, entry + 1);
  teachers_.push_back(std::move(record));
  loads_.push_back(0);  // noted as changed just below
  filed_.push_back(entry);
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
  // Everything that allocates comes before the list changes.
  const Moved moved = read_moved();
  const std::vector<std::uint32_t> order = stable_order_by_load(moved.loads);
  merge_moved(moved, order);
  refile_positions();
  changed_.clear();
}

School::Moved School::read_moved() const {
  Moved moved{changed_, std::vector<std::uint32_t>(changed_.size())};
  // Places are mostly noted in order (newcomers are appended), so this rarely has to sort.
  if (!std::is_sorted(moved.places.begin(), moved.places.end())) std::sort(moved.places.begin(), moved.places.end());
  // Only these loads can have changed; each is read under its record's lock.
  for (std::size_t k = 0; k < moved.places.size(); ++k)
    moved.loads[k] = static_cast<std::uint32_t>(teachers_[moved.places[k]].lock()->periods.size());
  return moved;
}

void School::merge_moved(const Moved& moved, const std::vector<std::uint32_t>& order) {
  // The others are still in order by (load, place). Merging the moved ones in by
  // (load, previous place) gives exactly what a stable sort of the whole list gives.
  const std::size_t n = teachers_.size();
  std::vector<TeacherHandle> teachers;
  std::vector<std::uint32_t> loads;
  std::vector<std::uint32_t> filed;
  teachers.reserve(n);
  loads.reserve(n);
  filed.reserve(n);
  auto take = [&](std::uint32_t place, std::uint32_t load) noexcept {
    teachers.push_back(std::move(teachers_[place]));
    loads.push_back(load);
    filed.push_back(filed_[place]);
  };
  auto take_moved = [&](std::size_t j) noexcept { take(moved.places[order[j]], moved.loads[order[j]]); };
  // Whether the j-th moved place in order goes before the unmoved place i.
  auto before = [&](std::size_t j, std::uint32_t i) noexcept {
    const std::uint32_t load = moved.loads[order[j]];
    return load < loads_[i] || (load == loads_[i] && moved.places[order[j]] < i);
  };
  std::size_t next_moved = 0;  // walks moved.places, which is ascending, to skip those places
  std::size_t j = 0;           // walks `order`
  for (std::uint32_t i = 0; i < n; ++i) {
    if (next_moved < moved.places.size() && moved.places[next_moved] == i) {
      ++next_moved;
      continue;
    }
    for (; j < order.size() && before(j, i); ++j) take_moved(j);
    take(i, loads_[i]);
  }
  for (; j < order.size(); ++j) take_moved(j);
  teachers_.swap(teachers);
  loads_.swap(loads);
  filed_.swap(filed);
}

void School::refile_positions() noexcept {
  for (std::uint32_t place = 0; place < teachers_.size(); ++place)
    if (filed_[place] != unlisted) filed_names_[filed_[place]].position = place;
}

void School::note_load_change(std::uint32_t position) noexcept {
  if (loads_[position] == load_changed) return;
  loads_[position] = load_changed;
  changed_.push_back(position);
}

void School::add_to_hashmap(std::string_view name, Teacher teacher) {
  TeacherHandle record = TeacherHandle::make(std::move(teacher));
  const std::uint64_t full_hash = keyed_hash(name);
  if (Filed* found = find_filed(name, full_hash)) {
    // The old record lives on wherever else it is held, the teacher list included.
    if (found->position != unlisted) filed_[found->position] = unlisted;
    found->record = std::move(record);
    found->position = unlisted;
    return;
  }
  reserve_more(filed_names_, 1);
  name_index_.reserve_one([this](std::uint32_t v) { return filed_names_[v - 1].hash; });
  const auto entry = static_cast<std::uint32_t>(filed_names_.size());
  const std::uint32_t hash = filed_hash(full_hash);
  filed_names_.push_back(Filed{SharedText(name), std::move(record), hash, unlisted});
  name_index_.insert(hash, entry + 1);
}

Result<void> School::register_period(const Teacher& teacher, std::int16_t period, Class& c) {
  const Filed* found = find_filed(teacher.name, teacher.name_hash());
  if (found == nullptr)  // a fixed text, which callers compare
    return Failure::fatal("Teacher not found in existing list. Please add to 'teacher_list.csv'");
  const Filed& filed = *found;

  // The class lists the lesson twice, once on each side of the pair insertion; it keeps one
  // entry for both.
  reserve_more(c.lessons, c.lessons.capacity() == 0 ? lessons_in_a_day : 1);
  bool added, absent;
  {
    auto t = filed.record.lock();
    added = t->periods.insert(period, c.class_name);
    absent = !t->present;
  }
  c.lessons.push_back(PeriodEntry{filed.record, period, absent});
  if (added && filed.position != unlisted) note_load_change(filed.position);
  return {};
}

std::string School::printed_text() const {
  SubjectGrouping grouping(teachers_);
  // Each teacher is written twice (the list and the grouping) and each lesson twice (a class
  // lists it twice); pages of the reservation that stay unused are never touched.
  std::size_t records = 2 * teachers_.size();
  for (const ClassHandle& c : classes_) records += 1 + 2 * c.lock()->lessons.size();
  std::string out;
  out.reserve(std::min(records * text_bytes_per_record, text_reservation_cap));
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
