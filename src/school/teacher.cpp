// Teacher records: the pair set, the printed text and the debug rendering.
#include "school/growth.hpp"
#include "school/teacher.hpp"

#include <algorithm>

#include "school/hash.hpp"
#include "school/render.hpp"

namespace school {
namespace {

std::uint64_t pair_hash(std::int16_t period, std::string_view grade) noexcept {
  return keyed_hash(grade) ^ keyed_mix(static_cast<std::uint16_t>(period));
}

}  // namespace

bool PeriodSet::insert(std::int16_t period, std::string_view grade) {
  auto same_pair = [&](const Lesson& l) { return l.period == period && l.grade == grade; };
  const std::uint64_t hash = indexed() ? pair_hash(period, grade) : 0;
  const bool known = indexed() ? pairs_.find(hash, [&](std::uint32_t v) { return same_pair(lessons_[v - 1]); }) != 0
                               : std::any_of(lessons_.begin(), lessons_.end(), same_pair);
  if (known) return false;

  // Everything that may allocate happens before the first change.
  if (lessons_.capacity() == 0) lessons_.reserve(first_capacity);
  reserve_more(lessons_, 1);
  std::string copy(grade);
  if (lessons_.size() == scanned) {
    // This pair is the first one past the scanned size: index all of them at once.
    PeriodSet grown;
    grown.lessons_.reserve(lessons_.size() + 1);
    grown.lessons_ = lessons_;
    grown.lessons_.push_back(Lesson{period, std::move(copy)});
    grown.build_index();
    grown.day_periods_ = day_periods_;
    grown.has_other_periods_ = has_other_periods_;
    *this = std::move(grown);
  } else {
    if (indexed()) {
      pairs_.reserve_one([this](std::uint32_t v) {
        const Lesson& l = lessons_[v - 1];
        return pair_hash(l.period, l.grade);
      });
      pairs_.insert(hash, static_cast<std::uint32_t>(lessons_.size() + 1));
    }
    lessons_.push_back(Lesson{period, std::move(copy)});
  }
  if (in_day(period))
    day_periods_ |= std::uint64_t{1} << period;
  else
    has_other_periods_ = true;
  return true;
}

void PeriodSet::build_index() {
  auto rehash = [this](std::uint32_t v) {
    const Lesson& l = lessons_[v - 1];
    return pair_hash(l.period, l.grade);
  };
  for (std::uint32_t i = 0; i < lessons_.size(); ++i) {
    const Lesson& l = lessons_[i];
    pairs_.reserve_one(rehash);
    pairs_.insert(pair_hash(l.period, l.grade), i + 1);
  }
}

std::string printed_text(const Teacher& t) {
  std::string out;
  out.reserve(96 + t.name.size() + t.periods.size() * 16);
  out += "Teacher:\n    {\n        name:";
  out += t.name;
  out += " \n        periods: [";
  bool first = true;
  std::string item;
  for (const Lesson& l : t.periods) {
    if (!first) out += ", ";
    first = false;
    item.clear();
    append_decimal(item, l.period);
    item += ':';
    item += l.grade;
    write_quoted(out, item);
  }
  out += "] \n        subject: ";
  out += subject_name(t.sub);
  out += "\n        present: ";
  out += t.present ? "true" : "false";
  out += "\n    }\n";
  return out;
}

void render_debug(DebugWriter& w, const Teacher& t) {
  w.begin_record("Teacher");
  w.field("name");
  w.text(t.name);
  w.field("periods");
  w.begin_set();
  for (const Lesson& l : t.periods) {
    w.item();
    w.begin_pair();
    w.item();
    w.number(l.period);
    w.item();
    w.text(l.grade);
    w.end();
  }
  w.end();
  w.field("sub");
  w.word(subject_name(t.sub));
  w.field("present");
  w.word(t.present ? "true" : "false");
  w.field("reason_of_absentee");
  w.text(t.reason_of_absentee);
  w.end();
}

}  // namespace school
