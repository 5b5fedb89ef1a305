// The substitution run: a substitute for every lesson of every absent teacher, where one is free.
#include <chrono>
#include <mutex>

#include "school/report.hpp"
#include "school/school.hpp"

namespace school {
namespace {

// The absent lessons already handled in the class being walked, keyed by (name, period).
// A lesson is recorded twice in a class; only its first entry is searched and reported.
class HandledLessons {
 public:
  // True when (name, period) is new; it is then remembered until clear().
  bool first_time(std::string_view name, std::int16_t period) {
    const std::uint64_t hash = keyed_hash(name) ^ keyed_mix(static_cast<std::uint16_t>(period));
    auto same = [&](std::uint32_t v) {
      const Key& k = keys_[v - 1];
      return k.period == period && k.name == name;
    };
    if (index_.find(hash, same) != 0) return false;
    keys_.reserve(keys_.size() + 1);
    index_.reserve_one([this](std::uint32_t v) {
      const Key& k = keys_[v - 1];
      return keyed_hash(k.name) ^ keyed_mix(static_cast<std::uint16_t>(k.period));
    });
    index_.insert(hash, static_cast<std::uint32_t>(keys_.size() + 1));
    keys_.push_back(Key{name, period});
    return true;
  }
  void clear() noexcept {
    keys_.clear();
    index_.clear();
  }

 private:
  struct Key {
    std::string_view name;  // a teacher's name, which never changes while the run holds the record
    std::int16_t period;
  };
  std::vector<Key> keys_;
  FlatIndex index_;
};

class Run {
 public:
  Run(const std::vector<TeacherHandle>& teachers, SubstitutionReport& report)
      : teachers_(teachers), grouping_(teachers), report_(report) {}

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
  void cover(const TeacherHandle& absent, std::int16_t period) {
    std::string_view name;
    Subject subject;
    {
      auto t = absent.lock();
      if (t->present) return;
      name = t->name;
      subject = t->sub;
    }
    if (!handled_.first_time(name, period)) return;

    // Same subject: the least loaded free teacher, ties going to the earlier one in the list.
    // A subject that no listed teacher has simply offers nobody here.
    const TeacherHandle* chosen = nullptr;
    if (const SubjectGrouping::Group* group = grouping_.find(subject)) {
      std::size_t best_load = 0;
      for (const TeacherHandle& candidate : group->present) {
        auto c = candidate.lock();
        if (c->periods.busy_at(period)) continue;
        if (chosen == nullptr || c->periods.size() < best_load) {
          chosen = &candidate;
          best_load = c->periods.size();
        }
      }
    }
    // Otherwise the first present teacher of any subject who is free.
    if (chosen == nullptr) {
      for (const TeacherHandle& candidate : teachers_) {
        auto c = candidate.lock();
        if (c->present && !c->periods.busy_at(period)) {
          chosen = &candidate;
          break;
        }
      }
    }

    if (chosen == nullptr) {
      std::scoped_lock section(report_.unresolved_lock());
      auto t = absent.lock();
      report_.add_unresolved(t->name, period, class_name_);
      return;
    }
    chosen->lock()->periods.insert(period, class_name_);
    std::scoped_lock section(report_.table_lock());
    auto t = absent.lock();
    auto x = chosen->lock();
    report_.add_row(t->name, period, subject_name(subject), x->name, class_name_, t->reason_of_absentee);
  }

  const std::vector<TeacherHandle>& teachers_;
  SubjectGrouping grouping_;
  SubstitutionReport& report_;
  std::string class_name_;
  HandledLessons handled_;
};

}  // namespace

std::string School::generate_substitutions() {
  SubstitutionReport report;
  const auto start = std::chrono::steady_clock::now();
  {
    Run run(teachers_, report);
    for (const ClassHandle& record : classes_) run.walk(record);
  }
  report.add_timing(std::chrono::steady_clock::now() - start);
  return report.finish();
}

}  // namespace school
