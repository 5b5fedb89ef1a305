// The substitution run: a substitute for every lesson of every absent teacher, where one is free.
#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "school/growth.hpp"
#include "school/report.hpp"
#include "school/school.hpp"

namespace school {
namespace {

// The absent lessons of the class being walked that were already searched, as (teacher's
// name, period). A lesson is recorded twice in a class; only its first entry is searched and
// reported. A class holds a handful of absent lessons, which are scanned; a class with many
// is indexed instead, so a hostile class cannot make the walk quadratic.
class HandledLessons {
 public:
  // True when the lesson is new to this class, which it then remembers.
  bool insert(std::string_view name, std::int16_t period) {
    const LessonKey key{name, period};
    if (keys_.size() < scanned) {
      if (std::find(keys_.begin(), keys_.end(), key) != keys_.end()) return false;
      keys_.push_back(key);
      if (keys_.size() == scanned)
        for (const LessonKey& k : keys_) index_.insert(k);
      return true;
    }
    return index_.insert(key);
  }
  void clear() noexcept {
    if (keys_.size() == scanned) index_.clear();
    keys_.clear();
  }

 private:
  struct LessonKey {
    std::string_view name;  // a teacher's name, which never changes while the run holds the School
    std::int16_t period;
    bool operator==(const LessonKey& other) const noexcept { return period == other.period && name == other.name; }
  };
  struct LessonKeyHash {
    std::uint64_t operator()(const LessonKey& k) const noexcept {
      return keyed_hash(k.name) ^ keyed_mix(static_cast<std::uint16_t>(k.period));
    }
  };
  static constexpr std::size_t scanned = 16;
  std::vector<LessonKey> keys_;              // the first `scanned` lessons
  FlatSet<LessonKey, LessonKeyHash> index_;  // all of them, once there are `scanned`
};

// (teacher's place in the list, period) packed in one word.
struct AssignmentHash {
  std::uint64_t operator()(std::uint64_t key) const noexcept { return keyed_mix(key); }
};

// Finds substitutes without rescanning candidate lists. Within one run loads only grow and
// teachers only become busy, and both change only through the run's own assignments (the
// run holds the School and the interpreter lock throughout), so:
//  - each teacher is read once, under its lock: subject and presence, and for a present one
//    its load and the periods it is busy in (as bits for a school day's periods, a sorted
//    list for any others); the run's own assignments are recorded beside them;
//  - each subject's present teachers are kept in layers by load, each layer a bit per
//    teacher of the subject in list order: walking the layers from the lightest and each
//    layer's bits in order visits them by (load, place in the list), so the first one free
//    at P is the one a fresh stable sort by load would pick; a teacher given a lesson moves
//    one layer up by clearing one bit and setting another;
//  - for each period the first free present teacher of the whole list only moves forward.
// This picks exactly the teacher that sorting the candidates by load for every lesson would.
class Run {
 public:
  Run(const std::vector<TeacherHandle>& teachers, SubstitutionReport& report)
      : teachers_(teachers),
        report_(report),
        group_of_(teachers.size(), -1),
        rank_of_(teachers.size(), 0),
        load_(teachers.size(), 0),
        start_load_(teachers.size(), 0),
        day_busy_(teachers.size(), 0),
        other_from_(teachers.size() + 1, 0) {
    for (std::uint32_t i = 0; i < teachers.size(); ++i) {
      other_from_[i] = static_cast<std::uint32_t>(other_busy_.size());
      auto t = teachers[i].lock();
      grouping_.add(i, t->sub, t->present);
      if (!t->present) continue;  // absent teachers are never candidates
      load_[i] = start_load_[i] = static_cast<std::uint32_t>(t->periods.size());
      day_busy_[i] = t->periods.day_periods();
      if (!t->periods.has_other_periods()) continue;
      for (const Lesson& lesson : t->periods)
        if (!PeriodSet::in_day(lesson.period)) other_busy_.push_back(lesson.period);
      auto first = other_busy_.begin() + other_from_[i];
      std::sort(first, other_busy_.end());
      other_busy_.erase(std::unique(first, other_busy_.end()), other_busy_.end());
    }
    other_from_[teachers.size()] = static_cast<std::uint32_t>(other_busy_.size());

    layers_.resize(grouping_.groups().size());
    for (std::size_t g = 0; g < grouping_.groups().size(); ++g) {
      const std::vector<std::uint32_t>& members = grouping_.groups()[g].present;
      // add_class left the list in order of load, so a layer is usually the previous one.
      std::uint32_t previous_load = 0;
      std::size_t previous = layers_[g].size();
      for (std::uint32_t rank = 0; rank < members.size(); ++rank) {
        const std::uint32_t teacher = members[rank];
        group_of_[teacher] = static_cast<std::int32_t>(g);
        rank_of_[teacher] = rank;
        if (previous == layers_[g].size() || load_[teacher] != previous_load) {
          previous_load = load_[teacher];
          previous = static_cast<std::size_t>(&layer(g, previous_load) - layers_[g].data());
        }
        layers_[g][previous].add(rank);
      }
    }
  }

  void walk(const ClassHandle& record) {
    {
      auto k = record.lock();
      class_name_ = k->class_name;
    }
    handled_.clear();
    // Each lesson stands for two identical entries; the second finds the lesson handled by
    // the first and adds nothing, so one look at each is the walk of both.
    auto k = record.lock();  // held while its lessons are walked
    for (const PeriodEntry& entry : k->lessons)
      if (entry.absent) cover(entry.teacher, entry.period);
  }

  // Whether the teacher at this place was given lessons by the run.
  bool assigned_to(std::uint32_t place) const noexcept { return load_[place] != start_load_[place]; }

 private:
  static constexpr std::uint32_t nobody = UINT32_MAX;

  void cover(const TeacherHandle& absent, std::int16_t period) {
    std::string_view name;
    Subject subject;
    {
      auto t = absent.lock();
      name = t->name;
      subject = t->sub;
    }
    if (!handled_.insert(name, period)) return;

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
    const std::vector<std::uint32_t>& members = grouping_.groups()[group].present;
    for (const Layer& layer : layers_[group]) {
      if (layer.count == 0) continue;
      for (std::size_t w = 0; w < layer.bits.size(); ++w)
        for (std::uint64_t bits = layer.bits[w]; bits != 0; bits &= bits - 1) {
          const std::uint32_t teacher = members[w * 64 + static_cast<std::size_t>(std::countr_zero(bits))];
          if (!busy(teacher, period)) return teacher;
        }
    }
    return nobody;
  }

  std::uint32_t any_subject(std::int16_t period) {
    std::uint32_t& next = first_free_.try_emplace(period, 0).first->second;
    for (; next < teachers_.size(); ++next)
      if (group_of_[next] >= 0 && !busy(next, period)) return next;
    return nobody;
  }

  bool busy(std::uint32_t teacher, std::int16_t period) const noexcept {
    if (PeriodSet::in_day(period)) return (day_busy_[teacher] >> period) & 1;
    auto first = other_busy_.begin() + other_from_[teacher];
    auto last = other_busy_.begin() + other_from_[teacher + 1];
    if (std::binary_search(first, last, period)) return true;
    if (!assigned_to(teacher)) return false;
    return assigned_other_.contains(assignment_key(teacher, period));
  }

  static std::uint64_t assignment_key(std::uint32_t teacher, std::int16_t period) noexcept {
    return std::uint64_t{teacher} << 16 | static_cast<std::uint16_t>(period);
  }

  // Gives the lesson to teacher `x`: it is busy at `period` from now on, one lesson heavier,
  // and moves up one layer of its subject.
  void assign(std::uint32_t x, std::int16_t period) {
    if (PeriodSet::in_day(period))
      day_busy_[x] |= std::uint64_t{1} << period;
    else
      assigned_other_.insert(assignment_key(x, period));
    teachers_[x].lock()->periods.insert(period, class_name_);

    const auto group = static_cast<std::size_t>(group_of_[x]);
    layer(group, load_[x]).remove(rank_of_[x]);
    ++load_[x];
    layer(group, load_[x]).add(rank_of_[x]);
  }

  // The teachers of one subject with one load: a bit per teacher of the subject, by rank.
  struct Layer {
    std::uint32_t load;
    std::uint32_t count = 0;
    std::vector<std::uint64_t> bits;

    void add(std::uint32_t rank) noexcept {
      bits[rank / 64] |= std::uint64_t{1} << (rank % 64);
      ++count;
    }
    void remove(std::uint32_t rank) noexcept {
      bits[rank / 64] &= ~(std::uint64_t{1} << (rank % 64));
      --count;
    }
  };

  // The layer of a subject's teachers with this load, made empty when there is none yet.
  // A subject has a few distinct loads (d distinct loads take d * (d - 1) / 2 pairs at
  // least), so the layers are found by a binary search in a short list.
  Layer& layer(std::size_t group, std::uint32_t load) {
    std::vector<Layer>& layers = layers_[group];
    auto at = std::lower_bound(layers.begin(), layers.end(), load,
                               [](const Layer& l, std::uint32_t wanted) { return l.load < wanted; });
    if (at != layers.end() && at->load == load) return *at;
    const std::size_t words = (grouping_.groups()[group].present.size() + 63) / 64;
    return *layers.insert(at, Layer{load, 0, std::vector<std::uint64_t>(words, 0)});
  }

  const std::vector<TeacherHandle>& teachers_;
  SubjectGrouping grouping_;
  SubstitutionReport& report_;
  std::vector<std::int32_t> group_of_;     // per teacher: its subject's group, or -1 when absent
  std::vector<std::uint32_t> rank_of_;     // per present teacher: its place in that group, by list order
  std::vector<std::uint32_t> load_;        // per present teacher: its load now
  std::vector<std::uint32_t> start_load_;  // ... and when the run started
  std::vector<std::uint64_t> day_busy_;    // per present teacher: busy periods 0..63 as bits, run's included
  // Per present teacher, the sorted distinct other periods it was busy in when the run started
  // (other_busy_[other_from_[i] .. other_from_[i + 1]]), and the run's own assignments at such periods.
  std::vector<std::uint32_t> other_from_;
  std::vector<std::int16_t> other_busy_;
  FlatSet<std::uint64_t, AssignmentHash> assigned_other_;
  std::vector<std::vector<Layer>> layers_;                      // per group: its teachers by load, lightest first
  std::unordered_map<std::int16_t, std::uint32_t> first_free_;  // period -> first place to look
  SharedText class_name_;
  HandledLessons handled_;
};

}  // namespace

std::string School::generate_substitutions() {
  SubstitutionReport report;
  const auto start = std::chrono::steady_clock::now();
  {
    Run run(teachers_, report);
    // A run cut short by an exhausted heap keeps the lessons it gave, so the loads it changed
    // are noted for the next sort by load however the walk ends (noting never allocates).
    auto note_assigned = [&]() noexcept {
      for (std::uint32_t place = 0; place < teachers_.size(); ++place)
        if (run.assigned_to(place)) note_load_change(place);
    };
    try {
      for (const ClassHandle& record : classes_) run.walk(record);
    } catch (...) {
      note_assigned();
      throw;
    }
    note_assigned();
  }
  report.add_timing(std::chrono::steady_clock::now() - start);
  return report.finish();
}

}  // namespace school
