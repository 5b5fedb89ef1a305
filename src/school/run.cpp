// The substitution run: a substitute for every lesson of every absent teacher, where one is free.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "school/growth.hpp"
#include "school/report.hpp"
#include "school/school.hpp"

namespace school {
namespace {

// An absent lesson of the class being walked, as (teacher's name, period). A lesson is
// recorded twice in a class; only its first entry is searched and reported.
struct LessonKey {
  std::string_view name;  // a teacher's name, which never changes while the run holds the School
  std::int16_t period;
  bool operator==(const LessonKey&) const = default;
};
struct LessonKeyHash {
  std::uint64_t operator()(const LessonKey& k) const noexcept {
    return keyed_hash(k.name) ^ keyed_mix(static_cast<std::uint16_t>(k.period));
  }
};
// (teacher's place in the list, period) packed in one word.
struct AssignmentHash {
  std::uint64_t operator()(std::uint64_t key) const noexcept { return keyed_mix(key); }
};

// Finds substitutes without rescanning candidate lists. Within one run loads only grow and
// teachers only become busy, and both change only through the run's own assignments (the
// run holds the School and the interpreter lock throughout), so:
//  - each present teacher's load and busy periods are read once, under its lock, into compact
//    arrays, and the run's own assignments are recorded beside them;
//  - each subject's present teachers are kept in order of (load, place in the list): the
//    first one free at P is the one a fresh stable sort by load would pick, and a teacher
//    who is given a lesson moves up past the ones it now outweighs;
//  - for each period the first free present teacher of the whole list only moves forward.
// This picks exactly the teacher that sorting the candidates by load for every lesson would.
class Run {
 public:
  // Places of teachers whose load the run changes are appended to `changed`.
  Run(const std::vector<TeacherHandle>& teachers, SubstitutionReport& report, std::vector<std::uint32_t>& changed)
      : teachers_(teachers), grouping_(teachers), report_(report), changed_(changed),
        group_of_(teachers.size(), -1), rank_of_(teachers.size(), 0), load_(teachers.size(), 0), start_load_(teachers.size(), 0),
        busy_from_(teachers.size() + 1, 0) {
    const auto& groups = grouping_.groups();
    for (std::size_t g = 0; g < groups.size(); ++g)
      for (std::uint32_t rank = 0; rank < groups[g].present.size(); ++rank) {
        group_of_[groups[g].present[rank]] = static_cast<std::int32_t>(g);
        rank_of_[groups[g].present[rank]] = rank;
      }
    for (std::size_t i = 0; i < teachers.size(); ++i) {
      busy_from_[i] = static_cast<std::uint32_t>(busy_periods_.size());
      if (group_of_[i] < 0) continue;  // absent teachers are never candidates
      auto c = teachers[i].lock();
      load_[i] = start_load_[i] = static_cast<std::uint32_t>(c->periods.size());
      for (const Lesson& lesson : c->periods) busy_periods_.push_back(lesson.period);
      auto first = busy_periods_.begin() + busy_from_[i];
      std::sort(first, busy_periods_.end());
      busy_periods_.erase(std::unique(first, busy_periods_.end()), busy_periods_.end());
    }
    busy_from_[teachers.size()] = static_cast<std::uint32_t>(busy_periods_.size());

    order_.reserve(groups.size());
    for (const SubjectGrouping::Group& group : groups) {
      std::vector<std::uint32_t> order = group.present;  // already in list order
      std::stable_sort(order.begin(), order.end(), [this](std::uint32_t a, std::uint32_t b) { return load_[a] < load_[b]; });
      order_.push_back(std::move(order));
    }
  }

  void walk(const ClassHandle& record) {
    {
      auto k = record.lock();
      class_name_ = k->class_name;
    }
    handled_.clear();
    auto k = record.lock();  // held while its lessons are walked
    for (const PeriodEntry& entry : k->list_of_periods) cover(entry.teacher, entry.period);
  }

 private:
  static constexpr std::uint32_t nobody = UINT32_MAX;

  void cover(const TeacherHandle& absent, std::int16_t period) {
    std::string_view name;
    Subject subject;
    {
      auto t = absent.lock();
      if (t->present) return;
      name = t->name;
      subject = t->sub;
    }
    if (!handled_.insert(LessonKey{name, period})) return;

    // The least loaded free teacher of the subject, else the first free teacher of any.
    // A subject that no listed teacher has simply offers nobody of its own.
    const int group = grouping_.slot(subject);
    std::uint32_t chosen = group < 0 ? nobody : same_subject(static_cast<std::uint32_t>(group), period);
    if (chosen == nobody) chosen = any_subject(period);

    if (chosen == nobody) {
      std::scoped_lock section(report_.unresolved_lock());
      auto t = absent.lock();
      report_.add_unresolved(t->name, period, class_name_);
      return;
    }
    assign(chosen, period);
    std::scoped_lock section(report_.table_lock());
    auto t = absent.lock();
    auto x = teachers_[chosen].lock();
    report_.add_row(t->name, period, subject_name(subject), x->name, class_name_, t->reason_of_absentee);
  }

  std::uint32_t same_subject(std::uint32_t group, std::int16_t period) const noexcept {
    for (std::uint32_t teacher : order_[group])
      if (!busy(teacher, period)) return teacher;
    return nobody;
  }

  std::uint32_t any_subject(std::int16_t period) {
    std::uint32_t& next = first_free_.try_emplace(period, 0).first->second;
    for (; next < teachers_.size(); ++next)
      if (group_of_[next] >= 0 && !busy(next, period)) return next;
    return nobody;
  }

  bool busy(std::uint32_t teacher, std::int16_t period) const noexcept {
    auto first = busy_periods_.begin() + busy_from_[teacher];
    auto last = busy_periods_.begin() + busy_from_[teacher + 1];
    if (std::binary_search(first, last, period)) return true;
    if (load_[teacher] == start_load_[teacher]) return false;  // nothing assigned to it yet
    return assigned_.contains(assignment_key(teacher, period));
  }

  static std::uint64_t assignment_key(std::uint32_t teacher, std::int16_t period) noexcept {
    return std::uint64_t{teacher} << 16 | static_cast<std::uint16_t>(period);
  }

  // Gives the lesson to teacher `x`: it is busy at `period` from now on, one lesson heavier,
  // and moves up its subject's order past the teachers it now outweighs.
  void assign(std::uint32_t x, std::int16_t period) {
    reserve_more(changed_, 1);
    assigned_.insert(assignment_key(x, period));
    teachers_[x].lock()->periods.insert(period, class_name_);
    changed_.push_back(x);

    // The order is sorted by (load, rank), so binary searches find x before and after its
    // load grows, and one rotation moves it up.
    std::vector<std::uint32_t>& order = order_[static_cast<std::size_t>(group_of_[x])];
    auto before = [this](std::uint32_t a, std::uint32_t b) {
      return load_[a] != load_[b] ? load_[a] < load_[b] : rank_of_[a] < rank_of_[b];
    };
    const auto from = std::lower_bound(order.begin(), order.end(), x, before);
    ++load_[x];
    std::rotate(from, from + 1, std::lower_bound(from + 1, order.end(), x, before));
  }

  const std::vector<TeacherHandle>& teachers_;
  SubjectGrouping grouping_;
  SubstitutionReport& report_;
  std::vector<std::uint32_t>& changed_;
  std::vector<std::int32_t> group_of_;  // per teacher: its subject's group, or -1 when absent
  std::vector<std::uint32_t> rank_of_;  // per present teacher: its place in that group
  std::vector<std::uint32_t> load_;     // per present teacher: its load now
  std::vector<std::uint32_t> start_load_;  // ... and when the run started
  // Per present teacher, the sorted distinct periods it was busy in when the run started
  // (busy_periods_[busy_from_[i] .. busy_from_[i + 1]]), and the run's own assignments.
  std::vector<std::uint32_t> busy_from_;
  std::vector<std::int16_t> busy_periods_;
  FlatSet<std::uint64_t, AssignmentHash> assigned_;
  std::vector<std::vector<std::uint32_t>> order_;  // per group: its teachers by (load, rank)
  std::unordered_map<std::int16_t, std::uint32_t> first_free_;  // period -> first place to look
  std::string class_name_;
  FlatSet<LessonKey, LessonKeyHash> handled_;
};

}  // namespace

std::string School::generate_substitutions() {
  SubstitutionReport report;
  const auto start = std::chrono::steady_clock::now();
  {
    Run run(teachers_, report, changed_);
    for (const ClassHandle& record : classes_) run.walk(record);
  }
  report.add_timing(std::chrono::steady_clock::now() - start);
  return report.finish();
}

}  // namespace school
